// Checks shared by the text-format fuzz targets. A failed check aborts, which libFuzzer reports
// as a crash with the input that caused it.
#pragma once

#include "vornhash.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#define FUZZ_CHECK(cond)                                                                           \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond);          \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)

namespace fuzzcheck {

using Cells = std::vector<std::pair<std::string, std::string>>;

// The record is whole: every key is a text, every value buffer is sized by the unit rule and
// holds a terminated text (readers store values as texts), and every byte of it is readable.
inline Cells record_cells(const Hash &h) {
    FUZZ_CHECK(h.count >= 0 && h.unit >= 1);
    Cells cells;
    for (int32_t i = 0; i < h.count; ++i) {
        FUZZ_CHECK(h.keys[i] && h.values[i]);
        FUZZ_CHECK(h.sizes[i] >= h.unit && h.sizes[i] % h.unit == 0);
        volatile char last = h.values[i][h.sizes[i] - 1];
        (void)last;
        const void *nul = std::memchr(h.values[i], 0, std::size_t(h.sizes[i]));
        FUZZ_CHECK(nul != nullptr);
        cells.emplace_back(h.keys[i], h.values[i]);
    }
    return cells;
}

// Named keys are unique; unnamed cells may repeat.
inline void check_unique_names(const Cells &cells) {
    for (std::size_t i = 0; i < cells.size(); ++i)
        for (std::size_t j = i + 1; j < cells.size(); ++j)
            FUZZ_CHECK(cells[i].first.empty() || cells[i].first != cells[j].first);
}

// A buffer of exactly n bytes on the heap, so that a write past it trips AddressSanitizer.
struct Exact {
    std::vector<char> bytes;
    explicit Exact(std::size_t n, char fill = '#') : bytes(n, fill) {}
    char *data() { return bytes.data(); }
};

struct Rec {
    Hash h{};
    explicit Rec(int32_t unit = 1) { FUZZ_CHECK(VornAllocHash(&h, 0, unit) == 1); }
    ~Rec() { VornFreeHash(&h); }
};

} // namespace fuzzcheck
