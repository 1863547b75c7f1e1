// The record's hidden bookkeeping: spare capacity in the three cell arrays, an index from keys
// to the first cell bearing each key, and the blocks that hold its small buffers. All of it
// hangs off a small header in front of the keys array, so the public layout of Hash stays as
// callers know it. The index is a cache: when it cannot be had (memory short, small record)
// lookups scan, with the same results.
//
// Looking a key up is the library's hottest path, so it is defined here, inline: the exports
// that look keys up compile it into their own bodies instead of calling through three levels.
#pragma once

#include "cell_store.hpp"
#include "vornhash.h"
#include "vorn_internal.hpp"

#include <bit>
#include <cstdint>
#include <cstring>

namespace vorn {

// Entries each of the three arrays can hold; 0 for a record without arrays.
inline std::int32_t cell_capacity(const Hash *h);

// Makes room in the three arrays for n cells without changing count, growing geometrically so
// that appending is amortised constant time. False on failure, with the record unchanged.
bool reserve_cells(Hash *h, std::int32_t n);

// Gives back array space when count has fallen far below capacity. Never fails.
void trim_cells(Hash *h);

// Frees the three arrays, the index and the small-buffer blocks; the cells' heap buffers are
// the caller's business.
void free_cell_arrays(Hash *h);

// The small-buffer blocks of a record that has arrays; null otherwise.
CellStore *cell_store(const Hash *h);

// A key's hash, kept so that a lookup that missed need not hash the key again, nor probe again,
// when the cell it missed is appended straight away.
struct KeyHash {
    std::uint32_t value = 0;
    std::uint32_t vacantSlot = 0; // where the missed key would go, while the index is unchanged
    std::size_t length = 0;       // the key's length
    bool known = false;
    bool vacant = false;
    // Keys shorter than 16 bytes: their bytes and terminator, zero-padded to two words, which
    // is what a new key buffer of that length (8 or 16 bytes, its size class) is filled with.
    std::uint64_t words[2] = {0, 0};
};

// The first cell whose key equals key, or -1. Every hit is confirmed byte for byte. With hash
// non-null, the key's hash is left there when one was computed.
inline std::int32_t find_key(const Hash *h, const char *key, KeyHash *hash = nullptr);

// Cells [first, count) were just appended; hash, when known, is that of cell first's key, from a
// lookup that missed with nothing changed in the index since.
void index_appended(Hash *h, std::int32_t first, const KeyHash *hash = nullptr);
// index_appended for the one cell i, the last.
inline void index_appended_one(Hash *h, std::int32_t i, const KeyHash *hash);
// Cell i is about to be renamed (call with its old key still in place), and was renamed.
void index_forget(Hash *h, std::int32_t i);
void index_renamed(Hash *h, std::int32_t i);
// Cells were shifted, reordered or removed: rebuild before the next lookup.
void index_invalidate(Hash *h);

// Memory the index holds, for measurement.
std::int64_t index_bytes(const Hash *h);

// ---- the index's layout and the inline lookup -----------------------------------------------

// Records this small are scanned: the scan is as fast as hashing and needs no memory.
constexpr std::int32_t kScanBelow = 8;

// Open addressing with linear probing over a power-of-two table kept at most half full. Each slot
// holds 32 bits of the key's hash and the first cell with that key: most mismatches are decided
// without touching the key, and the table grows or closes gaps without reading any key.
struct Slot {
    std::uint32_t hash;
    std::int32_t cell; // < 0: empty
};

struct ArrayHead {
    std::int32_t capacity;
    std::uint32_t used; // occupied slots
    Slot *slots;        // null: no index
    std::uint32_t mask; // slots - 1
    bool valid;         // false: rebuild from the keys before the next lookup
    CellStore store;
};
static_assert(sizeof(ArrayHead) % alignof(char *) == 0);

inline ArrayHead *head_of(const Hash *h) {
    if (!h->keys) return nullptr;
    return reinterpret_cast<ArrayHead *>(h->keys) - 1;
}

inline std::int32_t cell_capacity(const Hash *h) {
    const ArrayHead *head = head_of(h);
    return head ? head->capacity : 0;
}

// The index, when it is there and up to date; null otherwise.
inline ArrayHead *live_index(const Hash *h) {
    ArrayHead *head = head_of(h);
    return (head && head->slots && head->valid) ? head : nullptr;
}

inline std::uint64_t load64(const char *p) {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    return w;
}

// The folded 128-bit product: every input bit reaches the middle of the result.
inline std::uint64_t mum(std::uint64_t a, std::uint64_t b) {
    __extension__ using u128 = unsigned __int128;
    const u128 r = u128(a) * b;
    return std::uint64_t(r) ^ std::uint64_t(r >> 64);
}

constexpr std::uint64_t kHashK0 = 0xA0761D6478BD642Full, kHashK1 = 0xE7037ED1A0B428DBull,
                        kHashK2 = 0x8EBC6AF09C88C6E3ull;

// Keys of 16 bytes or more: one multiply per 16 bytes. Nothing past the key is read.
std::uint32_t hash_long_key(const char *s, std::size_t len);

// A key as the index compares it. Keys shorter than 16 bytes, nearly all of them, are held as
// two words: their bytes, the terminator and zeros after it, with a mask of the bytes up to and
// including the terminator. A stored key then equals this one when its first two words agree
// under the masks.
struct KeyText {
    std::uint64_t w0, w1;
    std::uint64_t m0, m1;
    std::size_t len;
    std::uint32_t hash;
};

// Bits 7, 15, ... set at the zero bytes of w; the lowest set bit marks the first zero byte
// exactly (borrows only run towards higher bytes).
constexpr std::uint64_t zero_bytes(std::uint64_t w) {
    return (w - 0x0101010101010101ull) & ~w & 0x8080808080808080ull;
}

constexpr std::size_t kPage = 4096;

// A plain load of 8 bytes from any address; unlike memcpy, no sanitizer runtime sees it.
using LooseWord [[gnu::aligned(1), gnu::may_alias]] = std::uint64_t;

// The KeyText of a key of under 16 bytes from its first two words; false for a longer key.
inline bool short_key(std::uint64_t w0, std::uint64_t w1, KeyText &k) {
    const std::uint64_t z0 = zero_bytes(w0), z1 = zero_bytes(w1);
    // countr_zero gives 64 for a word without zero: length 8 from that word.
    const std::size_t l0 = std::size_t(std::countr_zero(z0)) >> 3;
    const std::size_t l1 = std::size_t(std::countr_zero(z1)) >> 3;
    k.len = l0 < 8 ? l0 : 8 + l1;
    if (k.len >= 16) return false;
    k.m0 = z0 ^ (z0 - 1); // the bytes up to the first zero; all of them when there is none
    k.m1 = z0 ? 0 : z1 ^ (z1 - 1);
    k.w0 = w0 & k.m0;
    k.w1 = w1 & k.m1;
    const std::uint64_t x = mum(k.w0 ^ kHashK1, k.w1 ^ kHashK2);
    k.hash = static_cast<std::uint32_t>(x ^ (x >> 32));
    return true;
}

// read_key for keys of 16 bytes or more, and for keys that start near the end of a page.
KeyText read_key_carefully(const char *s);

// Reads a key of under 16 bytes, its length, words and hash, in one pass and without a call to
// strlen; false for a longer key or one near a page's end. The first 16 bytes are read whole when
// they lie within one page, which no read can fault on, even where the key ends sooner; the bytes
// after its terminator are masked off before anything uses them. That read is outside the key's
// object, so the address sanitizer must not check it.
__attribute__((no_sanitize("address"))) inline bool read_short_key(const char *s, KeyText &k) {
    return (reinterpret_cast<std::uintptr_t>(s) & (kPage - 1)) <= kPage - 16 &&
           short_key(*reinterpret_cast<const LooseWord *>(s),
                     *reinterpret_cast<const LooseWord *>(s + 8), k);
}

inline KeyText read_key(const char *s) {
    KeyText k;
    if (read_short_key(s, k)) [[likely]]
        return k;
    return read_key_carefully(s);
}

// True when stored, a key of the record, equals k (whose text is key). 16 bytes of a stored key,
// and up to kSmallBuffer for longer keys, are read whatever its length: a small stored key lies
// in a block with that much slack after it, a large one is longer.
bool same_long_key(const char *stored, const char *key, std::size_t len);

inline bool same_short_key(const char *stored, const KeyText &k) {
    return (((load64(stored) ^ k.w0) & k.m0) | ((load64(stored + 8) ^ k.w1) & k.m1)) == 0;
}

inline bool same_key(const char *stored, const KeyText &k, const char *key) {
    if (k.len < 16) [[likely]]
        return same_short_key(stored, k);
    return same_long_key(stored, key, k.len);
}

// The cell holding key, or -1; slot is then the empty slot where the key would go. Short: the
// key is known to be shorter than 16 bytes, so the loop makes no calls.
template <bool Short = false>
inline std::int32_t probe(const Hash *h, const ArrayHead *head, const char *key, const KeyText &k,
                          std::uint32_t &slot) {
    std::uint32_t s = k.hash & head->mask;
    for (;;) {
        const Slot e = head->slots[s];
        if (e.cell < 0) {
            slot = s;
            return -1;
        }
        if (e.hash == k.hash &&
            (Short ? same_short_key(h->keys[e.cell], k) : same_key(h->keys[e.cell], k, key))) {
            slot = s;
            return e.cell;
        }
        s = (s + 1) & head->mask;
    }
}

// find_key for every case but the common one, out of line so that the common one makes no call:
// small records, an index to (re)build first or that cannot be had, long keys.
std::int32_t find_key_slow(const Hash *h, const char *key, KeyHash *hash);

#ifdef VORN_CHECK_INDEX
// Checked builds confirm every indexed answer by scanning.
void check_index_answer(const Hash *h, const char *key, std::int32_t cell);
#endif

// The answer of an index lookup, with what an append after a miss needs.
inline std::int32_t indexed_answer(const Hash *h, const char *key, const KeyText &k,
                                   std::int32_t cell, std::uint32_t slot, KeyHash *hash) {
    if (hash) *hash = KeyHash{k.hash, slot, k.len, true, cell < 0, {k.w0, k.w1}};
#ifdef VORN_CHECK_INDEX
    check_index_answer(h, key, cell);
#else
    (void)h, (void)key;
#endif
    return cell;
}

inline std::int32_t find_key(const Hash *h, const char *key, KeyHash *hash) {
    const ArrayHead *head = head_of(h);
    KeyText k;
    if (h->count >= kScanBelow && head && head->slots && head->valid && read_short_key(key, k)) {
        std::uint32_t s = 0;
        const std::int32_t cell = probe<true>(h, head, key, k, s);
        return indexed_answer(h, key, k, cell, s, hash);
    }
    return find_key_slow(h, key, hash);
}

inline void index_appended_one(Hash *h, std::int32_t i, const KeyHash *hash) {
    ArrayHead *head = live_index(h);
    if (!head) return;
    // The common case: the lookup that missed left the empty slot, and the table has room.
    if (hash && hash->known && hash->vacant &&
        std::uint64_t(head->used + 1) * 2 <= std::uint64_t(head->mask) + 1 &&
        head->slots[hash->vacantSlot].cell < 0) {
        head->slots[hash->vacantSlot] = Slot{hash->value, i};
        ++head->used;
        return;
    }
    index_appended(h, i, hash);
}

} // namespace vorn
