#include "exchange/connection_channel.hpp"

#include <chrono>

namespace tarvotcpc {

namespace {

int64_t NowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

} // namespace

ConnectionChannel::ConnectionChannel(ConnectionChannelOptions options)
    : options_(std::move(options)) {}

ConnectionChannel::~ConnectionChannel() {
    if (connection_) connection_->Quit();
}

void ConnectionChannel::Bind(ExchangeSink &sink, std::function<void()> wake) {
    sink_ = &sink;
    wake_ = std::move(wake);
}

void ConnectionChannel::Keep(Entry::Kind kind, std::string text) {
    if (!options_.keep) return;
    std::lock_guard<std::mutex> lock(recordMutex_);
    if (kind == Entry::Kind::Received && !record_.empty() && record_.back().kind == kind)
        record_.back().text += text;
    else
        record_.push_back({kind, std::move(text)});
}

std::vector<ConnectionChannel::Entry> ConnectionChannel::Record() const {
    std::lock_guard<std::mutex> lock(recordMutex_);
    return record_;
}

void ConnectionChannel::Poll() {
    if (!connection_ || sink_ == nullptr) return;
    for (ConnectionEvent &event : connection_->TakeEvents()) {
        if (options_.observe) options_.observe(event);
        switch (event.type) {
        case ConnectionEvent::Type::Received:
            Keep(Entry::Kind::Received, event.data);
            sink_->Received(event.data, NowUs());
            break;
        case ConnectionEvent::Type::Reached:
            sink_->Connected(event.data);
            break;
        case ConnectionEvent::Type::Secured:
            sink_->Secured(event.protocol + " " + event.cipher);
            break;
        case ConnectionEvent::Type::Question:
            // No one to ask: a certificate that does not verify ends the connection.
            connection_->Decide(false);
            break;
        case ConnectionEvent::Type::Ended:
            Keep(Entry::Kind::Ended, event.data);
            sink_->Ended(event.data);
            break;
        case ConnectionEvent::Type::Sent:
            // What the socket took, not what was asked: a send that never went out is not kept.
            Keep(Entry::Kind::Sent, event.data);
            break;
        case ConnectionEvent::Type::TlsStarting:
            Keep(Entry::Kind::Note, "STARTTLS");
            break;
        case ConnectionEvent::Type::Marked:
        case ConnectionEvent::Type::Notice:
            Keep(Entry::Kind::Note, event.data);
            break;
        case ConnectionEvent::Type::Handshaking:
        case ConnectionEvent::Type::PeerChanged:
            break;
        }
    }
}

std::string ConnectionChannel::Send(std::string bytes) {
    if (!connection_) return "接続していないため送れません";
    connection_->Send(std::move(bytes));
    return {};
}

std::string ConnectionChannel::Connect(const std::string &host, int32_t port, bool tls) {
    if (connection_) connection_->Quit();
    connection_.reset();
    ConnectionOptions options;
    options.wake = wake_;
    options.resolver = options_.resolver;
    options.queueLimit = options_.queueLimit;
    if (tls) {
        TlsClientOptions client = ClientOptions(host);
        if (options_.secure)
            if (std::string refused = options_.secure(host, port, client); !refused.empty())
                return refused;
        options.tlsClient = std::move(client);
    }
    if (options_.route)
        if (std::string refused = options_.route(host, port, options); !refused.empty())
            return refused;
    host_ = host;
    port_ = port;
    connection_ = std::make_unique<Connection>(host, port, std::move(options));
    return {};
}

TlsClientOptions ConnectionChannel::ClientOptions(const std::string &host) const {
    TlsClientOptions client;
    client.host = host;
    client.caFile = options_.caFile;
    return client;
}

std::string ConnectionChannel::StartTls() {
    if (!connection_) return "接続していません";
    TlsClientOptions client = ClientOptions(host_);
    if (options_.secure)
        if (std::string refused = options_.secure(host_, port_, client); !refused.empty())
            return refused;
    connection_->StartTls(std::move(client));
    return {};
}

void ConnectionChannel::Quit() {
    if (connection_) connection_->Quit();
}

void ConnectionChannel::Close() {
    if (connection_) connection_->Disconnect();
}

void ConnectionChannel::Note(const std::string &text) {
    Keep(Entry::Kind::Note, text);
}

} // namespace tarvotcpc
