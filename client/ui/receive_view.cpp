#include "receive_view.hpp"

#include <QFontDatabase>
#include <QScrollBar>
#include <QTextCursor>

namespace tarvotcpc::ui {

ReceiveView::ReceiveView(QWidget *parent) : QPlainTextEdit(parent) {
    setReadOnly(true);
    setUndoRedoEnabled(false);
    setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    setLineWrapMode(QPlainTextEdit::NoWrap);
    setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
}

void ReceiveView::Append(std::string_view text) {
    if (text.empty()) return;
    QScrollBar *bar = verticalScrollBar();
    const bool following = bar->value() >= bar->maximum();
    QTextCursor cursor(document());
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())));
    if (following) bar->setValue(bar->maximum());
}

void ReceiveView::Clear() {
    clear();
}

} // namespace tarvotcpc::ui
