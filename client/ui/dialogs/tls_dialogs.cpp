#include "dialogs/tls_dialogs.hpp"
#include "common/widgets.hpp"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "session/certificate_text.hpp"
#include "common/message_seam.hpp"

namespace tarvotcpc::ui {

CertificateDialog::CertificateDialog(QWidget *parent, const CertificateQuestion &question)
    : QDialog(parent) {
    setObjectName(QStringLiteral("certificateDialog"));
    // A pinned host showing another certificate is no first meeting, and says so from the title.
    setWindowTitle(question.outcome.pinnedSha256.empty() ? Text("証明書の確認")
                                                         : Text("証明書が変わりました"));
    setAccessibleName(windowTitle());
    auto *text =
        new QPlainTextEdit(QString::fromStdString(CertificateQuestionText(question)), this);
    text->setObjectName(QStringLiteral("certificateTextEdit"));
    text->setReadOnly(true);
    text->setAccessibleName(Text("証明書の内容"));
    text->setMinimumSize(520, 260);

    auto *buttons = new QDialogButtonBox(this);
    QPushButton *cancel = buttons->addButton(Text("キャンセル"), QDialogButtonBox::RejectRole);
    QPushButton *once = buttons->addButton(Text("今回だけ接続"), QDialogButtonBox::AcceptRole);
    QPushButton *always =
        buttons->addButton(Text("この証明書を常に信頼"), QDialogButtonBox::AcceptRole);
    cancel->setObjectName(QStringLiteral("cancelPushButton"));
    once->setObjectName(QStringLiteral("oncePushButton"));
    always->setObjectName(QStringLiteral("alwaysPushButton"));
    cancel->setDefault(true);
    cancel->setFocus();
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(once, &QPushButton::clicked, this, [this] {
        choice_ = CertificateChoice::Once;
        QDialog::accept();
    });
    connect(always, &QPushButton::clicked, this, [this] {
        choice_ = CertificateChoice::Always;
        QDialog::accept();
    });

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(text);
    layout->addWidget(buttons);
}

CertificateChoice AskCertificate(QWidget *parent, const CertificateQuestion &question) {
    CertificateDialog dialog(parent, question);
    if (dialog.exec() != QDialog::Accepted) return CertificateChoice::Cancel;
    return dialog.Choice();
}

void ShowCertificateChain(QWidget *parent, const std::vector<CertificateInfo> &chain) {
    QDialog dialog(parent);
    dialog.setObjectName(QStringLiteral("certificateChainDialog"));
    dialog.setWindowTitle(Text("相手の証明書"));
    dialog.setAccessibleName(dialog.windowTitle());
    auto *text = new QPlainTextEdit(QString::fromStdString(CertificateChainText(chain)), &dialog);
    text->setObjectName(QStringLiteral("certificateChainTextEdit"));
    text->setReadOnly(true);
    text->setLineWrapMode(QPlainTextEdit::NoWrap);
    text->setFont(PageFont());
    text->setMinimumSize(600, 360);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Close, &dialog);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    auto *layout = new QVBoxLayout(&dialog);
    layout->addWidget(text);
    layout->addWidget(buttons);
    dialog.exec();
}

ListenDialog::ListenDialog(QWidget *parent)
    : QDialog(parent), port_(new QLineEdit(this)), bind_(new QComboBox(this)),
      address_(new QLineEdit(this)), tls_(new QCheckBox(Text("TLS"), this)),
      certificate_(new QLineEdit(this)), key_(new QLineEdit(this)), protocol_(new QComboBox(this)) {
    setObjectName(QStringLiteral("listenDialog"));
    setWindowTitle(Text("待ち受け"));
    setAccessibleName(windowTitle());
    port_->setObjectName(QStringLiteral("listenPortLineEdit"));
    bind_->setObjectName(QStringLiteral("bindComboBox"));
    // Loopback first: the choices that let other computers in are taken on purpose.
    bind_->addItem(Text("ループバック (127.0.0.1、このコンピューターからのみ)"),
                   static_cast<int>(BindChoice::Loopback));
    bind_->addItem(Text("すべてのアドレス (IPv6とIPv4、ネットワークから接続できます)"),
                   static_cast<int>(BindChoice::All));
    bind_->addItem(Text("すべてのIPv6アドレス"), static_cast<int>(BindChoice::IPv6));
    bind_->addItem(Text("すべてのIPv4アドレス"), static_cast<int>(BindChoice::IPv4));
    bind_->addItem(Text("指定したアドレス"), static_cast<int>(BindChoice::Address));
    address_->setObjectName(QStringLiteral("listenAddressLineEdit"));
    address_->setPlaceholderText(Text("例: 192.168.1.10、::1"));
    address_->setEnabled(false);
    connect(bind_, &QComboBox::currentIndexChanged, this, [this] {
        address_->setEnabled(bind_->currentData().toInt() == static_cast<int>(BindChoice::Address));
    });
    tls_->setObjectName(QStringLiteral("listenTlsCheckBox"));
    certificate_->setObjectName(QStringLiteral("certificateFileLineEdit"));
    key_->setObjectName(QStringLiteral("keyFileLineEdit"));
    certificate_->setPlaceholderText(Text("空欄: テスト用の自己署名証明書を作る"));
    key_->setPlaceholderText(Text("PEM形式の秘密鍵ファイル"));
    certificate_->setEnabled(false);
    key_->setEnabled(false);
    connect(tls_, &QCheckBox::toggled, certificate_, &QWidget::setEnabled);
    connect(tls_, &QCheckBox::toggled, key_, &QWidget::setEnabled);
    protocol_->setObjectName(QStringLiteral("listenProtocolComboBox"));
    protocol_->addItem(Text("TCP"));
    protocol_->addItem(Text("UDP (最後に届いたデータグラムの送り元に返す)"));
    connect(protocol_, &QComboBox::currentIndexChanged, this, [this](int index) {
        // No TLS over datagrams.
        if (index == 1) tls_->setChecked(false);
        tls_->setEnabled(index != 1);
    });

    setTabOrder(port_, protocol_);
    setTabOrder(protocol_, bind_);

    auto *form = new QFormLayout;
    form->addRow(Text("ポート番号:"), port_);
    form->addRow(Text("プロトコル:"), protocol_);
    form->addRow(Text("アドレス:"), bind_);
    form->addRow(Text("指定するアドレス:"), address_);
    form->addRow(QString(), tls_);
    form->addRow(Text("証明書ファイル:"), certificate_);
    form->addRow(Text("秘密鍵ファイル:"), key_);
    port_->setAccessibleName(Text("ポート番号"));
    bind_->setAccessibleName(Text("アドレス"));
    protocol_->setAccessibleName(Text("プロトコル"));
    address_->setAccessibleName(Text("指定するアドレス"));
    certificate_->setAccessibleName(Text("証明書ファイル"));
    key_->setAccessibleName(Text("秘密鍵ファイル"));

    QDialogButtonBox *buttons =
        NewAcceptCancelBox(this, Text("待ち受け"), QStringLiteral("listenPushButton"));

    auto *layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(buttons);
}

void ListenDialog::accept() {
    const std::optional<int32_t> port = ListenPort(port_->text().trimmed().toStdString());
    if (!port) {
        ShowMessageBox(this, Text(kListenPortText), MessageStyle::Warning);
        port_->setFocus();
        return;
    }
    params_.port = *port;
    params_.bind = static_cast<BindChoice>(bind_->currentData().toInt());
    params_.address.clear();
    if (params_.bind == BindChoice::Address) {
        params_.address = address_->text().trimmed().toStdString();
        if (!IsListenAddress(params_.address)) {
            ShowMessageBox(this, Text(kListenAddressText), MessageStyle::Warning);
            address_->setFocus();
            return;
        }
    }
    params_.udp = protocol_->currentIndex() == 1;
    params_.tls = tls_->isChecked();
    if (params_.tls) {
        params_.certificateFile = certificate_->text().toStdString();
        params_.keyFile = key_->text().toStdString();
    }
    QDialog::accept();
}

} // namespace tarvotcpc::ui
