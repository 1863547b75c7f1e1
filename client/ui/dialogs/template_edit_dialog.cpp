#include "dialogs/template_edit_dialog.hpp"
#include "common/widgets.hpp"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextDocument>

#include <algorithm>
#include <utility>

#include "common/message_seam.hpp"

namespace tarvotcpc::ui {

namespace {

std::size_t Utf8Bytes(QStringView text) {
    std::size_t bytes = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t unit = text[i].unicode();
        if (unit < 0x80) {
            bytes += 1;
        } else if (unit < 0x800) {
            bytes += 2;
        } else if (QChar::isHighSurrogate(unit) && i + 1 < text.size() &&
                   QChar::isLowSurrogate(text[i + 1].unicode())) {
            bytes += 4;
            ++i;
        } else {
            bytes += 3; // a lone surrogate goes out as the replacement character
        }
    }
    return bytes;
}

} // namespace

Utf8LengthValidator::Utf8LengthValidator(std::size_t maxBytes, QObject *parent)
    : QValidator(parent), maxBytes_(maxBytes) {}

QValidator::State Utf8LengthValidator::validate(QString &input, int &pos) const {
    std::size_t over = Utf8Bytes(input);
    if (over <= maxBytes_) return Acceptable;
    over -= maxBytes_;
    // Whole characters before the cursor first, then (for a text set whole, cursor at its start)
    // from the end.
    const qsizetype end = std::clamp<qsizetype>(pos, 0, input.size());
    qsizetype start = end;
    while (over > 0 && start > 0) {
        qsizetype from = start - 1;
        if (from > 0 && input[from].isLowSurrogate() && input[from - 1].isHighSurrogate()) --from;
        const std::size_t bytes = Utf8Bytes(QStringView(input).mid(from, start - from));
        start = from;
        over = bytes >= over ? 0 : over - bytes;
    }
    input.remove(start, end - start);
    pos = static_cast<int>(start);
    while (over > 0 && !input.isEmpty()) {
        qsizetype from = input.size() - 1;
        if (from > 0 && input[from].isLowSurrogate() && input[from - 1].isHighSurrogate()) --from;
        const std::size_t bytes = Utf8Bytes(QStringView(input).mid(from));
        input.truncate(from);
        over = bytes >= over ? 0 : over - bytes;
    }
    pos = qMin<int>(pos, static_cast<int>(input.size()));
    return Acceptable;
}

TemplateEditDialog::TemplateEditDialog(QWidget *parent, const TemplateDraft &draft, Commit commit)
    : QDialog(parent), commit_(std::move(commit)), name_(new QLineEdit(this)),
      text_(new QPlainTextEdit(this)) {
    setObjectName(QStringLiteral("templateEditDialog"));
    setWindowTitle(Text("定型文の追加・編集"));
    setAccessibleName(windowTitle());

    auto *nameLabel = new QLabel(Text("定型文名:"), this);
    nameLabel->setObjectName(QStringLiteral("nameLabel"));
    nameLabel->setBuddy(name_);
    name_->setObjectName(QStringLiteral("nameLineEdit"));
    name_->setAccessibleName(Text("定型文名"));
    name_->setValidator(new Utf8LengthValidator(kTemplateNameLimit, name_));

    text_->setObjectName(QStringLiteral("textPlainTextEdit"));
    text_->setAccessibleName(Text("定型文"));
    text_->setTabChangesFocus(true);

    if (!draft.name.empty()) {
        name_->setText(QString::fromStdString(draft.name));
        text_->setPlainText(QString::fromStdString(draft.text));
    }

    // Enter in the text makes a line break; it reaches OK only from the name field.
    QHBoxLayout *buttons = NewOkCancelRow(this);

    auto *layout = new QGridLayout(this);
    layout->addWidget(nameLabel, 0, 0);
    layout->addWidget(name_, 0, 1);
    layout->addWidget(text_, 1, 0, 1, 2);
    layout->addLayout(buttons, 2, 0, 1, 2);
    layout->setRowStretch(1, 1);
    resize(360, 280);
}

void TemplateEditDialog::accept() {
    const std::string warning = commit_(name_->text().toStdString(), PlainTextOf(text_));
    if (!warning.empty()) {
        ShowMessageBox(this, QString::fromStdString(warning), MessageStyle::Warning);
        name_->setFocus();
        return;
    }
    QDialog::accept();
}

} // namespace tarvotcpc::ui
