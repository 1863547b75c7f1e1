#include "endpoint.hpp"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <thread>

#include "transport.hpp"

namespace tarvotcpc {

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

namespace {

// A name lookup cannot be interrupted, so it runs on a detached thread of its own. The state it
// fills is shared: when the endpoint is dropped first, the lookup's thread frees it at its end.
struct LookupState {
    UniqueFd done{eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)}; // readable once the lookup has finished
    std::atomic<bool> finished{false};
    bool found = false;
    in_addr address{};
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
    state.finished.store(true, std::memory_order_release);
    const uint64_t one = 1;
    if (state.done.Valid()) [[maybe_unused]]
        ssize_t ignored = write(state.done.Get(), &one, 8);
}

class IPv4Endpoint final : public Endpoint {
  public:
    IPv4Endpoint(std::string host, int32_t port, Resolver resolver)
        : host_(std::move(host)), port_(port),
          resolver_(resolver ? std::move(resolver) : Resolver(ResolveIPv4)) {}

    EndpointStep Advance() override;
    std::vector<pollfd> Waits() const override;

  private:
    enum class Stage { Start, LookingUp, Connecting };

    EndpointStep StartConnect(const in_addr &address);
    EndpointStep FinishConnect();
    static EndpointStep Fail(EndReason reason, int error = 0) {
        EndpointStep step;
        step.state = EndpointStep::State::Failed;
        step.reason = reason;
        if (error != 0) step.systemText = SystemErrorText(error);
        return step;
    }

    std::string host_;
    int32_t port_;
    Resolver resolver_;
    Stage stage_ = Stage::Start;
    UniqueFd socket_;
    std::shared_ptr<LookupState> lookup_;
};

EndpointStep IPv4Endpoint::Advance() {
    switch (stage_) {
    case Stage::Start: {
        socket_ = UniqueFd(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        if (!socket_.Valid()) return Fail(EndReason::SocketFailed);
        in_addr address{};
        if (inet_aton(host_.c_str(), &address) != 0) return StartConnect(address);
        lookup_ = std::make_shared<LookupState>();
        stage_ = Stage::LookingUp;
        bool started = false;
        if (lookup_->done.Valid()) {
            try {
                std::thread([state = lookup_, resolver = resolver_, host = host_] {
                    RunLookup(*state, resolver, host);
                }).detach();
                started = true;
            } catch (const std::system_error &) {
                started = false;
            }
        }
        // Without a thread or a descriptor the lookup still happens, just without being
        // interruptible.
        if (!started) RunLookup(*lookup_, resolver_, host_);
        return Advance();
    }
    case Stage::LookingUp:
        if (!lookup_->finished.load(std::memory_order_acquire)) return {};
        if (!lookup_->found) return Fail(EndReason::HostNotFound);
        return StartConnect(lookup_->address);
    case Stage::Connecting:
        return FinishConnect();
    }
    return Fail(EndReason::ConnectFailed);
}

std::vector<pollfd> IPv4Endpoint::Waits() const {
    if (stage_ == Stage::LookingUp && lookup_->done.Valid())
        return {{lookup_->done.Get(), POLLIN, 0}};
    if (stage_ == Stage::Connecting) return {{socket_.Get(), POLLOUT, 0}};
    return {};
}

EndpointStep IPv4Endpoint::StartConnect(const in_addr &address) {
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(static_cast<uint16_t>(static_cast<uint32_t>(port_) & 0xFFFFu));
    peer.sin_addr = address;
    stage_ = Stage::Connecting;
    if (connect(socket_.Get(), reinterpret_cast<const sockaddr *>(&peer), sizeof peer) == 0) {
        EndpointStep step;
        step.state = EndpointStep::State::Connected;
        step.socket = std::move(socket_);
        return step;
    }
    if (errno != EINPROGRESS && errno != EINTR) return Fail(EndReason::ConnectFailed);
    return {};
}

EndpointStep IPv4Endpoint::FinishConnect() {
    pollfd ready{socket_.Get(), POLLOUT, 0};
    if (poll(&ready, 1, 0) <= 0 || ready.revents == 0) return {};
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(socket_.Get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
    // A reset is the answer of a peer that accepted and dropped the connection at once (a
    // refused connect gives ECONNREFUSED): the connection was made, and was then lost.
    if (error == ECONNRESET) return Fail(EndReason::Error, error);
    if (error != 0) return Fail(EndReason::ConnectFailed);
    EndpointStep step;
    step.state = EndpointStep::State::Connected;
    step.socket = std::move(socket_);
    return step;
}

} // namespace

std::unique_ptr<Endpoint> MakeIPv4Endpoint(std::string host, int32_t port, Resolver resolver) {
    return std::make_unique<IPv4Endpoint>(std::move(host), port, std::move(resolver));
}

} // namespace tarvotcpc
