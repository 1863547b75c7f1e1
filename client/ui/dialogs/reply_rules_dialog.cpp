#include "dialogs/reply_rules_dialog.hpp"
#include "common/widgets.hpp"

#include <QComboBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include <utility>

#include "common/message_seam.hpp"
#include "dialogs/template_edit_dialog.hpp"
#include "session/reply_settings.hpp"

namespace tarvotcpc::ui {

namespace {

QString Shown(const ReplyRule &rule) {
    return QString::fromStdString(rule.name);
}

} // namespace

ReplyRulesDialog::ReplyRulesDialog(QWidget *parent, std::vector<ReplyRule> rules)
    : QDialog(parent), rules_(std::move(rules)), list_(new QListWidget(this)),
      name_(new QLineEdit(this)), match_(new QComboBox(this)), pattern_(new QLineEdit(this)),
      reply_(new QPlainTextEdit(this)), remove_(new QPushButton(Text("削除(&D)"), this)),
      problem_(new QLabel(this)) {
    setObjectName(QStringLiteral("replyRulesDialog"));
    setWindowTitle(Text("自動応答の規則"));
    setAccessibleName(windowTitle());

    auto *listLabel = new QLabel(Text("規則(&L):"), this);
    listLabel->setBuddy(list_);
    list_->setObjectName(QStringLiteral("rulesListWidget"));
    list_->setAccessibleName(Text("自動応答の規則"));
    for (const ReplyRule &rule : rules_)
        list_->addItem(Shown(rule));
    auto *add = new QPushButton(Text("追加(&A)"), this);
    add->setObjectName(QStringLiteral("addPushButton"));
    add->setAccessibleName(Text("規則を追加"));
    add->setAutoDefault(false);
    remove_->setObjectName(QStringLiteral("removePushButton"));
    remove_->setAccessibleName(Text("規則を削除"));
    remove_->setAutoDefault(false);

    name_->setObjectName(QStringLiteral("ruleNameLineEdit"));
    name_->setAccessibleName(Text("規則の名前"));
    name_->setValidator(new Utf8LengthValidator(kReplyRuleNameLimit, name_));
    match_->setObjectName(QStringLiteral("matchComboBox"));
    match_->setAccessibleName(Text("照合のしかた"));
    for (const char *label : kReplyMatchLabels)
        match_->addItem(Text(label));
    pattern_->setObjectName(QStringLiteral("patternLineEdit"));
    pattern_->setAccessibleName(Text("照合する文字列"));
    reply_->setObjectName(QStringLiteral("replyPlainTextEdit"));
    reply_->setAccessibleName(Text("応答"));
    reply_->setTabChangesFocus(true);
    auto *help = new QLabel(
        Text("受信データ (表示中の文字コードで読んだもの) が一致するたびに、応答を送信データと同じ"
             "文字コード・改行・エスケープで送ります。応答の %0% は一致した部分、%1%〜%9% は正規"
             "表現の ( ) の部分になります。"),
        this);
    help->setObjectName(QStringLiteral("helpLabel"));
    help->setWordWrap(true);
    problem_->setObjectName(QStringLiteral("problemLabel"));
    problem_->setWordWrap(true);
    problem_->setStyleSheet(QStringLiteral("color: #b00020"));
    problem_->setAccessibleName(Text("規則の問題"));

    auto *fields = new QFormLayout;
    const auto addRow = [&](const char *text, QWidget *field) {
        auto *label = new QLabel(Text(text), this);
        label->setBuddy(field);
        fields->addRow(label, field);
    };
    addRow("名前(&N):", name_);
    addRow("照合(&K):", match_);
    addRow("文字列(&P):", pattern_);
    addRow("応答(&R):", reply_);

    auto *listButtons = new QHBoxLayout;
    listButtons->addWidget(add);
    listButtons->addWidget(remove_);
    auto *left = new QVBoxLayout;
    left->addWidget(listLabel);
    left->addWidget(list_);
    left->addLayout(listButtons);

    auto *layout = new QGridLayout(this);
    layout->addLayout(left, 0, 0, 2, 1);
    layout->addLayout(fields, 0, 1);
    layout->addWidget(help, 1, 1);
    layout->addWidget(problem_, 2, 0, 1, 2);
    layout->addLayout(NewOkCancelRow(this), 3, 0, 1, 2);
    layout->setColumnStretch(1, 1);
    resize(620, 360);
    // The list and its buttons, then the selected rule's fields, then OK and キャンセル.
    QWidget *order[] = {list_,
                        add,
                        remove_,
                        name_,
                        match_,
                        pattern_,
                        reply_,
                        findChild<QPushButton *>(QStringLiteral("okPushButton")),
                        findChild<QPushButton *>(QStringLiteral("cancelPushButton"))};
    for (std::size_t i = 0; i + 1 < std::size(order); ++i)
        if (order[i] != nullptr && order[i + 1] != nullptr) setTabOrder(order[i], order[i + 1]);

    connect(add, &QPushButton::clicked, this, &ReplyRulesDialog::Add);
    connect(remove_, &QPushButton::clicked, this, &ReplyRulesDialog::Remove);
    connect(list_, &QListWidget::currentRowChanged, this, &ReplyRulesDialog::Select);
    connect(name_, &QLineEdit::textEdited, this, &ReplyRulesDialog::Store);
    connect(pattern_, &QLineEdit::textEdited, this, &ReplyRulesDialog::Store);
    connect(match_, &QComboBox::currentIndexChanged, this, &ReplyRulesDialog::Store);
    connect(reply_, &QPlainTextEdit::textChanged, this, &ReplyRulesDialog::Store);

    if (rules_.empty()) {
        ShowFields();
    } else {
        list_->setCurrentRow(0);
    }
}

void ReplyRulesDialog::ShowFields() {
    const bool any = row_ >= 0 && row_ < static_cast<int>(rules_.size());
    showing_ = true;
    const ReplyRule rule = any ? rules_[static_cast<std::size_t>(row_)] : ReplyRule{};
    name_->setText(QString::fromStdString(rule.name));
    match_->setCurrentIndex(static_cast<int>(rule.match));
    pattern_->setText(QString::fromStdString(rule.pattern));
    reply_->setPlainText(QString::fromStdString(rule.reply));
    showing_ = false;
    for (QWidget *field : {static_cast<QWidget *>(name_), static_cast<QWidget *>(match_),
                           static_cast<QWidget *>(pattern_), static_cast<QWidget *>(reply_),
                           static_cast<QWidget *>(remove_)})
        field->setEnabled(any);
}

void ReplyRulesDialog::Select(int row) {
    row_ = row;
    ShowFields();
}

void ReplyRulesDialog::Store() {
    if (showing_ || row_ < 0 || row_ >= static_cast<int>(rules_.size())) return;
    ReplyRule &rule = rules_[static_cast<std::size_t>(row_)];
    rule.name = name_->text().toStdString();
    rule.match = static_cast<ReplyMatch>(std::max(0, match_->currentIndex()));
    rule.pattern = pattern_->text().toStdString();
    rule.reply = PlainTextOf(reply_);
    list_->item(row_)->setText(Shown(rule));
}

void ReplyRulesDialog::Add() {
    ReplyRule rule;
    rule.name = NewReplyRuleName(rules_);
    rules_.push_back(rule);
    list_->addItem(Shown(rule));
    list_->setCurrentRow(static_cast<int>(rules_.size()) - 1);
    name_->setFocus();
    name_->selectAll();
}

void ReplyRulesDialog::Remove() {
    if (row_ < 0 || row_ >= static_cast<int>(rules_.size())) return;
    const int row = row_;
    rules_.erase(rules_.begin() + row);
    row_ = -1; // the list's signal below selects the next
    delete list_->takeItem(row);
    if (rules_.empty()) {
        ShowFields();
        list_->setFocus();
    }
}

void ReplyRulesDialog::accept() {
    Store();
    if (const std::optional<ReplyRulesProblem> problem = FindReplyRulesProblem(rules_)) {
        const QString text = QString::fromStdString(problem->text);
        problem_->setText(text);
        problem_->setAccessibleName(text);
        list_->setCurrentRow(static_cast<int>(problem->index));
        switch (problem->field) {
        case ReplyRuleField::Name:
            name_->setFocus();
            break;
        case ReplyRuleField::Pattern:
            pattern_->setFocus();
            break;
        case ReplyRuleField::Reply:
            reply_->setFocus();
            break;
        }
        return;
    }
    QDialog::accept();
}

bool ExecReplyRulesDialog(QWidget *parent, const std::string &path) {
    const StoredReplyRules stored = LoadReplyRules(path);
    if (!stored.readable) {
        ShowMessageBox(parent, Text("設定ファイルを読めないため、自動応答の規則を編集できません"),
                       MessageStyle::Warning);
        return false;
    }
    ReplyRulesDialog dialog(parent, stored.rules);
    if (dialog.exec() != QDialog::Accepted) return false;
    if (!SaveReplyRules(path, dialog.Rules())) {
        ShowMessageBox(parent,
                       Text("自動応答の規則を設定ファイルに保存できませんでした: ") +
                           QString::fromStdString(path),
                       MessageStyle::Warning);
        return false;
    }
    return true;
}

} // namespace tarvotcpc::ui
