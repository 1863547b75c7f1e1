// The record's hidden bookkeeping: spare capacity in the three cell arrays, an index from keys
// to the first cell bearing each key, and the blocks that hold its small buffers. All of it
// hangs off a small header in front of the keys array, so the public layout of Hash stays as
// callers know it. The index is a cache: when it cannot be had (memory short, small record)
// lookups scan, with the same results.
#pragma once

#include "cell_store.hpp"
#include "vornhash.h"

#include <cstdint>

namespace vorn {

// Entries each of the three arrays can hold; 0 for a record without arrays.
std::int32_t cell_capacity(const Hash *h);

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
};

// The first cell whose key equals key, or -1. Every hit is confirmed byte for byte. With hash
// non-null, the key's hash is left there when one was computed.
std::int32_t find_key(const Hash *h, const char *key, KeyHash *hash = nullptr);

// Cells [first, count) were just appended; hash, when known, is that of cell first's key, from a
// lookup that missed with nothing changed in the index since.
void index_appended(Hash *h, std::int32_t first, const KeyHash *hash = nullptr);
// Cell i is about to be renamed (call with its old key still in place), and was renamed.
void index_forget(Hash *h, std::int32_t i);
void index_renamed(Hash *h, std::int32_t i);
// Cells were shifted, reordered or removed: rebuild before the next lookup.
void index_invalidate(Hash *h);

// Memory the index holds, for measurement.
std::int64_t index_bytes(const Hash *h);

} // namespace vorn
