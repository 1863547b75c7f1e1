#include "proxy/proxy_endpoint.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <optional>

#include "net/transport.hpp"

namespace tarvotcpc {

namespace {

// What one look at the socket may show of the proxy's answers; an HTTP header longer than this
// is taken in several looks.
constexpr std::size_t kPeekSize = 16 * 1024;

std::string NumericHost(const SocketAddress &address) {
    char text[INET6_ADDRSTRLEN] = {};
    if (address.Family() == AF_INET6) {
        const auto *in6 = reinterpret_cast<const sockaddr_in6 *>(address.Get());
        inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text);
    } else {
        const auto *in = reinterpret_cast<const sockaddr_in *>(address.Get());
        inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
    }
    return text;
}

bool IsNumeric(const std::string &host) {
    SocketAddress ignored;
    return NumericAddress(host, 0, ignored);
}

// A reset or a broken pipe is the proxy closing on us, as an orderly end is: no system text.
std::string ClosedDetail(int error) {
    return error == ECONNRESET || error == EPIPE ? std::string() : SystemErrorText(error);
}

class ProxyEndpoint final : public Endpoint {
  public:
    ProxyEndpoint(ProxyUrl proxy, std::string host, int32_t port, Resolver resolver,
                  std::chrono::milliseconds timeout, ConnectStep connect)
        : proxy_(std::move(proxy)), host_(std::move(host)),
          port_(static_cast<uint16_t>(static_cast<uint32_t>(port) & 0xFFFFu)),
          resolver_(std::move(resolver)), timeout_(timeout), connect_(std::move(connect)) {}

    EndpointStep Advance() override;
    std::vector<pollfd> Waits() const override;
    int TimeoutMs() const override;
    std::string Activity() const override { return "プロキシ" + ProxyAddressText(proxy_) + "経由"; }

  private:
    using Clock = std::chrono::steady_clock;

    EndpointStep Fail(ProxyFailure failure, const std::string &detail = {}) const;
    EndpointStep ProxyConnectFailed(EndpointStep step) const;
    EndpointStep Talk();
    std::string TargetText() const;

    ProxyUrl proxy_;
    std::string host_;
    uint16_t port_;
    Resolver resolver_;
    std::chrono::milliseconds timeout_;
    ConnectStep connect_;

    bool started_ = false;
    Clock::time_point deadline_;
    std::unique_ptr<Endpoint> toProxy_;     // until the proxy is connected
    std::unique_ptr<NameLookup> lookup_;    // socks5:// with a name: its address, found here
    std::optional<std::string> targetHost_; // what the proxy is asked for, once known
    UniqueFd socket_;
    std::string proxyPeer_;
    std::unique_ptr<ProxyDialogue> dialogue_;
};

std::string ProxyEndpoint::TargetText() const {
    const std::string host = host_.find(':') != std::string::npos ? "[" + host_ + "]" : host_;
    return host + ":" + std::to_string(port_);
}

EndpointStep ProxyEndpoint::Fail(ProxyFailure failure, const std::string &detail) const {
    EndpointStep step;
    step.state = EndpointStep::State::Failed;
    step.reason =
        failure == ProxyFailure::AuthFailed ? EndReason::ProxyAuthFailed : EndReason::ProxyFailed;
    step.systemText = ProxyFailureText(failure, ProxyAddressText(proxy_), TargetText(), detail);
    return step;
}

EndpointStep ProxyEndpoint::ProxyConnectFailed(EndpointStep step) const {
    switch (step.reason) {
    case EndReason::SocketFailed:
        return step;
    case EndReason::HostNotFound:
        return Fail(ProxyFailure::ProxyNotFound);
    default:
        return Fail(ProxyFailure::ProxyUnreachable, step.systemText);
    }
}

EndpointStep ProxyEndpoint::Advance() {
    const Clock::time_point now = Clock::now();
    if (!started_) {
        started_ = true;
        deadline_ = now + timeout_;
        toProxy_ = MakeHostEndpoint(proxy_.host, proxy_.port, resolver_, connect_);
        if (proxy_.scheme == ProxyScheme::Socks5 && !IsNumeric(host_)) {
            lookup_ = std::make_unique<NameLookup>(resolver_, host_, port_);
        } else {
            targetHost_ = host_;
        }
    }
    if (now >= deadline_) {
        // In tenths when it is not whole seconds (a short time chosen by a test).
        const long long tenths = (timeout_.count() + 99) / 100;
        const std::string seconds =
            tenths % 10 == 0 ? std::to_string(tenths / 10)
                             : std::to_string(tenths / 10) + "." + std::to_string(tenths % 10);
        return Fail(ProxyFailure::TimedOut, seconds + "秒で打ち切りました");
    }
    if (lookup_ && lookup_->Finished()) {
        if (lookup_->Addresses().empty()) {
            EndpointStep step;
            step.state = EndpointStep::State::Failed;
            step.reason = EndReason::HostNotFound;
            return step;
        }
        targetHost_ = NumericHost(lookup_->Addresses().front());
        lookup_.reset();
    }
    if (toProxy_) {
        EndpointStep step = toProxy_->Advance();
        if (step.state == EndpointStep::State::Failed) return ProxyConnectFailed(std::move(step));
        if (step.state == EndpointStep::State::Waiting) return {};
        socket_ = std::move(step.socket);
        proxyPeer_ = step.peer;
        toProxy_.reset();
    }
    if (!targetHost_) return {};
    if (!dialogue_)
        dialogue_ = std::make_unique<ProxyDialogue>(proxy_, ProxyTarget{*targetHost_, port_});
    return Talk();
}

// Writes what the conversation has to say and reads the proxy's answers until the socket has
// nothing more or the tunnel is open. Answers are looked at in place (MSG_PEEK) and only the
// bytes the conversation claims are taken off the socket: what follows belongs to the peer.
EndpointStep ProxyEndpoint::Talk() {
    std::string peeked(kPeekSize, '\0');
    for (;;) {
        if (dialogue_->Status() == ProxyDialogue::State::Failed)
            return Fail(dialogue_->Failure(), dialogue_->Detail());
        if (dialogue_->Status() == ProxyDialogue::State::Open) {
            EndpointStep step;
            step.state = EndpointStep::State::Connected;
            step.socket = std::move(socket_);
            step.peer = TargetText() + " (プロキシ " + proxyPeer_ + " 経由)";
            return step;
        }
        while (!dialogue_->Output().empty()) {
            const std::string &out = dialogue_->Output();
            const ssize_t sent = send(socket_.Get(), out.data(), out.size(), MSG_NOSIGNAL);
            if (sent > 0) {
                dialogue_->Sent(static_cast<std::size_t>(sent));
                continue;
            }
            if (sent < 0 && errno == EINTR) continue;
            if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
            return Fail(ProxyFailure::Closed, ClosedDetail(errno));
        }
        const ssize_t got = recv(socket_.Get(), peeked.data(), peeked.size(), MSG_PEEK);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return {};
        if (got < 0) return Fail(ProxyFailure::Closed, ClosedDetail(errno));
        if (got == 0) {
            dialogue_->ProxyClosed();
            continue;
        }
        const std::size_t taken =
            dialogue_->Take(std::string_view(peeked.data(), static_cast<std::size_t>(got)));
        // The claimed bytes were seen in the socket, so they are there to be taken at once.
        std::size_t removed = 0;
        while (removed < taken) {
            const ssize_t n = recv(socket_.Get(), peeked.data(), taken - removed, 0);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return Fail(ProxyFailure::Closed, n < 0 ? ClosedDetail(errno) : "");
            removed += static_cast<std::size_t>(n);
        }
        if (taken == 0 && dialogue_->Status() == ProxyDialogue::State::Talking)
            return Fail(ProxyFailure::Garbage); // bytes nobody asked for; never spin on them
    }
}

std::vector<pollfd> ProxyEndpoint::Waits() const {
    std::vector<pollfd> waits;
    if (lookup_) waits = lookup_->Waits();
    if (toProxy_) {
        const std::vector<pollfd> more = toProxy_->Waits();
        waits.insert(waits.end(), more.begin(), more.end());
    } else if (socket_.Valid() && dialogue_) {
        const short events = dialogue_->Output().empty() ? POLLIN : POLLIN | POLLOUT;
        waits.push_back({socket_.Get(), events, 0});
    }
    return waits;
}

int ProxyEndpoint::TimeoutMs() const {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - Clock::now()).count();
    // Rounded up, so that the wait ends after the deadline rather than just before it.
    int ms = static_cast<int>(std::max<long long>(0, left + 1));
    if (toProxy_) {
        const int inner = toProxy_->TimeoutMs();
        if (inner >= 0) ms = std::min(ms, inner);
    }
    return ms;
}

} // namespace

std::unique_ptr<Endpoint> MakeProxyEndpoint(ProxyUrl proxy, std::string host, int32_t port,
                                            Resolver resolver, std::chrono::milliseconds timeout,
                                            ConnectStep connect) {
    return std::make_unique<ProxyEndpoint>(std::move(proxy), std::move(host), port,
                                           std::move(resolver), timeout, std::move(connect));
}

} // namespace tarvotcpc
