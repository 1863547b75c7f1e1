#include "net/endpoint.hpp"

#include <arpa/inet.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <optional>
#include <system_error>
#include <thread>

#include "net/listener.hpp"
#include "net/transport.hpp"

namespace tarvotcpc {

namespace {

EndpointStep Fail(EndReason reason, int error = 0) {
    EndpointStep step;
    step.state = EndpointStep::State::Failed;
    step.reason = reason;
    if (error != 0) step.systemText = SystemErrorText(error);
    return step;
}

EndpointStep Connected(UniqueFd socket, const SocketAddress &peer) {
    EndpointStep step;
    step.state = EndpointStep::State::Connected;
    step.socket = std::move(socket);
    step.peer = FormatAddress(peer);
    return step;
}

} // namespace

// The state is shared: when the endpoint is dropped first, the lookup's thread frees it at its end.
struct NameLookup::State {
    UniqueFd done{eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)}; // readable once the lookup has finished
    std::atomic<bool> finished{false};
    Resolution result;
};

namespace {

void RunLookup(NameLookup::State &state, const Resolver &resolver, const std::string &host,
               uint16_t port) {
    Resolution result;
    try {
        result = resolver ? resolver(host, port) : ResolveHost(host, port);
    } catch (...) {
        result = Resolution();
    }
    state.result = std::move(result);
    state.finished.store(true, std::memory_order_release);
    const uint64_t one = 1;
    if (state.done.Valid()) [[maybe_unused]]
        ssize_t ignored = write(state.done.Get(), &one, 8);
}

} // namespace

NameLookup::NameLookup(const Resolver &resolver, const std::string &host, uint16_t port)
    : state_(std::make_shared<State>()) {
    if (state_->done.Valid()) {
        try {
            std::thread([state = state_, resolver, host, port] {
                RunLookup(*state, resolver, host, port);
            }).detach();
            return;
        } catch (const std::system_error &) {
        }
    }
    RunLookup(*state_, resolver, host, port);
}

bool NameLookup::Finished() const {
    return state_->finished.load(std::memory_order_acquire);
}

std::vector<SocketAddress> &NameLookup::Addresses() {
    return state_->result.addresses;
}

std::vector<pollfd> NameLookup::Waits() const {
    // Readable from the end of the lookup on (nobody reads it), so a wait that starts after the
    // end returns at once.
    if (!state_->done.Valid()) return {};
    return {{state_->done.Get(), POLLIN, 0}};
}

namespace {

class HostEndpoint final : public Endpoint {
  public:
    HostEndpoint(std::string host, int32_t port, Resolver resolver, ConnectStep connect)
        : host_(std::move(host)),
          port_(static_cast<uint16_t>(static_cast<uint32_t>(port) & 0xFFFFu)),
          resolver_(resolver ? std::move(resolver) : Resolver(ResolveHost)),
          connect_(std::move(connect)) {}

    EndpointStep Advance() override;
    std::vector<pollfd> Waits() const override;
    int TimeoutMs() const override {
        return race_ ? race_->PollTimeoutMs(HappyEyeballs::Clock::now()) : -1;
    }

  private:
    enum class Stage { Start, LookingUp, Connecting };

    EndpointStep StartRace(std::vector<SocketAddress> addresses);
    EndpointStep RaceStatus(HappyEyeballs::Status status);

    std::string host_;
    uint16_t port_;
    Resolver resolver_;
    ConnectStep connect_;
    Stage stage_ = Stage::Start;
    std::unique_ptr<NameLookup> lookup_;
    std::unique_ptr<HappyEyeballs> race_;
};

EndpointStep HostEndpoint::Advance() {
    switch (stage_) {
    case Stage::Start:
        // "127.1" and the other forms inet_aton reads have always been taken as addresses.
        if (std::optional<SocketAddress> literal = LiteralAddress(host_, port_))
            return StartRace({*literal});
        lookup_ = std::make_unique<NameLookup>(resolver_, host_, port_);
        stage_ = Stage::LookingUp;
        return Advance();
    case Stage::LookingUp:
        if (!lookup_->Finished()) return {};
        if (lookup_->Addresses().empty()) return Fail(EndReason::HostNotFound);
        return StartRace(std::move(lookup_->Addresses()));
    case Stage::Connecting: {
        std::vector<pollfd> ready = race_->PollFds();
        if (!ready.empty()) poll(ready.data(), ready.size(), 0);
        return RaceStatus(race_->Advance(ready, HappyEyeballs::Clock::now()));
    }
    }
    return Fail(EndReason::ConnectFailed);
}

std::vector<pollfd> HostEndpoint::Waits() const {
    if (stage_ == Stage::LookingUp) return lookup_->Waits();
    if (stage_ == Stage::Connecting) return race_->PollFds();
    return {};
}

EndpointStep HostEndpoint::StartRace(std::vector<SocketAddress> addresses) {
    stage_ = Stage::Connecting;
    race_ = std::make_unique<HappyEyeballs>(std::move(addresses), connect_);
    return RaceStatus(race_->Start(HappyEyeballs::Clock::now()));
}

EndpointStep HostEndpoint::RaceStatus(HappyEyeballs::Status status) {
    if (status == HappyEyeballs::Status::Connected) {
        UniqueFd socket(race_->TakeSocket());
        return Connected(std::move(socket), race_->Winner());
    }
    if (status == HappyEyeballs::Status::Failed) {
        // A reset is the answer of a peer that accepted and dropped the connection at once (a
        // refused connect gives ECONNREFUSED): the connection was made, and was then lost.
        if (race_->LastError() == ECONNRESET) return Fail(EndReason::Error, ECONNRESET);
        if (race_->LastError() == EMFILE || race_->LastError() == ENFILE)
            return Fail(EndReason::SocketFailed);
        return Fail(EndReason::ConnectFailed);
    }
    return {};
}

class ListenEndpoint final : public Endpoint {
  public:
    explicit ListenEndpoint(UniqueFd listening) : listening_(std::move(listening)) {}

    EndpointStep Advance() override {
        AcceptResult accepted = AcceptPeer(listening_.Get());
        if (accepted.kind == AcceptResult::Kind::Peer) {
            // Only the first peer: the next ones are refused rather than left in the backlog.
            listening_.Reset();
            return Connected(UniqueFd(accepted.fd), accepted.peer);
        }
        if (accepted.kind == AcceptResult::Kind::Failed) {
            EndpointStep step = Fail(EndReason::Error);
            step.systemText = accepted.text;
            return step;
        }
        return {};
    }
    std::vector<pollfd> Waits() const override { return {{listening_.Get(), POLLIN, 0}}; }

  private:
    UniqueFd listening_;
};

} // namespace

std::unique_ptr<Endpoint> MakeHostEndpoint(std::string host, int32_t port, Resolver resolver,
                                           ConnectStep connect) {
    return std::make_unique<HostEndpoint>(std::move(host), port, std::move(resolver),
                                          std::move(connect));
}

std::unique_ptr<Endpoint> MakeListenEndpoint(UniqueFd listening) {
    return std::make_unique<ListenEndpoint>(std::move(listening));
}

} // namespace tarvotcpc
