#include "text/text.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <iterator>

namespace tarvotcpc {
namespace {

const std::string kA = "あ";    // three bytes
const std::string kEmoji = "😀"; // four bytes

TEST(Utf8Cut, NeverEndsInsideACharacter) {
    EXPECT_EQ(Utf8Cut("abc", 5), "abc");
    EXPECT_EQ(Utf8Cut("abc", 2), "ab");
    const std::string text = "a" + kA + kA; // 7 bytes
    EXPECT_EQ(Utf8Cut(text, 7), text);
    EXPECT_EQ(Utf8Cut(text, 6), "a" + kA);
    EXPECT_EQ(Utf8Cut(text, 5), "a" + kA);
    EXPECT_EQ(Utf8Cut(text, 4), "a" + kA);
    EXPECT_EQ(Utf8Cut(text, 3), "a");
    EXPECT_EQ(Utf8Cut(kEmoji + "x", 3), "");
    EXPECT_EQ(Utf8Cut(kEmoji + "x", 4), kEmoji);
}

TEST(Utf8Cut, InvalidBytesCountOneByOne) {
    EXPECT_EQ(Utf8Cut("a\x80\x80\x80\x80z", 3), "a\x80\x80");
    EXPECT_EQ(Utf8Cut("\xff\xfe\xfd", 2), "\xff\xfe");
    // A lead byte whose continuation never comes is no character to protect.
    EXPECT_EQ(Utf8Cut("ab\xe3z", 3), "ab\xe3");
}

TEST(ParseDecimal, LeadingDigitsCountTheRestIsIgnored) {
    EXPECT_EQ(ParseDecimal("8080"), 8080);
    EXPECT_EQ(ParseDecimal("0080"), 80);
    EXPECT_EQ(ParseDecimal("12ab"), 12);
    EXPECT_EQ(ParseDecimal("abc"), 0);
    EXPECT_EQ(ParseDecimal(""), 0);
    EXPECT_EQ(ParseDecimal("-5"), -5);
    EXPECT_EQ(ParseDecimal("+7"), 7);
    EXPECT_EQ(ParseDecimal(" 80"), 0) << "blanks are not skipped";
    EXPECT_EQ(ParseDecimal("-"), 0);
    EXPECT_EQ(ParseDecimal("4294967297"), 1) << "wraps like 32-bit arithmetic";
    EXPECT_EQ(ParseDecimal("2147483648"), INT32_MIN);
}

TEST(EqualsIgnoringAsciiCase, FoldsOnlyAsciiLetters) {
    EXPECT_TRUE(EqualsIgnoringAsciiCase("Alpha:80", "aLPHA:80"));
    EXPECT_FALSE(EqualsIgnoringAsciiCase("alpha", "alphab"));
    EXPECT_FALSE(EqualsIgnoringAsciiCase("\xc3\xa9", "\xc3\x89")) << "é and É stay apart";
    EXPECT_FALSE(EqualsIgnoringAsciiCase("@", "`"));
}

TEST(LineBreaks, EveryKindBecomesTheWantedOne) {
    EXPECT_EQ(ToCrlf("a\nb\r\nc\rd"), "a\r\nb\r\nc\r\nd");
    EXPECT_EQ(ToCrlf("\n\n"), "\r\n\r\n");
    EXPECT_EQ(ToCrlf("\r\r\n"), "\r\n\r\n");
    EXPECT_EQ(ToLf("a\r\nb\rc\nd\r"), "a\nb\nc\nd\n");
    EXPECT_EQ(ToCrlf(ToLf("x\r\ny")), "x\r\ny");
}

TEST(ReceivedText, BreaksAndCharactersSplitBetweenPieces) {
    ReceivedText text;
    EXPECT_EQ(text.Feed("one\r"), "one\n");
    EXPECT_EQ(text.Feed("\ntwo\n"), "two\n") << "the LF of a split CRLF adds no second break";
    EXPECT_EQ(text.Feed("\r\r"), "\n\n");
    EXPECT_EQ(text.Feed(kA.substr(0, 1)), "");
    EXPECT_EQ(text.Feed(kA.substr(1, 1)), "");
    EXPECT_EQ(text.Feed(kA.substr(2) + "!"), kA + "!");
    EXPECT_EQ(text.Feed(std::string("a\0b\0", 4)), std::string("a") + kNulSymbol + "b" + kNulSymbol)
        << "a NUL byte shows as a symbol and the text after it is kept";
}

TEST(ReceivedText, LongRunsAreCutBetweenCharactersAndMarked) {
    ReceivedText text;
    const std::string run(kDisplayLineLimit, 'x');
    EXPECT_EQ(text.Feed(run), run) << "a line of exactly the limit stays whole";
    EXPECT_EQ(text.Feed("\n" + run + "y"), "\n" + run + kDisplayBreakMark + "\ny");

    ReceivedText wide;
    const std::string almost(kDisplayLineLimit - 1, 'x');
    // The character that crosses the limit stays whole on the first line; the cut comes after it.
    EXPECT_EQ(wide.Feed(almost + kA.substr(0, 1)), almost);
    EXPECT_EQ(wide.Feed(kA.substr(1) + "z"), kA + kDisplayBreakMark + "\nz");

    ReceivedText stray;
    const std::string continuation(kDisplayLineLimit + 10, '\x80');
    const std::string shown = stray.Feed(continuation);
    EXPECT_NE(shown.find(kDisplayBreakMark), std::string::npos)
        << "bytes that never start a character still get cut";
}

// The page must not depend on how the peer's data happened to be split into reads.
TEST(ReceivedText, SameTextWhateverTheSplit) {
    std::string stream;
    uint32_t seed = 12345;
    auto next = [&seed] { return seed = seed * 1103515245u + 12345u; };
    const std::string pieces[] = {"\r", "\n",           "\r\n", std::string(1, '\0'),
                                  kA,   kEmoji,         "\xff", std::string(1500, 'q'),
                                  "ab", kA.substr(0, 2)};
    while (stream.size() < 40000)
        stream += pieces[(next() >> 8) % std::size(pieces)];

    ReceivedText whole;
    const std::string expected = whole.Feed(stream) + whole.Flush();
    for (int round = 0; round < 20; ++round) {
        ReceivedText split;
        std::string got;
        for (std::size_t at = 0; at < stream.size();) {
            const std::size_t n = 1 + (next() >> 8) % (round < 10 ? 5 : 3000);
            got += split.Feed(std::string_view(stream).substr(at, n));
            at += n;
        }
        got += split.Flush();
        ASSERT_EQ(got, expected) << "round " << round;
    }
    std::size_t longest = 0, current = 0;
    for (const char c : expected) {
        current = c == '\n' ? 0 : current + 1;
        longest = std::max(longest, current);
    }
    EXPECT_LE(longest, kDisplayLineLimit + 3 + sizeof kDisplayBreakMark);
}

TEST(ReceivedText, FlushGivesBackAnUnfinishedCharacter) {
    ReceivedText text;
    EXPECT_EQ(text.Feed("x" + kEmoji.substr(0, 3)), "x");
    EXPECT_EQ(text.Flush(), kEmoji.substr(0, 3));
    EXPECT_EQ(text.Flush(), "");
    EXPECT_EQ(text.Feed("\xff\x80"), "\xff\x80") << "invalid bytes are not held back";
}

} // namespace
} // namespace tarvotcpc
