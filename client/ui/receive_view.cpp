#include "receive_view.hpp"

#include <QElapsedTimer>
#include <QScrollBar>
#include <QTextCursor>

#include <algorithm>

#include "text.hpp"
#include "widgets.hpp"

namespace tarvotcpc::ui {

namespace {

// A step aims at this much time: with the conversion and the repaint that follow it the event loop
// still turns well within 100 ms, and at 20 steps a second the page takes about 10 MiB/s.
constexpr qint64 kStepTargetMs = 30;
constexpr std::size_t kMinStep = 16 * 1024;
constexpr std::size_t kMaxStep = 2 * 1024 * 1024;
constexpr std::size_t kFirstStep = 128 * 1024;

} // namespace

ReceiveView::ReceiveView(QWidget *parent) : QPlainTextEdit(parent), stepBytes_(kFirstStep) {
    setReadOnly(true);
    setUndoRedoEnabled(false);
    setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    setLineWrapMode(QPlainTextEdit::NoWrap);
    setFont(PageFont());
    QScrollBar *bar = verticalScrollBar();
    connect(bar, &QScrollBar::valueChanged, this, [this, bar](int value) {
        if (!scrolling_) followEnd_ = value >= bar->maximum();
    });
    connect(bar, &QScrollBar::rangeChanged, this, [this] {
        if (followEnd_) ScrollToEnd();
    });
}

void ReceiveView::ScrollToEnd() {
    scrolling_ = true;
    verticalScrollBar()->setValue(verticalScrollBar()->maximum());
    scrolling_ = false;
}

void ReceiveView::Append(std::string_view text) {
    // Drop what was already shown before the queue grows, so it never holds more than it must.
    if (pendingStart_ > 0 && pendingStart_ >= pending_.size() / 2) {
        pending_.erase(0, pendingStart_);
        pendingStart_ = 0;
    }
    pending_.append(text);
}

void ReceiveView::Clear() {
    pending_.clear();
    pending_.shrink_to_fit();
    pendingStart_ = 0;
    clear();
    followEnd_ = true;
}

bool ReceiveView::InsertPending() {
    if (PendingBytes() == 0) return true;
    const std::string_view rest = std::string_view(pending_).substr(pendingStart_);
    std::size_t n = Utf8CutLength(rest, stepBytes_);
    if (n == 0) n = std::min<std::size_t>(rest.size(), 4);

    QElapsedTimer timer;
    timer.start();
    // While the text goes in, the bar moves with the layout, not with the user.
    scrolling_ = true;
    QTextCursor cursor(document());
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(QString::fromUtf8(rest.data(), static_cast<qsizetype>(n)));
    scrolling_ = false;
    if (followEnd_) ScrollToEnd();
    const qint64 took = timer.elapsed();

    pendingStart_ += n;
    if (pendingStart_ == pending_.size()) {
        pending_.clear();
        pendingStart_ = 0;
    }
    if (took > kStepTargetMs) {
        stepBytes_ = std::max(kMinStep, stepBytes_ / 2);
    } else if (took < kStepTargetMs / 3 && n + 3 >= stepBytes_) {
        stepBytes_ = std::min(kMaxStep, stepBytes_ * 2);
    }
    return PendingBytes() == 0;
}

} // namespace tarvotcpc::ui
