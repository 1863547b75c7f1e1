#include "controller.hpp"

#include <chrono>
#include <cstring>
#include <utility>

#include "options.hpp"
#include "send_encoding.hpp"

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

} // namespace

std::string TranscriptStalledText(int err) {
    return std::string("受信データを記録できないため受信を止めています (") + std::strerror(err) +
           ")。記録できるようになると再開します";
}

MainController::MainController(MainView &view, SettingsHashes &settings, std::function<void()> wake,
                               ConnectionFactory factory, TranscriptOptions transcriptOptions)
    : view_(view), settings_(settings), wake_(std::move(wake)), factory_(std::move(factory)),
      transcript_(std::move(transcriptOptions)) {
    flow_.SetKeeper([this](std::string_view bytes) { return Keep(Direction::Received, bytes); });
    if (!factory_) {
        factory_ = [](const Destination &params, ConnectionOptions options) {
            return std::make_unique<Connection>(params.host, params.port, std::move(options));
        };
    }
}

MainController::~MainController() {
    QuitConnection();
}

std::string MainController::ConnectingText(const Destination &params) {
    return params.host + ":" + std::to_string(params.port) + "に接続中";
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

// Sent bytes still held go first, so that the transcript keeps the order of the wire.
int MainController::Keep(Direction direction, std::string_view bytes) {
    const int64_t now = NowUs();
    while (!heldSent_.empty()) {
        const std::string &held = heldSent_.front();
        if (const int err = transcript_.Append(Direction::Sent, held.data(), held.size(), now))
            return err;
        if (log_) log_->Append(SavedDirection::Sent, now, held);
        heldSent_.erase(heldSent_.begin());
    }
    if (bytes.empty()) return 0;
    if (const int err = transcript_.Append(direction, bytes.data(), bytes.size(), now)) return err;
    if (log_) log_->Append(Saved(direction), now, bytes);
    return 0;
}

void MainController::StartLog(const Destination &params) {
    const std::string folder = ReadOptions(settings_).Text(Option::LogFolder);
    if (folder.empty()) {
        log_.reset();
        logFolder_.clear();
        return;
    }
    // A log stopped by an error tries again with the next connection.
    if (!log_ || folder != logFolder_ || log_->Stopped()) {
        log_.reset();
        log_ = std::make_unique<SessionLog>(folder);
        logFolder_ = folder;
    }
    log_->StartConnection(params.host + ":" + std::to_string(params.port), NowUs(),
                          static_cast<uint32_t>(generation_));
}

void MainController::ShowStoreState() {
    const int err = flow_.KeepError();
    if (err != 0 && !stalled_) {
        stalled_ = true;
        statusBeforeStall_ = status_;
        SetStatus(TranscriptStalledText(err));
    } else if (err == 0 && heldSent_.empty() && stalled_) {
        stalled_ = false;
        SetStatus(statusBeforeStall_);
    }
}

void MainController::Start() {
    SetLook(false);
}

void MainController::Connect(const Destination &params) {
    const OptionValues switches = ReadOptions(settings_);
    // What the last connection left waiting is its own: kept before the new part starts, unless
    // the page is emptied anyway.
    if (switches[Option::ConReClear]) {
        flow_.DropBacklog();
    } else {
        flow_.KeepAll();
        flow_.DropBacklog(); // what the transcript refused now (a full disk) cannot wait longer
    }
    if (connection_ && log_) log_->EndConnection();
    QuitConnection();
    flow_.Restart();
    ++generation_;
    showOnNextData_ = true;
    // Emptied before anything of the new connection is kept (its first send included).
    if (switches[Option::ConReClear]) {
        transcript_.Clear();
        heldSent_.clear();
    }
    // Bytes the last connection sent while the disk was full belong to its part.
    if (!heldSent_.empty()) Keep(Direction::Sent, {});
    transcript_.BeginConnection(static_cast<uint32_t>(generation_));
    stalled_ = false; // the status is the new connection's from here on
    StartLog(params);
    SetLook(true);
    ConnectionOptions options;
    options.wake = wake_;
    options.queueLimit = kReceiveQueueLimit;
    connection_ = factory_(params, std::move(options));
    SetStatus(ConnectingText(params));
    if (switches[Option::ConSend]) Send();
    if (switches[Option::ConReClear]) view_.ClearReceivePage();
}

void MainController::Send() {
    if (!connection_ || !connectedLook_) return;
    const OptionValues values = ReadOptions(settings_);
    SendBytes out = EncodeForSend(view_.SendPageText(), SendEncodingOf(values),
                                  SendLineEndingOf(values), values[Option::SendEscapes]);
    if (!out.ok) {
        view_.ShowWarning(out.error);
        return;
    }
    connection_->Send(out.bytes);
    // On the wire already: should the transcript refuse them now, they wait for it.
    if (!out.bytes.empty()) {
        if (Keep(Direction::Sent, out.bytes) != 0) {
            heldSent_.push_back(std::move(out.bytes));
        } else {
            view_.TranscriptAppended();
        }
    }
    showOnNextData_ = true;
    if (values[Option::ConSenClear]) view_.ClearSendPage();
}

void MainController::Disconnect() {
    if (connection_) connection_->Disconnect();
    SetLook(false);
}

void MainController::ProcessEvents() {
    const uint64_t sizeBefore = transcript_.Size();
    const uint64_t generationBefore = transcript_.Generation();
    if (!heldSent_.empty()) Keep(Direction::Sent, {});
    if (connection_) flow_.Fill(*connection_);
    const auto start = std::chrono::steady_clock::now();
    const std::size_t kept = flow_.Backlog() > 0 ? flow_.KeepStep() : 0;
    ShowStoreState();
    if (log_) {
        const std::string logError = log_->TakeError();
        if (!logError.empty()) view_.ShowWarning(logError);
    }
    if (kept > 0) {
        if (showOnNextData_) view_.ShowReceivePage();
        showOnNextData_ = false;
    }
    if (transcript_.Size() != sizeBefore || transcript_.Generation() != generationBefore)
        view_.TranscriptAppended();
    if (kept > 0) flow_.StepTook(std::chrono::steady_clock::now() - start);
    std::optional<ConnectionEvent> end = flow_.TakeEnd();
    if (!end) return;

    // The connection is done with before anything is shown. A view that tells the end at once
    // (rather than after the pump, as the window does) may let the user start a new connection
    // meanwhile, whose look must then not be overwritten.
    QuitConnection();
    if (log_) log_->EndConnection();
    const uint64_t generation = generation_;
    view_.ShowMessage(end->data,
                      IsStartFailure(end->reason) ? MessageStyle::Warning : MessageStyle::Notice);
    if (generation != generation_) return;
    SetStatus(end->data);
    SetLook(false);
}

void MainController::Close() {
    QuitConnection();
    log_.reset(); // writes and syncs what it holds
    flow_.DropBacklog();
    flow_.Restart();
}

std::size_t MainController::QueuedBytes() const {
    return connection_ ? connection_->QueuedBytes() : 0;
}

} // namespace tarvotcpc
