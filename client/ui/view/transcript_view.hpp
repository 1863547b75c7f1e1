// The receive page's view of a transcript: draws only the rows on screen, in text (any of the
// decoders' encodings, wrapped at the window's width) or hex, with the time and direction of
// each chunk in a margin on request and sent bytes shown among the received ones or left out.
//
// Nothing here costs in proportion to the transcript: rows come from TranscriptLayout (a few KiB
// decoded per row found), hex rows from ShownBytes, the scroll bar counts bytes, and the
// per-encoding character pass (for the accessible text) runs from a zero timer in slices. So
// switching the encoding, the mode or the directions shown re-decodes only the screen.
//
// The view keeps what is shown (options, the rows on screen, scrolling) and owns a part for each
// other job: CellPainter draws characters at their cells, TranscriptInput turns keys and the
// mouse into a caret and a selection, TranscriptFinder runs the find bar and its search,
// AccessibleText serves screen readers and ProtocolMarks marks the replies of a protocol.
//
// The owner keeps the Transcript, appends to it on the UI thread and then calls NotifyAppended;
// after Transcript::Clear it calls NotifyCleared.
#pragma once

#include "transcript/transcript_layout.hpp"
#include "view/cell_painter.hpp"
#include "view/protocol_marks.hpp"
#include "view/transcript_accessible.hpp"
#include "view/transcript_finder.hpp"
#include "view/transcript_input.hpp"

#include <QAbstractScrollArea>
#include <QTimer>

#include <chrono>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

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
    std::pair<uint64_t, uint64_t> Selection() const { return input_.Selection(); }
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
    bool Find(const QString &query, bool hex) { return finder_.Find(query, hex); }
    void ShowFindBar() { finder_.ShowBar(); }

    // The page's font (Noto Sans Mono CJK JP, 12 pt, by default). Every character is drawn at
    // its own cell, whatever the font's advance, so a size with fractional advances still lines
    // up with the caret and the selection.
    void SetPageFont(const QFont &font);
    const QFont &PageFont() const { return painter_.Font(); }

    // A cell of the monospaced grid (a wide character takes two) and a row, in pixels.
    int CellWidth() const { return painter_.CellWidth(); }
    int RowHeight() const { return painter_.RowHeight(); }
    // How long each zero-timer turn lays out characters that paints met for the first time (see
    // CellPainter), and whether the last paint lacked none. For tests and tools.
    void SetNewGlyphTime(std::chrono::microseconds limit) { painter_.SetNewGlyphTime(limit); }
    bool LastPaintComplete() const { return painter_.Complete(); }

    // The margin's cells when times are shown: the time, the direction, and either how long an
    // answer took ("12:00:01.234 ← 200.3ms") or that a send was automatic.
    static constexpr int kMarginCells = 25;

    // What the screen shows, one string per row (margin included when on); for tests and tools.
    QStringList VisibleRows();
    // The notes the screen shows, each "row inside text": drawn above that row (inside 0) or in
    // it (inside 1), the row after the last for a note at the end; for tests and tools.
    QStringList VisibleNotes();
    // Where datagrams start among the rows on screen, each "row inside" as VisibleNotes.
    QStringList VisibleDatagramBounds();

    // Which protocol the replies of each connection are read as and marked in (text mode); empty:
    // none. Set again whenever the choice changes: the record is read again.
    void SetProtocols(RecordShapes::ProtocolOf protocolOf) {
        protocolMarks_.SetProtocols(std::move(protocolOf));
    }
    // The protocol marks the screen shows (see ProtocolMarks::Visible), and whether the record is
    // read to its end; for tests and tools.
    QStringList VisibleShapes() {
        if (dirty_) Flush();
        return protocolMarks_.Visible();
    }
    bool ShapesDone() const { return protocolMarks_.Done(); }

    // The accessible text: one character per decoded unit of the shown directions (see
    // AccessibleText for when the count is exact).
    uint64_t CharacterCount() { return accessible_.Count(); }
    bool CharacterCountExact() const { return accessible_.CountExact(); }
    QString Characters(uint64_t from, uint64_t to) { return accessible_.Characters(from, to); }
    uint64_t CharacterAt(uint64_t offset) { return accessible_.CharacterAt(offset); }
    uint64_t OffsetOfCharacter(uint64_t character) {
        return accessible_.OffsetOfCharacter(character);
    }
    static constexpr uint64_t kAccessibleTextLimit = AccessibleText::kLimit;
    static constexpr uint64_t kAnnounceLimit = AccessibleText::kAnnounceLimit;

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
    void focusInEvent(QFocusEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void wheelEvent(QWheelEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;
    void scrollContentsBy(int dx, int dy) override;

  private:
    // The parts work on the rows on screen and move through them as the view does.
    friend class TranscriptInput;
    friend class TranscriptFinder;
    friend class ProtocolMarks;

    struct VisibleRow {
        RowRef ref;            // text mode
        uint64_t start = 0;    // first byte
        uint64_t end = 0;      // one past the last byte it draws
        uint64_t position = 0; // hex mode: shown bytes before start
    };

    void Restart();     // a new character pass and layout (encoding or directions changed)
    void ApplyLayout(); // layout options from the widget's state
    void Lay();         // fills visible_ from top_
    void Refresh();     // Lay, scroll bar, repaint
    void Flush();       // shows what was appended since the last frame
    void AfterOptionChange();
    void UpdateScrollBar();
    void ScrollRows(long long rows);
    void ScrollToEndNow();
    void SetFollowing(bool on);
    void EnsureVisible(uint64_t offset);
    // The first byte of the row holding offset, in the current mode.
    uint64_t RowStartAt(uint64_t offset);
    uint64_t HexTop(); // the top row's first byte when the last hex row is at the bottom
    int RowsOnScreen() const;
    int MarginWidth() const;
    bool SentAt(uint64_t offset) const;

    // transcript_view_notes.cpp: the notes over the rows drawn.
    struct NotePlace {
        int row = 0; // its rule is at the top of this row
        int x = -1;  // inside the row: where it cuts it
        QString text;
    };
    std::vector<NotePlace> PlaceNotes() const;
    int CellXOf(const VisibleRow &row, uint64_t at) const;
    void PaintNotes(QPainter &p);
    // transcript_view_datagrams.cpp: where datagrams start (UDP), placed as notes are.
    std::vector<NotePlace> PlaceDatagramBounds() const;
    void PaintDatagramBounds(QPainter &p);

    // Drawing (transcript_view_paint.cpp).
    void PaintText(QPainter &p);
    void PaintHex(QPainter &p);
    QString MarginText(uint64_t rowStart, uint64_t rowEnd) const;
    QString HexRowText(const VisibleRow &row, const std::vector<Unit> &units);

    const Transcript *transcript_ = nullptr;
    std::unique_ptr<TranscriptLayout> layout_;
    std::unique_ptr<ShownBytes> hexBytes_; // hex rows' positions among the shown bytes

    Encoding encoding_ = Encoding::Utf8;
    Mode mode_ = Mode::Text;
    bool marks_ = false;
    bool times_ = false;
    bool showSent_ = false;
    bool following_ = true;

    uint64_t top_ = 0; // first byte of the top row
    std::vector<VisibleRow> visible_;
    bool atEnd_ = true;
    bool settingBar_ = false;
    uint64_t barScale_ = 1;
    int ignoreBarValue_ = -1;
    QTimer refreshTimer_; // appends are shown at most once a frame
    bool dirty_ = false;
    bool painting_ = false; // within paintEvent

    CellPainter painter_;
    AccessibleText accessible_;
    TranscriptInput input_;
    TranscriptFinder finder_;
    ProtocolMarks protocolMarks_;
};

} // namespace tarvotcpc::ui
