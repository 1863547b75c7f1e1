// The receive page's caret and selection, and the keys and mouse that move them: arrows, Home and
// End over the caret's stops in text mode or over the shown bytes in hex, pages of rows, Shift to
// select, a press and a drag, the context menu, and the keys of copying and finding.
#pragma once

#include <QPoint>

#include <cstdint>
#include <utility>

class QContextMenuEvent;
class QKeyEvent;
class QMouseEvent;

namespace tarvotcpc::ui {

class TranscriptView;

class TranscriptInput {
  public:
    explicit TranscriptInput(TranscriptView &view) : view_(view) {}

    // [first, second) as transcript offsets, and the end the caret is at.
    std::pair<uint64_t, uint64_t> Selection() const {
        return {std::min(anchor_, caret_), std::max(anchor_, caret_)};
    }
    uint64_t Caret() const { return caret_; }
    // Both ends no further than size.
    void Select(uint64_t anchor, uint64_t caret, uint64_t size);

    // False when the key is not the page's (it goes on to the scroll area).
    bool KeyPress(QKeyEvent *event);
    void MousePress(QMouseEvent *event);
    void MouseMove(QMouseEvent *event);
    void ContextMenu(QContextMenuEvent *event);

  private:
    uint64_t HitTest(QPoint point) const;
    void MoveCaret(uint64_t caret, bool extend);
    // Where a key moves the caret: by `step` stops (or bytes) and `rows` rows, or to the row's
    // first or last stop.
    uint64_t TextTarget(int step, int rows, bool home, bool end, bool vertical) const;
    uint64_t HexTarget(int step, int rows, bool home, bool end) const;

    TranscriptView &view_;
    uint64_t anchor_ = 0, caret_ = 0;
};

} // namespace tarvotcpc::ui
