#include "view/cell_painter.hpp"

#include <QElapsedTimer>
#include <QGlyphRun>
#include <QPainter>

#include <algorithm>

namespace tarvotcpc::ui {

namespace {

const QColor kControlText(0x80, 0x80, 0x80);

// Characters from fallback fonts are kept laid out; a flood of ever new ones starts afresh.
constexpr std::size_t kCentredCacheLimit = 4096;
// Misses waiting to be laid out; a screen with more gets the rest at later paints.
constexpr std::size_t kPendingLimit = 512;

QString Ucs4(char32_t c) {
    return QString::fromUcs4(&c, 1);
}

} // namespace

CellPainter::CellPainter(QObject *parent) : QObject(parent) {
    prepareTimer_.setSingleShot(true);
    prepareTimer_.setInterval(0);
    connect(&prepareTimer_, &QTimer::timeout, this, &CellPainter::PrepareSlice);
}

void CellPainter::SetFont(const QFont &font) {
    font_ = font;
    ascent_ = -1; // measured afresh, and again at the next paint with the screen's resolution
    Measure(QFontMetrics(font_));
}

bool CellPainter::Measure(const QFontMetrics &fm) {
    const int cell = std::max(1, fm.horizontalAdvance(QLatin1Char('M')));
    const int lineHeight = std::max(1, fm.height());
    if (cell == cell_ && lineHeight == lineHeight_ && fm.ascent() == ascent_) return false;
    cell_ = cell;
    lineHeight_ = lineHeight;
    ascent_ = fm.ascent();
    pictures_.clear();
    boxes_.clear();
    letters_.clear();
    raw_ = QRawFont();
    advances_.clear();
    boxFont_ = font_;
    boxFont_.setPointSizeF(font_.pointSizeF() * 0.7);
    // Two letters stacked in a badge a row high: each as tall as half of it allows, and no wider
    // than a cell.
    // A hinted TrueType sans: the page's CFF font, drawn without stem darkening, blurs into
    // specks at the five or six pixels a letter gets at 10 pt.
    letterFont_ = QFont(QStringLiteral("DejaVu Sans"));
    letterFont_.setStyleHint(QFont::SansSerif);
    letterFont_.setHintingPreference(QFont::PreferFullHinting);
    letterFont_.setBold(true);
    const qreal half = (lineHeight_ - 2) / 2.0;
    letterFont_.setPixelSize(std::max(4, int(std::min(half * 0.95, (cell_ - 1) * 1.9))));
    const QFontMetricsF letters(letterFont_);
    letterAscent_ = letters.ascent();
    letterCap_ = letters.capHeight();
    return true;
}

bool CellPainter::Begin(QPainter &p) {
    p.setFont(font_);
    const bool changed = Measure(p.fontMetrics());
    if (!raw_.isValid()) raw_ = QRawFont::fromFont(p.font());
    return changed;
}

void CellPainter::End() {
    if (!pending_.empty() && !prepareTimer_.isActive()) prepareTimer_.start();
}

void CellPainter::DrawNoFontBox(QPainter &p, int x, int y, int w) const {
    p.setPen(kControlText);
    p.drawRect(x + 1, y + 2, w - 3, lineHeight_ - 5);
}

void CellPainter::PrepareSlice() {
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
        prepared.prepare(QTransform(), box ? boxFont_ : cache == &letters_ ? letterFont_ : font_);
        if (cache->size() >= kCentredCacheLimit) cache->clear();
        cache->emplace(key, prepared);
    }
    if (!pending_.empty()) prepareTimer_.start();
    emit prepared();
}

void CellPainter::DrawCentred(QPainter &p, Cache &cache, char32_t key, int x, int y, int w) {
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

void CellPainter::DrawPicture(QPainter &p, char32_t c, int x, int y, int w) {
    DrawCentred(p, pictures_, c, x, y, w);
}

void CellPainter::DrawInvalidBox(QPainter &p, uint8_t byte, int x, int y, int w,
                                 const QColor &box) {
    p.setPen(box);
    p.drawRect(x + 1, y + 1, w - 3, lineHeight_ - 3);
    DrawCentred(p, boxes_, byte, x, y, w);
}

void CellPainter::DrawLetter(QPainter &p, char32_t letter, const QRectF &box) {
    const auto it = letters_.find(letter);
    if (it == letters_.end()) {
        if (pending_.size() < kPendingLimit) pending_.insert({&letters_, letter});
        return;
    }
    const QSizeF size = it->second.size();
    const qreal scale = std::min<qreal>(1, box.width() / size.width());
    p.save();
    p.setFont(letterFont_);
    // The capital's own height centred, not the line's: a line box would sit it high.
    p.translate(box.center().x() - size.width() * scale / 2,
                box.center().y() + letterCap_ / 2 - letterAscent_);
    p.scale(scale, 1);
    p.drawStaticText(QPointF(0, 0), it->second);
    p.restore();
}

void CellPainter::DrawLineEndBadge(QPainter &p, Badge badge, int x, int y, int w,
                                   const QColor &fill, const QColor &ink, Open open) {
    // An open side runs to the cell's edge, square, to meet its other half.
    const qreal left = open == Open::Left ? x : x + 0.5;
    const qreal right = open == Open::Right ? x + w : x + w - 0.5;
    const QRectF box(left, y + 1, right - left, lineHeight_ - 2);
    p.save();
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(fill);
    const qreal radius = std::min(box.width(), box.height()) / 4;
    p.drawRoundedRect(box, radius, radius);
    if (open == Open::Left) p.drawRect(QRectF(box.left(), box.top(), radius, box.height()));
    if (open == Open::Right)
        p.drawRect(QRectF(box.right() - radius, box.top(), radius, box.height()));
    p.restore();
    p.setPen(ink);
    const qreal half = box.height() / 2;
    const QRectF top(box.left(), box.top(), box.width(), half);
    const QRectF bottom(box.left(), box.top() + half, box.width(), half);
    switch (badge) {
    case Badge::Cr:
    case Badge::Lf: {
        const bool cr = badge == Badge::Cr;
        DrawLetter(p, cr ? U'C' : U'L', top);
        DrawLetter(p, cr ? U'R' : U'F', bottom);
        break;
    }
    case Badge::CrLf: {
        // Each letter over its own cell, so the badge reads as two marks that belong together.
        const qreal cell = box.width() / 2;
        const QRectF left(box.left(), 0, cell, half), right(box.left() + cell, 0, cell, half);
        DrawLetter(p, U'C', left.translated(0, top.top()));
        DrawLetter(p, U'R', right.translated(0, top.top()));
        DrawLetter(p, U'L', left.translated(0, bottom.top()));
        DrawLetter(p, U'F', right.translated(0, bottom.top()));
        break;
    }
    }
}

qreal CellPainter::Advance(quint32 glyph) {
    if (glyph >= advances_.size()) advances_.resize(std::size_t(glyph) + 1, 0);
    if (advances_[glyph] == 0) {
        QPointF advance;
        raw_.advancesForGlyphIndexes(&glyph, &advance, 1);
        advances_[glyph] = uint16_t(std::clamp<qreal>(advance.x() * 64 + 0.5, 1, 65535));
    }
    return advances_[glyph] / 64.0;
}

void CellPainter::DrawCell(QPainter &p, Runs &runs, char32_t c, int x, int y, int w,
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
        Run &run = scale == 1 ? runs.normal : runs.narrowed;
        if (!run.glyphs.isEmpty() && (run.color != color || run.scale != scale)) Flush(p, run);
        run.color = color;
        run.scale = scale;
        run.glyphs.append(glyph);
        run.positions.append(QPointF(x / scale, y + ascent_));
        return;
    }
    if (gaps_.NoFont(c)) return DrawNoFontBox(p, x, y, w);
    p.setPen(color);
    DrawCentred(p, pictures_, c, x, y, w);
}

void CellPainter::Flush(QPainter &p, Run &run) {
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

void CellPainter::Flush(QPainter &p, Runs &runs) {
    Flush(p, runs.normal);
    Flush(p, runs.narrowed);
}

} // namespace tarvotcpc::ui
