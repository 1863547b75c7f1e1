#include "template_insert_dialog.hpp"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "dialogs.hpp"
#include "templates.hpp"

namespace tarvotcpc::ui {

namespace {

constexpr int kNameColumnWidth = 160;

QString Text(const char *utf8) {
    return QString::fromUtf8(utf8);
}

} // namespace

TemplateInsertDialog::TemplateInsertDialog(QWidget *parent, const SettingsHashes &settings)
    : QDialog(parent), settings_(settings), list_(new QTreeWidget(this)) {
    setObjectName(QStringLiteral("templateInsertDialog"));
    setWindowTitle(Text("定型文の挿入"));
    setAccessibleName(windowTitle());

    list_->setObjectName(QStringLiteral("templateTreeWidget"));
    list_->setAccessibleName(Text("定型文"));
    list_->setColumnCount(1);
    list_->setHeaderLabels({Text("定型文")});
    list_->header()->setSectionsClickable(false);
    list_->setColumnWidth(0, kNameColumnWidth);
    list_->setRootIsDecorated(false);
    list_->setItemsExpandable(false);
    list_->setUniformRowHeights(true);
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    list_->setSelectionBehavior(QAbstractItemView::SelectRows);
    for (const std::string &name : TemplateNames(settings_.templates))
        list_->addTopLevelItem(new QTreeWidgetItem({QString::fromStdString(name)}));
    connect(list_, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem *item) {
        list_->setCurrentItem(item);
        accept();
    });

    auto *ok = new QPushButton(Text("OK"), this);
    ok->setObjectName(QStringLiteral("okPushButton"));
    ok->setAccessibleName(ok->text());
    ok->setDefault(true);
    auto *cancel = new QPushButton(Text("キャンセル"), this);
    cancel->setObjectName(QStringLiteral("cancelPushButton"));
    cancel->setAccessibleName(cancel->text());
    cancel->setAutoDefault(false);
    connect(ok, &QPushButton::clicked, this, &TemplateInsertDialog::accept);
    connect(cancel, &QPushButton::clicked, this, &TemplateInsertDialog::reject);

    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(ok);
    buttons->addWidget(cancel);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(list_, 1);
    layout->addLayout(buttons);
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
