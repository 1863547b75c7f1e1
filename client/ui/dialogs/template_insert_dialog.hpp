// "定型文の挿入": picks one stored template; its text (decoded, line breaks as LF) is what the
// main window appends to the send page. OK without a selection does nothing and keeps the dialog
// open; a double-click on a row inserts that template at once, as users expect of a list to pick
// from.
#pragma once

#include <QDialog>
#include <QString>

#include "settings/settings.hpp"

class QTreeWidget;
class QTreeWidgetItem;

namespace tarvotcpc::ui {

class TemplateInsertDialog : public QDialog {
    Q_OBJECT

  public:
    TemplateInsertDialog(QWidget *parent, const SettingsHashes &settings);

    // The text to append, once the dialog was accepted.
    const QString &InsertionText() const { return text_; }
    QTreeWidget *TemplateList() const { return list_; }

  public slots:
    void accept() override;

  private:
    const SettingsHashes &settings_;
    QTreeWidget *list_;
    QString text_;
};

} // namespace tarvotcpc::ui
