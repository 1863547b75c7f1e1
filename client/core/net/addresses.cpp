#include "net/addresses.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace tarvotcpc {

std::string FormatAddress(const SocketAddress &address) {
    char text[INET6_ADDRSTRLEN] = {};
    if (address.Family() == AF_INET) {
        const auto *v4 = reinterpret_cast<const sockaddr_in *>(&address.storage);
        inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
        return std::string(text) + ":" + std::to_string(ntohs(v4->sin_port));
    }
    if (address.Family() == AF_INET6) {
        const auto *v6 = reinterpret_cast<const sockaddr_in6 *>(&address.storage);
        inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
        std::string host = text;
        if (v6->sin6_scope_id != 0) {
            char name[IF_NAMESIZE] = {};
            host += "%";
            host += if_indextoname(v6->sin6_scope_id, name) != nullptr
                        ? std::string(name)
                        : std::to_string(v6->sin6_scope_id);
        }
        return "[" + host + "]:" + std::to_string(ntohs(v6->sin6_port));
    }
    return "?";
}

bool NumericAddress(const std::string &host, uint16_t port, SocketAddress &out) {
    out = SocketAddress();
    auto *v4 = reinterpret_cast<sockaddr_in *>(&out.storage);
    if (inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        out.length = sizeof(sockaddr_in);
        return true;
    }
    out = SocketAddress();
    auto *v6 = reinterpret_cast<sockaddr_in6 *>(&out.storage);
    if (inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        out.length = sizeof(sockaddr_in6);
        return true;
    }
    out = SocketAddress();
    return false;
}

std::optional<SocketAddress> LiteralAddress(const std::string &host, uint16_t port) {
    // inet_aton stops at a blank and takes what follows as whatever it likes: "127.1 x" is no
    // address, but a name the lookup refuses.
    for (const char c : host) {
        if (static_cast<unsigned char>(c) <= ' ') return std::nullopt;
    }
    in_addr v4{};
    if (inet_aton(host.c_str(), &v4) != 0) {
        SocketAddress address;
        auto *in = reinterpret_cast<sockaddr_in *>(&address.storage);
        in->sin_family = AF_INET;
        in->sin_port = htons(port);
        in->sin_addr = v4;
        address.length = sizeof(sockaddr_in);
        return address;
    }
    SocketAddress address;
    if (NumericAddress(host, port, address)) return address;
    return std::nullopt;
}

std::string LiteralAddressText(const std::string &host) {
    const std::optional<SocketAddress> address = LiteralAddress(host, 0);
    if (!address) return {};
    char text[INET6_ADDRSTRLEN] = {};
    const void *bytes =
        address->Family() == AF_INET
            ? static_cast<const void *>(
                  &reinterpret_cast<const sockaddr_in *>(&address->storage)->sin_addr)
            : static_cast<const void *>(
                  &reinterpret_cast<const sockaddr_in6 *>(&address->storage)->sin6_addr);
    return inet_ntop(address->Family(), bytes, text, sizeof text) != nullptr ? text : "";
}

Resolution ResolveHost(const std::string &host, uint16_t port) {
    Resolution result;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *list = nullptr;
    const std::string service = std::to_string(port);
    const int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
    if (rc != 0) {
        result.error = gai_strerror(rc);
        return result;
    }
    for (addrinfo *ai = list; ai != nullptr; ai = ai->ai_next) {
        if (ai->ai_addrlen > sizeof(sockaddr_storage)) continue;
        SocketAddress address;
        std::memcpy(&address.storage, ai->ai_addr, ai->ai_addrlen);
        address.length = ai->ai_addrlen;
        const bool seen = std::any_of(
            result.addresses.begin(), result.addresses.end(), [&](const SocketAddress &other) {
                return other.length == address.length &&
                       std::memcmp(&other.storage, &address.storage, address.length) == 0;
            });
        if (!seen) result.addresses.push_back(address);
    }
    freeaddrinfo(list);
    if (result.addresses.empty()) result.error = "no address";
    return result;
}

void SendAtOnce(int fd) {
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

int StartConnect(const SocketAddress &address, int &error) {
    const int fd = socket(address.Family(), SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = errno;
        return -1;
    }
    SendAtOnce(fd);
    if (connect(fd, address.Get(), address.length) != 0 && errno != EINPROGRESS) {
        error = errno;
        close(fd);
        return -1;
    }
    error = 0;
    return fd;
}

// ---------------------------------------------------------------------------------------------

HappyEyeballs::HappyEyeballs(std::vector<SocketAddress> addresses, ConnectStep connect,
                             std::chrono::milliseconds delay)
    : addresses_(std::move(addresses)), connect_(std::move(connect)), delay_(delay) {}

HappyEyeballs::~HappyEyeballs() {
    for (Attempt &attempt : attempts_) {
        if (attempt.fd >= 0) close(attempt.fd);
    }
}

void HappyEyeballs::StartNext(Clock::time_point now) {
    // A step that fails at once counts as a failed attempt and the next starts right away.
    while (next_ < addresses_.size()) {
        Attempt attempt;
        attempt.address = addresses_[next_++];
        attempt.started = now;
        attempt.fd = connect_(attempt.address, attempt.error);
        attempt.failed = attempt.fd < 0;
        if (attempt.failed) lastError_ = attempt.error;
        attempts_.push_back(attempt);
        if (!attempt.failed) break;
    }
    nextDue_ = now + delay_;
}

void HappyEyeballs::CheckDone() {
    if (status_ != Status::Running) return;
    if (next_ < addresses_.size()) return;
    const bool pending = std::any_of(attempts_.begin(), attempts_.end(),
                                     [](const Attempt &a) { return a.fd >= 0 && !a.failed; });
    if (!pending) status_ = Status::Failed;
}

HappyEyeballs::Status HappyEyeballs::Start(Clock::time_point now) {
    if (addresses_.empty()) {
        lastError_ = EADDRNOTAVAIL;
        status_ = Status::Failed;
        return status_;
    }
    StartNext(now);
    CheckDone();
    return status_;
}

std::vector<pollfd> HappyEyeballs::PollFds() const {
    std::vector<pollfd> fds;
    if (status_ != Status::Running) return fds;
    for (const Attempt &attempt : attempts_) {
        if (attempt.fd >= 0 && !attempt.failed) fds.push_back({attempt.fd, POLLOUT, 0});
    }
    return fds;
}

int HappyEyeballs::PollTimeoutMs(Clock::time_point now) const {
    if (status_ != Status::Running || next_ >= addresses_.size()) return -1;
    if (nextDue_ <= now) return 0;
    return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(nextDue_ - now).count());
}

HappyEyeballs::Status HappyEyeballs::Advance(const std::vector<pollfd> &ready,
                                             Clock::time_point now) {
    if (status_ != Status::Running) return status_;
    bool anyFailed = false;
    for (const pollfd &p : ready) {
        if (p.revents == 0) continue;
        for (std::size_t i = 0; i < attempts_.size(); ++i) {
            Attempt &attempt = attempts_[i];
            if (attempt.fd != p.fd || attempt.failed) continue;
            int error = 0;
            socklen_t length = sizeof error;
            if (getsockopt(attempt.fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
            if (error == 0 && (p.revents & POLLOUT) != 0) {
                winner_ = i;
                status_ = Status::Connected;
                // The losers go now, so that a server counting connections sees them end.
                for (std::size_t j = 0; j < attempts_.size(); ++j) {
                    if (j != i && attempts_[j].fd >= 0) {
                        close(attempts_[j].fd);
                        attempts_[j].fd = -1;
                    }
                }
                return status_;
            }
            if (error == 0) error = ECONNREFUSED; // POLLERR/POLLHUP without a pending error
            attempt.failed = true;
            attempt.error = error;
            lastError_ = error;
            close(attempt.fd);
            attempt.fd = -1;
            anyFailed = true;
        }
    }
    if ((anyFailed || now >= nextDue_) && next_ < addresses_.size()) StartNext(now);
    CheckDone();
    return status_;
}

int HappyEyeballs::TakeSocket() {
    if (status_ != Status::Connected) return -1;
    const int fd = attempts_[winner_].fd;
    attempts_[winner_].fd = -1;
    return fd;
}

ConnectOutcome ConnectFirst(const std::vector<SocketAddress> &addresses, int cancelFd,
                            ConnectStep connect, std::chrono::milliseconds delay) {
    ConnectOutcome outcome;
    HappyEyeballs race(addresses, std::move(connect), delay);
    auto status = race.Start(HappyEyeballs::Clock::now());
    while (status == HappyEyeballs::Status::Running) {
        std::vector<pollfd> fds = race.PollFds();
        if (cancelFd >= 0) fds.push_back({cancelFd, POLLIN, 0});
        const int timeout = race.PollTimeoutMs(HappyEyeballs::Clock::now());
        const int rc = poll(fds.data(), fds.size(), timeout);
        if (rc < 0 && errno != EINTR) {
            outcome.error = errno;
            return outcome;
        }
        if (cancelFd >= 0 && (fds.back().revents & POLLIN) != 0) {
            outcome.cancelled = true;
            return outcome;
        }
        if (cancelFd >= 0) fds.pop_back();
        status = race.Advance(fds, HappyEyeballs::Clock::now());
    }
    if (status == HappyEyeballs::Status::Connected) {
        outcome.address = race.Winner();
        outcome.fd = race.TakeSocket();
    } else {
        outcome.error = race.LastError();
    }
    return outcome;
}

ConnectOutcome ConnectHost(const std::string &host, uint16_t port, const Resolver &resolver,
                           int cancelFd, ConnectStep connect, std::chrono::milliseconds delay) {
    const Resolution resolution = resolver(host, port);
    if (resolution.addresses.empty()) {
        ConnectOutcome outcome;
        outcome.lookupError = resolution.error.empty() ? "no address" : resolution.error;
        return outcome;
    }
    return ConnectFirst(resolution.addresses, cancelFd, std::move(connect), delay);
}

} // namespace tarvotcpc
