#include "session/script_session.hpp"

#include <chrono>

#include "session/controller.hpp"

namespace tarvotcpc {

namespace {

int64_t NowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// Marks a line of the record as the script's rather than the peer's or the user's.
std::string ScriptNote(const std::string &text) {
    return "スクリプト: " + text;
}

} // namespace

ScriptSession::ScriptSession(MainController &controller, std::function<void()> wake)
    : controller_(controller), wake_(std::move(wake)) {}

ScriptSession::~ScriptSession() {
    // The run's thread may still queue a request or wake the window until it has ended.
    run_.reset();
}

void ScriptSession::Start(std::string source, std::string name, ScriptOptions options) {
    options.step = [this](const ScriptStep &step) {
        Queue({Request::Kind::Step, step.text, step.function});
    };
    options.finished = [this] { Queue({Request::Kind::Finished, {}, {}}); };
    run_ = std::make_unique<ScriptRun>(std::move(source), std::move(name), *this, options);
    running_ = true;
    run_->Start();
}

void ScriptSession::Stop() {
    if (run_) run_->Stop();
}

void ScriptSession::Queue(Request request) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(std::move(request));
    }
    wake_();
}

std::string ScriptSession::Send(std::string bytes) {
    Queue({Request::Kind::Send, std::move(bytes), {}});
    return {};
}

std::string ScriptSession::Connect(const std::string &host, int32_t port, bool tls) {
    Queue({Request::Kind::Connect, host, {}, port, tls});
    return {};
}

std::string ScriptSession::StartTls() {
    Queue({Request::Kind::StartTls, {}, {}});
    return {};
}

void ScriptSession::Close() {
    Queue({Request::Kind::Close, {}, {}});
}

void ScriptSession::Note(const std::string &text) {
    Queue({Request::Kind::Note, text, {}});
}

void ScriptSession::Received(std::string_view bytes, int64_t timeUs) {
    if (run_) run_->Received(bytes, timeUs);
}

void ScriptSession::Connected(const std::string &peer) {
    if (run_) run_->Connected(peer);
}

void ScriptSession::Secured(const std::string &description) {
    if (run_) run_->Secured(description);
}

void ScriptSession::Ended(const std::string &reason) {
    if (run_) run_->Ended(reason);
}

bool ScriptSession::Pump() {
    std::deque<Request> requests;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        requests.swap(requests_);
    }
    for (Request &request : requests) {
        switch (request.kind) {
        case Request::Kind::Send:
            controller_.SendScriptBytes(std::move(request.text));
            break;
        case Request::Kind::Connect: {
            Destination destination;
            destination.host = request.text;
            destination.port = request.port;
            destination.tls = request.tls;
            controller_.Connect(destination);
            break;
        }
        case Request::Kind::StartTls:
            controller_.StartTls();
            break;
        case Request::Kind::Close:
            controller_.Disconnect();
            break;
        case Request::Kind::Note:
            controller_.KeepNote(NowUs(), ScriptNote(request.text));
            controller_.view_.TranscriptAppended();
            break;
        case Request::Kind::Step:
            controller_.SetStatus(request.text);
            // A wait is a step of the exchange the record should show where it began; sends
            // show as their bytes, and log() as its own note.
            if (request.function == "expect" || request.function == "expect_re" ||
                request.function == "sleep") {
                controller_.KeepNote(NowUs(), ScriptNote(request.text));
                controller_.view_.TranscriptAppended();
            }
            break;
        case Request::Kind::Finished:
            Finish();
            return false;
        }
    }
    return true;
}

void ScriptSession::Finish() {
    running_ = false;
    const ScriptOutcome outcome = run_->Outcome();
    std::string text;
    switch (outcome.state) {
    case ScriptOutcome::State::Succeeded:
        text = "スクリプトが最後まで実行されました";
        break;
    case ScriptOutcome::State::Stopped:
        text = "スクリプトを止めました";
        break;
    case ScriptOutcome::State::Failed:
    case ScriptOutcome::State::Running:
        text = outcome.message;
        break;
    }
    controller_.KeepNote(NowUs(), ScriptNote(text));
    controller_.view_.TranscriptAppended();
    controller_.SetStatus(text);
    controller_.view_.ScriptRunning(false);
    if (outcome.state == ScriptOutcome::State::Failed)
        controller_.view_.ShowMessage(text, MessageStyle::Warning);
}

// The controller's side: kept here so that controller.cpp holds only the hooks.

void MainController::RunScript(std::string source, std::string name) {
    if (script_) return;
    const OptionValues values = ReadOptions(settings_);
    TakeStoredViewChoice(values);
    ScriptOptions options;
    options.encoding = SendEncodingSetApart(values).value_or(pageEncoding_.InForce());
    options.lineEnding = SendLineEndingOf(values);
    options.escapes = values[Option::SendEscapes];
    options.connected = connection_ && peerReached_ && connectedLook_;
    // `vars` holds the placeholders as a send would see them now: the user's variables, then
    // the peer's host and port, which win over a variable of the same name.
    PlaceholderValues now = ValuesNow();
    options.vars = now.variables;
    if (!now.host.empty()) {
        options.vars.emplace_back("host", now.host);
        options.vars.emplace_back("port", std::to_string(now.port));
    }
    // With the switch on, send() replaces markers as the page's sends do.
    if (values[Option::Placeholders]) options.placeholders = std::move(now);
    script_ = std::make_unique<ScriptSession>(*this, wake_);
    view_.ScriptRunning(true);
    SetStatus("スクリプト「" + name + "」を実行しています");
    script_->Start(std::move(source), std::move(name), std::move(options));
}

void MainController::StopScript() {
    if (script_) script_->Stop();
}

void MainController::SendScriptBytes(std::string bytes) {
    if (!connection_ || !connectedLook_) {
        KeepNote(NowUs(), ScriptNote("接続していないため送れませんでした"));
        view_.TranscriptAppended();
        return;
    }
    // As a send of the send page: kept once the connection has written it.
    handedOver_ += bytes.size();
    connection_->Send(std::move(bytes));
    showOnNextData_ = true;
}

void MainController::PumpScript() {
    if (script_ && !script_->Pump()) script_.reset();
}

} // namespace tarvotcpc
