#include "key_index.hpp"
#include "vorn_internal.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace vorn {
namespace {

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

ArrayHead *head_of(const Hash *h) {
    if (!h->keys) return nullptr;
    return reinterpret_cast<ArrayHead *>(h->keys) - 1;
}

std::uint64_t load64(const char *p) {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    return w;
}
std::uint64_t load32(const char *p) {
    std::uint32_t w;
    std::memcpy(&w, p, 4);
    return w;
}

// The folded 128-bit product: every input bit reaches the middle of the result.
std::uint64_t mum(std::uint64_t a, std::uint64_t b) {
    __extension__ using u128 = unsigned __int128;
    const u128 r = u128(a) * b;
    return std::uint64_t(r) ^ std::uint64_t(r >> 64);
}

// Keys are mostly short: up to 16 bytes they are read as two overlapping words and mixed by one
// multiply; longer ones take one more multiply per 16 bytes. Nothing past the key is read.
std::uint32_t hash_text(const char *s, std::size_t len) {
    constexpr std::uint64_t k0 = 0xA0761D6478BD642Full, k1 = 0xE7037ED1A0B428DBull,
                            k2 = 0x8EBC6AF09C88C6E3ull;
    std::uint64_t seed = k0 ^ len;
    std::uint64_t a = 0, b = 0;
    if (len <= 16) {
        if (len >= 8) {
            a = load64(s);
            b = load64(s + len - 8);
        } else if (len >= 4) {
            a = load32(s);
            b = load32(s + len - 4);
        } else if (len > 0) {
            a = (std::uint64_t(static_cast<unsigned char>(s[0])) << 16) |
                (std::uint64_t(static_cast<unsigned char>(s[len >> 1])) << 8) |
                static_cast<unsigned char>(s[len - 1]);
        }
    } else {
        const char *p = s;
        for (std::size_t left = len; left > 16; left -= 16, p += 16)
            seed = mum(load64(p) ^ k1, load64(p + 8) ^ seed);
        a = load64(s + len - 16);
        b = load64(s + len - 8);
    }
    const std::uint64_t x = mum(a ^ k1, b ^ seed ^ k2);
    return static_cast<std::uint32_t>(x ^ (x >> 32));
}

std::uint32_t hash_key(const char *key, std::size_t &len) {
    len = std::strlen(key);
    return hash_text(key, len);
}

// True when stored, a key of the record, equals key of length len. Up to kSmallBuffer bytes with
// the terminator, len + 1 bytes of stored are read whatever its length: a small stored key lies
// in a block with that much slack after it, a large one is longer. Equal bytes up to and
// including key's terminator mean equal keys; a shorter stored key differs at its own terminator.
bool same_key(const char *stored, const char *key, std::size_t len) {
    const std::size_t n = len + 1;
    if (n > kSmallBuffer) return keys_equal(stored, key);
    if (n >= 8 && n <= 16)
        return load64(stored) == load64(key) && load64(stored + n - 8) == load64(key + n - 8);
    if (n >= 4 && n < 8)
        return load32(stored) == load32(key) && load32(stored + n - 4) == load32(key + n - 4);
    return std::memcmp(stored, key, n) == 0;
}

// The slot holding key (found), or the empty slot where it would go.
std::uint32_t find_slot(const Hash *h, const ArrayHead *head, const char *key, std::size_t len,
                        std::uint32_t hash, bool &found) {
    std::uint32_t s = hash & head->mask;
    for (;;) {
        const Slot &slot = head->slots[s];
        if (slot.cell < 0) {
            found = false;
            return s;
        }
        if (slot.hash == hash && same_key(h->keys[slot.cell], key, len)) {
            found = true;
            return s;
        }
        s = (s + 1) & head->mask;
    }
}

void free_index(ArrayHead *head) {
    if (!head) return;
    mem_free(head->slots);
    head->slots = nullptr;
    head->used = 0;
    head->valid = false;
}

// A table of n slots (a power of two), all empty; false when memory is short.
bool new_table(ArrayHead *head, std::uint32_t n) {
    auto *slots = static_cast<Slot *>(mem_alloc_raw(std::size_t(n) * sizeof(Slot)));
    if (!slots) return false;
    std::memset(static_cast<void *>(slots), 0xFF, std::size_t(n) * sizeof(Slot));
    mem_free(head->slots);
    head->slots = slots;
    head->mask = n - 1;
    head->used = 0;
    return true;
}

// Places cell i under hash unless an earlier cell already has that key.
void place(const Hash *h, ArrayHead *head, std::int32_t i, std::uint32_t hash, std::size_t len) {
    bool found = false;
    const std::uint32_t s = find_slot(h, head, h->keys[i], len, hash, found);
    if (found) {
        if (head->slots[s].cell > i) head->slots[s].cell = i;
        return;
    }
    head->slots[s] = Slot{hash, i};
    ++head->used;
}

std::uint32_t slots_for(std::int64_t keys) {
    std::uint64_t n = 64; // 512 bytes: records of up to 32 keys never move their table
    while (n < std::uint64_t(keys) * 2 && n < (1ull << 31))
        n *= 2;
    return static_cast<std::uint32_t>(n);
}

// Fills a table for the record's keys from scratch, hashing each key once.
bool build(const Hash *h, ArrayHead *head) {
    const std::uint32_t n = slots_for(h->count);
    // A record emptied and filled again (every block reader does that) keeps its table, unless
    // it is far larger than the keys need.
    const std::uint32_t have = head->slots ? head->mask + 1 : 0;
    if (have >= n && have <= std::max<std::uint64_t>(8 * std::uint64_t(n), 256)) {
        std::memset(static_cast<void *>(head->slots), 0xFF, std::size_t(have) * sizeof(Slot));
        head->used = 0;
    } else if (!new_table(head, n)) {
        free_index(head);
        return false;
    }
    for (std::int32_t i = 0; i < h->count; ++i) {
        std::size_t len = 0;
        const std::uint32_t hash = hash_key(h->keys[i], len);
        place(h, head, i, hash, len);
    }
    head->valid = true;
    return true;
}

// Enlarges the table from the hashes it holds; the keys are not read again. Small tables grow
// fourfold, so that a record of a few hundred keys moves its table twice, not five times.
bool grow(ArrayHead *head) {
    const Slot *old = head->slots;
    const std::uint32_t oldSize = head->mask + 1;
    if (oldSize >= (1u << 30)) return false;
    const std::uint32_t size = oldSize < 256 ? oldSize * 4 : oldSize * 2;
    auto *slots = static_cast<Slot *>(mem_alloc_raw(std::size_t(size) * sizeof(Slot)));
    if (!slots) return false;
    std::memset(static_cast<void *>(slots), 0xFF, std::size_t(size) * sizeof(Slot));
    const std::uint32_t mask = size - 1;
    for (std::uint32_t k = 0; k < oldSize; ++k) {
        if (old[k].cell < 0) continue;
        std::uint32_t s = old[k].hash & mask;
        while (slots[s].cell >= 0)
            s = (s + 1) & mask;
        slots[s] = old[k];
    }
    mem_free(head->slots);
    head->slots = slots;
    head->mask = mask;
    return true;
}

// The index ready for use, or null (small record, or no memory: scan instead).
ArrayHead *ready_index(const Hash *h) {
    if (h->count < kScanBelow) return nullptr;
    ArrayHead *head = head_of(h);
    if (!head) return nullptr;
    if (head->slots && head->valid) return head;
    // Building only caches what the keys already say; the record's content does not change.
    return build(h, head) ? head : nullptr;
}

std::int32_t scan(const Hash *h, const char *key, std::int32_t from = 0) {
    for (std::int32_t i = from; i < h->count; ++i)
        if (keys_equal(h->keys[i], key)) return i;
    return -1;
}

// Removes the entry in slot s, closing the gap so that later probes still find their keys.
void erase_slot(ArrayHead *head, std::uint32_t s) {
    std::uint32_t gap = s;
    std::uint32_t j = s;
    for (;;) {
        j = (j + 1) & head->mask;
        if (head->slots[j].cell < 0) break;
        const std::uint32_t home = head->slots[j].hash & head->mask;
        // Move j into the gap when its home does not lie cyclically within (gap, j].
        const bool homeInRange = gap <= j ? (gap < home && home <= j) : (gap < home || home <= j);
        if (!homeInRange) {
            head->slots[gap] = head->slots[j];
            gap = j;
        }
    }
    head->slots[gap].cell = -1;
    --head->used;
}

// Records that cell i bears its key, unless an earlier cell already does. Without memory to
// grow, the index is dropped and lookups scan until it can be rebuilt. vacant, when given, is
// the empty slot where a lookup just found the key missing.
void note_key(const Hash *h, ArrayHead *head, std::int32_t i, std::uint32_t hash, std::size_t len,
              const std::uint32_t *vacant = nullptr) {
    if (std::uint64_t(head->used + 1) * 2 > std::uint64_t(head->mask) + 1) {
        if (!grow(head)) {
            free_index(head);
            return;
        }
        vacant = nullptr; // the table moved
    }
    if (vacant && head->slots[*vacant].cell < 0) {
        head->slots[*vacant] = Slot{hash, i};
        ++head->used;
        return;
    }
    place(h, head, i, hash, len);
}

ArrayHead *live_index(const Hash *h) {
    ArrayHead *head = head_of(h);
    return (head && head->slots && head->valid) ? head : nullptr;
}

} // namespace

std::int32_t cell_capacity(const Hash *h) {
    const ArrayHead *head = head_of(h);
    return head ? head->capacity : 0;
}

CellStore *cell_store(const Hash *h) {
    ArrayHead *head = head_of(h);
    return head ? &head->store : nullptr;
}

namespace {

// The three arrays share one block behind the header: keys, then values, then sizes. Growing or
// shrinking them is one allocation that either happens whole or not at all.
std::size_t block_bytes(std::int64_t cells) {
    return sizeof(ArrayHead) + std::size_t(cells) * (2 * sizeof(char *) + sizeof(std::int32_t));
}

// Moves the record's arrays into a block for cap cells; false (nothing changed) without memory.
bool rehome_arrays(Hash *h, std::int32_t cap) {
    auto *block = static_cast<ArrayHead *>(mem_alloc_raw(block_bytes(cap)));
    if (!block) return false;
    ArrayHead *head = head_of(h);
    if (head)
        *block = *head;
    else
        *block = ArrayHead{0, 0, nullptr, 0, false, CellStore{}};
    block->capacity = cap;
    auto **keys = reinterpret_cast<char **>(block + 1);
    char **values = keys + cap;
    auto *sizes = reinterpret_cast<std::int32_t *>(values + cap);
    if (head) {
        const auto n = std::size_t(h->count);
        std::memcpy(keys, h->keys, n * sizeof(char *));
        std::memcpy(values, h->values, n * sizeof(char *));
        std::memcpy(sizes, h->sizes, n * sizeof(std::int32_t));
        mem_free(head);
    }
    h->keys = keys;
    h->values = values;
    h->sizes = sizes;
    return true;
}

} // namespace

bool reserve_cells(Hash *h, std::int32_t n) {
    const std::int32_t cap = cell_capacity(h);
    if (n <= cap && h->keys) return true;
    // Doubling while small keeps the number of moves low for the records most callers build;
    // half again beyond that keeps spare room moderate for large ones.
    std::int64_t want = cap < 128    ? std::int64_t(cap) * 4
                        : cap < 1024 ? std::int64_t(cap) * 2
                                     : std::int64_t(cap) + cap / 2;
    if (want < n) want = n;
    if (want < 8) want = 8;
    if (want > INT32_MAX) want = INT32_MAX;
    return rehome_arrays(h, std::int32_t(want));
}

void trim_cells(Hash *h) {
    const std::int32_t cap = cell_capacity(h);
    // Small arrays stay: a record emptied is mostly filled again straight away.
    if (cap <= 256 || h->count >= cap / 4) return;
    // When the allocator declines, the larger arrays simply stay.
    rehome_arrays(h, h->count + h->count / 2 + 4);
}

void free_cell_arrays(Hash *h) {
    ArrayHead *head = head_of(h);
    if (head) {
        free_index(head);
        store_release(&head->store);
    }
    mem_free(head);
    h->keys = nullptr;
    h->values = nullptr;
    h->sizes = nullptr;
}

std::int32_t find_key(const Hash *h, const char *key, KeyHash *hash) {
    const ArrayHead *head = ready_index(h);
    if (!head) return scan(h, key);
    std::size_t len = 0;
    const std::uint32_t hv = hash_key(key, len);
    bool found = false;
    const std::uint32_t s = find_slot(h, head, key, len, hv, found);
    if (hash) *hash = KeyHash{hv, s, len, true, !found};
    const std::int32_t result = found ? head->slots[s].cell : -1;
#ifdef VORN_CHECK_INDEX
    // Checked builds confirm every answer by scanning.
    if (result != scan(h, key)) std::abort();
#endif
    return result;
}

void index_appended(Hash *h, std::int32_t first, const KeyHash *hash) {
    ArrayHead *head = live_index(h);
    if (!head) return;
    for (std::int32_t i = first; i < h->count && head->slots; ++i) {
        if (hash && hash->known && i == first) {
            note_key(h, head, i, hash->value, hash->length,
                     hash->vacant ? &hash->vacantSlot : nullptr);
        } else {
            std::size_t len = 0;
            const std::uint32_t hv = hash_key(h->keys[i], len);
            note_key(h, head, i, hv, len);
        }
    }
}

void index_forget(Hash *h, std::int32_t i) {
    ArrayHead *head = live_index(h);
    if (!head) return;
    const char *key = h->keys[i];
    bool found = false;
    std::size_t len = 0;
    const std::uint32_t hv = hash_key(key, len);
    const std::uint32_t s = find_slot(h, head, key, len, hv, found);
    if (!found || head->slots[s].cell != i) return;
    // The next cell of the same key, if any, becomes the first. Renames usually touch the
    // last cells, where this look is short.
    const std::int32_t next = scan(h, key, i + 1);
    if (next >= 0)
        head->slots[s].cell = next;
    else
        erase_slot(head, s);
}

void index_renamed(Hash *h, std::int32_t i) {
    ArrayHead *head = live_index(h);
    if (!head) return;
    std::size_t len = 0;
    const std::uint32_t hv = hash_key(h->keys[i], len);
    note_key(h, head, i, hv, len);
}

void index_invalidate(Hash *h) {
    ArrayHead *head = head_of(h);
    if (head) head->valid = false;
}

std::int64_t index_bytes(const Hash *h) {
    const ArrayHead *head = head_of(h);
    if (!head || !head->slots) return 0;
    return (std::int64_t(head->mask) + 1) * std::int64_t(sizeof(Slot));
}

} // namespace vorn
