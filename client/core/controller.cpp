#include "controller.hpp"

#include <chrono>
#include <utility>

#include "options.hpp"

namespace tarvotcpc {

MainController::MainController(MainView &view, SettingsHashes &settings, std::function<void()> wake,
                               ConnectionFactory factory)
    : view_(view), settings_(settings), wake_(std::move(wake)), factory_(std::move(factory)) {
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

void MainController::Start() {
    SetLook(false);
}

void MainController::Connect(const Destination &params) {
    QuitConnection();
    flow_.Restart();
    ++generation_;
    showOnNextData_ = true;
    SetLook(true);
    ConnectionOptions options;
    options.wake = wake_;
    options.queueLimit = kReceiveQueueLimit;
    connection_ = factory_(params, std::move(options));
    SetStatus(ConnectingText(params));
    const OptionValues switches = ReadOptions(settings_);
    if (switches[Option::ConSend]) Send();
    if (switches[Option::ConReClear]) {
        flow_.DropBacklog();
        view_.ClearReceivePage();
    }
}

void MainController::Send() {
    if (!connection_ || !connectedLook_) return;
    connection_->Send(ToCrlf(view_.SendPageText()));
    showOnNextData_ = true;
    if (ReadOptions(settings_)[Option::ConSenClear]) view_.ClearSendPage();
}

void MainController::Disconnect() {
    if (connection_) connection_->Disconnect();
    SetLook(false);
}

void MainController::ProcessEvents() {
    if (connection_) flow_.Fill(*connection_);
    if (flow_.Backlog() > 0) {
        const std::string step = flow_.NextStep();
        if (showOnNextData_) view_.ShowReceivePage();
        showOnNextData_ = false;
        const auto start = std::chrono::steady_clock::now();
        view_.AppendReceivedText(step);
        flow_.StepTook(std::chrono::steady_clock::now() - start);
    }
    std::optional<ConnectionEvent> end = flow_.TakeEnd();
    if (!end) return;

    // The connection is done with before anything is shown. A view that tells the end at once
    // (rather than after the pump, as the window does) may let the user start a new connection
    // meanwhile, whose look must then not be overwritten.
    QuitConnection();
    const uint64_t generation = generation_;
    view_.ShowMessage(end->data,
                      IsStartFailure(end->reason) ? MessageStyle::Warning : MessageStyle::Notice);
    if (generation != generation_) return;
    SetStatus(end->data);
    SetLook(false);
}

void MainController::Close() {
    QuitConnection();
    flow_.DropBacklog();
    flow_.Restart();
}

std::size_t MainController::QueuedBytes() const {
    return connection_ ? connection_->QueuedBytes() : 0;
}

} // namespace tarvotcpc
