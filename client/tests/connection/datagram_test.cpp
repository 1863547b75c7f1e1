// UDP connections against real Python peers on loopback: datagrams whole both ways, the ICMP
// answer of a closed port, the listening side that answers whoever sent last, and the datagrams a
// full receive buffer lost.
#include <netinet/in.h>
#include <openssl/sha.h>
#include <sys/socket.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "connection/connection.hpp"
#include "net/datagram.hpp"
#include "net/listener.hpp"
#include "support/peer_process.hpp"

namespace tarvotcpc {
namespace {

using namespace std::chrono_literals;
using testing::PeerProcess;

constexpr auto kLong = 30s; // never reached when all is well

std::string UdpPeer() {
    return std::string(TARVOTCPC_TEST_DATA) + "/udp_peer.py";
}

std::string Hex(const std::string &bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    for (const unsigned char c : bytes)
        out += {kDigits[c >> 4], kDigits[c & 15]};
    return out;
}

std::string Sha256Hex(const std::string &bytes) {
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size(), digest);
    return Hex(std::string(reinterpret_cast<const char *>(digest), sizeof digest));
}

// A UDP connection whose events the test drains itself.
class DatagramClient {
  public:
    DatagramClient(std::string host, int32_t port, ConnectionOptions options = {}) {
        options.datagrams = true;
        options.wake = [this] {
            std::lock_guard<std::mutex> lock(mutex_);
            woken_ = true;
            cv_.notify_all();
        };
        connection_ = std::make_unique<Connection>(std::move(host), port, std::move(options));
    }

    Connection &Conn() { return *connection_; }

    // Drains events until done() holds for all taken so far, or the time-out.
    bool WaitUntil(const std::function<bool()> &done, std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            Drain();
            if (done()) return true;
            std::unique_lock<std::mutex> lock(mutex_);
            if (!cv_.wait_until(lock, deadline, [this] { return woken_; })) return false;
            woken_ = false;
        }
    }
    void Drain() {
        for (ConnectionEvent &event : connection_->TakeEvents())
            events_.push_back(std::move(event));
    }

    // The data of every event of a type, in order.
    std::vector<std::string> Of(ConnectionEvent::Type type) const {
        std::vector<std::string> out;
        for (const ConnectionEvent &event : events_) {
            if (event.type != type) continue;
            if (type == ConnectionEvent::Type::Received || type == ConnectionEvent::Type::Sent) {
                EXPECT_TRUE(event.datagram) << "a datagram's event without its mark";
            }
            out.push_back(event.data);
        }
        return out;
    }
    std::size_t Count(ConnectionEvent::Type type) const { return Of(type).size(); }
    const std::vector<ConnectionEvent> &Events() const { return events_; }

  private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool woken_ = false;
    std::vector<ConnectionEvent> events_;
    std::unique_ptr<Connection> connection_;
};

std::string RandomBytes(std::size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string out(size, '\0');
    for (char &c : out)
        c = static_cast<char>(random() & 0xFF);
    return out;
}

// A UDP port on host that nothing is bound to (it was a moment ago).
uint16_t FreeUdpPort(const std::string &host) {
    const ListenResult bound = BindDatagramAt(BindChoice::Address, host, 0);
    EXPECT_GE(bound.fd, 0) << bound.text;
    const uint16_t port =
        ntohs(reinterpret_cast<const sockaddr_in *>(bound.address.Get())->sin_port);
    close(bound.fd);
    return port;
}

// Every byte value, an empty datagram, the largest datagram the family carries and three small
// ones sent back to back: each arrives at the peer whole and comes back as one event of its own,
// and each is told as sent once. One byte more than the largest is refused by the socket, told,
// and the next datagram goes all the same.
TEST(DatagramExchange, EveryByteAndTheLargestDatagramGoBothWaysWhole) {
    for (const std::string host : {"127.0.0.1", "::1"}) {
        SCOPED_TRACE(host);
        PeerProcess peer({"python3", UdpPeer(), "echo", host});
        ASSERT_TRUE(peer.WaitFor("listening ", kLong)) << peer.Output();
        DatagramClient client(host, peer.PortAfter("listening "));
        const std::size_t largest = host == "::1" ? kMaxDatagramV6 : kMaxDatagramV4;
        std::string every;
        for (int b = 0; b < 256; ++b)
            every += static_cast<char>(b);
        const std::vector<std::string> sent = {every, "", RandomBytes(largest, 7), "a", "b", "c"};
        for (const std::string &datagram : sent)
            client.Conn().Send(datagram);
        ASSERT_TRUE(client.WaitUntil(
            [&] { return client.Count(ConnectionEvent::Type::Received) == sent.size(); }, kLong))
            << peer.Output();
        EXPECT_EQ(client.Of(ConnectionEvent::Type::Received), sent);
        EXPECT_EQ(client.Of(ConnectionEvent::Type::Sent), sent);
        for (const std::string &datagram : sent) {
            const std::string got =
                "got " + std::to_string(datagram.size()) + " " + Sha256Hex(datagram);
            EXPECT_TRUE(peer.WaitFor(got, kLong)) << got;
        }

        client.Conn().Send(RandomBytes(largest + 1, 8));
        client.Conn().Send("after");
        ASSERT_TRUE(client.WaitUntil(
            [&] { return client.Count(ConnectionEvent::Type::Received) == sent.size() + 1; },
            kLong));
        EXPECT_EQ(client.Of(ConnectionEvent::Type::Received).back(), "after");
        EXPECT_EQ(client.Of(ConnectionEvent::Type::Sent).back(), "after");
        const std::vector<std::string> notices = client.Of(ConnectionEvent::Type::Notice);
        ASSERT_EQ(notices.size(), 1u) << ::testing::PrintToString(notices);
        EXPECT_NE(notices[0].find(std::to_string(largest + 1) + "バイト)を送れませんでした"),
                  std::string::npos)
            << notices[0];
        EXPECT_FALSE(client.Conn().Finished());
    }
}

// A datagram to a closed port brings ICMP port unreachable back: told, and the socket goes on, so
// that a service started on the port later is reached.
TEST(DatagramExchange, AClosedPortIsToldAndTheSocketGoesOn) {
    for (const std::string host : {"127.0.0.1", "::1"}) {
        SCOPED_TRACE(host);
        const uint16_t port = FreeUdpPort(host);
        DatagramClient client(host, port);
        client.Conn().Send("nobody");
        ASSERT_TRUE(client.WaitUntil(
            [&] { return client.Count(ConnectionEvent::Type::Notice) > 0; }, kLong));
        const std::string notice = client.Of(ConnectionEvent::Type::Notice).front();
        EXPECT_EQ(notice, host == "::1" ? "相手のポートに届きませんでした (ICMPv6 port unreachable)"
                                        : "相手のポートに届きませんでした (ICMP port unreachable)");
        EXPECT_EQ(client.Of(ConnectionEvent::Type::Sent),
                  std::vector<std::string>{"nobody"}); // the socket took it: it went out

        PeerProcess peer({"python3", UdpPeer(), "echo", host, std::to_string(port)});
        ASSERT_TRUE(peer.WaitFor("listening ", kLong)) << peer.Output();
        client.Conn().Send("later");
        ASSERT_TRUE(client.WaitUntil(
            [&] { return client.Count(ConnectionEvent::Type::Received) > 0; }, kLong));
        EXPECT_EQ(client.Of(ConnectionEvent::Type::Received), std::vector<std::string>{"later"});
        EXPECT_FALSE(client.Conn().Finished());
        client.Conn().Disconnect();
        ASSERT_TRUE(client.WaitUntil([&] { return client.Conn().Finished(); }, kLong));
        EXPECT_EQ(client.Events().back().reason, EndReason::Disconnected);
    }
}

// The listening side's peer is the first sender; each send goes to whoever sent the last
// datagram, and a new sender is told before its datagram.
TEST(DatagramListening, AnswersWhoeverSentLast) {
    ListenResult bound = BindDatagramAt(BindChoice::Loopback, "", 0);
    ASSERT_GE(bound.fd, 0) << bound.text;
    const std::string port =
        std::to_string(ntohs(reinterpret_cast<const sockaddr_in *>(bound.address.Get())->sin_port));
    ConnectionOptions options;
    options.endpoint = [fd = std::make_shared<UniqueFd>(bound.fd)] {
        return MakeDatagramListenEndpoint(std::move(*fd));
    };
    DatagramClient listener("listen", 0, std::move(options));

    PeerProcess a({"python3", UdpPeer(), "talk", "127.0.0.1", port});
    PeerProcess b({"python3", UdpPeer(), "talk", "127.0.0.1", port});
    ASSERT_TRUE(a.WaitFor("bound ", kLong) && b.WaitFor("bound ", kLong));
    const std::string addressA = "127.0.0.1:" + std::to_string(a.PortAfter("bound "));
    const std::string addressB = "127.0.0.1:" + std::to_string(b.PortAfter("bound "));
    const auto received = [&](std::size_t n) {
        return listener.WaitUntil(
            [&] { return listener.Count(ConnectionEvent::Type::Received) == n; }, kLong);
    };

    a.Send("send " + Hex("A1") + "\n");
    ASSERT_TRUE(received(1));
    EXPECT_EQ(listener.Of(ConnectionEvent::Type::Reached), std::vector<std::string>{addressA});
    listener.Conn().Send("r1");
    ASSERT_TRUE(a.WaitFor("reply " + Hex("r1"), kLong)) << a.Output();

    b.Send("send " + Hex("B1") + "\n");
    ASSERT_TRUE(received(2));
    listener.Conn().Send("r2");
    ASSERT_TRUE(b.WaitFor("reply " + Hex("r2"), kLong)) << b.Output();

    a.Send("send " + Hex("A2") + "\n");
    ASSERT_TRUE(received(3));
    listener.Conn().Send("r3");
    ASSERT_TRUE(a.WaitFor("reply " + Hex("r3"), kLong)) << a.Output();
    EXPECT_EQ(a.Output().find("reply " + Hex("r2")), std::string::npos) << a.Output();
    EXPECT_EQ(b.Output().find("reply " + Hex("r3")), std::string::npos) << b.Output();

    // The record's order: each change of sender stands right before that sender's datagram.
    std::vector<std::string> order;
    for (const ConnectionEvent &event : listener.Events()) {
        if (event.type == ConnectionEvent::Type::PeerChanged) order.push_back("peer " + event.data);
        if (event.type == ConnectionEvent::Type::Received) order.push_back(event.data);
    }
    EXPECT_EQ(order,
              (std::vector<std::string>{"A1", "peer " + addressB, "B1", "peer " + addressA, "A2"}));
}

// While the window does not take what came, the socket's buffer fills and the system drops
// datagrams: their number is told before the next datagram that made it, and together they
// account for every datagram sent.
TEST(DatagramReceiving, DatagramsLostToAFullBufferAreCounted) {
    ListenResult bound = BindDatagramAt(BindChoice::Loopback, "", 0);
    ASSERT_GE(bound.fd, 0) << bound.text;
    const std::string port =
        std::to_string(ntohs(reinterpret_cast<const sockaddr_in *>(bound.address.Get())->sin_port));
    ConnectionOptions options;
    options.queueLimit = 16 * 1024;
    options.endpoint = [fd = std::make_shared<UniqueFd>(bound.fd)] {
        return MakeDatagramListenEndpoint(std::move(*fd));
    };
    DatagramClient listener("listen", 0, std::move(options));
    constexpr int kFlood = 20000;
    PeerProcess flood(
        {"python3", UdpPeer(), "flood", "127.0.0.1", port, std::to_string(kFlood), "1000"});
    ASSERT_TRUE(flood.WaitFor("flooded ", kLong)) << flood.Output();
    // Only now is anything taken: the datagrams that found no room are gone.
    flood.Send("send " + Hex("last") + "\n");
    ASSERT_TRUE(listener.WaitUntil(
        [&] {
            const std::vector<std::string> got = listener.Of(ConnectionEvent::Type::Received);
            return !got.empty() && got.back() == "last";
        },
        kLong));
    const std::size_t received = listener.Count(ConnectionEvent::Type::Received) - 1;
    std::size_t lost = 0;
    for (const std::string &notice : listener.Of(ConnectionEvent::Type::Notice)) {
        const std::size_t start = notice.find("、") + std::string("、").size();
        lost += std::stoul(notice.substr(start));
        EXPECT_NE(notice.find("個のデータグラムが受信バッファーからあふれて失われました"),
                  std::string::npos)
            << notice;
    }
    EXPECT_GT(lost, 0u);
    EXPECT_EQ(received + lost, static_cast<std::size_t>(kFlood));
    // What arrived came in the order sent, with no gap closed over.
    int last = -1;
    for (const std::string &datagram : listener.Of(ConnectionEvent::Type::Received)) {
        if (datagram == "last") break;
        const int number = std::stoi(datagram.substr(0, 8));
        EXPECT_GT(number, last);
        last = number;
    }
}

} // namespace
} // namespace tarvotcpc
