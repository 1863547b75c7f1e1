// Name lookup, the Happy Eyeballs race and trust pins, on loopback.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <thread>

#include "net/addresses.hpp"
#include "net/listener.hpp"
#include "tls/trust_pins.hpp"

namespace tarvotcpc {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

uint16_t PortOf(const SocketAddress &address) {
    return ntohs(reinterpret_cast<const sockaddr_in *>(&address.storage)->sin_port);
}

// A loopback address that never answers: its listener's accept queue is full, so the kernel
// drops further SYNs and a connect to it stays pending.
class BlackHole {
  public:
    BlackHole() {
        SocketAddress loopback;
        NumericAddress("127.0.0.1", 0, loopback);
        ListenResult l = Listen(loopback, 0);
        listenFd_ = l.fd;
        address_ = l.address;
        for (int i = 0; i < 8 && !full_; ++i) {
            int error = 0;
            const int fd = StartConnect(address_, error);
            if (fd < 0) break;
            fillers_.push_back(fd);
            pollfd p{fd, POLLOUT, 0};
            full_ = poll(&p, 1, 200) == 0;
        }
    }
    ~BlackHole() {
        for (int fd : fillers_)
            close(fd);
        if (listenFd_ >= 0) close(listenFd_);
    }
    bool Full() const { return full_; }
    const SocketAddress &Address() const { return address_; }

  private:
    int listenFd_ = -1;
    SocketAddress address_;
    std::vector<int> fillers_;
    bool full_ = false;
};

struct Listening {
    ListenResult result = Listen(BindChoice::Loopback, 0);
    ~Listening() {
        if (result.fd >= 0) close(result.fd);
    }
};

// The first address never answers and the second does: the second attempt starts once the
// delay has passed while the first is still pending, and wins.
TEST(HappyEyeballs, SecondAddressWinsAfterTheDelayWhileTheFirstHangs) {
    BlackHole hole;
    ASSERT_TRUE(hole.Full()) << "the loopback listener's queue never filled";
    Listening good;
    ASSERT_GE(good.result.fd, 0);
    std::vector<std::string> looked;
    const Resolver resolver = [&](const std::string &host, uint16_t) {
        looked.push_back(host);
        return Resolution{{hole.Address(), good.result.address}, {}};
    };

    const Resolution addresses = resolver("two.test", 0);
    HappyEyeballs race(addresses.addresses);
    const auto begin = Clock::now();
    auto status = race.Start(begin);
    while (status == HappyEyeballs::Status::Running && Clock::now() - begin < 5s) {
        std::vector<pollfd> fds = race.PollFds();
        poll(fds.data(), fds.size(), race.PollTimeoutMs(Clock::now()));
        status = race.Advance(fds, Clock::now());
    }
    const auto took = Clock::now() - begin;
    ASSERT_EQ(status, HappyEyeballs::Status::Connected);
    const auto &attempts = race.Attempts();
    ASSERT_EQ(attempts.size(), 2u);
    EXPECT_FALSE(attempts[0].failed) << "the first was still pending";
    EXPECT_GE(attempts[1].started - attempts[0].started, kAttemptDelay);
    EXPECT_EQ(attempts[0].fd, -1) << "the loser is closed";
    EXPECT_LT(took, 2s);
    EXPECT_EQ(FormatAddress(race.Winner()), FormatAddress(good.result.address));
    const int fd = race.TakeSocket();
    EXPECT_GE(fd, 0);
    close(fd);

    // The same through the resolver seam.
    const ConnectOutcome outcome = ConnectHost("two.test", 0, resolver, -1);
    EXPECT_GE(outcome.fd, 0);
    EXPECT_EQ(FormatAddress(outcome.address),
              "127.0.0.1:" + std::to_string(PortOf(good.result.address)));
    close(outcome.fd);
    EXPECT_EQ(looked.size(), 2u);
}

// Every address refusing: the next starts as soon as the one before fails, without waiting for
// the delay, and the race fails with the refusal; an empty lookup fails with its text; a
// hanging race ends when the eventfd is signalled.
TEST(HappyEyeballs, FailuresAndCancel) {
    std::vector<SocketAddress> refused;
    for (int i = 0; i < 3; ++i) {
        Listening closed; // bound, then closed: nothing listens there any more
        refused.push_back(closed.result.address);
    }
    const auto begin = Clock::now();
    const ConnectOutcome failed = ConnectFirst(refused, -1, StartConnect, 5s);
    EXPECT_EQ(failed.fd, -1);
    EXPECT_EQ(failed.error, ECONNREFUSED);
    EXPECT_LT(Clock::now() - begin, 2s) << "a refusal starts the next attempt at once";

    const ConnectOutcome none = ConnectHost(
        "none.test", 80,
        [](const std::string &, uint16_t) {
            return Resolution{{}, "not found"};
        },
        -1);
    EXPECT_EQ(none.fd, -1);
    EXPECT_EQ(none.lookupError, "not found");

    // A connect step that fails at once counts as a failed attempt.
    int calls = 0;
    const ConnectOutcome stepFailed = ConnectFirst(refused, -1, [&](const SocketAddress &, int &e) {
        ++calls;
        e = ENETUNREACH;
        return -1;
    });
    EXPECT_EQ(calls, 3);
    EXPECT_EQ(stepFailed.error, ENETUNREACH);

    BlackHole hole;
    ASSERT_TRUE(hole.Full());
    const int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    std::thread canceller([wake] {
        std::this_thread::sleep_for(100ms);
        const uint64_t one = 1;
        [[maybe_unused]] ssize_t ignored = write(wake, &one, sizeof one);
    });
    const ConnectOutcome cancelled = ConnectFirst({hole.Address()}, wake);
    canceller.join();
    close(wake);
    EXPECT_TRUE(cancelled.cancelled);
    EXPECT_EQ(cancelled.fd, -1);
}

TEST(Addresses, LocalhostResolvesAndAddressesPrint) {
    const Resolution local = ResolveHost("localhost", 8080);
    ASSERT_FALSE(local.addresses.empty()) << local.error;
    for (const SocketAddress &a : local.addresses) {
        const std::string text = FormatAddress(a);
        EXPECT_TRUE(text == "127.0.0.1:8080" || text == "[::1]:8080") << text;
    }
    SocketAddress v6;
    ASSERT_TRUE(NumericAddress("::1", 443, v6));
    EXPECT_EQ(FormatAddress(v6), "[::1]:443");
    EXPECT_FALSE(NumericAddress("localhost", 443, v6));
    EXPECT_FALSE(ResolveHost("name.invalid", 80).error.empty());
}

// Both ends this side makes, connecting and accepting, hand each send to the network at once:
// with Nagle's algorithm on, sends a millisecond apart reached a loopback peer in 40 ms bursts.
TEST(Addresses, ConnectedAndAcceptedSocketsSendAtOnce) {
    const ListenResult listening = Listen(BindChoice::Loopback, 0);
    ASSERT_GE(listening.fd, 0) << listening.text;
    int error = 0;
    const int connected = StartConnect(listening.address, error);
    ASSERT_GE(connected, 0) << error;
    pollfd ready{listening.fd, POLLIN, 0};
    ASSERT_EQ(poll(&ready, 1, 10000), 1);
    const AcceptResult accepted = AcceptPeer(listening.fd);
    ASSERT_EQ(accepted.kind, AcceptResult::Kind::Peer) << accepted.text;
    for (const int fd : {connected, accepted.fd}) {
        int on = 0;
        socklen_t length = sizeof on;
        ASSERT_EQ(getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, &length), 0);
        EXPECT_EQ(on, 1);
        close(fd);
    }
    close(listening.fd);
}

TEST(TrustPins, KeysAndFingerprintComparison) {
    const std::string a(64, 'a');
    std::string colonA;
    for (std::size_t i = 0; i < 64; i += 2)
        colonA += (i ? ":" : "") + std::string("AA");
    TrustPins pins;
    const std::string key = PinKey("Example.COM", 443);
    EXPECT_EQ(key, "example.com:443");
    EXPECT_EQ(PinKey("::1", 8443), "::1:8443");
    // An address is pinned in its usual form, however it was written; a name as it is.
    EXPECT_EQ(PinKey("0:0::1", 8443), "::1:8443");
    EXPECT_EQ(PinKey("0x7F.1", 443), "127.0.0.1:443");
    EXPECT_EQ(PinKey("127.1 x", 443), "127.1 x:443");
    EXPECT_EQ(ShownFingerprint(a), colonA);
    EXPECT_EQ(ShownFingerprint("garbage"), "garbage");
    EXPECT_EQ(CheckPin(pins, key, a), PinState::NotPinned);
    ASSERT_TRUE(AddPin(pins, key, colonA));
    EXPECT_EQ(CheckPin(pins, key, a), PinState::Matching);
    EXPECT_EQ(CheckPin(pins, key, std::string(64, 'b')), PinState::Changed);
    EXPECT_EQ(CheckPin(pins, key, "garbage"), PinState::Changed);
    EXPECT_FALSE(AddPin(pins, "a=b:1", a)) << "would not read back from the settings file";
    EXPECT_FALSE(AddPin(pins, "[x]:1", a));
    EXPECT_FALSE(AddPin(pins, key, "12:34"));
    EXPECT_TRUE(RemovePin(pins, key));
    EXPECT_EQ(CheckPin(pins, key, a), PinState::NotPinned);
}

} // namespace
} // namespace tarvotcpc
