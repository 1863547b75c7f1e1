#include "dialogs/proxy_dialogs.hpp"
#include "common/widgets.hpp"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace tarvotcpc::ui {

ProxyPasswordDialog::ProxyPasswordDialog(QWidget *parent, const ProxyPasswordQuestion &question)
    : QDialog(parent), password_(new QLineEdit(this)),
      keep_(new QCheckBox(Text("パスワードを保存する"), this)) {
    setObjectName(QStringLiteral("proxyPasswordDialog"));
    setWindowTitle(Text("プロキシのパスワード"));
    setAccessibleName(windowTitle());

    auto *text = new QLabel(
        Text("プロキシ ") + QString::fromStdString(question.proxy) + Text(" 経由で ") +
            QString::fromStdString(question.destination) + Text(" に接続します。\nユーザー ") +
            QString::fromStdString(question.user) + Text(" のパスワードを入力してください。"),
        this);
    text->setObjectName(QStringLiteral("proxyPasswordLabel"));
    text->setTextFormat(Qt::PlainText);
    text->setWordWrap(true);

    password_->setObjectName(QStringLiteral("proxyPasswordLineEdit"));
    password_->setEchoMode(QLineEdit::Password);
    auto *passwordLabel = new QLabel(Text("パスワード:"), this);
    passwordLabel->setBuddy(password_);
    password_->setAccessibleName(passwordLabel->text());
    password_->setAccessibleDescription(text->text());
    keep_->setObjectName(QStringLiteral("keepProxyPasswordCheckBox"));
    keep_->setAccessibleName(keep_->text());
    keep_->setToolTip(Text("設定ファイルに保存し、次からは尋ねません"));

    QDialogButtonBox *buttons =
        NewAcceptCancelBox(this, Text("接続"), QStringLiteral("connectPushButton"));

    auto *form = new QFormLayout;
    form->addRow(passwordLabel, password_);
    form->addRow(QString(), keep_);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(text);
    layout->addLayout(form);
    layout->addWidget(buttons);
    setMinimumWidth(440);
    password_->setFocus();
}

ProxyPasswordAnswer AskProxyPassword(QWidget *parent, const ProxyPasswordQuestion &question) {
    ProxyPasswordDialog dialog(parent, question);
    ProxyPasswordAnswer answer;
    if (dialog.exec() != QDialog::Accepted) return answer;
    answer.password = dialog.PasswordEdit()->text().toStdString();
    answer.keep = dialog.KeepBox()->isChecked();
    return answer;
}

} // namespace tarvotcpc::ui
