// How a connection gets its connected socket. Today: find the IPv4 address of a host, then connect
// to it. Later kinds (racing several addresses, accepting one peer on a listening socket) fit the
// same shape: a step machine that never blocks, driven by the worker's one wait, so that a
// Disconnect or Quit is never held up by a lookup or a connect.
#pragma once

#include <netinet/in.h>
#include <poll.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "end_reason.hpp"
#include "unique_fd.hpp"

namespace tarvotcpc {

// Finds the IPv4 address of a host name; false when there is none. Runs on a thread of its own,
// so it may block as long as it likes.
using Resolver = std::function<bool(const std::string &host, in_addr &address)>;

// The system's lookup: getaddrinfo for IPv4 stream addresses, first result.
bool ResolveIPv4(const std::string &host, in_addr &address);

struct EndpointStep {
    enum class State { Waiting, Connected, Failed };
    State state = State::Waiting;
    UniqueFd socket;        // Connected: non-blocking and connected
    EndReason reason{};     // Failed
    std::string systemText; // Failed with EndReason::Error
};

class Endpoint {
  public:
    // Dropping an endpoint midway abandons it at once; a lookup still running finishes on its own
    // thread and then frees what it holds.
    virtual ~Endpoint() = default;

    // Goes on as far as it can without blocking. While Waiting, Waits() names the descriptors
    // whose readiness lets it go on.
    virtual EndpointStep Advance() = 0;
    virtual std::vector<pollfd> Waits() const = 0;
};

using EndpointFactory = std::function<std::unique_ptr<Endpoint>()>;

// A socket, then the host's address (a dotted IPv4 address as inet_aton reads it, else through the
// resolver, empty meaning ResolveIPv4), then a connect to the low 16 bits of port.
std::unique_ptr<Endpoint> MakeIPv4Endpoint(std::string host, int32_t port, Resolver resolver);

} // namespace tarvotcpc
