// Drawing the rows of a TranscriptView: text rows from their glyphs, hex rows from the shown
// bytes, each at the cells of the grid, with the selection, sent bytes, the caret and the margin.
#include "view/transcript_view.hpp"

#include <QDateTime>
#include <QPainter>
#include <QScopedValueRollback>

#include <algorithm>
#include <utility>

#include "saves/saving.hpp"

namespace tarvotcpc::ui {

namespace {

const QColor kSentText(0x1f, 0x4e, 0xb4);
const QColor kSentBack(0xe8, 0xf0, 0xff);
const QColor kControlText(0x80, 0x80, 0x80);
const QColor kInvalidBox(0xc0, 0x30, 0x30);
// Line-end badges: a hue of their own, apart from the text, the sent lines' blue, the invalid
// boxes' red and the notes' orange.
const QColor kBadgeFill(0x00, 0x79, 0x6b);
const QColor kBadgeInk(0xff, 0xff, 0xff);

} // namespace

void TranscriptView::paintEvent(QPaintEvent *) {
    const QScopedValueRollback<bool> painting(painting_, true);
    if (dirty_) Flush();
    QPainter p(viewport());
    if (painter_.Begin(p)) {
        ApplyLayout();
        AfterOptionChange();
    }
    p.fillRect(viewport()->rect(), palette().base());
    if (!transcript_) return;
    if (mode_ == Mode::Hex) {
        PaintHex(p);
    } else {
        PaintText(p);
        protocolMarks_.Paint(p);
    }
    PaintDatagramBounds(p);
    PaintNotes(p);
    painter_.End();
}

QString TranscriptView::MarginText(uint64_t rowStart, uint64_t rowEnd) const {
    const auto &chunks = transcript_->Chunks();
    if (chunks.empty() || rowStart >= transcript_->Size()) return {};
    std::size_t ci = transcript_->ChunkAt(rowStart);
    const bool top = !visible_.empty() && visible_.front().start == rowStart;
    if (chunks[ci].offset < rowStart && !top) ++ci;
    for (; ci < chunks.size() && chunks[ci].offset < std::max(rowEnd, rowStart + 1); ++ci) {
        const Chunk &c = chunks[ci];
        if (!Shows(ShownDirections(), c.direction)) continue;
        const QString time = QDateTime::fromMSecsSinceEpoch(c.timeUs / 1000)
                                 .toString(QStringLiteral("HH:mm:ss.zzz"));
        if (c.direction == Direction::Sent)
            return time + (transcript_->AutomaticAt(c.offset) ? QStringLiteral(" →自動")
                                                              : QStringLiteral(" →"));
        // An answer to a send shows how long it took.
        if (const std::optional<int64_t> reply = transcript_->ReplyTimeAt(c.offset))
            return time + QStringLiteral(" ← ") + QString::fromStdString(ReplyTimeText(*reply));
        return time + QStringLiteral(" ←");
    }
    return {};
}

void TranscriptView::PaintText(QPainter &p) {
    const auto [selFrom, selTo] = Selection();
    const uint64_t caret = input_.Caret();
    const bool focused = hasFocus();
    const int margin = MarginWidth(), cell = CellWidth(), height = RowHeight();
    const QPalette &pal = palette();
    RangeCursor quietInk(
        visible_.empty() ? std::vector<std::pair<uint64_t, uint64_t>>()
                         : protocolMarks_.QuietRanges(visible_.front().start, visible_.back().end));
    int y = 0;
    for (const VisibleRow &row : visible_) {
        if (times_) {
            p.setPen(kControlText);
            p.drawText(QPointF(2, y + painter_.Ascent()), MarginText(row.start, row.end));
        }
        const Segment &s = *row.ref.segment;
        int x = margin + 2;
        CellPainter::Runs runs;
        bool covered = false; // the cell was drawn by the CRLF badge before it
        const std::size_t rowEnd = s.RowEnd(row.ref.row);
        for (std::size_t i = s.rowBegin[row.ref.row]; i < rowEnd; ++i) {
            const Glyph &g = s.glyphs[i];
            const int w = GlyphColumns(g) * cell;
            if (w == 0) continue;
            const bool selected = g.offset >= selFrom && g.offset < selTo;
            const bool sent = showSent_ && SentAt(g.offset);
            const bool quiet = !sent && quietInk.Has(g.offset);
            if (std::exchange(covered, false)) {
                // Drawn with the CR before it.
            } else if (g.kind == GlyphKind::LineEnd) {
                // A CRLF is one badge when both its cells look alike (neither or both selected).
                const Glyph *next = i + 1 < rowEnd ? &s.glyphs[i + 1] : nullptr;
                covered = g.codepoint == kCrMark && next && next->kind == GlyphKind::LineEnd &&
                          next->codepoint == kLfMark && next->offset == g.offset + g.length &&
                          (next->offset >= selFrom && next->offset < selTo) == selected &&
                          (showSent_ && SentAt(next->offset)) == sent;
                // Otherwise a CR and an LF of one CRLF (cut by the row's end or the selection)
                // are halves open towards each other.
                CellPainter::Open open = CellPainter::Open::None;
                if (!covered && g.codepoint == kCrMark && i + 1 < s.glyphs.size() &&
                    s.glyphs[i + 1].codepoint == kLfMark &&
                    s.glyphs[i + 1].kind == GlyphKind::LineEnd &&
                    s.glyphs[i + 1].offset == g.offset + g.length)
                    open = CellPainter::Open::Right;
                if (g.codepoint == kLfMark && i > 0 && s.glyphs[i - 1].codepoint == kCrMark &&
                    s.glyphs[i - 1].kind == GlyphKind::LineEnd &&
                    s.glyphs[i - 1].offset + s.glyphs[i - 1].length == g.offset)
                    open = CellPainter::Open::Left;
                const int span = covered ? 2 * w : w;
                if (selected)
                    p.fillRect(x, y, span, height, pal.highlight());
                else if (sent)
                    p.fillRect(x, y, span, height, kSentBack);
                painter_.DrawLineEndBadge(
                    p,
                    covered                  ? CellPainter::Badge::CrLf
                    : g.codepoint == kCrMark ? CellPainter::Badge::Cr
                                             : CellPainter::Badge::Lf,
                    x, y, span, selected ? pal.color(QPalette::HighlightedText) : kBadgeFill,
                    selected ? pal.color(QPalette::Highlight) : kBadgeInk, open);
            } else {
                if (selected)
                    p.fillRect(x, y, w, height, pal.highlight());
                else if (sent)
                    p.fillRect(x, y, w, height, kSentBack);
                const QColor color = selected ? pal.color(QPalette::HighlightedText)
                                     : sent   ? kSentText
                                     : quiet  ? kQuietText
                                              : pal.color(QPalette::Text);
                if (g.kind == GlyphKind::Text) {
                    painter_.DrawCell(p, runs, g.codepoint, x, y, w, color);
                } else if (g.kind == GlyphKind::Invalid) {
                    painter_.DrawInvalidBox(p, uint8_t(g.codepoint), x, y, w, kInvalidBox);
                } else {
                    p.setPen(selected ? color : sent ? kSentText : kControlText);
                    painter_.DrawPicture(p, g.codepoint, x, y, w);
                }
            }
            if (focused && g.offset == caret) p.fillRect(x, y, 1, height, pal.text());
            x += w;
        }
        painter_.Flush(p, runs);
        if (focused && caret == row.end && caret == transcript_->Size())
            p.fillRect(x, y, 1, height, pal.text());
        if (showSent_ && row.start < transcript_->Size() && SentAt(row.start))
            p.fillRect(margin, y, 2, height, kSentText); // the mark of a sent row
        y += height;
    }
}

QString TranscriptView::HexRowText(const VisibleRow &row, const std::vector<Unit> &units) {
    std::string bytes;
    std::vector<uint64_t> offsets;
    if (!hexBytes_->Read(row.position, kHexRowBytes, bytes, offsets)) return {};
    const HexRow hex = FormatHexRow(row.position, bytes, offsets, units);
    QString out = QString::fromLatin1(hex.offset).leftJustified(kHexOffsetCells, QLatin1Char(' '));
    out += QString::fromLatin1(hex.hex) + QStringLiteral("  ");
    out += QString::fromUcs4(hex.text.data(), qsizetype(hex.text.size()));
    return out;
}

void TranscriptView::PaintHex(QPainter &p) {
    if (visible_.empty()) return;
    const auto [selFrom, selTo] = Selection();
    const uint64_t caret = input_.Caret();
    const bool focused = hasFocus();
    const QPalette &pal = palette();
    const int margin = MarginWidth() + 2, cell = CellWidth(), height = RowHeight();
    const std::vector<Unit> units = layout_->Units(visible_.front().start, visible_.back().end, 0);
    int y = 0;
    std::string bytes;
    std::vector<uint64_t> offsets;
    for (const VisibleRow &row : visible_) {
        if (times_) {
            p.setPen(kControlText);
            p.drawText(QPointF(2, y + painter_.Ascent()), MarginText(row.start, row.end));
        }
        if (!hexBytes_->Read(row.position, kHexRowBytes, bytes, offsets)) break;
        const HexRow hex = FormatHexRow(row.position, bytes, offsets, units);
        CellPainter::Runs runs;
        for (std::size_t i = 0; i < hex.offset.size(); ++i)
            painter_.DrawCell(p, runs, char32_t(hex.offset[i]), margin + int(i) * cell, y, cell,
                              kControlText);
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            const uint64_t at = offsets[i];
            const bool selected = at >= selFrom && at < selTo;
            const bool sent = SentAt(at);
            const int hx = margin + HexByteCell(i) * cell,
                      tx = margin + (kHexTextCell + int(i)) * cell;
            if (selected || sent) {
                const QBrush back = selected ? pal.highlight() : QBrush(kSentBack);
                p.fillRect(hx, y, 2 * cell, height, back);
                p.fillRect(tx, y, cell, height, back);
            }
            const QColor color = selected ? pal.color(QPalette::HighlightedText)
                                 : sent   ? kSentText
                                          : pal.color(QPalette::Text);
            const auto digits = std::size_t(HexByteCell(i) - kHexOffsetCells);
            painter_.DrawCell(p, runs, char32_t(hex.hex[digits]), hx, y, cell, color);
            painter_.DrawCell(p, runs, char32_t(hex.hex[digits + 1]), hx + cell, y, cell, color);
            // A wide character spreads over the next cell, which its later bytes leave blank.
            if (hex.text[i] != U' ')
                painter_.DrawCell(p, runs, hex.text[i], tx, y,
                                  GlyphColumns(Glyph{0, 1, hex.text[i], GlyphKind::Text}) * cell,
                                  color);
            if (focused && at == caret) p.fillRect(hx, y, 1, height, pal.text());
        }
        painter_.Flush(p, runs);
        y += height;
    }
}

QStringList TranscriptView::VisibleRows() {
    if (dirty_) Flush();
    QStringList out;
    if (!transcript_) return out;
    std::vector<Unit> units;
    if (mode_ == Mode::Hex && !visible_.empty())
        units = layout_->Units(visible_.front().start, visible_.back().end, 0);
    for (const VisibleRow &row : visible_) {
        QString line =
            times_ ? MarginText(row.start, row.end).leftJustified(kMarginCells, QLatin1Char(' '))
                   : QString();
        if (mode_ == Mode::Hex) {
            line += HexRowText(row, units);
        } else {
            const Segment &s = *row.ref.segment;
            std::vector<Glyph> glyphs(s.glyphs.begin() + s.rowBegin[row.ref.row],
                                      s.glyphs.begin() + std::ptrdiff_t(s.RowEnd(row.ref.row)));
            line += QString::fromStdString(GlyphsToUtf8(glyphs));
        }
        out << line;
    }
    return out;
}

} // namespace tarvotcpc::ui
