// The listening side: a socket bound to the address the user chose, and the peers it accepts.
#pragma once

#include <cstdint>
#include <string>

#include "net/addresses.hpp"

namespace tarvotcpc {

// Whoever reaches the port first takes the session, so only loopback is the default; every
// address, or one the user names, is a choice of their own.
enum class BindChoice {
    All,      // every IPv6 and IPv4 address (one dual-stack socket; IPv4 only without IPv6)
    Loopback, // 127.0.0.1: this computer only
    IPv6,     // every IPv6 address
    IPv4,     // every IPv4 address
    Address,  // the one address the user wrote
};

struct ListenResult {
    int fd = -1;            // non-blocking listening socket, owned by the caller; -1 on failure
    SocketAddress address;  // what it is bound to, with the port the system chose for port 0
    bool dualStack = false; // an IPv6 socket that also takes IPv4 peers
    int error = 0;          // errno on failure
    std::string text;       // on failure, for the user
};

// The socket address a choice other than Address binds to.
SocketAddress BindAddress(BindChoice choice, uint16_t port);
ListenResult Listen(BindChoice choice, uint16_t port, int backlog = 1);
ListenResult Listen(const SocketAddress &address, int backlog = 1);
// As the user chose: with Address, address is read as a host written as an address is when
// connecting ("127.1" too); "::" stands for every address, IPv6 and IPv4, as a dual-stack socket.
ListenResult ListenAt(BindChoice choice, const std::string &address, uint16_t port,
                      int backlog = 1);

// The same for UDP: a socket bound as ListenAt binds one (no backlog, no SO_REUSEADDR), with the
// options of PrepareDatagramSocket.
ListenResult BindDatagramAt(BindChoice choice, const std::string &address, uint16_t port);

// Where a socket listens, for the status bar: "127.0.0.1:8080", and for a socket on every address
// which ones, so that it shows: "[::]:8080 (すべてのIPv6とIPv4アドレス)".
std::string ListeningText(const ListenResult &result);

// The text for an address to listen on that is not one.
std::string NotAnAddressText(const std::string &address);

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
