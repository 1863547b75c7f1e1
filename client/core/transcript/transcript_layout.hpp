// How the receive page cuts a transcript into screen rows in text mode, without ever decoding
// more than a few KiB to place any row.
//
// Rows are built from segments. The byte range of the transcript is cut at every line start and,
// inside a line longer than that, every AnchorSpan shown bytes (about kAnchor) counted from the
// line's start; a segment holds the units that start in one such piece and is wrapped into rows of
// a fixed number of columns (a wide character takes two). So a row is always found from the
// position of any byte: the line start is found through the transcript's block index, the anchor
// by rounding down from it, and only that one segment (at most kAnchor bytes, plus a short run
// before it to find where characters begin) is decoded. A line of a gigabyte costs no more to
// show, at its start or at its end, than a short one. Where a line lies in the transcript (or in
// its storage's blocks) never changes its rows: a line shorter than the span is wrapped whole,
// and a longer one is cut at the same places wherever it lies, each cut after a whole number of
// full rows of one-cell characters, so that a long ASCII line shows no short row at all.
//
// Where characters begin inside a long line: UTF-8 and Latin-1 find it from the few bytes before;
// CP932, EUC-JP and ISO-2022-JP take the decoder states of the background character pass once it
// has got there, and until then decode from up to kLookback bytes before (exact whenever a byte
// below 0x40 lies in that run, which protocol text nearly always has). With both directions shown,
// each direction's run-up is taken from its own bytes, since a character of one may be split by
// bytes of the other.
#pragma once

#include "transcript/text_decoder.hpp"
#include "transcript/transcript.hpp"
#include "transcript/transcript_render.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tarvotcpc::ui {

inline constexpr uint64_t kAnchor = 4096;
inline constexpr uint64_t kLookback = 16384;

// Cells a glyph takes: 2 for East Asian wide characters and the hex box of an invalid byte, 0 for
// an ISO-2022-JP escape sequence, else 1.
int GlyphColumns(const Glyph &glyph);

struct Segment {
    uint64_t start = 0; // first byte of the piece
    uint64_t end = 0;   // one past its last byte (after the line break when it ends a line)
    uint64_t line = 0;  // start of the line it belongs to
    bool endsLine = false;
    uint64_t breakAt = 0; // where its line break begins (the CR of a CRLF), when it ends a line
    std::vector<Glyph> glyphs;
    std::vector<uint32_t> rowBegin; // index of each row's first glyph
    std::size_t Rows() const { return rowBegin.size(); }
    std::size_t RowEnd(std::size_t row) const {
        return row + 1 < rowBegin.size() ? rowBegin[row + 1] : glyphs.size();
    }
    // The first byte of a row (the segment's start for its first row).
    uint64_t RowStart(std::size_t row) const {
        return row == 0 || rowBegin[row] >= glyphs.size() ? start : glyphs[rowBegin[row]].offset;
    }
};
using SegmentPtr = std::shared_ptr<const Segment>;

struct RowRef {
    SegmentPtr segment;
    std::size_t row = 0;
};

// One past the last byte a row draws: the next row's first, or the segment's end.
uint64_t RowEndOffset(const RowRef &row);
// Where the caret may stand on a row, in order: before each glyph that takes cells, and at the
// row's end, which is before the line break when line-end marks are off (as in an editor).
std::vector<uint64_t> CaretStops(const RowRef &row, bool lineEndMarks);

struct LayoutOptions {
    Encoding encoding = Encoding::Utf8;
    Shown shown = Shown::Received;
    bool lineEndMarks = false;
    int columns = 80;
    bool operator==(const LayoutOptions &) const = default;
};

// A byte's place among the bytes of the shown directions (its position), and its offset in the
// transcript, each from the other, through the shown bytes before each chunk, which are counted
// once per chunk as chunks come: no cost in proportion to the bytes. Hex mode's rows hold
// kHexRowBytes shown bytes each, whatever bytes of a direction not shown lie between them, and a
// row's offset counts shown bytes, as a hex viewer counts a file's; and the cuts inside a long
// line count only the bytes that show.
class ShownBytes {
  public:
    explicit ShownBytes(const Transcript &transcript) : transcript_(transcript) {}

    void SetShown(Shown shown);
    Shown GetShown() const { return shown_; }
    // The shown bytes in the transcript.
    uint64_t Count();
    // Shown bytes before a transcript offset (offset <= Size()).
    uint64_t PositionOf(uint64_t offset);
    // The transcript offset of the shown byte at position; Size() from Count() on.
    uint64_t OffsetOf(uint64_t position);
    // The shown bytes at positions [position, position + n), as many as there are, each with its
    // transcript offset; false when the transcript cannot be read.
    bool Read(uint64_t position, std::size_t n, std::string &bytes, std::vector<uint64_t> &offsets);

  private:
    void CatchUp(); // counts the chunks that came since, or starts over after a Clear

    const Transcript &transcript_;
    Shown shown_ = Shown::Received;
    uint64_t generation_ = 0;
    std::vector<uint64_t> before_; // shown bytes before each chunk counted so far
};

class TranscriptLayout {
  public:
    explicit TranscriptLayout(const Transcript &transcript)
        : transcript_(transcript), positions_(transcript) {}

    // index: the background character pass for the same encoding and directions (may be null).
    void Set(const LayoutOptions &options, CharIndex *index);
    const LayoutOptions &Options() const { return options_; }
    // Forgets the segments built so far (after bytes were appended or options changed).
    void Invalidate() { cache_.clear(); }

    // The segment holding byte x (x < Size).
    SegmentPtr SegmentAt(uint64_t x);
    SegmentPtr Next(const Segment &segment);
    SegmentPtr Previous(const Segment &segment);

    // Rows: the row holding byte x, or the last row of all; nullopt when nothing shows.
    std::optional<RowRef> RowAt(uint64_t x);
    std::optional<RowRef> LastRow();
    std::optional<RowRef> NextRow(const RowRef &row);
    std::optional<RowRef> PreviousRow(const RowRef &row);

    // Decoded units that start in [from, to), found as the segments find them.
    std::vector<Unit> Units(uint64_t from, uint64_t to, uint64_t lineStart);
    // Whether the unit (a CR or LF) ends a line, as the transcript counts line breaks.
    bool IsBreak(const Unit &unit) const;

    // The shown bytes between the cuts inside a long line: a whole number of rows, about kAnchor.
    uint64_t AnchorSpan() const;

  private:
    // The start of the piece of the line starting at `line` that holds byte x.
    uint64_t AnchorAt(uint64_t x, uint64_t line);
    SegmentPtr Build(uint64_t start, uint64_t line);
    // The decoder state of one direction at start, from up to `bytes` of its own bytes before.
    DecoderState StateBefore(Direction direction, uint64_t start, uint64_t bytes) const;
    // The first byte of a shown chunk at or after x (Size() if none), and the last before x.
    uint64_t ShownFrom(uint64_t x) const;
    std::optional<uint64_t> ShownBefore(uint64_t x) const;

    const Transcript &transcript_;
    LayoutOptions options_;
    CharIndex *index_ = nullptr;
    ShownBytes positions_;
    std::vector<SegmentPtr> cache_; // the last few segments built
};

// Copying and the accessible text: what a run of units becomes as text. Shown: as drawn (control
// pictures, line-end marks when on, invalid bytes as <XX>, each line break as a newline).
// Accessible: one character per unit (CR, LF and TAB themselves, other controls as pictures,
// invalid bytes as U+FFFD), so that positions agree with the character index.
std::u32string ShownText(const std::vector<Unit> &units, bool lineEndMarks,
                         const TranscriptLayout &layout);
char32_t AccessibleChar(const Unit &unit);

} // namespace tarvotcpc::ui
