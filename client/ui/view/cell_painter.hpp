// Draws characters at the cells of the receive page's monospaced grid, whatever the font's own
// advances: the page's font, its measures, and what it keeps between paints (glyph advances,
// characters from fallback fonts, control pictures and the digits in invalid bytes' boxes laid
// out once each).
//
// Line-end marks are badges of the page's own rather than the control pictures ␍ and ␊, which
// read alike at text sizes: a filled rounded box over the mark's cell with its letters stacked,
// "C" over "R" and "L" over "F", and a CRLF as one badge across its two cells, "CR" over "LF".
//
// Characters from fallback fonts, pictures, box digits and badge letters are laid out the first
// time a paint meets them, but not in that paint: Qt may open a font file for one (2-12 ms). The
// paint leaves their cells blank and queues them; zero-timer turns lay them out, each for about
// SetNewGlyphTime (at least one), and tell by prepared() that the page should be painted again.
#pragma once

#include "view/font_gaps.hpp"

#include <QColor>
#include <QFont>
#include <QFontMetrics>
#include <QList>
#include <QObject>
#include <QPointF>
#include <QRawFont>
#include <QStaticText>
#include <QTimer>

#include <chrono>
#include <cstdint>
#include <map>
#include <set>
#include <utility>
#include <vector>

class QPainter;

namespace tarvotcpc::ui {

class CellPainter : public QObject {
    Q_OBJECT

  public:
    // Characters at their cells: those of the page's font gathered into one glyph run per
    // colour, others (found in a fallback font) each centred in its cell. A glyph wider than its
    // cells (the page's CJK font draws Greek, Cyrillic and many symbols full-width, though they
    // take one cell) is narrowed to fit; such glyphs gather in a run of their own, drawn under
    // one scale. Flush draws what a row gathered.
    struct Run {
        QList<quint32> glyphs;
        QList<QPointF> positions;
        QColor color;
        qreal scale = 1;
    };
    struct Runs {
        Run normal, narrowed;
    };

    explicit CellPainter(QObject *parent = nullptr);

    void SetFont(const QFont &font);
    const QFont &Font() const { return font_; }
    // Takes the cell and row sizes from fm; true when they changed (what was kept is dropped).
    bool Measure(const QFontMetrics &fm);
    int CellWidth() const { return cell_; }
    int RowHeight() const { return lineHeight_; }
    int Ascent() const { return ascent_; }

    // Around each paint: Begin sets the painter's font and measures it as the painter does (the
    // window's font settings and the screen's resolution are only known for sure there), true
    // when the measures changed; End queues the laying out of what the paint lacked.
    bool Begin(QPainter &p);
    void End();

    void DrawCell(QPainter &p, Runs &runs, char32_t c, int x, int y, int w, const QColor &color);
    void Flush(QPainter &p, Runs &runs);
    // A picture (control, line-end mark) centred in its cell, with the painter's pen.
    void DrawPicture(QPainter &p, char32_t c, int x, int y, int w);
    // The marked box of an invalid byte, holding its two hex digits.
    void DrawInvalidBox(QPainter &p, uint8_t byte, int x, int y, int w, const QColor &box);
    // A line-end badge over cells [x, x + w): for a lone CR or LF (kCrMark, kLfMark) or, with
    // both, a CRLF. The half of a CRLF that the row's end or a selection cuts in two is open on
    // the side of its other half: a CR and an LF of one line break never pass for two lone ones.
    enum class Badge { Cr, Lf, CrLf };
    enum class Open { None, Left, Right };
    void DrawLineEndBadge(QPainter &p, Badge badge, int x, int y, int w, const QColor &fill,
                          const QColor &ink, Open open = Open::None);

    void SetNewGlyphTime(std::chrono::microseconds limit) { prepareLimit_ = limit; }
    bool Complete() const { return pending_.empty(); }

  signals:
    // Characters a paint lacked are laid out now: the page should be painted again.
    void prepared();

  private:
    using Cache = std::map<char32_t, QStaticText>;
    void Flush(QPainter &p, Run &run);
    qreal Advance(quint32 glyph); // of a glyph of the page's font, in pixels
    // Draws the picture of `key` from `cache` centred in a cell, with the painter's pen; a miss
    // is queued for PrepareSlice.
    void DrawCentred(QPainter &p, Cache &cache, char32_t key, int x, int y, int w);
    void DrawNoFontBox(QPainter &p, int x, int y, int w) const;
    // A badge letter centred in box, with the painter's pen; a miss is queued.
    void DrawLetter(QPainter &p, char32_t letter, const QRectF &box);
    void PrepareSlice();

    QFont font_;
    QRawFont raw_;                   // the page's font at the screen's resolution
    std::vector<uint16_t> advances_; // raw_'s, by glyph, in 1/64 pixel; 0: not asked
    Cache pictures_;                 // control pictures, line-end marks, fallbacks
    Cache boxes_;                    // the hex digits inside invalid bytes' boxes
    QFont boxFont_;                  // theirs: one object, so its engine is kept
    Cache letters_;                  // the badges' letters
    QFont letterFont_;
    qreal letterAscent_ = 0, letterCap_ = 0;
    FontGaps gaps_;
    std::set<std::pair<Cache *, char32_t>> pending_;
    QTimer prepareTimer_;
    std::chrono::microseconds prepareLimit_{2000};
    int cell_ = 8, lineHeight_ = 16, ascent_ = 12;
};

} // namespace tarvotcpc::ui
