#include "net/datagram.hpp"

#include <arpa/inet.h>
#include <linux/errqueue.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

namespace tarvotcpc {

namespace {

// A receive buffer this large holds about a second of a busy peer's datagrams while the window
// catches up; the system caps it at net.core.rmem_max.
constexpr int kReceiveBuffer = 4 * 1024 * 1024;

EndpointStep Fail(EndReason reason) {
    EndpointStep step;
    step.state = EndpointStep::State::Failed;
    step.reason = reason;
    return step;
}

EndpointStep Connected(UniqueFd socket, const SocketAddress &peer) {
    EndpointStep step;
    step.state = EndpointStep::State::Connected;
    step.socket = std::move(socket);
    step.peer = FormatAddress(peer);
    return step;
}

// The errors a datagram socket takes from ICMP messages (or the system's own verdict on a
// datagram): the destination said no, or is out of reach. The socket itself is fine.
bool IsDatagramTrouble(int error) {
    switch (error) {
    case ECONNREFUSED:
    case EHOSTUNREACH:
    case ENETUNREACH:
    case EHOSTDOWN:
    case ENONET:
    case EPROTO:
    case ENOPROTOOPT:
    case EMSGSIZE:
    case EACCES:
    case EPERM:
        return true;
    default:
        return false;
    }
}

// The same without the error queue's details (a system that keeps none).
std::string TroubleText(int error) {
    if (error == ECONNREFUSED) return IcmpErrorText(SO_EE_ORIGIN_ICMP, 3, 3, 0, {});
    if (error == EHOSTUNREACH) return IcmpErrorText(SO_EE_ORIGIN_ICMP, 3, 1, 0, {});
    if (error == ENETUNREACH) return IcmpErrorText(SO_EE_ORIGIN_ICMP, 3, 0, 0, {});
    return "データグラムを送れませんでした: " + SystemErrorText(error);
}

std::string OffenderText(const sock_extended_err &error) {
    const sockaddr *offender = SO_EE_OFFENDER(&error);
    char text[INET6_ADDRSTRLEN] = {};
    if (offender->sa_family == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in *>(offender)->sin_addr, text,
                  sizeof text);
    } else if (offender->sa_family == AF_INET6) {
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6 *>(offender)->sin6_addr, text,
                  sizeof text);
    }
    return text;
}

IoResult Result(IoResult::Status status, std::size_t bytes = 0, std::string text = {}) {
    IoResult result;
    result.status = status;
    result.bytes = bytes;
    result.errorText = std::move(text);
    return result;
}

class DatagramEndpoint final : public Endpoint {
  public:
    DatagramEndpoint(std::string host, int32_t port, Resolver resolver)
        : host_(std::move(host)),
          port_(static_cast<uint16_t>(static_cast<uint32_t>(port) & 0xFFFFu)),
          resolver_(resolver ? std::move(resolver) : Resolver(ResolveHost)) {}

    EndpointStep Advance() override {
        if (!lookup_) {
            if (std::optional<SocketAddress> literal = LiteralAddress(host_, port_))
                return ConnectFirst({*literal});
            lookup_ = std::make_unique<NameLookup>(resolver_, host_, port_);
        }
        if (!lookup_->Finished()) return {};
        if (lookup_->Addresses().empty()) return Fail(EndReason::HostNotFound);
        return ConnectFirst(lookup_->Addresses());
    }
    std::vector<pollfd> Waits() const override {
        return lookup_ ? lookup_->Waits() : std::vector<pollfd>{};
    }

  private:
    static EndpointStep ConnectFirst(const std::vector<SocketAddress> &addresses) {
        int error = 0;
        for (const SocketAddress &address : addresses) {
            UniqueFd fd(socket(address.Family(), SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
            if (!fd.Valid()) {
                error = errno;
                continue;
            }
            PrepareDatagramSocket(fd.Get(), address.Family());
            // No packet goes out: the system only checks that it has a route to the address.
            if (connect(fd.Get(), address.Get(), address.length) == 0)
                return Connected(std::move(fd), address);
            error = errno;
        }
        return Fail(error == EMFILE || error == ENFILE ? EndReason::SocketFailed
                                                       : EndReason::ConnectFailed);
    }

    std::string host_;
    uint16_t port_;
    Resolver resolver_;
    std::unique_ptr<NameLookup> lookup_;
};

class DatagramListenEndpoint final : public Endpoint {
  public:
    explicit DatagramListenEndpoint(UniqueFd bound) : bound_(std::move(bound)) {}

    EndpointStep Advance() override {
        // Nothing was sent yet, so an error waiting there is none of this session's; left there,
        // it would keep the socket readable for poll and the wait would spin.
        char ignored[1];
        iovec io{ignored, sizeof ignored};
        msghdr message{};
        message.msg_iov = &io;
        message.msg_iovlen = 1;
        while (recvmsg(bound_.Get(), &message, MSG_ERRQUEUE | MSG_DONTWAIT) >= 0) {
        }
        SocketAddress from;
        from.length = sizeof from.storage;
        char byte = 0;
        for (;;) {
            // A peek: the datagram stays in the socket for the transport to read whole.
            const ssize_t n = recvfrom(bound_.Get(), &byte, 1, MSG_PEEK | MSG_DONTWAIT,
                                       reinterpret_cast<sockaddr *>(&from.storage), &from.length);
            if (n >= 0) return Connected(std::move(bound_), from);
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK || IsDatagramTrouble(errno)) return {};
            EndpointStep step = Fail(EndReason::Error);
            step.systemText = SystemErrorText(errno);
            return step;
        }
    }
    std::vector<pollfd> Waits() const override { return {{bound_.Get(), POLLIN, 0}}; }

  private:
    UniqueFd bound_;
};

} // namespace

std::size_t MaxDatagramFor(const std::string &peer) {
    if (peer.size() < 2 || peer.front() != '[') return kMaxDatagramV4;
    const std::size_t close = peer.find(']');
    if (close == std::string::npos) return kMaxDatagramV4;
    std::string host = peer.substr(1, close - 1);
    host = host.substr(0, host.find('%'));
    in6_addr address{};
    if (inet_pton(AF_INET6, host.c_str(), &address) != 1) return kMaxDatagramV4;
    return IN6_IS_ADDR_V4MAPPED(&address) ? kMaxDatagramV4 : kMaxDatagramV6;
}

void PrepareDatagramSocket(int fd, int family) {
    const int on = 1;
    // Each is a refinement: a system without one still sends and receives.
    setsockopt(fd, IPPROTO_IP, IP_RECVERR, &on, sizeof on);
    if (family == AF_INET6) setsockopt(fd, IPPROTO_IPV6, IPV6_RECVERR, &on, sizeof on);
    setsockopt(fd, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on);
    const int size = kReceiveBuffer;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
}

std::unique_ptr<Endpoint> MakeDatagramEndpoint(std::string host, int32_t port, Resolver resolver) {
    return std::make_unique<DatagramEndpoint>(std::move(host), port, std::move(resolver));
}

std::unique_ptr<Endpoint> MakeDatagramListenEndpoint(UniqueFd bound) {
    return std::make_unique<DatagramListenEndpoint>(std::move(bound));
}

std::string IcmpErrorText(uint8_t origin, uint8_t type, uint8_t code, uint32_t info,
                          const std::string &offender) {
    std::string what;
    std::string name;
    bool fromPeer = false; // the peer itself answered: naming it again says nothing
    const std::string mtu = "(経路のMTUは" + std::to_string(info) + "バイト)";
    if (origin == SO_EE_ORIGIN_ICMP && type == 3) {
        switch (code) {
        case 0:
            what = "相手のネットワークに届きませんでした", name = "network unreachable";
            break;
        case 1:
            what = "相手のホストに届きませんでした", name = "host unreachable";
            break;
        case 2:
            what = "相手のホストはUDPを受け付けません", name = "protocol unreachable";
            fromPeer = true;
            break;
        case 3:
            what = "相手のポートに届きませんでした", name = "port unreachable";
            fromPeer = true;
            break;
        case 4:
            what = "データグラムが経路に対して大きすぎます" + mtu, name = "fragmentation needed";
            break;
        case 9:
        case 10:
        case 13:
            what = "途中で拒否されました", name = "administratively prohibited";
            break;
        default:
            what = "相手に届きませんでした";
            name = "destination unreachable, code " + std::to_string(code);
            break;
        }
    } else if (origin == SO_EE_ORIGIN_ICMP && type == 11) {
        what = "途中で寿命が尽きました", name = "time exceeded";
    } else if (origin == SO_EE_ORIGIN_ICMP6 && type == 1) {
        switch (code) {
        case 0:
            what = "相手への経路がありません", name = "no route to destination";
            break;
        case 1:
        case 5:
        case 6:
            what = "途中で拒否されました", name = "administratively prohibited";
            break;
        case 3:
            what = "相手のアドレスに届きませんでした", name = "address unreachable";
            break;
        case 4:
            what = "相手のポートに届きませんでした", name = "port unreachable";
            fromPeer = true;
            break;
        default:
            what = "相手に届きませんでした";
            name = "destination unreachable, code " + std::to_string(code);
            break;
        }
    } else if (origin == SO_EE_ORIGIN_ICMP6 && type == 2) {
        what = "データグラムが経路に対して大きすぎます" + mtu, name = "packet too big";
    } else if (origin == SO_EE_ORIGIN_ICMP6 && type == 3) {
        what = "途中で寿命が尽きました", name = "time exceeded";
    } else if (origin == SO_EE_ORIGIN_LOCAL && info != 0) {
        return "データグラムが経路に対して大きすぎるため送れませんでした" + mtu;
    } else {
        what = "データグラムが届きませんでした";
        name = "type " + std::to_string(type) + ", code " + std::to_string(code);
    }
    std::string text = what + " (" + (origin == SO_EE_ORIGIN_ICMP6 ? "ICMPv6 " : "ICMP ") + name;
    if (!fromPeer && !offender.empty()) text += "、" + offender + "から";
    return text + ")";
}

DatagramTransport::DatagramTransport(UniqueFd socket) : socket_(std::move(socket)) {
    SocketAddress peer;
    peer.length = sizeof peer.storage;
    connected_ =
        getpeername(socket_.Get(), reinterpret_cast<sockaddr *>(&peer.storage), &peer.length) == 0;
}

short DatagramTransport::PollEvents(bool wantRead, bool wantWrite) const {
    // POLLERR comes unasked: an ICMP error waits in the error queue.
    return static_cast<short>((wantRead ? POLLIN : 0) | (wantWrite ? POLLOUT : 0));
}

bool DatagramTransport::TakeQueuedError() {
    char data[64];
    char control[512];
    iovec io{data, sizeof data};
    msghdr message{};
    message.msg_iov = &io;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    for (;;) {
        message.msg_controllen = sizeof control;
        ssize_t n;
        do {
            n = recvmsg(socket_.Get(), &message, MSG_ERRQUEUE | MSG_DONTWAIT);
        } while (n < 0 && errno == EINTR);
        if (n < 0) return false;
        if (!TellQueuedError(message)) continue;
        return true;
    }
}

bool DatagramTransport::TellQueuedError(msghdr &message) {
    for (cmsghdr *c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
        if (!((c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_RECVERR) ||
              (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_RECVERR)))
            continue;
        sock_extended_err error{};
        std::memcpy(&error, CMSG_DATA(c), sizeof error);
        // A datagram this host refused as too large failed its own send, which told it already
        // with its size; the queue's copy would tell it twice.
        if (error.ee_origin == SO_EE_ORIGIN_LOCAL && error.ee_errno == EMSGSIZE) return false;
        const bool icmp =
            error.ee_origin == SO_EE_ORIGIN_ICMP || error.ee_origin == SO_EE_ORIGIN_ICMP6;
        if (icmp) {
            const std::string offender =
                OffenderText(*reinterpret_cast<const sock_extended_err *>(CMSG_DATA(c)));
            notices_.push_back(IcmpErrorText(error.ee_origin, error.ee_type, error.ee_code,
                                             error.ee_info, offender));
        } else {
            notices_.push_back(TroubleText(static_cast<int>(error.ee_errno)));
        }
        return true;
    }
    // An entry without its details (none this client asks for): still one thing that went wrong.
    notices_.push_back("データグラムが届きませんでした");
    return true;
}

IoResult DatagramTransport::NextNotice() {
    IoResult result = Result(IoResult::Status::Notice, 0, std::move(notices_.front()));
    notices_.pop_front();
    return result;
}

IoResult DatagramTransport::Deliver(Datagram datagram, char *buffer, std::size_t size) {
    // The worker reads into a buffer larger than any datagram; a smaller one loses the rest, and
    // says so right after rather than pass the piece off as the whole.
    const std::size_t n = std::min(size, datagram.bytes.size());
    std::memcpy(buffer, datagram.bytes.data(), n);
    if (datagram.cut > 0)
        notices_.push_back("データグラムの最後の" + std::to_string(datagram.cut) +
                           "バイトを読み切れませんでした");
    IoResult result = Result(IoResult::Status::Done, n);
    result.from = std::move(datagram.from);
    return result;
}

IoResult DatagramTransport::Read(char *buffer, std::size_t size) {
    if (!socket_.Valid()) return Result(IoResult::Status::Error, 0, SystemErrorText(EBADF));
    if (!notices_.empty()) return NextNotice();
    if (held_) {
        Datagram datagram = std::move(*held_);
        held_.reset();
        return Deliver(std::move(datagram), buffer, size);
    }
    if (TakeQueuedError()) return NextNotice();
    SocketAddress from;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(uint32_t))];
    for (;;) {
        iovec io{buffer, size};
        msghdr message{};
        from.length = sizeof from.storage;
        message.msg_name = &from.storage;
        message.msg_namelen = from.length;
        message.msg_iov = &io;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        // MSG_TRUNC: the datagram's whole length, even when the buffer held less of it.
        const ssize_t n = recvmsg(socket_.Get(), &message, MSG_TRUNC);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return Result(IoResult::Status::WantRead);
            if (IsDatagramTrouble(errno))
                return Result(IoResult::Status::Notice, 0, TroubleText(errno));
            return Result(IoResult::Status::Error, 0, SystemErrorText(errno));
        }
        from.length = message.msg_namelen;
        const std::size_t got = std::min(size, static_cast<std::size_t>(n));
        Datagram datagram{std::string(buffer, got), {}, static_cast<std::size_t>(n) - got};
        if (!connected_) {
            datagram.from = FormatAddress(from);
            lastSender_ = from;
        }
        for (cmsghdr *c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
            if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SO_RXQ_OVFL) continue;
            uint32_t drops = 0;
            std::memcpy(&drops, CMSG_DATA(c), sizeof drops);
            // The count is the socket's since it was made, carried by each datagram queued
            // after a drop: the datagrams lost came before this one.
            if (drops != dropsSeen_) {
                notices_.push_back("受信が追いつかず、" + std::to_string(drops - dropsSeen_) +
                                   "個のデータグラムが受信バッファーからあふれて失われました");
                dropsSeen_ = drops;
            }
        }
        if (!notices_.empty()) {
            held_ = std::move(datagram);
            return NextNotice();
        }
        return Deliver(std::move(datagram), buffer, size);
    }
}

IoResult DatagramTransport::Write(const char *bytes, std::size_t size) {
    if (!socket_.Valid()) return Result(IoResult::Status::Error, 0, SystemErrorText(EBADF));
    // An error the socket holds would fail this send and leave it unsent: it is told first.
    if (!notices_.empty()) return NextNotice();
    if (TakeQueuedError()) return NextNotice();
    if (!connected_ && !lastSender_)
        return Result(IoResult::Status::Error, 0, "まだ相手からデータグラムが届いていません");
    for (;;) {
        const ssize_t n = connected_ ? send(socket_.Get(), bytes, size, MSG_NOSIGNAL)
                                     : sendto(socket_.Get(), bytes, size, MSG_NOSIGNAL,
                                              lastSender_->Get(), lastSender_->length);
        if (n >= 0) return Result(IoResult::Status::Done, size);
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return Result(IoResult::Status::WantWrite);
        // The error an earlier datagram brought back, which the system gives instead of sending
        // this one: told, and this one is tried again.
        if (errno == ECONNREFUSED || errno == EHOSTUNREACH || errno == ENETUNREACH)
            return Result(IoResult::Status::Notice, 0, TroubleText(errno));
        return Result(IoResult::Status::Error, 0, SystemErrorText(errno));
    }
}

} // namespace tarvotcpc
