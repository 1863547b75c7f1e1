#include "vorncsv.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

// Sets one field in a buffer of the given size holding text; returns the result and the text.
struct SetResult {
    int32_t result;
    std::string text;
};
SetResult set(const std::string &text, const char *field, int32_t row, int32_t col,
              int32_t size = 256) {
    std::vector<char> buf(static_cast<size_t>(size) + 8, '\x7f');
    std::memcpy(buf.data(), text.c_str(), text.size() + 1);
    const int32_t r = VornSetCsv(buf.data(), size, field, row, col);
    EXPECT_EQ(buf[static_cast<size_t>(size)], '\x7f') << "wrote past size";
    return {r, buf.data()};
}

std::string get(const std::string &text, int32_t row, int32_t col) {
    char out[256];
    const int32_t n = VornGetCsv(out, sizeof out, text.c_str(), row, col);
    EXPECT_EQ(n, static_cast<int32_t>(std::strlen(out)));
    return out;
}

int32_t rows(const std::string &text) {
    return VornCountCsv(text.c_str(), VORNCSV_COUNT_ROWS);
}

TEST(CsvWrite, BuildsATableFromTheEmptyText) {
    std::string t;
    for (auto [field, row, col] : {std::tuple{"a", 0, 0}, {"b", 0, 1}, {"c", 2, 0}}) {
        const auto r = set(t, field, row, col);
        t = r.text;
        EXPECT_EQ(r.result, static_cast<int32_t>(t.size()));
    }
    EXPECT_EQ(t, "a,b\r\n\r\nc\r\n");
    EXPECT_EQ(rows(t), 3);
    EXPECT_EQ(get(t, 1, 0), "");
    EXPECT_EQ(get(t, 2, 0), "c");
}

TEST(CsvWrite, QuotesOnlyWhatNeedsIt) {
    EXPECT_EQ(set("", "x y", 0, 0).text, "x y\r\n");
    EXPECT_EQ(set("", "a,b", 0, 0).text, "\"a,b\"\r\n");
    EXPECT_EQ(set("", "say \"hi\"", 0, 0).text, "\"say \"\"hi\"\"\"\r\n");
    EXPECT_EQ(set("", "l1\r\nl2", 0, 1).text, ",\"l1\r\nl2\"\r\n");
    EXPECT_EQ(set("", "cr\r", 0, 0).text, "\"cr\r\"\r\n");
    for (const char *f : {"a,b", "\"", "\"\"", "x\ny", "\r", "日本,語"}) {
        const std::string t = set("p,q\r\nr", f, 0, 1).text;
        EXPECT_EQ(get(t, 0, 1), f);
        EXPECT_EQ(get(t, 0, 0), "p");
        EXPECT_EQ(get(t, 1, 0), "r");
        EXPECT_EQ(rows(t), 2);
    }
}

TEST(CsvWrite, ALoneEmptyFieldKeepsItsRow) {
    EXPECT_EQ(set("", "", 0, 0).text, "\r\n");
    EXPECT_EQ(rows(set("", "", 0, 0).text), 1);
    EXPECT_EQ(set("a", "", 2, 0).text, "a\r\n\r\n\r\n");
    const auto r = set("x", "", 0, 0);
    EXPECT_EQ(r.text, "\"\"");
    EXPECT_EQ(r.result, 2);
    EXPECT_EQ(rows(r.text), 1);
    // Beside other fields an empty one needs no quotes.
    EXPECT_EQ(set("x,y", "", 0, 0).text, ",y");
    EXPECT_EQ(set("x\r\n", "", 0, 0).text, "\"\"\r\n");
    // Bare, it would join the CR before it and the LF after it into one line break.
    const std::string t = set("a\rb\nc", "", 1, 0).text;
    EXPECT_EQ(t, "a\r\"\"\nc");
    EXPECT_EQ(rows(t), 3);
    EXPECT_EQ(set("", "", 0, 1).text, ",\r\n");
}

TEST(CsvWrite, EditsInPlaceKeepingTheRest) {
    // Superfluous quotes, LF and CR breaks and the missing final break all stay.
    EXPECT_EQ(set("\"a\",b\nc\rd", "X", 0, 1).text, "\"a\",X\nc\rd");
    EXPECT_EQ(set("\"a\",b\nc\rd", "Y", 1, 0).text, "\"a\",b\nY\rd");
    EXPECT_EQ(set("a,\"b,c\",d", "e", 0, 1).text, "a,e,d");
    // Columns beyond a row's end go before its line break.
    EXPECT_EQ(set("a\r\nb\r\n", "z", 0, 2).text, "a,,z\r\nb\r\n");
    EXPECT_EQ(set("a\r\n\r\nb", "z", 1, 1).text, "a\r\n,z\r\nb");
    // Rows beyond the end: the unterminated last row gets its break first.
    EXPECT_EQ(set("a", "b", 1, 0).text, "a\r\nb\r\n");
    EXPECT_EQ(set("a\n", "b", 2, 1).text, "a\n\r\n,b\r\n");
    EXPECT_EQ(set("a\r", "b", 1, 0).text, "a\rb\r\n");
}

TEST(CsvWrite, ClosesAQuoteLeftOpenBeforeAddingAfterIt) {
    const std::string open = "x,\"ab\r\ncd";
    ASSERT_EQ(rows(open), 1);
    const std::string t1 = set(open, "n", 1, 0).text;
    EXPECT_EQ(t1, "x,\"ab\r\ncd\"\r\nn\r\n");
    EXPECT_EQ(get(t1, 0, 1), "ab\r\ncd");
    const std::string t2 = set(open, "m", 0, 3).text;
    EXPECT_EQ(t2, "x,\"ab\r\ncd\",,m");
    EXPECT_EQ(get(t2, 0, 1), "ab\r\ncd");
    // Replacing the open field itself leaves a closed one.
    EXPECT_EQ(set(open, "v", 0, 1).text, "x,v");
    EXPECT_EQ(set("\"a\"\"", "w", 1, 0).text, "\"a\"\"\"\r\nw\r\n");
}

TEST(CsvWrite, RefusesWhatDoesNotFitAndLeavesTheBuffer) {
    // "ab" -> "ab,c" needs 5 bytes; a new row "ab\r\nc\r\n" needs 8.
    auto ok = set("ab", "c", 0, 1, 5);
    EXPECT_EQ(ok.result, 4);
    EXPECT_EQ(ok.text, "ab,c");
    EXPECT_EQ(set("ab", "c", 1, 0, 7).result, 0);
    EXPECT_EQ(set("ab", "c", 1, 0, 8).result, 7);
    auto r = set("ab", "c", 0, 1, 4);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.text, "ab");
    r = set("ab", "c", INT32_MAX, INT32_MAX);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.text, "ab");
    // Exactly full: text plus terminator fill the buffer.
    r = set("", "abc", 0, 0, 6);
    EXPECT_EQ(r.result, 5);
    EXPECT_EQ(r.text, "abc\r\n");
}

TEST(CsvWrite, RejectsBadArguments) {
    char buf[16] = "a,b";
    EXPECT_EQ(VornSetCsv(nullptr, 16, "x", 0, 0), 0);
    EXPECT_EQ(VornSetCsv(buf, 16, nullptr, 0, 0), 0);
    EXPECT_EQ(VornSetCsv(buf, 0, "x", 0, 0), 0);
    EXPECT_EQ(VornSetCsv(buf, 16, "x", -1, 0), 0);
    EXPECT_EQ(VornSetCsv(buf, 16, "x", 0, -1), 0);
    // No terminator within size: the text is not the caller's whole text.
    EXPECT_EQ(VornSetCsv(buf, 3, "x", 0, 0), 0);
    // A field inside the buffer would be overwritten while the tail moves.
    EXPECT_EQ(VornSetCsv(buf, 16, buf + 2, 0, 0), 0);
    EXPECT_STREQ(buf, "a,b");
}

TEST(CsvRead, RowsAndLineBreaks) {
    EXPECT_EQ(rows(""), 0);
    EXPECT_EQ(rows("a"), 1);
    EXPECT_EQ(rows("a\r\n"), 1);
    EXPECT_EQ(rows("\r\n"), 1);
    EXPECT_EQ(rows("\n\n"), 2);
    EXPECT_EQ(rows("a\rb\nc\r\nd"), 4);
    EXPECT_EQ(rows("a\r\r\nb"), 3);
    EXPECT_EQ(rows("\"a\r\nb\"\r\nc"), 2);
    EXPECT_EQ(VornCountCsv("a,b\r\nc\r\n,,,", VORNCSV_COUNT_COLUMNS), 4);
    EXPECT_EQ(VornCountCsv("", VORNCSV_COUNT_COLUMNS), 0);
    EXPECT_EQ(VornCountCsv("a", 0), -1);
    EXPECT_EQ(VornCountCsv(nullptr, VORNCSV_COUNT_ROWS), -1);
    const std::string t = "a\rb\nc\r\nd";
    EXPECT_EQ(get(t, 0, 0), "a");
    EXPECT_EQ(get(t, 1, 0), "b");
    EXPECT_EQ(get(t, 2, 0), "c");
    EXPECT_EQ(get(t, 3, 0), "d");
}

TEST(CsvRead, QuotingAndLenientForms) {
    EXPECT_EQ(get("\"a,b\",c", 0, 0), "a,b");
    EXPECT_EQ(get("\"a,b\",c", 0, 1), "c");
    EXPECT_EQ(get("\"a\"\"b\"", 0, 0), "a\"b");
    EXPECT_EQ(get("\"\"", 0, 0), "");
    EXPECT_EQ(get("a\"b,c", 0, 0), "a\"b");
    EXPECT_EQ(get("\"ab\"cd,e", 0, 0), "abcd");
    EXPECT_EQ(get("\"ab\"c\"d,e", 0, 0), "abc\"d");
    EXPECT_EQ(get("\"ab\"c\"d,e", 0, 1), "e");
    EXPECT_EQ(get("x,\"open,\r\nrest", 0, 1), "open,\r\nrest");
    EXPECT_EQ(get(" a , b ", 0, 1), " b ");
}

TEST(CsvRead, CutsToTheDestinationAndReportsTheWholeLength) {
    char out[3] = {'?', '?', '?'};
    EXPECT_EQ(VornGetCsv(out, 3, "hello,x", 0, 0), 5);
    EXPECT_STREQ(out, "he");
    EXPECT_EQ(VornGetCsv(out, 1, "\"q\"\"q\"", 0, 0), 3);
    EXPECT_STREQ(out, "");
    // Outside the table: empty.
    std::memcpy(out, "zz", 3);
    EXPECT_EQ(VornGetCsv(out, 3, "a,b\r\nc", 1, 1), 0);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(VornGetCsv(out, 3, "a,b\r\nc", 5, 0), 0);
    EXPECT_EQ(VornGetCsv(out, 3, "", 0, 0), 0);
}

TEST(CsvRead, RejectsBadArguments) {
    char out[8] = "keep";
    char text[8] = "a,b";
    EXPECT_EQ(VornGetCsv(nullptr, 8, "a", 0, 0), -1);
    EXPECT_EQ(VornGetCsv(out, 8, nullptr, 0, 0), -1);
    EXPECT_EQ(VornGetCsv(out, 0, "a", 0, 0), -1);
    EXPECT_EQ(VornGetCsv(out, 8, "a", -1, 0), -1);
    EXPECT_EQ(VornGetCsv(out, 8, "a", 0, -1), -1);
    EXPECT_EQ(VornGetCsv(text + 1, 4, text, 0, 1), -1);
    EXPECT_STREQ(out, "keep");
    EXPECT_STREQ(text, "a,b");
}

} // namespace
