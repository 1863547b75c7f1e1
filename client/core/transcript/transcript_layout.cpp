#include "transcript/transcript_layout.hpp"

#include <algorithm>

namespace tarvotcpc::ui {

namespace {

bool IsWide(char32_t c) {
    return (c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0x303E) ||
           (c >= 0x3041 && c <= 0x33FF) || (c >= 0x3400 && c <= 0x4DBF) ||
           (c >= 0x4E00 && c <= 0x9FFF) || (c >= 0xA000 && c <= 0xA4CF) ||
           (c >= 0xAC00 && c <= 0xD7A3) || (c >= 0xF900 && c <= 0xFAFF) ||
           (c >= 0xFE30 && c <= 0xFE4F) || (c >= 0xFF00 && c <= 0xFF60) ||
           (c >= 0xFFE0 && c <= 0xFFE6) || (c >= 0x20000 && c <= 0x3FFFD);
}

constexpr std::size_t kCacheSize = 256;
// Bytes of a segment decoded first, in which a protocol's line mostly ends.
constexpr uint64_t kFirstLook = 256;

} // namespace

int GlyphColumns(const Glyph &glyph) {
    switch (glyph.kind) {
    case GlyphKind::Shift:
        return 0;
    case GlyphKind::Invalid:
        return 2;
    default:
        return IsWide(glyph.codepoint) ? 2 : 1;
    }
}

uint64_t RowEndOffset(const RowRef &r) {
    const Segment &s = *r.segment;
    return r.row + 1 < s.Rows() ? s.glyphs[s.RowEnd(r.row)].offset : s.end;
}

std::vector<uint64_t> CaretStops(const RowRef &r, bool lineEndMarks) {
    std::vector<uint64_t> stops;
    const Segment &s = *r.segment;
    for (std::size_t i = s.rowBegin[r.row]; i < s.RowEnd(r.row); ++i)
        if (GlyphColumns(s.glyphs[i]) > 0) stops.push_back(s.glyphs[i].offset);
    const bool beforeBreak = s.endsLine && r.row + 1 == s.Rows() && !lineEndMarks;
    const uint64_t end = beforeBreak ? s.breakAt : RowEndOffset(r);
    if (stops.empty() || stops.back() != end) stops.push_back(end);
    return stops;
}

void TranscriptLayout::Set(const LayoutOptions &options, CharIndex *index) {
    if (!(options == options_) || index != index_) cache_.clear();
    options_ = options;
    options_.columns = std::max(options_.columns, 4);
    index_ = index;
    positions_.SetShown(options_.shown);
}

bool TranscriptLayout::IsBreak(const Unit &u) const {
    if (u.kind == UnitKind::Shift || u.length != 1) return false;
    if (u.codepoint == U'\n') return true;
    if (u.codepoint != U'\r') return false;
    // The same rule as the transcript's line count.
    const uint64_t at = u.offset;
    if (at >= transcript_.Size()) return false;
    return transcript_.CrIsBreak(at, transcript_.Chunks()[transcript_.ChunkAt(at)].direction);
}

uint64_t TranscriptLayout::ShownFrom(uint64_t x) const {
    const auto &chunks = transcript_.Chunks();
    if (x >= transcript_.Size()) return transcript_.Size();
    for (std::size_t ci = transcript_.ChunkAt(x); ci < chunks.size(); ++ci)
        if (Shows(options_.shown, chunks[ci].direction)) return std::max(x, chunks[ci].offset);
    return transcript_.Size();
}

std::optional<uint64_t> TranscriptLayout::ShownBefore(uint64_t x) const {
    const auto &chunks = transcript_.Chunks();
    if (x == 0 || chunks.empty()) return std::nullopt;
    x = std::min(x, transcript_.Size());
    for (std::size_t ci = transcript_.ChunkAt(x - 1) + 1; ci-- > 0;)
        if (Shows(options_.shown, chunks[ci].direction)) return std::min(x, chunks[ci].End()) - 1;
    return std::nullopt;
}

DecoderState TranscriptLayout::StateBefore(Direction d, uint64_t start, uint64_t bytes) const {
    // The last bytes of this direction before start, newest first; the other direction's bytes
    // between them do not count, as a character may be split by them.
    constexpr int kMaxChunks = 4096;
    const auto &chunks = transcript_.Chunks();
    std::vector<std::pair<uint64_t, uint64_t>> pieces;
    int walked = 0;
    for (std::size_t ci = start > 0 ? transcript_.ChunkAt(start - 1) + 1 : 0;
         ci-- > 0 && bytes > 0 && walked++ < kMaxChunks;) {
        const Chunk &c = chunks[ci];
        if (c.direction != d || c.offset >= start) continue;
        const uint64_t end = std::min(c.End(), start);
        const uint64_t take = std::min(bytes, end - c.offset);
        pieces.emplace_back(end - take, end);
        bytes -= take;
    }
    Decoder decoder(options_.encoding);
    std::string buffer;
    for (auto it = pieces.rbegin(); it != pieces.rend(); ++it) {
        if (!transcript_.Read(it->first, std::size_t(it->second - it->first), buffer)) break;
        decoder.Count(buffer, it->first);
    }
    return decoder.State();
}

std::vector<Unit> TranscriptLayout::Units(uint64_t start, uint64_t to, uint64_t line) {
    const Encoding enc = options_.encoding;
    const bool selfSync = enc == Encoding::Utf8 || enc == Encoding::Latin1;
    const bool single = options_.shown != Shown::Both;
    uint64_t from = start;
    std::array<DecoderState, 2> states{};
    if (single && start == line && enc != Encoding::Iso2022Jp) {
        // Every line starts between characters.
    } else if (single && selfSync) {
        // Self-synchronising: the longest character is all the run-up needed.
        from = start - std::min<uint64_t>(start - line, 8);
    } else if (index_ != nullptr && index_->Reached() >= start) {
        states = index_->StateAt(start);
    } else {
        for (int d = 0; d < 2; ++d)
            if (Shows(options_.shown, Direction(d)))
                states[d] = StateBefore(Direction(d), start, selfSync ? 8 : kLookback);
    }
    std::vector<Unit> units =
        DecodeRange(transcript_, enc, options_.shown, from, to, states, false);
    if (from < start)
        units.erase(units.begin(), std::find_if(units.begin(), units.end(),
                                                [&](const Unit &u) { return u.offset >= start; }));
    return units;
}

SegmentPtr TranscriptLayout::Build(uint64_t start, uint64_t line) {
    for (const SegmentPtr &s : cache_)
        if (s->start == start && s->line == line) return s;
    auto seg = std::make_shared<Segment>();
    seg->start = start;
    seg->line = line;
    const uint64_t limit = positions_.OffsetOf(positions_.PositionOf(start) + AnchorSpan());
    seg->end = limit;
    // Most lines are short: a first look finds their break, and only a longer line is decoded
    // (afresh, from the same state) as far as the cut.
    std::vector<Unit> units;
    for (uint64_t to = std::min(limit, start + kFirstLook);; to = limit) {
        units = Units(start, to, line);
        const auto end =
            std::find_if(units.begin(), units.end(), [&](const Unit &u) { return IsBreak(u); });
        if (end != units.end()) {
            const auto i = std::size_t(end - units.begin());
            seg->end = units[i].offset + units[i].length;
            seg->endsLine = true;
            const bool crlf = units[i].codepoint == U'\n' && i > 0 &&
                              units[i - 1].codepoint == U'\r' &&
                              units[i - 1].offset + 1 == units[i].offset;
            seg->breakAt = crlf ? units[i - 1].offset : units[i].offset;
            units.resize(i + 1);
            break;
        }
        if (to == limit) break;
    }
    RenderText(units, options_.lineEndMarks, seg->glyphs);
    int column = 0;
    for (std::size_t i = 0; i < seg->glyphs.size(); ++i) {
        const int w = GlyphColumns(seg->glyphs[i]);
        if (seg->rowBegin.empty() || (column + w > options_.columns && column > 0)) {
            seg->rowBegin.push_back(uint32_t(i));
            column = 0;
        }
        column += w;
    }
    // A line always takes a row, even an empty one; a piece inside a line only when it shows.
    if (seg->rowBegin.empty() && start == line) seg->rowBegin.push_back(0);
    if (cache_.size() >= kCacheSize) cache_.erase(cache_.begin(), cache_.begin() + kCacheSize / 2);
    cache_.push_back(seg);
    return seg;
}

uint64_t TranscriptLayout::AnchorSpan() const {
    const auto columns = uint64_t(options_.columns);
    return std::max(columns, kAnchor / columns * columns);
}

uint64_t TranscriptLayout::AnchorAt(uint64_t x, uint64_t line) {
    const uint64_t first = positions_.PositionOf(line);
    const uint64_t pieces = (positions_.PositionOf(std::max(x, line)) - first) / AnchorSpan();
    return pieces == 0 ? line : positions_.OffsetOf(first + pieces * AnchorSpan());
}

SegmentPtr TranscriptLayout::SegmentAt(uint64_t x) {
    const Shown shown = options_.shown;
    const uint64_t line = transcript_.LineStart(shown, transcript_.LineAt(shown, x));
    return Build(AnchorAt(x, line), line);
}

SegmentPtr TranscriptLayout::Next(const Segment &s) {
    const uint64_t y = ShownFrom(s.end);
    if (y >= transcript_.Size()) return nullptr;
    const uint64_t line = s.endsLine ? s.end : s.line;
    return Build(AnchorAt(y, line), line);
}

SegmentPtr TranscriptLayout::Previous(const Segment &s) {
    const auto y = ShownBefore(s.start);
    if (!y) return nullptr;
    return SegmentAt(*y);
}

std::optional<RowRef> TranscriptLayout::RowAt(uint64_t x) {
    if (x >= transcript_.Size()) return LastRow();
    const uint64_t y = ShownFrom(x);
    if (y >= transcript_.Size()) return LastRow();
    SegmentPtr seg = SegmentAt(y);
    while (seg && seg->Rows() == 0)
        seg = Next(*seg);
    if (!seg) return LastRow();
    std::size_t row = 0;
    while (row + 1 < seg->Rows() && seg->RowStart(row + 1) <= y)
        ++row;
    return RowRef{seg, row};
}

std::optional<RowRef> TranscriptLayout::LastRow() {
    const auto y = ShownBefore(transcript_.Size());
    if (!y) return std::nullopt;
    SegmentPtr seg = SegmentAt(*y);
    while (seg && seg->Rows() == 0)
        seg = Previous(*seg);
    if (!seg) return std::nullopt;
    return RowRef{seg, seg->Rows() - 1};
}

std::optional<RowRef> TranscriptLayout::NextRow(const RowRef &r) {
    if (r.row + 1 < r.segment->Rows()) return RowRef{r.segment, r.row + 1};
    for (SegmentPtr seg = Next(*r.segment); seg; seg = Next(*seg))
        if (seg->Rows() > 0) return RowRef{seg, 0};
    return std::nullopt;
}

std::optional<RowRef> TranscriptLayout::PreviousRow(const RowRef &r) {
    if (r.row > 0) return RowRef{r.segment, r.row - 1};
    for (SegmentPtr seg = Previous(*r.segment); seg; seg = Previous(*seg))
        if (seg->Rows() > 0) return RowRef{seg, seg->Rows() - 1};
    return std::nullopt;
}

void ShownBytes::SetShown(Shown shown) {
    if (shown == shown_) return;
    shown_ = shown;
    before_.clear();
}

void ShownBytes::CatchUp() {
    if (generation_ != transcript_.Generation()) {
        generation_ = transcript_.Generation();
        before_.clear();
    }
    // Each entry needs only the chunks before it, which no append changes any more.
    const auto &chunks = transcript_.Chunks();
    for (std::size_t ci = before_.size(); ci < chunks.size(); ++ci) {
        if (ci == 0) {
            before_.push_back(0);
            continue;
        }
        const Chunk &c = chunks[ci - 1];
        before_.push_back(before_.back() + (Shows(shown_, c.direction) ? c.size : 0));
    }
}

uint64_t ShownBytes::Count() {
    return PositionOf(transcript_.Size());
}

uint64_t ShownBytes::PositionOf(uint64_t offset) {
    CatchUp();
    const auto &chunks = transcript_.Chunks();
    if (chunks.empty()) return 0;
    offset = std::min(offset, transcript_.Size());
    const std::size_t ci =
        offset < transcript_.Size() ? transcript_.ChunkAt(offset) : chunks.size() - 1;
    const Chunk &c = chunks[ci];
    return before_[ci] + (Shows(shown_, c.direction) ? offset - c.offset : 0);
}

uint64_t ShownBytes::OffsetOf(uint64_t position) {
    CatchUp();
    const auto &chunks = transcript_.Chunks();
    // The last chunk with no more shown bytes before it than position: the one holding it, as a
    // chunk not shown adds none for the chunks after it.
    const auto it = std::upper_bound(before_.begin(), before_.end(), position);
    if (it == before_.begin()) return transcript_.Size();
    const std::size_t ci = std::size_t(it - before_.begin()) - 1;
    const Chunk &c = chunks[ci];
    if (!Shows(shown_, c.direction) || position - before_[ci] >= c.size) return transcript_.Size();
    return c.offset + (position - before_[ci]);
}

bool ShownBytes::Read(uint64_t position, std::size_t n, std::string &bytes,
                      std::vector<uint64_t> &offsets) {
    bytes.clear();
    offsets.clear();
    const uint64_t first = OffsetOf(position);
    const auto &chunks = transcript_.Chunks();
    std::string piece;
    for (std::size_t ci = first < transcript_.Size() ? transcript_.ChunkAt(first) : chunks.size();
         ci < chunks.size() && bytes.size() < n; ++ci) {
        const Chunk &c = chunks[ci];
        if (!Shows(shown_, c.direction)) continue;
        const uint64_t from = std::max(first, c.offset);
        const auto take = std::size_t(std::min<uint64_t>(n - bytes.size(), c.End() - from));
        if (!transcript_.Read(from, take, piece)) return false;
        bytes += piece;
        for (std::size_t i = 0; i < take; ++i)
            offsets.push_back(from + i);
    }
    return true;
}

std::u32string ShownText(const std::vector<Unit> &units, bool lineEndMarks,
                         const TranscriptLayout &layout) {
    std::u32string out;
    for (const Unit &u : units) {
        const bool isBreak = layout.IsBreak(u);
        std::vector<Glyph> glyphs;
        RenderText({u}, lineEndMarks, glyphs);
        for (const Glyph &g : glyphs) {
            if (g.kind == GlyphKind::Shift) continue;
            if (g.kind == GlyphKind::Invalid) {
                static const char digits[] = "0123456789ABCDEF";
                out += U'<';
                out += char32_t(digits[(g.codepoint >> 4) & 15]);
                out += char32_t(digits[g.codepoint & 15]);
                out += U'>';
            } else {
                out += g.codepoint;
            }
        }
        if (isBreak) out += U'\n';
    }
    return out;
}

char32_t AccessibleChar(const Unit &u) {
    if (u.kind == UnitKind::Invalid) return U'\uFFFD';
    const char32_t c = u.codepoint;
    if (c == U'\r' || c == U'\n' || c == U'\t') return c;
    return ControlPicture(c);
}

} // namespace tarvotcpc::ui
