// Rearranging whole records and moving cells between them.
#include "record.hpp"

#include <cstring>

namespace vorn {
namespace {

void swap_cells(Hash *h, std::int32_t a, std::int32_t b, bool withKeys) {
    std::swap(h->values[a], h->values[b]);
    std::swap(h->sizes[a], h->sizes[b]);
    if (withKeys) std::swap(h->keys[a], h->keys[b]);
}

// ---- sorting ------------------------------------------------------------------------------
// Any stable sort gives the same order; equal values keep their relative order either way.

struct SortItem {
    std::uint64_t prefix; // the first folded bytes, which decide most comparisons at once
    char *value;
    char *key;
    std::int32_t size;
};

struct SortOrder {
    std::int32_t flags;
    bool descending;
    // True when a must come before b.
    bool before(const SortItem &a, const SortItem &b) const {
        int r;
        if (a.prefix != b.prefix)
            r = a.prefix < b.prefix ? -1 : 1;
        else
            r = compare_values(a.value, std::size_t(a.size), b.value, std::size_t(b.size), flags);
        return descending ? r > 0 : r < 0;
    }
};

// Bottom-up merge sort into scratch and back; stable because ties take the left run first.
void merge_pass(const SortOrder &order, SortItem *from, SortItem *to, std::int64_t n,
                std::int64_t width) {
    for (std::int64_t lo = 0; lo < n; lo += 2 * width) {
        const std::int64_t mid = lo + width < n ? lo + width : n;
        const std::int64_t hi = lo + 2 * width < n ? lo + 2 * width : n;
        std::int64_t i = lo, j = mid, k = lo;
        while (i < mid && j < hi)
            to[k++] = order.before(from[j], from[i]) ? from[j++] : from[i++];
        while (i < mid)
            to[k++] = from[i++];
        while (j < hi)
            to[k++] = from[j++];
    }
}

bool merge_sort(Hash *h, std::int32_t flags, bool descending, bool moveKeys) {
    const std::int64_t n = h->count;
    MemPtr<SortItem> items(
        static_cast<SortItem *>(mem_alloc_raw(std::size_t(n) * 2 * sizeof(SortItem))));
    if (!items) return false;
    SortItem *a = items.get(), *b = items.get() + n;
    for (std::int64_t i = 0; i < n; ++i)
        a[i] = SortItem{folded_prefix(h->values[i], std::size_t(h->sizes[i]), flags), h->values[i],
                        h->keys[i], h->sizes[i]};
    const SortOrder order{flags, descending};
    // Short runs by insertion first: fewer passes over memory.
    constexpr std::int64_t kRun = 16;
    for (std::int64_t lo = 0; lo < n; lo += kRun) {
        const std::int64_t hi = lo + kRun < n ? lo + kRun : n;
        for (std::int64_t i = lo + 1; i < hi; ++i) {
            const SortItem x = a[i];
            std::int64_t j = i;
            for (; j > lo && order.before(x, a[j - 1]); --j)
                a[j] = a[j - 1];
            a[j] = x;
        }
    }
    for (std::int64_t width = kRun; width < n; width *= 2) {
        merge_pass(order, a, b, n, width);
        std::swap(a, b);
    }
    for (std::int64_t i = 0; i < n; ++i) {
        h->values[i] = a[i].value;
        h->sizes[i] = a[i].size;
        if (moveKeys) h->keys[i] = a[i].key;
    }
    return true;
}

// The fallback when scratch memory cannot be had: in place, so sorting never fails.
void insertion_sort(Hash *h, std::int32_t flags, bool descending, bool moveKeys) {
    for (std::int32_t i = 1; i < h->count; ++i) {
        for (std::int32_t j = i; j > 0; --j) {
            int r = compare_values(h->values[j - 1], std::size_t(h->sizes[j - 1]), h->values[j],
                                   std::size_t(h->sizes[j]), flags);
            if (descending) r = -r;
            if (r <= 0) break;
            swap_cells(h, j - 1, j, moveKeys);
        }
    }
}

// Moves entries [from, from + n) of one array to [to, to + n), as memmove does.
template <class T> void move_entries(T *array, std::int32_t to, std::int32_t from, std::int32_t n) {
    std::memmove(array + to, array + from, std::size_t(n) * sizeof(T));
}

// Empty cells made ahead of a move: each a zero-filled value of unit bytes and an empty key.
// Handed back to the record unless taken.
struct FreshCells {
    Hash *h;
    MemPtr<char *> items; // value, key, value, key, ...
    std::int32_t made = 0;
    FreshCells(Hash *record, std::int32_t cells)
        : h(record), items(static_cast<char **>(
                         mem_alloc(std::size_t(cells > 0 ? 2 * cells : 1) * sizeof(char *)))) {}
    ~FreshCells() {
        if (!items) return;
        for (std::int32_t k = 0; k < made; ++k) {
            cell_free(h, items.get()[2 * k], std::size_t(h->unit));
            cell_free(h, items.get()[2 * k + 1], 1);
        }
    }
    bool make(std::int32_t cells) {
        if (!items) return false;
        for (; made < cells; ++made)
            if (!new_cell_buffers(h, h->unit, &items.get()[2 * made + 1], &items.get()[2 * made]))
                return false;
        return true;
    }
    char *take(std::int32_t k) {
        char *p = items.get()[k];
        items.get()[k] = nullptr;
        return p;
    }
};

// Within one record: moves the run [si, si + n) to [ti, ti + n). The record already holds
// ti + n cells. Cells of the source range left behind become empty; the buffers the run lands
// on are freed. All or nothing.
bool move_within(Hash *h, std::int32_t ti, std::int32_t si, std::int32_t n, bool withKeys) {
    const std::int32_t shift = ti > si ? ti - si : si - ti;
    const std::int32_t vacated = shift < n ? shift : n;
    FreshCells fresh(h, vacated);
    if (!fresh.make(vacated)) return false;
    // The cells the run lands on and the source does not cover lose their buffers.
    const std::int32_t lostFirst = ti > si ? (ti > si + n ? ti : si + n) : ti;
    const std::int32_t lostEnd = ti > si ? ti + n : (ti + n < si ? ti + n : si);
    for (std::int32_t c = lostFirst; c < lostEnd; ++c) {
        cell_free(h, h->values[c], std::size_t(h->sizes[c]));
        if (withKeys) key_free(h, h->keys[c]);
    }
    move_entries(h->values, ti, si, n);
    move_entries(h->sizes, ti, si, n);
    if (withKeys) {
        move_entries(h->keys, ti, si, n);
        index_invalidate(h);
    }
    // The cells of the source range the run left.
    const std::int32_t leftFirst = ti > si ? si : (ti + n > si ? ti + n : si);
    const std::int32_t leftEnd = ti > si ? (si + n < ti ? si + n : ti) : si + n;
    std::int32_t k = 0;
    for (std::int32_t c = leftFirst; c < leftEnd; ++c, k += 2) {
        h->values[c] = fresh.take(k);
        h->sizes[c] = h->unit;
        char *key = fresh.take(k + 1);
        if (withKeys)
            h->keys[c] = key;
        else
            cell_free(h, key, 1);
    }
    fresh.made = 0; // every buffer is placed or given back
    return true;
}

} // namespace
} // namespace vorn

using namespace vorn;

extern "C" {

VORN_API int32_t VornSortHash(Hash *hash, int32_t compareFlags, int32_t moveKeys,
                              int32_t descending) {
    if (!record_ok(hash)) return 0;
    if (hash->count < 2) return hash->count;
    if (!merge_sort(hash, compareFlags, descending != 0, moveKeys != 0))
        insertion_sort(hash, compareFlags, descending != 0, moveKeys != 0);
    if (moveKeys) index_invalidate(hash);
    return hash->count;
}

VORN_API int32_t VornDeleteHash(Hash *hash, const char *key, int32_t index) {
    const int32_t i = address_cell(hash, key, index);
    if (i < 0) return 0;
    free_cell(hash, i);
    const int32_t after = hash->count - i - 1;
    move_entries(hash->keys, i, i + 1, after);
    move_entries(hash->values, i, i + 1, after);
    move_entries(hash->sizes, i, i + 1, after);
    --hash->count;
    index_invalidate(hash);
    trim_cells(hash);
    return 1;
}

VORN_API int32_t VornDeleteEmptyHash(Hash *hash) {
    if (!record_ok(hash)) return 0;
    int32_t kept = 0;
    for (int32_t i = 0; i < hash->count; ++i) {
        if (hash->values[i][0] == 0) {
            free_cell(hash, i);
            continue;
        }
        hash->keys[kept] = hash->keys[i];
        hash->values[kept] = hash->values[i];
        hash->sizes[kept] = hash->sizes[i];
        ++kept;
    }
    if (kept != hash->count) index_invalidate(hash);
    hash->count = kept;
    trim_cells(hash);
    return 1;
}

VORN_API int32_t VornCopyHashCell(Hash *target, const char *targetKey, int32_t targetIndex,
                                  const Hash *source, const char *sourceKey, int32_t sourceIndex) {
    const int32_t i = address_cell(source, sourceKey, sourceIndex);
    if (i < 0) return 0;
    return VornSetHash(target, targetKey, targetIndex, source->values[i], source->sizes[i]);
}

VORN_API int32_t VornCopyHash(Hash *target, const Hash *source) {
    if (!record_ok(target) || !record_ok(source)) return 0;
    if (target == source) return 1;
    const int32_t n = source->count;
    // Build the new arrays aside and swap them in, so that running out of memory half-way
    // leaves the target as it was. Each value reads as VornSetHash would have left the target
    // cell after writing the source bytes into it.
    Hash fresh{0, target->unit, nullptr, nullptr, nullptr};
    auto discard = [&fresh] { VornFreeHash(&fresh); };
    if (!reserve_cells(&fresh, n)) {
        discard();
        return 0;
    }
    for (int32_t i = 0; i < n; ++i) {
        const int32_t len = source->sizes[i];
        const int32_t bytes = value_bytes(target->unit, len);
        char *key = bytes < 0 ? nullptr : key_copy(&fresh, source->keys[i]);
        char *value = key ? cell_alloc_zero(&fresh, std::size_t(bytes)) : nullptr;
        if (!value) {
            key_free(&fresh, key);
            discard();
            return 0;
        }
        if (i < target->count) {
            const int32_t old = target->sizes[i];
            // Unchanged size keeps the old tail; a resize keeps the leading bytes.
            std::memcpy(value, target->values[i], std::size_t(old < bytes ? old : bytes));
        }
        std::memcpy(value, source->values[i], std::size_t(len));
        fresh.keys[i] = key;
        fresh.values[i] = value;
        fresh.sizes[i] = bytes;
        fresh.count = i + 1;
    }
    VornFreeHash(target);
    *target = fresh;
    return 1;
}

VORN_API int32_t VornCatHashString(Hash *hash, const char *key, int32_t index, const char *text) {
    if (!record_ok(hash) || !text) return 0;
    int32_t i = index;
    if (key) {
        i = find_key(hash, key);
        if (i < 0) {
            const std::size_t tlen = std::strlen(text);
            if (!fits_i32(std::int64_t(tlen))) return 0;
            // An empty key would address cell 0 by the writing rule and overwrite it; a key
            // that is not there means a new cell, named or not.
            return VornSetHash(hash, *key ? key : nullptr, *key ? 0 : -1, text, int32_t(tlen));
        }
    }
    const bool existing = i >= 0 && i < hash->count;
    const std::int64_t tlen = std::int64_t(std::strlen(text));
    const std::int64_t total = (existing ? value_text_length(hash, i) : 0) + tlen;
    if (!fits_i32(total + 1)) return 0;

    // The text may be part of the buffer that is about to grow.
    MemPtr<char> staged;
    if (existing && points_into(text, hash->values[i], hash->sizes[i])) {
        staged = mem_text(std::size_t(tlen) + 1);
        if (!staged) return 0;
        std::memcpy(staged.get(), text, std::size_t(tlen));
        text = staged.get();
    }
    const int32_t before = hash->count;
    if (!VornSetHash(hash, key, i, nullptr, int32_t(total + 1))) return 0;
    const int32_t cell = (!key && i < 0) ? before : i;
    const int32_t at = value_text_length(hash, cell);
    std::memcpy(hash->values[cell] + at, text, std::size_t(tlen));
    hash->values[cell][at + tlen] = 0;
    return 1;
}

VORN_API int32_t VornUnitingHash(Hash *target, const Hash *source) {
    if (!record_ok(target) || !record_ok(source)) return 0;
    const int32_t n = source->count;
    for (int32_t i = 0; i < n; ++i) {
        const char *k = source->keys[i];
        if (!VornCopyHashCell(target, k, -1, source, k, i)) return 0;
    }
    return 1;
}

VORN_API int32_t VornMoveHashArray(Hash *target, int32_t targetIndex, Hash *source,
                                   int32_t sourceIndex, int32_t n, int32_t withKeys) {
    if (!record_ok(target) || !record_ok(source)) return 0;
    if (targetIndex < 0 || sourceIndex < 0 || sourceIndex > source->count) return 0;
    const int32_t avail = source->count - sourceIndex;
    if (n < 0 || n > avail) n = avail;

    if (target != source) {
        if (std::int64_t(targetIndex) + n > INT32_MAX) return 0;
        for (int32_t k = 0; k < n; ++k) {
            if (!VornCopyHashCell(target, nullptr, targetIndex + k, source, nullptr,
                                  sourceIndex + k))
                return 0;
            if (withKeys && !VornSetHashKey(target, targetIndex + k, source->keys[sourceIndex + k]))
                return 0;
        }
        return 1;
    }

    if (targetIndex == sourceIndex || n == 0) return 1;
    const std::int64_t need = std::int64_t(targetIndex) + n;
    if (need > INT32_MAX) return 0;
    const int32_t oldCount = source->count;
    if (!grow_cells(source, int32_t(need))) return 0;
    if (!move_within(source, targetIndex, sourceIndex, n, withKeys != 0)) {
        shrink_cells(source, oldCount);
        return 0;
    }
    return 1;
}

VORN_API int32_t VornAddHash(Hash *hash, const char *key, int32_t index, const void *data,
                             int32_t length) {
    if (!record_ok(hash)) return 0;
    const int32_t i = key ? find_key(hash, key) : index;
    if (i < 0 || i >= hash->count) return VornSetHash(hash, key, i, data, length);

    std::int64_t len = 0;
    int32_t bytes = 0;
    if (!write_size(data, length, len, bytes, hash->unit) || hash->count == INT32_MAX) return 0;

    // Everything the new cell needs is obtained before the record changes.
    if (!reserve_cells(hash, hash->count + 1)) return 0;
    char *keyBuf = key_copy(hash, key ? key : "");
    if (!keyBuf) return 0;
    char *value = cell_alloc_zero(hash, std::size_t(bytes));
    if (!value) {
        key_free(hash, keyBuf);
        return 0;
    }
    if (data) std::memcpy(value, data, std::size_t(len));

    const int32_t after = hash->count - i;
    move_entries(hash->keys, i + 1, i, after);
    move_entries(hash->values, i + 1, i, after);
    move_entries(hash->sizes, i + 1, i, after);
    hash->keys[i] = keyBuf;
    hash->values[i] = value;
    hash->sizes[i] = bytes;
    ++hash->count;
    index_invalidate(hash);
    return 1;
}

} // extern "C"
