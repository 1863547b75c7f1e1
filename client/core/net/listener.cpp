#include "net/listener.hpp"

#include "net/datagram.hpp"

#include <netinet/in.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tarvotcpc {

SocketAddress BindAddress(BindChoice choice, uint16_t port) {
    SocketAddress address;
    if (choice == BindChoice::All || choice == BindChoice::IPv6) {
        auto *v6 = reinterpret_cast<sockaddr_in6 *>(&address.storage);
        v6->sin6_family = AF_INET6;
        v6->sin6_addr = in6addr_any;
        v6->sin6_port = htons(port);
        address.length = sizeof(sockaddr_in6);
    } else {
        auto *v4 = reinterpret_cast<sockaddr_in *>(&address.storage);
        v4->sin_family = AF_INET;
        // Anything but a choice of every address stays on this computer.
        v4->sin_addr.s_addr = htonl(choice == BindChoice::IPv4 ? INADDR_ANY : INADDR_LOOPBACK);
        v4->sin_port = htons(port);
        address.length = sizeof(sockaddr_in);
    }
    return address;
}

std::string ListenErrorText(int error, uint16_t port) {
    const std::string p = std::to_string(port);
    switch (error) {
    case EADDRINUSE:
        return "ポート" + p + "は既に使われています。別のポート番号を指定してください";
    case EACCES:
    case EPERM:
        return "ポート" + p +
               "で待ち受ける権限がありません(1024未満のポートには管理者の権限が必要です)";
    case EADDRNOTAVAIL:
    case EAFNOSUPPORT:
        return "指定したアドレスでは待ち受けできません(このコンピューターで使えないアドレスです)";
    default:
        return "ポート" + p + "で待ち受けできません: " + std::strerror(error);
    }
}

namespace {

ListenResult Failure(int fd, int error, uint16_t port) {
    if (fd >= 0) close(fd);
    ListenResult result;
    result.error = error;
    result.text = ListenErrorText(error, port);
    return result;
}

uint16_t PortOf(const SocketAddress &address) {
    if (address.Family() == AF_INET6) {
        return ntohs(reinterpret_cast<const sockaddr_in6 *>(&address.storage)->sin6_port);
    }
    return ntohs(reinterpret_cast<const sockaddr_in *>(&address.storage)->sin_port);
}

// type: SOCK_STREAM, listening with backlog; SOCK_DGRAM, only bound.
ListenResult ListenOn(const SocketAddress &address, int type, int backlog, bool dualStack) {
    const uint16_t port = PortOf(address);
    const int fd = socket(address.Family(), type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return Failure(-1, errno, port);
    const int on = 1;
    // Lets a port be taken again at once after the last peer's connection lingers in TIME_WAIT;
    // a port another program listens on still fails with EADDRINUSE. Not for UDP, where it would
    // let this socket share a port another program is bound to.
    if (type == SOCK_STREAM) setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (address.Family() == AF_INET6) {
        const int only = dualStack ? 0 : 1;
        setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &only, sizeof only);
    }
    if (type == SOCK_DGRAM) PrepareDatagramSocket(fd, address.Family());
    if (bind(fd, address.Get(), address.length) != 0) return Failure(fd, errno, port);
    if (type == SOCK_STREAM && listen(fd, backlog) != 0) return Failure(fd, errno, port);
    ListenResult result;
    result.fd = fd;
    if (address.Family() == AF_INET6) {
        // What the socket does, not what was asked: the status tells who can reach it.
        int only = 1;
        socklen_t length = sizeof only;
        result.dualStack =
            getsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &only, &length) == 0 && only == 0;
    }
    result.address.length = sizeof result.address.storage;
    if (getsockname(fd, reinterpret_cast<sockaddr *>(&result.address.storage),
                    &result.address.length) != 0) {
        result.address = address;
    }
    return result;
}

ListenResult ListenOn(BindChoice choice, uint16_t port, int type, int backlog) {
    ListenResult result =
        ListenOn(BindAddress(choice, port), type, backlog, choice == BindChoice::All);
    // A system without IPv6 still listens on every IPv4 address for "all".
    if (choice == BindChoice::All && result.fd < 0 &&
        (result.error == EAFNOSUPPORT || result.error == EADDRNOTAVAIL)) {
        result = ListenOn(BindAddress(BindChoice::IPv4, port), type, backlog, false);
    }
    return result;
}

ListenResult ListenOn(BindChoice choice, const std::string &address, uint16_t port, int type,
                      int backlog) {
    if (choice != BindChoice::Address) return ListenOn(choice, port, type, backlog);
    const std::optional<SocketAddress> literal = LiteralAddress(address, port);
    if (!literal) {
        ListenResult result;
        result.error = EINVAL;
        result.text = NotAnAddressText(address);
        return result;
    }
    if (literal->Family() == AF_INET6 &&
        IN6_IS_ADDR_UNSPECIFIED(&reinterpret_cast<const sockaddr_in6 *>(literal->Get())->sin6_addr))
        return ListenOn(BindChoice::All, port, type, backlog);
    return ListenOn(*literal, type, backlog, false);
}

} // namespace

ListenResult Listen(const SocketAddress &address, int backlog) {
    return ListenOn(address, SOCK_STREAM, backlog, false);
}

ListenResult Listen(BindChoice choice, uint16_t port, int backlog) {
    return ListenOn(choice, port, SOCK_STREAM, backlog);
}

ListenResult ListenAt(BindChoice choice, const std::string &address, uint16_t port, int backlog) {
    return ListenOn(choice, address, port, SOCK_STREAM, backlog);
}

ListenResult BindDatagramAt(BindChoice choice, const std::string &address, uint16_t port) {
    return ListenOn(choice, address, port, SOCK_DGRAM, 0);
}

std::string ListeningText(const ListenResult &result) {
    const std::string text = FormatAddress(result.address);
    if (result.address.Family() == AF_INET6) {
        const auto *v6 = reinterpret_cast<const sockaddr_in6 *>(result.address.Get());
        if (IN6_IS_ADDR_UNSPECIFIED(&v6->sin6_addr)) {
            return text +
                   (result.dualStack ? " (すべてのIPv6とIPv4アドレス)" : " (すべてのIPv6アドレス)");
        }
    } else if (result.address.Family() == AF_INET) {
        const auto *v4 = reinterpret_cast<const sockaddr_in *>(result.address.Get());
        if (v4->sin_addr.s_addr == htonl(INADDR_ANY)) return text + " (すべてのIPv4アドレス)";
    }
    return text;
}

std::string NotAnAddressText(const std::string &address) {
    return "待ち受けるアドレス「" + address +
           "」は数字で書かれたアドレスではありません(例: 127.0.0.1、::1、0.0.0.0)";
}

AcceptResult AcceptPeer(int listenFd) {
    AcceptResult result;
    result.peer.length = sizeof result.peer.storage;
    const int fd = accept4(listenFd, reinterpret_cast<sockaddr *>(&result.peer.storage),
                           &result.peer.length, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd >= 0) {
        SendAtOnce(fd);
        result.kind = AcceptResult::Kind::Peer;
        result.fd = fd;
        return result;
    }
    result.peer = SocketAddress();
    // A peer that reset before it was accepted, or a signal, is no reason to stop listening.
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR || errno == ECONNABORTED ||
        errno == EPROTO) {
        return result;
    }
    result.kind = AcceptResult::Kind::Failed;
    result.text = std::string("接続を受け付けられません: ") + std::strerror(errno);
    return result;
}

} // namespace tarvotcpc
