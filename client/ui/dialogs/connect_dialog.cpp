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
      tls_(new QCheckBox(Text("TLS"), this)), proxy_(new QLineEdit(this)) {
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

    // A history entry brings its TLS choice and its proxy with it. The proxy only comes with an
    // entry of the list, so that typing a host never wipes a proxy typed before it.
    const auto followEntry = [this](const QString &text) {
        const HistoryEntryParts entry = ParseHistoryEntry(text.toStdString());
        if (!entry.valid) return;
        tls_->setChecked(entry.tls);
        if (host_->findText(text) >= 0) proxy_->setText(QString::fromStdString(entry.proxy));
    };
    connect(host_, &QComboBox::currentTextChanged, this, followEntry);
    followEntry(host_->currentText());

    auto *hostLabel = new QLabel(Text("接続先ホスト:"), this);
    auto *portLabel = new QLabel(Text("ポート番号:"), this);
    auto *proxyLabel = new QLabel(Text("プロキシ:"), this);
    hostLabel->setBuddy(host_);
    portLabel->setBuddy(port_);
    proxyLabel->setBuddy(proxy_);
    host_->setAccessibleName(hostLabel->text());
    port_->setAccessibleName(portLabel->text());
    proxy_->setAccessibleName(proxyLabel->text());
    proxy_->setAccessibleDescription(proxy_->placeholderText());

    auto *buttons = new QDialogButtonBox(this);
    QPushButton *ok = buttons->addButton(Text("接続"), QDialogButtonBox::AcceptRole);
    QPushButton *cancel = buttons->addButton(Text("キャンセル"), QDialogButtonBox::RejectRole);
    ok->setObjectName(QStringLiteral("connectPushButton"));
    cancel->setObjectName(QStringLiteral("cancelPushButton"));
    ok->setDefault(true);
    connect(buttons, &QDialogButtonBox::accepted, this, &ConnectDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &ConnectDialog::reject);

    auto *form = new QFormLayout;
    form->addRow(hostLabel, host_);
    form->addRow(portLabel, port_);
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

void ConnectDialog::accept() {
    const std::string proxy = proxy_->text().toStdString();
    const ConnectDecision decision =
        DecideConnect(host_->currentText().toStdString(), port_->text().toStdString(),
                      tls_->isChecked(), std::string_view(proxy));
    if (!decision.accepted) {
        ShowMessageBox(this, QString::fromStdString(decision.warning), MessageStyle::Warning);
        if (decision.field == ConnectField::Proxy) {
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
