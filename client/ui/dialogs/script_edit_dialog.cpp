#include "dialogs/script_edit_dialog.hpp"

#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFontDatabase>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "common/dialog_seam.hpp"
#include "common/message_seam.hpp"
#include "common/widgets.hpp"
#include "saves/saving.hpp"

namespace tarvotcpc::ui {

ScriptEditDialog::ScriptEditDialog(QWidget *parent, const QString &script) : QDialog(parent) {
    setObjectName(QStringLiteral("scriptEditDialog"));
    setWindowTitle(Text("スクリプトの編集"));
    setAccessibleName(windowTitle());
    auto *layout = new QVBoxLayout(this);
    auto *label = new QLabel(Text("スクリプト(&T):"), this);
    editor_ = new QPlainTextEdit(this);
    editor_->setObjectName(QStringLiteral("scriptEdit"));
    editor_->setAccessibleName(Text("スクリプト"));
    editor_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    editor_->setLineWrapMode(QPlainTextEdit::NoWrap);
    // Tab moves to the buttons, as everywhere else in the dialogs: a script needs no tab.
    editor_->setTabChangesFocus(true);
    editor_->setPlainText(script);
    label->setBuddy(editor_);
    layout->addWidget(label);
    layout->addWidget(editor_);

    auto *buttons = new QDialogButtonBox(this);
    save_ = buttons->addButton(Text("保存(&S)..."), QDialogButtonBox::ActionRole);
    save_->setObjectName(QStringLiteral("saveScriptButton"));
    run_ = buttons->addButton(Text("実行(&R)"), QDialogButtonBox::AcceptRole);
    run_->setObjectName(QStringLiteral("runScriptButton"));
    QPushButton *close = buttons->addButton(Text("閉じる"), QDialogButtonBox::RejectRole);
    close->setObjectName(QStringLiteral("closeScriptButton"));
    connect(save_, &QPushButton::clicked, this, &ScriptEditDialog::Save);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
    resize(720, 480);
}

QString ScriptEditDialog::Script() const {
    return editor_->toPlainText();
}

void ScriptEditDialog::Save() {
    QFileDialog dialog(this, Text("スクリプトを保存"));
    dialog.setObjectName(QStringLiteral("saveScriptFileDialog"));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setNameFilter(Text("Luaスクリプト(*.lua);;すべてのファイル(*)"));
    dialog.setDefaultSuffix(QStringLiteral("lua"));
    dialog.selectFile(QStringLiteral("replay.lua"));
    if (ExecFileDialog(dialog) != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
    const std::string path = dialog.selectedFiles().first().toStdString();
    // Whole or not at all, as every save: a half-written script would run half an exchange.
    AtomicFile file(path);
    const QByteArray bytes = Script().toUtf8();
    if (file.ok() && file.Write(std::string_view(bytes.constData(), bytes.size())) && file.Commit())
        return;
    ShowMessageBox(this, QString::fromStdString(file.error()), MessageStyle::Warning);
}

} // namespace tarvotcpc::ui
