// How a connection gets its connected socket: find every address of a host and race them, or
// accept the first peer on a listening socket. Each is a step machine that never blocks, driven
// by the worker's one wait, so that a Disconnect or Quit is never held up by a lookup or a
// connect.
#pragma once

#include <netinet/in.h>
#include <poll.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "net/addresses.hpp"
#include "net/end_reason.hpp"
#include "net/unique_fd.hpp"

namespace tarvotcpc {

struct EndpointStep {
    enum class State { Waiting, Connected, Failed };
    State state = State::Waiting;
    UniqueFd socket;        // Connected: non-blocking and connected
    EndReason reason{};     // Failed
    std::string systemText; // Failed with EndReason::Error
    std::string peer;       // Connected: the address reached, "[::1]:8080"
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
    // While Waiting: the longest wait before Advance must be called again (-1: none).
    virtual int TimeoutMs() const { return -1; }
    // While Waiting: a text for the status bar (what it is doing), or empty.
    virtual std::string Activity() const { return {}; }
};

using EndpointFactory = std::function<std::unique_ptr<Endpoint>()>;

// A name lookup cannot be interrupted, so it runs on a detached thread of its own, started by the
// constructor; the endpoint that asked may be dropped before it ends, and its thread then frees
// what it holds. Without a thread the lookup happens at once, uninterruptible.
class NameLookup {
  public:
    NameLookup(const Resolver &resolver, const std::string &host, uint16_t port);
    bool Finished() const;
    // Once finished: every address found (none when the name has none).
    std::vector<SocketAddress> &Addresses();
    // While not finished: the descriptor that becomes readable when it is.
    std::vector<pollfd> Waits() const;

    struct State; // shared with the lookup's thread

  private:
    std::shared_ptr<State> state_;
};

// Every address of host (a numeric address as it is, a dotted IPv4 address as inet_aton reads it,
// else through the resolver on a thread of its own, empty meaning ResolveHost), then the race of
// connects to the low 16 bits of port (HappyEyeballs). No address: HostNotFound; every attempt
// failed: ConnectFailed (a reset: Error, as a peer that accepted and dropped the connection).
std::unique_ptr<Endpoint> MakeHostEndpoint(std::string host, int32_t port, Resolver resolver,
                                           ConnectStep connect = StartConnect);

// Accepts the first peer on a listening socket (non-blocking, owned by the endpoint).
std::unique_ptr<Endpoint> MakeListenEndpoint(UniqueFd listening);

} // namespace tarvotcpc
