// Small pieces that several windows build the same way.
#pragma once

#include <QFont>
#include <QString>

#include <string>

class QDialog;
class QDialogButtonBox;
class QHBoxLayout;
class QPlainTextEdit;
class QTreeWidget;
class QWidget;

namespace tarvotcpc::ui {

// The program's texts are UTF-8 in the sources.
inline QString Text(const char *utf8) {
    return QString::fromUtf8(utf8);
}

// The font of both pages: one monospaced face that carries Japanese, so that digits, Latin and
// Japanese text keep to one grid (a Japanese character two columns wide). A fallback face for some
// characters only would break the columns of a listing.
QFont PageFont();

// The one-column "定型文" list: full-row single selection, no tree decoration.
QTreeWidget *NewTemplateList(QWidget *parent, int nameColumnWidth);

// An edit's whole text as typed, with LF line breaks. The raw text keeps every character (plain
// text would turn no-break spaces into spaces); only the edit's own paragraph and line separators
// become line breaks.
std::string PlainTextOf(const QPlainTextEdit *edit);

// A right-aligned row of OK (the default button) and キャンセル, wired to the dialog's accept
// and reject.
QHBoxLayout *NewOkCancelRow(QDialog *dialog);

// A button box of one accepting button (the default; acceptText, named acceptName) and
// キャンセル ("cancelPushButton"), wired to the dialog's accept and reject.
QDialogButtonBox *NewAcceptCancelBox(QDialog *dialog, const QString &acceptText,
                                     const QString &acceptName);

} // namespace tarvotcpc::ui
