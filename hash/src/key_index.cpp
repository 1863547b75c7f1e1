#include "key_index.hpp"
#include "vorn_internal.hpp"

#include <cstdlib>
#include <cstring>

namespace vorn {
namespace {

// Records this small are scanned: the scan is as fast as hashing and needs no memory.
constexpr std::int32_t kScanBelow = 16;

// Open addressing with linear probing. Each slot has a tag byte (0 = empty, else the high bit
// and 7 bits of the key's hash, so that most mismatches never touch the key) and the index of
// the first cell with that key. Slots are kept at two to three times the distinct keys: at most
// 15 bytes per cell, and short probe runs.
struct KeyIndex {
    std::uint32_t slots;
    std::uint32_t used;
    bool valid;
    std::uint8_t *tags;
    std::int32_t *cells;
};

struct ArrayHead {
    std::int32_t capacity;
    std::int32_t reserved;
    KeyIndex *index;
};
static_assert(sizeof(ArrayHead) % alignof(char *) == 0);

ArrayHead *head_of(const Hash *h) {
    if (!h->keys) return nullptr;
    return reinterpret_cast<ArrayHead *>(h->keys) - 1;
}

std::uint64_t hash_text(const char *s, std::size_t len) {
    std::uint64_t h = 0x9E3779B97F4A7C15ull ^ (len * 0xC2B2AE3D27D4EB4Full);
    std::size_t i = 0;
    for (; i + 8 <= len; i += 8) {
        std::uint64_t w;
        std::memcpy(&w, s + i, 8);
        h = (h ^ w) * 0xFF51AFD7ED558CCDull;
        h ^= h >> 29;
    }
    std::uint64_t tail = 0;
    for (; i < len; ++i)
        tail = (tail << 8) | static_cast<unsigned char>(s[i]);
    h = (h ^ tail) * 0xC4CEB9FE1A85EC53ull;
    h ^= h >> 32;
    h *= 0xFF51AFD7ED558CCDull;
    h ^= h >> 29;
    return h;
}

struct Probe {
    std::uint32_t slot;
    std::uint8_t tag;
};

Probe probe_start(const KeyIndex *ix, const char *key) {
    const std::uint64_t h = hash_text(key, std::strlen(key));
    const auto top = static_cast<std::uint32_t>(h >> 32);
    return Probe{static_cast<std::uint32_t>((std::uint64_t(top) * ix->slots) >> 32),
                 static_cast<std::uint8_t>(0x80 | (h & 0x7F))};
}

// The slot holding key, or the empty slot where it would go (its tag in *tag).
std::uint32_t find_slot(const Hash *h, const KeyIndex *ix, const char *key, bool &found,
                        std::uint8_t *tag = nullptr) {
    Probe p = probe_start(ix, key);
    if (tag) *tag = p.tag;
    for (;;) {
        const std::uint8_t t = ix->tags[p.slot];
        if (t == 0) {
            found = false;
            return p.slot;
        }
        if (t == p.tag && keys_equal(h->keys[ix->cells[p.slot]], key)) {
            found = true;
            return p.slot;
        }
        if (++p.slot == ix->slots) p.slot = 0;
    }
}

void free_index(ArrayHead *head) {
    if (!head || !head->index) return;
    mem_free(head->index->cells); // the block that holds the tags too
    mem_free(head->index);
    head->index = nullptr;
}

// Fills a table of the given size from scratch; false when memory is short.
bool build(Hash *h, ArrayHead *head, std::uint32_t slots) {
    auto *ix = head->index;
    if (!ix) {
        ix = static_cast<KeyIndex *>(mem_alloc(sizeof(KeyIndex)));
        if (!ix) return false;
        head->index = ix;
    }
    if (ix->slots != slots || !ix->tags) {
        auto *block = static_cast<std::uint8_t *>(
            mem_alloc_raw(std::size_t(slots) * (sizeof(std::int32_t) + 1)));
        if (!block) {
            free_index(head);
            return false;
        }
        mem_free(ix->cells);
        ix->cells = reinterpret_cast<std::int32_t *>(block);
        ix->tags = block + std::size_t(slots) * sizeof(std::int32_t);
        ix->slots = slots;
    }
    std::memset(ix->tags, 0, slots);
    ix->used = 0;
    for (std::int32_t i = 0; i < h->count; ++i) {
        bool found = false;
        std::uint8_t tag = 0;
        const std::uint32_t s = find_slot(h, ix, h->keys[i], found, &tag);
        if (found) continue;
        ix->tags[s] = tag;
        ix->cells[s] = i;
        ++ix->used;
    }
    ix->valid = true;
    return true;
}

std::uint32_t slots_for(std::int64_t keys) {
    const std::int64_t s = keys * 3 + 8;
    return s > 0xFFFFFFF0ll ? 0xFFFFFFF0u : static_cast<std::uint32_t>(s);
}

// The index ready for use, or null (small record, or no memory: scan instead).
KeyIndex *ready_index(const Hash *h) {
    if (h->count < kScanBelow) return nullptr;
    ArrayHead *head = head_of(h);
    if (!head) return nullptr;
    if (head->index && head->index->valid) return head->index;
    // Building only caches what the keys already say; the record's content does not change.
    if (!build(const_cast<Hash *>(h), head, slots_for(h->count))) return nullptr;
    return head->index;
}

std::int32_t scan(const Hash *h, const char *key, std::int32_t from = 0) {
    for (std::int32_t i = from; i < h->count; ++i)
        if (keys_equal(h->keys[i], key)) return i;
    return -1;
}

// Removes the entry in slot s, closing the gap so that later probes still find their keys.
void erase_slot(const Hash *h, KeyIndex *ix, std::uint32_t s) {
    std::uint32_t gap = s;
    std::uint32_t j = s;
    for (;;) {
        if (++j == ix->slots) j = 0;
        if (ix->tags[j] == 0) break;
        const std::uint32_t home = probe_start(ix, h->keys[ix->cells[j]]).slot;
        // Move j into the gap when its home does not lie cyclically within (gap, j].
        const bool homeInRange = gap <= j ? (gap < home && home <= j) : (gap < home || home <= j);
        if (!homeInRange) {
            ix->tags[gap] = ix->tags[j];
            ix->cells[gap] = ix->cells[j];
            gap = j;
        }
    }
    ix->tags[gap] = 0;
    --ix->used;
}

// Records that cell i bears key, unless an earlier cell already does.
void note_key(Hash *h, ArrayHead *head, std::int32_t i) {
    KeyIndex *ix = head->index;
    if (std::uint64_t(ix->used + 1) * 2 > ix->slots) {
        // Growing means rehashing every key; the record has them all, including cell i.
        build(h, head, slots_for(h->count));
        return;
    }
    bool found = false;
    std::uint8_t tag = 0;
    const std::uint32_t s = find_slot(h, ix, h->keys[i], found, &tag);
    if (found) {
        if (ix->cells[s] > i) ix->cells[s] = i;
        return;
    }
    ix->tags[s] = tag;
    ix->cells[s] = i;
    ++ix->used;
}

KeyIndex *live_index(const Hash *h) {
    ArrayHead *head = head_of(h);
    return (head && head->index && head->index->valid) ? head->index : nullptr;
}

} // namespace

std::int32_t cell_capacity(const Hash *h) {
    const ArrayHead *head = head_of(h);
    return head ? head->capacity : 0;
}

bool reserve_cells(Hash *h, std::int32_t n) {
    const std::int32_t cap = cell_capacity(h);
    if (n <= cap && h->keys) return true;
    std::int64_t want = std::int64_t(cap) + cap / 2;
    if (want < n) want = n;
    if (want < 4) want = 4;
    if (want > INT32_MAX) want = INT32_MAX;
    const auto w = std::size_t(want);

    ArrayHead *head = head_of(h);
    auto *block =
        static_cast<ArrayHead *>(mem_realloc_raw(head, sizeof(ArrayHead) + w * sizeof(char *)));
    if (!block) return false;
    if (!head) *block = ArrayHead{0, 0, nullptr};
    h->keys = reinterpret_cast<char **>(block + 1);
    // The capacity only counts once all three arrays have it; until then the old one stands.
    void *v = mem_realloc_raw(h->values, w * sizeof(char *));
    if (!v) return false;
    h->values = static_cast<char **>(v);
    void *s = mem_realloc_raw(h->sizes, w * sizeof(std::int32_t));
    if (!s) return false;
    h->sizes = static_cast<std::int32_t *>(s);
    block->capacity = std::int32_t(want);
    return true;
}

void trim_cells(Hash *h) {
    const std::int32_t cap = cell_capacity(h);
    if (cap < 64 || h->count >= cap / 4) return;
    const std::int32_t want = h->count + h->count / 2 + 4;
    const auto w = std::size_t(want);
    // Shrinking normally succeeds; when the allocator declines, the larger arrays stay. The
    // capacity drops as soon as one array is smaller, so it never promises more than all three
    // hold.
    void *v = mem_realloc_raw(h->values, w * sizeof(char *));
    if (!v) return;
    h->values = static_cast<char **>(v);
    head_of(h)->capacity = want;
    if (void *s = mem_realloc_raw(h->sizes, w * sizeof(std::int32_t)))
        h->sizes = static_cast<std::int32_t *>(s);
    if (void *block = mem_realloc_raw(head_of(h), sizeof(ArrayHead) + w * sizeof(char *)))
        h->keys = reinterpret_cast<char **>(static_cast<ArrayHead *>(block) + 1);
}

void free_cell_arrays(Hash *h) {
    ArrayHead *head = head_of(h);
    free_index(head);
    mem_free(head);
    mem_free(h->values);
    mem_free(h->sizes);
    h->keys = nullptr;
    h->values = nullptr;
    h->sizes = nullptr;
}

std::int32_t find_key(const Hash *h, const char *key) {
    const KeyIndex *ix = ready_index(h);
    if (!ix) return scan(h, key);
    bool found = false;
    const std::uint32_t s = find_slot(h, ix, key, found);
    const std::int32_t result = found ? ix->cells[s] : -1;
#ifdef VORN_CHECK_INDEX
    // Checked builds confirm every answer by scanning.
    if (result != scan(h, key)) std::abort();
#endif
    return result;
}

void index_appended(Hash *h, std::int32_t first) {
    ArrayHead *head = head_of(h);
    if (!live_index(h)) return;
    for (std::int32_t i = first; i < h->count && head->index; ++i)
        note_key(h, head, i);
}

void index_forget(Hash *h, std::int32_t i) {
    KeyIndex *ix = live_index(h);
    if (!ix) return;
    const char *key = h->keys[i];
    bool found = false;
    const std::uint32_t s = find_slot(h, ix, key, found);
    if (!found || ix->cells[s] != i) return;
    // The next cell of the same key, if any, becomes the first. Renames usually touch the
    // last cells, where this look is short.
    const std::int32_t next = scan(h, key, i + 1);
    if (next >= 0)
        ix->cells[s] = next;
    else
        erase_slot(h, ix, s);
}

void index_renamed(Hash *h, std::int32_t i) {
    if (live_index(h)) note_key(h, head_of(h), i);
}

void index_invalidate(Hash *h) {
    ArrayHead *head = head_of(h);
    if (head && head->index) head->index->valid = false;
}

std::int64_t index_bytes(const Hash *h) {
    const ArrayHead *head = head_of(h);
    if (!head || !head->index) return 0;
    return std::int64_t(sizeof(KeyIndex)) + std::int64_t(head->index->slots) * 5;
}

} // namespace vorn
