#include "window/main_window.hpp"
#include "common/widgets.hpp"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QCloseEvent>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QStatusBar>
#include <QTabWidget>
#include <QTextCursor>
#include <QTimer>
#include <QToolButton>
#include <QToolBar>

#include <utility>

#include "dialogs/connect_dialog.hpp"
#include "dialogs/dialogs.hpp"
#include "dialogs/file_loader.hpp"
#include "dialogs/proxy_dialogs.hpp"
#include "window/help.hpp"
#include "common/message_seam.hpp"
#include "settings/options.hpp"
#include "window/capture_runner.hpp"
#include "window/save_runner.hpp"
#include "common/text_rendering.hpp"
#include "dialogs/tls_dialogs.hpp"
#include "dialogs/tls_reach_dialogs.hpp"
#include "view/transcript_view.hpp"
#include "window/view_controls.hpp"

// Resources live in the static library; this pulls them in wherever the window is used.
static void InitResources() {
    Q_INIT_RESOURCE(tarvotcpc);
}

namespace tarvotcpc::ui {

namespace {

constexpr int kPumpIntervalMs = 50;

} // namespace

MainWindow::MainWindow(std::string settingsPath, QWidget *parent)
    : QMainWindow(parent), settingsPath_(std::move(settingsPath)) {
    UseUndarkenedCffText(); // before any text of the window is measured or drawn
    InitResources();
    setObjectName(QStringLiteral("mainWindow"));
    setWindowTitle(QString::fromUtf8(kProductCaption));
    setAccessibleName(windowTitle());
    setWindowIcon(QIcon(QStringLiteral(":/icons/tarvotcpc.svg")));
    resize(640, 400);

    LoadSettings(settings_, settingsPath_);
    settingsLive_ = true;

    commands_ = new MainCommands(this);
    connect(commands_, &MainCommands::triggered, this, &MainWindow::Run);
    connect(commands_, &MainCommands::lineEndingChosen, this, &MainWindow::StoreLineEnding);
    connect(commands_, &MainCommands::escapesChosen, this, &MainWindow::StoreEscapes);
    connect(commands_, &MainCommands::placeholdersChosen, this, &MainWindow::StorePlaceholders);
    ShowSendOptions();

    statusBar()->setObjectName(QStringLiteral("mainStatusBar"));
    statusBar()->setAccessibleDescription(Text("ステータスバー"));
    // A permanent label: a temporary message would be wiped by every menu's empty status tip.
    statusLabel_ = new QLabel(statusBar());
    statusLabel_->setObjectName(QStringLiteral("statusLabel"));
    statusBar()->addPermanentWidget(statusLabel_, 1);
    // The second field: the address reached, then TLS's protocol and cipher.
    peerLabel_ = new QLabel(statusBar());
    peerLabel_->setObjectName(QStringLiteral("peerLabel"));
    peerLabel_->setAccessibleName(Text("接続先アドレス"));
    peerLabel_->setAccessibleDescription(peerLabel_->accessibleName());
    statusBar()->addPermanentWidget(peerLabel_);
    SetStatusText(std::string());
    SetUpReplies();
    SetUpSending();

    sendEdit_ = new QPlainTextEdit;
    sendEdit_->setObjectName(QStringLiteral("sendPlainTextEdit"));
    sendEdit_->setAccessibleName(Text("送信データ"));
    sendEdit_->setLineWrapMode(QPlainTextEdit::NoWrap);
    sendEdit_->setFont(PageFont());
    receive_ = new TranscriptView;
    receive_->setObjectName(QStringLiteral("receivePlainTextEdit"));
    receive_->setAccessibleName(Text("受信データ"));

    tabs_ = new QTabWidget(this);
    tabs_->setObjectName(QStringLiteral("pagesTabWidget"));
    tabs_->setAccessibleName(Text("ページ"));
    tabs_->setDocumentMode(true);
    tabs_->addTab(sendEdit_, Text("送信データ"));
    tabs_->addTab(receive_, Text("受信データ"));
    tabs_->setCurrentIndex(0);
    setCentralWidget(tabs_);

    fileLoader_ = new FileLoader(this);
    connect(fileLoader_, &FileLoader::textReady, this, &MainWindow::AppendToSendPage);
    fileLoader_->SetPageOptions([this] {
        const OptionValues values = ReadOptions(settings_);
        return PageTextOptions{SendEncodingOf(values), SendLineEndingOf(values),
                               values[Option::SendEscapes]};
    });
    connect(fileLoader_, &FileLoader::escapesNeeded, this, [this] {
        StoreEscapes(true);
        ShowSendOptions();
    });
    saver_ = new SaveRunner(this);
    SetUpCaptures();

    pump_ = new QTimer(this);
    pump_->setInterval(kPumpIntervalMs);
    connect(pump_, &QTimer::timeout, this, &MainWindow::Pump);

    MainView &view = *this;
    // Called on a connection's thread or the transcript's writer: the pump runs on the window's
    // thread, at its next turn. Through the timer rather than at once, so that a turn of the event
    // loop keeps at most one step however many wake-ups came. Connections and the writer are
    // quit before the window goes, and a call still queued then is dropped with the window.
    controller_ = std::make_unique<MainController>(view, settings_, [this] {
        QMetaObject::invokeMethod(
            this,
            [this] {
                if (!closing_) pump_->start(0);
            },
            Qt::QueuedConnection);
    });
    controller_->SetSettingsPath(settingsPath_);
    receive_->SetTranscript(&controller_->KeptTranscript());

    viewControls_ = new ViewControls(this);
    connect(viewControls_, &ViewControls::encodingPicked, this,
            [this](std::optional<Encoding> encoding) {
                ChangeViewOptions([encoding](OptionValues &values) {
                    if (encoding)
                        SetViewEncoding(values, *encoding);
                    else
                        values.SetText(Option::ViewEncoding, kViewEncodingAuto);
                });
                // Chosen now, whatever the options held: the user's choice wins over detection.
                controller_->ChooseViewEncoding(encoding);
            });
    connect(viewControls_, &ViewControls::protocolPicked, this, [this](const QString &stored) {
        ChangeViewOptions([&stored](OptionValues &values) {
            values.SetText(Option::ViewProtocol, stored.toStdString());
        });
        controller_->ViewOptionsChanged();
    });
    connect(viewControls_, &ViewControls::hexPicked, this, [this](bool hex) {
        ChangeViewOptions([hex](OptionValues &values) {
            values.SetText(Option::ViewMode, hex ? kViewModeHex : kViewModeText);
        });
    });
    connect(viewControls_, &ViewControls::marksPicked, this, [this](bool on) {
        ChangeViewOptions([on](OptionValues &values) { values[Option::ViewLineEndMarks] = on; });
    });
    // A narrow window folds a toolbar's last controls behind a button a screen reader must name.
    for (QToolBar *bar : findChildren<QToolBar *>())
        if (auto *more = bar->findChild<QToolButton *>(QStringLiteral("qt_toolbar_ext_button")))
            more->setAccessibleName(Text("その他のボタン"));
    controller_->Start();
    ApplyViewOptions();
    PageEncodingChanged();
    ApplyProtocols();
}

void MainWindow::PageEncodingChanged() {
    const PageEncoding &encoding = controller_->ViewEncoding();
    receive_->SetEncoding(encoding.InForce());
    viewControls_->ShowEncoding(encoding.Chosen(), QString::fromStdString(encoding.Label()));
}

void MainWindow::PageProtocolChanged() {
    ApplyProtocols();
}

void MainWindow::ApplyProtocols() {
    const ProtocolChoice choice = controller_->ViewProtocol().Chosen();
    if (choice.kind == ProtocolChoice::Kind::Off) {
        receive_->SetProtocols({});
    } else if (captures_->Opened() != nullptr) {
        const std::optional<CaptureConnection> ends =
            CaptureConnectionOf(captures_->OpenedSummary());
        const std::optional<int32_t> port =
            ends && ends->localOpened ? std::optional<int32_t>(ends->peer.port) : std::nullopt;
        receive_->SetProtocols([choice, port](uint32_t) { return ProtocolFor(choice, port); });
    } else {
        receive_->SetProtocols(
            [this](uint32_t connection) { return controller_->ProtocolOf(connection); });
    }
}

void MainWindow::ApplyViewOptions() {
    const OptionValues values = ReadOptions(settings_);
    receive_->SetEncoding(controller_->ViewEncoding().InForce());
    receive_->SetMode(ViewIsHex(values) ? TranscriptView::Mode::Hex : TranscriptView::Mode::Text);
    receive_->SetLineEndMarks(values[Option::ViewLineEndMarks]);
    receive_->SetShowTimes(values[Option::ViewTimes]);
    receive_->SetShowSent(values[Option::ViewSent]);
    viewControls_->Show(values);
}

void MainWindow::ChangeViewOptions(const std::function<void(OptionValues &)> &change) {
    if (!settingsLive_) return;
    OptionValues values = ReadOptions(settings_);
    change(values);
    // A file that cannot be written still leaves the choice in force for this session.
    SaveOptions(settings_, values, settingsPath_);
    ApplyViewOptions();
}

MainWindow::~MainWindow() {
    controller_.reset();
    if (settingsLive_) FreeSettings(settings_);
}

void MainWindow::Run(Command command) {
    switch (command) {
    case Command::Connect:
        OpenConnectDialog();
        break;
    case Command::Disconnect:
        controller_->Disconnect();
        break;
    case Command::InsertTemplate:
        InsertTemplate();
        break;
    case Command::LoadFile:
        fileLoader_->Open();
        break;
    case Command::Exit:
        close();
        break;
    case Command::Send:
        controller_->Send();
        break;
    case Command::Options:
        ExecOptionsDialog(this, settings_, settingsPath_);
        ShowSendOptions();
        controller_->ViewOptionsChanged();
        ApplyViewOptions();
        break;
    case Command::SaveReceived:
        saver_->Start(SaveKind::RawReceived, ShownTranscript(),
                      controller_->ViewEncoding().InForce());
        break;
    case Command::SaveTranscript:
        saver_->Start(SaveKind::Text, ShownTranscript(), controller_->ViewEncoding().InForce());
        break;
    case Command::SaveCapture:
        SaveCapture();
        break;
    case Command::OpenCapture:
        captures_->Open();
        break;
    case Command::Readme:
        OpenWithDesktop(ReadmeUrl());
        break;
    case Command::HomePage:
        OpenWithDesktop(DocumentationUrl());
        break;
    case Command::About:
        ShowAbout(this);
        break;
    case Command::Listen:
        OpenListenDialog();
        break;
    case Command::StartTls:
        controller_->StartTls();
        break;
    case Command::Certificates:
        ShowCertificateChain(this, controller_->PeerChain());
        break;
    case Command::RunScript:
        RunScriptFile();
        break;
    case Command::StopScript:
        controller_->StopScript();
        break;
    case Command::ScriptFromRecord:
        MakeScriptFromRecord();
        break;
    case Command::Compare:
        CompareWithFile();
        break;
    case Command::Variables:
    case Command::Preview:
    case Command::RepeatSend:
    case Command::StopRepeat:
        RunSending(command);
        break;
    }
}

void MainWindow::OpenConnectDialog(const QString &host, bool tls, const QString &proxy) {
    OpenConnectDialogWith(host, tls, proxy, TlsDetails{});
}

void MainWindow::OpenConnectDialogWith(const QString &host, bool tls, const QString &proxy,
                                       const TlsDetails &details, bool udp) {
    ConnectDialog dialog(this, settings_, settingsPath_);
    if (!host.isEmpty()) dialog.HostBox()->setEditText(host);
    if (udp) dialog.SetUdp(true);
    if (tls) dialog.TlsBox()->setChecked(true);
    if (!proxy.isEmpty()) dialog.ProxyEdit()->setText(proxy);
    if (!details.Empty()) dialog.SetDetails(details);
    if (dialog.exec() != QDialog::Accepted || closing_) return;
    ConnectTo(dialog.Params());
}

void MainWindow::OpenListenDialog() {
    ListenDialog dialog(this);
    if (dialog.exec() != QDialog::Accepted || closing_) return;
    ListenAtStart(dialog.Params());
}

void MainWindow::ListenAtStart(const ListenParams &params) {
    const ListenOutcome outcome = controller_->Listen(params);
    if (!outcome.listening) return;
    pump_->start(kPumpIntervalMs);
    if (params.tls && params.certificateFile.empty() && !outcome.text.empty()) {
        // The other side pins it by this fingerprint.
        ShowMessageBox(this,
                       Text("テスト用の自己署名証明書を作りました。SHA-256フィンガープリント:\n") +
                           QString::fromStdString(outcome.text),
                       MessageStyle::Notice);
    }
}

void MainWindow::ConnectTo(const Destination &params) {
    pump_->start(kPumpIntervalMs);
    controller_->Connect(params);
}

void MainWindow::ConnectAtStart(const Destination &params) {
    RememberDestination(settings_, params, settingsPath_);
    RememberTlsDetails(settings_, params.host, params.port, params.tlsDetails, settingsPath_);
    ConnectTo(params);
}

void MainWindow::InsertTemplate() {
    if (const std::optional<QString> text = ExecTemplateInsertDialog(this, settings_))
        AppendToSendPage(*text);
}

void MainWindow::AppendToSendPage(const QString &text) {
    QTextCursor cursor(sendEdit_->document());
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(text);
}

void MainWindow::ShowSendOptions() {
    const OptionValues values = ReadOptions(settings_);
    commands_->ShowSendOptions(SendLineEndingOf(values), values[Option::SendEscapes],
                               values[Option::Placeholders]);
}

void MainWindow::StoreLineEnding(LineEnding ending) {
    if (!settingsLive_) return;
    OptionValues values = ReadOptions(settings_);
    SetSendLineEnding(values, ending);
    SaveOptions(settings_, values, settingsPath_);
}

void MainWindow::StoreEscapes(bool on) {
    if (!settingsLive_) return;
    OptionValues values = ReadOptions(settings_);
    values[Option::SendEscapes] = on;
    SaveOptions(settings_, values, settingsPath_);
}

void MainWindow::Pump() {
    if (closing_) return;
    controller_->ProcessEvents();
    if (controller_->MoreAtOnce()) {
        pump_->start(0); // after what else waits in the event loop: input, paints, timers
    } else if (controller_->Busy()) {
        if (!pump_->isActive() || pump_->interval() != kPumpIntervalMs)
            pump_->start(kPumpIntervalMs);
    } else {
        pump_->stop();
    }
}

std::string MainWindow::SendPageText() {
    return PlainTextOf(sendEdit_);
}

void MainWindow::ClearSendPage() {
    sendEdit_->clear();
}

void MainWindow::ClearReceivePage() {
    // The transcript is emptied next; a save reading it stops first.
    saver_->Cancel();
    receive_->NotifyCleared();
}

void MainWindow::TranscriptAppended() {
    receive_->NotifyAppended();
}

void MainWindow::ShowReceivePage() {
    tabs_->setCurrentIndex(1);
}

void MainWindow::SetConnectedLook(bool connected) {
    if (connected) ShowRecord();
    commands_->SetConnected(connected);
    autoReplies_->setEnabled(connected);
}

void MainWindow::SetStatusText(const std::string &text) {
    const QString shown = QString::fromStdString(text);
    statusLabel_->setText(shown);
    // Screen readers read the status bar by its name, so the name is the text itself.
    const QString name = shown.isEmpty() ? Text("ステータスバー") : shown;
    statusLabel_->setAccessibleName(name);
    statusBar()->setAccessibleName(name);
}

void MainWindow::ShowMessage(const std::string &text, MessageStyle style) {
    // The box runs an event loop of its own, so it waits until the pump has returned.
    QMetaObject::invokeMethod(
        this,
        [this, message = QString::fromStdString(text), style] {
            if (closing_) return;
            ShowMessageBox(this, message, style);
            emit connectionEnded();
        },
        Qt::QueuedConnection);
}

void MainWindow::ShowWarning(const std::string &text) {
    QMetaObject::invokeMethod(
        this,
        [this, message = QString::fromStdString(text)] {
            if (!closing_) ShowMessageBox(this, message, MessageStyle::Warning);
        },
        Qt::QueuedConnection);
}

void MainWindow::SetPeerText(const std::string &text) {
    const QString shown = QString::fromStdString(text);
    peerLabel_->setText(shown);
    // Read by its name, as the status text is; a new name is announced to screen readers.
    peerLabel_->setAccessibleName(shown.isEmpty() ? Text("接続先アドレス") : shown);
    commands_->SetCertificatesAvailable(!controller_->PeerChain().empty());
}

void MainWindow::SetStartTlsAvailable(bool available) {
    commands_->SetStartTlsAvailable(available);
}

void MainWindow::AskCertificate(const CertificateQuestion &question) {
    // As with the message boxes: the dialog's own event loop waits until the pump has returned.
    QMetaObject::invokeMethod(
        this,
        [this, question] {
            if (closing_) return;
            controller_->AnswerCertificate(tarvotcpc::ui::AskCertificate(this, question));
        },
        Qt::QueuedConnection);
}

void MainWindow::AskProxyPassword(const ProxyPasswordQuestion &question) {
    // As the certificate's question: asked once the pump has returned.
    QMetaObject::invokeMethod(
        this,
        [this, question] {
            if (closing_) return;
            const ProxyPasswordAnswer answer = tarvotcpc::ui::AskProxyPassword(this, question);
            controller_->AnswerProxyPassword(answer.password, answer.keep);
        },
        Qt::QueuedConnection);
}

void MainWindow::AskPassphrase(const PassphraseQuestion &question) {
    QMetaObject::invokeMethod(
        this,
        [this, question] {
            if (closing_) return;
            PassphraseAnswer answer = tarvotcpc::ui::AskPassphrase(this, question);
            controller_->AnswerPassphrase(std::move(answer.passphrase), answer.keep);
        },
        Qt::QueuedConnection);
}

void MainWindow::closeEvent(QCloseEvent *event) {
    closing_ = true;
    pump_->stop();
    repeatTimer_->stop();
    saver_->Cancel();
    captures_->Cancel();
    // Quitting returns at once: the connection ends without a word and never calls back.
    controller_->Close();
    if (settingsLive_) {
        FreeSettings(settings_);
        settingsLive_ = false;
    }
    event->accept();
}

} // namespace tarvotcpc::ui
