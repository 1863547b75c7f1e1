#include "vornhash.h"
#include "vorn_internal.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "../../test_support/python_oracle.hpp"

namespace {

// Runs VornReplaceString on text in a heap buffer of exactly size bytes, so that the sanitizer
// sees any access past it. text may be longer than size - 1 and then is not terminated.
struct Replaced {
    int32_t result;
    std::string text;
};
Replaced replace(const std::string &text, int32_t size, const char *find, const char *with,
                 int32_t ignoreCase = 0) {
    std::vector<char> buf(static_cast<size_t>(size));
    std::memcpy(buf.data(), text.c_str(), std::min(text.size() + 1, buf.size()));
    const int32_t r = VornReplaceString(buf.data(), size, find, with, ignoreCase);
    return {r, std::string(buf.data(), strnlen(buf.data(), buf.size()))};
}

TEST(ReplaceString, ReplacesAndReportsTheWholeLength) {
    auto r = replace("a-b-c", 16, "-", "--");
    EXPECT_EQ(r.result, 7);
    EXPECT_EQ(r.text, "a--b--c");
    r = replace("a-b-c", 6, "-", "--");
    EXPECT_EQ(r.result, 7);
    EXPECT_EQ(r.text, "a--b-");
    // The inserted text is never scanned again; occurrences do not overlap.
    EXPECT_EQ(replace("xax", 32, "x", "xx").text, "xxaxx");
    EXPECT_EQ(replace("aaaa", 32, "aa", "b").text, "bb");
    EXPECT_EQ(replace("aaa", 32, "aa", "b").text, "ba");
    // Shrinking results are terminated where they end.
    r = replace("one two one", 32, "one", "");
    EXPECT_EQ(r.result, 5);
    EXPECT_EQ(r.text, " two ");
    EXPECT_EQ(replace("日本語", 32, "本", "x").text, "日x語");
}

TEST(ReplaceString, IgnoreCaseFoldsAsciiOnly) {
    EXPECT_EQ(replace("ab AB aB Ab", 32, "ab", "_", 1).text, "_ _ _ _");
    EXPECT_EQ(replace("ab AB", 32, "ab", "_", 0).text, "_ AB");
    EXPECT_EQ(replace("\xC3\xA9\xC3\x89", 32, "\xC3\xA9", "e", 1).text, "e\xC3\x89");
}

TEST(ReplaceString, EmptyFindLeavesTheText) {
    const auto r = replace("abc", 8, "", "x");
    EXPECT_EQ(r.result, 3);
    EXPECT_EQ(r.text, "abc");
}

TEST(ReplaceString, StaysInsideTheBuffer) {
    // A text with no terminator within size is taken as its first size - 1 bytes, and a match
    // may not reach past them.
    auto r = replace("abcdef", 4, "cd", "X");
    EXPECT_EQ(r.result, 3);
    EXPECT_EQ(r.text, "abc");
    r = replace("abcdef", 1, "a", "XYZ");
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.text, "");
    r = replace("a", 2, "a", std::string(1000, 'z').c_str());
    EXPECT_EQ(r.result, 1000);
    EXPECT_EQ(r.text, "z");
}

TEST(ReplaceString, RejectsBadArgumentsAndSurvivesNoMemory) {
    char buf[8] = "abc";
    EXPECT_EQ(VornReplaceString(nullptr, 8, "a", "b", 0), 0);
    EXPECT_EQ(VornReplaceString(buf, 8, nullptr, "b", 0), 0);
    EXPECT_EQ(VornReplaceString(buf, 8, "a", nullptr, 0), 0);
    EXPECT_EQ(VornReplaceString(buf, 0, "a", "b", 0), 0);
    EXPECT_STREQ(buf, "abc");
    const long live = vorn::mem_live_blocks();
    vorn::mem_fail_nth(1);
    EXPECT_EQ(VornReplaceString(buf, 8, "a", "b", 0), 0);
    vorn::mem_fail_nth(0);
    EXPECT_STREQ(buf, "abc");
    EXPECT_EQ(vorn::mem_live_blocks(), live);
}

TEST(ReplaceCharacter, ReplacesEveryMatchingByte) {
    char t[] = "Banana";
    VornReplaceCharacter(t, 'a', 'b', 0);
    EXPECT_STREQ(t, "Bbnbnb");
    char u[] = "Banana";
    VornReplaceCharacter(u, 'b', 'x', 1);
    EXPECT_STREQ(u, "xanana");
    // Bytes from 0x80 on have no case.
    char v[] = "\xC3\xA9\xC3\x89";
    VornReplaceCharacter(v, '\xA9', '!', 1);
    EXPECT_STREQ(v, "\xC3!\xC3\x89");
    char e[] = "";
    VornReplaceCharacter(e, '\0', 'x', 0);
    EXPECT_STREQ(e, "");
    VornReplaceCharacter(nullptr, 'a', 'b', 0);
}

std::string reversed(std::string s, int32_t dbcs) {
    VornReverseString(s.data(), dbcs);
    return s;
}

TEST(ReverseString, BytesOrCharacters) {
    EXPECT_EQ(reversed("abcd", 0), "dcba");
    EXPECT_EQ(reversed("abc", 0), "cba");
    EXPECT_EQ(reversed("", 0), "");
    EXPECT_EQ(reversed("", 1), "");
    EXPECT_EQ(reversed("a\xC3\xA9", 0), "\xA9\xC3"
                                        "a");
    EXPECT_EQ(reversed("aé日😀b", 1), "b😀日éa");
    EXPECT_EQ(reversed("日本語", 1), "語本日");
    // Broken sequences (a lead without its continuation, a stray continuation) go byte by byte.
    EXPECT_EQ(reversed("\xE6\x97"
                       "a\x80",
                       1),
              "\x80"
              "a\x97\xE6");
    VornReverseString(nullptr, 1);
}

TEST(Random, StaysInRangeAndLooksUniform) {
    constexpr int kDraws = 4000;
    std::vector<int32_t> v(kDraws);
    double mean = 0;
    int top = 0, low = 0;
    for (auto &x : v) {
        x = VornRandom();
        ASSERT_GE(x, 0);
        mean += x / double(kDraws);
        top += (x >> 30) & 1;
        low += x & 1;
    }
    // Uniform over 0..2^31-1: mean 2^30 with a standard error of about 2^31/sqrt(12 n); each
    // bit is set about half the time. Bounds are six standard errors wide.
    const double se = 2147483648.0 / std::sqrt(12.0 * kDraws);
    EXPECT_NEAR(mean, 1073741824.0, 6 * se);
    const double bitSe = std::sqrt(kDraws / 4.0);
    EXPECT_NEAR(top, kDraws / 2, 6 * bitSe);
    EXPECT_NEAR(low, kDraws / 2, 6 * bitSe);
    // Repeats among 4000 draws from 2^31 values are rare (about 0.4% of runs have one).
    std::sort(v.begin(), v.end());
    EXPECT_GT(std::unique(v.begin(), v.end()) - v.begin(), kDraws - 3);
}

VornSystemTime when(int y, int mo, int d, int h, int mi, int s, int wd) {
    VornSystemTime t{};
    t.wYear = uint16_t(y);
    t.wMonth = uint16_t(mo);
    t.wDay = uint16_t(d);
    t.wHour = uint16_t(h);
    t.wMinute = uint16_t(mi);
    t.wSecond = uint16_t(s);
    t.wDayOfWeek = uint16_t(wd);
    t.wMilliseconds = 999;
    return t;
}

TEST(SystemTimeFmt, FormatsTheRecord) {
    const VornSystemTime t = when(2009, 3, 5, 14, 7, 9, 4);
    char buf[64];
    ASSERT_EQ(VornSystemTimeFmt(buf, sizeof buf, "%Y/%m/%d %H:%M:%S", &t), 1);
    EXPECT_STREQ(buf, "2009/03/05 14:07:09");
    ASSERT_EQ(VornSystemTimeFmt(buf, sizeof buf, "%a %A %j", &t), 1);
    EXPECT_STREQ(buf, "Thu Thursday 001");
    // Exactly fitting, and one byte short: then 0 and the empty text, never a partial result.
    ASSERT_EQ(VornSystemTimeFmt(buf, 5, "%Y", &t), 1);
    EXPECT_STREQ(buf, "2009");
    EXPECT_EQ(VornSystemTimeFmt(buf, 4, "%Y", &t), 0);
    EXPECT_STREQ(buf, "");
    ASSERT_EQ(VornSystemTimeFmt(buf, 1, "", &t), 1);
    EXPECT_STREQ(buf, "");
    // A long result in a large buffer.
    std::vector<char> big(5000);
    const std::string fmt(400, 'x');
    ASSERT_EQ(VornSystemTimeFmt(big.data(), int32_t(big.size()), (fmt + "%Y" + fmt).c_str(), &t),
              1);
    EXPECT_EQ(std::string(big.data()), fmt + "2009" + fmt);
}

TEST(SystemTimeFmt, RefusesBadArgumentsAndFields) {
    const VornSystemTime good = when(2009, 3, 5, 14, 7, 9, 4);
    char buf[16] = "keep";
    EXPECT_EQ(VornSystemTimeFmt(nullptr, 16, "%Y", &good), 0);
    EXPECT_EQ(VornSystemTimeFmt(buf, 16, nullptr, &good), 0);
    EXPECT_EQ(VornSystemTimeFmt(buf, 16, "%Y", nullptr), 0);
    EXPECT_EQ(VornSystemTimeFmt(buf, 0, "%Y", &good), 0);
    for (auto bad : {when(2009, 0, 5, 14, 7, 9, 4), when(2009, 13, 5, 14, 7, 9, 4),
                     when(2009, 3, 0, 14, 7, 9, 4), when(2009, 3, 32, 14, 7, 9, 4),
                     when(2009, 3, 5, 24, 7, 9, 4), when(2009, 3, 5, 14, 60, 9, 4),
                     when(2009, 3, 5, 14, 7, 61, 4), when(2009, 3, 5, 14, 7, 9, 7)})
        EXPECT_EQ(VornSystemTimeFmt(buf, 16, "%b %a", &bad), 0);
    EXPECT_STREQ(buf, "keep");
    const long live = vorn::mem_live_blocks();
    for (long k = 1; k <= 2; ++k) {
        vorn::mem_fail_nth(k);
        EXPECT_EQ(VornSystemTimeFmt(buf, 16, "%Y", &good), 0);
        vorn::mem_fail_nth(0);
        EXPECT_STREQ(buf, "keep");
    }
    EXPECT_EQ(vorn::mem_live_blocks(), live);
}

using oracle::to_hex;

// Python's time.strftime is given the same fields (its weekday counts from Monday and its day of
// the year from 1) for random dates and every common directive, in the locale we run in.
TEST(SystemTimeFmt, AgreesWithPython) {
    static const char *directives[] = {"%a", "%A", "%b", "%B", "%c", "%C", "%d", "%D", "%e",
                                       "%F", "%g", "%G", "%h", "%H", "%I", "%j", "%m", "%M",
                                       "%n", "%p", "%r", "%R", "%S", "%t", "%T", "%u", "%U",
                                       "%V", "%w", "%W", "%x", "%X", "%y", "%Y", "%%", "%z"};
    for (const char *locale : {"C", "C.UTF-8"}) {
        if (!std::setlocale(LC_TIME, locale)) continue;
        std::mt19937 rng(4321);
        std::vector<std::string> expected;
        std::vector<std::string> requests{locale};
        {
            for (int n = 0; n < 400; ++n) {
                const int y = std::uniform_int_distribution<int>(1, 9999)(rng);
                const int mo = 1 + int(rng() % 12), d = 1 + int(rng() % 28), h = int(rng() % 24),
                          mi = int(rng() % 60), s = int(rng() % 60), wd = int(rng() % 7);
                std::string fmt = "<";
                for (int k = 0; k < 4; ++k)
                    fmt += directives[rng() % std::size(directives)] + std::string(" ");
                const VornSystemTime t = when(y, mo, d, h, mi, s, wd);
                char out[512];
                ASSERT_EQ(VornSystemTimeFmt(out, sizeof out, fmt.c_str(), &t), 1) << fmt;
                expected.push_back(out);
                requests.push_back(std::to_string(y) + ' ' + std::to_string(mo) + ' ' +
                                   std::to_string(d) + ' ' + std::to_string(h) + ' ' +
                                   std::to_string(mi) + ' ' + std::to_string(s) + ' ' +
                                   std::to_string(wd) + ' ' + to_hex(fmt));
            }
        }
        const std::vector<std::string> got =
            oracle::ask_python(VORN_TESTDATA_DIR "/../strftime_oracle.py", requests);
        std::setlocale(LC_TIME, "C");
        if (got.empty()) GTEST_SKIP() << "python3 not available";
        ASSERT_EQ(got.size(), expected.size());
        for (size_t i = 0; i < got.size(); ++i)
            EXPECT_EQ(to_hex(expected[i]), got[i]) << expected[i];
    }
}

} // namespace
