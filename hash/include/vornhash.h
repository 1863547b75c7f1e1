/*
 * vornhash: an insertion-ordered associative array of byte buffers under text keys, with
 * conversions to and from text formats, string and nucleotide utilities.
 *
 * General contract, holding for every function below unless its own comment says otherwise:
 *
 *  - Texts are NUL-terminated byte strings (UTF-8 by convention, never required). Lengths,
 *    sizes, indexes, flags and results are int32_t; sizes count bytes.
 *  - Results: 1 means success and 0 failure; lookups give -1 when nothing is found;
 *    conversions give a length.
 *  - A null record pointer, a null pointer where a text or buffer is read or written, and a
 *    size below the documented minimum give the function's failure result; no function
 *    crashes on them. A null key keeps its documented meaning: address the cell by index.
 *  - Memory: the caller owns the Hash record itself (global, local or member). The library
 *    owns the three arrays and every key and value buffer the record points to, from
 *    VornAllocHash until VornFreeHash. Callers may read keys[i] and values[i] and may write
 *    within sizes[i] bytes of values[i], but must never free, reallocate or replace the arrays
 *    or buffers themselves.
 *  - A failed allocation leaves the record valid and usable with the contents it had before
 *    the failing step, and leaks nothing. Functions that work in several steps (say, copying
 *    many cells) keep the steps already done; each function says which.
 *  - No function keeps global state about records; a record may be used by one thread at a
 *    time, different records by different threads at once.
 *
 * Addressing. Most functions take a key and an index side by side.
 *  - Reading rule (reading, deleting): a non-null key is looked up (the first cell whose key
 *    is byte-equal wins) and the index argument is ignored; so a non-null empty key finds the
 *    first unnamed cell. A key not found, or an index outside 0..count-1, is a failure.
 *  - Writing rule (VornSetHash and the functions built on it): a non-null, non-empty key is
 *    looked up and, when absent, a new last cell with that key is appended. A null or empty
 *    key uses the index: a negative index appends an unnamed cell, an index at or past the
 *    end grows the record to index + 1 cells (new cells unnamed and zero-filled).
 *
 * Value buffers. A cell's value buffer always holds at least one byte more than the bytes last
 * written into it: writing n bytes sizes it to unit * (n / unit + 1) bytes, zero-filled beyond
 * what was written when it grew. When a shorter write leaves the size unchanged, the bytes after
 * the new data are those of the earlier value.
 */
#ifndef VORNHASH_H
#define VORNHASH_H

#include <stdint.h>

#include "vornhash_version.h"

#if defined(VORNHASH_BUILDING)
#define VORN_API __attribute__((visibility("default")))
#else
#define VORN_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The record every function takes. Fields are read directly by callers; see the general
 * contract above for who owns what. A record is unusable until VornAllocHash succeeds on it. */
typedef struct Hash {
    int32_t count;   /* number of cells */
    int32_t unit;    /* allocation unit of value buffers in bytes; at least 1 */
    char **keys;     /* count keys; "" for an unnamed cell */
    char **values;   /* count value buffers */
    int32_t *sizes;  /* count allocated sizes of the value buffers */
} Hash;

/* ---------------------------------------------------------------------------------------------
 * Storage, lookup and interface version
 * ------------------------------------------------------------------------------------------- */

/* Makes hash a fresh record of count cells (count <= 0 gives 1) whose value buffers hold unit
 * bytes each (unit <= 0 gives 1); every cell has the empty key and a zero-filled value.
 * The record's previous contents are overwritten without being freed: pass only a record that
 * is not live. Result 1, or 0 (null hash, no memory, or count * unit beyond int32) with the
 * record zeroed: count 0 and null arrays, safe to pass to VornFreeHash. */
VORN_API int32_t VornAllocHash(Hash *hash, int32_t count, int32_t unit);

/* Frees every key and value buffer and the three arrays, and zeroes the record's fields
 * (count 0, null arrays), so that a second VornFreeHash is harmless. Result 1, or 0 for a null
 * hash. After it, only VornAllocHash may be applied to the record. */
VORN_API int32_t VornFreeHash(Hash *hash);

/* Sets the number of cells to newCount (0 allowed). Shrinking frees the last cells; growing
 * appends unnamed cells with zero-filled unit-byte values; existing cells are unchanged.
 * Result 1, or 0 (null hash, negative newCount, no memory) with the record unchanged. */
VORN_API int32_t VornReAllocHash(Hash *hash, int32_t newCount);

/* Index of the first cell whose key is byte-equal to key, or -1 (also for a null hash or key). */
VORN_API int32_t VornGetHashIndex(const Hash *hash, const char *key);

/* 1 when 0 <= index < count, else 0 (also for a null hash). */
VORN_API int32_t VornIndexIsEffective(const Hash *hash, int32_t index);

/* The record's count, or 0 for a null hash. */
VORN_API int32_t VornCountHash(const Hash *hash);

/* Allocated size of the addressed cell's value buffer (reading rule), or 0. This is the
 * buffer size, not the length of the text it holds. */
VORN_API int32_t VornGetHashLength(const Hash *hash, const char *key, int32_t index);

/* Renames cell index (0 <= index < count) to key (null key: the empty key). Duplicate keys are
 * allowed; lookups find the lowest index. Result 1, or 0 (null hash, index outside the record,
 * no memory) with the cell unchanged. */
VORN_API int32_t VornSetHashKey(Hash *hash, int32_t index, const char *key);

/* Writes a cell chosen by the writing rule. length < 0: data is a text stored with its
 * terminator (null data then fails); length >= 0: length raw bytes of data. Null data with
 * length >= 0 only sizes the buffer for length bytes, keeping its leading content. The buffer
 * becomes unit * (length / unit + 1) bytes. Result 1, or 0 (null hash, bad arguments, a size
 * beyond int32, no memory) with the record unchanged. */
VORN_API int32_t VornSetHash(Hash *hash, const char *key, int32_t index, const void *data,
                             int32_t length);

/* Stores value as decimal text (asText non-zero) or as four raw little-endian bytes (asText 0),
 * by the writing rule. Result as VornSetHash. */
VORN_API int32_t VornSetHashInt(Hash *hash, const char *key, int32_t index, int32_t value,
                                int32_t asText);

/* Pointer to the addressed cell's value buffer (reading rule), or null. The caller may read and
 * write within VornGetHashLength bytes; the pointer is valid until the next call that writes,
 * resizes, moves or frees that cell. */
VORN_API char *VornGetHashPtr(const Hash *hash, const char *key, int32_t index);

/* As VornGetHashPtr, but a pointer to a static empty text instead of null. Never write through
 * the result when the cell was not found. */
VORN_API char *VornGetHashPtrSafe(const Hash *hash, const char *key, int32_t index);

/* Copies the addressed cell's value (reading rule) into buffer of bufferSize bytes
 * (bufferSize >= 1). asText non-zero: at most n - 1 characters and a terminator, with n the
 * smaller of bufferSize and the value's buffer size; the result is the delivered text's length
 * plus 1. asText 0: n raw bytes; the result is n. Result 0 when the cell is not found or an
 * argument is invalid, with buffer untouched. */
VORN_API int32_t VornGetHash(char *buffer, int32_t bufferSize, const Hash *hash, const char *key,
                             int32_t index, int32_t asText);

/* The addressed cell's value as an integer (reading rule), or 0 when it is not found.
 * asText non-zero: an optional sign and the leading decimal digits of the text (none: 0;
 * wraps like 32-bit arithmetic on overflow). asText 0: the first min(4, size) bytes of the
 * buffer read as a little-endian unsigned number, zero-extended, then taken as int32; it never
 * reads past the buffer's size. */
VORN_API int32_t VornGetHashInt(const Hash *hash, const char *key, int32_t index, int32_t asText);

/* The interface version, VORNHASH_INTERFACE_VERSION (12). */
VORN_API int32_t VornHashVersion(void);

/* ---------------------------------------------------------------------------------------------
 * Restructuring
 * ------------------------------------------------------------------------------------------- */

/* Flags for VornSortHash's compareFlags; others are accepted and ignored. */
#define VORN_SORT_IGNORECASE 0x1   /* compare with ASCII case folded */
#define VORN_SORT_IGNORESYMBOLS 0x4 /* skip ASCII punctuation and spaces */

/* Sorts the cells by their values as texts, stably: without VORN_SORT_IGNORECASE, texts are
 * compared case-folded first, then the first case difference breaks the tie with lower case
 * first ("a" < "A" < "b"), then bytes. descending non-zero reverses the order (equal values
 * still keep their relative order). moveKeys non-zero carries each key with its value; moveKeys
 * 0 keeps the keys in place and lets the sorted values pass under them. Result: count (0 for a
 * null hash). Needs no memory. */
VORN_API int32_t VornSortHash(Hash *hash, int32_t compareFlags, int32_t moveKeys,
                              int32_t descending);

/* Deletes the addressed cell (reading rule); later cells move down by one. Result 1, or 0 when
 * not found (nothing changes). Never fails for want of memory. */
VORN_API int32_t VornDeleteHash(Hash *hash, const char *key, int32_t index);

/* Deletes every cell whose value starts with a zero byte, named or not. Result 1, 0 for a null
 * hash. Never fails for want of memory. */
VORN_API int32_t VornDeleteEmptyHash(Hash *hash);

/* Writes the whole value buffer of a source cell (reading rule on source) as raw data into a
 * target cell (writing rule on target, so the target buffer becomes one unit larger than the
 * data). The source cell's key is not copied. target and source must be distinct records.
 * Result as VornSetHash, or 0 when the source cell is not found. */
VORN_API int32_t VornCopyHashCell(Hash *target, const char *targetKey, int32_t targetIndex,
                                  const Hash *source, const char *sourceKey, int32_t sourceIndex);

/* Makes the live record target hold the same keys and value bytes as source, in the same order;
 * target keeps its own unit. The records must be distinct. Result 1, or 0 with target unchanged
 * when memory runs out. */
VORN_API int32_t VornCopyHash(Hash *target, const Hash *source);

/* Appends text to the value of a cell. A key that is not found creates a new cell of that key
 * holding text; otherwise the found cell (or, for a null key, cell index by the writing rule) is
 * extended. Result 1, or 0 with the record unchanged. */
VORN_API int32_t VornCatHashString(Hash *hash, const char *key, int32_t index, const char *text);

/* Merges source into target cell by cell, in order: each named source cell overwrites the
 * target cell with the same key or is appended under it; every unnamed source cell appends an
 * unnamed cell holding the value of source's first unnamed cell. Among duplicate source keys
 * the first supplies the value. The records must be distinct. Result 1, or 0 when memory runs
 * out: the cells merged before the failure stay merged. */
VORN_API int32_t VornUnitingHash(Hash *target, const Hash *source);

/* Transfers n cells from source[sourceIndex] on to target[targetIndex] on. n < 0 or n larger
 * than what source holds from sourceIndex means all of them; sourceIndex must be a valid index
 * (or equal count with nothing to move) and targetIndex must not be negative.
 *  - Different records: a copy; each value as VornCopyHashCell writes it, target growing as
 *    needed; with withKeys non-zero the keys are copied too, otherwise target keeps its keys.
 *    On failure the cells copied so far stay.
 *  - The same record: a move. The record grows to targetIndex + n cells when needed, then the
 *    run is moved as by memmove. Values (and keys, with withKeys) of the moved run land at
 *    targetIndex on; each cell of the source range that the target range does not cover is left
 *    empty: a zero-filled value of unit bytes and, with withKeys, the empty key (without
 *    withKeys it keeps its key). Every buffer stays owned by exactly one cell; the buffers the
 *    run overwrote are freed. On failure nothing has changed.
 * Result 1 or 0. */
VORN_API int32_t VornMoveHashArray(Hash *target, int32_t targetIndex, Hash *source,
                                   int32_t sourceIndex, int32_t n, int32_t withKeys);

/* Inserts a cell. With a key found at index i, or with a null key and an index i with
 * 0 <= i < count, cells i.. move up by one with their keys and the new cell is written at i:
 * named key when a key was given, otherwise unnamed. Otherwise the data is written as VornSetHash
 * writes it: a key not found or a negative index appends a cell, an index at or past the end
 * grows the record to index + 1 cells. data and length as VornSetHash. Result 1, or 0 with the
 * record unchanged. */
VORN_API int32_t VornAddHash(Hash *hash, const char *key, int32_t index, const void *data,
                             int32_t length);

/* @@SECTION blocks-and-lines@@ (key=value blocks, line lists, header lists, expansion) */

/* @@SECTION url-and-query@@ (URL coding, query strings) */

/* @@SECTION csv-bridge@@ (CSV through libvorncsv) */

/* @@SECTION strings@@ (string utilities, random numbers, time formatting) */

/* @@SECTION nucleotides@@ (nucleotide sequence functions) */

#ifdef __cplusplus
}
#endif

#endif /* VORNHASH_H */
