// The receive page's view of a transcript: draws only the rows on screen, in text (any of the
// decoders' encodings, wrapped at the window's width) or hex, with the time and direction of
// each chunk in a margin on request and sent bytes shown among the received ones or left out.
//
// Nothing here costs in proportion to the transcript: rows come from TranscriptLayout (a few KiB
// decoded per row found), hex rows from the offset, the scroll bar counts bytes, and the
// per-encoding character pass (for the accessible text) runs from a zero timer in slices. So
// switching the encoding, the mode or the directions shown re-decodes only the screen.
//
// The owner keeps the Transcript, appends to it on the UI thread and then calls NotifyAppended;
// after Transcript::Clear it calls NotifyCleared.
#pragma once

#include "view/font_gaps.hpp"
#include "transcript/transcript_layout.hpp"

#include <QAbstractScrollArea>
#include <QFont>
#include <QFontMetrics>
#include <QRawFont>
#include <QStaticText>
#include <QTimer>

#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

class QLineEdit;
class QCheckBox;

namespace tarvotcpc::ui {

class TranscriptView : public QAbstractScrollArea {
    Q_OBJECT

  public:
    enum class Mode { Text, Hex };

    explicit TranscriptView(QWidget *parent = nullptr);
    ~TranscriptView() override;

    void SetTranscript(const Transcript *transcript);
    const Transcript *GetTranscript() const { return transcript_; }
    void NotifyAppended();
    void NotifyCleared();

    void SetEncoding(Encoding encoding);
    Encoding GetEncoding() const { return encoding_; }
    void SetMode(Mode mode);
    Mode GetMode() const { return mode_; }
    void SetLineEndMarks(bool on);
    void SetShowTimes(bool on);
    void SetShowSent(bool on);
    Shown ShownDirections() const { return showSent_ ? Shown::Both : Shown::Received; }

    void JumpToEnd();
    bool IsFollowingEnd() const { return following_; }

    // Selection as transcript offsets [first, second).
    std::pair<uint64_t, uint64_t> Selection() const;
    void SetSelection(uint64_t anchor, uint64_t caret);
    void SelectAll();
    // The selection as shown (control pictures, marks when on, <XX> for invalid bytes, a newline
    // per line break) or as its exact bytes in hex ("0D 0A"); std::nullopt when the selection is
    // larger than kCopyLimit (copyRefused is emitted; nothing is copied).
    std::optional<QString> SelectedText();
    std::optional<QString> SelectedHex();
    bool CopyText();
    bool CopyHex();
    static constexpr uint64_t kCopyLimit = uint64_t{16} << 20;

    // Find: text in the current encoding, or hex bytes ("0d 0a", "0D0A"), searched forward from
    // the selection in slices from a timer; found() or notFound() tells the end. A false result:
    // the query is empty, not hex, or cannot be written in the encoding.
    bool Find(const QString &query, bool hex);
    void ShowFindBar();

    // The page's font (Noto Sans Mono CJK JP, 12 pt, by default). Every character is drawn at
    // its own cell, whatever the font's advance, so a size with fractional advances still lines
    // up with the caret and the selection.
    void SetPageFont(const QFont &font);
    const QFont &PageFont() const { return font_; }

    // A cell of the monospaced grid (a wide character takes two) and a row, in pixels.
    int CellWidth() const { return cell_; }
    int RowHeight() const { return lineHeight_; }
    // Characters from fallback fonts, pictures and box digits are laid out once, each the first
    // time a paint meets it, but not in that paint: Qt may open a font file for one (2-12 ms).
    // Zero-timer turns lay out what paints left, each for about this long (at least one), and
    // ask for a paint; until then those cells stay blank. For tests and tools.
    void SetNewGlyphTime(std::chrono::microseconds limit) { prepareLimit_ = limit; }
    bool LastPaintComplete() const { return pending_.empty(); }

    // What the screen shows, one string per row (margin included when on); for tests and tools.
    QStringList VisibleRows();
    // The notes the screen shows, each "row inside text": drawn above that row (inside 0) or in
    // it (inside 1), the row after the last for a note at the end; for tests and tools.
    QStringList VisibleNotes();

    // The accessible text: one character per decoded unit of the shown directions. Until the
    // background pass has reached the end, the count is estimated beyond it (from the characters
    // per byte seen so far) and CharacterCountExact() is false; ranges are always exact (asked
    // beyond the pass, it is carried on to there first). One request returns at most
    // kAccessibleTextLimit characters.
    uint64_t CharacterCount();
    bool CharacterCountExact() const;
    QString Characters(uint64_t from, uint64_t to);
    uint64_t CharacterAt(uint64_t offset); // characters before a transcript offset
    uint64_t OffsetOfCharacter(uint64_t character);
    static constexpr uint64_t kAccessibleTextLimit = uint64_t{1} << 20;
    // Appended text is announced to assistive technology (a text-insert event) when a batch is no
    // larger than this; a flood is not read out, but stays readable through the text interface.
    static constexpr uint64_t kAnnounceLimit = 4096;

  signals:
    // The background character pass: bytes done of all; equal once it is done.
    void indexProgress(quint64 reached, quint64 size);
    void followingEndChanged(bool following);
    void found(quint64 offset, quint64 size);
    void notFound();
    void copyRefused(quint64 bytes);

  protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    // Takes the font's cell and row sizes from fm; true when they changed.
    bool MeasureFont(const QFontMetrics &fm);
    void keyPressEvent(QKeyEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void wheelEvent(QWheelEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;
    void scrollContentsBy(int dx, int dy) override;

  private:
    struct VisibleRow {
        RowRef ref;         // text mode
        uint64_t start = 0; // first byte
        uint64_t end = 0;   // one past the last byte it draws
    };

    void Restart();       // a new character pass and layout (encoding or directions changed)
    void ApplyLayout();   // layout options from the widget's state
    void RunIndexSlice(); // one slice of the character pass
    void Lay();           // fills visible_ from top_
    void Refresh();       // Lay, scroll bar, repaint
    void UpdateScrollBar();
    void ScrollRows(long long rows);
    void ScrollToEndNow();
    void SetFollowing(bool on);
    void EnsureVisible(uint64_t offset);
    void MoveCaret(uint64_t caret, bool extend);
    uint64_t HitTest(QPoint point);
    int RowsOnScreen() const;
    int MarginWidth() const;
    QString MarginText(uint64_t rowStart, uint64_t rowEnd) const;
    void FindSlice();
    bool ShownAt(uint64_t offset) const;
    bool MatchAt(uint64_t offset);
    void Flush();
    void AnnounceAppended();
    void AfterOptionChange();
    std::vector<uint64_t> Stops(const RowRef &row) const;
    uint64_t RowEnd(const RowRef &row) const;
    bool SentAt(uint64_t offset) const;
    uint64_t HexTop() const;

    // transcript_view_notes.cpp: the notes over the rows drawn.
    struct NotePlace {
        int row = 0; // its rule is at the top of this row
        int x = -1;  // inside the row: where it cuts it
        QString text;
    };
    std::vector<NotePlace> PlaceNotes() const;
    int CellXOf(const VisibleRow &row, uint64_t at) const;
    void PaintNotes(QPainter &p);

    void PaintText(QPainter &p);
    void PaintHex(QPainter &p);
    QString HexRowText(uint64_t rowOffset, const std::vector<Unit> &units) const;
    void PaintNoFontBox(QPainter &p, int x, int y, int w) const;
    // Characters at their cells: those of the page's font gathered into one glyph run per colour,
    // others (found in a fallback font) each centred in its cell, laid out once and kept.
    // A glyph wider than its cells (the page's CJK font draws Greek, Cyrillic and many symbols
    // full-width, though they take one cell) is narrowed to fit; such glyphs gather in a run of
    // their own, drawn under one scale.
    struct CellRun {
        QList<quint32> glyphs;
        QList<QPointF> positions;
        QColor color;
        qreal scale = 1;
    };
    struct CellRuns {
        CellRun normal, narrowed;
    };
    void DrawCell(QPainter &p, CellRuns &runs, char32_t c, int x, int y, int w,
                  const QColor &color);
    void FlushCells(QPainter &p, CellRun &run);
    void FlushCells(QPainter &p, CellRuns &runs);
    qreal Advance(quint32 glyph); // of a glyph of the page's font, in pixels
    // Draws the picture of `key` from `cache` (pictures_ or boxes_) centred in a cell, with the
    // painter's pen; a miss is queued for PrepareSlice, which lays out what paints left.
    void DrawCentred(QPainter &p, std::map<char32_t, QStaticText> &cache, char32_t key, int x,
                     int y, int w);
    void PrepareSlice();

    const Transcript *transcript_ = nullptr;
    std::unique_ptr<CharIndex> index_;
    std::unique_ptr<TranscriptLayout> layout_;
    QTimer indexTimer_;
    QTimer indexPause_; // the pass waits for a pause in appends, so a flood is not slowed by it
    QTimer findTimer_;

    Encoding encoding_ = Encoding::Utf8;
    Mode mode_ = Mode::Text;
    bool marks_ = false;
    bool times_ = false;
    bool showSent_ = false;
    bool following_ = true;

    uint64_t top_ = 0; // first byte of the top row (a multiple of 16 in hex mode)
    std::vector<VisibleRow> visible_;
    bool atEnd_ = true;
    bool settingBar_ = false;
    uint64_t barScale_ = 1;

    uint64_t anchor_ = 0, caret_ = 0;

    std::string findBytes_;
    bool findText_ = false;
    uint64_t findFrom_ = 0, findAt_ = 0, findLimit_ = 0;
    bool findWrapped_ = false;
    std::u32string findChars_; // the query's characters, which a text match must decode to
    QTimer refreshTimer_;      // appends are shown at most once a frame
    bool dirty_ = false;
    int ignoreBarValue_ = -1;
    uint64_t announced_ = 0; // bytes told to assistive technology as inserted text

    QFont font_;
    QRawFont raw_;                             // the page's font at the screen's resolution
    std::vector<uint16_t> advances_;           // raw_'s, by glyph, in 1/64 pixel; 0: not asked
    std::map<char32_t, QStaticText> pictures_; // control pictures, line-end marks, fallbacks
    std::map<char32_t, QStaticText> boxes_;    // the hex digits inside invalid bytes' boxes
    bool painting_ = false;                    // within paintEvent
    QFont boxFont_;                            // theirs: one object, so its engine is kept
    FontGaps gaps_;
    std::set<std::pair<std::map<char32_t, QStaticText> *, char32_t>> pending_;
    QTimer prepareTimer_;
    std::chrono::microseconds prepareLimit_{2000};
    int cell_ = 8, lineHeight_ = 16, ascent_ = 12;

    QWidget *findBar_ = nullptr;
    QLineEdit *findEdit_ = nullptr;
    QCheckBox *findHex_ = nullptr;
};

// Makes the view answer Qt's accessibility queries (installed by the first view made).
void InstallTranscriptAccessibility();

} // namespace tarvotcpc::ui
