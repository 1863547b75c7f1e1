// The key index is invisible through the interface; these cases pin what it must never change
// (first equal key wins, whatever reshaped the record) and what it may cost.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include <sys/mman.h>
#include <unistd.h>

#include <vornhash.h>

#include "key_index.hpp"
#include "vorn_internal.hpp"

namespace {

struct Big {
    Hash h{};
    explicit Big(int n, const char *prefix = "key") {
        VornAllocHash(&h, 0, 8);
        VornReAllocHash(&h, 0);
        for (int i = 0; i < n; ++i)
            VornSetHash(&h, (prefix + std::to_string(i)).c_str(), 0, "v", -1);
    }
    ~Big() { VornFreeHash(&h); }
};

// Each slot keeps 32 bits of hash beside the cell number, and the table is at most half full;
// the cells' own buffers got cheaper by more than that (see docs/benchmarks.md).
TEST(KeyIndex, CostsAtMostThirtyTwoBytesPerCell) {
    for (int n : {1000, 20000}) {
        Big b(n);
        ASSERT_EQ(VornGetHashIndex(&b.h, "key5"), 5);
        EXPECT_GT(vorn::index_bytes(&b.h), 0) << n;
        EXPECT_LE(vorn::index_bytes(&b.h), 32 * std::int64_t(n)) << n;
    }
}

TEST(KeyIndex, FirstEqualKeyWinsThroughRenamesDeletesAndInserts) {
    Big b(200);
    VornSetHashKey(&b.h, 150, "key10"); // a later duplicate changes nothing
    EXPECT_EQ(VornGetHashIndex(&b.h, "key10"), 10);
    VornSetHashKey(&b.h, 10, "renamed"); // the duplicate becomes the first
    EXPECT_EQ(VornGetHashIndex(&b.h, "key10"), 150);
    EXPECT_EQ(VornGetHashIndex(&b.h, "renamed"), 10);
    VornSetHashKey(&b.h, 5, "key10"); // an earlier one takes over
    EXPECT_EQ(VornGetHashIndex(&b.h, "key10"), 5);
    EXPECT_EQ(VornGetHashIndex(&b.h, "key5"), -1);

    VornDeleteHash(&b.h, nullptr, 0);
    EXPECT_EQ(VornGetHashIndex(&b.h, "key10"), 4);
    VornAddHash(&b.h, "key10", 0, "new", -1);
    EXPECT_EQ(VornGetHashIndex(&b.h, "key10"), 4);
    EXPECT_STREQ(VornGetHashPtr(&b.h, "key10", 0), "new");

    VornMoveHashArray(&b.h, 0, &b.h, 100, 50, 1);
    EXPECT_EQ(VornGetHashIndex(&b.h, "key100"), 0);
    EXPECT_EQ(VornGetHashIndex(&b.h, "key101"), 1);
    VornSortHash(&b.h, 0, 1, 1);
    for (int i = 0; i < b.h.count; ++i)
        EXPECT_EQ(VornGetHashIndex(&b.h, b.h.keys[i]) <= i, true);
    VornReAllocHash(&b.h, 20);
    for (int i = 0; i < 20; ++i)
        EXPECT_LE(VornGetHashIndex(&b.h, b.h.keys[i]), i);
}

TEST(KeyIndex, LookupsFallBackToScanningWhenTheIndexCannotBeHad) {
    Big b(500);
    VornSetHashKey(&b.h, 3, "other"); // leaves the index to rebuild, or none yet
    VornDeleteHash(&b.h, nullptr, 0);
    const long live = vorn::mem_live_blocks();
    vorn::mem_fail_nth(1);
    EXPECT_EQ(VornGetHashIndex(&b.h, "key499"), 498);
    EXPECT_EQ(VornGetHashIndex(&b.h, "other"), 2);
    vorn::mem_fail_nth(0);
    EXPECT_LE(vorn::mem_live_blocks(), live + 2);
    EXPECT_EQ(VornGetHashIndex(&b.h, "key499"), 498);
}

TEST(KeyIndex, AppendingManyCellsKeepsSpareCapacity) {
    Big b(1000);
    EXPECT_GE(vorn::cell_capacity(&b.h), 1000);
    EXPECT_LT(vorn::cell_capacity(&b.h), 2000);
    VornReAllocHash(&b.h, 3);
    EXPECT_LT(vorn::cell_capacity(&b.h), 64); // a record that shrank gives memory back
    EXPECT_EQ(VornGetHashIndex(&b.h, "key2"), 2);
}

TEST(KeyIndex, AShrinkTheAllocatorDeclinesLeavesRoomForRegrowth) {
    for (long k = 1; k <= 3; ++k) {
        Big b(400);
        vorn::mem_fail_nth(k); // one of the three arrays keeps its size
        ASSERT_EQ(VornReAllocHash(&b.h, 10), 1);
        vorn::mem_fail_nth(0);
        for (int i = 0; i < 400; ++i)
            ASSERT_EQ(VornSetHash(&b.h, ("again" + std::to_string(i)).c_str(), 0, "w", -1), 1);
        EXPECT_EQ(VornGetHashIndex(&b.h, "again399"), 409) << k;
        EXPECT_EQ(VornGetHashIndex(&b.h, "key9"), 9) << k;
    }
}

// Buffers freed one by one (deletes, rewrites to another size) serve later cells of their size,
// and emptying a record hands its blocks back: churn does not make a record's blocks grow.
TEST(KeyIndex, FreedBuffersAreReusedAndEmptyingGivesBlocksBack) {
    Big b(2000);
    std::size_t afterFirstRound = 0;
    for (int round = 0; round < 4; ++round) {
        for (int i = 0; i < 1000; ++i)
            ASSERT_EQ(VornDeleteHash(&b.h, nullptr, 0), 1);
        for (int i = 0; i < 1000; ++i) {
            const std::string key = "r" + std::to_string(round) + "-" + std::to_string(i);
            ASSERT_EQ(VornSetHash(&b.h, key.c_str(), 0, "w", -1), 1);
        }
        for (int i = 0; i < b.h.count; i += 7)
            ASSERT_EQ(VornSetHash(&b.h, nullptr, i, "a value of another size class", -1), 1);
        for (int i = 0; i < b.h.count; i += 7)
            ASSERT_EQ(VornSetHash(&b.h, nullptr, i, "w", -1), 1);
        if (round == 0) afterFirstRound = vorn::store_bytes(vorn::cell_store(&b.h));
    }
    EXPECT_EQ(vorn::store_bytes(vorn::cell_store(&b.h)), afterFirstRound);
    EXPECT_EQ(VornGetHashIndex(&b.h, "r3-999"), 1999);
    EXPECT_EQ(VornGetHashIndex(&b.h, "r2-0"), 0);
    ASSERT_EQ(VornReAllocHash(&b.h, 0), 1);
    EXPECT_LE(vorn::store_bytes(vorn::cell_store(&b.h)), 64u * 1024u);
}

// Lookups read a key's first 16 bytes at once where that cannot leave its page. A key whose
// terminator is the last readable byte before an inaccessible page, at every length around the
// word and 16-byte boundaries, is found, missed and stored without reading past it.
TEST(KeyIndex, KeysEndingRightBeforeAnUnmappedPageAreReadSafely) {
    const auto page = std::size_t(sysconf(_SC_PAGESIZE));
    void *map = mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(map, MAP_FAILED);
    ASSERT_EQ(mprotect(static_cast<char *>(map) + page, page, PROT_NONE), 0);
    char *pageEnd = static_cast<char *>(map) + page;
    Big b(40, "k"); // "k0".."k39": indexed, and "k7" is one of the keys placed below
    for (std::size_t len = 1; len <= 20; ++len) {
        std::string key = "k7";
        key.resize(len, 'x');
        char *at = pageEnd - (len + 1);
        std::memcpy(at, key.c_str(), len + 1);
        const int expected = len == 2 ? 7 : -1;
        EXPECT_EQ(VornGetHashIndex(&b.h, at), expected) << len;
        ASSERT_EQ(VornSetHash(&b.h, at, 0, at, -1), 1) << len;
        const int i = VornGetHashIndex(&b.h, key.c_str());
        ASSERT_GE(i, 0) << len;
        EXPECT_EQ(std::string(b.h.keys[i]), key);
        EXPECT_STREQ(VornGetHashPtr(&b.h, at, 0), key.c_str());
    }
    munmap(map, 2 * page);
}

} // namespace
