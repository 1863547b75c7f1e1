// The Hash record: cell storage, addressing, writing and reading.
#include "record.hpp"

#include <cstdio>
#include <cstring>
#include <functional>

namespace vorn {

bool write_size(const void *data, std::int32_t length, std::int64_t &len, std::int32_t &bytes,
                std::int32_t unit) {
    len = length;
    if (length < 0) {
        if (!data) return false;
        len = std::int64_t(std::strlen(static_cast<const char *>(data))) + 1;
        if (!fits_i32(len)) return false;
    }
    bytes = value_bytes(unit, len);
    return bytes >= 0;
}

std::int32_t address_cell(const Hash *h, const char *key, std::int32_t index) {
    if (!record_ok(h)) return -1;
    if (key) index = find_key(h, key);
    return (index >= 0 && index < h->count) ? index : -1;
}

bool points_into(const void *p, const void *base, std::int64_t n) {
    if (!p || !base || n <= 0) return false;
    const std::less_equal<const void *> le;
    const std::less<const void *> lt;
    const auto *b = static_cast<const char *>(base);
    return le(b, p) && lt(p, b + n);
}

char *cell_alloc_zero(Hash *h, std::size_t n) {
    if (!is_small(n)) return static_cast<char *>(mem_alloc(n));
    char *p = cell_alloc(h, n);
    if (p) std::memset(p, 0, n);
    return p;
}

void cell_free(Hash *h, char *p, std::size_t n) noexcept {
    if (!p) return;
    if (is_small(n))
        store_free(cell_store(h), p, n);
    else
        mem_free(p);
}

namespace {
char *key_copy(Hash *h, const char *key, std::size_t n) {
    char *k = cell_alloc(h, n);
    if (!k) return nullptr;
    std::memcpy(k, key, n);
    if (!is_small(n)) ++cell_store(h)->largeKeys;
    return k;
}
} // namespace

char *key_copy(Hash *h, const char *key) {
    return key_copy(h, key, std::strlen(key) + 1);
}

void key_free(Hash *h, char *key) noexcept {
    if (!key) return;
    const std::size_t n = std::strlen(key) + 1;
    if (!is_small(n)) --cell_store(h)->largeKeys;
    cell_free(h, key, n);
}

char *cell_resize(Hash *h, char *p, std::size_t old, std::size_t n) {
    if (!is_small(old) && !is_small(n)) return static_cast<char *>(mem_realloc(p, old, n));
    // A small buffer owns its whole size class: growing inside it needs no move.
    if (is_small(old) && is_small(n) &&
        (old + kSmallAlign - 1) / kSmallAlign == (n + kSmallAlign - 1) / kSmallAlign) {
        if (n > old) std::memset(p + old, 0, n - old);
        return p;
    }
    char *q = cell_alloc(h, n);
    if (!q) return nullptr;
    const std::size_t keep = old < n ? old : n;
    std::memcpy(q, p, keep);
    if (n > keep) std::memset(q + keep, 0, n - keep);
    cell_free(h, p, old);
    return q;
}

void free_cell(Hash *h, std::int32_t i) noexcept {
    key_free(h, h->keys[i]);
    cell_free(h, h->values[i], std::size_t(h->sizes[i]));
}

bool new_cell_buffers(Hash *h, std::int32_t bytes, char **key, char **value) {
    char *k = cell_alloc_zero(h, 1);
    if (!k) return false;
    char *v = cell_alloc_zero(h, std::size_t(bytes));
    if (!v) {
        cell_free(h, k, 1);
        return false;
    }
    *key = k;
    *value = v;
    return true;
}

bool grow_cells(Hash *h, std::int32_t n) {
    if (n <= h->count) return true;
    if (!reserve_cells(h, n)) return false;
    const std::int32_t old = h->count;
    for (std::int32_t i = old; i < n; ++i) {
        if (!new_cell_buffers(h, h->unit, &h->keys[i], &h->values[i])) {
            for (std::int32_t j = i - 1; j >= old; --j)
                free_cell(h, j);
            return false;
        }
        h->sizes[i] = h->unit;
    }
    h->count = n;
    index_appended(h, old);
    return true;
}

bool append_cell(Hash *h, const char *key, std::int32_t bytes, const void *data, std::size_t len,
                 const KeyHash *hash) {
    const std::int32_t i = h->count;
    if (i >= cell_capacity(h) && (i == INT32_MAX || !reserve_cells(h, i + 1))) return false;
    char *k;
    if (hash && hash->known && hash->length < 16) {
        // The lookup already holds the key as words: its buffer (8 or 16 bytes, the size class)
        // takes them whole.
        k = store_alloc(cell_store(h), hash->length + 1);
        if (!k) return false;
        std::memcpy(k, &hash->words[0], 8);
        if (hash->length >= 8) std::memcpy(k + 8, &hash->words[1], 8);
    } else {
        k = key_copy(h, key, (hash && hash->known ? hash->length : std::strlen(key)) + 1);
        if (!k) return false;
    }
    char *v = cell_alloc(h, std::size_t(bytes));
    if (!v) {
        key_free(h, k);
        return false;
    }
    fill_value(v, std::size_t(bytes), data, len);
    h->keys[i] = k;
    h->values[i] = v;
    h->sizes[i] = bytes;
    h->count = i + 1;
    index_appended_one(h, i, hash);
    return true;
}

// Frees the heap-placed buffers of every cell; those in the record's blocks go with the blocks.
void free_large_buffers(Hash *h) noexcept {
    for (std::int32_t i = 0; i < h->count; ++i)
        if (!is_small(std::size_t(h->sizes[i]))) mem_free(h->values[i]);
    if (cell_store(h)->largeKeys == 0) return;
    for (std::int32_t i = 0; i < h->count; ++i)
        if (!is_small(std::strlen(h->keys[i]) + 1)) mem_free(h->keys[i]);
}

void shrink_cells(Hash *h, std::int32_t n) {
    if (n == 0 && h->count > 0) {
        // Emptying a record (as every block reader does first) hands its blocks back whole.
        free_large_buffers(h);
        store_reset(cell_store(h));
    } else {
        for (std::int32_t i = h->count - 1; i >= n; --i)
            free_cell(h, i);
    }
    h->count = n;
    index_invalidate(h);
    trim_cells(h);
}

std::int32_t value_text_length(const Hash *h, std::int32_t i) {
    const void *nul = std::memchr(h->values[i], 0, std::size_t(h->sizes[i]));
    return nul ? std::int32_t(static_cast<const char *>(nul) - h->values[i]) : h->sizes[i];
}

namespace {
// Shared by every record and thread; it is never written, so reading it needs no lock.
char g_emptyText[1] = {0};

// Where a write lands by the writing rule, and what must exist for it: a grown record, a new
// named cell. Computed before anything changes so that a failure can be undone exactly.
struct WriteTarget {
    std::int32_t index;
    std::int32_t growTo; // count needed; equal to the current count when nothing grows
    const char *newKey;  // key for a newly appended cell, or null
    KeyHash hash;        // newKey's hash, when the lookup computed it
};

// Fills t in place: the key's hash lands where the append will read it.
void write_target(const Hash *h, const char *key, std::int32_t index, WriteTarget &t) {
    const bool full = h->count == INT32_MAX;
    t.newKey = nullptr;
    if (key && *key) {
        const std::int32_t i = find_key(h, key, &t.hash);
        if (i >= 0) {
            t.index = i;
            t.growTo = h->count;
            return;
        }
        t.newKey = key;
    }
    if (key && *key ? false : index >= 0) {
        t.index = index == INT32_MAX ? -1 : index; // one cell more than an int32 can count
        t.growTo = index >= h->count && t.index >= 0 ? index + 1 : h->count;
        return;
    }
    t.index = full ? -1 : h->count;
    t.growTo = h->count + 1;
}
} // namespace

} // namespace vorn

using namespace vorn;

extern "C" {

VORN_API int32_t VornAllocHash(Hash *hash, int32_t count, int32_t unit) {
    if (!hash) return 0;
    if (unit <= 0) unit = 1;
    if (count <= 0) count = 1;
    *hash = Hash{0, unit, nullptr, nullptr, nullptr};
    if (!fits_i32(std::int64_t(count) * unit)) {
        hash->unit = 0;
        return 0;
    }
    if (grow_cells(hash, count)) return 1;
    free_cell_arrays(hash);
    *hash = Hash{0, 0, nullptr, nullptr, nullptr};
    return 0;
}

VORN_API int32_t VornFreeHash(Hash *hash) {
    if (!hash) return 0;
    if (hash->count > 0 && hash->keys && hash->values) free_large_buffers(hash);
    free_cell_arrays(hash);
    *hash = Hash{0, 0, nullptr, nullptr, nullptr};
    return 1;
}

VORN_API int32_t VornReAllocHash(Hash *hash, int32_t newCount) {
    if (!record_ok(hash) || newCount < 0) return 0;
    if (newCount < hash->count) {
        shrink_cells(hash, newCount);
        return 1;
    }
    return grow_cells(hash, newCount) ? 1 : 0;
}

VORN_API int32_t VornGetHashIndex(const Hash *hash, const char *key) {
    if (!record_ok(hash) || !key) return -1;
    return find_key(hash, key);
}

VORN_API int32_t VornIndexIsEffective(const Hash *hash, int32_t index) {
    return (record_ok(hash) && index >= 0 && index < hash->count) ? 1 : 0;
}

VORN_API int32_t VornCountHash(const Hash *hash) {
    return record_ok(hash) ? hash->count : 0;
}

VORN_API int32_t VornGetHashLength(const Hash *hash, const char *key, int32_t index) {
    const int32_t i = address_cell(hash, key, index);
    return i < 0 ? 0 : hash->sizes[i];
}

VORN_API int32_t VornSetHashKey(Hash *hash, int32_t index, const char *key) {
    if (!record_ok(hash) || index < 0 || index >= hash->count) return 0;
    if (!key) key = "";
    char *copy = key_copy(hash, key);
    if (!copy) return 0;
    index_forget(hash, index);
    key_free(hash, hash->keys[index]);
    hash->keys[index] = copy;
    index_renamed(hash, index);
    return 1;
}

VORN_API int32_t VornSetHash(Hash *hash, const char *key, int32_t index, const void *data,
                             int32_t length) {
    std::int64_t len = 0;
    int32_t bytes = 0;
    if (!record_ok(hash) || !write_size(data, length, len, bytes, hash->unit)) return 0;

    WriteTarget t;
    write_target(hash, key, index, t);
    if (t.index < 0) return 0;
    const int32_t oldCount = hash->count;
    const int32_t i = t.index;

    // The data may live in the very buffer that is about to be resized.
    MemPtr<char> staged;
    if (data && i < oldCount && points_into(data, hash->values[i], hash->sizes[i])) {
        staged.reset(static_cast<char *>(mem_alloc_raw(std::size_t(len))));
        if (!staged) return 0;
        std::memcpy(staged.get(), data, std::size_t(len));
        data = staged.get();
    }

    if (t.newKey)
        // A new named cell is made at its final size in one go: the common way records grow.
        return append_cell(hash, t.newKey, bytes, data, std::size_t(len), &t.hash) ? 1 : 0;
    if (!grow_cells(hash, t.growTo)) return 0;
    if (bytes != hash->sizes[i]) {
        char *p =
            cell_resize(hash, hash->values[i], std::size_t(hash->sizes[i]), std::size_t(bytes));
        if (!p) {
            shrink_cells(hash, oldCount);
            return 0;
        }
        hash->values[i] = p;
        hash->sizes[i] = bytes;
    }
    if (data) std::memmove(hash->values[i], data, std::size_t(len));
    return 1;
}

VORN_API int32_t VornSetHashInt(Hash *hash, const char *key, int32_t index, int32_t value,
                                int32_t asText) {
    if (asText) {
        char text[64];
        std::snprintf(text, sizeof text, "%d", value);
        return VornSetHash(hash, key, index, text, -1);
    }
    const auto u = static_cast<std::uint32_t>(value);
    const unsigned char raw[4] = {static_cast<unsigned char>(u), static_cast<unsigned char>(u >> 8),
                                  static_cast<unsigned char>(u >> 16),
                                  static_cast<unsigned char>(u >> 24)};
    return VornSetHash(hash, key, index, raw, 4);
}

VORN_API char *VornGetHashPtr(const Hash *hash, const char *key, int32_t index) {
    const int32_t i = address_cell(hash, key, index);
    return i < 0 ? nullptr : hash->values[i];
}

VORN_API char *VornGetHashPtrSafe(const Hash *hash, const char *key, int32_t index) {
    char *p = VornGetHashPtr(hash, key, index);
    if (p) return p;
    return g_emptyText;
}

VORN_API int32_t VornGetHash(char *buffer, int32_t bufferSize, const Hash *hash, const char *key,
                             int32_t index, int32_t asText) {
    if (!buffer || bufferSize < 1) return 0;
    const int32_t i = address_cell(hash, key, index);
    if (i < 0) return 0;
    const int32_t n = bufferSize < hash->sizes[i] ? bufferSize : hash->sizes[i];
    if (asText) return int32_t(copy_text(buffer, hash->values[i], std::size_t(n))) + 1;
    std::memmove(buffer, hash->values[i], std::size_t(n));
    return n;
}

VORN_API int32_t VornGetHashInt(const Hash *hash, const char *key, int32_t index, int32_t asText) {
    const int32_t i = address_cell(hash, key, index);
    if (i < 0) return 0;
    const auto *p = reinterpret_cast<const unsigned char *>(hash->values[i]);
    if (asText) return text_to_int(hash->values[i], std::size_t(hash->sizes[i]));
    std::uint32_t v = 0;
    const int32_t n = hash->sizes[i] < 4 ? hash->sizes[i] : 4;
    for (int32_t k = 0; k < n; ++k)
        v |= std::uint32_t(p[k]) << (8 * k);
    return static_cast<int32_t>(v);
}

VORN_API int32_t VornHashVersion(void) {
    return VORNHASH_INTERFACE_VERSION;
}

} // extern "C"
