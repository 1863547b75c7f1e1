// Drawing the rows of a TranscriptView and turning keys and the mouse into a caret and selection.
#include "view/transcript_view.hpp"

#include <QKeyEvent>
#include <QCheckBox>
#include <QLineEdit>
#include <QContextMenuEvent>
#include <QElapsedTimer>
#include <QGlyphRun>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QScopedValueRollback>
#include <QStaticText>

#include <algorithm>

namespace tarvotcpc::ui {

namespace {

const QColor kSentText(0x1f, 0x4e, 0xb4);
const QColor kSentBack(0xe8, 0xf0, 0xff);
const QColor kControlText(0x80, 0x80, 0x80);
const QColor kInvalidBox(0xc0, 0x30, 0x30);

QString Ucs4(char32_t c) {
    return QString::fromUcs4(&c, 1);
}

// Hex mode's columns, in cells: offset, the 16 bytes (a wider gap after the eighth), the text.
constexpr int kHexOffsetCells = 10;
int HexByteCell(std::size_t i) {
    return kHexOffsetCells + int(i) * 3 + (i >= 8 ? 1 : 0);
}
constexpr int kHexTextCell = kHexOffsetCells + 16 * 3 + 2;

// Characters from fallback fonts are kept laid out; a flood of ever new ones starts afresh.
constexpr std::size_t kCentredCacheLimit = 4096;
// Misses waiting to be laid out; a screen with more gets the rest at later paints.
constexpr std::size_t kPendingLimit = 512;

} // namespace

void TranscriptView::paintEvent(QPaintEvent *) {
    const QScopedValueRollback<bool> painting(painting_, true);
    if (dirty_) Flush();
    QPainter p(viewport());
    p.setFont(font_);
    // Cells are sized by the painter's own measure of the font: the window's font settings and
    // the screen's resolution are only known for sure here.
    if (MeasureFont(p.fontMetrics())) {
        ApplyLayout();
        AfterOptionChange();
    }
    if (!raw_.isValid()) raw_ = QRawFont::fromFont(p.font());
    p.fillRect(viewport()->rect(), palette().base());
    if (!transcript_) return;
    if (mode_ == Mode::Hex)
        PaintHex(p);
    else
        PaintText(p);
    PaintNotes(p);
    if (!pending_.empty() && !prepareTimer_.isActive()) prepareTimer_.start();
}

void TranscriptView::PaintNoFontBox(QPainter &p, int x, int y, int w) const {
    p.setPen(kControlText);
    p.drawRect(x + 1, y + 2, w - 3, lineHeight_ - 5);
}

void TranscriptView::PrepareSlice() {
    QElapsedTimer clock;
    clock.start();
    for (bool first = true;
         !pending_.empty() &&
         (first || std::chrono::nanoseconds(clock.nsecsElapsed()) < prepareLimit_);
         first = false) {
        const auto [cache, key] = *pending_.begin();
        pending_.erase(pending_.begin());
        // Box digits in boxFont_, one font object for all: a font made afresh for each box sent
        // the painter to the font database every time.
        const bool box = cache == &boxes_;
        QStaticText prepared(
            box ? QStringLiteral("%1").arg(uint(key), 2, 16, QLatin1Char('0')).toUpper()
                : Ucs4(key));
        prepared.prepare(QTransform(), box ? boxFont_ : font_);
        if (cache->size() >= kCentredCacheLimit) cache->clear();
        cache->emplace(key, prepared);
    }
    if (!pending_.empty()) prepareTimer_.start();
    viewport()->update();
}

void TranscriptView::DrawCentred(QPainter &p, std::map<char32_t, QStaticText> &cache, char32_t key,
                                 int x, int y, int w) {
    const auto it = cache.find(key);
    if (it == cache.end()) {
        if (pending_.size() < kPendingLimit) pending_.insert({&cache, key});
        return;
    }
    const QSizeF size = it->second.size();
    const qreal top = y + (lineHeight_ - size.height()) / 2;
    const bool box = &cache == &boxes_;
    if (box) p.setFont(boxFont_);
    if (size.width() <= w + 0.5) {
        p.drawStaticText(QPointF(x + (w - size.width()) / 2, top), it->second);
    } else {
        p.save();
        p.translate(x, top);
        p.scale(w / size.width(), 1);
        p.drawStaticText(QPointF(0, 0), it->second);
        p.restore();
    }
    if (box) p.setFont(font_);
}

qreal TranscriptView::Advance(quint32 glyph) {
    if (glyph >= advances_.size()) advances_.resize(std::size_t(glyph) + 1, 0);
    if (advances_[glyph] == 0) {
        QPointF advance;
        raw_.advancesForGlyphIndexes(&glyph, &advance, 1);
        advances_[glyph] = uint16_t(std::clamp<qreal>(advance.x() * 64 + 0.5, 1, 65535));
    }
    return advances_[glyph] / 64.0;
}

void TranscriptView::DrawCell(QPainter &p, CellRuns &runs, char32_t c, int x, int y, int w,
                              const QColor &color) {
    // Glyphs go to the cell's own position: a run drawn by the font's advances drifts off the
    // grid (and off the caret and selection) wherever the advance is not a whole number of pixels.
    QChar units[2];
    int count = 0;
    if (QChar::requiresSurrogates(c)) {
        units[count++] = QChar(QChar::highSurrogate(c));
        units[count++] = QChar(QChar::lowSurrogate(c));
    } else {
        units[count++] = QChar(char16_t(c));
    }
    quint32 glyph = 0;
    int glyphs = 1;
    if (!raw_.glyphIndexesForChars(units, count, &glyph, &glyphs)) glyph = 0;
    if (glyph != 0 && glyphs == 1) {
        const qreal advance = Advance(glyph);
        const qreal scale = advance > w + 0.5 ? w / advance : 1;
        CellRun &run = scale == 1 ? runs.normal : runs.narrowed;
        if (!run.glyphs.isEmpty() && (run.color != color || run.scale != scale)) FlushCells(p, run);
        run.color = color;
        run.scale = scale;
        run.glyphs.append(glyph);
        run.positions.append(QPointF(x / scale, y + ascent_));
        return;
    }
    if (gaps_.NoFont(c)) return PaintNoFontBox(p, x, y, w);
    p.setPen(color);
    DrawCentred(p, pictures_, c, x, y, w);
}

void TranscriptView::FlushCells(QPainter &p, CellRun &run) {
    if (run.glyphs.isEmpty()) return;
    QGlyphRun glyphs;
    glyphs.setRawFont(raw_);
    glyphs.setGlyphIndexes(run.glyphs);
    glyphs.setPositions(run.positions);
    p.setPen(run.color);
    if (run.scale == 1) {
        p.drawGlyphRun(QPointF(0, 0), glyphs);
    } else {
        p.save();
        p.scale(run.scale, 1);
        p.drawGlyphRun(QPointF(0, 0), glyphs);
        p.restore();
    }
    run.glyphs.clear();
    run.positions.clear();
}

void TranscriptView::FlushCells(QPainter &p, CellRuns &runs) {
    FlushCells(p, runs.normal);
    FlushCells(p, runs.narrowed);
}

void TranscriptView::PaintText(QPainter &p) {
    const auto [selFrom, selTo] = Selection();
    const int margin = MarginWidth();
    const QPalette &pal = palette();
    int y = 0;
    for (const VisibleRow &row : visible_) {
        if (times_) {
            p.setPen(kControlText);
            p.drawText(QPointF(2, y + ascent_), MarginText(row.start, row.end));
        }
        const Segment &s = *row.ref.segment;
        int x = margin + 2;
        CellRuns run;
        for (std::size_t i = s.rowBegin[row.ref.row]; i < s.RowEnd(row.ref.row); ++i) {
            const Glyph &g = s.glyphs[i];
            const int w = GlyphColumns(g) * cell_;
            if (w == 0) continue;
            const bool selected = g.offset >= selFrom && g.offset < selTo;
            const bool sent = showSent_ && SentAt(g.offset);
            if (selected)
                p.fillRect(x, y, w, lineHeight_, pal.highlight());
            else if (sent)
                p.fillRect(x, y, w, lineHeight_, kSentBack);
            const QColor color = selected ? pal.color(QPalette::HighlightedText)
                                 : sent   ? kSentText
                                          : pal.color(QPalette::Text);
            if (g.kind == GlyphKind::Text) {
                DrawCell(p, run, g.codepoint, x, y, w, color);
            } else if (g.kind == GlyphKind::Invalid) {
                // A marked box holding the byte's two hex digits.
                p.setPen(kInvalidBox);
                p.drawRect(x + 1, y + 1, w - 3, lineHeight_ - 3);
                DrawCentred(p, boxes_, g.codepoint, x, y, w);
            } else {
                p.setPen(selected ? color : sent ? kSentText : kControlText);
                DrawCentred(p, pictures_, g.codepoint, x, y, w);
            }
            if (hasFocus() && g.offset == caret_) p.fillRect(x, y, 1, lineHeight_, pal.text());
            x += w;
        }
        FlushCells(p, run);
        if (hasFocus() && caret_ == row.end && caret_ == transcript_->Size())
            p.fillRect(x, y, 1, lineHeight_, pal.text());
        if (showSent_ && row.start < transcript_->Size() && SentAt(row.start))
            p.fillRect(margin, y, 2, lineHeight_, kSentText); // the mark of a sent row
        y += lineHeight_;
    }
}

QString TranscriptView::HexRowText(uint64_t rowOffset, const std::vector<Unit> &units) const {
    std::string bytes;
    const uint64_t n = std::min<uint64_t>(kHexRowBytes, transcript_->Size() - rowOffset);
    if (!transcript_->Read(rowOffset, std::size_t(n), bytes)) return {};
    HexRow row = FormatHexRow(rowOffset, bytes, units);
    QString hex = QString::fromLatin1(row.hex);
    QString text = QString::fromUcs4(row.text.data(), qsizetype(row.text.size()));
    for (std::size_t i = 0; i < n; ++i) {
        if (ShownAt(rowOffset + i)) continue;
        // A direction not shown leaves its bytes blank: the offsets stay the transcript's own.
        const int at = HexByteCell(i) - kHexOffsetCells;
        hex[at] = hex[at + 1] = QLatin1Char(' ');
    }
    QString out = QString::fromLatin1(row.offset).leftJustified(kHexOffsetCells, QLatin1Char(' '));
    out += hex + QStringLiteral("  ");
    std::u32string cells = row.text;
    for (std::size_t i = 0; i < n; ++i)
        if (!ShownAt(rowOffset + i)) cells[i] = U' ';
    out += QString::fromUcs4(cells.data(), qsizetype(cells.size()));
    return out;
}

void TranscriptView::PaintHex(QPainter &p) {
    if (visible_.empty()) return;
    const auto [selFrom, selTo] = Selection();
    const QPalette &pal = palette();
    const int margin = MarginWidth() + 2;
    const std::vector<Unit> units = layout_->Units(visible_.front().start, visible_.back().end, 0);
    int y = 0;
    std::string bytes;
    for (const VisibleRow &row : visible_) {
        if (times_) {
            p.setPen(kControlText);
            p.drawText(QPointF(2, y + ascent_), MarginText(row.start, row.end));
        }
        if (!transcript_->Read(row.start, std::size_t(row.end - row.start), bytes)) break;
        const HexRow hex = FormatHexRow(row.start, bytes, units);
        CellRuns run;
        for (std::size_t i = 0; i < hex.offset.size(); ++i)
            DrawCell(p, run, char32_t(hex.offset[i]), margin + int(i) * cell_, y, cell_,
                     kControlText);
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            const uint64_t at = row.start + i;
            if (!ShownAt(at)) continue;
            const bool selected = at >= selFrom && at < selTo;
            const bool sent = SentAt(at);
            const int hx = margin + HexByteCell(i) * cell_,
                      tx = margin + (kHexTextCell + int(i)) * cell_;
            if (selected || sent) {
                const QBrush back = selected ? pal.highlight() : QBrush(kSentBack);
                p.fillRect(hx, y, 2 * cell_, lineHeight_, back);
                p.fillRect(tx, y, cell_, lineHeight_, back);
            }
            const QColor color = selected ? pal.color(QPalette::HighlightedText)
                                 : sent   ? kSentText
                                          : pal.color(QPalette::Text);
            const std::size_t digits = std::size_t(HexByteCell(i) - kHexOffsetCells);
            DrawCell(p, run, char32_t(hex.hex[digits]), hx, y, cell_, color);
            DrawCell(p, run, char32_t(hex.hex[digits + 1]), hx + cell_, y, cell_, color);
            // A wide character spreads over the next cell, which its later bytes leave blank.
            if (hex.text[i] != U' ')
                DrawCell(p, run, hex.text[i], tx, y,
                         GlyphColumns(Glyph{0, 1, hex.text[i], GlyphKind::Text}) * cell_, color);
            if (hasFocus() && at == caret_) p.fillRect(hx, y, 1, lineHeight_, pal.text());
        }
        FlushCells(p, run);
        y += lineHeight_;
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
            times_ ? MarginText(row.start, row.end).leftJustified(16, QLatin1Char(' ')) : QString();
        if (mode_ == Mode::Hex) {
            line += HexRowText(row.start, units);
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

std::vector<uint64_t> TranscriptView::Stops(const RowRef &r) const {
    std::vector<uint64_t> stops;
    const Segment &s = *r.segment;
    for (std::size_t i = s.rowBegin[r.row]; i < s.RowEnd(r.row); ++i)
        if (GlyphColumns(s.glyphs[i]) > 0) stops.push_back(s.glyphs[i].offset);
    // Without marks the caret stops before a line break, as in an editor.
    const bool beforeBreak = s.endsLine && r.row + 1 == s.Rows() && !marks_;
    const uint64_t end = beforeBreak ? s.breakAt : RowEnd(r);
    if (stops.empty() || stops.back() != end) stops.push_back(end);
    return stops;
}

uint64_t TranscriptView::HitTest(QPoint point) {
    if (visible_.empty()) return transcript_ ? transcript_->Size() : 0;
    if (point.y() < 0) return visible_.front().start;
    const std::size_t index = std::size_t(point.y() / lineHeight_);
    if (index >= visible_.size()) return visible_.back().end;
    const VisibleRow &row = visible_[index];
    const int x = point.x() - MarginWidth() - 2;
    if (mode_ == Mode::Hex) {
        int cell = x / cell_;
        std::size_t i = 0;
        if (cell >= kHexTextCell)
            i = std::size_t(cell - kHexTextCell);
        else
            while (i < kHexRowBytes && HexByteCell(i) + 2 < cell)
                ++i;
        return std::min(row.start + std::min<uint64_t>(i, kHexRowBytes), row.end);
    }
    const Segment &s = *row.ref.segment;
    int cx = 0;
    for (std::size_t i = s.rowBegin[row.ref.row]; i < s.RowEnd(row.ref.row); ++i) {
        const int w = GlyphColumns(s.glyphs[i]) * cell_;
        if (w == 0) continue;
        if (x < cx + w / 2) return s.glyphs[i].offset;
        cx += w;
    }
    return Stops(row.ref).back();
}

void TranscriptView::EnsureVisible(uint64_t offset) {
    Lay();
    if (!transcript_ || visible_.empty()) return;
    const bool inside = offset >= visible_.front().start &&
                        (offset < visible_.back().end || (atEnd_ && offset <= visible_.back().end));
    if (!inside) {
        if (mode_ == Mode::Hex) {
            const uint64_t row = offset / kHexRowBytes * kHexRowBytes;
            top_ = offset < visible_.front().start
                       ? row
                       : std::min(HexTop(),
                                  row - std::min<uint64_t>(row, uint64_t(RowsOnScreen() - 1) *
                                                                    kHexRowBytes));
        } else if (auto r = layout_->RowAt(offset)) {
            if (offset >= visible_.front().start)
                for (int i = 1; i < RowsOnScreen(); ++i) {
                    const auto previous = layout_->PreviousRow(*r);
                    if (!previous) break;
                    r = previous;
                }
            top_ = r->segment->RowStart(r->row);
        }
        Lay();
    }
    SetFollowing(atEnd_);
    UpdateScrollBar();
    viewport()->update();
}

void TranscriptView::MoveCaret(uint64_t caret, bool extend) {
    caret_ = std::min(caret, transcript_ ? transcript_->Size() : 0);
    if (!extend) anchor_ = caret_;
    EnsureVisible(caret_);
}

void TranscriptView::keyPressEvent(QKeyEvent *event) {
    if (!transcript_) return QAbstractScrollArea::keyPressEvent(event);
    if (event->matches(QKeySequence::SelectAll)) return SelectAll();
    if (event->matches(QKeySequence::Find)) return ShowFindBar();
    const bool ctrl = event->modifiers() & Qt::ControlModifier;
    const bool shift = event->modifiers() & Qt::ShiftModifier;
    if (ctrl && event->key() == Qt::Key_C) {
        shift ? CopyHex() : CopyText();
        return;
    }
    if (event->key() == Qt::Key_Escape && findBar_ != nullptr && findBar_->isVisible()) {
        findBar_->hide();
        return;
    }
    if (event->key() == Qt::Key_F3 && findEdit_ != nullptr) {
        Find(findEdit_->text(), findHex_->isChecked());
        return;
    }
    const uint64_t size = transcript_->Size();
    if (ctrl && event->key() == Qt::Key_Home) return MoveCaret(0, shift);
    if (ctrl && event->key() == Qt::Key_End) {
        MoveCaret(size, shift);
        return JumpToEnd();
    }
    const int page = RowsOnScreen();
    int rows = 0, step = 0;
    bool home = false, end = false;
    switch (event->key()) {
    case Qt::Key_Left:
        step = -1;
        break;
    case Qt::Key_Right:
        step = 1;
        break;
    case Qt::Key_Up:
        rows = -1;
        break;
    case Qt::Key_Down:
        rows = 1;
        break;
    case Qt::Key_PageUp:
        rows = -page;
        break;
    case Qt::Key_PageDown:
        rows = page;
        break;
    case Qt::Key_Home:
        home = true;
        break;
    case Qt::Key_End:
        end = true;
        break;
    default:
        return QAbstractScrollArea::keyPressEvent(event);
    }
    if (mode_ == Mode::Hex) {
        const long long at = (long long)caret_;
        long long next = at + step + (long long)rows * (long long)kHexRowBytes;
        if (home) next = at / 16 * 16;
        if (end) next = std::min<long long>(at / 16 * 16 + 16, (long long)size);
        return MoveCaret(uint64_t(std::clamp<long long>(next, 0, (long long)size)), shift);
    }
    auto row = layout_->RowAt(caret_);
    if (!row) return;
    std::vector<uint64_t> stops = Stops(*row);
    std::size_t column =
        std::size_t(std::lower_bound(stops.begin(), stops.end(), caret_) - stops.begin());
    column = std::min(column, stops.size() - 1);
    uint64_t target = caret_;
    if (home) target = stops.front();
    if (end) target = stops.back();
    if (step < 0) {
        if (column > 0) {
            target = stops[column - 1];
        } else if (const auto previous = layout_->PreviousRow(*row)) {
            const auto prior = Stops(*previous);
            target = prior.size() > 1 ? prior[prior.size() - 2] : prior.front();
        }
    } else if (step > 0) {
        if (column + 1 < stops.size())
            target = stops[column + 1];
        else if (const auto next = layout_->NextRow(*row))
            target = Stops(*next).front();
    }
    for (; rows != 0; rows += rows > 0 ? -1 : 1) {
        const auto other = rows > 0 ? layout_->NextRow(*row) : layout_->PreviousRow(*row);
        if (!other) {
            if (rows > 0) column = stops.size() - 1;
            if (rows < 0) column = 0;
            break;
        }
        row = other;
        stops = Stops(*row);
    }
    if (rows != 0 || event->key() == Qt::Key_Up || event->key() == Qt::Key_Down ||
        event->key() == Qt::Key_PageUp || event->key() == Qt::Key_PageDown)
        target = stops[std::min(column, stops.size() - 1)];
    MoveCaret(target, shift);
}

void TranscriptView::contextMenuEvent(QContextMenuEvent *event) {
    QMenu menu(this);
    const bool any = Selection().first < Selection().second;
    menu.addAction(QStringLiteral("コピー"), this, [this] { CopyText(); })->setEnabled(any);
    menu.addAction(QStringLiteral("16進でコピー"), this, [this] { CopyHex(); })->setEnabled(any);
    menu.addSeparator();
    menu.addAction(QStringLiteral("すべて選択"), this, [this] { SelectAll(); });
    menu.addAction(QStringLiteral("検索..."), this, [this] { ShowFindBar(); });
    menu.addAction(QStringLiteral("末尾へ移動"), this, [this] { JumpToEnd(); });
    menu.exec(event->globalPos());
}

void TranscriptView::mousePressEvent(QMouseEvent *event) {
    if (event->button() != Qt::LeftButton || !transcript_) return;
    setFocus(Qt::MouseFocusReason);
    MoveCaret(HitTest(event->position().toPoint()), event->modifiers() & Qt::ShiftModifier);
}

void TranscriptView::mouseMoveEvent(QMouseEvent *event) {
    if (!(event->buttons() & Qt::LeftButton) || !transcript_) return;
    const QPoint at = event->position().toPoint();
    if (at.y() < 0) ScrollRows(-1);
    if (at.y() >= viewport()->height()) ScrollRows(1);
    caret_ = HitTest(at);
    viewport()->update();
}

} // namespace tarvotcpc::ui
