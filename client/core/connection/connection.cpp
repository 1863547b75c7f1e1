#include "connection/connection.hpp"

#include <sys/eventfd.h>
#include <unistd.h>

#include <system_error>
#include <utility>

#include "connection/connection_worker.hpp"
#include "net/datagram.hpp"
#include "tls/tls_transport.hpp"

namespace tarvotcpc {

namespace {

// Small reads are merged into the last queued event up to this size, so that a peer sending in
// dribs gives a few events rather than very many. Full reads stay as they are: growing one string
// by them would copy each byte again and leave the allocator with freed blocks of every size.
constexpr std::size_t kMergeLimit = 256 * 1024;
// What a queued datagram counts against the queue's limit beside its bytes: about its event.
constexpr std::size_t kDatagramCost = sizeof(ConnectionEvent);

// A transport that could not be set up: the first read ends the connection with the reason.
class FailedTransport final : public Transport {
  public:
    FailedTransport(UniqueFd socket, std::string text)
        : socket_(std::move(socket)), text_(std::move(text)) {}
    int Fd() const override { return socket_.Get(); }
    short PollEvents(bool, bool) const override { return POLLIN | POLLOUT; }
    IoResult Read(char *, std::size_t) override { return {IoResult::Status::Error, 0, text_}; }
    IoResult Write(const char *, std::size_t) override {
        return {IoResult::Status::Error, 0, text_};
    }
    void Close() override { socket_.Reset(); }
    bool HasPendingInput() const override { return true; }

  private:
    UniqueFd socket_;
    std::string text_;
};

} // namespace

std::string EndText(EndReason reason, const std::string &host, const std::string &systemText) {
    switch (reason) {
    case EndReason::SocketFailed:
        return "ソケットの作成に失敗しました";
    case EndReason::HostNotFound:
        return "ホスト" + host + "が見つかりません";
    case EndReason::ConnectFailed:
        return "接続に失敗しました";
    case EndReason::ProxyFailed:
    case EndReason::ProxyAuthFailed:
        return systemText;
    case EndReason::Disconnected:
    case EndReason::PeerClosed:
        return "切断しました";
    case EndReason::PeerClosedWithoutNotify:
        return "切断しました(相手はTLSの終了通知(close_notify)"
               "を送らずに閉じました。受信データが途中"
               "で切られていないか確かめられません)";
    case EndReason::Error:
        return "エラー: " + systemText;
    }
    return {};
}

bool IsStartFailure(EndReason reason) {
    return reason == EndReason::SocketFailed || reason == EndReason::HostNotFound ||
           reason == EndReason::ConnectFailed || reason == EndReason::ProxyFailed ||
           reason == EndReason::ProxyAuthFailed;
}

Connection::Connection(std::string host, int32_t port, ConnectionOptions options)
    : host_(std::move(host)), port_(port), options_(std::move(options)) {
    if (!options_.endpoint && options_.datagrams) {
        options_.endpoint = [host = host_, port, resolver = options_.resolver] {
            return MakeDatagramEndpoint(host, port, resolver);
        };
    } else if (!options_.endpoint) {
        options_.endpoint = [host = host_, port, resolver = options_.resolver] {
            return MakeHostEndpoint(host, port, resolver);
        };
    }
    wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd_ >= 0) {
        try {
            thread_ = std::thread([this] {
                Worker(*this).Run();
                finished_.store(true, std::memory_order_release);
            });
            return;
        } catch (const std::system_error &) {
        }
    }
    // Without a wake-up descriptor or a thread there is no connection to speak of; the user is
    // told the way a socket that cannot be made is told.
    ConnectionEvent event;
    event.type = ConnectionEvent::Type::Ended;
    event.reason = EndReason::SocketFailed;
    event.data = EndText(EndReason::SocketFailed, host_, {});
    Emit(std::move(event));
}

Connection::~Connection() {
    Quit();
    if (wakeFd_ >= 0) close(wakeFd_);
}

void Connection::Push(Command command) {
    {
        std::lock_guard<std::mutex> lock(commandsMutex_);
        commands_.push_back(std::move(command));
    }
    Wake();
}

void Connection::Wake() {
    if (wakeFd_ < 0) return;
    const uint64_t one = 1;
    // A full counter still leaves the descriptor readable, which is all the reader needs.
    [[maybe_unused]] ssize_t ignored = write(wakeFd_, &one, sizeof one);
}

void Connection::Send(std::string bytes, std::string note) {
    // An empty datagram is a datagram; an empty piece of a stream is nothing.
    if (bytes.empty() && !options_.datagrams) return;
    handed_.fetch_add(bytes.size(), std::memory_order_acq_rel);
    Push({Command::Type::Send, std::move(bytes), {}, std::move(note)});
}

void Connection::SwapTransport(TransportSwap swap) {
    Push({Command::Type::Swap, {}, std::move(swap), {}});
}

void Connection::StartTls(TlsClientOptions options) {
    SwapTransport([options = std::move(options)](
                      std::unique_ptr<Transport> &current) -> std::unique_ptr<Transport> {
        auto *plain = dynamic_cast<PlainTransport *>(current.get());
        if (plain == nullptr) return nullptr; // already encrypted
        std::string error;
        std::unique_ptr<TlsSession> session = TlsSession::Client(plain->Fd(), options, error);
        if (!session) return std::make_unique<FailedTransport>(plain->TakeSocket(), error);
        return std::make_unique<TlsTransport>(plain->TakeSocket(), std::move(session));
    });
}

void Connection::Decide(bool accept) {
    Push({accept ? Command::Type::Accept : Command::Type::Decline, {}, {}, {}});
}

void Connection::Disconnect() {
    Push({Command::Type::Disconnect, {}, {}, {}});
}

void Connection::Quit() {
    if (!thread_.joinable()) return;
    Push({Command::Type::Quit, {}, {}, {}});
    thread_.join();
}

std::vector<ConnectionEvent> Connection::TakeEvents() {
    std::vector<ConnectionEvent> taken;
    bool wasFull = false;
    {
        std::lock_guard<std::mutex> lock(eventsMutex_);
        wasFull = options_.queueLimit > 0 && queuedBytes_ >= options_.queueLimit;
        taken.swap(events_);
        queuedBytes_ = 0;
    }
    // The worker may be waiting with reading held back by the full queue.
    if (wasFull) Wake();
    return taken;
}

bool Connection::QueueFull() const {
    if (options_.queueLimit == 0) return false;
    std::lock_guard<std::mutex> lock(eventsMutex_);
    return queuedBytes_ >= options_.queueLimit;
}

bool Connection::HasEvents() const {
    std::lock_guard<std::mutex> lock(eventsMutex_);
    return !events_.empty();
}

std::size_t Connection::QueuedBytes() const {
    std::lock_guard<std::mutex> lock(eventsMutex_);
    return queuedBytes_;
}

void Connection::Emit(ConnectionEvent event) {
    bool wasEmpty = false;
    {
        std::lock_guard<std::mutex> lock(eventsMutex_);
        wasEmpty = events_.empty();
        const bool bytes = event.type == ConnectionEvent::Type::Received ||
                           event.type == ConnectionEvent::Type::Sent;
        // Only what was read counts against the limit: what was written is already in memory.
        // Each datagram is an event of its own, which costs memory even when it is empty.
        if (event.type == ConnectionEvent::Type::Received)
            queuedBytes_ += event.data.size() + (event.datagram ? kDatagramCost : 0);
        if (bytes && !event.datagram) {
            if (!wasEmpty && !events_.back().datagram && events_.back().type == event.type &&
                events_.back().data.size() + event.data.size() <= kMergeLimit) {
                events_.back().data += event.data;
                events_.back().lastTimeUs = event.timeUs;
                return;
            }
            event.lastTimeUs = event.timeUs;
        } else if (event.type == ConnectionEvent::Type::Ended) {
            finished_.store(true, std::memory_order_release);
        }
        events_.push_back(std::move(event));
    }
    if (wasEmpty && options_.wake) options_.wake();
}

std::string SecuredPeerText(const ConnectionEvent &secured) {
    std::string text = secured.data + "  " + secured.protocol + "  " + secured.cipher;
    if (!secured.alpn.empty()) {
        text += "  ALPN: " + secured.alpn;
    } else if (secured.alpnOffered) {
        text += "  ALPN: なし";
    }
    if (secured.certificateSent) text += "  クライアント証明書を提示";
    if (secured.keyLogLines > 0 && secured.keyLogError.empty()) text += "  鍵を記録中";
    return text;
}

} // namespace tarvotcpc
