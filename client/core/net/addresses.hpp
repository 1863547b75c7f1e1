// Every address of a host, and the race that connects to them (Happy Eyeballs, RFC 8305): the
// first attempt starts at once, the next one 250 ms later or as soon as the one before fails,
// the first to connect wins and the others are closed.
#pragma once

#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <poll.h>

namespace tarvotcpc {

struct SocketAddress {
    sockaddr_storage storage{};
    socklen_t length = 0;

    int Family() const { return storage.ss_family; }
    const sockaddr *Get() const { return reinterpret_cast<const sockaddr *>(&storage); }
};

// "127.0.0.1:8080" or "[::1]:8080" (with "%zone" inside the brackets when there is one).
std::string FormatAddress(const SocketAddress &address);
// A numeric address ("127.0.0.1", "::1") with a port; false for anything else.
bool NumericAddress(const std::string &host, uint16_t port, SocketAddress &out);

// A host written as an address, as connecting reads it: an IPv6 literal, or any IPv4 form
// inet_aton takes ("127.1", "0x7f.1", "2130706433", "0177.0.0.1"); none for a name. Whatever is
// connected to as an address is also checked and pinned as one, so this is the one reading.
std::optional<SocketAddress> LiteralAddress(const std::string &host, uint16_t port);
// That address in its usual form ("127.0.0.1", "::1"), without a port; empty for a name.
std::string LiteralAddressText(const std::string &host);

struct Resolution {
    std::vector<SocketAddress> addresses; // in the resolver's order
    std::string error;                    // when there are none
};

// The seam for name lookup, so that tests choose the addresses.
using Resolver = std::function<Resolution(const std::string &host, uint16_t port)>;

// getaddrinfo with AF_UNSPEC and SOCK_STREAM: every IPv6 and IPv4 address, duplicates dropped.
// Not AI_ADDRCONFIG: it hides ::1 on a host whose only IPv6 address is the loopback one, and an
// address the system cannot reach fails at once, which starts the next attempt at once.
// It blocks for as long as the system's lookup takes, so the connection thread calls it.
Resolution ResolveHost(const std::string &host, uint16_t port);

// Starts a connection to address: a non-blocking socket whose connect(2) is under way (or done),
// sending at once (SendAtOnce). Returns the socket, or -1 with error set to errno.
// Turns Nagle's algorithm off on a TCP socket. A send is a whole page the user chose to send now;
// held back behind an unacknowledged one (40 ms on loopback, with the peer's delayed
// acknowledgement), it would reach the peer late, the answer would be timed late, and sends
// repeated every millisecond would arrive in bursts. Whether it took is no reason to fail.
void SendAtOnce(int fd);

using ConnectStep = std::function<int(const SocketAddress &address, int &error)>;
int StartConnect(const SocketAddress &address, int &error);

inline constexpr std::chrono::milliseconds kAttemptDelay{250};

class HappyEyeballs {
  public:
    using Clock = std::chrono::steady_clock;

    enum class Status { Running, Connected, Failed };

    struct Attempt {
        SocketAddress address;
        int fd = -1;
        int error = 0; // errno of a failed attempt
        Clock::time_point started;
        bool failed = false;
    };

    HappyEyeballs(std::vector<SocketAddress> addresses, ConnectStep connect = StartConnect,
                  std::chrono::milliseconds delay = kAttemptDelay);
    ~HappyEyeballs(); // closes every socket not taken
    HappyEyeballs(const HappyEyeballs &) = delete;
    HappyEyeballs &operator=(const HappyEyeballs &) = delete;

    // Starts the first attempt.
    Status Start(Clock::time_point now);
    // The sockets to poll (POLLOUT), in Attempts() order of the pending ones.
    std::vector<pollfd> PollFds() const;
    // Until the next attempt is due; -1 when none is left to start.
    int PollTimeoutMs(Clock::time_point now) const;
    // After poll: ready holds the entries of PollFds() with revents filled in.
    Status Advance(const std::vector<pollfd> &ready, Clock::time_point now);

    // With Connected: the winning socket (the caller owns it from then on) and its address.
    int TakeSocket();
    const SocketAddress &Winner() const { return attempts_[winner_].address; }
    // With Failed: the errno of the last attempt to fail.
    int LastError() const { return lastError_; }
    const std::vector<Attempt> &Attempts() const { return attempts_; }
    Status State() const { return status_; }

  private:
    void StartNext(Clock::time_point now);
    void CheckDone();

    std::vector<SocketAddress> addresses_;
    ConnectStep connect_;
    std::chrono::milliseconds delay_;
    std::vector<Attempt> attempts_;
    std::size_t next_ = 0;
    Clock::time_point nextDue_;
    std::size_t winner_ = 0;
    int lastError_ = 0;
    Status status_ = Status::Running;
};

struct ConnectOutcome {
    int fd = -1;             // the connected non-blocking socket, owned by the caller
    SocketAddress address;   // the address it reached
    bool cancelled = false;  // cancelFd became readable first
    int error = 0;           // errno of the last failed attempt, when fd is -1 and not cancelled
    std::string lookupError; // the resolver's text when the name gave no address
};

// Runs the race to its end with poll(2); cancelFd (an eventfd, or -1) ends it at once when
// readable. The eventfd is not read: whoever owns it decides.
ConnectOutcome ConnectFirst(const std::vector<SocketAddress> &addresses, int cancelFd,
                            ConnectStep connect = StartConnect,
                            std::chrono::milliseconds delay = kAttemptDelay);

// Resolves host through resolver and races its addresses. Resolving blocks (see ResolveHost), so
// the cancel eventfd is looked at only once it returns.
ConnectOutcome ConnectHost(const std::string &host, uint16_t port, const Resolver &resolver,
                           int cancelFd, ConnectStep connect = StartConnect,
                           std::chrono::milliseconds delay = kAttemptDelay);

} // namespace tarvotcpc
