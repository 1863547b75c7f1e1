// "スクリプトの編集": a script made from the record, to read and change before it runs. It can be
// saved to a file the user picks and run against the connection; closing it runs nothing.
#pragma once

#include <QDialog>

class QPlainTextEdit;
class QPushButton;

namespace tarvotcpc::ui {

class ScriptEditDialog : public QDialog {
    Q_OBJECT

  public:
    ScriptEditDialog(QWidget *parent, const QString &script);

    // Accepted: run Script().
    QString Script() const;
    QPlainTextEdit *Editor() const { return editor_; }
    QPushButton *SaveButton() const { return save_; }
    QPushButton *RunButton() const { return run_; }

  private:
    void Save();

    QPlainTextEdit *editor_;
    QPushButton *save_;
    QPushButton *run_;
};

} // namespace tarvotcpc::ui
