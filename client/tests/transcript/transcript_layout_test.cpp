// The receive page's rows without a window: against a plain reference (the whole transcript
// decoded at once, cut at its lines and wrapped greedily), wherever lines fall among the
// transcript's anchors and blocks, in memory and in a file.
#include "transcript/transcript_layout.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

namespace tarvotcpc::ui {
namespace {

using Row = std::vector<Glyph>;

// Protocol-like text in the encoding: lines of any length below maxLine, CR, LF and CRLF,
// controls, Japanese, and bytes no character starts with.
std::string RandomLines(std::mt19937 &rng, Encoding encoding, std::size_t size,
                        std::size_t maxLine) {
    std::vector<std::string> japanese = {"\xe3\x81\x82", "\xe6\xbc\xa2\xe5\xad\x97"};
    if (encoding == Encoding::ShiftJis) japanese = {"\x82\xa0", "\x83\x5c", "\xb1"};
    if (encoding == Encoding::EucJp) japanese = {"\xa4\xa2", "\xb4\xc1\xbb\xfa", "\x8e\xb1"};
    if (encoding == Encoding::Iso2022Jp) japanese = {"\x1b$B\x24\x22\x1b(B"};
    const char *const breaks[] = {"\r\n", "\n", "\r"};
    std::string s;
    while (s.size() < size) {
        const std::size_t length = rng() % 4 == 0 ? rng() % maxLine : rng() % 90;
        for (const std::size_t end = s.size() + length; s.size() + 8 < end;) {
            switch (rng() % 10) {
            case 0:
                s += japanese[rng() % japanese.size()];
                break;
            case 1:
                s += rng() % 2 ? char(0x80 + rng() % 128) : "\x01\x07\t\x1b\x7f"[rng() % 5];
                break;
            default:
                s += char('a' + rng() % 26);
            }
        }
        s += breaks[rng() % 3];
    }
    return s;
}

// Appends text in random pieces, some of them (when sent is true) in the other direction.
void AppendInPieces(std::mt19937 &rng, Transcript &t, const std::string &text, bool sent) {
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t n = std::min(text.size() - at, 1 + rng() % (rng() % 2 ? 9 : 3000));
        const Direction d = sent && rng() % 4 == 0 ? Direction::Sent : Direction::Received;
        ASSERT_EQ(t.Append(d, text.data() + at, n, int64_t(at)), 0);
        at += n;
    }
}

// A row as its first byte and its text, for readable failures.
std::string Printed(const Row &row) {
    return (row.empty() ? std::string("-") : std::to_string(row.front().offset)) + "|" +
           GlyphsToUtf8(row);
}
// The first place where two lists of rows part, or "" when they do not.
std::string FirstDifference(const std::vector<Row> &got, const std::vector<Row> &expected) {
    for (std::size_t i = 0; i < std::max(got.size(), expected.size()); ++i)
        if (i >= got.size() || i >= expected.size() || !(got[i] == expected[i]))
            return "row " + std::to_string(i) + ": " +
                   (i < got.size() ? Printed(got[i]) : "<none>") + " instead of " +
                   (i < expected.size() ? Printed(expected[i]) : "<none>");
    return "";
}

std::vector<Row> LayoutRows(TranscriptLayout &layout) {
    std::vector<Row> rows;
    for (auto row = layout.RowAt(0); row; row = layout.NextRow(*row)) {
        const Segment &s = *row->segment;
        rows.emplace_back(s.glyphs.begin() + s.rowBegin[row->row],
                          s.glyphs.begin() + std::ptrdiff_t(s.RowEnd(row->row)));
    }
    return rows;
}

// The reference: every unit of a plain decode, grouped by the line the transcript's index puts
// it in, rendered and wrapped greedily; a line with nothing to draw still takes a row.
std::vector<Row> ReferenceRows(const Transcript &t, const LayoutOptions &options) {
    std::vector<uint64_t> starts;
    for (uint64_t line = 1; line < t.LineCount(options.shown); ++line)
        starts.push_back(t.LineStart(options.shown, line));
    const std::vector<Unit> units = DecodeRange(t, options.encoding, options.shown, 0, t.Size());
    std::vector<Row> rows;
    std::size_t next = 0;
    for (std::size_t i = 0; i < units.size();) {
        while (next < starts.size() && starts[next] <= units[i].offset)
            ++next;
        const uint64_t end = next < starts.size() ? starts[next] : t.Size();
        std::vector<Unit> line;
        for (; i < units.size() && units[i].offset < end; ++i)
            line.push_back(units[i]);
        Row glyphs;
        RenderText(line, options.lineEndMarks, glyphs);
        rows.emplace_back();
        int column = 0;
        for (const Glyph &g : glyphs) {
            const int w = GlyphColumns(g);
            if (column + w > options.columns && column > 0) {
                rows.emplace_back();
                column = 0;
            }
            rows.back().push_back(g);
            column += w;
        }
    }
    return rows;
}

// Lines shorter than the cuts inside long lines, at every width and in every encoding, among
// sent bytes shown or not: the rows are the reference's, walking down or up, and the row found
// for any byte is the one holding it.
TEST(TranscriptLayout, RowsAreTheLinesWrappedWhereverTheyLie) {
    std::mt19937 rng(29);
    for (const Encoding encoding :
         {Encoding::Utf8, Encoding::ShiftJis, Encoding::EucJp, Encoding::Iso2022Jp}) {
        for (int round = 0; round < 4; ++round) {
            SCOPED_TRACE(std::string(FormatEncoding(encoding)) + " round " + std::to_string(round));
            Transcript t;
            const bool sent = round > 0;
            AppendInPieces(rng, t, RandomLines(rng, encoding, 25000, 1500), sent);
            const LayoutOptions options{encoding, round == 3 ? Shown::Both : Shown::Received,
                                        round == 2, 4 + int(rng() % 120)};
            TranscriptLayout layout(t);
            layout.Set(options, nullptr);
            const std::vector<Row> rows = LayoutRows(layout);
            ASSERT_EQ(FirstDifference(rows, ReferenceRows(t, options)), "");

            std::vector<Row> upward;
            for (auto row = layout.LastRow(); row; row = layout.PreviousRow(*row)) {
                const Segment &s = *row->segment;
                upward.emplace_back(s.glyphs.begin() + s.rowBegin[row->row],
                                    s.glyphs.begin() + std::ptrdiff_t(s.RowEnd(row->row)));
            }
            std::reverse(upward.begin(), upward.end());
            ASSERT_EQ(FirstDifference(upward, rows), "");

            for (const Row &row : rows)
                for (const Glyph &g : row) {
                    if (rng() % 400 != 0) continue;
                    const auto found = layout.RowAt(g.offset);
                    ASSERT_TRUE(found);
                    const Segment &s = *found->segment;
                    const Row got(s.glyphs.begin() + s.rowBegin[found->row],
                                  s.glyphs.begin() + std::ptrdiff_t(s.RowEnd(found->row)));
                    ASSERT_EQ(Printed(got), Printed(row)) << "byte " << g.offset;
                }
        }
    }
}

// The first row of the line that holds byte x, as text.
std::string RowText(TranscriptLayout &layout, uint64_t x) {
    const auto row = layout.RowAt(x);
    if (!row) return "<none>";
    const Segment &s = *row->segment;
    return GlyphsToUtf8(Row(s.glyphs.begin() + s.rowBegin[row->row],
                            s.glyphs.begin() + std::ptrdiff_t(s.RowEnd(row->row))));
}

// A memcached value line of 63 characters, 30 bytes before the end of the first 64 KiB block of
// a transcript in memory, and before 10 MiB of a flood kept in a file: one row, as its bytes are.
TEST(TranscriptLayout, ALineAcrossABlockIsOneRowInMemoryAndInAFile) {
    const std::string value(63, 'v');
    for (const uint64_t block : {uint64_t{64} << 10, uint64_t{10} << 20}) {
        SCOPED_TRACE(block);
        TranscriptOptions options;
        options.memoryLimit = std::size_t{1} << 20;
        Transcript t(options);
        std::string bytes;
        while (bytes.size() < block)
            bytes += "VALUE key 0 63 " + std::string(40, 'k') + "\r\n";
        bytes.resize(block - 32);
        bytes += "\r\n" + value + "\r\nEND\r\n";
        for (std::size_t at = 0; at < bytes.size(); at += 64 * 1024) {
            const std::size_t n = std::min<std::size_t>(64 * 1024, bytes.size() - at);
            ASSERT_EQ(t.Append(Direction::Received, bytes.data() + at, n, int64_t(at)), 0);
        }
        EXPECT_EQ(t.InFile(), block > options.memoryLimit);

        TranscriptLayout layout(t);
        layout.Set(LayoutOptions{Encoding::Utf8, Shown::Received, false, 80}, nullptr);
        EXPECT_EQ(RowText(layout, block - 30), value);
        EXPECT_EQ(RowText(layout, block), value);
        const auto row = layout.RowAt(block);
        const auto next = layout.NextRow(*row);
        ASSERT_TRUE(next);
        EXPECT_EQ(next->segment->RowStart(next->row), block - 30 + 65);
    }
}

// A line longer than the cuts: its rows are the same wherever it starts, and full up to each cut.
TEST(TranscriptLayout, ALongLineIsCutTheSameWhereverItLies) {
    std::string line;
    for (int i = 0; line.size() < 20000; ++i)
        line += std::to_string(i) + ' ';
    const int columns = 70;
    std::vector<std::vector<std::string>> cut;
    for (const std::size_t before : {std::size_t{0}, std::size_t{1234}, std::size_t{65500}}) {
        Transcript t;
        const std::string lead = before == 0 ? "" : std::string(before - 2, '-') + "\r\n";
        const std::string bytes = lead + line + "\r\n";
        ASSERT_EQ(t.Append(Direction::Received, bytes.data(), bytes.size(), 0), 0);
        TranscriptLayout layout(t);
        layout.Set(LayoutOptions{Encoding::Utf8, Shown::Received, false, columns}, nullptr);
        std::vector<std::string> rows;
        for (auto row = layout.RowAt(before); row; row = layout.NextRow(*row)) {
            const Segment &s = *row->segment;
            rows.push_back(
                GlyphsToUtf8(Row(s.glyphs.begin() + s.rowBegin[row->row],
                                 s.glyphs.begin() + std::ptrdiff_t(s.RowEnd(row->row)))));
        }
        for (std::size_t i = 0; i + 1 < rows.size(); ++i)
            ASSERT_EQ(rows[i].size(), std::size_t(columns)) << "row " << i;
        cut.push_back(rows);
    }
    EXPECT_EQ(cut[1], cut[0]);
    EXPECT_EQ(cut[2], cut[0]);
}

// Hex rows count only the shown bytes: against the shown bytes gathered by hand, for each choice
// of directions, asked between appends (which may grow the last chunk) and after a Clear.
TEST(ShownBytes, PositionsCountOnlyTheShownBytes) {
    std::mt19937 rng(41);
    Transcript t;
    std::vector<ShownBytes> maps;
    for (const Shown shown : {Shown::Received, Shown::Sent, Shown::Both}) {
        maps.emplace_back(t);
        maps.back().SetShown(shown);
    }
    for (int round = 0; round < 3; ++round) {
        t.Clear();
        std::string all;
        std::vector<Direction> directions;
        for (int append = 0; append < 300; ++append) {
            const auto d = rng() % 3 == 0 ? Direction::Sent : Direction::Received;
            std::string bytes(1 + rng() % 40, '\0');
            for (char &c : bytes)
                c = char(rng());
            // Equal times merge appends of one direction into one growing chunk.
            ASSERT_EQ(t.Append(d, bytes.data(), bytes.size(), append / 3), 0);
            all += bytes;
            directions.insert(directions.end(), bytes.size(), d);
            if (rng() % 20 != 0) continue;
            for (ShownBytes &map : maps) {
                std::string shown;
                std::vector<uint64_t> offsets;
                for (std::size_t i = 0; i < all.size(); ++i) {
                    ASSERT_EQ(map.PositionOf(i), shown.size());
                    if (!Shows(map.GetShown(), directions[i])) continue;
                    offsets.push_back(i);
                    shown += all[i];
                }
                ASSERT_EQ(map.Count(), shown.size());
                ASSERT_EQ(map.PositionOf(all.size()), shown.size());
                ASSERT_EQ(map.OffsetOf(shown.size()), all.size());
                for (std::size_t p = 0; p < shown.size(); ++p)
                    ASSERT_EQ(map.OffsetOf(p), offsets[p]);
                std::string row;
                std::vector<uint64_t> rowOffsets;
                for (std::size_t p = 0; p < shown.size() + 16; p += 16) {
                    ASSERT_TRUE(map.Read(p, 16, row, rowOffsets));
                    ASSERT_EQ(row, shown.substr(std::min(p, shown.size()), 16));
                    ASSERT_EQ(
                        rowOffsets,
                        std::vector<uint64_t>(
                            offsets.begin() + std::ptrdiff_t(std::min(p, offsets.size())),
                            offsets.begin() + std::ptrdiff_t(std::min(p + 16, offsets.size()))));
                }
            }
        }
    }
}

} // namespace
} // namespace tarvotcpc::ui
