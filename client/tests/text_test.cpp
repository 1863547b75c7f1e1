#include "text.hpp"

#include <gtest/gtest.h>

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

TEST(ParseDecimal, ReadsLikeTheWindowsRule) {
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
    EXPECT_EQ(text.Feed(std::string("a\0b", 3)), "ab") << "NUL bytes are left out";
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
