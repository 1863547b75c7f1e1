// Small pieces that several windows build the same way.
#pragma once

#include <QFont>
#include <QString>

class QDialog;
class QHBoxLayout;
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

// A right-aligned row of OK (the default button) and キャンセル, wired to the dialog's accept
// and reject.
QHBoxLayout *NewOkCancelRow(QDialog *dialog);

} // namespace tarvotcpc::ui
