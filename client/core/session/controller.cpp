#include "session/controller.hpp"
#include "session/script_session.hpp"

#include <netinet/in.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "proxy/proxy_endpoint.hpp"
#include "session/certificate_text.hpp"
#include "hosts/host_field.hpp"
#include "tls/key_log.hpp"
#include "settings/options.hpp"
#include "hosts/proxy_passwords.hpp"
#include "text/send_encoding.hpp"
#include "saves/transcript_source.hpp"
#include "hosts/trust_store.hpp"

namespace tarvotcpc {

namespace {

int64_t NowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

SavedDirection Saved(Direction direction) {
    return direction == Direction::Received ? SavedDirection::Received : SavedDirection::Sent;
}

int32_t BoundPort(const SocketAddress &address) {
    // sin_port and sin6_port sit at the same place, in network order.
    const auto *in = reinterpret_cast<const sockaddr_in *>(address.Get());
    return ntohs(in->sin_port);
}

} // namespace

std::string TranscriptStalledText(int err) {
    return std::string("受信データを記録できないため受信を止めています (") + std::strerror(err) +
           ")。記録できるようになると再開します";
}

namespace {

// The transcript's file is written off the window's thread; once a write is done the pump is
// woken, as for a connection's bytes, to offer what waited meanwhile.
TranscriptOptions WrittenInBackground(TranscriptOptions options, std::function<void()> wake) {
    options.background = true;
    options.written = std::move(wake);
    return options;
}

} // namespace

MainController::MainController(MainView &view, SettingsHashes &settings, std::function<void()> wake,
                               ConnectionFactory factory, TranscriptOptions transcriptOptions)
    : view_(view), settings_(settings), wake_(std::move(wake)), factory_(std::move(factory)),
      transcript_(WrittenInBackground(std::move(transcriptOptions), wake_)) {
    flow_.SetKeeper([this](Direction direction, int64_t timeUs, std::string_view bytes,
                           bool datagram) { return Keep(direction, timeUs, bytes, datagram); },
                    [this](int64_t timeUs, const std::string &text, NoteKind kind) {
                        KeepNote(timeUs, text, kind);
                    },
                    [this](int64_t us) { pendingReply_ = us; });
    if (!factory_) {
        factory_ = [](const Destination &params, ConnectionOptions options) {
            return std::make_unique<Connection>(params.host, params.port, std::move(options));
        };
    }
}

MainController::~MainController() {
    script_.reset();
    QuitConnection();
}

std::string MainController::ConnectingText(const Destination &params) {
    // An IPv6 literal in brackets, as the host field takes it.
    return HostFieldText(params.host, params.port) + (params.udp ? " (UDP)" : "") + "に接続中";
}

void MainController::SetLook(bool connected) {
    connectedLook_ = connected;
    view_.SetConnectedLook(connected);
}

void MainController::SetStatus(const std::string &text) {
    status_ = text;
    view_.SetStatusText(text);
}

void MainController::QuitConnection() {
    if (!connection_) return;
    connection_->Quit();
    connection_.reset();
}

int MainController::Keep(Direction direction, int64_t timeUs, std::string_view bytes,
                         bool datagram) {
    const uint64_t offset = transcript_.Size();
    if (const int err = transcript_.Append(direction, bytes.data(), bytes.size(), timeUs, datagram))
        return err;
    // The answer's time goes with its first bytes, once they are kept.
    std::optional<int64_t> reply;
    if (direction == Direction::Received) reply = std::exchange(pendingReply_, std::nullopt);
    if (log_) log_->Append(Saved(direction), timeUs, bytes, datagram, reply);
    if (reply) KeepReplyTime(offset, *reply);
    if (script_ && direction == Direction::Received) script_->Received(bytes, timeUs);
    if (direction == Direction::Received && pageEncoding_.Received(bytes))
        view_.PageEncodingChanged();
    if (direction == Direction::Received && replier_)
        replier_->Feed(bytes, pageEncoding_.InForce());
    return 0;
}

void MainController::KeepNote(int64_t timeUs, const std::string &text, NoteKind kind) {
    transcript_.AddNote(text, timeUs, kind);
    if (log_) log_->Note(timeUs, text);
}

std::string UnsentText(const std::string &endText, uint64_t unsent) {
    if (unsent == 0) return endText;
    return endText + " (" + std::to_string(unsent) + "バイトは送信されていません)";
}

void MainController::StartLog(const Destination &params) {
    const OptionValues values = ReadOptions(settings_);
    const std::string folder = values.Text(Option::LogFolder);
    if (folder.empty()) {
        log_.reset();
        logFolder_.clear();
        return;
    }
    // A log stopped by an error tries again with the next connection; the log decodes in the
    // encoding the page shows when the connection starts.
    const Encoding encoding = pageEncoding_.InForce();
    if (!log_ || folder != logFolder_ || encoding != logEncoding_ || log_->Stopped()) {
        log_.reset();
        log_ = std::make_unique<SessionLog>(folder, ChunkDecodersFor(encoding));
        logFolder_ = folder;
        logEncoding_ = encoding;
    }
    log_->StartConnection(params.host + ":" + std::to_string(params.port), NowUs(),
                          static_cast<uint32_t>(generation_));
}

std::optional<CaptureConnection> MainController::CaptureConnectionOf(uint32_t connection) const {
    for (const auto &[number, ends] : captureEnds_)
        if (number == connection) return ends;
    return std::nullopt;
}

std::optional<ScriptTarget> MainController::ScriptTargetOf(uint32_t connection) const {
    for (const auto &[number, target] : scriptTargets_)
        if (number == connection) return target;
    return std::nullopt;
}

// The current connection is over: its capture closes, with the first FIN from the side that
// ended it.
void MainController::CaptureEnded(bool byPeer) {
    for (auto &[number, ends] : captureEnds_) {
        if (number != static_cast<uint32_t>(generation_) || ends.ended) continue;
        ends.ended = true;
        ends.closedByPeer = byPeer;
    }
}

// What the last connection left waiting is its own: kept before a new part starts, unless the
// page is emptied anyway; then it is quit.
void MainController::EndLastConnection(const OptionValues &switches) {
    if (switches[Option::ConReClear]) {
        flow_.DropBacklog();
    } else {
        // What it read and wrote before it stops is kept too, however little was pumped.
        if (connection_) {
            connection_->Quit();
            flow_.FillRecordOnly(*connection_);
        }
        flow_.KeepAll();
        flow_.DropBacklog(); // what the transcript refused now (a full disk) cannot wait longer
    }
    if (connection_ && log_) log_->EndConnection();
    if (connection_) CaptureEnded(false);
    QuitConnection();
}

// A new connection, made or accepted, starts its own part of the transcript and of the log.
void MainController::BeginTranscriptPart(const Destination &params, bool listening) {
    const OptionValues values = ReadOptions(settings_);
    // The new connection's bytes are looked at afresh; the choice is the options' again, unless
    // every connection is to start automatic.
    pageEncoding_.BeginConnection();
    storedViewChoice_ = ViewEncodingChosen(values);
    ChooseViewEncoding(values[Option::ViewAutoDetect] ? std::nullopt : storedViewChoice_);
    // Emptied before anything of the new connection is kept (its first send included).
    if (values[Option::ConReClear]) {
        transcript_.Clear();
        captureEnds_.clear();
        scriptTargets_.clear();
        pageProtocol_.Forget();
    }
    transcript_.BeginConnection(static_cast<uint32_t>(generation_));
    pageProtocol_.BeginConnection(static_cast<uint32_t>(generation_),
                                  listening ? std::nullopt : std::optional<int32_t>(params.port));
    if (pageProtocol_.Choose(ViewProtocolOf(values))) view_.PageProtocolChanged();
    stalled_ = false; // the status is the new connection's from here on
    replyTimes_.clear();
    pendingReply_.reset();
    view_.SetReplyTimeText(std::string());
    if (replier_) replier_->Restart();
    StartLog(params);
}

void MainController::ShowStoreState() {
    const int err = flow_.KeepError();
    if (err != 0 && !stalled_) {
        stalled_ = true;
        statusBeforeStall_ = status_;
        SetStatus(TranscriptStalledText(err));
    } else if (err == 0 && stalled_) {
        stalled_ = false;
        SetStatus(statusBeforeStall_);
    }
}

TlsClientOptions MainController::TlsOptionsFor(const std::string &host, int32_t port) const {
    TlsClientOptions tls;
    tls.host = host;
    tls.caFile = caFile_;
    const std::string key = PinKey(host, static_cast<uint16_t>(static_cast<uint32_t>(port)));
    const TrustPins pins = LoadTrustPins(settingsPath_);
    if (const auto it = pins.find(key); it != pins.end()) tls.pinnedSha256 = it->second;
    return tls;
}

std::optional<TlsReach> MainController::ReachFor(const Destination &params, bool startTls) {
    const std::optional<std::string> given = std::exchange(passphrase_, std::nullopt);
    const bool keep = std::exchange(keepPassphrase_, false);
    const TlsReachOutcome outcome = PrepareTlsReach(params.tlsDetails, settingsPath_, given);
    switch (outcome.status) {
    case TlsReachOutcome::Status::Ready:
        if (given && keep && outcome.reach.identity) {
            const TlsDetails &details = params.tlsDetails;
            if (!SaveTlsPassphrase(
                    settingsPath_,
                    details.keyFile.empty() ? details.certificateFile : details.keyFile, *given)) {
                view_.ShowWarning("パスフレーズを設定ファイル(" + settingsPath_ +
                                  ")に保存できませんでした。今回だけ使います");
            }
        }
        return outcome.reach;
    case TlsReachOutcome::Status::AskPassphrase: {
        awaitingPassphrase_ = AwaitingPassphrase{params, startTls, generation_};
        PassphraseQuestion question;
        question.file = outcome.text;
        question.destination = HostFieldText(params.host, params.port);
        question.retry = outcome.retry;
        view_.AskPassphrase(question);
        return std::nullopt;
    }
    case TlsReachOutcome::Status::Refused:
        break;
    }
    view_.ShowWarning(outcome.text);
    return std::nullopt;
}

TlsClientOptions MainController::ReachingOptions(const Destination &params, const TlsReach &reach) {
    TlsClientOptions tls = TlsOptionsFor(params.host, params.port);
    tls.serverName = reach.serverName;
    tls.alpn = reach.alpn;
    tls.identity = reach.identity;
    tls.keyLog = OpenKeyLog();
    return tls;
}

std::shared_ptr<KeyLog> MainController::OpenKeyLog() {
    const std::string path =
        KeyLogPath(ReadOptions(settings_).Text(Option::KeyLogFile), std::getenv("SSLKEYLOGFILE"));
    if (path.empty()) return nullptr;
    std::string error;
    std::shared_ptr<KeyLog> log = KeyLog::Open(path, error);
    if (!log) view_.ShowWarning(error + "。鍵を記録せずに接続します");
    return log;
}

void MainController::AnswerPassphrase(std::optional<std::string> passphrase, bool keep) {
    if (!awaitingPassphrase_) return;
    const AwaitingPassphrase waiting = std::move(*awaitingPassphrase_);
    awaitingPassphrase_.reset();
    if (!passphrase) return;
    passphrase_ = std::move(passphrase);
    keepPassphrase_ = keep;
    if (!waiting.startTls) {
        Connect(waiting.params);
    } else if (waiting.generation == generation_) {
        StartTls();
    }
    passphrase_.reset();
    keepPassphrase_ = false;
}

void MainController::StartConnection(std::unique_ptr<Connection> connection) {
    connection_ = std::move(connection);
    handedOver_ = 0;
    sendCounter_ = 0;
    peerHost_.clear();
    peerPort_ = 0;
    tlsStarted_ = false;
    peerReached_ = false;
    userEnded_ = false;
    chain_.clear();
    view_.SetPeerText(std::string());
    view_.SetStartTlsAvailable(false);
}

void MainController::Progress(ConnectionEvent &event) {
    switch (event.type) {
    case ConnectionEvent::Type::Reached:
        peerReached_ = true;
        if (script_) script_->Connected(event.data);
        if (const auto peer = ParseCaptureAddress(event.data),
            local = ParseCaptureAddress(event.local);
            peer && local) {
            CaptureConnection ends;
            ends.local = *local;
            ends.peer = *peer;
            ends.localOpened = !listening_;
            ends.udp = datagrams_;
            captureEnds_.emplace_back(static_cast<uint32_t>(generation_), ends);
        }
        if (!listening_ && !datagrams_)
            scriptTargets_.emplace_back(
                static_cast<uint32_t>(generation_),
                ScriptTarget{destination_.host, destination_.port, destination_.tls});
        if (listening_) {
            // The other end is the host of "%host%" and "%port%" here.
            const HostFieldDecision peer = DecideHostField(event.data, {});
            peerHost_ = peer.host;
            peerPort_ = peer.port;
        }
        if (datagrams_) {
            UdpReached(event);
        } else if (listening_) {
            view_.SetPeerText("相手: " + event.data);
            SetStatus(event.data + "から接続されました");
        } else {
            view_.SetPeerText(event.data);
        }
        // STARTTLS makes this side the TLS client: only for a connection it made, over TCP.
        view_.SetStartTlsAvailable(!tlsStarted_ && !listening_ && !datagrams_);
        break;
    case ConnectionEvent::Type::Handshaking:
        view_.SetStartTlsAvailable(false);
        view_.SetPeerText(event.data + "  TLSハンドシェイク中 (" +
                          std::to_string((event.timeout.count() + 999) / 1000) + "秒で打ち切り)");
        break;
    case ConnectionEvent::Type::Question: {
        CertificateQuestion question;
        question.host = destination_.host;
        question.port = destination_.port;
        question.peer = event.data;
        question.outcome = std::move(event.certificate);
        view_.SetPeerText(event.data + "  証明書の確認待ち");
        view_.AskCertificate(question);
        break;
    }
    case ConnectionEvent::Type::Secured:
        if (script_) script_->Secured(event.protocol + " " + event.cipher);
        chain_ = std::move(event.certificate.chain);
        view_.SetPeerText(SecuredPeerText(event));
        if (!event.keyLogError.empty()) view_.ShowWarning(event.keyLogError);
        break;
    case ConnectionEvent::Type::Notice:
    case ConnectionEvent::Type::PeerChanged:
        DatagramProgress(event);
        break;
    case ConnectionEvent::Type::Received:
    case ConnectionEvent::Type::Sent:
    case ConnectionEvent::Type::TlsStarting:
    case ConnectionEvent::Type::Marked:
    case ConnectionEvent::Type::Ended:
        break;
    }
}

void MainController::StartTls() {
    if (!connection_ || !connectedLook_ || tlsStarted_ || !peerReached_ || listening_ || datagrams_)
        return;
    // The switch waits for the passphrase, if the key needs one, and is not made without it.
    const std::optional<TlsReach> reach = ReachFor(destination_, true);
    if (!reach) return;
    tlsStarted_ = true;
    view_.SetStartTlsAvailable(false);
    connection_->StartTls(ReachingOptions(destination_, *reach));
}

void MainController::AnswerCertificate(CertificateChoice choice) {
    if (!connection_) return;
    // The question is always about the certificate the connection is paused on.
    if (choice == CertificateChoice::Always && lastQuestionLeaf_) {
        const std::string key = PinKey(
            destination_.host, static_cast<uint16_t>(static_cast<uint32_t>(destination_.port)));
        if (!SaveTrustPin(settingsPath_, key, *lastQuestionLeaf_))
            view_.ShowWarning(PinNotSavedText(destination_.host, key, settingsPath_));
    }
    connection_->Decide(choice != CertificateChoice::Cancel);
}

ListenOutcome MainController::Listen(const ListenParams &params) {
    awaitingPassphrase_.reset();
    if (std::optional<ListenOutcome> refused = RefuseUdpListen(params)) return *refused;
    StopAutoReplies();
    ListenOutcome outcome;
    std::shared_ptr<const TlsServerIdentity> identity;
    if (params.tls) {
        std::string error;
        if (params.certificateFile.empty() && params.keyFile.empty()) {
            identity = TlsServerIdentity::Generate(error);
            if (identity) outcome.text = identity->Certificate().sha256;
        } else {
            identity = TlsServerIdentity::LoadFiles(params.certificateFile, params.keyFile, error);
        }
        if (!identity) {
            outcome.text = error;
            view_.ShowMessage(error, MessageStyle::Warning);
            return outcome;
        }
    }
    return ListenWith(params, std::move(identity), std::move(outcome));
}

ListenOutcome MainController::ListenWith(const ListenParams &params,
                                         std::shared_ptr<const TlsServerIdentity> identity,
                                         ListenOutcome outcome) {
    const uint16_t port = static_cast<uint16_t>(static_cast<uint32_t>(params.port));
    ConnectionOptions options;
    std::optional<ListenResult> udp = BindUdp(params, options);
    ListenResult bound = udp ? std::move(*udp) : ListenAt(params.bind, params.address, port);
    if (bound.fd < 0) {
        outcome.text = bound.text.empty() ? ListenErrorText(bound.error, port) : bound.text;
        view_.ShowMessage(outcome.text, MessageStyle::Warning);
        return outcome;
    }
    // The port the system chose for port 0 is the one listened on, and again after a peer.
    const int32_t boundPort = BoundPort(bound.address);
    EndLastConnection(ReadOptions(settings_));
    flow_.Restart();
    ++generation_;
    showOnNextData_ = true;
    BeginTranscriptPart(Destination{"listen", boundPort}, true);
    listening_ = true;
    listenParams_ = params;
    listenParams_.port = boundPort;
    identity_ = identity;
    destination_ = Destination{};
    destination_.port = boundPort;
    SetLook(true);
    options.wake = wake_;
    options.queueLimit = kReceiveQueueLimit;
    options.tlsServer = identity;
    if (identity) options.serverKeyLog = OpenKeyLog();
    if (!options.endpoint) {
        options.endpoint = [fd = std::make_shared<UniqueFd>(bound.fd)] {
            return MakeListenEndpoint(std::move(*fd));
        };
    }
    datagrams_ = options.datagrams;
    datagramPeer_.clear();
    const std::string bindText = ListeningText(bound);
    StartConnection(std::make_unique<Connection>(bindText, boundPort, std::move(options)));
    SetStatus(bindText + (datagrams_ ? "でUDPを待ち受け中" : "で待ち受け中"));
    outcome.listening = true;
    return outcome;
}

bool MainController::ListenAgain() {
    if (!listening_ || userEnded_ || !ReadOptions(settings_)[Option::KeepListening]) return false;
    const ListenParams params = listenParams_;
    return ListenWith(params, identity_, ListenOutcome()).listening;
}

void MainController::Start() {
    const OptionValues values = ReadOptions(settings_);
    storedViewChoice_ = ViewEncodingChosen(values);
    pageEncoding_.Choose(storedViewChoice_);
    pageProtocol_.Choose(ViewProtocolOf(values));
    SetLook(false);
}

void MainController::ViewOptionsChanged() {
    const OptionValues values = ReadOptions(settings_);
    TakeStoredViewChoice(values);
    if (pageProtocol_.Choose(ViewProtocolOf(values))) view_.PageProtocolChanged();
}

void MainController::TakeStoredViewChoice(const OptionValues &values) {
    const std::optional<Encoding> stored = ViewEncodingChosen(values);
    if (stored == storedViewChoice_) return;
    storedViewChoice_ = stored;
    ChooseViewEncoding(stored);
}

void MainController::ChooseViewEncoding(std::optional<Encoding> chosen) {
    if (chosen == pageEncoding_.Chosen()) return;
    pageEncoding_.Choose(chosen);
    view_.PageEncodingChanged();
}

void MainController::Connect(const Destination &params) {
    // Before anything changes: the passphrase may be asked for, or the details refused. A
    // question still open for an earlier connect is answered for nothing.
    awaitingPassphrase_.reset();
    awaitingPassword_.reset();
    if (params.udp) return ConnectUdp(params);
    std::optional<TlsReach> reach;
    if (params.tls && !(reach = ReachFor(params, false))) return;
    const ProxyChoice choice = ChooseProxy(
        params.proxy, ReadOptions(settings_).Text(Option::Proxy), environment_, params.host,
        static_cast<uint16_t>(static_cast<uint32_t>(params.port)), params.tls);
    if (choice.kind == ProxyChoice::Kind::Invalid) {
        view_.ShowWarning(choice.source + "を使えません: " + choice.error);
        return;
    }
    if (choice.kind == ProxyChoice::Kind::Direct) return BeginConnect(params, reach, std::nullopt);
    ProxyUrl proxy = choice.proxy;
    if (!proxy.user.empty() && !proxy.password) {
        proxy.password = LoadProxyPassword(settingsPath_, proxy);
        if (!proxy.password) {
            // Nothing changes until the answer: the last connection's page and state stay.
            awaitingPassword_ = AwaitingPassword{params, reach, proxy};
            view_.AskProxyPassword(ProxyPasswordQuestion{FormatProxyUrl(proxy), proxy.user,
                                                         HostFieldText(params.host, params.port)});
            return;
        }
        BeginConnect(params, reach, proxy);
        keptPasswordUsed_ = proxy;
        return;
    }
    BeginConnect(params, reach, proxy);
}

void MainController::AnswerProxyPassword(std::optional<std::string> password, bool keep) {
    if (!awaitingPassword_) return;
    AwaitingPassword waiting = std::move(*awaitingPassword_);
    awaitingPassword_.reset();
    if (!password) return;
    ProxyUrl &proxy = waiting.proxy;
    proxy.password = std::move(password);
    BeginConnect(waiting.params, waiting.reach, proxy);
    if (keep && SaveProxyPassword(settingsPath_, proxy, *proxy.password)) keptPasswordUsed_ = proxy;
}

void MainController::BeginConnect(const Destination &params, const std::optional<TlsReach> &reach,
                                  std::optional<ProxyUrl> proxy) {
    StopAutoReplies();
    keptPasswordUsed_.reset();
    const OptionValues switches = ReadOptions(settings_);
    EndLastConnection(switches);
    flow_.Restart();
    ++generation_;
    showOnNextData_ = true;
    BeginTranscriptPart(params, false);
    listening_ = false;
    destination_ = params;
    SetLook(true);
    ConnectionOptions options;
    options.wake = wake_;
    options.queueLimit = kReceiveQueueLimit;
    options.datagrams = datagrams_ = params.udp;
    datagramPeer_.clear();
    if (params.tls && reach) options.tlsClient = ReachingOptions(params, *reach);
    if (proxy) {
        options.endpoint = [proxy = *proxy, host = params.host, port = params.port] {
            return MakeProxyEndpoint(proxy, host, port);
        };
    }
    StartConnection(factory_(params, std::move(options)));
    tlsStarted_ = params.tls;
    if (proxy) {
        SetStatus(HostFieldText(params.host, params.port) + "にプロキシ" +
                  ProxyAddressText(*proxy) + "経由で接続中");
    } else {
        SetStatus(ConnectingText(params));
    }
    if (switches[Option::ConSend]) Send();
    if (switches[Option::ConReClear]) view_.ClearReceivePage();
}

void MainController::Disconnect() {
    StopRepeatWith("切断しました");
    userEnded_ = true;
    view_.SetStartTlsAvailable(false);
    if (connection_) connection_->Disconnect();
    SetLook(false);
}

void MainController::ProcessEvents() {
    PumpScript();
    const uint64_t sizeBefore = transcript_.Size();
    const uint64_t generationBefore = transcript_.Generation();
    const std::size_t notesBefore = transcript_.Notes().size();
    if (connection_) flow_.Fill(*connection_);
    const auto start = std::chrono::steady_clock::now();
    const std::size_t kept = flow_.Waiting() ? flow_.KeepStep() : 0;
    RunAutoReplies();
    ShowStoreState();
    if (log_) {
        const std::string logError = log_->TakeError();
        if (!logError.empty()) view_.ShowWarning(logError);
    }
    for (ConnectionEvent &event : flow_.TakeProgress()) {
        if (event.type == ConnectionEvent::Type::Question && event.certificate.Leaf())
            lastQuestionLeaf_ = event.certificate.Leaf()->sha256;
        Progress(event);
    }
    // Only what the peer says brings the page forward: a send's own bytes do not.
    if (kept > 0 && flow_.LastStepReceived() > 0) {
        if (showOnNextData_) view_.ShowReceivePage();
        showOnNextData_ = false;
    }
    if (transcript_.Size() != sizeBefore || transcript_.Generation() != generationBefore ||
        transcript_.Notes().size() != notesBefore)
        view_.TranscriptAppended();
    if (kept > 0) flow_.StepTook(std::chrono::steady_clock::now() - start);
    std::optional<ConnectionEvent> end = flow_.TakeEnd();
    if (!end) return;

    // The connection is done with before anything is shown. A view that tells the end at once
    // (rather than after the pump, as the window does) may let the user start a new connection
    // meanwhile, whose look must then not be overwritten.
    QuitConnection();
    StopRepeatWith(end->data);
    if (log_) log_->EndConnection();
    CaptureEnded(end->reason == EndReason::PeerClosed || end->reason == EndReason::Error);
    view_.SetStartTlsAvailable(false);
    view_.SetPeerText(std::string());
    chain_.clear();
    // A kept password the proxy refused would be refused again: the next connect asks.
    std::string message = end->data;
    if (end->reason == EndReason::ProxyAuthFailed && keptPasswordUsed_ &&
        ForgetProxyPassword(settingsPath_, *keptPasswordUsed_))
        message += "\n保存していたパスワードは消しました。次の接続で尋ねます";
    keptPasswordUsed_.reset();
    const uint64_t generation = generation_;
    const uint64_t sent = flow_.SentTaken();
    const std::string endText = UnsentText(end->data, handedOver_ > sent ? handedOver_ - sent : 0);
    if (script_) script_->Ended(endText);
    view_.ShowMessage(endText + message.substr(end->data.size()),
                      IsStartFailure(end->reason) ? MessageStyle::Warning : MessageStyle::Notice);
    if (generation != generation_) return;
    SetStatus(endText);
    SetLook(false);
    // The peer went: with the option on, the next one is waited for (the end was still told).
    if (peerReached_ && ListenAgain()) return;
    listening_ = false;
    StopAutoReplies();
}

bool MainController::MoreAtOnce() const {
    if (flow_.Refused()) return false;
    return flow_.Backlog() > 0 || (connection_ && connection_->HasEvents());
}

void MainController::Close() {
    script_.reset(); // stops it
    repeater_.Stop(std::string());
    awaitingPassword_.reset();
    replier_.reset();
    QuitConnection();
    log_.reset(); // writes and syncs what it holds
    flow_.DropBacklog();
    flow_.Restart();
}

std::size_t MainController::QueuedBytes() const {
    return connection_ ? connection_->QueuedBytes() : 0;
}

} // namespace tarvotcpc
