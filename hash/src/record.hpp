// Cell-level operations on a Hash that the storage and restructuring families share. None of
// them is exported; the exports validate their arguments and keep the record whole on failure.
#pragma once

#include "key_index.hpp"
#include "vornhash.h"
#include "vorn_internal.hpp"

#include <cstdint>
#include <cstring>

namespace vorn {

// A record every export may work on: allocated, with a sane count and unit.
inline bool record_ok(const Hash *h) {
    return h && h->count >= 0 && h->unit >= 1 &&
           (h->count == 0 || (h->keys && h->values && h->sizes));
}

// Buffer size for a value of length bytes, or -1 when it would not fit an int32.
inline std::int32_t value_bytes(std::int32_t unit, std::int64_t length) {
    if (!fits_i32(length)) return -1;
    // Units are mostly powers of two (1, 16, 256), where a mask does what a division would.
    const auto u = std::uint32_t(unit), n = std::uint32_t(length);
    const std::uint64_t whole = (u & (u - 1)) == 0 ? (n & ~(u - 1)) : std::uint64_t(n / u) * u;
    const std::uint64_t bytes = whole + u;
    return bytes <= INT32_MAX ? std::int32_t(bytes) : -1;
}

// The byte count of a write and the buffer size it needs: length < 0 means the text data with
// its terminator. False when data is missing for a text or a size would not fit an int32.
bool write_size(const void *data, std::int32_t length, std::int64_t &len, std::int32_t &bytes,
                std::int32_t unit);

// The reading rule: a non-null key is looked up, else the index; -1 when nothing is addressed.
std::int32_t address_cell(const Hash *h, const char *key, std::int32_t index);

// Appends unnamed, zero-filled cells until count is n (n >= count). All or nothing.
bool grow_cells(Hash *h, std::int32_t n);

// Appends a cell named key with a value of bytes bytes holding the len bytes of data (null data:
// none) and zeros after them. hash, when known, is key's. All or nothing.
bool append_cell(Hash *h, const char *key, std::int32_t bytes, const void *data = nullptr,
                 std::size_t len = 0, const KeyHash *hash = nullptr);

// Frees the cells from n on and sets count to n (n <= count). Never fails.
void shrink_cells(Hash *h, std::int32_t n);

// ---- cell buffers ---------------------------------------------------------------------------
// Every key and value buffer of a record comes from and goes back through these, since small
// ones live in the record's own blocks (cell_store.hpp). The record must have its arrays.

// An uninitialised buffer of n >= 1 bytes, or nullptr.
inline char *cell_alloc(Hash *h, std::size_t n) {
    if (!is_small(n)) return static_cast<char *>(mem_alloc_raw(n));
    CellStore *s = cell_store(h);
    return s ? store_alloc(s, n) : nullptr;
}
// A zero-filled buffer of n >= 1 bytes, or nullptr.
char *cell_alloc_zero(Hash *h, std::size_t n);
// Gives back a buffer of n bytes; a key's n is its length plus 1, a value's its sizes[] entry.
void cell_free(Hash *h, char *p, std::size_t n) noexcept;
// A new key buffer holding key, or nullptr.
char *key_copy(Hash *h, const char *key);
void key_free(Hash *h, char *key) noexcept;
// Resizes a buffer of old bytes to n, keeping the leading bytes and zero-filling what grows.
// nullptr on failure, with p untouched.
char *cell_resize(Hash *h, char *p, std::size_t old, std::size_t n);
// Frees both buffers of cell i (the arrays are left as they are).
void free_cell(Hash *h, std::int32_t i) noexcept;

// Fills a fresh value buffer of bytes bytes from cell_alloc: the len bytes of data (none when data
// is null), then zeros. len < bytes.
inline void fill_value(char *v, std::size_t bytes, const void *data, std::size_t len) {
    if (!data) len = 0;
    if (!is_small(bytes)) {
        if (len) std::memcpy(v, data, len);
        std::memset(v + len, 0, bytes - len);
        return;
    }
    // A small buffer owns its whole size class, so zeros go in whole words up to the class's end
    // and short data in two overlapping moves: no calls for the values most records hold.
    const std::uint64_t zero = 0;
    for (std::size_t at = len & ~std::size_t(7); at < bytes; at += 8)
        std::memcpy(v + at, &zero, 8);
    const auto *d = static_cast<const char *>(data);
    if (len >= 8 && len <= 16) {
        std::uint64_t a, b;
        std::memcpy(&a, d, 8);
        std::memcpy(&b, d + len - 8, 8);
        std::memcpy(v, &a, 8);
        std::memcpy(v + len - 8, &b, 8);
    } else if (len >= 4 && len < 8) {
        std::uint32_t a, b;
        std::memcpy(&a, d, 4);
        std::memcpy(&b, d + len - 4, 4);
        std::memcpy(v, &a, 4);
        std::memcpy(v + len - 4, &b, 4);
    } else if (len) {
        std::memcpy(v, d, len);
    }
}

// A fresh empty key and a zero-filled value of bytes bytes; false (nothing allocated) on failure.
bool new_cell_buffers(Hash *h, std::int32_t bytes, char **key, char **value);

// The length of a value as text: up to its first NUL, never past its buffer.
std::int32_t value_text_length(const Hash *h, std::int32_t i);

// True when p points into [base, base + n).
bool points_into(const void *p, const void *base, std::int64_t n);

} // namespace vorn
