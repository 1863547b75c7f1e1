// Key=value blocks, line lists, header lists and %key% expansion.
#include "vornhash.h"

#include <gtest/gtest.h>

#include "support/text_records.hpp"

#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

using textrec::Cells;
using textrec::cells_of;
using textrec::Rec;

std::string env_block(const std::vector<std::string> &strings) {
    std::string b;
    for (const auto &s : strings)
        b += s + '\0';
    return b + '\0';
}

// Random text over an alphabet chosen to hit the separators of the format under test.
std::string random_text(std::mt19937 &rng, const std::string &alphabet, std::size_t maxLen) {
    std::string s(std::uniform_int_distribution<std::size_t>(0, maxLen)(rng), ' ');
    for (auto &c : s)
        c = alphabet[std::uniform_int_distribution<std::size_t>(0, alphabet.size() - 1)(rng)];
    return s;
}

// Unique non-empty keys, or empty ones for unnamed cells.
Cells random_cells(std::mt19937 &rng, const std::string &keyChars, const std::string &valueChars) {
    Cells cells;
    const int n = std::uniform_int_distribution<int>(0, 8)(rng);
    for (int i = 0; i < n; ++i) {
        std::string key = rng() % 4 == 0 ? "" : random_text(rng, keyChars, 6);
        if (!key.empty()) key += std::to_string(i);
        cells.emplace_back(key, random_text(rng, valueChars, 12));
    }
    return cells;
}

std::string read_file(const std::string &name) {
    std::ifstream f(std::string(VORN_TESTDATA_DIR) + "/" + name, std::ios::binary);
    EXPECT_TRUE(f) << name;
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

Cells read_cells(const std::string &name) {
    Cells cells;
    std::istringstream in(read_file(name));
    for (std::string line; std::getline(in, line);) {
        const auto tab = line.find('\t');
        cells.emplace_back(line.substr(0, tab), line.substr(tab + 1));
    }
    return cells;
}

const std::string kAll = [] {
    std::string s;
    for (int c = 1; c < 256; ++c)
        s += char(c);
    return s;
}();

// ---- key=value blocks ----------------------------------------------------------------------

TEST(EnvBlock, WritesWholeEntriesAndKeepsRoomForTheClosingNul) {
    Rec r(Cells{{"a", "1"}, {"b", "22"}});
    char out[100];
    EXPECT_EQ(VornHashToEnv(out, 100, &r.h), 10);
    EXPECT_EQ(std::string(out, 10), std::string("a=1\0b=22\0\0", 10));
    EXPECT_EQ(VornHashToEnv(out, 10, &r.h), 10);
    EXPECT_EQ(VornHashToEnv(out, 9, &r.h), 5);
    EXPECT_EQ(std::string(out, 5), std::string("a=1\0\0", 5));

    // The first entry that does not fit ends the block, though a later one would fit.
    Rec big(Cells{{"long", "xxxxx"}, {"a", "1"}});
    EXPECT_EQ(VornHashToEnv(out, 8, &big.h), 1);
    EXPECT_EQ(out[0], 0);

    Rec empty;
    std::memset(out, 'x', sizeof out);
    EXPECT_EQ(VornHashToEnv(out, 1, &empty.h), 1);
    EXPECT_EQ(out[0], 0);
    EXPECT_EQ(out[1], 'x');
}

TEST(EnvBlock, InvalidArgumentsLeaveTheBufferAlone) {
    Rec r(Cells{{"a", "1"}});
    char out[8] = "keep";
    EXPECT_EQ(VornHashToEnv(out, 0, &r.h), 0);
    EXPECT_EQ(VornHashToEnv(nullptr, 8, &r.h), 0);
    EXPECT_EQ(VornHashToEnv(out, 8, nullptr), 0);
    EXPECT_STREQ(out, "keep");
    EXPECT_EQ(VornEnvToHash(nullptr, "a=1\0"), 0);
    EXPECT_EQ(VornEnvToHash(&r.h, nullptr), 0);
    EXPECT_EQ(cells_of(r.h), (Cells{{"a", "1"}}));
}

TEST(EnvBlock, ValueFilledToTheEndOfItsBufferIsReadNoFurther) {
    Rec r(Cells{{"k", "abc"}});
    char *v = VornGetHashPtr(&r.h, "k", 0);
    std::memset(v, 'z', std::size_t(VornGetHashLength(&r.h, "k", 0)));
    char out[32];
    EXPECT_EQ(VornHashToEnv(out, 32, &r.h), 9);
    EXPECT_EQ(std::string(out, 9), std::string("k=zzzzz\0\0", 9));
}

TEST(EnvBlock, ReadsNamesValuesAndTheFirstEqualsOnly) {
    Rec r(Cells{{"old", "gone"}});
    const std::string b = env_block({"x=1", "y", "z=a=b"});
    ASSERT_EQ(VornEnvToHash(&r.h, b.c_str()), 1);
    EXPECT_EQ(cells_of(r.h), (Cells{{"x", "1"}, {"y", ""}, {"z", "a=b"}}));
    EXPECT_EQ(r.h.sizes[0], 3); // "1" and its NUL, one unit spare
}

TEST(EnvBlock, ALoneNulIsAnEmptyBlockAndIsNotReadPast) {
    Rec r(Cells{{"old", "gone"}});
    auto one = std::make_unique<char[]>(1);
    one[0] = 0;
    ASSERT_EQ(VornEnvToHash(&r.h, one.get()), 1);
    EXPECT_EQ(r.h.count, 0);
}

TEST(EnvBlock, RepeatedNameKeepsFirstPositionAndLastValue) {
    Rec r;
    ASSERT_EQ(VornEnvToHash(&r.h, env_block({"a=1", "b=2", "a=3"}).c_str()), 1);
    EXPECT_EQ(cells_of(r.h), (Cells{{"a", "3"}, {"b", "2"}}));
}

TEST(EnvBlock, UnnamedEntriesAreAppendedNotWrittenOverCellZero) {
    Rec r;
    ASSERT_EQ(VornEnvToHash(&r.h, env_block({"a=1", "=u", "=", "b=2"}).c_str()), 1);
    EXPECT_EQ(cells_of(r.h), (Cells{{"a", "1"}, {"", "u"}, {"", ""}, {"b", "2"}}));
}

TEST(EnvBlock, RoundTripsRandomRecords) {
    std::mt19937 rng(7);
    std::string keyChars = kAll, valueChars = kAll;
    keyChars.erase(keyChars.find('='), 1);
    for (int iter = 0; iter < 400; ++iter) {
        const Cells cells = random_cells(rng, keyChars, valueChars);
        Rec src(cells);
        std::vector<char> block(4096);
        const int32_t used = VornHashToEnv(block.data(), int32_t(block.size()), &src.h);
        ASSERT_GE(used, 1);
        EXPECT_EQ(block[std::size_t(used) - 1], 0);
        Rec back(Cells{{"stale", "x"}}, 16);
        ASSERT_EQ(VornEnvToHash(&back.h, block.data()), 1);
        ASSERT_EQ(cells_of(back.h), cells) << "iteration " << iter;
    }
}

// ---- line lists ----------------------------------------------------------------------------

TEST(LineList, LineLengthCountsEachKindOfLineEnd) {
    const std::pair<const char *, int32_t> cases[] = {
        {"ab\r\ncd", 4}, {"ab\rcd", 3}, {"ab\ncd", 3}, {"ab", 2},  {"", 0},
        {"\r\r\n", 1},   {"\n\r", 1},   {"\r\n", 2},   {"a\r", 2}, {"\n", 1},
    };
    for (const auto &[text, len] : cases)
        EXPECT_EQ(VornGetLineLength(text), len) << text;
    EXPECT_EQ(VornGetLineLength(nullptr), 0);
}

TEST(LineList, ReadsKeyedAndUnkeyedNotes) {
    Rec r(Cells{{"old", "gone"}});
    ASSERT_EQ(VornNoteToHash(&r.h, "k1\r\nv1\r\nk2\nv2", 1), 1);
    EXPECT_EQ(cells_of(r.h), (Cells{{"k1", "v1"}, {"k2", "v2"}}));
    ASSERT_EQ(VornNoteToHash(&r.h, "a\r\n\r\nb", 0), 1);
    EXPECT_EQ(cells_of(r.h), (Cells{{"", "a"}, {"", ""}, {"", "b"}}));
    ASSERT_EQ(VornNoteToHash(&r.h, "a\rb\n\r\r\n", 0), 1);
    EXPECT_EQ(cells_of(r.h), (Cells{{"", "a"}, {"", "b"}, {"", ""}, {"", ""}}));
    ASSERT_EQ(VornNoteToHash(&r.h, "", 0), 1);
    EXPECT_EQ(r.h.count, 0);
}

TEST(LineList, KeyedNoteEdges) {
    Rec r;
    // A name on the last line gets the empty value; a repeated name keeps its first place.
    ASSERT_EQ(VornNoteToHash(&r.h, "k1\r\nv1\r\nk2\r\nv2\r\nk1\r\nv3\r\nk3", 1), 1);
    EXPECT_EQ(cells_of(r.h), (Cells{{"k1", "v3"}, {"k2", "v2"}, {"k3", ""}}));
    // An empty name line is an unnamed entry after the others, not a write over cell 0.
    ASSERT_EQ(VornNoteToHash(&r.h, "k\r\nv\r\n\r\nu\r\n\nw", 1), 1);
    EXPECT_EQ(cells_of(r.h), (Cells{{"k", "v"}, {"", "u"}, {"", "w"}}));
}

TEST(LineList, ValueBufferIsSizedForTheRawLineAndHoldsNoLineEndBytes) {
    Rec r;
    ASSERT_EQ(VornNoteToHash(&r.h, "v1\r\nlast", 0), 1);
    ASSERT_EQ(r.h.count, 2);
    ASSERT_EQ(r.h.sizes[0], 5); // raw line of 4 bytes, unit 1
    EXPECT_EQ(std::string(r.h.values[0], 5), std::string("v1\0\0\0", 5));
    EXPECT_EQ(r.h.sizes[1], 6); // no line end: the text and its NUL
}

TEST(LineList, WritesNotesWholeEntriesOnly) {
    Rec r(Cells{{"k", "v"}});
    char out[16];
    EXPECT_EQ(VornHashToNote(out, 7, &r.h, 1), 6);
    EXPECT_STREQ(out, "k\r\nv\r\n");
    std::memset(out, 'x', sizeof out);
    EXPECT_EQ(VornHashToNote(out, 6, &r.h, 1), 0);
    EXPECT_EQ(out[0], 'x'); // nothing written, not even a NUL

    Rec two(Cells{{"a", "1"}, {"b", "22"}});
    EXPECT_EQ(VornHashToNote(out, 16, &two.h, 0), 7);
    EXPECT_STREQ(out, "1\r\n22\r\n");
    EXPECT_EQ(VornHashToNote(out, 7, &two.h, 0), 3);
    EXPECT_STREQ(out, "1\r\n");
    EXPECT_EQ(VornHashToNote(out, 16, &two.h, 1), 13);
    EXPECT_STREQ(out, "a\r\n1\r\nb\r\n22\r\n");
}

TEST(LineList, RoundTripsRandomRecords) {
    std::mt19937 rng(11);
    std::string chars = kAll;
    for (char c : {'\r', '\n'})
        chars.erase(chars.find(c), 1);
    for (int iter = 0; iter < 400; ++iter) {
        const bool withKeys = iter % 2 == 0;
        Cells cells = random_cells(rng, chars, chars);
        if (!withKeys)
            for (auto &c : cells)
                c.first.clear();
        Rec src(cells);
        std::vector<char> text(4096, 0);
        VornHashToNote(text.data(), int32_t(text.size()), &src.h, withKeys);
        Rec back(Cells{{"stale", "x"}}, 8);
        ASSERT_EQ(VornNoteToHash(&back.h, text.data(), withKeys), 1);
        ASSERT_EQ(cells_of(back.h), cells) << "iteration " << iter;
    }
}

// ---- header lists --------------------------------------------------------------------------

TEST(HeaderList, SplitsAtTheFirstColonAndOneSpace) {
    Rec r(Cells{{"old", "gone"}});
    ASSERT_EQ(VornHttpHeaderToHash(&r.h, "Host: a\r\n\r\nX-A:b\r\nNoColon\r\nY:  c\r\n"), 1);
    EXPECT_EQ(cells_of(r.h), (Cells{{"Host", "a"}, {"X-A", "b"}, {"NoColon", ""}, {"Y", " c"}}));
    ASSERT_EQ(VornHttpHeaderToHash(&r.h, "A :b:c\nAccept: x\nAccept: y\naccept: z\n\tfolded\r"), 1);
    EXPECT_EQ(cells_of(r.h),
              (Cells{{"A ", "b:c"}, {"Accept", "y"}, {"accept", "z"}, {"\tfolded", ""}}));
}

TEST(HeaderList, EmptyNameIsAppendedAsUnnamed) {
    Rec r;
    ASSERT_EQ(VornHttpHeaderToHash(&r.h, "A: 1\r\n: v\r\n:\r\nB: 2\r\n"), 1);
    EXPECT_EQ(cells_of(r.h), (Cells{{"A", "1"}, {"", "v"}, {"", ""}, {"B", "2"}}));
}

TEST(HeaderList, WritesWholeLinesAndStartsFromTheEmptyText) {
    Rec r(Cells{{"Host", "a"}, {"X", "yz"}});
    char out[32];
    EXPECT_EQ(VornHashToHttpHeader(out, 10, &r.h), 9);
    EXPECT_STREQ(out, "Host: a\r\n");
    std::memset(out, 'x', sizeof out);
    EXPECT_EQ(VornHashToHttpHeader(out, 9, &r.h), 0);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(VornHashToHttpHeader(out, 32, &r.h), 16);
    EXPECT_STREQ(out, "Host: a\r\nX: yz\r\n");
    out[0] = 'q';
    EXPECT_EQ(VornHashToHttpHeader(out, 0, &r.h), 0);
    EXPECT_EQ(out[0], 'q');
}

TEST(HeaderList, RealServerResponses) {
    for (const char *name : {"python_http_200", "python_http_404"}) {
        const std::string text = read_file(std::string(name) + ".http");
        Rec r;
        ASSERT_EQ(VornHttpHeaderToHash(&r.h, text.c_str()), 1) << name;
        EXPECT_EQ(cells_of(r.h), read_cells(std::string(name) + ".cells")) << name;
    }
}

// ---- all readers ---------------------------------------------------------------------------

// The text to read may sit in a value buffer of the very record being refilled, which the reader
// empties before it stores anything.
TEST(Readers, TakeTheirTextFromTheRecordBeingFilled) {
    Rec r;
    const std::string block("a=1\0b=2\0\0", 9);
    ASSERT_EQ(VornSetHash(&r.h, "in", 0, block.data(), int32_t(block.size())), 1);
    ASSERT_EQ(VornEnvToHash(&r.h, VornGetHashPtr(&r.h, "in", 0)), 1);
    EXPECT_EQ(cells_of(r.h), (Cells{{"a", "1"}, {"b", "2"}}));

    ASSERT_EQ(VornSetHash(&r.h, "in", 0, "k\r\nv\r\nx\r\ny", -1), 1);
    ASSERT_EQ(VornNoteToHash(&r.h, VornGetHashPtr(&r.h, "in", 0), 1), 1);
    EXPECT_EQ(cells_of(r.h), (Cells{{"k", "v"}, {"x", "y"}}));

    ASSERT_EQ(VornSetHash(&r.h, "in", 0, "A: 1\r\nB: 2\r\n", -1), 1);
    ASSERT_EQ(VornHttpHeaderToHash(&r.h, VornGetHashPtr(&r.h, "in", 0)), 1);
    EXPECT_EQ(cells_of(r.h), (Cells{{"A", "1"}, {"B", "2"}}));
}

// ---- expansion -----------------------------------------------------------------------------

std::string expand(const Hash *h, const char *pattern, int32_t ignoreCase, int32_t size = 256,
                   int32_t *result = nullptr) {
    std::vector<char> out(std::size_t(size) + 1, '#');
    const int32_t n = VornExpandHash(out.data(), size, pattern, h, ignoreCase);
    if (result) *result = n;
    EXPECT_EQ(std::strlen(out.data()), std::size_t(n));
    return out.data();
}

TEST(Expansion, ReplacesMarkersAndCopiesStrayPercents) {
    Rec r(Cells{{"name", "Bob"}, {"n", "X"}});
    EXPECT_EQ(expand(&r.h, "Hi %name%, %n%% 100%", 0), "Hi Bob, X% 100%");
    EXPECT_EQ(expand(&r.h, "%NAME%", 0), "%NAME%");
    EXPECT_EQ(expand(&r.h, "%NAME%", 1), "Bob");
    EXPECT_EQ(expand(&r.h, "%%n%", 0), "%X");
    EXPECT_EQ(expand(&r.h, "%name", 0), "%name");
    EXPECT_EQ(expand(&r.h, "%nam%", 0), "%nam%");
}

TEST(Expansion, LowestCellWinsEitherWayAndValuesAreNotRescanned) {
    Rec r(Cells{{"a", "%B%"}, {"A", "upper"}, {"B", "b"}});
    EXPECT_EQ(expand(&r.h, "%A%", 1), "%B%"); // cell 0 matches without case before cell 1 exactly
    EXPECT_EQ(expand(&r.h, "%A%", 0), "upper");
    EXPECT_EQ(expand(&r.h, "%a%%B%", 0), "%B%b");
}

TEST(Expansion, UnnamedCellAndLongKeys) {
    Rec r(Cells{{"", "pct"}, {std::string(3000, 'k'), "long"}});
    EXPECT_EQ(expand(&r.h, "50%% off", 0), "50pct off");
    EXPECT_EQ(expand(&r.h, ("<%" + std::string(3000, 'k') + "%>").c_str(), 0), "<long>");
}

TEST(Expansion, OutputIsCutAtSizeMinusOne) {
    Rec r(Cells{{"name", "Bob"}});
    int32_t n = -1;
    EXPECT_EQ(expand(&r.h, "abcdefg", 0, 5, &n), "abcd");
    EXPECT_EQ(n, 4);
    EXPECT_EQ(expand(&r.h, "a%name%z", 0, 4, &n), "aBo");
    EXPECT_EQ(expand(&r.h, "a%name%z", 0, 5, &n), "aBob");
    EXPECT_EQ(expand(&r.h, "a%name%z", 0, 1, &n), "");
    EXPECT_EQ(n, 0);
    char out[4] = "abc";
    EXPECT_EQ(VornExpandHash(out, 0, "x", &r.h, 0), 0);
    EXPECT_EQ(VornExpandHash(out, 4, nullptr, &r.h, 0), 0);
    EXPECT_STREQ(out, "abc");
}

} // namespace
