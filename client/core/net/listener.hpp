// The listening side: a socket bound to the address the user chose, and the peers it accepts.
#pragma once

#include <cstdint>
#include <string>

#include "net/addresses.hpp"

namespace tarvotcpc {

enum class BindChoice {
    All,      // every IPv6 and IPv4 address (one dual-stack socket; IPv4 only without IPv6)
    Loopback, // 127.0.0.1
    IPv6,     // every IPv6 address
    IPv4,     // every IPv4 address
};

struct ListenResult {
    int fd = -1;           // non-blocking listening socket, owned by the caller; -1 on failure
    SocketAddress address; // what it is bound to, with the port the system chose for port 0
    int error = 0;         // errno on failure
    std::string text;      // on failure, for the user
};

// The socket address a choice binds to.
SocketAddress BindAddress(BindChoice choice, uint16_t port);
ListenResult Listen(BindChoice choice, uint16_t port, int backlog = 1);
ListenResult Listen(const SocketAddress &address, int backlog = 1);

// The user's text for a failure to bind or listen on port.
std::string ListenErrorText(int error, uint16_t port);

struct AcceptResult {
    enum class Kind { Peer, NotYet, Failed } kind = Kind::NotYet;
    int fd = -1;        // with Peer: the connected socket, non-blocking, owned by the caller
    SocketAddress peer; // with Peer
    std::string text;   // with Failed
};

// One accept(2) that never waits: NotYet until a peer has connected (poll for POLLIN).
AcceptResult AcceptPeer(int listenFd);

} // namespace tarvotcpc
