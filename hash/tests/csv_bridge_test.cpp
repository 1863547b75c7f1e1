// The CSV bridge with libvorncsv present (loaded by this test, as a program would), hidden (no
// reference anywhere in the process), and loaded by the shared libvornhash itself.
#include "vornhash.h"
#include "vorn_internal.hpp"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace vorn {
// The bridge's own load and release, run at library load and unload.
bool csv_library_load();
void csv_library_release();
} // namespace vorn

namespace {

constexpr const char *kCsvPath = VORN_LIB_DIR "/libvorncsv.so.1";
constexpr const char *kHashPath = VORN_LIB_DIR "/libvornhash.so.12";

bool csv_loaded() {
    void *h = dlopen("libvorncsv.so.1", RTLD_NOLOAD | RTLD_LAZY);
    if (h) dlclose(h);
    return h != nullptr;
}

using Cells = std::vector<std::pair<std::string, std::string>>;

struct Rec {
    Hash h{};
    explicit Rec(const Cells &cells = {}, int32_t unit = 8) {
        EXPECT_EQ(VornAllocHash(&h, 1, unit), 1);
        EXPECT_EQ(VornReAllocHash(&h, 0), 1);
        for (const auto &[k, v] : cells) {
            EXPECT_EQ(VornSetHash(&h, nullptr, -1, v.c_str(), -1), 1);
            EXPECT_EQ(VornSetHashKey(&h, h.count - 1, k.c_str()), 1);
        }
    }
    ~Rec() { VornFreeHash(&h); }
    Cells cells() const {
        Cells out;
        for (int32_t i = 0; i < h.count; ++i)
            out.emplace_back(h.keys[i],
                             std::string(h.values[i], strnlen(h.values[i], size_t(h.sizes[i]))));
        return out;
    }
};

class CsvBridge : public ::testing::Test {
  protected:
    void SetUp() override {
        csv_ = dlopen(kCsvPath, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(csv_, nullptr) << dlerror();
    }
    void TearDown() override {
        if (csv_) dlclose(csv_);
    }
    void *csv_ = nullptr;
};

std::string to_csv(const Hash &h, int32_t size = 4096, std::string start = "") {
    std::vector<char> out(size_t(size) + 1, '\x7f');
    std::memcpy(out.data(), start.c_str(), start.size() + 1);
    const int32_t n = VornHashToCsv(out.data(), size, &h);
    EXPECT_EQ(n, int32_t(std::strlen(out.data())));
    EXPECT_EQ(out[size_t(size)], '\x7f');
    return out.data();
}

TEST_F(CsvBridge, WritesKeysAndValuesAsRows) {
    Rec r(Cells{{"a", "1"}, {"b", "x,y"}, {"", "say \"hi\""}});
    EXPECT_EQ(to_csv(r.h), "a,1\r\nb,\"x,y\"\r\n,\"say \"\"hi\"\"\"\r\n");
    // Written into an existing table: row i gets cell i, further columns stay.
    EXPECT_EQ(to_csv(r.h, 4096, "old,old,keep\r\nz"),
              "a,1,keep\r\nb,\"x,y\"\r\n,\"say \"\"hi\"\"\"\r\n");
    // An empty record leaves the text and gives its length.
    Rec empty;
    EXPECT_EQ(to_csv(empty.h, 64, "untouched"), "untouched");
}

TEST_F(CsvBridge, StopsAtTheFirstFieldThatDoesNotFit) {
    Rec r(Cells{{"a", "1"}, {"b", "2"}});
    // "a,1\r\n" takes 5 bytes, "b\r\n" 3 more, ",2" 2 more.
    EXPECT_EQ(to_csv(r.h, 6), "a,1\r\n");
    EXPECT_EQ(to_csv(r.h, 9), "a,1\r\nb\r\n");
    EXPECT_EQ(to_csv(r.h, 11), "a,1\r\nb,2\r\n");
}

TEST_F(CsvBridge, ReadsRowsIntoCells) {
    Rec r(Cells{{"stale", "x"}});
    ASSERT_EQ(VornCsvToHash(&r.h, "k,v\r\n\"a,b\",\"1\r\n2\"\nonly\r,,ignored,columns\r\nk,again"),
              1);
    EXPECT_EQ(r.cells(), (Cells{{"k", "again"}, {"a,b", "1\r\n2"}, {"only", ""}, {"", ""}}));
    // A value is stored as text with its terminator.
    EXPECT_EQ(r.h.sizes[1], r.h.unit * (5 / r.h.unit + 1));
    // Unnamed rows are appended in order; they never land on cell 0.
    ASSERT_EQ(VornCsvToHash(&r.h, "first,1\r\n,2\r\n,3"), 1);
    EXPECT_EQ(r.cells(), (Cells{{"first", "1"}, {"", "2"}, {"", "3"}}));
    // No rows: an empty record.
    ASSERT_EQ(VornCsvToHash(&r.h, ""), 1);
    EXPECT_EQ(r.h.count, 0);
}

TEST_F(CsvBridge, RoundTripsRandomRecords) {
    std::mt19937 rng(99);
    static const char *pieces[] = {"a",    "B", ",", "\"",   "\r", "\n",
                                   "\r\n", " ", "é", "日本", "=",  ";"};
    auto text = [&] {
        std::string s;
        for (int n = int(rng() % 5); n > 0; --n)
            s += pieces[rng() % std::size(pieces)];
        return s;
    };
    for (int round = 0; round < 200; ++round) {
        Cells cells;
        for (int n = int(rng() % 6); n > 0; --n) {
            std::string k = text();
            // Keys are unique (a repeated key merges) and only the empty one may repeat.
            bool dup = false;
            for (const auto &c : cells)
                dup |= !k.empty() && c.first == k;
            if (!dup) cells.emplace_back(k, text());
        }
        Rec source(cells, 1 + int32_t(rng() % 16));
        const std::string csv = to_csv(source.h);
        Rec target(Cells{{"x", "y"}});
        ASSERT_EQ(VornCsvToHash(&target.h, csv.c_str()), 1);
        EXPECT_EQ(target.cells(), cells) << csv;
    }
}

TEST_F(CsvBridge, ReadsAValueFilledToTheBrim) {
    Rec r(Cells{{"k", ""}}, 4);
    ASSERT_EQ(r.h.sizes[0], 4);
    std::memcpy(r.h.values[0], "full", 4); // no terminator left in the buffer
    EXPECT_EQ(to_csv(r.h), "k,full\r\n");
}

TEST_F(CsvBridge, RejectsBadArguments) {
    Rec r(Cells{{"a", "1"}});
    char out[8] = "ab";
    EXPECT_EQ(VornHashToCsv(nullptr, 8, &r.h), 0);
    EXPECT_EQ(VornHashToCsv(out, 8, nullptr), 0);
    EXPECT_EQ(VornHashToCsv(out, 0, &r.h), 0);
    EXPECT_EQ(VornHashToCsv(out, 2, &r.h), 0); // no terminator within size
    EXPECT_STREQ(out, "ab");
    EXPECT_EQ(VornCsvToHash(nullptr, "a,b"), 0);
    EXPECT_EQ(VornCsvToHash(&r.h, nullptr), 0);
    EXPECT_EQ(r.cells(), (Cells{{"a", "1"}}));
    // out inside one of the record's own buffers: the key lands there, then the value, which
    // would be overwritten while it is copied, is refused and the writing stops.
    EXPECT_EQ(VornHashToCsv(r.h.values[0], r.h.sizes[0], &r.h), 1);
    EXPECT_STREQ(r.h.values[0], "a");
}

TEST_F(CsvBridge, NoMemoryKeepsTheRecordWholeAndLeaksNothing) {
    const char *csv = "a,1\r\nb,2\r\nc,3";
    const Cells all{{"a", "1"}, {"b", "2"}, {"c", "3"}};
    for (long k = 1;; ++k) {
        ASSERT_LT(k, 100);
        const long live = vorn::mem_live_blocks();
        int32_t ok;
        {
            Rec r(Cells{{"old", "value"}});
            vorn::mem_fail_nth(k);
            ok = VornCsvToHash(&r.h, csv);
            vorn::mem_fail_nth(0);
            const Cells got = r.cells();
            if (ok) {
                EXPECT_EQ(got, all);
            } else if (got != Cells{{"old", "value"}}) {
                // Not untouched: then holding the rows before the failing one.
                ASSERT_LE(got.size(), all.size());
                EXPECT_TRUE(std::equal(got.begin(), got.end(), all.begin())) << k;
            }
        }
        EXPECT_EQ(vorn::mem_live_blocks(), live) << "failing allocation " << k;
        if (ok) break;
    }
    // A value filled to the brim needs a copy; when it cannot be had, writing stops there.
    Rec r(Cells{{"k", ""}}, 4);
    std::memcpy(r.h.values[0], "full", 4);
    char out[32] = "";
    vorn::mem_fail_nth(1);
    EXPECT_EQ(VornHashToCsv(out, sizeof out, &r.h), 3);
    vorn::mem_fail_nth(0);
    EXPECT_STREQ(out, "k\r\n");
}

TEST(CsvBridgeWithoutLibrary, BothGiveZeroAndChangeNothing) {
    vorn::csv_library_release();
    if (csv_loaded()) GTEST_SKIP() << "another part of this process holds libvorncsv";
    Rec r(Cells{{"a", "1"}});
    char out[16] = "text";
    EXPECT_EQ(VornHashToCsv(out, sizeof out, &r.h), 0);
    EXPECT_STREQ(out, "text");
    EXPECT_EQ(VornCsvToHash(&r.h, "x,y\r\n"), 0);
    EXPECT_EQ(r.cells(), (Cells{{"a", "1"}}));
    vorn::csv_library_load();
}

// The shared library takes its reference at load, finding libvorncsv beside itself, and drops it
// at unload.
TEST(CsvBridgeSharedLibrary, LoadsAndReleasesWithTheLibrary) {
    vorn::csv_library_release();
    if (csv_loaded()) GTEST_SKIP() << "another part of this process holds libvorncsv";
    void *lib = dlopen(kHashPath, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib, nullptr) << dlerror();
    EXPECT_TRUE(csv_loaded());
    auto *alloc = reinterpret_cast<decltype(VornAllocHash) *>(dlsym(lib, "VornAllocHash"));
    auto *free = reinterpret_cast<decltype(VornFreeHash) *>(dlsym(lib, "VornFreeHash"));
    auto *fromCsv = reinterpret_cast<decltype(VornCsvToHash) *>(dlsym(lib, "VornCsvToHash"));
    auto *toCsv = reinterpret_cast<decltype(VornHashToCsv) *>(dlsym(lib, "VornHashToCsv"));
    ASSERT_TRUE(alloc && free && fromCsv && toCsv);
    Hash h{};
    ASSERT_EQ(alloc(&h, 1, 4), 1);
    ASSERT_EQ(fromCsv(&h, "name,\"a, b\"\r\nx,y"), 1);
    char out[64] = "";
    EXPECT_EQ(toCsv(out, sizeof out, &h), 18);
    EXPECT_STREQ(out, "name,\"a, b\"\r\nx,y\r\n");
    free(&h);
    dlclose(lib);
    EXPECT_FALSE(csv_loaded());
    vorn::csv_library_load();
}

} // namespace
