#include "common/widgets.hpp"

#include <QPlainTextEdit>
#include <QTextDocument>

#include <QDialog>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QPushButton>
#include <QTreeWidget>

namespace tarvotcpc::ui {

QFont PageFont() {
    QFont font(QStringLiteral("Noto Sans Mono CJK JP"));
    font.setStyleHint(QFont::TypeWriter);
    font.setFixedPitch(true);
    return font;
}

QTreeWidget *NewTemplateList(QWidget *parent, int nameColumnWidth) {
    auto *list = new QTreeWidget(parent);
    list->setObjectName(QStringLiteral("templateTreeWidget"));
    list->setAccessibleName(Text("定型文"));
    list->setColumnCount(1);
    list->setHeaderLabels({Text("定型文")});
    list->header()->setSectionsClickable(false);
    list->setColumnWidth(0, nameColumnWidth);
    list->setRootIsDecorated(false);
    list->setItemsExpandable(false);
    list->setUniformRowHeights(true);
    list->setSelectionMode(QAbstractItemView::SingleSelection);
    list->setSelectionBehavior(QAbstractItemView::SelectRows);
    return list;
}

std::string PlainTextOf(const QPlainTextEdit *edit) {
    QString text = edit->document()->toRawText();
    text.replace(QChar::ParagraphSeparator, QLatin1Char('\n'));
    text.replace(QChar::LineSeparator, QLatin1Char('\n'));
    return text.toStdString();
}

QHBoxLayout *NewOkCancelRow(QDialog *dialog) {
    auto *ok = new QPushButton(Text("OK"), dialog);
    ok->setObjectName(QStringLiteral("okPushButton"));
    ok->setAccessibleName(ok->text());
    ok->setDefault(true);
    auto *cancel = new QPushButton(Text("キャンセル"), dialog);
    cancel->setObjectName(QStringLiteral("cancelPushButton"));
    cancel->setAccessibleName(cancel->text());
    cancel->setAutoDefault(false);
    QObject::connect(ok, &QPushButton::clicked, dialog, &QDialog::accept);
    QObject::connect(cancel, &QPushButton::clicked, dialog, &QDialog::reject);

    auto *row = new QHBoxLayout;
    row->addStretch();
    row->addWidget(ok);
    row->addWidget(cancel);
    return row;
}

QDialogButtonBox *NewAcceptCancelBox(QDialog *dialog, const QString &acceptText,
                                     const QString &acceptName) {
    auto *buttons = new QDialogButtonBox(dialog);
    QPushButton *accept = buttons->addButton(acceptText, QDialogButtonBox::AcceptRole);
    QPushButton *cancel = buttons->addButton(Text("キャンセル"), QDialogButtonBox::RejectRole);
    accept->setObjectName(acceptName);
    cancel->setObjectName(QStringLiteral("cancelPushButton"));
    accept->setDefault(true);
    QObject::connect(buttons, &QDialogButtonBox::accepted, dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
    return buttons;
}

} // namespace tarvotcpc::ui
