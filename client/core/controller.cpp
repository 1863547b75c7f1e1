#include "controller.hpp"

#include <utility>
#include <vector>

namespace tarvotcpc {

MainController::MainController(MainView &view, SettingsHashes &settings, std::function<void()> wake,
                               ConnectionFactory factory)
    : view_(view), settings_(settings), wake_(std::move(wake)), factory_(std::move(factory)) {
    if (!factory_) {
        factory_ = [](const SessionParams &params, ConnectionOptions options) {
            return std::make_unique<Connection>(params.host, params.port, std::move(options));
        };
    }
}

MainController::~MainController() {
    DropConnection();
}

std::string MainController::ConnectingText(const SessionParams &params) {
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

void MainController::DropConnection() {
    if (!connection_) return;
    connection_->Quit();
    connection_.reset();
}

void MainController::Start() {
    SetLook(false);
}

void MainController::Connect(const SessionParams &params) {
    DropConnection();
    ++generation_;
    receivedText_ = ReceivedText();
    showOnNextData_ = true;
    SetLook(true);
    ConnectionOptions options;
    options.wake = wake_;
    options.queueLimit = kReceiveQueueLimit;
    connection_ = factory_(params, std::move(options));
    SetStatus(ConnectingText(params));
    if (ReadOption(settings_, kOptionConSend) != 0) Send();
    if (ReadOption(settings_, kOptionConReClear) != 0) view_.ClearReceivePage();
}

void MainController::Send() {
    if (!connection_ || !connectedLook_) return;
    connection_->Send(ToCrlf(view_.SendPageText()));
    showOnNextData_ = true;
    if (ReadOption(settings_, kOptionConSenClear) != 0) view_.ClearSendPage();
}

void MainController::Disconnect() {
    if (connection_) connection_->Disconnect();
    SetLook(false);
}

void MainController::ProcessEvents() {
    if (!connection_) return;
    std::vector<ConnectionEvent> events = connection_->TakeEvents();
    std::string text;
    const ConnectionEvent *end = nullptr;
    for (const ConnectionEvent &event : events) {
        if (event.type == ConnectionEvent::Type::Received) {
            text += receivedText_.Feed(event.data);
        } else {
            end = &event;
            text += receivedText_.Flush();
            break;
        }
    }
    if (!text.empty()) {
        if (showOnNextData_) view_.ShowReceivePage();
        showOnNextData_ = false;
        view_.AppendReceivedText(text);
    }
    if (end == nullptr) return;

    // The connection is done with before anything is shown: a message box may run the window's
    // event loop, and whatever runs meanwhile must find the controller in its final state.
    const EndReason reason = end->reason;
    const std::string message = end->data;
    DropConnection();
    const uint64_t generation = generation_;
    view_.ShowMessage(message,
                      IsStartFailure(reason) ? MessageStyle::Warning : MessageStyle::Notice);
    if (generation != generation_) return; // a new connection was started meanwhile
    SetStatus(message);
    SetLook(false);
}

void MainController::Close() {
    DropConnection();
}

void MainController::PauseReading() {
    if (connection_) connection_->PauseReading();
}

void MainController::ResumeReading() {
    if (connection_) connection_->ResumeReading();
}

std::size_t MainController::QueuedBytes() const {
    return connection_ ? connection_->QueuedBytes() : 0;
}

} // namespace tarvotcpc
