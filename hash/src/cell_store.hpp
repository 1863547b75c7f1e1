// Small key and value buffers live in blocks the record owns, carved out by size class: one heap
// call per block of cells instead of two per cell, and no allocator header on every buffer.
// Callers never free or reallocate a record's buffers themselves, so where a buffer lives is ours
// to choose; the choice is made by its size alone (a key's is its length plus 1, a value's is its
// sizes[] entry), so freeing needs no tag on the buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace vorn {

// Buffers up to this many bytes are placed in the record's blocks; larger ones on the heap.
constexpr std::size_t kSmallBuffer = 128;
// Every small buffer starts on this boundary (malloc promises 16; nothing here needs more).
constexpr std::size_t kSmallAlign = 8;
constexpr std::size_t kSizeClasses = kSmallBuffer / kSmallAlign;

// Every block has this many bytes to spare after its last buffer, so that kSmallBuffer bytes may
// be read from the start of any small buffer without leaving the block: comparing a key word by
// word needs no care for where it ends.
constexpr std::size_t kStoreSlack = kSmallBuffer;

struct StoreBlock;

// Lives in the record's hidden header; plain data, so it moves with the header when that is
// reallocated.
struct CellStore {
    StoreBlock *blocks; // newest first
    char *next;         // the unused tail of the newest block
    char *end;
    std::size_t blockBytes;    // all blocks together, for sizing the next one
    std::size_t largeKeys;     // keys kept on the heap; while there are none, freeing the
                               // record need not look at its keys
    char *freed[kSizeClasses]; // freed buffers of each class, linked through their first bytes
};

constexpr bool is_small(std::size_t n) {
    return n <= kSmallBuffer;
}

constexpr std::size_t class_of(std::size_t n) {
    return (n + kSmallAlign - 1) / kSmallAlign - 1;
}

// store_alloc when neither a freed buffer nor the newest block can serve: a new block.
char *store_alloc_block(CellStore *s, std::size_t n);

// An uninitialised buffer of n bytes (1 <= n <= kSmallBuffer), or nullptr when a new block
// cannot be had. It owns its whole size class: n rounded up to kSmallAlign bytes.
inline char *store_alloc(CellStore *s, std::size_t n) {
    const std::size_t c = class_of(n);
    if (char *p = s->freed[c]) {
        std::memcpy(&s->freed[c], p, sizeof(char *));
        return p;
    }
    const std::size_t bytes = (c + 1) * kSmallAlign;
    if (std::size_t(s->end - s->next) < bytes) return store_alloc_block(s, n);
    char *p = s->next;
    s->next += bytes;
    return p;
}
// Gives back a buffer of n bytes taken from this store.
inline void store_free(CellStore *s, char *p, std::size_t n) noexcept {
    const std::size_t c = class_of(n);
    std::memcpy(p, &s->freed[c], sizeof(char *));
    s->freed[c] = p;
}
// Every small buffer is dead (the record has no cells): keeps the newest block for reuse.
void store_reset(CellStore *s) noexcept;
// Frees every block.
void store_release(CellStore *s) noexcept;
// Bytes held in blocks, for measurement.
std::size_t store_bytes(const CellStore *s);

} // namespace vorn
