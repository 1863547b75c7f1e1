// A plain reference model of the record and its 24 storage and restructuring exports, used to
// check the library cell by cell. It favours obviousness over speed: a vector of cells, linear
// lookups, and every write spelled out as the byte-level rule it follows, so that a reader can
// check the model against the header's contract line by line.
//
// A null Model pointer stands for a null record. Data and text arguments are copied before
// anything changes, so they may point into the model's own cells, as callers may point into a
// record's own buffers.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include <vornhash.h>

namespace model {

using Bytes = std::vector<unsigned char>;

struct Cell {
    std::string key;
    Bytes value; // the whole buffer; its size is the cell's sizes[] entry
};

struct Model {
    // unit 0 marks a zeroed record (never allocated, freed, or a failed VornAllocHash).
    std::int32_t unit = 0;
    std::vector<Cell> cells;

    std::int32_t count() const { return static_cast<std::int32_t>(cells.size()); }
    bool live() const { return unit != 0; }
    bool operator==(const Model &) const = default;
};

// The buffer size a write of n bytes leaves: one unit more than fits n, in 64 bits so that
// callers can see when it would not fit an int32.
std::int64_t BufferSize(std::int32_t unit, std::int64_t n);

// Storage, lookup and version.
std::int32_t AllocHash(Model *m, std::int32_t count, std::int32_t unit);
std::int32_t FreeHash(Model *m);
std::int32_t ReAllocHash(Model *m, std::int32_t newCount);
std::int32_t GetHashIndex(const Model *m, const char *key);
std::int32_t IndexIsEffective(const Model *m, std::int32_t index);
std::int32_t CountHash(const Model *m);
std::int32_t GetHashLength(const Model *m, const char *key, std::int32_t index);
std::int32_t SetHashKey(Model *m, std::int32_t index, const char *key);
std::int32_t SetHash(Model *m, const char *key, std::int32_t index, const void *data,
                     std::int32_t length);
std::int32_t SetHashInt(Model *m, const char *key, std::int32_t index, std::int32_t value,
                        std::int32_t asText);
// VornGetHashPtr and VornGetHashPtrSafe: the index of the addressed cell, or -1.
std::int32_t AddressedCell(const Model *m, const char *key, std::int32_t index);
std::int32_t GetHash(char *buffer, std::int32_t bufferSize, const Model *m, const char *key,
                     std::int32_t index, std::int32_t asText);
std::int32_t GetHashInt(const Model *m, const char *key, std::int32_t index, std::int32_t asText);

// Restructuring.
std::int32_t SortHash(Model *m, std::int32_t compareFlags, std::int32_t moveKeys,
                      std::int32_t descending);
std::int32_t DeleteHash(Model *m, const char *key, std::int32_t index);
std::int32_t DeleteEmptyHash(Model *m);
std::int32_t CopyHashCell(Model *target, const char *targetKey, std::int32_t targetIndex,
                          const Model *source, const char *sourceKey, std::int32_t sourceIndex);
std::int32_t CopyHash(Model *target, const Model *source);
std::int32_t CatHashString(Model *m, const char *key, std::int32_t index, const char *text);
std::int32_t UnitingHash(Model *target, const Model *source);
std::int32_t MoveHashArray(Model *target, std::int32_t targetIndex, Model *source,
                           std::int32_t sourceIndex, std::int32_t n, std::int32_t withKeys);
std::int32_t AddHash(Model *m, const char *key, std::int32_t index, const void *data,
                     std::int32_t length);

// The value order of VornSortHash on two bounded texts: <0, 0, >0.
int CompareValues(const Bytes &a, const Bytes &b, std::int32_t flags);

// The states a two-record merge passes through, one per completed step, starting with the
// state before the call. A call that runs out of memory part-way must leave one of them.
std::vector<Model> UnitingSteps(const Model &target, const Model &source);
std::vector<Model> MoveBetweenSteps(const Model &target, std::int32_t targetIndex,
                                    const Model &source, std::int32_t sourceIndex, std::int32_t n,
                                    std::int32_t withKeys);

// Bridges to the real record.
Model Of(const Hash &h);
std::string Describe(const Model &m);
std::string Describe(const Hash &h);
// The record holds exactly the model's cells (or is zeroed when the model is), and its
// arrays are consistent: no null key or value buffer, every key NUL-terminated.
::testing::AssertionResult Matches(const Hash &h, const Model &m);

// Small builders for readable tests: cells given as {key, text} pairs, each text stored with
// its terminator as VornSetHash(..., -1) stores it.
struct KV {
    const char *key;
    const char *text;
};
void Fill(Hash *h, std::int32_t unit, std::initializer_list<KV> cells);
std::vector<std::string> Keys(const Hash &h);
std::vector<std::string> Texts(const Hash &h); // each value up to its first NUL

} // namespace model
