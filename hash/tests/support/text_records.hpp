// Records of text cells for the format tests: build one from (key, value) pairs and read one
// back the same way.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <vornhash.h>

namespace textrec {

using Cells = std::vector<std::pair<std::string, std::string>>;

// A live record holding cells (none by default), freed at the end of the test.
struct Rec {
    Hash h{};
    explicit Rec(const Cells &cells = {}, std::int32_t unit = 1) {
        EXPECT_EQ(VornAllocHash(&h, 0, unit), 1);
        EXPECT_EQ(VornReAllocHash(&h, 0), 1);
        for (const auto &[k, v] : cells)
            EXPECT_EQ(VornSetHash(&h, nullptr, -1, v.c_str(), -1), 1);
        for (std::size_t i = 0; i < cells.size(); ++i)
            EXPECT_EQ(VornSetHashKey(&h, std::int32_t(i), cells[i].first.c_str()), 1);
    }
    explicit Rec(std::int32_t unit) : Rec(Cells{}, unit) {}
    Rec(const Rec &) = delete;
    Rec &operator=(const Rec &) = delete;
    ~Rec() { VornFreeHash(&h); }
};

// Each cell's key and its value up to the first NUL (never past its buffer).
inline Cells cells_of(const Hash &h) {
    Cells out;
    for (std::int32_t i = 0; i < h.count; ++i)
        out.emplace_back(h.keys[i],
                         std::string(h.values[i], strnlen(h.values[i], std::size_t(h.sizes[i]))));
    return out;
}

} // namespace textrec
