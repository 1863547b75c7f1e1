#include "options_dialog.hpp"
#include "widgets.hpp"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "message_style.hpp"
#include "destination.hpp"
#include "dialogs.hpp"
#include "message_seam.hpp"
#include "template_edit_dialog.hpp"

namespace tarvotcpc::ui {

namespace {

constexpr int kNameColumnWidth = 110;

QPushButton *MakeButton(QWidget *parent, const char *text, const char *objectName) {
    auto *button = new QPushButton(Text(text), parent);
    button->setObjectName(QString::fromLatin1(objectName));
    button->setAccessibleName(button->text());
    button->setAutoDefault(false);
    return button;
}

} // namespace

OptionsDialog::OptionsDialog(QWidget *parent, SettingsHashes &settings,
                             const std::string &settingsPath)
    : QDialog(parent), settings_(settings), settingsPath_(settingsPath),
      session_(settings, settingsPath) {
    setObjectName(QStringLiteral("optionsDialog"));
    setWindowTitle(Text("オプション"));
    setAccessibleName(windowTitle());

    for (const OptionRow &row : kOptionTable) {
        auto *box = new QCheckBox(Text(row.label), this);
        box->setObjectName(QString::fromLatin1(row.objectName));
        box->setAccessibleName(box->text());
        box->setChecked(session_.Switches()[row.option]);
        checkBoxes_[static_cast<std::size_t>(row.option)] = box;
    }
    QCheckBox *hostSave = checkBoxes_[static_cast<std::size_t>(Option::HostSave)];
    QPushButton *clearHosts = MakeButton(this, "接続先のクリア", "clearHostsPushButton");

    auto *listLabel = new QLabel(Text("定型文:"), this);
    listLabel->setObjectName(QStringLiteral("templatesLabel"));
    list_ = NewTemplateList(this, kNameColumnWidth);
    listLabel->setBuddy(list_);
    FillList(-1);

    QPushButton *add = MakeButton(this, "追加", "addPushButton");
    QPushButton *edit = MakeButton(this, "編集", "editPushButton");
    QPushButton *remove = MakeButton(this, "削除", "deletePushButton");

    connect(clearHosts, &QPushButton::clicked, this, &OptionsDialog::ClearHosts);
    connect(add, &QPushButton::clicked, this, &OptionsDialog::AddTemplate);
    connect(edit, &QPushButton::clicked, this, &OptionsDialog::EditTemplate);
    connect(remove, &QPushButton::clicked, this, &OptionsDialog::DeleteTemplate);

    auto *hostRow = new QHBoxLayout;
    hostRow->addWidget(hostSave);
    hostRow->addStretch();
    hostRow->addWidget(clearHosts);

    auto *templateButtons = new QVBoxLayout;
    templateButtons->addWidget(add);
    templateButtons->addWidget(edit);
    templateButtons->addWidget(remove);
    templateButtons->addStretch();
    auto *templateRow = new QHBoxLayout;
    templateRow->addWidget(list_, 1);
    templateRow->addLayout(templateButtons);

    auto *layout = new QVBoxLayout(this);
    // The history's switch shares its row with the button that clears the history.
    for (QCheckBox *box : checkBoxes_) {
        if (box == hostSave) {
            layout->addLayout(hostRow);
        } else {
            layout->addWidget(box);
        }
    }
    layout->addWidget(listLabel);
    layout->addLayout(templateRow, 1);
    layout->addLayout(NewOkCancelRow(this));
    resize(340, 380);
}

void OptionsDialog::FillList(int select) {
    list_->clear();
    for (const std::string &name : session_.Names())
        list_->addTopLevelItem(new QTreeWidgetItem({QString::fromStdString(name)}));
    if (QTreeWidgetItem *item = list_->topLevelItem(select)) {
        list_->setCurrentItem(item);
        list_->scrollToItem(item);
    }
}

int OptionsDialog::SelectedRow() const {
    const QList<QTreeWidgetItem *> selected = list_->selectedItems();
    return selected.isEmpty() ? -1 : list_->indexOfTopLevelItem(selected.first());
}

void OptionsDialog::accept() {
    OptionValues switches;
    for (const OptionRow &row : kOptionTable)
        switches[row.option] = checkBoxes_[static_cast<std::size_t>(row.option)]->isChecked();
    // Memory holds the new state even if the file could not be written; like every other write
    // of the settings file, a failure is not reported.
    session_.Ok(switches);
    QDialog::accept();
}

void OptionsDialog::ClearHosts() {
    QMessageBox question(QMessageBox::Information, Text(kProductCaption), Text(kClearHostsQuestion),
                         QMessageBox::Yes | QMessageBox::No, this);
    question.setObjectName(QStringLiteral("clearHostsQuestionMessageBox"));
    question.setAccessibleName(question.text());
    question.setDefaultButton(QMessageBox::Yes);
    question.button(QMessageBox::Yes)->setText(Text("はい"));
    question.button(QMessageBox::No)->setText(Text("いいえ"));
    ExecMessageBox(question);
    if (question.clickedButton() != question.button(QMessageBox::Yes)) return;

    // At once, and for good: Cancel of this dialog does not bring the history back.
    ClearHostHistory(settings_, settingsPath_);
    QMessageBox done(QMessageBox::Information, Text(kProductCaption), Text(kClearHostsDone),
                     QMessageBox::Ok, this);
    done.setObjectName(QStringLiteral("clearHostsDoneMessageBox"));
    done.setAccessibleName(done.text());
    ExecMessageBox(done);
}

void OptionsDialog::AddTemplate() {
    int row = -1;
    TemplateEditDialog editor(this, TemplateDraft{},
                              [&](const std::string &name, const std::string &text) {
                                  const TemplateEditResult result = session_.Add(name, text);
                                  row = result.row;
                                  return result.accepted ? std::string() : result.warning;
                              });
    if (editor.exec() == QDialog::Accepted) FillList(row);
}

void OptionsDialog::EditTemplate() {
    const int row = SelectedRow();
    const std::optional<TemplateDraft> draft = session_.Draft(row);
    if (!draft) return;
    TemplateEditDialog editor(this, *draft, [&](const std::string &name, const std::string &text) {
        const TemplateEditResult result = session_.Edit(row, name, text);
        return result.accepted ? std::string() : result.warning;
    });
    if (editor.exec() == QDialog::Accepted) FillList(row);
}

void OptionsDialog::DeleteTemplate() {
    const int row = SelectedRow();
    if (row < 0 || !session_.Delete(row)) return;
    delete list_->takeTopLevelItem(row);
}

void ExecOptionsDialog(QWidget *parent, SettingsHashes &settings, const std::string &settingsPath) {
    OptionsDialog dialog(parent, settings, settingsPath);
    dialog.exec();
}

} // namespace tarvotcpc::ui
