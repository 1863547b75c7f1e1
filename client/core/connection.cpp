#include "connection.hpp"

#include <arpa/inet.h>
#include <netdb.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <system_error>
#include <utility>

namespace tarvotcpc {

namespace {

// Bytes taken from the socket per recv call, and at most per pass of the loop before commands
// are looked at again, so that a peer flooding the connection never delays a Disconnect.
constexpr std::size_t kReceiveChunk = 256 * 1024;
constexpr std::size_t kReceivePerPass = 4 * 1024 * 1024;
// Received bytes are merged into the last queued event up to this size, so that a fast peer
// gives a few large events rather than very many small ones.
constexpr std::size_t kMergeLimit = 1024 * 1024;

// strerror_r comes in two flavours depending on the C library; both are handled here.
[[maybe_unused]] const char *PickErrorText(int result, const char *buffer) {
    return result == 0 ? buffer : "unknown error";
}
[[maybe_unused]] const char *PickErrorText(const char *result, const char *) {
    return result;
}

std::string SystemText(int error) {
    char buffer[256] = {};
    return PickErrorText(strerror_r(error, buffer, sizeof buffer), buffer);
}

void Signal(int fd) {
    const uint64_t one = 1;
    // A full counter still leaves the descriptor readable, which is all the reader needs.
    [[maybe_unused]] ssize_t ignored = write(fd, &one, sizeof one);
}

void Drain(int fd) {
    uint64_t value = 0;
    [[maybe_unused]] ssize_t ignored = read(fd, &value, sizeof value);
}

// A name lookup cannot be interrupted, so it runs on a detached thread of its own. The state it
// fills is shared: when the worker gives up waiting (Disconnect or quit), whichever side lets go
// last frees it.
struct LookupState {
    int fd = -1; // signalled when the lookup has finished
    std::atomic<bool> done{false};
    bool found = false;
    in_addr address{};

    ~LookupState() {
        if (fd >= 0) close(fd);
    }
};

void RunLookup(LookupState &state, const Resolver &resolver, const std::string &host) {
    in_addr address{};
    bool found = false;
    try {
        found = resolver(host, address);
    } catch (...) {
        found = false;
    }
    state.address = address;
    state.found = found;
    state.done.store(true, std::memory_order_release);
    if (state.fd >= 0) Signal(state.fd);
}

} // namespace

std::string EndText(EndReason reason, const std::string &host, const std::string &systemText) {
    switch (reason) {
    case EndReason::SocketFailed:
        return "ソケットの作成に失敗しました";
    case EndReason::HostNotFound:
        return "ホスト" + host + "が見つかりません";
    case EndReason::ConnectFailed:
        return "接続に失敗しました";
    case EndReason::Disconnected:
    case EndReason::PeerClosed:
        return "切断しました";
    case EndReason::Error:
        return "エラー: " + systemText;
    }
    return {};
}

bool IsStartFailure(EndReason reason) {
    return reason == EndReason::SocketFailed || reason == EndReason::HostNotFound ||
           reason == EndReason::ConnectFailed;
}

bool ResolveIPv4(const std::string &host, in_addr &address) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *result = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &result) != 0 || result == nullptr) return false;
    bool found = false;
    if (result->ai_family == AF_INET && result->ai_addr != nullptr) {
        sockaddr_in ipv4{};
        std::memcpy(&ipv4, result->ai_addr, sizeof ipv4);
        address = ipv4.sin_addr;
        found = true;
    }
    freeaddrinfo(result);
    return found;
}

// Everything that runs on the connection's own thread.
class Connection::Worker {
  public:
    explicit Worker(Connection &owner) : c_(owner) {}

    ~Worker() { CloseSocket(); }

    void Run();

  private:
    enum class Interrupt { None, Disconnect, Quit };
    enum class Outcome { Continue, Ended };

    Interrupt TakeCommands();
    // Waits for the lookup; false when the connection ended meanwhile.
    bool Lookup(in_addr &address);
    bool Connect(const in_addr &address);
    void Loop();
    Outcome Receive();
    Outcome Transmit();
    void Finish(Interrupt interrupt);
    void End(EndReason reason, int error = 0);
    void CloseSocket();

    Connection &c_;
    int sock_ = -1;
    bool connected_ = false;
    std::deque<std::string> pending_;
    std::size_t pendingOffset_ = 0;
    std::string buffer_;
};

Connection::Worker::Interrupt Connection::Worker::TakeCommands() {
    Drain(c_.wakeFd_);
    std::deque<Command> commands;
    {
        std::lock_guard<std::mutex> lock(c_.commandsMutex_);
        commands.swap(c_.commands_);
    }
    for (Command &command : commands) {
        switch (command.type) {
        case Command::Type::Send:
            pending_.push_back(std::move(command.bytes));
            break;
        case Command::Type::Disconnect:
            return Interrupt::Disconnect;
        case Command::Type::Quit:
            return Interrupt::Quit;
        }
    }
    return Interrupt::None;
}

void Connection::Worker::Run() {
    sock_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (sock_ < 0) return End(EndReason::SocketFailed);

    in_addr address{};
    if (inet_aton(c_.host_.c_str(), &address) == 0 && !Lookup(address)) return;
    if (!Connect(address)) return;
    Loop();
}

bool Connection::Worker::Lookup(in_addr &address) {
    const Resolver resolver = c_.options_.resolver ? c_.options_.resolver : Resolver(ResolveIPv4);
    auto state = std::make_shared<LookupState>();
    state->fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    bool started = false;
    if (state->fd >= 0) {
        try {
            std::thread([state, resolver, host = c_.host_] {
                RunLookup(*state, resolver, host);
            }).detach();
            started = true;
        } catch (const std::system_error &) {
            started = false;
        }
    }
    // Without a thread or a descriptor the lookup still happens, just without being interruptible.
    if (!started) RunLookup(*state, resolver, c_.host_);

    while (!state->done.load(std::memory_order_acquire)) {
        pollfd fds[2] = {{c_.wakeFd_, POLLIN, 0}, {state->fd, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) continue; // EINTR
        if (fds[0].revents != 0) {
            const Interrupt interrupt = TakeCommands();
            if (interrupt != Interrupt::None) {
                Finish(interrupt);
                return false;
            }
        }
    }
    if (!state->found) {
        End(EndReason::HostNotFound);
        return false;
    }
    address = state->address;
    return true;
}

bool Connection::Worker::Connect(const in_addr &address) {
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(static_cast<uint16_t>(static_cast<uint32_t>(c_.port_) & 0xFFFFu));
    peer.sin_addr = address;
    if (connect(sock_, reinterpret_cast<const sockaddr *>(&peer), sizeof peer) != 0) {
        if (errno != EINPROGRESS && errno != EINTR) {
            End(EndReason::ConnectFailed);
            return false;
        }
        for (;;) {
            pollfd fds[2] = {{c_.wakeFd_, POLLIN, 0}, {sock_, POLLOUT, 0}};
            if (poll(fds, 2, -1) < 0) continue;
            if (fds[0].revents != 0) {
                const Interrupt interrupt = TakeCommands();
                if (interrupt != Interrupt::None) {
                    Finish(interrupt);
                    return false;
                }
            }
            if (fds[1].revents != 0) break;
        }
        int error = 0;
        socklen_t length = sizeof error;
        if (getsockopt(sock_, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
        // A reset is the answer of a peer that accepted and dropped the connection at once (a
        // refused connect gives ECONNREFUSED): the connection was made, and was then lost.
        if (error == ECONNRESET) {
            End(EndReason::Error, error);
            return false;
        }
        if (error != 0) {
            End(EndReason::ConnectFailed);
            return false;
        }
    }
    connected_ = true;
    return true;
}

void Connection::Worker::Loop() {
    // A hang-up seen while reading is paused cannot be acted on until reading resumes (the data
    // before it comes first); until then the socket is left out of the wait so as not to spin.
    bool hangUpWhilePaused = false;
    for (;;) {
        const bool paused = c_.paused_.load(std::memory_order_acquire) || c_.QueueFull();
        if (!paused) hangUpWhilePaused = false;
        short events = 0;
        if (!paused) events |= POLLIN;
        if (!pending_.empty()) events |= POLLOUT;
        const bool watchSocket = !(paused && hangUpWhilePaused && pending_.empty());
        pollfd fds[2] = {{c_.wakeFd_, POLLIN, 0}, {watchSocket ? sock_ : -1, events, 0}};
        if (poll(fds, 2, -1) < 0) continue;

        if (fds[0].revents != 0) {
            const Interrupt interrupt = TakeCommands();
            if (interrupt != Interrupt::None) return Finish(interrupt);
        }
        const short revents = fds[1].revents;
        if (revents == 0) continue;
        if (!paused && (revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            if (Receive() == Outcome::Ended) return;
        } else if (paused && (revents & POLLERR) != 0 && pending_.empty()) {
            int error = 0;
            socklen_t length = sizeof error;
            if (getsockopt(sock_, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error != 0)
                return End(EndReason::Error, error);
            hangUpWhilePaused = true;
        } else if (paused && (revents & POLLHUP) != 0) {
            hangUpWhilePaused = true;
        }
        if (!pending_.empty() && (revents & (POLLOUT | POLLERR | POLLHUP)) != 0) {
            if (Transmit() == Outcome::Ended) return;
        }
    }
}

Connection::Worker::Outcome Connection::Worker::Receive() {
    if (buffer_.size() != kReceiveChunk) buffer_.resize(kReceiveChunk);
    std::size_t taken = 0;
    while (taken < kReceivePerPass && !c_.paused_.load(std::memory_order_acquire) &&
           !c_.QueueFull()) {
        const ssize_t n = recv(sock_, buffer_.data(), buffer_.size(), 0);
        if (n > 0) {
            taken += static_cast<std::size_t>(n);
            ConnectionEvent event;
            event.type = ConnectionEvent::Type::Received;
            event.data.assign(buffer_.data(), static_cast<std::size_t>(n));
            c_.Emit(std::move(event));
            continue;
        }
        if (n == 0) {
            End(EndReason::PeerClosed);
            return Outcome::Ended;
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) break;
        End(EndReason::Error, errno);
        return Outcome::Ended;
    }
    return Outcome::Continue;
}

Connection::Worker::Outcome Connection::Worker::Transmit() {
    while (!pending_.empty()) {
        const std::string &front = pending_.front();
        const ssize_t n =
            send(sock_, front.data() + pendingOffset_, front.size() - pendingOffset_, MSG_NOSIGNAL);
        if (n >= 0) {
            pendingOffset_ += static_cast<std::size_t>(n);
            if (pendingOffset_ >= front.size()) {
                pending_.pop_front();
                pendingOffset_ = 0;
            }
            continue;
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) break;
        End(EndReason::Error, errno);
        return Outcome::Ended;
    }
    return Outcome::Continue;
}

void Connection::Worker::Finish(Interrupt interrupt) {
    if (interrupt == Interrupt::Disconnect) {
        // What the socket takes now still goes out; a peer that does not read is not waited for.
        if (connected_ && !pending_.empty()) {
            while (!pending_.empty()) {
                const std::string &front = pending_.front();
                const ssize_t n = send(sock_, front.data() + pendingOffset_,
                                       front.size() - pendingOffset_, MSG_NOSIGNAL);
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) break;
                pendingOffset_ += static_cast<std::size_t>(n);
                if (pendingOffset_ >= front.size()) {
                    pending_.pop_front();
                    pendingOffset_ = 0;
                }
            }
        }
        End(EndReason::Disconnected);
        return;
    }
    CloseSocket();
}

void Connection::Worker::End(EndReason reason, int error) {
    CloseSocket();
    ConnectionEvent event;
    event.type = ConnectionEvent::Type::Ended;
    event.reason = reason;
    event.data = EndText(reason, c_.host_, error != 0 ? SystemText(error) : std::string());
    c_.Emit(std::move(event));
}

void Connection::Worker::CloseSocket() {
    if (sock_ < 0) return;
    if (connected_) shutdown(sock_, SHUT_RDWR);
    close(sock_);
    sock_ = -1;
    connected_ = false;
}

Connection::Connection(std::string host, int32_t port, ConnectionOptions options)
    : host_(std::move(host)), port_(port), options_(std::move(options)) {
    wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd_ >= 0) {
        try {
            thread_ = std::thread([this] {
                Worker worker(*this);
                worker.Run();
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
    if (wakeFd_ >= 0) Signal(wakeFd_);
}

void Connection::Send(std::string bytes) {
    if (bytes.empty()) return;
    Push({Command::Type::Send, std::move(bytes)});
}

void Connection::Disconnect() {
    Push({Command::Type::Disconnect, {}});
}

void Connection::Quit() {
    if (!thread_.joinable()) return;
    Push({Command::Type::Quit, {}});
    thread_.join();
}

void Connection::PauseReading() {
    paused_.store(true, std::memory_order_release);
    Wake();
}

void Connection::ResumeReading() {
    paused_.store(false, std::memory_order_release);
    Wake();
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

std::size_t Connection::QueuedBytes() const {
    std::lock_guard<std::mutex> lock(eventsMutex_);
    return queuedBytes_;
}

void Connection::Emit(ConnectionEvent event) {
    bool wasEmpty = false;
    {
        std::lock_guard<std::mutex> lock(eventsMutex_);
        wasEmpty = events_.empty();
        if (event.type == ConnectionEvent::Type::Received) {
            queuedBytes_ += event.data.size();
            if (!wasEmpty && events_.back().type == ConnectionEvent::Type::Received &&
                events_.back().data.size() < kMergeLimit) {
                events_.back().data += event.data;
                return;
            }
        } else {
            finished_.store(true, std::memory_order_release);
        }
        events_.push_back(std::move(event));
    }
    if (wasEmpty && options_.wake) options_.wake();
}

} // namespace tarvotcpc
