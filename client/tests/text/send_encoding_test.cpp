// The send page's bytes: every encoding and line ending against Python's codecs on random text,
// the escape parser, and files that are not text going out exactly as they were.
#include "text/send_encoding.hpp"

#include "../../../test_support/python_oracle.hpp"

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>
#include <vector>

namespace tarvotcpc {
namespace {

const SendEncoding kEncodings[] = {SendEncoding::Utf8, SendEncoding::ShiftJis, SendEncoding::EucJp,
                                   SendEncoding::Iso2022Jp, SendEncoding::Latin1};
const LineEnding kEndings[] = {LineEnding::Crlf, LineEnding::Lf, LineEnding::Cr, LineEnding::None};

std::string PythonCodec(SendEncoding encoding) {
    switch (encoding) {
    case SendEncoding::Utf8:
        return "utf-8";
    case SendEncoding::ShiftJis:
        return "cp932";
    case SendEncoding::EucJp:
        return "euc_jp";
    case SendEncoding::Iso2022Jp:
        return "iso2022_jp";
    case SendEncoding::Latin1:
        return "latin-1";
    }
    return {};
}

void AppendUtf8(char32_t cp, std::string &out) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// Characters glibc and Python map differently; the bytes of each side are right by its own
// tables, so random text leaves them out. glibc's CP932 takes ¥ ‾ — (as 5C, 7E, 815C), Python's
// cp932 refuses them; glibc's EUC-JP takes ～ (FF5E), Python's euc_jp refuses it; ＂ and ＇ (FF02,
// FF07) have two codes in CP932, and glibc writes the IBM one (FA57, FA56) where Python writes
// the NEC one (EEFC, EEFB).
const std::set<char32_t> kKnownDifferences = {0xA5, 0x203E, 0x2014, 0xFF5E, 0xFF02, 0xFF07};

// Random page text: mostly characters the Japanese encodings carry, line breaks of every kind,
// and now and then one from anywhere (which most encodings refuse).
std::string RandomText(std::mt19937 &rng) {
    static const std::vector<std::pair<char32_t, char32_t>> common = {
        {0x20, 0x7E},     {0x3041, 0x3093}, {0x30A1, 0x30F6}, {0x4E00, 0x4E20},
        {0x65E5, 0x65E5}, {0xFF01, 0xFF5E}, {0xA0, 0xFF}};
    static const std::vector<std::pair<char32_t, char32_t>> anywhere = {
        {0x4E00, 0x9FA5}, {0xFF61, 0xFF9F}, {0x2460, 0x2473}, {0x1F600, 0x1F64F},
        {0x2010, 0x2030}, {0x0100, 0x017F}, {0x01, 0x1F},     {0x301C, 0x301C}};
    std::string text;
    const int length = static_cast<int>(rng() % 40);
    for (int k = 0; k < length; ++k) {
        const unsigned pick = rng() % 100;
        if (pick < 8) {
            static const char *breaks[] = {"\r\n", "\r", "\n"};
            text += breaks[rng() % 3];
            continue;
        }
        const auto &pool = pick < 96 ? common : anywhere;
        const auto &range = pool[rng() % pool.size()];
        char32_t cp = range.first + rng() % (range.second - range.first + 1);
        if (cp == '\r' || cp == '\n' || kKnownDifferences.count(cp)) cp = 'x';
        AppendUtf8(cp, text);
    }
    return text;
}

TEST(SendEncoding, EveryEncodingAndLineEndingMatchesPythonsCodecsOnRandomText) {
    std::mt19937 rng(1414);
    struct Case {
        std::string text;
        SendEncoding encoding;
        LineEnding ending;
    };
    std::vector<Case> cases;
    std::vector<std::string> requests;
    for (const auto encoding : kEncodings)
        for (const auto ending : kEndings)
            for (int k = 0; k < 120; ++k) {
                cases.push_back({RandomText(rng), encoding, ending});
                requests.push_back(PythonCodec(encoding) + " " +
                                   std::string(FormatLineEnding(ending)) + " " +
                                   oracle::to_hex(cases.back().text));
            }
    const auto answers = oracle::ask_python(TARVOTCPC_TEST_DATA "/send_oracle.py", requests);
    ASSERT_EQ(answers.size(), cases.size()) << "python3 did not answer";
    int refused = 0;
    for (std::size_t k = 0; k < cases.size(); ++k) {
        const auto &c = cases[k];
        const SendBytes got = EncodeForSend(c.text, c.encoding, c.ending, false);
        SCOPED_TRACE(PythonCodec(c.encoding) + " " + std::string(FormatLineEnding(c.ending)) +
                     " text " + oracle::to_hex(c.text));
        if (answers[k].rfind("ok ", 0) == 0) {
            ASSERT_TRUE(got.ok) << got.error;
            EXPECT_EQ(oracle::to_hex(got.bytes), answers[k].substr(3));
        } else {
            ++refused;
            ASSERT_FALSE(got.ok);
            EXPECT_TRUE(got.bytes.empty());
            EXPECT_EQ("err " + std::to_string(got.line) + " " + std::to_string(got.column),
                      answers[k]);
            EXPECT_NE(got.error.find(std::to_string(got.line) + "行"), std::string::npos);
        }
    }
    // Both outcomes must have been tried in earnest.
    EXPECT_GT(refused, 100);
    EXPECT_LT(refused, static_cast<int>(cases.size()) - 500);
}

TEST(SendEncoding, RefusalNamesTheCharacterAndItsPlace) {
    const SendBytes got =
        EncodeForSend("abc\r\nあい\n漢字①x", SendEncoding::Iso2022Jp, LineEnding::Crlf, false);
    ASSERT_FALSE(got.ok);
    EXPECT_TRUE(got.bytes.empty());
    EXPECT_EQ(got.line, 3u);
    EXPECT_EQ(got.column, 3u);
    EXPECT_NE(got.error.find("①"), std::string::npos) << got.error;
    EXPECT_NE(got.error.find("U+2460"), std::string::npos) << got.error;
    EXPECT_NE(got.error.find("ISO-2022-JP"), std::string::npos) << got.error;

    const SendBytes broken = EncodeForSend("ok\nab\xFF", SendEncoding::Utf8, LineEnding::Lf, false);
    ASSERT_FALSE(broken.ok);
    EXPECT_EQ(broken.line, 2u);
    EXPECT_EQ(broken.column, 3u);
    EXPECT_NE(broken.error.find("0xFF"), std::string::npos) << broken.error;
}

TEST(SendEncoding, EscapesGiveTheirBytesAsTheyStand) {
    struct Case {
        const char *text;
        SendEncoding encoding;
        LineEnding ending;
        std::string bytes;
    };
    const Case cases[] = {
        {R"(a\r\n\t\\\0\x41\xa0\xFF\x00z)", SendEncoding::Utf8, LineEnding::Crlf,
         std::string("a\r\n\t\\\0A\xA0\xFF\0z", 11)},
        // Literal line breaks follow the ending; escaped ones never do.
        {"a\\n\nb", SendEncoding::Utf8, LineEnding::Cr, "a\n\rb"},
        {"a\\r\\n\nb\\r\\n", SendEncoding::Latin1, LineEnding::None, "a\r\nb\r\n"},
        // \xA0 is the byte A0, not U+00A0 encoded.
        {"é\\xA0", SendEncoding::Utf8, LineEnding::Lf, "\xC3\xA9\xA0"},
        {"あ\\xA0い", SendEncoding::ShiftJis, LineEnding::Lf, "\x82\xA0\xA0\x82\xA2"},
        {"あ\\xA0", SendEncoding::EucJp, LineEnding::Lf, "\xA4\xA2\xA0"},
        // A stateful encoding is back in ASCII before an escaped byte.
        {"あ\\x41い", SendEncoding::Iso2022Jp, LineEnding::Lf, "\x1B$B$\"\x1B(BA\x1B$B$$\x1B(B"},
        {"", SendEncoding::Utf8, LineEnding::Crlf, ""},
    };
    for (const auto &c : cases) {
        const SendBytes got = EncodeForSend(c.text, c.encoding, c.ending, true);
        ASSERT_TRUE(got.ok) << c.text << ": " << got.error;
        EXPECT_EQ(oracle::to_hex(got.bytes), oracle::to_hex(c.bytes)) << c.text;
    }
    // Without escape mode a backslash is just a character.
    EXPECT_EQ(EncodeForSend("\\x41", SendEncoding::Utf8, LineEnding::Lf, false).bytes, "\\x41");

    struct Bad {
        const char *text;
        std::size_t line, column;
    };
    const Bad bad[] = {
        {"ab\\q", 1, 3},   {"あ\r\nい\\x4", 2, 2}, {"x\n\n\\", 3, 1}, {"\\xG0", 1, 1},
        {"漢\\x 1", 1, 2}, {"a\\\n", 1, 2},        {"\\N", 1, 1},     {"\\\\\\", 1, 3},
    };
    for (const auto &c : bad) {
        const SendBytes got = EncodeForSend(c.text, SendEncoding::ShiftJis, LineEnding::Crlf, true);
        ASSERT_FALSE(got.ok) << c.text;
        EXPECT_TRUE(got.bytes.empty());
        EXPECT_EQ(got.line, c.line) << c.text;
        EXPECT_EQ(got.column, c.column) << c.text;
        EXPECT_NE(got.error.find(std::to_string(c.line) + "行" + std::to_string(c.column) + "列"),
                  std::string::npos)
            << got.error;
    }
}

TEST(SendEncoding, StoredValuesReadBack) {
    for (const auto encoding : kEncodings)
        EXPECT_EQ(ParseEncoding(FormatEncoding(encoding)), encoding);
    for (const auto ending : kEndings)
        EXPECT_EQ(ParseLineEnding(FormatLineEnding(ending)), ending);
    EXPECT_EQ(ParseLineEnding("CRLF"), LineEnding::Crlf);
    EXPECT_EQ(ParseLineEnding("crlf "), std::nullopt);
    EXPECT_EQ(ParseEncoding("sjis"), std::nullopt);
}

// A file whose bytes are not text goes to the page in the escape form and comes back out of the
// send exactly, whatever the encoding and the line ending.
TEST(SendEncoding, FileThatIsNotTextRoundTripsExactly) {
    std::mt19937 rng(77);
    int escaped = 0;
    for (int round = 0; round < 60; ++round) {
        std::string bytes;
        const std::size_t size = rng() % 600;
        // Half plain random bytes, half text-like bytes with a few stray ones.
        for (std::size_t k = 0; k < size; ++k) {
            if (round % 2 == 0 || rng() % 50 == 0)
                bytes += static_cast<char>(rng());
            else
                bytes += "\x82\xA0\xA4\xA2"
                         "ab\\\r\n\t \xE3\x81\x82"[rng() % 14];
        }
        for (const auto encoding : kEncodings)
            for (const auto ending : kEndings) {
                const PageTextForFile page = PageTextFromFile(bytes, encoding, ending, true);
                SCOPED_TRACE(std::string(FormatEncoding(encoding)) + " " +
                             std::string(FormatLineEnding(ending)) + " " + oracle::to_hex(bytes));
                if (page.isText) continue;
                ++escaped;
                EXPECT_FALSE(page.notice.empty());
                const SendBytes sent = EncodeForSend(page.text, encoding, ending, true);
                ASSERT_TRUE(sent.ok) << sent.error;
                ASSERT_EQ(oracle::to_hex(sent.bytes), oracle::to_hex(bytes));
            }
    }
    EXPECT_GT(escaped, 1000);

    // A NUL makes even plain ASCII a file to send as bytes.
    const std::string withNul("GET /\0\r\n", 8);
    const PageTextForFile nul =
        PageTextFromFile(withNul, SendEncoding::Utf8, LineEnding::Crlf, false);
    EXPECT_FALSE(nul.isText);
    EXPECT_EQ(nul.text, "GET /\\0\\r\\n");

    // Text stays text; its backslashes survive escape mode.
    const std::string sjis = "C:\\\x95\x5C\r\n\x82\xA0\r\n";
    const PageTextForFile text =
        PageTextFromFile(sjis, SendEncoding::ShiftJis, LineEnding::Crlf, true);
    ASSERT_TRUE(text.isText);
    EXPECT_EQ(text.text, "C:\\\\表\nあ\n");
    EXPECT_EQ(EncodeForSend(text.text, SendEncoding::ShiftJis, LineEnding::Crlf, true).bytes, sjis);
}

} // namespace
} // namespace tarvotcpc
