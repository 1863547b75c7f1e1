// Edge cases of sorting, deleting, copying, merging, appending, moving and inserting cells.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <set>
#include <string>

#include <vornhash.h>

#include "support/model.hpp"

using namespace std::string_literals;
using model::Fill;
using model::Keys;
using model::Texts;
using Strings = std::vector<std::string>;

namespace {

class Restructure : public ::testing::Test {
  protected:
    void TearDown() override {
        VornFreeHash(&h);
        VornFreeHash(&g);
    }
    static std::string Buffer(const Hash &r, std::int32_t i) {
        return std::string(r.values[i], static_cast<std::size_t>(r.sizes[i]));
    }
    // Every key and value buffer belongs to exactly one cell.
    static bool OwnsDistinctBuffers(const Hash &r) {
        std::set<const void *> seen;
        for (std::int32_t i = 0; i < r.count; ++i)
            if (!seen.insert(r.keys[i]).second || !seen.insert(r.values[i]).second) return false;
        return true;
    }

    Hash h{};
    Hash g{};
};

// ---- VornSortHash --------------------------------------------------------------------------

TEST_F(Restructure, SortingNothingOrOneCellReturnsTheCount) {
    Fill(&h, 1, {});
    EXPECT_EQ(VornSortHash(&h, 0, 1, 0), 0);
    VornFreeHash(&h);
    Fill(&h, 1, {{"k", "v"}});
    EXPECT_EQ(VornSortHash(&h, 0, 0, 1), 1);
    EXPECT_EQ(Keys(h), (Strings{"k"}));
    EXPECT_EQ(VornSortHash(nullptr, 0, 0, 0), 0);
}

TEST_F(Restructure, SortCarriesKeysOnlyWhenAsked) {
    Fill(&h, 1, {{"kb", "b"}, {"ka", "a"}, {"kc", "c"}});
    EXPECT_EQ(VornSortHash(&h, 0, 1, 0), 3);
    EXPECT_EQ(Texts(h), (Strings{"a", "b", "c"}));
    EXPECT_EQ(Keys(h), (Strings{"ka", "kb", "kc"}));
    EXPECT_EQ(VornSortHash(&h, 0, 1, 1), 3);
    EXPECT_EQ(Texts(h), (Strings{"c", "b", "a"}));
    EXPECT_EQ(Keys(h), (Strings{"kc", "kb", "ka"}));
    VornFreeHash(&h);

    Fill(&h, 1, {{"kb", "b"}, {"ka", "a"}, {"kc", "c"}});
    EXPECT_EQ(VornSortHash(&h, 0, 0, 0), 3);
    EXPECT_EQ(Texts(h), (Strings{"a", "b", "c"}));
    EXPECT_EQ(Keys(h), (Strings{"kb", "ka", "kc"}));
}

TEST_F(Restructure, SortIsStableInBothDirections) {
    Fill(&h, 1, {{"1", "x"}, {"2", "a"}, {"3", "x"}, {"4", "a"}, {"5", "X"}, {"6", "x"}});
    VornSortHash(&h, 0, 1, 0);
    EXPECT_EQ(Keys(h), (Strings{"2", "4", "1", "3", "6", "5"}));
    VornSortHash(&h, 0, 1, 1);
    EXPECT_EQ(Keys(h), (Strings{"5", "1", "3", "6", "2", "4"}));
    VornSortHash(&h, VORN_SORT_IGNORECASE, 1, 0);
    EXPECT_EQ(Keys(h), (Strings{"2", "4", "5", "1", "3", "6"}));
}

TEST_F(Restructure, SortOrdersCaseFoldedThenLowerCaseFirst) {
    Fill(&h, 1,
         {{"", "B"},
          {"", "AB"},
          {"", "b"},
          {"", "aB"},
          {"", "Ab"},
          {"", "A"},
          {"", "ab"},
          {"", "a"},
          {"", ""},
          {"", "\xC3\xA9"},
          {"", "z"},
          {"", "Z"}});
    VornSortHash(&h, 0, 0, 0);
    EXPECT_EQ(Texts(h),
              (Strings{"", "a", "A", "ab", "aB", "Ab", "AB", "b", "B", "z", "Z", "\xC3\xA9"}));
}

TEST_F(Restructure, SortFlagsFoldCaseAndSkipSymbols) {
    Fill(&h, 1, {{"1", "a-c"}, {"2", "ab"}, {"3", "A B"}, {"4", "a.b"}});
    VornSortHash(&h, 0, 1, 0); // '-', '.' and ' ' order before letters
    EXPECT_EQ(Keys(h), (Strings{"3", "1", "4", "2"}));
    VornSortHash(&h, VORN_SORT_IGNORESYMBOLS, 1, 0); // "AB" "ac" "ab" "ab": lower case first
    EXPECT_EQ(Keys(h), (Strings{"4", "2", "3", "1"}));
    VornSortHash(&h, VORN_SORT_IGNORESYMBOLS | VORN_SORT_IGNORECASE, 1, 0); // three equal
    EXPECT_EQ(Keys(h), (Strings{"4", "2", "3", "1"}));
    VornSortHash(&h, VORN_SORT_IGNORESYMBOLS | VORN_SORT_IGNORECASE | 0x2 | 0x1000, 1, 1);
    EXPECT_EQ(Keys(h), (Strings{"1", "4", "2", "3"}));
}

TEST_F(Restructure, SortComparesTextsNotTheBytesAfterThem) {
    // Buffers differing only after the terminator compare equal and keep their order; a buffer
    // without a terminator ends at its size. Sizes travel with their values.
    ASSERT_EQ(VornAllocHash(&h, 4, 1), 1);
    ASSERT_EQ(VornSetHash(&h, nullptr, 0, "b\0zzz", 5), 1);
    ASSERT_EQ(VornSetHash(&h, nullptr, 1, "b\0aaaaaaa", 9), 1);
    ASSERT_EQ(VornSetHash(&h, nullptr, 2, "bbbbbb", -1), 1);
    ASSERT_EQ(VornSetHash(&h, nullptr, 2, nullptr, 1), 1); // "bb", no terminator
    ASSERT_EQ(VornSetHash(&h, nullptr, 3, "a", -1), 1);
    VornSortHash(&h, 0, 0, 0);
    EXPECT_EQ(Buffer(h, 0), "a\0\0"s);
    EXPECT_EQ(Buffer(h, 1), "b\0zzz\0"s);
    EXPECT_EQ(Buffer(h, 2), "b\0aaaaaaa\0"s);
    EXPECT_EQ(Buffer(h, 3), "bb"s);
}

// ---- VornDeleteHash / VornDeleteEmptyHash --------------------------------------------------

TEST_F(Restructure, DeleteShiftsLaterCellsDown) {
    Fill(&h, 2, {{"a", "1"}, {"b", "22"}, {"c", "333"}});
    ASSERT_EQ(VornDeleteHash(&h, nullptr, 0), 1);
    EXPECT_EQ(Keys(h), (Strings{"b", "c"}));
    EXPECT_EQ(Texts(h), (Strings{"22", "333"}));
    EXPECT_EQ(h.sizes[0], 4);
    EXPECT_EQ(h.sizes[1], 6);
}

TEST_F(Restructure, DeleteAddressesByTheReadingRule) {
    Fill(&h, 1, {{"a", "1"}, {"", "2"}, {"a", "3"}, {"", "4"}});
    const model::Model before = model::Of(h);
    EXPECT_EQ(VornDeleteHash(&h, "zz", 0), 0);
    EXPECT_EQ(VornDeleteHash(&h, nullptr, 4), 0);
    EXPECT_EQ(VornDeleteHash(&h, nullptr, -1), 0);
    EXPECT_EQ(VornDeleteHash(nullptr, nullptr, 0), 0);
    EXPECT_TRUE(model::Matches(h, before));
    ASSERT_EQ(VornDeleteHash(&h, "a", 3), 1); // the key wins: first "a"
    ASSERT_EQ(VornDeleteHash(&h, "", 0), 1);  // first unnamed cell
    EXPECT_EQ(Texts(h), (Strings{"3", "4"}));
}

TEST_F(Restructure, DeletingTheOnlyCellLeavesAUsableEmptyRecord) {
    Fill(&h, 1, {{"a", "1"}});
    ASSERT_EQ(VornDeleteHash(&h, "a", 0), 1);
    EXPECT_EQ(h.count, 0);
    EXPECT_EQ(VornDeleteHash(&h, nullptr, 0), 0);
    ASSERT_EQ(VornSetHash(&h, "b", 0, "2", -1), 1);
    EXPECT_EQ(Keys(h), (Strings{"b"}));
}

TEST_F(Restructure, DeleteEmptyRemovesCellsStartingWithZeroNamedOrNot) {
    Fill(&h, 1, {{"x", "x"}, {"named", ""}, {"", ""}, {"y", "y"}, {"", ""}});
    ASSERT_EQ(VornSetHash(&h, nullptr, 2, "\0abc", 4), 1); // later bytes do not count
    EXPECT_EQ(VornDeleteEmptyHash(&h), 1);
    EXPECT_EQ(Keys(h), (Strings{"x", "y"}));
    EXPECT_EQ(Texts(h), (Strings{"x", "y"}));
    VornFreeHash(&h);

    Fill(&h, 3, {{"a", ""}, {"", ""}});
    EXPECT_EQ(VornDeleteEmptyHash(&h), 1);
    EXPECT_EQ(h.count, 0);
    EXPECT_EQ(VornDeleteEmptyHash(&h), 1);
    EXPECT_EQ(VornDeleteEmptyHash(nullptr), 0);
}

// ---- VornCopyHashCell ----------------------------------------------------------------------

TEST_F(Restructure, CopyCellWritesTheWholeSourceBufferAsRawData) {
    Fill(&g, 4, {{"s", "ab"}});
    ASSERT_EQ(VornSetHash(&g, "s", 0, "ab\0tail", 7), 1); // size 8, bytes after the text
    Fill(&h, 3, {{"t", "old"}});
    ASSERT_EQ(VornCopyHashCell(&h, "new", 0, &g, "s", 5), 1);
    ASSERT_EQ(h.count, 2);
    EXPECT_EQ(Keys(h), (Strings{"t", "new"})); // the source's key is not copied
    EXPECT_EQ(Buffer(h, 1), "ab\0tail\0\0"s);  // 8 bytes written, size 3 * (8 / 3 + 1)
    ASSERT_EQ(VornCopyHashCell(&h, nullptr, 4, &g, nullptr, 0), 1);
    EXPECT_EQ(h.count, 5);
    EXPECT_EQ(Buffer(h, 4), "ab\0tail\0\0"s);
    EXPECT_EQ(Keys(h)[4], "");
    EXPECT_EQ(model::Texts(g), (Strings{"ab"}));
}

TEST_F(Restructure, CopyCellFailsWhenTheSourceIsMissing) {
    Fill(&g, 1, {{"s", "v"}});
    Fill(&h, 1, {{"t", "w"}});
    const model::Model before = model::Of(h);
    EXPECT_EQ(VornCopyHashCell(&h, "t", 0, &g, "x", 0), 0);
    EXPECT_EQ(VornCopyHashCell(&h, "t", 0, &g, nullptr, 1), 0);
    EXPECT_EQ(VornCopyHashCell(&h, "t", 0, &g, "", 0), 0); // no unnamed source cell
    EXPECT_EQ(VornCopyHashCell(&h, "t", 0, nullptr, nullptr, 0), 0);
    EXPECT_EQ(VornCopyHashCell(nullptr, "t", 0, &g, nullptr, 0), 0);
    EXPECT_TRUE(model::Matches(h, before));
}

TEST_F(Restructure, CopyCellWithinOneRecordIsSafe) {
    Fill(&h, 1, {{"a", "alpha"}, {"b", "b"}});
    ASSERT_EQ(VornCopyHashCell(&h, "b", 0, &h, "a", 0), 1);
    EXPECT_EQ(Buffer(h, 1), "alpha\0\0\0"s);
    // Onto itself: the buffer grows by one unit while being read.
    ASSERT_EQ(VornCopyHashCell(&h, nullptr, 0, &h, nullptr, 0), 1);
    EXPECT_EQ(Buffer(h, 0), "alpha\0\0\0"s);
    // Into a new cell, growing the record's arrays while the source buffer is read.
    for (int i = 0; i < 20; ++i)
        ASSERT_EQ(VornCopyHashCell(&h, nullptr, -1, &h, nullptr, h.count - 1), 1);
    EXPECT_EQ(h.count, 22);
    EXPECT_EQ(h.sizes[21], 8 + 20);
    EXPECT_TRUE(OwnsDistinctBuffers(h));
}

// ---- VornCopyHash --------------------------------------------------------------------------

TEST_F(Restructure, CopyMakesTargetMatchSourceKeepingItsUnit) {
    Fill(&g, 1, {{"a", "1"}, {"", "22"}, {"a", "333"}});
    Fill(&h, 4, {{"x", "9"}, {"y", "9"}, {"z", "9"}, {"w", "9"}, {"v", "9"}});
    ASSERT_EQ(VornCopyHash(&h, &g), 1);
    EXPECT_EQ(h.unit, 4);
    EXPECT_EQ(Keys(h), Keys(g));
    EXPECT_EQ(Texts(h), Texts(g));
    EXPECT_EQ(h.sizes[0], 4); // source sizes 3, 4, 5
    EXPECT_EQ(h.sizes[2], 8);
    VornFreeHash(&h);
    Fill(&h, 16, {});
    ASSERT_EQ(VornCopyHash(&h, &g), 1);
    EXPECT_EQ(Keys(h), Keys(g));
    EXPECT_EQ(Texts(h), Texts(g));
    ASSERT_EQ(VornCopyHash(&g, &h), 1); // and back; source unchanged by the first copy
    EXPECT_EQ(Texts(g), (Strings{"1", "22", "333"}));
}

TEST_F(Restructure, CopyRewritesTargetCellsInPlaceByteForByte) {
    // A target buffer whose size stays keeps its bytes after the copied data; one that shrinks
    // keeps its leading bytes.
    Fill(&h, 8, {{"p", "abcdef"}}); // size 8: "abcdef\0\0"
    Fill(&g, 1, {{"q", "xy"}});     // size 4: "xy\0\0"
    ASSERT_EQ(VornCopyHash(&h, &g), 1);
    EXPECT_EQ(Buffer(h, 0), "xy\0\0ef\0\0"s);
    EXPECT_EQ(Keys(h), (Strings{"q"}));
    VornFreeHash(&h);
    Fill(&h, 1, {{"p", "abcdefghij"}}); // size 12
    ASSERT_EQ(VornCopyHash(&h, &g), 1);
    EXPECT_EQ(Buffer(h, 0), "xy\0\0e"s);
}

TEST_F(Restructure, CopyOfAnEmptySourceEmptiesTheTarget) {
    Fill(&g, 1, {});
    Fill(&h, 2, {{"a", "1"}, {"b", "2"}});
    ASSERT_EQ(VornCopyHash(&h, &g), 1);
    EXPECT_EQ(h.count, 0);
    EXPECT_EQ(VornCopyHash(&h, nullptr), 0);
    EXPECT_EQ(VornCopyHash(nullptr, &g), 0);
}

// ---- VornCatHashString ---------------------------------------------------------------------

TEST_F(Restructure, CatCreatesMissingKeysAndExtendsFoundOnes) {
    Fill(&h, 4, {{"k", "ab"}});
    ASSERT_EQ(VornCatHashString(&h, "k", 7, "cd"), 1);
    EXPECT_EQ(Texts(h), (Strings{"abcd"}));
    EXPECT_EQ(h.sizes[0], 8);
    ASSERT_EQ(VornCatHashString(&h, "new", 3, "xyz"), 1);
    EXPECT_EQ(Keys(h), (Strings{"k", "new"}));
    EXPECT_EQ(Buffer(h, 1), "xyz\0"s); // sized for the text alone, terminated by the spare unit
}

TEST_F(Restructure, CatWithAnEmptyKeyUsesTheFirstUnnamedCellOrAppendsOne) {
    Fill(&h, 1, {{"a", "1"}, {"", "2"}, {"", "3"}});
    ASSERT_EQ(VornCatHashString(&h, "", 0, "x"), 1);
    EXPECT_EQ(Texts(h), (Strings{"1", "2x", "3"}));
    VornFreeHash(&h);
    Fill(&h, 1, {{"a", "1"}, {"b", "2"}});
    ASSERT_EQ(VornCatHashString(&h, "", 0, "x"), 1);
    EXPECT_EQ(Keys(h), (Strings{"a", "b", ""}));
    EXPECT_EQ(Texts(h), (Strings{"1", "2", "x"}));
}

TEST_F(Restructure, CatWithoutKeyFollowsTheWritingRule) {
    Fill(&h, 2, {{"a", "1"}});
    ASSERT_EQ(VornCatHashString(&h, nullptr, 0, "+"), 1);
    ASSERT_EQ(VornCatHashString(&h, nullptr, 2, "far"), 1);
    ASSERT_EQ(VornCatHashString(&h, nullptr, -1, "end"), 1);
    EXPECT_EQ(Keys(h), (Strings{"a", "", "", ""}));
    EXPECT_EQ(Texts(h), (Strings{"1+", "", "far", "end"}));
    EXPECT_EQ(h.sizes[1], 2);
    EXPECT_EQ(h.sizes[2], 6);
}

TEST_F(Restructure, CatWritesATerminatorAndKeepsLaterTailBytes) {
    ASSERT_EQ(VornAllocHash(&h, 1, 16), 1);
    ASSERT_EQ(VornSetHash(&h, nullptr, 0, "ab\0XYZ", 6), 1);
    ASSERT_EQ(VornCatHashString(&h, nullptr, 0, "c"), 1);
    EXPECT_EQ(Buffer(h, 0), "abc\0YZ"s + std::string(10, '\0'));
    // A value filling its buffer without a terminator is extended after its last byte.
    VornFreeHash(&h);
    ASSERT_EQ(VornAllocHash(&h, 1, 1), 1);
    ASSERT_EQ(VornSetHash(&h, nullptr, 0, "abcdef", -1), 1);
    ASSERT_EQ(VornSetHash(&h, nullptr, 0, nullptr, 2), 1); // "abc", no terminator
    ASSERT_EQ(VornCatHashString(&h, nullptr, 0, "Z"), 1);
    EXPECT_EQ(Buffer(h, 0), "abcZ\0\0"s);
}

TEST_F(Restructure, CatAcceptsTextFromTheRecordItself) {
    Fill(&h, 1, {{"k", "ab"}, {"m", "xyz"}});
    ASSERT_EQ(VornCatHashString(&h, "k", 0, h.values[0]), 1); // its own value, while growing
    EXPECT_EQ(Texts(h)[0], "abab");
    ASSERT_EQ(VornCatHashString(&h, "k", 0, h.values[0] + 3), 1);
    EXPECT_EQ(Texts(h)[0], "ababb");
    ASSERT_EQ(VornCatHashString(&h, "new", 0, h.values[1]), 1);
    EXPECT_EQ(Texts(h)[2], "xyz");
}

TEST_F(Restructure, CatRejectsNullArgumentsWithoutChange) {
    Fill(&h, 1, {{"k", "ab"}});
    const model::Model before = model::Of(h);
    EXPECT_EQ(VornCatHashString(&h, "k", 0, nullptr), 0);
    EXPECT_EQ(VornCatHashString(&h, "new", 0, nullptr), 0);
    EXPECT_EQ(VornCatHashString(nullptr, "k", 0, "x"), 0);
    EXPECT_TRUE(model::Matches(h, before));
}

// ---- VornUnitingHash -----------------------------------------------------------------------

TEST_F(Restructure, UniteOverwritesSharedKeysAndAppendsNewOnes) {
    Fill(&g, 1, {{"a", "1"}, {"b", "2"}});
    Fill(&h, 1, {{"b", "9"}, {"c", "3"}});
    ASSERT_EQ(VornUnitingHash(&h, &g), 1);
    EXPECT_EQ(Keys(h), (Strings{"b", "c", "a"}));
    EXPECT_EQ(Texts(h), (Strings{"2", "3", "1"}));
    EXPECT_EQ(Keys(g), (Strings{"a", "b"}));
}

TEST_F(Restructure, UniteTakesDuplicateAndUnnamedValuesFromTheFirstSourceCell) {
    Fill(&g, 1, {{"", "u1"}, {"a", "first"}, {"a", "second"}, {"", "u2"}});
    Fill(&h, 4, {{"", "mine"}, {"a", "old"}});
    ASSERT_EQ(VornUnitingHash(&h, &g), 1);
    EXPECT_EQ(Keys(h), (Strings{"", "a", "", ""}));
    EXPECT_EQ(Texts(h), (Strings{"mine", "first", "u1", "u1"}));
    EXPECT_EQ(h.sizes[1], 8); // source buffer of 7 bytes, target unit 4
}

TEST_F(Restructure, UniteWithNothingOrNull) {
    Fill(&g, 1, {});
    Fill(&h, 1, {{"a", "1"}});
    const model::Model before = model::Of(h);
    EXPECT_EQ(VornUnitingHash(&h, &g), 1);
    EXPECT_EQ(VornUnitingHash(&h, nullptr), 0);
    EXPECT_EQ(VornUnitingHash(nullptr, &g), 0);
    EXPECT_TRUE(model::Matches(h, before));
}

// ---- VornMoveHashArray between records -----------------------------------------------------

TEST_F(Restructure, MoveBetweenRecordsCopiesTheRunToTheEnd) {
    Fill(&g, 1, {{"a", "1"}, {"b", "2"}, {"c", "3"}, {"d", "4"}});
    for (std::int32_t n : {-1, 3, 100}) {
        Fill(&h, 2, {{"x", "x"}});
        ASSERT_EQ(VornMoveHashArray(&h, 1, &g, 1, n, 1), 1) << n;
        EXPECT_EQ(Keys(h), (Strings{"x", "b", "c", "d"}));
        EXPECT_EQ(Texts(h), (Strings{"x", "2", "3", "4"}));
        EXPECT_EQ(h.sizes[1], 4); // 3 source bytes, target unit 2
        VornFreeHash(&h);
    }
    EXPECT_EQ(Keys(g), (Strings{"a", "b", "c", "d"}));
}

TEST_F(Restructure, MoveBetweenRecordsWithoutKeysKeepsTargetKeys) {
    Fill(&g, 1, {{"a", "1"}, {"b", "2"}});
    Fill(&h, 1, {{"x", "x"}, {"y", "y"}});
    ASSERT_EQ(VornMoveHashArray(&h, 1, &g, 0, 2, 0), 1);
    EXPECT_EQ(Keys(h), (Strings{"x", "y", ""}));
    EXPECT_EQ(Texts(h), (Strings{"x", "1", "2"}));
    ASSERT_EQ(VornMoveHashArray(&h, 5, &g, 1, 1, 1), 1); // past the end: the record grows
    EXPECT_EQ(Keys(h), (Strings{"x", "y", "", "", "", "b"}));
}

TEST_F(Restructure, MoveRejectsBadIndexesAndMovesNothingForAnEmptyRun) {
    Fill(&g, 1, {{"a", "1"}, {"b", "2"}});
    Fill(&h, 1, {{"x", "x"}});
    const model::Model before = model::Of(h);
    EXPECT_EQ(VornMoveHashArray(&h, 0, &g, 2, -1, 1), 1); // sourceIndex == count: nothing
    EXPECT_EQ(VornMoveHashArray(&h, 0, &g, 0, 0, 1), 1);
    EXPECT_EQ(VornMoveHashArray(&h, 0, &g, 3, -1, 1), 0);
    EXPECT_EQ(VornMoveHashArray(&h, 0, &g, -1, 1, 1), 0);
    EXPECT_EQ(VornMoveHashArray(&h, -1, &g, 0, 1, 1), 0);
    EXPECT_EQ(VornMoveHashArray(&h, -1, &h, 0, 1, 1), 0);
    EXPECT_EQ(VornMoveHashArray(&h, 0, &h, 2, 1, 1), 0);
    EXPECT_EQ(VornMoveHashArray(nullptr, 0, &g, 0, 1, 1), 0);
    EXPECT_EQ(VornMoveHashArray(&h, 0, nullptr, 0, 1, 1), 0);
    EXPECT_TRUE(model::Matches(h, before));
}

// ---- VornMoveHashArray within one record ---------------------------------------------------

TEST_F(Restructure, MoveUpLeavesAnEmptyCellBehind) {
    Fill(&h, 2, {{"a", "1"}, {"b", "2"}, {"c", "3"}});
    ASSERT_EQ(VornMoveHashArray(&h, 1, &h, 0, -1, 1), 1);
    EXPECT_EQ(Keys(h), (Strings{"", "a", "b", "c"}));
    EXPECT_EQ(Texts(h), (Strings{"", "1", "2", "3"}));
    EXPECT_EQ(Buffer(h, 0), "\0\0"s);
    EXPECT_TRUE(OwnsDistinctBuffers(h));
}

TEST_F(Restructure, MoveDownOverlappingFreesOverwrittenBuffers) {
    Fill(&h, 1, {{"a", "1"}, {"b", "2"}, {"c", "3"}, {"d", "4"}});
    ASSERT_EQ(VornMoveHashArray(&h, 0, &h, 1, 2, 1), 1);
    EXPECT_EQ(Keys(h), (Strings{"b", "c", "", "d"}));
    EXPECT_EQ(Texts(h), (Strings{"2", "3", "", "4"}));
    EXPECT_EQ(h.sizes[2], 1);
    EXPECT_TRUE(OwnsDistinctBuffers(h));
}

TEST_F(Restructure, MoveWithoutKeysLetsValuesPassUnderTheKeys) {
    Fill(&h, 1, {{"a", "1"}, {"b", "2"}, {"c", "3"}, {"d", "4"}});
    ASSERT_EQ(VornMoveHashArray(&h, 2, &h, 0, 2, 0), 1);
    EXPECT_EQ(Keys(h), (Strings{"a", "b", "c", "d"}));
    EXPECT_EQ(Texts(h), (Strings{"", "", "1", "2"}));
    ASSERT_EQ(VornMoveHashArray(&h, 1, &h, 2, -1, 0), 1);
    EXPECT_EQ(Texts(h), (Strings{"", "1", "2", ""}));
    EXPECT_TRUE(OwnsDistinctBuffers(h));
}

TEST_F(Restructure, MoveBeyondTheEndGrowsTheRecord) {
    Fill(&h, 3, {{"a", "1"}, {"b", "2"}, {"c", "3"}});
    ASSERT_EQ(VornMoveHashArray(&h, 5, &h, 1, 2, 1), 1);
    EXPECT_EQ(Keys(h), (Strings{"a", "", "", "", "", "b", "c"}));
    EXPECT_EQ(Texts(h), (Strings{"1", "", "", "", "", "2", "3"}));
    for (std::int32_t i = 1; i < 5; ++i)
        EXPECT_EQ(h.sizes[i], 3);
    EXPECT_TRUE(OwnsDistinctBuffers(h));
}

TEST_F(Restructure, MoveOntoItselfOrOfNothingChangesNothing) {
    Fill(&h, 1, {{"a", "1"}, {"b", "2"}});
    const model::Model before = model::Of(h);
    EXPECT_EQ(VornMoveHashArray(&h, 1, &h, 1, -1, 1), 1);
    EXPECT_EQ(VornMoveHashArray(&h, 0, &h, 1, 0, 1), 1);
    EXPECT_EQ(VornMoveHashArray(&h, 9, &h, 2, -1, 1), 1);
    EXPECT_TRUE(model::Matches(h, before));
}

// ---- VornAddHash ---------------------------------------------------------------------------

TEST_F(Restructure, AddByIndexInsertsAnUnnamedCell) {
    Fill(&h, 1, {{"a", "0"}, {"b", "1"}, {"c", "2"}});
    ASSERT_EQ(VornAddHash(&h, nullptr, 1, "new", -1), 1);
    EXPECT_EQ(Keys(h), (Strings{"a", "", "b", "c"}));
    EXPECT_EQ(Texts(h), (Strings{"0", "new", "1", "2"}));
    EXPECT_TRUE(OwnsDistinctBuffers(h));
}

TEST_F(Restructure, AddWithAnExistingKeyGoesAheadOfItsFirstCell) {
    Fill(&h, 1, {{"a", "0"}, {"k", "old"}, {"k", "older"}});
    ASSERT_EQ(VornAddHash(&h, "k", 99, "new", -1), 1);
    EXPECT_EQ(Keys(h), (Strings{"a", "k", "k", "k"}));
    EXPECT_EQ(Texts(h), (Strings{"0", "new", "old", "older"}));
    EXPECT_STREQ(VornGetHashPtr(&h, "k", 0), "new");
    ASSERT_EQ(VornAddHash(&h, "", 0, "u", -1), 1); // no unnamed cell: appended
    ASSERT_EQ(VornAddHash(&h, "", 0, "v", -1), 1); // now found: inserted ahead of it
    EXPECT_EQ(Keys(h), (Strings{"a", "k", "k", "k", "", ""}));
    EXPECT_EQ(Texts(h), (Strings{"0", "new", "old", "older", "v", "u"}));
}

TEST_F(Restructure, AddOutsideTheRecordWritesAsSetHash) {
    Fill(&h, 2, {{"a", "0"}});
    ASSERT_EQ(VornAddHash(&h, "new", 0, "n", -1), 1); // not found: appended whatever the index
    ASSERT_EQ(VornAddHash(&h, nullptr, -7, "m", -1), 1);
    ASSERT_EQ(VornAddHash(&h, nullptr, 5, "f", -1), 1); // at or past the end: grows to 6
    EXPECT_EQ(Keys(h), (Strings{"a", "new", "", "", "", ""}));
    EXPECT_EQ(Texts(h), (Strings{"0", "n", "m", "", "", "f"}));
}

TEST_F(Restructure, AddedBuffersAreFreshAndSizedByTheUnit) {
    Fill(&h, 8, {{"a", "0123456789"}});
    ASSERT_EQ(VornAddHash(&h, nullptr, 0, "xy", 2), 1);
    EXPECT_EQ(Buffer(h, 0), "xy"s + std::string(6, '\0'));
    ASSERT_EQ(VornAddHash(&h, "a", 0, nullptr, 9), 1);
    EXPECT_EQ(Buffer(h, 1), std::string(16, '\0'));
    EXPECT_EQ(Keys(h), (Strings{"", "a", "a"}));
}

TEST_F(Restructure, AddRejectsTextWithoutDataAndNullRecords) {
    Fill(&h, 1, {{"a", "0"}});
    const model::Model before = model::Of(h);
    EXPECT_EQ(VornAddHash(&h, nullptr, 0, nullptr, -1), 0);
    EXPECT_EQ(VornAddHash(&h, "a", 0, nullptr, -1), 0);
    EXPECT_EQ(VornAddHash(&h, "x", 0, nullptr, -1), 0);
    EXPECT_EQ(VornAddHash(&h, nullptr, 0, nullptr, INT32_MAX), 0);
    EXPECT_EQ(VornAddHash(nullptr, nullptr, 0, "x", -1), 0);
    EXPECT_TRUE(model::Matches(h, before));
}

} // namespace
