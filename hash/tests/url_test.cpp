// Percent-encoding and query strings.
#include "vornhash.h"

#include <gtest/gtest.h>

#include "support/text_records.hpp"

#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

using textrec::Cells;
using textrec::cells_of;
using textrec::Rec;

std::string encode(const std::string &s, int32_t size = 4096, int32_t *result = nullptr) {
    std::vector<char> out(std::size_t(size) + 1, '#');
    const int32_t n = VornEncodeUrl(out.data(), size, s.c_str());
    if (result) *result = n;
    EXPECT_EQ(std::strlen(out.data()), std::size_t(n));
    return out.data();
}

std::string decode(const std::string &s, int32_t size = 4096, int32_t *result = nullptr) {
    std::vector<char> out(std::size_t(size) + 1, '#');
    const int32_t n = VornDecodeUrl(out.data(), size, s.c_str());
    if (result) *result = n;
    EXPECT_EQ(std::strlen(out.data()), std::size_t(n));
    return out.data();
}

std::string random_bytes(std::mt19937 &rng, std::size_t maxLen) {
    std::string s(std::uniform_int_distribution<std::size_t>(0, maxLen)(rng), ' ');
    for (auto &c : s)
        c = char(std::uniform_int_distribution<int>(1, 255)(rng));
    return s;
}

// ---- encoding ------------------------------------------------------------------------------

TEST(UrlEncode, KeepsExactlyLettersDigitsAndFiveSymbols) {
    EXPECT_EQ(encode("A b/\xE9"), "A+b%2f%e9");
    EXPECT_EQ(encode("x*-.@_9"), "x*-.@_9");
    EXPECT_EQ(encode("~"), "%7e");
    EXPECT_EQ(encode(""), "");
    for (int c = 1; c < 256; ++c) {
        const bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                          (c >= '0' && c <= '9') || std::strchr("*-.@_", c);
        const std::string in(1, char(c));
        char hex[4];
        std::snprintf(hex, sizeof hex, "%%%02x", c);
        EXPECT_EQ(encode(in), keep ? in : c == ' ' ? "+" : hex) << c;
    }
}

TEST(UrlEncode, CutsToSizeMinusOneEvenInsideAnEscape) {
    int32_t n = -1;
    EXPECT_EQ(encode("a b c", 4, &n), "a+b");
    EXPECT_EQ(n, 3);
    EXPECT_EQ(encode("\xE9", 3), "%e");
    EXPECT_EQ(encode("abc", 1, &n), "");
    EXPECT_EQ(n, 0);
    char out[4] = "abc";
    EXPECT_EQ(VornEncodeUrl(out, 0, "x"), 0);
    EXPECT_EQ(VornEncodeUrl(out, 4, nullptr), 0);
    EXPECT_EQ(VornEncodeUrl(nullptr, 4, "x"), 0);
    EXPECT_STREQ(out, "abc");
}

TEST(UrlEncode, CodesInPlaceAndIntoOverlappingBuffers) {
    char buf[64] = "a b/c";
    EXPECT_EQ(VornEncodeUrl(buf, sizeof buf, buf), 7);
    EXPECT_STREQ(buf, "a+b%2fc");
    char shifted[64] = "x/y";
    EXPECT_EQ(VornEncodeUrl(shifted + 1, 63, shifted), 5);
    EXPECT_STREQ(shifted, "xx%2fy");
}

// ---- decoding ------------------------------------------------------------------------------

TEST(UrlDecode, DecodesEscapesOfEitherCaseAndPlus) {
    EXPECT_EQ(decode("a+b%2F%41"), "a b/A");
    EXPECT_EQ(decode("%e9%E9"), "\xE9\xE9");
    EXPECT_EQ(decode("%25%2b+"), "%+ ");
    EXPECT_EQ(decode("plain-text"), "plain-text");
}

TEST(UrlDecode, MalformedEscapesConsumeUpToTwoCharacters) {
    EXPECT_EQ(decode("%4"), "\x04");
    EXPECT_EQ(decode("%4z!"), "\x04!");
    EXPECT_EQ(decode("100%"), "100%");
    EXPECT_EQ(decode("%"), "%");
    EXPECT_EQ(decode("%zz!"), "%!");
    EXPECT_EQ(decode("%z4!"), "%!");
    EXPECT_EQ(decode("%z"), "%");
    EXPECT_EQ(decode("%%41"), "%1");
    EXPECT_EQ(decode("%+1x"), "%x");
    EXPECT_EQ(decode("% a"), "%");
}

TEST(UrlDecode, DecodedNulEndsTheText) {
    int32_t n = -1;
    EXPECT_EQ(decode("ab%00cd", 4096, &n), "ab");
    EXPECT_EQ(n, 2);
    EXPECT_EQ(decode("%0", 4096, &n), "");
}

TEST(UrlDecode, CutsAndCodesInPlace) {
    EXPECT_EQ(decode("%41%42%43", 3), "AB");
    char buf[1024] = "a+b%2Fc";
    EXPECT_EQ(VornDecodeUrl(buf, 1024, buf), 5);
    EXPECT_STREQ(buf, "a b/c");
    char shifted[16] = "%41%42";
    EXPECT_EQ(VornDecodeUrl(shifted + 2, 14, shifted), 2);
    EXPECT_STREQ(shifted, "%4AB");
    char keep[4] = "abc";
    EXPECT_EQ(VornDecodeUrl(keep, 0, "x"), 0);
    EXPECT_STREQ(keep, "abc");
}

TEST(UrlCoding, DecodeUndoesEncodeForAnyBytes) {
    std::mt19937 rng(3);
    for (int iter = 0; iter < 2000; ++iter) {
        const std::string s = random_bytes(rng, 40);
        const std::string e = encode(s);
        ASSERT_EQ(e.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                      "0123456789*-.@_+%"),
                  std::string::npos);
        ASSERT_EQ(decode(e), s) << e;
    }
}

// ---- query strings -------------------------------------------------------------------------

TEST(QueryString, WritesPairsUntilOneDoesNotFit) {
    Rec r(Cells{{"q", "a b"}, {"n", "1"}});
    char out[32];
    EXPECT_EQ(VornHashToQueryString(out, 10, &r.h, 0), 9);
    EXPECT_STREQ(out, "q=a+b&n=1");
    EXPECT_EQ(VornHashToQueryString(out, 9, &r.h, 0), 5);
    EXPECT_STREQ(out, "q=a+b");
    EXPECT_EQ(VornHashToQueryString(out, 32, &r.h, 1), 9);
    EXPECT_STREQ(out, "q=a b&n=1");
    EXPECT_EQ(VornHashToQueryString(out, 5, &r.h, 0), 0);
    EXPECT_STREQ(out, "");

    Rec skip(Cells{{"long", "value"}, {"a", "1"}});
    EXPECT_EQ(VornHashToQueryString(out, 6, &skip.h, 0), 0);
    Rec odd(Cells{{"k&=", "%v"}, {"", "u"}});
    EXPECT_EQ(VornHashToQueryString(out, 32, &odd.h, 0), 15);
    EXPECT_STREQ(out, "k%26%3d=%25v&=u");
    out[0] = 'x';
    EXPECT_EQ(VornHashToQueryString(out, 0, &r.h, 0), 0);
    EXPECT_EQ(out[0], 'x');
}

TEST(QueryString, ReadsPiecesSplittingBeforeDecoding) {
    Rec r(Cells{{"old", "gone"}});
    ASSERT_EQ(VornQueryStringToHash(&r.h, "q=a+b&n=%31&flag&", 0), 1);
    EXPECT_EQ(cells_of(r.h), (Cells{{"q", "a b"}, {"n", "1"}, {"flag", ""}}));
    ASSERT_EQ(VornQueryStringToHash(&r.h, "q=a+b&n=%31", 1), 1);
    EXPECT_EQ(cells_of(r.h), (Cells{{"q", "a+b"}, {"n", "%31"}}));
    ASSERT_EQ(VornQueryStringToHash(&r.h, "a%26b=c%3dd=e&x=1&a%26b=2", 0), 1);
    EXPECT_EQ(cells_of(r.h), (Cells{{"a&b", "2"}, {"x", "1"}}));
    ASSERT_EQ(VornQueryStringToHash(&r.h, "", 0), 1);
    EXPECT_EQ(r.h.count, 0);
}

TEST(QueryString, EmptyNamesAreAppendedAsUnnamed) {
    Rec r;
    ASSERT_EQ(VornQueryStringToHash(&r.h, "x=1&=2&&y&%00=3", 0), 1);
    EXPECT_EQ(cells_of(r.h), (Cells{{"x", "1"}, {"", "2"}, {"", ""}, {"y", ""}, {"", "3"}}));
    ASSERT_EQ(VornQueryStringToHash(&r.h, "&a=1", 0), 1);
    EXPECT_EQ(cells_of(r.h), (Cells{{"", ""}, {"a", "1"}}));
}

TEST(QueryString, TakesItsTextFromTheRecordBeingFilled) {
    Rec r(Cells{{"in", "q=a+b&n=1"}});
    ASSERT_EQ(VornQueryStringToHash(&r.h, VornGetHashPtr(&r.h, "in", 0), 0), 1);
    EXPECT_EQ(cells_of(r.h), (Cells{{"q", "a b"}, {"n", "1"}}));
}

TEST(QueryString, RoundTripsRandomRecords) {
    std::mt19937 rng(5);
    for (int iter = 0; iter < 500; ++iter) {
        Cells cells;
        const int n = std::uniform_int_distribution<int>(0, 6)(rng);
        for (int i = 0; i < n; ++i) {
            std::string key = rng() % 4 == 0 ? "" : random_bytes(rng, 6) + char('A' + i);
            cells.emplace_back(key, random_bytes(rng, 12));
        }
        Rec src(cells);
        char out[4096];
        VornHashToQueryString(out, sizeof out, &src.h, 0);
        Rec back(Cells{{"stale", "x"}}, 32);
        ASSERT_EQ(VornQueryStringToHash(&back.h, out, 0), 1);
        ASSERT_EQ(cells_of(back.h), cells) << out;
    }
}

TEST(QueryString, RealUrls) {
    std::ifstream f(VORN_TESTDATA_DIR "/query_strings.txt", std::ios::binary);
    ASSERT_TRUE(f);
    int cases = 0;
    std::string query;
    Cells expected;
    auto check = [&] {
        if (query.empty()) return;
        Rec r;
        ASSERT_EQ(VornQueryStringToHash(&r.h, query.c_str(), 0), 1);
        EXPECT_EQ(cells_of(r.h), expected) << query;
        ++cases;
        query.clear();
        expected.clear();
    };
    for (std::string line; std::getline(f, line);) {
        if (line.rfind("? ", 0) == 0)
            query = line.substr(2);
        else if (line.empty())
            check();
        else if (line[0] != '#')
            expected.emplace_back(line.substr(0, line.find('\t')),
                                  line.substr(line.find('\t') + 1));
    }
    check();
    EXPECT_GE(cases, 8);
}

} // namespace
