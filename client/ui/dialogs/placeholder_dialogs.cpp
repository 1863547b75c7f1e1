#include "dialogs/placeholder_dialogs.hpp"
#include "common/widgets.hpp"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QTableWidget>
#include <QVBoxLayout>

#include "common/message_seam.hpp"
#include "exchange/placeholders.hpp"

namespace tarvotcpc::ui {

namespace {

QPushButton *AddButton(QDialogButtonBox *buttons, const char *text,
                       QDialogButtonBox::ButtonRole role, const char *name) {
    QPushButton *button = buttons->addButton(Text(text), role);
    button->setObjectName(QString::fromLatin1(name));
    button->setAccessibleName(button->text().remove('&'));
    return button;
}

// OK and キャンセル (or the given texts), wired to the dialog.
QDialogButtonBox *OkCancel(QDialog *dialog, const char *ok = "OK",
                           const char *cancel = "キャンセル") {
    auto *buttons = new QDialogButtonBox(dialog);
    QPushButton *okButton = AddButton(buttons, ok, QDialogButtonBox::AcceptRole, "okPushButton");
    AddButton(buttons, cancel, QDialogButtonBox::RejectRole, "cancelPushButton");
    okButton->setDefault(true);
    QObject::connect(buttons, &QDialogButtonBox::accepted, dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
    return buttons;
}

QPlainTextEdit *ReadOnlyPage(QWidget *parent, const std::string &text, const char *name,
                             const char *accessibleName) {
    auto *page = new QPlainTextEdit(parent);
    page->setObjectName(QString::fromLatin1(name));
    page->setAccessibleName(Text(accessibleName));
    page->setReadOnly(true);
    page->setLineWrapMode(QPlainTextEdit::NoWrap);
    page->setFont(PageFont());
    // Read-only text is still reached by Tab and read with the caret, for screen readers.
    page->setTextInteractionFlags(Qt::TextSelectableByKeyboard | Qt::TextSelectableByMouse);
    page->setTabChangesFocus(true);
    page->setPlainText(QString::fromStdString(text));
    return page;
}

} // namespace

VariablesDialog::VariablesDialog(QWidget *parent, const Variables &variables)
    : QDialog(parent), table_(new QTableWidget(0, 2, this)),
      add_(new QPushButton(Text("追加(&A)"), this)),
      remove_(new QPushButton(Text("削除(&D)"), this)) {
    setObjectName(QStringLiteral("variablesDialog"));
    setWindowTitle(Text("変数"));
    setAccessibleName(windowTitle());

    auto *hint = new QLabel(Text("送信データの %名前% は、送信時にここの値に置き換わります "
                                 "(送信メニューの「%名前% を置き換える」がオンのとき)。"),
                            this);
    hint->setObjectName(QStringLiteral("variablesHintLabel"));
    hint->setWordWrap(true);
    hint->setTextFormat(Qt::PlainText);

    table_->setObjectName(QStringLiteral("variablesTableWidget"));
    table_->setAccessibleName(Text("変数の一覧"));
    table_->setAccessibleDescription(hint->text());
    table_->setHorizontalHeaderLabels({Text("名前"), Text("値")});
    table_->horizontalHeader()->setStretchLastSection(true);
    table_->horizontalHeader()->resizeSection(0, 160);
    table_->verticalHeader()->setVisible(false);
    table_->setSelectionBehavior(QAbstractItemView::SelectRows);
    table_->setSelectionMode(QAbstractItemView::SingleSelection);
    // Tab leaves the table for the buttons; the arrows move between cells, F2 or typing edits.
    table_->setTabKeyNavigation(false);
    for (const auto &[name, value] : variables)
        AddRow(QString::fromStdString(name), QString::fromStdString(value));

    add_->setObjectName(QStringLiteral("addVariablePushButton"));
    add_->setAccessibleName(Text("追加"));
    remove_->setObjectName(QStringLiteral("removeVariablePushButton"));
    remove_->setAccessibleName(Text("削除"));
    connect(add_, &QPushButton::clicked, this, [this] {
        AddRow(QString(), QString());
        const int row = table_->rowCount() - 1;
        table_->setCurrentCell(row, 0);
        table_->setFocus();
        table_->editItem(table_->item(row, 0));
    });
    connect(remove_, &QPushButton::clicked, this, [this] {
        const int row = table_->currentRow();
        if (row < 0) return;
        table_->removeRow(row);
        if (table_->rowCount() > 0)
            table_->setCurrentCell(std::min(row, table_->rowCount() - 1), 0);
        table_->setFocus();
    });

    auto *side = new QVBoxLayout;
    side->addWidget(add_);
    side->addWidget(remove_);
    side->addStretch();
    auto *middle = new QHBoxLayout;
    middle->addWidget(table_, 1);
    middle->addLayout(side);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(hint);
    layout->addLayout(middle, 1);
    layout->addWidget(OkCancel(this));
    resize(520, 320);
    table_->setFocus();
    if (table_->rowCount() > 0) table_->setCurrentCell(0, 0);
}

void VariablesDialog::AddRow(const QString &name, const QString &value) {
    const int row = table_->rowCount();
    table_->insertRow(row);
    table_->setItem(row, 0, new QTableWidgetItem(name));
    table_->setItem(row, 1, new QTableWidgetItem(value));
}

Variables VariablesDialog::Result() const {
    Variables variables;
    for (int row = 0; row < table_->rowCount(); ++row) {
        const QTableWidgetItem *name = table_->item(row, 0);
        const QTableWidgetItem *value = table_->item(row, 1);
        std::string n = name ? name->text().toStdString() : std::string();
        std::string v = value ? value->text().toStdString() : std::string();
        if (n.empty() && v.empty()) continue;
        variables.emplace_back(std::move(n), std::move(v));
    }
    return variables;
}

void VariablesDialog::accept() {
    const Variables variables = Result();
    for (std::size_t i = 0; i < variables.size(); ++i) {
        std::string problem = VariableNameProblem(variables[i].first);
        for (std::size_t j = 0; j < i && problem.empty(); ++j)
            if (variables[j].first == variables[i].first)
                problem = "同じ名前の変数がすでにあります";
        if (problem.empty()) continue;
        ShowMessageBox(this, QString::fromStdString(std::to_string(i + 1) + "行目: " + problem),
                       MessageStyle::Warning);
        table_->setFocus();
        return;
    }
    QDialog::accept();
}

void ExecVariablesDialog(QWidget *parent, const std::string &path) {
    VariablesDialog dialog(parent, LoadVariables(path));
    if (dialog.exec() != QDialog::Accepted) return;
    if (!SaveVariables(path, dialog.Result()))
        ShowMessageBox(parent,
                       Text("変数を設定ファイルに書き込めませんでした: ") +
                           QString::fromStdString(path),
                       MessageStyle::Warning);
}

PlaceholderValuesDialog::PlaceholderValuesDialog(QWidget *parent,
                                                 const std::vector<std::string> &names)
    : QDialog(parent) {
    setObjectName(QStringLiteral("placeholderValuesDialog"));
    setWindowTitle(Text("送信する値"));
    setAccessibleName(windowTitle());
    auto *hint = new QLabel(Text("送信データの %?名前% に入れる値を入力してください。"), this);
    hint->setObjectName(QStringLiteral("placeholderValuesHintLabel"));
    hint->setWordWrap(true);
    auto *form = new QFormLayout;
    for (const std::string &name : names) {
        auto *field = new QLineEdit(this);
        field->setObjectName(QStringLiteral("placeholderValueLineEdit%1").arg(fields_.size()));
        auto *label = new QLabel(QString::fromStdString(name) + Text(":"), this);
        label->setTextFormat(Qt::PlainText);
        label->setBuddy(field);
        field->setAccessibleName(label->text());
        field->setAccessibleDescription(hint->text());
        form->addRow(label, field);
        fields_.push_back(field);
    }
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(hint);
    layout->addLayout(form);
    layout->addWidget(OkCancel(this, "送信", "キャンセル"));
    setMinimumWidth(400);
    if (!fields_.empty()) fields_.front()->setFocus();
}

std::optional<std::vector<std::string>>
AskPlaceholderValues(QWidget *parent, const std::vector<std::string> &names) {
    PlaceholderValuesDialog dialog(parent, names);
    if (dialog.exec() != QDialog::Accepted) return std::nullopt;
    std::vector<std::string> values;
    for (const QLineEdit *field : dialog.Fields())
        values.push_back(field->text().toStdString());
    return values;
}

SendPreviewDialog::SendPreviewDialog(QWidget *parent, const SendPreview &preview)
    : QDialog(parent), summary_(new QLabel(this)) {
    setObjectName(QStringLiteral("sendPreviewDialog"));
    setWindowTitle(Text("送信プレビュー"));
    setAccessibleName(windowTitle());
    QString summary = QString::fromStdString(preview.ok ? preview.summary : preview.error);
    if (!preview.unknown.empty())
        summary += Text("\n置き換える値のない %名前% (書いたまま送られます): ") +
                   QString::fromStdString([&] {
                       std::string names;
                       for (const std::string &name : preview.unknown)
                           names += (names.empty() ? "%" : "、%") + name + "%";
                       return names;
                   }());
    summary_->setObjectName(QStringLiteral("sendPreviewSummaryLabel"));
    summary_->setText(summary);
    summary_->setTextFormat(Qt::PlainText);
    summary_->setWordWrap(true);
    summary_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    summary_->setAccessibleName(summary);

    text_ = ReadOnlyPage(this, preview.text, "sendPreviewTextEdit", "送信されるバイト (テキスト)");
    hex_ = ReadOnlyPage(this, preview.hex, "sendPreviewHexEdit", "送信されるバイト (16進)");
    auto *tabs = new QTabWidget(this);
    tabs->setObjectName(QStringLiteral("sendPreviewTabWidget"));
    tabs->setAccessibleName(Text("表示"));
    tabs->addTab(text_, Text("テキスト(&T)"));
    tabs->addTab(hex_, Text("16進(&H)"));

    auto *buttons = new QDialogButtonBox(this);
    QPushButton *close =
        AddButton(buttons, "閉じる", QDialogButtonBox::RejectRole, "closePushButton");
    close->setDefault(true);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(summary_);
    layout->addWidget(tabs, 1);
    layout->addWidget(buttons);
    resize(640, 360);
    text_->setFocus();
}

void ShowSendPreview(QWidget *parent, const SendPreview &preview) {
    SendPreviewDialog dialog(parent, preview);
    dialog.exec();
}

RepeatDialog::RepeatDialog(QWidget *parent, const RepeatParams &initial)
    : QDialog(parent), interval_(new QSpinBox(this)), count_(new QSpinBox(this)) {
    setObjectName(QStringLiteral("repeatDialog"));
    setWindowTitle(Text("繰り返し送信"));
    setAccessibleName(windowTitle());
    auto *hint =
        new QLabel(Text("送信データを一定の間隔で送ります。%名前% は送るたびに置き換わります。"
                        "切断、エラー、または相手が受信しなくなると止まります。"),
                   this);
    hint->setObjectName(QStringLiteral("repeatHintLabel"));
    hint->setWordWrap(true);

    interval_->setObjectName(QStringLiteral("repeatIntervalSpinBox"));
    interval_->setRange(static_cast<int>(kRepeatMinIntervalMs),
                        static_cast<int>(kRepeatMaxIntervalMs));
    interval_->setSuffix(Text(" ミリ秒"));
    interval_->setValue(static_cast<int>(initial.intervalMs));
    count_->setObjectName(QStringLiteral("repeatCountSpinBox"));
    count_->setRange(0, 1000000000);
    count_->setSpecialValueText(Text("停止するまで"));
    count_->setSuffix(Text(" 回"));
    count_->setValue(static_cast<int>(std::min<uint64_t>(initial.count, 1000000000)));

    auto *intervalLabel = new QLabel(Text("間隔(&I):"), this);
    intervalLabel->setBuddy(interval_);
    interval_->setAccessibleName(Text("間隔 (ミリ秒)"));
    auto *countLabel = new QLabel(Text("回数(&C):"), this);
    countLabel->setBuddy(count_);
    count_->setAccessibleName(Text("回数 (0: 停止するまで)"));
    auto *form = new QFormLayout;
    form->addRow(intervalLabel, interval_);
    form->addRow(countLabel, count_);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(hint);
    layout->addLayout(form);
    layout->addWidget(OkCancel(this, "開始", "キャンセル"));
    setMinimumWidth(400);
    interval_->setFocus();
    interval_->selectAll();
}

std::optional<RepeatParams> RepeatDialog::Params() const {
    std::string error;
    return ParseRepeatParams(std::to_string(interval_->value()), std::to_string(count_->value()),
                             error);
}

} // namespace tarvotcpc::ui
