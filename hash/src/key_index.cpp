#include "key_index.hpp"
#include "vorn_internal.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace vorn {

std::uint32_t hash_long_key(const char *s, std::size_t len) {
    std::uint64_t seed = kHashK0 ^ len;
    const char *p = s;
    for (std::size_t left = len; left > 16; left -= 16, p += 16)
        seed = mum(load64(p) ^ kHashK1, load64(p + 8) ^ seed);
    const std::uint64_t x =
        mum(load64(s + len - 16) ^ kHashK1, load64(s + len - 8) ^ seed ^ kHashK2);
    return static_cast<std::uint32_t>(x ^ (x >> 32));
}

KeyText read_key_carefully(const char *s) {
    char near[16] = {};
    std::memcpy(near, s, strnlen(s, sizeof near));
    KeyText k;
    if (short_key(load64(near), load64(near + 8), k)) return k;
    k.len = 16 + std::strlen(s + 16);
    k.w0 = k.w1 = k.m0 = k.m1 = 0;
    k.hash = hash_long_key(s, k.len);
    return k;
}

bool same_long_key(const char *stored, const char *key, std::size_t len) {
    if (len + 1 <= kSmallBuffer) return std::memcmp(stored, key, len + 1) == 0;
    return keys_equal(stored, key);
}

namespace {

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

// Places cell i, whose key is k, unless an earlier cell already has that key.
void place(const Hash *h, ArrayHead *head, std::int32_t i, const KeyText &k) {
    std::uint32_t s = 0;
    const std::int32_t cell = probe(h, head, h->keys[i], k, s);
    if (cell >= 0) {
        if (cell > i) head->slots[s].cell = i;
        return;
    }
    head->slots[s] = Slot{k.hash, i};
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
    for (std::int32_t i = 0; i < h->count; ++i)
        place(h, head, i, read_key(h->keys[i]));
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
// grow, the index is dropped and lookups scan until it can be rebuilt. hash, when given, is from
// a lookup of that key that missed with the index unchanged since.
void note_key(const Hash *h, ArrayHead *head, std::int32_t i, const KeyHash *hash = nullptr) {
    if (std::uint64_t(head->used + 1) * 2 > std::uint64_t(head->mask) + 1) {
        if (!grow(head)) {
            free_index(head);
            return;
        }
        hash = nullptr; // the table moved
    }
    if (hash && hash->vacant && head->slots[hash->vacantSlot].cell < 0) {
        head->slots[hash->vacantSlot] = Slot{hash->value, i};
        ++head->used;
        return;
    }
    place(h, head, i, read_key(h->keys[i]));
}

} // namespace

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

std::int32_t find_key_slow(const Hash *h, const char *key, KeyHash *hash) {
    ArrayHead *head = head_of(h);
    if (h->count < kScanBelow || !head) return scan(h, key);
    // Building only caches what the keys already say; the record's content does not change.
    if (!(head->slots && head->valid) && !build(h, head)) return scan(h, key);
    const KeyText k = read_key(key);
    std::uint32_t s = 0;
    const std::int32_t cell = probe(h, head, key, k, s);
    return indexed_answer(h, key, k, cell, s, hash);
}

#ifdef VORN_CHECK_INDEX
void check_index_answer(const Hash *h, const char *key, std::int32_t cell) {
    if (cell != scan(h, key)) std::abort();
}
#endif

void index_appended(Hash *h, std::int32_t first, const KeyHash *hash) {
    ArrayHead *head = live_index(h);
    if (!head) return;
    for (std::int32_t i = first; i < h->count && head->slots; ++i) {
        note_key(h, head, i, hash && hash->known && i == first ? hash : nullptr);
    }
}

void index_forget(Hash *h, std::int32_t i) {
    ArrayHead *head = live_index(h);
    if (!head) return;
    const char *key = h->keys[i];
    std::uint32_t s = 0;
    if (probe(h, head, key, read_key(key), s) != i) return;
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
    note_key(h, head, i);
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
