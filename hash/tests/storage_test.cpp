// Edge cases of the record's storage, lookup and cell access exports.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

#include <vornhash.h>

#include "support/model.hpp"
#include "vorn_internal.hpp"

using namespace std::string_literals;
using model::Fill;
using model::Keys;
using model::Texts;
using Strings = std::vector<std::string>;

namespace {

// Sizes that must be rejected would cost gigabytes if they slipped through; under this guard
// such a slip fails after a few allocations instead, and shows as the guard being reached.
constexpr long kGuard = 64;
template <class F> long Guarded(F f) {
    const long before = vorn::mem_attempts();
    vorn::mem_fail_nth(kGuard);
    f();
    vorn::mem_fail_nth(0);
    return vorn::mem_attempts() - before;
}

class Storage : public ::testing::Test {
  protected:
    void TearDown() override {
        VornFreeHash(&h);
        VornFreeHash(&g);
    }
    // The whole buffer of cell i, tail bytes included.
    std::string Buffer(std::int32_t i) const {
        return std::string(h.values[i], static_cast<std::size_t>(h.sizes[i]));
    }

    Hash h{};
    Hash g{};
};

// ---- VornAllocHash / VornFreeHash ----------------------------------------------------------

TEST_F(Storage, AllocClampsCountAndUnitToOne) {
    for (std::int32_t count : {0, -1, INT32_MIN}) {
        for (std::int32_t unit : {0, -5, INT32_MIN}) {
            ASSERT_EQ(VornAllocHash(&h, count, unit), 1);
            EXPECT_EQ(h.count, 1);
            EXPECT_EQ(h.unit, 1);
            EXPECT_STREQ(h.keys[0], "");
            EXPECT_EQ(Buffer(0), "\0"s);
            VornFreeHash(&h);
        }
    }
}

TEST_F(Storage, FreshCellsAreUnnamedAndZeroFilled) {
    ASSERT_EQ(VornAllocHash(&h, 3, 16), 1);
    EXPECT_EQ(h.count, 3);
    EXPECT_EQ(h.unit, 16);
    for (std::int32_t i = 0; i < 3; ++i) {
        EXPECT_STREQ(h.keys[i], "");
        EXPECT_EQ(h.sizes[i], 16);
        EXPECT_EQ(Buffer(i), std::string(16, '\0'));
    }
    EXPECT_EQ(VornGetHashLength(&h, nullptr, 2), 16);
    EXPECT_STREQ(VornGetHashPtrSafe(&h, nullptr, 2), "");
    EXPECT_EQ(VornGetHashLength(&h, nullptr, 3), 0);
    EXPECT_STREQ(VornGetHashPtrSafe(&h, nullptr, 3), "");
    EXPECT_EQ(VornGetHashPtr(&h, nullptr, 3), nullptr);
    // Every cell owns its own buffers.
    EXPECT_NE(h.values[0], h.values[1]);
    EXPECT_NE(h.keys[0], h.keys[1]);
}

TEST_F(Storage, AllocOverwritesAStaleRecordWithoutTouchingIt) {
    // The contents of a record that is not live are garbage; they must not be freed or read.
    std::memset(&h, 0xA5, sizeof h);
    ASSERT_EQ(VornAllocHash(&h, 2, 4), 1);
    EXPECT_EQ(h.count, 2);
    EXPECT_EQ(h.unit, 4);
}

TEST_F(Storage, AllocRejectsNullAndOversizedRecords) {
    EXPECT_EQ(VornAllocHash(nullptr, 1, 1), 0);
    // count * unit beyond int32: failure, and the record is left zeroed (safe to free).
    const std::pair<std::int32_t, std::int32_t> tooBig[] = {{65536, 65536}, {40000, 60000}};
    for (auto [count, unit] : tooBig) {
        std::memset(&h, 0xA5, sizeof h);
        std::int32_t result = -1;
        const long attempts = Guarded([&] { result = VornAllocHash(&h, count, unit); });
        EXPECT_EQ(result, 0) << count << " x " << unit;
        EXPECT_LT(attempts, kGuard)
            << count << " x " << unit << ": the size was not rejected up front";
        const bool zeroed = model::Matches(h, model::Model{});
        EXPECT_TRUE(zeroed) << count << " x " << unit;
        if (!zeroed) h = Hash{}; // garbage must not reach VornFreeHash
        EXPECT_EQ(VornFreeHash(&h), 1);
    }
}

TEST_F(Storage, FreeZeroesTheRecordSoASecondFreeIsHarmless) {
    Fill(&h, 3, {{"a", "x"}, {"", "yy"}});
    EXPECT_EQ(VornFreeHash(&h), 1);
    EXPECT_TRUE(model::Matches(h, model::Model{}));
    EXPECT_EQ(VornFreeHash(&h), 1);
    EXPECT_EQ(VornFreeHash(nullptr), 0);
    // An emptied record frees too, and the record can be allocated again.
    ASSERT_EQ(VornAllocHash(&h, 2, 1), 1);
    ASSERT_EQ(VornReAllocHash(&h, 0), 1);
    EXPECT_EQ(VornFreeHash(&h), 1);
    EXPECT_EQ(VornAllocHash(&h, 1, 1), 1);
}

// ---- VornReAllocHash -----------------------------------------------------------------------

TEST_F(Storage, ReAllocShrinkingDropsTailCellsAndGrowingGivesFreshOnes) {
    Fill(&h, 2, {{"a", "one"}, {"b", "two"}, {"c", "three"}});
    ASSERT_EQ(VornReAllocHash(&h, 1), 1);
    EXPECT_EQ(Keys(h), (Strings{"a"}));
    ASSERT_EQ(VornReAllocHash(&h, 3), 1);
    EXPECT_EQ(Keys(h), (Strings{"a", "", ""}));
    EXPECT_EQ(Texts(h), (Strings{"one", "", ""}));
    EXPECT_EQ(h.sizes[0], 6);
    EXPECT_EQ(h.sizes[1], 2);
    EXPECT_EQ(Buffer(2), "\0\0"s);
    EXPECT_EQ(VornGetHashIndex(&h, "b"), -1);
}

TEST_F(Storage, ReAllocToZeroLeavesAUsableEmptyRecord) {
    Fill(&h, 1, {{"a", "one"}});
    ASSERT_EQ(VornReAllocHash(&h, 0), 1);
    EXPECT_EQ(VornCountHash(&h), 0);
    EXPECT_EQ(VornIndexIsEffective(&h, 0), 0);
    EXPECT_EQ(VornGetHashIndex(&h, "a"), -1);
    EXPECT_EQ(VornSetHash(&h, "k", 0, "v", -1), 1);
    EXPECT_EQ(Keys(h), (Strings{"k"}));
    EXPECT_EQ(VornReAllocHash(&h, 0), 1);
    EXPECT_EQ(VornReAllocHash(&h, 0), 1);
    EXPECT_EQ(VornSetHash(&h, nullptr, 1, "v", -1), 1);
    EXPECT_EQ(Texts(h), (Strings{"", "v"}));
}

TEST_F(Storage, ReAllocRejectsNegativeCountsAndNullRecords) {
    Fill(&h, 4, {{"a", "one"}, {"", "two"}});
    const model::Model before = model::Of(h);
    EXPECT_EQ(VornReAllocHash(&h, -1), 0);
    EXPECT_EQ(VornReAllocHash(&h, INT32_MIN), 0);
    EXPECT_EQ(VornReAllocHash(nullptr, 3), 0);
    EXPECT_TRUE(model::Matches(h, before));
    EXPECT_EQ(VornReAllocHash(&h, 2), 1); // same count: nothing changes
    EXPECT_TRUE(model::Matches(h, before));
}

// ---- lookups -------------------------------------------------------------------------------

TEST_F(Storage, LookupIsByteExactAndFindsTheFirstEqualKey) {
    Fill(
        &h, 1,
        {{"ab", "0"}, {"a", "1"}, {"", "2"}, {"A", "3"}, {"a", "4"}, {"\xC3\xA9", "5"}, {"", "6"}});
    EXPECT_EQ(VornGetHashIndex(&h, "a"), 1);
    EXPECT_EQ(VornGetHashIndex(&h, "A"), 3);
    EXPECT_EQ(VornGetHashIndex(&h, "ab"), 0);
    EXPECT_EQ(VornGetHashIndex(&h, "abc"), -1);
    EXPECT_EQ(VornGetHashIndex(&h, ""), 2);
    EXPECT_EQ(VornGetHashIndex(&h, "\xC3\xA9"), 5);
    EXPECT_EQ(VornGetHashIndex(&h, "\xC3\x89"), -1); // no case folding beyond ASCII, nor within it
    EXPECT_EQ(VornGetHashIndex(&h, nullptr), -1);
    EXPECT_EQ(VornGetHashIndex(nullptr, "a"), -1);
}

TEST_F(Storage, IndexAndCountQueriesHandleBoundsAndNull) {
    ASSERT_EQ(VornAllocHash(&h, 3, 1), 1);
    EXPECT_EQ(VornCountHash(&h), 3);
    EXPECT_EQ(VornCountHash(nullptr), 0);
    EXPECT_EQ(VornIndexIsEffective(&h, 0), 1);
    EXPECT_EQ(VornIndexIsEffective(&h, 2), 1);
    EXPECT_EQ(VornIndexIsEffective(&h, 3), 0);
    EXPECT_EQ(VornIndexIsEffective(&h, -1), 0);
    EXPECT_EQ(VornIndexIsEffective(&h, INT32_MIN), 0);
    EXPECT_EQ(VornIndexIsEffective(nullptr, 0), 0);
}

TEST_F(Storage, LengthIsTheBufferSizeByTheReadingRule) {
    Fill(&h, 8, {{"k", "a"}, {"", "0123456789"}});
    EXPECT_EQ(VornGetHashLength(&h, "k", 99), 8); // key wins over index
    EXPECT_EQ(VornGetHashLength(&h, "", 0), 16);  // empty key: first unnamed cell
    EXPECT_EQ(VornGetHashLength(&h, nullptr, 1), 16);
    EXPECT_EQ(VornGetHashLength(&h, "missing", 0), 0); // not found, index ignored
    EXPECT_EQ(VornGetHashLength(&h, nullptr, -1), 0);
    EXPECT_EQ(VornGetHashLength(&h, nullptr, 2), 0);
    EXPECT_EQ(VornGetHashLength(nullptr, nullptr, 0), 0);
}

// ---- VornSetHashKey ------------------------------------------------------------------------

TEST_F(Storage, SetHashKeyRenamesAndAllowsDuplicates) {
    ASSERT_EQ(VornAllocHash(&h, 3, 1), 1);
    EXPECT_EQ(VornSetHashKey(&h, 2, "dup"), 1);
    EXPECT_EQ(VornSetHashKey(&h, 1, "dup"), 1);
    EXPECT_EQ(VornGetHashIndex(&h, "dup"), 1);
    EXPECT_EQ(VornSetHashKey(&h, 1, "a much longer key than before"), 1);
    EXPECT_EQ(VornGetHashIndex(&h, "dup"), 2);
    EXPECT_EQ(VornSetHashKey(&h, 1, "s"), 1);
    EXPECT_EQ(VornSetHashKey(&h, 2, nullptr), 1); // null key: the empty key
    EXPECT_EQ(Keys(h), (Strings{"", "s", ""}));
}

TEST_F(Storage, SetHashKeyAcceptsKeysReadFromTheRecordItself) {
    Fill(&h, 1, {{"first", "1"}, {"second key", "2"}});
    EXPECT_EQ(VornSetHashKey(&h, 1, h.keys[0]), 1);
    EXPECT_EQ(VornSetHashKey(&h, 0, h.keys[0]), 1);     // its own key buffer
    EXPECT_EQ(VornSetHashKey(&h, 0, h.keys[0] + 2), 1); // a suffix of its own key
    EXPECT_EQ(Keys(h), (Strings{"rst", "first"}));
}

TEST_F(Storage, SetHashKeyRejectsCellsOutsideTheRecord) {
    Fill(&h, 1, {{"a", "1"}});
    const model::Model before = model::Of(h);
    EXPECT_EQ(VornSetHashKey(&h, 1, "x"), 0);
    EXPECT_EQ(VornSetHashKey(&h, -1, "x"), 0);
    EXPECT_EQ(VornSetHashKey(nullptr, 0, "x"), 0);
    EXPECT_TRUE(model::Matches(h, before));
}

// ---- VornSetHash ---------------------------------------------------------------------------

TEST_F(Storage, SetHashWithANewKeyAppendsANamedCellWhateverTheIndex) {
    for (std::int32_t unit : {1, 3, 16, 256}) {
        ASSERT_EQ(VornAllocHash(&h, 2, unit), 1);
        for (std::int32_t index : {-1, 0, 1, 7}) {
            const std::string key = "k" + std::to_string(index);
            ASSERT_EQ(VornSetHash(&h, key.c_str(), index, "abc", -1), 1);
            const std::int32_t i = h.count - 1;
            EXPECT_EQ(h.keys[i], key);
            EXPECT_EQ(h.sizes[i], unit * (4 / unit + 1)) << "unit " << unit;
            EXPECT_EQ(Buffer(i),
                      "abc"s + std::string(static_cast<std::size_t>(h.sizes[i] - 3), '\0'));
        }
        EXPECT_EQ(h.count, 6);
        VornFreeHash(&h);
    }
}

TEST_F(Storage, SetHashOnAnExistingKeyRewritesThatCellInPlace) {
    Fill(&h, 1, {{"a", "1"}, {"b", "2"}, {"b", "3"}});
    ASSERT_EQ(VornSetHash(&h, "b", 0, "new", -1), 1);
    EXPECT_EQ(Texts(h), (Strings{"1", "new", "3"}));
    EXPECT_EQ(Keys(h), (Strings{"a", "b", "b"}));
}

TEST_F(Storage, SetHashByIndexGrowsTheRecordWithUnnamedZeroCells) {
    Fill(&h, 4, {{"a", "1"}, {"b", "2"}});
    ASSERT_EQ(VornSetHash(&h, nullptr, 5, "x", -1), 1);
    ASSERT_EQ(h.count, 6);
    EXPECT_EQ(Keys(h), (Strings{"a", "b", "", "", "", ""}));
    for (std::int32_t i = 2; i < 5; ++i)
        EXPECT_EQ(Buffer(i), std::string(4, '\0'));
    EXPECT_EQ(Buffer(5), "x\0\0\0"s);
    ASSERT_EQ(VornSetHash(&h, nullptr, -1, "y", -1), 1);
    ASSERT_EQ(VornSetHash(&h, "", INT32_MIN, "z", -1), 1); // empty key: the index decides
    EXPECT_EQ(h.count, 8);
    EXPECT_EQ(Texts(h)[6], "y");
    EXPECT_EQ(Texts(h)[7], "z");
    EXPECT_STREQ(h.keys[7], "");
}

TEST_F(Storage, EmptyKeyWritesByIndexButReadsByLookup) {
    Fill(&h, 1, {{"named", "1"}, {"", "2"}, {"", "3"}});
    ASSERT_EQ(VornSetHash(&h, "", 0, "w", -1), 1);
    EXPECT_EQ(Texts(h), (Strings{"w", "2", "3"}));
    EXPECT_EQ(Keys(h), (Strings{"named", "", ""})); // the key of cell 0 stays
    EXPECT_EQ(VornGetHashPtr(&h, "", 0), h.values[1]);
    EXPECT_EQ(VornGetHashPtr(&h, "", 2), h.values[1]);
}

TEST_F(Storage, BufferSizeIsOneUnitMoreThanFitsTheData) {
    const struct {
        std::int32_t unit, length, size;
    } cases[] = {{1, 0, 1}, {1, 4, 5},     {2, 3, 4},       {2, 4, 6},       {3, 5, 6},
                 {3, 6, 9}, {256, 0, 256}, {256, 255, 256}, {256, 256, 512}, {7, 100, 105}};
    const std::string data(300, 'q');
    for (const auto &c : cases) {
        ASSERT_EQ(VornAllocHash(&h, 1, c.unit), 1);
        ASSERT_EQ(VornSetHash(&h, nullptr, 0, data.data(), c.length), 1);
        EXPECT_EQ(h.sizes[0], c.size) << "unit " << c.unit << " length " << c.length;
        EXPECT_EQ(VornGetHashLength(&h, nullptr, 0), c.size);
        EXPECT_EQ(Buffer(0), data.substr(0, static_cast<std::size_t>(c.length)) +
                                 std::string(static_cast<std::size_t>(c.size - c.length), '\0'));
        VornFreeHash(&h);
    }
}

TEST_F(Storage, ShorterWritesLeaveTheEarlierTailBytes) {
    // Same size: everything after the new data is the earlier value.
    ASSERT_EQ(VornAllocHash(&h, 1, 16), 1);
    ASSERT_EQ(VornSetHash(&h, nullptr, 0, "abcdef", -1), 1);
    ASSERT_EQ(VornSetHash(&h, nullptr, 0, "xy", -1), 1);
    EXPECT_EQ(Buffer(0), "xy\0def"s + std::string(10, '\0'));
    // A raw write of fewer bytes does not even terminate.
    ASSERT_EQ(VornSetHash(&h, nullptr, 0, "Q", 1), 1);
    EXPECT_EQ(Buffer(0), "Qy\0def"s + std::string(10, '\0'));
    VornFreeHash(&h);

    // Smaller size: the buffer is cut, keeping its leading bytes.
    ASSERT_EQ(VornAllocHash(&h, 1, 1), 1);
    ASSERT_EQ(VornSetHash(&h, nullptr, 0, "abcdef", -1), 1);
    ASSERT_EQ(h.sizes[0], 8);
    ASSERT_EQ(VornSetHash(&h, nullptr, 0, "xy", -1), 1);
    EXPECT_EQ(Buffer(0), "xy\0d"s);
    // Larger size: grown bytes are zero even where an earlier, longer value once was.
    ASSERT_EQ(VornSetHash(&h, nullptr, 0, "12345", 5), 1);
    EXPECT_EQ(Buffer(0), "12345\0"s);
}

TEST_F(Storage, NullDataOnlySizesTheBuffer) {
    Fill(&h, 1, {{"k", "abcdef"}});
    ASSERT_EQ(VornSetHash(&h, "k", 0, nullptr, 2), 1);
    EXPECT_EQ(Buffer(0), "abc"s); // cut, no terminator left
    ASSERT_EQ(VornSetHash(&h, "k", 0, nullptr, 6), 1);
    EXPECT_EQ(Buffer(0), "abc\0\0\0\0"s);
    ASSERT_EQ(VornSetHash(&h, nullptr, 3, nullptr, 0), 1); // grows the record, one-unit cell
    EXPECT_EQ(h.count, 4);
    EXPECT_EQ(Buffer(3), "\0"s);
}

TEST_F(Storage, TextWithNullDataFailsWithoutAnyChange) {
    Fill(&h, 2, {{"a", "1"}});
    const model::Model before = model::Of(h);
    EXPECT_EQ(VornSetHash(&h, "new", 0, nullptr, -1), 0);
    EXPECT_EQ(VornSetHash(&h, nullptr, 9, nullptr, -1), 0);
    EXPECT_EQ(VornSetHash(&h, nullptr, -1, nullptr, -5), 0);
    EXPECT_EQ(VornSetHash(nullptr, nullptr, 0, "x", -1), 0);
    EXPECT_TRUE(model::Matches(h, before));
}

TEST_F(Storage, RawDataKeepsEmbeddedZeros) {
    ASSERT_EQ(VornAllocHash(&h, 1, 4), 1);
    const std::string raw = "\0a\0\xff\x80"s;
    ASSERT_EQ(VornSetHash(&h, nullptr, 0, raw.data(), 5), 1);
    EXPECT_EQ(Buffer(0), raw + "\0\0\0"s);
}

TEST_F(Storage, SizesBeyondInt32FailWithoutAnyChange) {
    Fill(&h, 1, {{"a", "1"}});
    const model::Model before = model::Of(h);
    const long attempts = Guarded([&] {
        // One unit more than INT32_MAX bytes does not fit; null data so that nothing is read.
        EXPECT_EQ(VornSetHash(&h, nullptr, 0, nullptr, INT32_MAX), 0);
        EXPECT_EQ(VornSetHash(&h, "new", 0, nullptr, INT32_MAX), 0);
        EXPECT_EQ(VornSetHash(&h, nullptr, -1, nullptr, INT32_MAX), 0);
        // An index whose cell count would not fit.
        EXPECT_EQ(VornSetHash(&h, nullptr, INT32_MAX, "x", -1), 0);
    });
    EXPECT_LT(attempts, kGuard) << "a size was not rejected up front";
    EXPECT_TRUE(model::Matches(h, before));
    VornFreeHash(&h);
    Fill(&h, 256, {{"a", "1"}});
    Guarded([&] {
        EXPECT_EQ(VornSetHash(&h, nullptr, 0, nullptr, INT32_MAX - 100), 0);
        EXPECT_EQ(VornSetHash(&h, nullptr, 0, nullptr, INT32_MAX - 255), 0);
    });
    EXPECT_EQ(Texts(h), (Strings{"1"}));
}

TEST_F(Storage, SetHashAcceptsDataFromTheRecordsOwnBuffers) {
    Fill(&h, 1, {{"a", "hello"}, {"b", "world!"}});
    // The cell's own buffer, growing: the data must be read before the buffer moves.
    ASSERT_EQ(VornSetHash(&h, nullptr, 0, h.values[0], h.sizes[0]), 1);
    EXPECT_EQ(Buffer(0), "hello\0\0\0"s);
    // An overlapping suffix of the same buffer, shrinking.
    ASSERT_EQ(VornSetHash(&h, "a", 0, h.values[0] + 1, -1), 1);
    EXPECT_EQ(Buffer(0), "ello\0\0"s);
    // Another cell's buffer, while the record grows by a named cell.
    ASSERT_EQ(VornSetHash(&h, "c", 0, h.values[1], -1), 1);
    ASSERT_EQ(VornSetHash(&h, nullptr, 40, h.values[1], 3), 1);
    EXPECT_EQ(Texts(h)[2], "world!");
    EXPECT_EQ(Buffer(40), "wor\0"s);
}

// ---- VornSetHashInt / VornGetHashInt -------------------------------------------------------

TEST_F(Storage, IntegersRoundTripAsText) {
    ASSERT_EQ(VornAllocHash(&h, 1, 1), 1);
    for (std::int32_t v : {0, -42, 7, INT32_MAX, INT32_MIN}) {
        ASSERT_EQ(VornSetHashInt(&h, "n", 0, v, 1), 1);
        EXPECT_EQ(std::string(VornGetHashPtr(&h, "n", 0)), std::to_string(v));
        EXPECT_EQ(VornGetHashInt(&h, "n", 0, 1), v);
    }
    EXPECT_EQ(VornGetHashLength(&h, "n", 0), 13); // "-2147483648", its terminator, one spare byte
    EXPECT_EQ(VornSetHashInt(nullptr, "n", 0, 1, 1), 0);
}

TEST_F(Storage, IntegersRoundTripAsRawLittleEndianBytes) {
    for (std::int32_t unit : {1, 4, 16}) {
        ASSERT_EQ(VornAllocHash(&h, 2, unit), 1);
        ASSERT_EQ(VornSetHashInt(&h, nullptr, 1, 0x12345678, 0), 1);
        EXPECT_EQ(h.sizes[1], unit * (4 / unit + 1));
        EXPECT_EQ(Buffer(1).substr(0, 5), "\x78\x56\x34\x12\0"s);
        EXPECT_EQ(VornGetHashInt(&h, nullptr, 1, 0), 0x12345678);
        ASSERT_EQ(VornSetHashInt(&h, nullptr, 1, -2, 0), 1);
        EXPECT_EQ(VornGetHashInt(&h, nullptr, 1, 0), -2);
        VornFreeHash(&h);
    }
}

TEST_F(Storage, TextIntegersTakeASignAndLeadingDigits) {
    const struct {
        const char *text;
        std::int32_t value;
    } cases[] = {{"12abc", 12},
                 {"abc", 0},
                 {"", 0},
                 {"-", 0},
                 {"+7", 7},
                 {"-0012", -12},
                 {" 5", 0},
                 {"--5", 0},
                 {"2147483648", INT32_MIN},
                 {"4294967297", 1},
                 {"-2147483648", INT32_MIN}};
    ASSERT_EQ(VornAllocHash(&h, 1, 1), 1);
    for (const auto &c : cases) {
        ASSERT_EQ(VornSetHash(&h, nullptr, 0, c.text, -1), 1);
        EXPECT_EQ(VornGetHashInt(&h, nullptr, 0, 1), c.value) << '"' << c.text << '"';
    }
}

TEST_F(Storage, IntegerReadsStayInsideTheBuffer) {
    // A digit text that fills its buffer without a terminator.
    ASSERT_EQ(VornAllocHash(&h, 1, 1), 1);
    ASSERT_EQ(VornSetHash(&h, nullptr, 0, "123456", -1), 1);
    ASSERT_EQ(VornSetHash(&h, nullptr, 0, nullptr, 2), 1);
    ASSERT_EQ(Buffer(0), "123"s);
    EXPECT_EQ(VornGetHashInt(&h, nullptr, 0, 1), 123);
    // Raw reads of buffers shorter than four bytes: the bytes there, zero-extended.
    ASSERT_EQ(VornSetHash(&h, nullptr, 0, "\xff", 0), 1);
    ASSERT_EQ(h.sizes[0], 1);
    h.values[0][0] = '\x7f';
    EXPECT_EQ(VornGetHashInt(&h, nullptr, 0, 0), 0x7f);
    ASSERT_EQ(VornSetHash(&h, nullptr, 0, "\xff\xfe", 2), 1);
    ASSERT_EQ(h.sizes[0], 3);
    h.values[0][2] = '\x81';
    EXPECT_EQ(VornGetHashInt(&h, nullptr, 0, 0), 0x81feff);
    ASSERT_EQ(VornSetHash(&h, nullptr, 0, "\xff\xff\xff\xff\x01", 5), 1);
    EXPECT_EQ(VornGetHashInt(&h, nullptr, 0, 0), -1);
}

TEST_F(Storage, IntegerReadsOfMissingCellsGiveZero) {
    Fill(&h, 1, {{"k", "9"}});
    EXPECT_EQ(VornGetHashInt(&h, "k", 5, 1), 9);
    EXPECT_EQ(VornGetHashInt(&h, "x", 0, 1), 0);
    EXPECT_EQ(VornGetHashInt(&h, nullptr, 1, 1), 0);
    EXPECT_EQ(VornGetHashInt(&h, nullptr, -1, 0), 0);
    EXPECT_EQ(VornGetHashInt(nullptr, nullptr, 0, 1), 0);
}

// ---- VornGetHashPtr / VornGetHashPtrSafe ---------------------------------------------------

TEST_F(Storage, PointersAddressCellsByTheReadingRule) {
    Fill(&h, 4, {{"a", "1"}, {"", "2"}, {"b", "3"}});
    EXPECT_EQ(VornGetHashPtr(&h, "b", 0), h.values[2]);
    EXPECT_EQ(VornGetHashPtr(&h, nullptr, 0), h.values[0]);
    EXPECT_EQ(VornGetHashPtr(&h, "", 0), h.values[1]);
    EXPECT_EQ(VornGetHashPtrSafe(&h, "b", 0), h.values[2]);
    EXPECT_EQ(VornGetHashPtr(&h, "zz", 0), nullptr);
    EXPECT_EQ(VornGetHashPtr(&h, nullptr, 3), nullptr);
    EXPECT_EQ(VornGetHashPtr(&h, nullptr, -1), nullptr);
    EXPECT_EQ(VornGetHashPtr(nullptr, nullptr, 0), nullptr);
    for (const char *p : {VornGetHashPtrSafe(&h, "zz", 0), VornGetHashPtrSafe(&h, nullptr, 3),
                          VornGetHashPtrSafe(nullptr, "a", 0)}) {
        ASSERT_NE(p, nullptr);
        EXPECT_STREQ(p, "");
    }
    // Writing through the pointer within the size is what callers do.
    char *p = VornGetHashPtr(&h, "a", 0);
    std::memcpy(p, "wxy", 4);
    EXPECT_EQ(Texts(h)[0], "wxy");
}

// ---- VornGetHash ---------------------------------------------------------------------------

TEST_F(Storage, GetHashAsTextTruncatesToTheBufferAndTheValue) {
    Fill(&h, 1, {{"k", "0123456789"}});
    char buf[32];
    std::memset(buf, '#', sizeof buf);
    EXPECT_EQ(VornGetHash(buf, 8, &h, "k", 0, 1), 8);
    EXPECT_EQ(std::string(buf, 9), "0123456\0#"s);
    EXPECT_EQ(VornGetHash(buf, 32, &h, "k", 0, 1), 11);
    EXPECT_STREQ(buf, "0123456789");
    EXPECT_EQ(VornGetHash(buf, 1, &h, nullptr, 0, 1), 1);
    EXPECT_EQ(buf[0], '\0');
    // A value filling its buffer without a terminator is cut at the buffer's size.
    ASSERT_EQ(VornSetHash(&h, nullptr, 0, nullptr, 3), 1);
    ASSERT_EQ(Buffer(0), "0123"s);
    EXPECT_EQ(VornGetHash(buf, 32, &h, nullptr, 0, 1), 4);
    EXPECT_STREQ(buf, "012");
}

TEST_F(Storage, GetHashRawCopiesTheSmallerOfBufferAndValue) {
    Fill(&h, 1, {{"k", "0123456789"}});
    char buf[32];
    std::memset(buf, '#', sizeof buf);
    EXPECT_EQ(VornGetHash(buf, 8, &h, "k", 0, 0), 8);
    EXPECT_EQ(std::string(buf, 9), "01234567#"s);
    std::memset(buf, '#', sizeof buf);
    EXPECT_EQ(VornGetHash(buf, 32, &h, "k", 0, 0), 12);
    EXPECT_EQ(std::string(buf, 13), "0123456789\0\0#"s);
}

TEST_F(Storage, GetHashRejectsBadArgumentsLeavingTheBufferAlone) {
    Fill(&h, 1, {{"k", "v"}});
    char buf[4] = {'#', '#', '#', '#'};
    EXPECT_EQ(VornGetHash(buf, 0, &h, "k", 0, 1), 0);
    EXPECT_EQ(VornGetHash(buf, -1, &h, "k", 0, 0), 0);
    EXPECT_EQ(VornGetHash(buf, 4, &h, "x", 0, 1), 0);
    EXPECT_EQ(VornGetHash(buf, 4, &h, nullptr, 1, 0), 0);
    EXPECT_EQ(VornGetHash(buf, 4, nullptr, nullptr, 0, 1), 0);
    EXPECT_EQ(VornGetHash(nullptr, 4, &h, "k", 0, 1), 0);
    EXPECT_EQ(std::string(buf, 4), "####");
}

TEST(StorageVersion, ReportsInterfaceTwelve) {
    EXPECT_EQ(VornHashVersion(), 12);
    EXPECT_EQ(VornHashVersion(), VORNHASH_INTERFACE_VERSION);
}

} // namespace
