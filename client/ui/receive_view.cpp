#include "receive_view.hpp"

#include <QScrollBar>
#include <QTextCursor>

#include "widgets.hpp"

namespace tarvotcpc::ui {

ReceiveView::ReceiveView(QWidget *parent) : QPlainTextEdit(parent) {
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
    if (text.empty()) return;
    // While the text goes in, the bar moves with the layout, not with the user.
    scrolling_ = true;
    QTextCursor cursor(document());
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())));
    scrolling_ = false;
    if (followEnd_) ScrollToEnd();
}

void ReceiveView::Clear() {
    clear();
    followEnd_ = true;
}

} // namespace tarvotcpc::ui
