#include "dialogs/template_insert_dialog.hpp"
#include "common/widgets.hpp"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "dialogs/dialogs.hpp"
#include "settings/templates.hpp"

namespace tarvotcpc::ui {

namespace {

constexpr int kNameColumnWidth = 160;

} // namespace

TemplateInsertDialog::TemplateInsertDialog(QWidget *parent, const SettingsHashes &settings)
    : QDialog(parent), settings_(settings), list_(NewTemplateList(this, kNameColumnWidth)) {
    setObjectName(QStringLiteral("templateInsertDialog"));
    setWindowTitle(Text("定型文の挿入"));
    setAccessibleName(windowTitle());

    for (const std::string &name : TemplateNames(settings_.templates))
        list_->addTopLevelItem(new QTreeWidgetItem({QString::fromStdString(name)}));
    connect(list_, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem *item) {
        list_->setCurrentItem(item);
        accept();
    });

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(list_, 1);
    layout->addLayout(NewOkCancelRow(this));
    resize(260, 240);
}

void TemplateInsertDialog::accept() {
    const QList<QTreeWidgetItem *> selected = list_->selectedItems();
    if (selected.isEmpty()) return;
    const std::optional<std::string> text =
        TemplateInsertionText(settings_.templates, list_->indexOfTopLevelItem(selected.first()));
    if (!text) return;
    text_ = QString::fromStdString(*text);
    QDialog::accept();
}

std::optional<QString> ExecTemplateInsertDialog(QWidget *parent, const SettingsHashes &settings) {
    TemplateInsertDialog dialog(parent, settings);
    if (dialog.exec() != QDialog::Accepted) return std::nullopt;
    return dialog.InsertionText();
}

} // namespace tarvotcpc::ui
