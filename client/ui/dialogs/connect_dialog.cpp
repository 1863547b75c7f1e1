#include "dialogs/connect_dialog.hpp"
#include "common/widgets.hpp"

#include <QCheckBox>
#include <QComboBox>
#include <QCompleter>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include <utility>

#include "hosts/host_field.hpp"
#include "common/message_seam.hpp"
#include "dialogs/tls_reach_dialogs.hpp"

namespace tarvotcpc::ui {

namespace {

constexpr int kHostFieldLimit = 1024;
constexpr int kPortFieldLimit = 1023;

} // namespace

ConnectDialog::ConnectDialog(QWidget *parent, SettingsHashes &settings, std::string settingsPath)
    : QDialog(parent), settings_(settings), settingsPath_(std::move(settingsPath)),
      host_(new QComboBox(this)), port_(new QLineEdit(this)),
      tls_(new QCheckBox(Text("TLS"), this)), proxy_(new QLineEdit(this)),
      protocol_(new QComboBox(this)) {
    setObjectName(QStringLiteral("connectDialog"));
    setWindowTitle(Text("接続"));
    setAccessibleName(windowTitle());

    host_->setObjectName(QStringLiteral("hostComboBox"));
    host_->setEditable(true);
    // The list is the history; what is typed becomes part of it only through OK.
    host_->setInsertPolicy(QComboBox::NoInsert);
    host_->lineEdit()->setMaxLength(kHostFieldLimit);
    for (const std::string &entry : HostHistory(settings_))
        host_->addItem(QString::fromStdString(entry));
    if (host_->count() > 0) {
        host_->setCurrentIndex(0);
    } else {
        host_->setEditText(QString());
    }
    host_->setMinimumContentsLength(24);
    // Inline completion would write a history entry's port into what the user typed; a popup of
    // matching entries only offers them.
    host_->completer()->setCompletionMode(QCompleter::PopupCompletion);

    port_->setObjectName(QStringLiteral("portLineEdit"));
    port_->setMaxLength(kPortFieldLimit);

    tls_->setObjectName(QStringLiteral("tlsCheckBox"));
    tls_->setAccessibleName(Text("TLSで接続"));
    proxy_->setObjectName(QStringLiteral("proxyLineEdit"));
    proxy_->setMaxLength(kHostFieldLimit);
    proxy_->setPlaceholderText(Text("空欄: オプションか環境変数に従う / なし: 使わない"));
    proxy_->setToolTip(Text("例: socks5h://ユーザー名@ホスト:1080、http://ホスト:3128"));

    protocol_->setObjectName(QStringLiteral("protocolComboBox"));
    protocol_->addItem(Text("TCP"));
    protocol_->addItem(Text("UDP (データグラム)"));
    connect(protocol_, &QComboBox::currentIndexChanged, this, [this](int index) {
        // TLS does not apply to datagrams: the box shows it rather than refuse it at OK.
        if (index == 1) tls_->setChecked(false);
        tls_->setEnabled(index != 1);
    });

    // A history entry brings its protocol, TLS choice and proxy with it. The protocol and proxy
    // only come with an entry of the list, so that typing a host never undoes a choice made
    // before it.
    const auto followEntry = [this](const QString &text) {
        const HistoryEntryParts entry = ParseHistoryEntry(text.toStdString());
        if (!entry.valid) return;
        const bool listed = host_->findText(text) >= 0;
        if (listed) SetUdp(entry.udp);
        tls_->setChecked(entry.tls);
        if (listed) proxy_->setText(QString::fromStdString(entry.proxy));
    };
    connect(host_, &QComboBox::currentTextChanged, this, followEntry);
    followEntry(host_->currentText());

    auto *hostLabel = new QLabel(Text("接続先ホスト:"), this);
    auto *portLabel = new QLabel(Text("ポート番号:"), this);
    auto *proxyLabel = new QLabel(Text("プロキシ:"), this);
    auto *protocolLabel = new QLabel(Text("プロトコル:"), this);
    hostLabel->setBuddy(host_);
    portLabel->setBuddy(port_);
    proxyLabel->setBuddy(proxy_);
    protocolLabel->setBuddy(protocol_);
    protocol_->setAccessibleName(Text("プロトコル"));
    host_->setAccessibleName(hostLabel->text());
    port_->setAccessibleName(portLabel->text());
    proxy_->setAccessibleName(proxyLabel->text());
    proxy_->setAccessibleDescription(proxy_->placeholderText());

    QDialogButtonBox *buttons =
        NewAcceptCancelBox(this, Text("接続"), QStringLiteral("connectPushButton"));

    // Tab goes down the form as it shows.
    setTabOrder(port_, protocol_);
    setTabOrder(protocol_, tls_);

    auto *form = new QFormLayout;
    form->addRow(hostLabel, host_);
    form->addRow(portLabel, port_);
    form->addRow(protocolLabel, protocol_);
    form->addRow(QString(), tls_);
    form->addRow(proxyLabel, proxy_);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(buttons);
    setLayout(layout);
    AddTlsDetails();
}

void ConnectDialog::AddTlsDetails() {
    keptDetails_ = LoadTlsDetails(settingsPath_);
    detailsButton_ = new QPushButton(Text("TLSの詳細(&D)..."), this);
    detailsButton_->setObjectName(QStringLiteral("tlsDetailsPushButton"));
    detailsButton_->setAccessibleName(Text("TLSの詳細"));
    detailsButton_->setAutoDefault(false);
    detailsSummary_ = new QLabel(this);
    detailsSummary_->setObjectName(QStringLiteral("tlsDetailsLabel"));
    detailsSummary_->setTextFormat(Qt::PlainText);
    detailsSummary_->setWordWrap(true);
    connect(detailsButton_, &QPushButton::clicked, this, &ConnectDialog::EditTlsDetails);
    // Kept with a UDP destination all the same, for when it is made TCP again.
    const auto showFor = [this](int protocol) {
        detailsButton_->setEnabled(protocol != 1);
        detailsSummary_->setEnabled(protocol != 1);
    };
    showFor(protocol_->currentIndex());
    connect(protocol_, &QComboBox::currentIndexChanged, detailsButton_, showFor);
    // A history entry brings its details with it, as it brings its TLS choice; a host being
    // typed leaves the details as they are.
    const auto followEntry = [this](const QString &text) {
        if (host_->findText(text, Qt::MatchFixedString | Qt::MatchCaseSensitive) < 0) return;
        const HistoryEntryParts entry = ParseHistoryEntry(text.toStdString());
        if (entry.valid) SetDetails(TlsDetailsFor(keptDetails_, entry.host, entry.port));
    };
    connect(host_, &QComboBox::currentTextChanged, this, followEntry);
    followEntry(host_->currentText());
    SetDetails(details_);

    auto *row = new QHBoxLayout;
    row->addWidget(detailsButton_);
    row->addWidget(detailsSummary_, 1);
    // Below the check box, above the buttons.
    static_cast<QVBoxLayout *>(layout())->insertLayout(1, row);
}

void ConnectDialog::SetDetails(const TlsDetails &details) {
    details_ = details;
    const QString summary = QString::fromStdString(TlsDetailsSummary(details_));
    detailsSummary_->setText(summary);
    detailsButton_->setAccessibleDescription(summary);
}

void ConnectDialog::EditTlsDetails() {
    TlsDetailsDialog dialog(this, details_);
    if (dialog.exec() == QDialog::Accepted) SetDetails(dialog.Details());
}

void ConnectDialog::SetUdp(bool udp) {
    protocol_->setCurrentIndex(udp ? 1 : 0);
}

void ConnectDialog::accept() {
    const std::string proxy = proxy_->text().toStdString();
    const ConnectDecision decision =
        DecideConnect(host_->currentText().toStdString(), port_->text().toStdString(),
                      tls_->isChecked(), std::string_view(proxy), protocol_->currentIndex() == 1);
    if (!decision.accepted) {
        ShowMessageBox(this, QString::fromStdString(decision.warning), MessageStyle::Warning);
        if (decision.field == ConnectField::Protocol) {
            protocol_->setFocus();
        } else if (decision.field == ConnectField::Proxy) {
            proxy_->setFocus();
        } else if (decision.field == ConnectField::Port) {
            port_->setFocus();
        } else {
            host_->setFocus();
        }
        return;
    }
    if (const std::optional<TlsDetailsProblem> problem = CheckTlsDetails(details_)) {
        ShowMessageBox(this, QString::fromStdString(problem->warning), MessageStyle::Warning);
        detailsButton_->setFocus();
        return;
    }
    params_ = decision.params;
    params_.tlsDetails = details_;
    RememberDestination(settings_, params_, settingsPath_);
    RememberTlsDetails(settings_, params_.host, params_.port, params_.tlsDetails, settingsPath_);
    QDialog::accept();
}

} // namespace tarvotcpc::ui
