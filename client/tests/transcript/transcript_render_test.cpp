#include "transcript/transcript_render.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tarvotcpc {
namespace {

// Each line of a transcript as the text view draws it: found through the index, decoded, rendered.
std::vector<std::string> ShownLines(const Transcript &t, bool marks) {
    std::vector<std::string> lines;
    for (uint64_t line = 0; line + 1 < t.LineCount(Shown::Received); ++line) {
        const uint64_t from = t.LineStart(Shown::Received, line);
        std::string bytes;
        EXPECT_TRUE(t.Read(from, t.LineStart(Shown::Received, line + 1) - from, bytes));
        Decoder decoder(Encoding::Utf8);
        std::vector<Unit> units;
        decoder.Feed(bytes, from, units);
        decoder.Finish(units);
        std::vector<Glyph> glyphs;
        RenderText(units, marks, glyphs);
        lines.push_back(GlyphsToUtf8(glyphs));
    }
    return lines;
}

TEST(RenderText, CrLfAndLoneEndingsLookDifferentAndControlsShowAsPictures) {
    Transcript t;
    const std::string bytes("a\r\nb\nc\rd\0\a\t\x7f\xff\xe3\x81\x82\n", 17);
    // Cut between the CR and the LF, and inside the character.
    ASSERT_EQ(t.Append(Direction::Received, bytes.data(), 2, 0), 0);
    ASSERT_EQ(t.Append(Direction::Received, bytes.data() + 2, 13, 0), 0);
    ASSERT_EQ(t.Append(Direction::Received, bytes.data() + 15, bytes.size() - 15, 0), 0);
    EXPECT_EQ(ShownLines(t, true), (std::vector<std::string>{"a␍␊", "b␊", "c␍", "d␀␇␉␡<FF>あ␊"}));
    EXPECT_EQ(ShownLines(t, false), (std::vector<std::string>{"a", "b", "c", "d␀␇␉␡<FF>あ"}));
}

TEST(FormatHexRow, ShowsOffsetBytesAndTheDecodedColumn) {
    const std::string bytes = "\x1b$B\x24\x22\x1b(B\r\n\xff";
    Decoder decoder(Encoding::Iso2022Jp);
    std::vector<Unit> units;
    decoder.Feed(bytes, 0x1230, units);
    decoder.Finish(units);
    const HexRow row = FormatHexRow(0x1230, bytes, units);
    EXPECT_EQ(row.offset, "00001230");
    EXPECT_EQ(row.hex, "1b 24 42 24 22 1b 28 42  0d 0a ff" + std::string(15, ' '));
    EXPECT_EQ(row.text, U"␛$Bあ ␛(B␍␊.");
}

} // namespace
} // namespace tarvotcpc
