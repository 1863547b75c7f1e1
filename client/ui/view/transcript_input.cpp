#include "view/transcript_input.hpp"
#include "view/transcript_view.hpp"

#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>

#include <algorithm>

namespace tarvotcpc::ui {

void TranscriptInput::Select(uint64_t anchor, uint64_t caret, uint64_t size) {
    anchor_ = std::min(anchor, size);
    caret_ = std::min(caret, size);
}

uint64_t TranscriptInput::HitTest(QPoint point) const {
    const auto &visible = view_.visible_;
    if (visible.empty()) return view_.transcript_ ? view_.transcript_->Size() : 0;
    if (point.y() < 0) return visible.front().start;
    const auto index = std::size_t(point.y() / view_.RowHeight());
    if (index >= visible.size()) return visible.back().end;
    const TranscriptView::VisibleRow &row = visible[index];
    const int x = point.x() - view_.MarginWidth() - 2;
    if (view_.mode_ == TranscriptView::Mode::Hex) {
        const int cell = x / view_.CellWidth();
        std::size_t i = 0;
        if (cell >= kHexTextCell)
            i = std::size_t(cell - kHexTextCell);
        else
            while (i < kHexRowBytes && HexByteCell(i) + 2 < cell)
                ++i;
        // A place past the row's last byte is the next row's first (the end, after the last).
        ShownBytes &shown = *view_.hexBytes_;
        const uint64_t bytes = std::min<uint64_t>(kHexRowBytes, shown.Count() - row.position);
        return shown.OffsetOf(row.position + std::min<uint64_t>(i, bytes));
    }
    const Segment &s = *row.ref.segment;
    int cx = 0;
    for (std::size_t i = s.rowBegin[row.ref.row]; i < s.RowEnd(row.ref.row); ++i) {
        const int w = GlyphColumns(s.glyphs[i]) * view_.CellWidth();
        if (w == 0) continue;
        if (x < cx + w / 2) return s.glyphs[i].offset;
        cx += w;
    }
    return CaretStops(row.ref, view_.marks_).back();
}

void TranscriptInput::MoveCaret(uint64_t caret, bool extend) {
    caret_ = std::min(caret, view_.transcript_ ? view_.transcript_->Size() : 0);
    if (!extend) anchor_ = caret_;
    view_.EnsureVisible(caret_);
}

uint64_t TranscriptInput::HexTarget(int step, int rows, bool home, bool end) const {
    ShownBytes &shown = *view_.hexBytes_;
    const auto count = (long long)shown.Count();
    const auto at = (long long)shown.PositionOf(caret_);
    long long next = at + step + (long long)rows * (long long)kHexRowBytes;
    if (home) next = at / 16 * 16;
    if (end) next = std::min<long long>(at / 16 * 16 + 16, count);
    return shown.OffsetOf(uint64_t(std::clamp<long long>(next, 0, count)));
}

uint64_t TranscriptInput::TextTarget(int step, int rows, bool home, bool end, bool vertical) const {
    TranscriptLayout &layout = *view_.layout_;
    auto row = layout.RowAt(caret_);
    if (!row) return caret_;
    std::vector<uint64_t> stops = CaretStops(*row, view_.marks_);
    auto column = std::size_t(std::lower_bound(stops.begin(), stops.end(), caret_) - stops.begin());
    column = std::min(column, stops.size() - 1);
    uint64_t target = caret_;
    if (home) target = stops.front();
    if (end) target = stops.back();
    if (step < 0) {
        if (column > 0) {
            target = stops[column - 1];
        } else if (const auto previous = layout.PreviousRow(*row)) {
            const auto prior = CaretStops(*previous, view_.marks_);
            target = prior.size() > 1 ? prior[prior.size() - 2] : prior.front();
        }
    } else if (step > 0) {
        if (column + 1 < stops.size())
            target = stops[column + 1];
        else if (const auto next = layout.NextRow(*row))
            target = CaretStops(*next, view_.marks_).front();
    }
    for (; rows != 0; rows += rows > 0 ? -1 : 1) {
        const auto other = rows > 0 ? layout.NextRow(*row) : layout.PreviousRow(*row);
        if (!other) {
            if (rows > 0) column = stops.size() - 1;
            if (rows < 0) column = 0;
            break;
        }
        row = other;
        stops = CaretStops(*row, view_.marks_);
    }
    if (rows != 0 || vertical) target = stops[std::min(column, stops.size() - 1)];
    return target;
}

bool TranscriptInput::KeyPress(QKeyEvent *event) {
    if (!view_.transcript_) return false;
    if (event->matches(QKeySequence::SelectAll)) {
        view_.SelectAll();
        return true;
    }
    if (event->matches(QKeySequence::Find)) {
        view_.ShowFindBar();
        return true;
    }
    const bool ctrl = event->modifiers() & Qt::ControlModifier;
    const bool shift = event->modifiers() & Qt::ShiftModifier;
    if (ctrl && event->key() == Qt::Key_C) {
        shift ? view_.CopyHex() : view_.CopyText();
        return true;
    }
    if (event->key() == Qt::Key_Escape && view_.finder_.HideBar()) return true;
    if (event->key() == Qt::Key_F3 && view_.finder_.FindAgain()) return true;
    const uint64_t size = view_.transcript_->Size();
    if (ctrl && event->key() == Qt::Key_Home) {
        MoveCaret(0, shift);
        return true;
    }
    if (ctrl && event->key() == Qt::Key_End) {
        MoveCaret(size, shift);
        view_.JumpToEnd();
        return true;
    }
    const int page = view_.RowsOnScreen();
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
        return false;
    }
    MoveCaret(view_.mode_ == TranscriptView::Mode::Hex
                  ? HexTarget(step, rows, home, end)
                  : TextTarget(step, rows, home, end, rows != 0),
              shift);
    return true;
}

void TranscriptInput::ContextMenu(QContextMenuEvent *event) {
    QMenu menu(&view_);
    const bool any = Selection().first < Selection().second;
    menu.addAction(QStringLiteral("コピー"), &view_, [this] { view_.CopyText(); })->setEnabled(any);
    menu.addAction(QStringLiteral("16進でコピー"), &view_, [this] { view_.CopyHex(); })
        ->setEnabled(any);
    menu.addSeparator();
    menu.addAction(QStringLiteral("すべて選択"), &view_, [this] { view_.SelectAll(); });
    menu.addAction(QStringLiteral("検索..."), &view_, [this] { view_.ShowFindBar(); });
    menu.addAction(QStringLiteral("末尾へ移動"), &view_, [this] { view_.JumpToEnd(); });
    menu.exec(event->globalPos());
}

void TranscriptInput::MousePress(QMouseEvent *event) {
    if (event->button() != Qt::LeftButton || !view_.transcript_) return;
    view_.setFocus(Qt::MouseFocusReason);
    MoveCaret(HitTest(event->position().toPoint()), event->modifiers() & Qt::ShiftModifier);
}

void TranscriptInput::MouseMove(QMouseEvent *event) {
    if (!(event->buttons() & Qt::LeftButton) || !view_.transcript_) return;
    const QPoint at = event->position().toPoint();
    if (at.y() < 0) view_.ScrollRows(-1);
    if (at.y() >= view_.viewport()->height()) view_.ScrollRows(1);
    caret_ = HitTest(at);
    view_.viewport()->update();
}

} // namespace tarvotcpc::ui
