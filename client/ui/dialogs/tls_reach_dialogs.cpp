#include "dialogs/tls_reach_dialogs.hpp"
#include "common/widgets.hpp"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "common/dialog_seam.hpp"
#include "common/message_seam.hpp"

namespace tarvotcpc::ui {

namespace {

// A line edit with a browse button after it, both named for the accessibility bus.
QWidget *FileRow(QWidget *parent, QLineEdit *edit, QPushButton *browse) {
    auto *row = new QWidget(parent);
    auto *line = new QHBoxLayout(row);
    line->setContentsMargins(0, 0, 0, 0);
    line->addWidget(edit, 1);
    line->addWidget(browse);
    return row;
}

} // namespace

TlsDetailsDialog::TlsDetailsDialog(QWidget *parent, const TlsDetails &details)
    : QDialog(parent), details_(details), certificate_(new QLineEdit(this)),
      key_(new QLineEdit(this)), serverName_(new QLineEdit(this)), alpn_(new QLineEdit(this)) {
    setObjectName(QStringLiteral("tlsDetailsDialog"));
    setWindowTitle(Text("TLSの詳細"));
    setAccessibleName(windowTitle());

    certificate_->setObjectName(QStringLiteral("clientCertificateLineEdit"));
    certificate_->setPlaceholderText(Text("PEM形式かPKCS#12形式 (空欄: 使わない)"));
    certificate_->setText(QString::fromStdString(details.certificateFile));
    key_->setObjectName(QStringLiteral("clientKeyLineEdit"));
    key_->setPlaceholderText(Text("空欄: 証明書ファイルの中の鍵"));
    key_->setText(QString::fromStdString(details.keyFile));
    serverName_->setObjectName(QStringLiteral("serverNameLineEdit"));
    serverName_->setPlaceholderText(Text("空欄: 接続先のホスト名、なし: 送らない"));
    serverName_->setText(QString::fromStdString(details.serverName));
    alpn_->setObjectName(QStringLiteral("alpnLineEdit"));
    alpn_->setPlaceholderText(Text("例: h2,http/1.1 (空欄: 使わない)"));
    alpn_->setText(QString::fromStdString(details.alpn));

    auto *browseCertificate = new QPushButton(Text("参照(&B)..."), this);
    browseCertificate->setObjectName(QStringLiteral("clientCertificateBrowsePushButton"));
    browseCertificate->setAccessibleName(Text("クライアント証明書ファイルを選ぶ"));
    browseCertificate->setAutoDefault(false);
    auto *browseKey = new QPushButton(Text("参照(&R)..."), this);
    browseKey->setObjectName(QStringLiteral("clientKeyBrowsePushButton"));
    browseKey->setAccessibleName(Text("秘密鍵ファイルを選ぶ"));
    browseKey->setAutoDefault(false);
    connect(browseCertificate, &QPushButton::clicked, this,
            [this] { Browse(certificate_, Text("クライアント証明書ファイル")); });
    connect(browseKey, &QPushButton::clicked, this,
            [this] { Browse(key_, Text("秘密鍵ファイル")); });

    auto *certificateLabel = new QLabel(Text("クライアント証明書(&C):"), this);
    auto *keyLabel = new QLabel(Text("秘密鍵(&K):"), this);
    auto *serverNameLabel = new QLabel(Text("SNI(&S):"), this);
    auto *alpnLabel = new QLabel(Text("ALPN(&A):"), this);
    certificateLabel->setBuddy(certificate_);
    keyLabel->setBuddy(key_);
    serverNameLabel->setBuddy(serverName_);
    alpnLabel->setBuddy(alpn_);
    certificate_->setAccessibleName(Text("クライアント証明書ファイル"));
    key_->setAccessibleName(Text("秘密鍵ファイル"));
    serverName_->setAccessibleName(Text("SNIで送る名前"));
    alpn_->setAccessibleName(Text("ALPNで提示するプロトコル"));
    certificate_->setAccessibleDescription(certificate_->placeholderText());
    key_->setAccessibleDescription(key_->placeholderText());
    serverName_->setAccessibleDescription(serverName_->placeholderText());
    alpn_->setAccessibleDescription(alpn_->placeholderText());

    QDialogButtonBox *buttons =
        NewAcceptCancelBox(this, Text("OK"), QStringLiteral("okPushButton"));

    auto *form = new QFormLayout;
    form->addRow(certificateLabel, FileRow(this, certificate_, browseCertificate));
    form->addRow(keyLabel, FileRow(this, key_, browseKey));
    form->addRow(serverNameLabel, serverName_);
    form->addRow(alpnLabel, alpn_);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(buttons);
    // By keyboard each field is followed by its browse button, in the order shown.
    setTabOrder(certificate_, browseCertificate);
    setTabOrder(browseCertificate, key_);
    setTabOrder(key_, browseKey);
    setTabOrder(browseKey, serverName_);
    setTabOrder(serverName_, alpn_);
    setMinimumWidth(480);
    certificate_->setFocus();
}

void TlsDetailsDialog::Browse(QLineEdit *edit, const QString &title) {
    QFileDialog dialog(this, title, edit->text());
    dialog.setObjectName(QStringLiteral("tlsFileDialog"));
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setNameFilters(
        {Text("証明書と鍵 (*.pem *.crt *.cer *.key *.p12 *.pfx)"), Text("すべてのファイル (*)")});
    if (ExecFileDialog(dialog) != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
    edit->setText(dialog.selectedFiles().first());
}

void TlsDetailsDialog::accept() {
    TlsDetails details;
    details.certificateFile = certificate_->text().trimmed().toStdString();
    details.keyFile = key_->text().trimmed().toStdString();
    details.serverName = serverName_->text().trimmed().toStdString();
    details.alpn = alpn_->text().trimmed().toStdString();
    if (const std::optional<TlsDetailsProblem> problem = CheckTlsDetails(details)) {
        ShowMessageBox(this, QString::fromStdString(problem->warning), MessageStyle::Warning);
        switch (problem->field) {
        case TlsDetailsField::CertificateFile:
            certificate_->setFocus();
            break;
        case TlsDetailsField::KeyFile:
            key_->setFocus();
            break;
        case TlsDetailsField::ServerName:
            serverName_->setFocus();
            break;
        case TlsDetailsField::Alpn:
            alpn_->setFocus();
            break;
        }
        return;
    }
    details_ = details;
    QDialog::accept();
}

PassphraseDialog::PassphraseDialog(QWidget *parent, const PassphraseQuestion &question)
    : QDialog(parent), passphrase_(new QLineEdit(this)),
      keep_(new QCheckBox(Text("保存する(&S)"), this)) {
    setObjectName(QStringLiteral("passphraseDialog"));
    setWindowTitle(Text("クライアント証明書のパスフレーズ"));
    setAccessibleName(windowTitle());

    QString said = QString::fromStdString(question.destination) +
                   Text(" に示すクライアント証明書の秘密鍵はパスフレーズで保護されています。\n") +
                   QString::fromStdString(question.file);
    if (question.retry) said = Text(kWrongPassphraseText) + QStringLiteral("\n\n") + said;
    auto *text = new QLabel(said, this);
    text->setObjectName(QStringLiteral("passphraseLabel"));
    text->setTextFormat(Qt::PlainText);
    text->setWordWrap(true);

    passphrase_->setObjectName(QStringLiteral("passphraseLineEdit"));
    passphrase_->setEchoMode(QLineEdit::Password);
    auto *passphraseLabel = new QLabel(Text("パスフレーズ(&P):"), this);
    passphraseLabel->setBuddy(passphrase_);
    passphrase_->setAccessibleName(Text("パスフレーズ"));
    passphrase_->setAccessibleDescription(said);
    keep_->setObjectName(QStringLiteral("keepPassphraseCheckBox"));
    keep_->setAccessibleName(Text("パスフレーズを設定ファイルに保存する"));
    keep_->setToolTip(Text("設定ファイルに保存し、次からは尋ねません"));

    QDialogButtonBox *buttons =
        NewAcceptCancelBox(this, Text("OK"), QStringLiteral("okPushButton"));

    auto *form = new QFormLayout;
    form->addRow(passphraseLabel, passphrase_);
    form->addRow(QString(), keep_);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(text);
    layout->addLayout(form);
    layout->addWidget(buttons);
    setMinimumWidth(440);
    passphrase_->setFocus();
}

PassphraseAnswer AskPassphrase(QWidget *parent, const PassphraseQuestion &question) {
    PassphraseDialog dialog(parent, question);
    PassphraseAnswer answer;
    if (dialog.exec() != QDialog::Accepted) return answer;
    answer.passphrase = dialog.PassphraseEdit()->text().toStdString();
    answer.keep = dialog.KeepBox()->isChecked();
    return answer;
}

} // namespace tarvotcpc::ui
