#include "dialogs/options_dialog.hpp"
#include "common/widgets.hpp"

#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "session/message_style.hpp"
#include "hosts/destination.hpp"
#include "common/dialog_seam.hpp"
#include "dialogs/dialogs.hpp"
#include "common/message_seam.hpp"
#include "dialogs/template_edit_dialog.hpp"

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

    std::array<QWidget *, kOptionCount> rows{}; // what the layout takes for each option
    for (const OptionRow &row : kOptionTable)
        rows[static_cast<std::size_t>(row.option)] = AddOptionRow(row);
    QWidget *hostSave = rows[static_cast<std::size_t>(Option::HostSave)];
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
    for (QWidget *row : rows) {
        if (row == hostSave) {
            layout->addLayout(hostRow);
        } else {
            layout->addWidget(row);
        }
    }
    layout->addWidget(listLabel);
    layout->addLayout(templateRow, 1);
    layout->addLayout(NewOkCancelRow(this));
    resize(380, 480);
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

// The control of one option, and what the layout takes for it: the check box itself, or a row
// of a label and the control.
QWidget *OptionsDialog::AddOptionRow(const OptionRow &row) {
    const OptionValues &values = session_.Switches();
    const QString objectName = QString::fromLatin1(row.objectName);
    QWidget *control = nullptr;
    QWidget *layoutItem = nullptr;
    if (row.kind == OptionKind::Switch) {
        auto *box = new QCheckBox(Text(row.label), this);
        box->setChecked(values[row.option]);
        control = layoutItem = box;
    } else {
        layoutItem = new QWidget(this);
        auto *line = new QHBoxLayout(layoutItem);
        line->setContentsMargins(0, 0, 0, 0);
        auto *label = new QLabel(Text(row.label), layoutItem);
        line->addWidget(label);
        if (row.kind == OptionKind::Choice) {
            auto *combo = new QComboBox(layoutItem);
            for (const OptionChoice &choice : row.choices)
                combo->addItem(Text(choice.label), QString::fromLatin1(choice.value));
            combo->setCurrentIndex(
                combo->findData(QString::fromStdString(values.Text(row.option))));
            line->addWidget(combo, 1);
            control = combo;
        } else if (row.kind == OptionKind::Text) {
            auto *edit = new QLineEdit(QString::fromStdString(values.Text(row.option)), layoutItem);
            line->addWidget(edit, 1);
            control = edit;
        } else {
            auto *edit = new QLineEdit(QString::fromStdString(values.Text(row.option)), layoutItem);
            line->addWidget(edit, 1);
            QString buttonName = objectName;
            buttonName.replace(QStringLiteral("LineEdit"), QStringLiteral("BrowsePushButton"));
            QPushButton *browse = MakeButton(layoutItem, "参照...", "");
            browse->setObjectName(buttonName);
            browse->setAccessibleName(Text(row.label) + browse->text());
            line->addWidget(browse);
            const Option option = row.option;
            if (row.kind == OptionKind::File) {
                connect(browse, &QPushButton::clicked, this,
                        [this, option] { BrowseFile(option); });
            } else {
                connect(browse, &QPushButton::clicked, this,
                        [this, option] { BrowseFolder(option); });
            }
            control = edit;
        }
        label->setBuddy(control);
        control->setAccessibleName(label->text());
    }
    control->setObjectName(objectName);
    if (row.kind == OptionKind::Switch) control->setAccessibleName(Text(row.label));
    controls_[static_cast<std::size_t>(row.option)] = control;
    return layoutItem;
}

OptionValues OptionsDialog::Chosen() const {
    OptionValues values = session_.Switches();
    for (const OptionRow &row : kOptionTable) {
        QWidget *control = controls_[static_cast<std::size_t>(row.option)];
        switch (row.kind) {
        case OptionKind::Switch:
            values[row.option] = static_cast<QCheckBox *>(control)->isChecked();
            break;
        case OptionKind::Choice:
            values.SetText(
                row.option,
                static_cast<QComboBox *>(control)->currentData().toString().toStdString());
            break;
        case OptionKind::Folder:
        case OptionKind::Text:
        case OptionKind::File:
            values.SetText(row.option, static_cast<QLineEdit *>(control)->text().toStdString());
            break;
        }
    }
    return values;
}

void OptionsDialog::BrowseFolder(Option option) {
    auto *edit = static_cast<QLineEdit *>(controls_[static_cast<std::size_t>(option)]);
    QFileDialog dialog(this, Text(RowOf(option).label), edit->text());
    dialog.setObjectName(QStringLiteral("folderFileDialog"));
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOption(QFileDialog::ShowDirsOnly);
    if (ExecFileDialog(dialog) != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
    edit->setText(dialog.selectedFiles().first());
}

void OptionsDialog::BrowseFile(Option option) {
    auto *edit = static_cast<QLineEdit *>(controls_[static_cast<std::size_t>(option)]);
    QFileDialog dialog(this, Text(RowOf(option).label), edit->text());
    dialog.setObjectName(QStringLiteral("fileFileDialog"));
    dialog.setFileMode(QFileDialog::AnyFile);
    // Lines are appended to the file chosen: nothing in it is overwritten.
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setOption(QFileDialog::DontConfirmOverwrite);
    if (ExecFileDialog(dialog) != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
    edit->setText(dialog.selectedFiles().first());
}

void OptionsDialog::accept() {
    for (const OptionRow &row : kOptionTable) {
        if (row.kind == OptionKind::Switch || row.kind == OptionKind::Choice) continue;
        auto *edit = static_cast<QLineEdit *>(controls_[static_cast<std::size_t>(row.option)]);
        const std::string problem = OptionTextProblem(row.option, edit->text().toStdString());
        if (problem.empty()) continue;
        ShowMessageBox(this, QString::fromStdString(problem), MessageStyle::Warning);
        edit->setFocus();
        return;
    }
    // Memory holds the new state even if the file could not be written; like every other write
    // of the settings file, a failure is not reported.
    session_.Ok(Chosen());
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
