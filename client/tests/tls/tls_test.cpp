// TLS against real peers on loopback: openssl s_server and Python's ssl module, with
// certificates made here for each case.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

#include "net/addresses.hpp"
#include "connection/connection.hpp"
#include "net/listener.hpp"
#include "support/peer_process.hpp"
#include "support/temp_dir.hpp"
#include "tls/tls_session.hpp"
#include "tls/trust_pins.hpp"

namespace tarvotcpc {
namespace {

using namespace std::chrono_literals;
using testing::CertKind;
using testing::PeerProcess;
using testing::TempDir;
using testing::TestPki;

constexpr auto kWait = 10s;

struct Fd {
    int fd = -1;
    explicit Fd(int f = -1) : fd(f) {}
    ~Fd() {
        if (fd >= 0) close(fd);
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
};

int ConnectTo(const std::string &host, uint16_t port) {
    SocketAddress address;
    if (!NumericAddress(host, port, address)) return -1;
    return ConnectFirst({address}, -1).fd;
}

// Runs the handshake until it finishes, pauses for a decision, fails or times out.
TlsIo Drive(TlsSession &session) {
    for (;;) {
        const TlsIo step = session.Handshake();
        if (step.status != TlsStatus::WantRead && step.status != TlsStatus::WantWrite) return step;
        pollfd p{session.Fd(), PollEventsFor(step.status), 0};
        poll(&p, 1, session.PollTimeoutMs(std::chrono::steady_clock::now()));
        if (auto late = session.TimedOut(std::chrono::steady_clock::now())) {
            return {TlsStatus::Error, 0, *late};
        }
    }
}

bool WriteAll(TlsSession &session, const std::string &bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const TlsIo io = session.Write(bytes.data() + done, bytes.size() - done);
        if (io.status == TlsStatus::Done) {
            done += io.bytes;
        } else if (io.status == TlsStatus::WantRead || io.status == TlsStatus::WantWrite) {
            pollfd p{session.Fd(), PollEventsFor(io.status), 0};
            if (poll(&p, 1, 5000) <= 0) return false;
        } else {
            return false;
        }
    }
    return true;
}

std::string ReadLine(TlsSession &session) {
    std::string line;
    char c;
    while (line.empty() || line.back() != '\n') {
        const TlsIo io = session.Read(&c, 1);
        if (io.status == TlsStatus::Done) {
            line.push_back(c);
        } else if (io.status == TlsStatus::WantRead || io.status == TlsStatus::WantWrite) {
            pollfd p{session.Fd(), PollEventsFor(io.status), 0};
            if (poll(&p, 1, 5000) <= 0) break;
        } else {
            break;
        }
    }
    return line;
}

struct SServer {
    std::unique_ptr<PeerProcess> process;
    uint16_t port = 0;
};

SServer StartSServer(const std::string &cert, const std::string &accept = "127.0.0.1:0",
                     const std::vector<std::string> &extra = {}) {
    SServer s;
    std::vector<std::string> argv{"openssl",  "s_server", "-accept", accept,
                                  "-cert",    cert,       "-key",    TestPki::KeyOf(cert),
                                  "-naccept", "1"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    s.process = std::make_unique<PeerProcess>(argv);
    if (s.process->WaitFor("ACCEPT", kWait)) s.process->WaitFor("\n", 1s);
    s.port = s.process->PortAfter("ACCEPT");
    return s;
}

class TlsPeers : public ::testing::Test {
  protected:
    TempDir dir;
    TestPki pki{dir.Path()};
};

// Every certificate case against openssl s_server: a CA-issued certificate verifies; the others
// pause with their reason, the server sees no finished handshake and no data until the user
// accepts, and after that the bytes flow.
TEST_F(TlsPeers, EveryCertificateCaseAgainstOpensslServer) {
    struct Case {
        CertKind kind;
        std::string host;
        VerifyFailure failure;
    };
    const Case cases[] = {
        {CertKind::Leaf, "127.0.0.1", VerifyFailure::None},
        {CertKind::Leaf, "localhost", VerifyFailure::None},
        {CertKind::SelfSigned, "127.0.0.1", VerifyFailure::UnknownIssuer},
        {CertKind::WrongName, "localhost", VerifyFailure::WrongName},
        {CertKind::Expired, "127.0.0.1", VerifyFailure::Expired},
    };
    int n = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.host + " case " + std::to_string(n));
        const std::string cert = pki.Make(c.kind, "case" + std::to_string(n++));
        SServer server = StartSServer(cert);
        ASSERT_NE(server.port, 0) << server.process->Output();
        Fd fd(ConnectTo("127.0.0.1", server.port));
        ASSERT_GE(fd.fd, 0);
        std::string error;
        auto session = TlsSession::Client(fd.fd, {c.host, pki.CaFile(), "", "", kWait}, error);
        ASSERT_TRUE(session) << error;
        TlsIo step = Drive(*session);
        if (c.failure == VerifyFailure::None) {
            ASSERT_EQ(step.status, TlsStatus::Done) << step.text;
            EXPECT_TRUE(session->Verification().reason.empty());
        } else {
            ASSERT_EQ(step.status, TlsStatus::AwaitingDecision) << step.text;
            const VerifyOutcome &v = session->Verification();
            EXPECT_EQ(v.failure, c.failure) << v.detail;
            EXPECT_EQ(v.reason, VerifyFailureText(c.failure));
            ASSERT_NE(v.Leaf(), nullptr);
            EXPECT_EQ(v.Leaf()->sha256.size(), 95u);
            EXPECT_NE(v.Leaf()->pem.find("BEGIN CERTIFICATE"), std::string::npos);
            EXPECT_FALSE(v.Leaf()->notAfter.empty());
            EXPECT_EQ(session->Deadline(), std::nullopt) << "the user's time is not limited";
            // Paused: however long the user takes, the server has no finished handshake.
            std::this_thread::sleep_for(300ms);
            EXPECT_FALSE(server.process->WaitFor("CIPHER is", 10ms)) << server.process->Output();
            session->Accept();
            step = Drive(*session);
            ASSERT_EQ(step.status, TlsStatus::Done) << step.text;
        }
        EXPECT_TRUE(session->Protocol() == "TLSv1.3" || session->Protocol() == "TLSv1.2");
        EXPECT_FALSE(session->Cipher().empty());
        EXPECT_FALSE(session->PeerChain().empty());
        ASSERT_TRUE(WriteAll(*session, "hello over tls\n"));
        EXPECT_TRUE(server.process->WaitFor("hello over tls", kWait)) << server.process->Output();
        server.process->Send("answer\n");
        EXPECT_EQ(ReadLine(*session), "answer\n");
        EXPECT_EQ(session->Shutdown().status, TlsStatus::Done);
    }
}

// The same through a Connection, as the window drives it: a wrong name pauses with a question,
// a send made meanwhile waits, and after the answer the handshake finishes and the send goes out;
// a peer that never answers the handshake ends the connection with the deadline's text.
TEST_F(TlsPeers, ConnectionAsksThenSendsAndAStalledPeerTimesOut) {
    SServer server = StartSServer(pki.Make(CertKind::WrongName, "wrong"));
    ASSERT_NE(server.port, 0) << server.process->Output();
    std::mutex mutex;
    std::condition_variable woken;
    ConnectionOptions options;
    options.wake = [&] { woken.notify_all(); };
    options.tlsClient = TlsClientOptions{"localhost", pki.CaFile(), "", "", kWait};
    Connection connection("127.0.0.1", server.port, options);
    std::vector<ConnectionEvent> seen;
    const auto waitFor = [&](ConnectionEvent::Type type, Connection *from = nullptr) {
        const auto deadline = std::chrono::steady_clock::now() + kWait;
        for (;;) {
            for (ConnectionEvent &event : (from ? *from : connection).TakeEvents())
                seen.push_back(std::move(event));
            for (const ConnectionEvent &event : seen)
                if (event.type == type) return true;
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::unique_lock<std::mutex> lock(mutex);
            woken.wait_for(lock, 20ms);
        }
    };
    ASSERT_TRUE(waitFor(ConnectionEvent::Type::Question));
    connection.Send("sent while asking\n");
    std::this_thread::sleep_for(200ms);
    EXPECT_FALSE(server.process->WaitFor("sent while asking", 10ms));
    const auto question = std::find_if(seen.begin(), seen.end(), [](const ConnectionEvent &e) {
        return e.type == ConnectionEvent::Type::Question;
    });
    EXPECT_EQ(question->certificate.failure, VerifyFailure::WrongName);
    connection.Decide(true);
    ASSERT_TRUE(waitFor(ConnectionEvent::Type::Secured));
    EXPECT_TRUE(server.process->WaitFor("sent while asking", kWait)) << server.process->Output();
    connection.Quit();

    // A peer that accepts and never says a word.
    const ListenResult silent = Listen(BindChoice::Loopback, 0);
    ASSERT_GE(silent.fd, 0);
    options.tlsClient->handshakeTimeout = 500ms;
    seen.clear();
    const auto start = std::chrono::steady_clock::now();
    Connection stalled("127.0.0.1",
                       ntohs(reinterpret_cast<const sockaddr_in *>(silent.address.Get())->sin_port),
                       options);
    ASSERT_TRUE(waitFor(ConnectionEvent::Type::Ended, &stalled));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    const ConnectionEvent &end = seen.back();
    EXPECT_EQ(end.reason, EndReason::Error);
    EXPECT_GT(end.data.size(), std::string("エラー: ").size()) << end.data;
    close(silent.fd);
}

TEST_F(TlsPeers, DeclinedCertificateEndsWithItsText) {
    SServer server = StartSServer(pki.Make(CertKind::SelfSigned, "self"));
    Fd fd(ConnectTo("127.0.0.1", server.port));
    std::string error;
    auto session = TlsSession::Client(fd.fd, {"127.0.0.1", pki.CaFile(), "", "", kWait}, error);
    ASSERT_TRUE(session) << error;
    ASSERT_EQ(Drive(*session).status, TlsStatus::AwaitingDecision);
    session->Decline();
    const TlsIo end = Drive(*session);
    EXPECT_EQ(end.status, TlsStatus::Error);
    EXPECT_NE(end.text.find("信頼されなかった"), std::string::npos) << end.text;
    EXPECT_FALSE(server.process->WaitFor("CIPHER is", 200ms)) << server.process->Output();
}

// Always trust: a pinned self-signed certificate connects without asking; another certificate
// on the same host and port asks again.
TEST_F(TlsPeers, PinnedThenChanged) {
    TrustPins pins;
    const std::string key = PinKey("127.0.0.1", 4433); // the servers' ports differ per run
    const std::string first = pki.Make(CertKind::SelfSigned, "first");
    const std::string second = pki.Make(CertKind::SelfSigned, "second");
    int run = 0;
    for (const std::string &cert : {first, first, second}) {
        SCOPED_TRACE(run);
        SServer server = StartSServer(cert);
        Fd fd(ConnectTo("127.0.0.1", server.port));
        TlsClientOptions options{"127.0.0.1", pki.CaFile(), "", "", kWait};
        if (pins.count(key) != 0) options.pinnedSha256 = pins.at(key);
        std::string error;
        auto session = TlsSession::Client(fd.fd, options, error);
        ASSERT_TRUE(session) << error;
        const TlsIo step = Drive(*session);
        ASSERT_NE(session->Verification().Leaf(), nullptr);
        const std::string seen = session->Verification().Leaf()->sha256;
        if (run == 0) {
            ASSERT_EQ(step.status, TlsStatus::AwaitingDecision);
            EXPECT_EQ(CheckPin(pins, key, seen), PinState::NotPinned);
            ASSERT_TRUE(AddPin(pins, key, seen));
            session->Accept();
            EXPECT_EQ(Drive(*session).status, TlsStatus::Done);
        } else if (run == 1) {
            EXPECT_EQ(step.status, TlsStatus::Done) << step.text;
            EXPECT_TRUE(session->Verification().pinned);
            EXPECT_EQ(CheckPin(pins, key, seen), PinState::Matching);
        } else {
            EXPECT_EQ(step.status, TlsStatus::AwaitingDecision);
            EXPECT_FALSE(session->Verification().pinned);
            EXPECT_EQ(CheckPin(pins, key, seen), PinState::Changed);
            // The question can say what was trusted here before.
            EXPECT_TRUE(SameFingerprint(session->Verification().pinnedSha256, pins.at(key)));
        }
        ++run;
    }
}

// Waits for the connection's events until one of type comes, gathering the received bytes.
std::optional<ConnectionEvent> WaitForEvent(Connection &connection, ConnectionEvent::Type type,
                                            std::string *received = nullptr,
                                            std::chrono::milliseconds timeout = kWait) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        for (ConnectionEvent &event : connection.TakeEvents()) {
            if (event.type == ConnectionEvent::Type::Received && received != nullptr)
                *received += event.data;
            if (event.type == type) return std::move(event);
            if (event.type == ConnectionEvent::Type::Ended) return std::nullopt;
        }
        std::this_thread::sleep_for(5ms);
    }
    return std::nullopt;
}

// TLS 1.2 is the least either side speaks. Peers that offer only TLS 1.0 or 1.1 (at SECLEVEL=0
// and with an RSA key, so that nothing but the version stands in the way) get no handshake: the
// Python server never sees one finished, and the listening side refuses openssl s_client; both
// texts name the version.
TEST_F(TlsPeers, VersionsBeforeTls12AreRefusedOnBothSides) {
    const std::string rsa = pki.Make(CertKind::RsaLeaf, "rsa");
    std::string error;
    const auto identity = TlsServerIdentity::LoadFiles(rsa, TestPki::KeyOf(rsa), error);
    ASSERT_TRUE(identity) << error;
    for (const std::string version : {"tls1", "tls1_1"}) {
        SCOPED_TRACE(version);
        PeerProcess python(
            {"python3", testing::PeerScript(), "server", rsa, TestPki::KeyOf(rsa), version});
        ASSERT_TRUE(python.WaitFor("\n", kWait)) << python.Output();
        Fd fd(ConnectTo("127.0.0.1", python.PortAfter("PORT")));
        auto client = TlsSession::Client(fd.fd, {"localhost", pki.CaFile(), "", "", kWait}, error);
        ASSERT_TRUE(client) << error;
        const TlsIo refused = Drive(*client);
        EXPECT_EQ(refused.status, TlsStatus::Error) << client->Protocol();
        EXPECT_NE(refused.text.find("TLS 1.2"), std::string::npos) << refused.text;
        EXPECT_FALSE(python.WaitFor("VERSION", 200ms)) << python.Output();

        const ListenResult listening = Listen(BindChoice::Loopback, 0);
        ASSERT_GE(listening.fd, 0) << listening.text;
        Fd listenFd(listening.fd);
        PeerProcess old(
            {"openssl", "s_client", "-connect",
             "127.0.0.1:" +
                 std::to_string(ntohs(
                     reinterpret_cast<const sockaddr_in *>(listening.address.Get())->sin_port)),
             "-" + version, "-cipher", "AES128-SHA:@SECLEVEL=0"});
        pollfd p{listenFd.fd, POLLIN, 0};
        ASSERT_EQ(poll(&p, 1, 5000), 1);
        AcceptResult peer = AcceptPeer(listenFd.fd);
        ASSERT_EQ(peer.kind, AcceptResult::Kind::Peer);
        Fd peerFd(peer.fd);
        auto server = TlsSession::Server(peerFd.fd, identity, kWait, error);
        ASSERT_TRUE(server) << error;
        const TlsIo turnedAway = Drive(*server);
        EXPECT_EQ(turnedAway.status, TlsStatus::Error) << server->Protocol();
        EXPECT_NE(turnedAway.text.find("TLS 1.2"), std::string::npos) << turnedAway.text;
    }
}

// A server that asks to renegotiate (s_server's "r" command, TLS 1.2) is refused: a second
// handshake could bring a certificate nobody checked while the chain shown stays the first.
// s_server then ends the connection, and the end says why.
TEST_F(TlsPeers, RenegotiationAskedByTheServerIsRefused) {
    SServer server = StartSServer(pki.Make(CertKind::Leaf, "leaf"), "127.0.0.1:0", {"-tls1_2"});
    ASSERT_NE(server.port, 0) << server.process->Output();
    ConnectionOptions options;
    options.tlsClient = TlsClientOptions{"localhost", pki.CaFile(), "", "", kWait};
    Connection connection("127.0.0.1", server.port, options);
    ASSERT_TRUE(WaitForEvent(connection, ConnectionEvent::Type::Secured));
    server.process->Send("r\n");
    const std::optional<ConnectionEvent> end =
        WaitForEvent(connection, ConnectionEvent::Type::Ended, nullptr, 5s);
    ASSERT_TRUE(end) << "still connected after the renegotiation: " << server.process->Output();
    EXPECT_EQ(end->reason, EndReason::Error);
    EXPECT_NE(end->data.find("再ネゴシエーション"), std::string::npos) << end->data;
    connection.Quit();
}

// A stream cut without close_notify ends with a text of its own, after every byte before the cut;
// an orderly close still reads as one.
TEST_F(TlsPeers, ATruncatedStreamIsToldApartFromAnOrderlyClose) {
    const std::string leaf = pki.Make(CertKind::Leaf, "leaf");
    constexpr std::size_t kSize = 300000;
    std::string expected;
    while (expected.size() < kSize)
        for (int b = 0; b < 256 && expected.size() < kSize; ++b)
            expected.push_back(static_cast<char>(b));
    for (const bool notify : {false, true}) {
        SCOPED_TRACE(notify ? "with close_notify" : "without close_notify");
        std::vector<std::string> argv{"python3", testing::PeerScript(), "truncate",
                                      leaf,      TestPki::KeyOf(leaf),  std::to_string(kSize)};
        if (notify) argv.push_back("notify");
        PeerProcess python(argv);
        ASSERT_TRUE(python.WaitFor("\n", kWait)) << python.Output();
        ConnectionOptions options;
        options.tlsClient = TlsClientOptions{"localhost", pki.CaFile(), "", "", kWait};
        Connection connection("127.0.0.1", python.PortAfter("PORT"), options);
        std::string received;
        const auto deadline = std::chrono::steady_clock::now() + kWait;
        std::optional<ConnectionEvent> end;
        while (!end && std::chrono::steady_clock::now() < deadline) {
            for (ConnectionEvent &event : connection.TakeEvents()) {
                if (event.type == ConnectionEvent::Type::Received) received += event.data;
                if (event.type == ConnectionEvent::Type::Ended) end = std::move(event);
            }
            std::this_thread::sleep_for(5ms);
        }
        ASSERT_TRUE(end);
        EXPECT_TRUE(received == expected) << received.size() << " bytes";
        if (notify) {
            EXPECT_EQ(end->reason, EndReason::PeerClosed);
            EXPECT_EQ(end->data, "切断しました");
        } else {
            EXPECT_EQ(end->reason, EndReason::PeerClosedWithoutNotify);
            EXPECT_NE(end->data.find("close_notify"), std::string::npos) << end->data;
        }
    }
}

// "127.1" and the other short forms inet_aton reads are the address 127.0.0.1: no SNI goes out,
// the certificate is checked for that address, and the pin is the address's.
TEST_F(TlsPeers, ShortIpv4FormsAreTheAddressTheyName) {
    const std::string leaf = pki.Make(CertKind::Leaf, "leaf");
    for (const std::string host : {"127.0.0.1", "127.1", "0x7f.1", "2130706433", "0177.0.0.1"}) {
        SCOPED_TRACE(host);
        PeerProcess python(
            {"python3", testing::PeerScript(), "server", leaf, TestPki::KeyOf(leaf)});
        ASSERT_TRUE(python.WaitFor("\n", kWait)) << python.Output();
        Fd fd(ConnectTo("127.0.0.1", python.PortAfter("PORT")));
        std::string error;
        auto session = TlsSession::Client(fd.fd, {host, pki.CaFile(), "", "", kWait}, error);
        ASSERT_TRUE(session) << error;
        const TlsIo step = Drive(*session);
        EXPECT_EQ(step.status, TlsStatus::Done) << session->Verification().detail;
        EXPECT_TRUE(python.WaitFor("SNI None", kWait)) << python.Output();
        EXPECT_EQ(PinKey(host, 443), "127.0.0.1:443");
    }
}

// Python's ssl module as the server, held to TLS 1.2.
TEST_F(TlsPeers, PythonServerOverTls12) {
    PeerProcess python({"python3", testing::PeerScript(), "server",
                        pki.Make(CertKind::Leaf, "leaf"), TestPki::KeyOf(dir.Path("leaf.pem")),
                        "tls12"});
    ASSERT_TRUE(python.WaitFor("\n", kWait)) << python.Output();
    Fd fd(ConnectTo("127.0.0.1", python.PortAfter("PORT")));
    std::string error;
    auto session = TlsSession::Client(fd.fd, {"localhost", pki.CaFile(), "", "", kWait}, error);
    ASSERT_TRUE(session) << error;
    const TlsIo step = Drive(*session);
    ASSERT_EQ(step.status, TlsStatus::Done) << step.text << python.Output();
    EXPECT_EQ(session->Protocol(), "TLSv1.2");
    ASSERT_TRUE(WriteAll(*session, "line one\n"));
    EXPECT_EQ(ReadLine(*session), "line one\n");
}

std::string ReadPlainLine(int fd) {
    std::string line;
    char c;
    while (line.empty() || line.back() != '\n') {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 5000) <= 0 || recv(fd, &c, 1, 0) != 1) break;
        line.push_back(c);
    }
    return line;
}

// STARTTLS: clear text first on the socket, then the session over the same socket.
TEST_F(TlsPeers, StarttlsUpgradesALiveConnection) {
    PeerProcess python({"python3", testing::PeerScript(), "starttls",
                        pki.Make(CertKind::Leaf, "leaf"), TestPki::KeyOf(dir.Path("leaf.pem"))});
    ASSERT_TRUE(python.WaitFor("\n", kWait)) << python.Output();
    Fd fd(ConnectTo("127.0.0.1", python.PortAfter("PORT")));
    EXPECT_EQ(ReadPlainLine(fd.fd).substr(0, 4), "220 ");
    ASSERT_EQ(send(fd.fd, "STARTTLS\r\n", 10, MSG_NOSIGNAL), 10);
    EXPECT_EQ(ReadPlainLine(fd.fd), "220 ready\r\n");
    std::string error;
    auto session = TlsSession::Client(fd.fd, {"127.0.0.1", pki.CaFile(), "", "", kWait}, error);
    ASSERT_TRUE(session) << error;
    const TlsIo step = Drive(*session);
    ASSERT_EQ(step.status, TlsStatus::Done) << step.text << python.Output();
    ASSERT_TRUE(WriteAll(*session, "EHLO tarvotcpc\r\n"));
    EXPECT_EQ(ReadLine(*session), "EHLO tarvotcpc\r\n");
    EXPECT_TRUE(python.WaitFor("UPGRADED", kWait));
}

// The same upgrade through a Connection (as the STARTTLS command runs it): the STARTTLS line is
// sent in clear, the switch waits behind it, and the next line goes out encrypted. The peer sends
// a clear-text line after the client's hello: it arrives as received bytes rather than breaking
// the handshake, and the switch's event stands between it and what came through TLS. What is
// told as sent is the plaintext, in the order of the wire.
TEST_F(TlsPeers, StarttlsThroughTheConnection) {
    const std::string leaf = pki.Make(CertKind::Leaf, "leaf");
    PeerProcess python(
        {"python3", testing::PeerScript(), "starttls", leaf, TestPki::KeyOf(leaf), "late"});
    ASSERT_TRUE(python.WaitFor("\n", kWait)) << python.Output();
    Connection connection("127.0.0.1", python.PortAfter("PORT"));
    std::string received;
    // The record as the events give it: bytes received ("R"), sent ("S") and the switch ("TLS"),
    // adjacent pieces of one direction joined.
    std::vector<std::pair<std::string, std::string>> wire;
    bool secured = false;
    const auto waitUntil = [&](const std::function<bool()> &done) {
        const auto deadline = std::chrono::steady_clock::now() + kWait;
        while (!done() && std::chrono::steady_clock::now() < deadline) {
            for (ConnectionEvent &event : connection.TakeEvents()) {
                const char *kind = event.type == ConnectionEvent::Type::Received      ? "R"
                                   : event.type == ConnectionEvent::Type::Sent        ? "S"
                                   : event.type == ConnectionEvent::Type::TlsStarting ? "TLS"
                                                                                      : nullptr;
                if (kind != nullptr && !wire.empty() && wire.back().first == kind)
                    wire.back().second += event.data;
                else if (kind != nullptr)
                    wire.emplace_back(kind, event.data);
                if (event.type == ConnectionEvent::Type::Received) received += event.data;
                if (event.type == ConnectionEvent::Type::Secured) secured = true;
                EXPECT_NE(event.type, ConnectionEvent::Type::Ended) << event.data;
            }
            std::this_thread::sleep_for(5ms);
        }
        return done();
    };
    ASSERT_TRUE(waitUntil([&] { return received.find("220 ") == 0; }));
    connection.Send("STARTTLS\r\n");
    ASSERT_TRUE(waitUntil([&] { return received.find("220 ready") != std::string::npos; }));
    connection.StartTls({"127.0.0.1", pki.CaFile(), "", "", kWait});
    connection.Send("EHLO tarvotcpc\r\n");
    ASSERT_TRUE(waitUntil([&] { return secured; })) << received;
    EXPECT_TRUE(waitUntil([&] { return received.find("EHLO tarvotcpc") != std::string::npos; }));
    EXPECT_TRUE(python.WaitFor("UPGRADED", kWait)) << python.Output();
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"R", "220 tarvotcpc.test ESMTP\r\n"},
        {"S", "STARTTLS\r\n"},
        {"R", "220 ready\r\n250 late clear text\r\n"},
        {"TLS", ""},
        {"S", "EHLO tarvotcpc\r\n"},
        {"R", "EHLO tarvotcpc\r\n"}};
    EXPECT_EQ(wire, expected);
    connection.Quit();
}

TEST_F(TlsPeers, Ipv6LoopbackWithTheAddressChecked) {
    SocketAddress v6;
    NumericAddress("::1", 0, v6);
    const ListenResult probe = Listen(v6);
    if (probe.fd < 0) GTEST_SKIP() << "no IPv6 loopback here: " << probe.text;
    close(probe.fd);
    SServer server = StartSServer(pki.Make(CertKind::Leaf, "leaf"), "[::1]:0");
    ASSERT_NE(server.port, 0) << server.process->Output();
    SocketAddress address;
    ASSERT_TRUE(NumericAddress("::1", server.port, address));
    const ConnectOutcome connected = ConnectFirst({address}, -1);
    Fd fd(connected.fd);
    ASSERT_GE(fd.fd, 0);
    EXPECT_EQ(FormatAddress(connected.address), "[::1]:" + std::to_string(server.port));
    std::string error;
    auto session = TlsSession::Client(fd.fd, {"::1", pki.CaFile(), "", "", kWait}, error);
    ASSERT_TRUE(session) << error;
    const TlsIo step = Drive(*session);
    EXPECT_EQ(step.status, TlsStatus::Done) << step.text;
}

// A peer that answers the ClientHello with garbage, one that reads it and closes, one that
// closes without reading it (a reset), and one that never answers: each ends with its own
// text, the last when the deadline passes.
TEST(TlsFaults, HandshakeFaultsEndWithAText) {
    struct Case {
        std::string reply;
        bool readFirst;
        bool closeAfter;
        std::string expected;
    };
    const Case cases[] = {
        {"HTTP/1.0 400 Bad Request\r\n\r\nnot tls at all", true, true, "ハンドシェイクに失敗"},
        {"", true, true, "相手が接続を閉じました"},
        {"", false, true, "相手が接続をリセットしました"},
        {"", false, false, "秒以内に終わりませんでした"},
    };
    for (const Case &c : cases) {
        ListenResult listening = Listen(BindChoice::Loopback, 0);
        ASSERT_GE(listening.fd, 0) << listening.text;
        Fd listenFd(listening.fd);
        const uint16_t port =
            ntohs(reinterpret_cast<const sockaddr_in *>(&listening.address.storage)->sin_port);
        Fd client(ConnectTo("127.0.0.1", port));
        pollfd p{listenFd.fd, POLLIN, 0};
        ASSERT_EQ(poll(&p, 1, 5000), 1);
        AcceptResult peer = AcceptPeer(listenFd.fd);
        ASSERT_EQ(peer.kind, AcceptResult::Kind::Peer);
        Fd peerFd(peer.fd);
        std::string error;
        auto session = TlsSession::Client(client.fd, {"127.0.0.1", "", "", "", 400ms}, error);
        ASSERT_TRUE(session) << error;
        EXPECT_NE(session->Handshake().status, TlsStatus::Done); // the ClientHello goes out
        if (c.readFirst) {
            char hello[4096];
            pollfd in{peerFd.fd, POLLIN, 0};
            ASSERT_EQ(poll(&in, 1, 5000), 1);
            EXPECT_GT(recv(peerFd.fd, hello, sizeof hello, 0), 0);
        }
        if (!c.reply.empty()) send(peerFd.fd, c.reply.data(), c.reply.size(), MSG_NOSIGNAL);
        if (c.closeAfter) {
            close(peerFd.fd);
            peerFd.fd = -1;
        }
        const TlsIo end = Drive(*session);
        EXPECT_EQ(end.status, TlsStatus::Error);
        EXPECT_NE(end.text.find(c.expected), std::string::npos) << end.text;
    }
}

// The listening side: a port in use is refused with its text; a plain peer and a TLS peer
// (Python, pinning the generated certificate's fingerprint) each exchange data.
TEST(Listening, PortInUsePlainPeerAndTlsPeerPinningTheGeneratedCertificate) {
    ListenResult first = Listen(BindChoice::Loopback, 0);
    ASSERT_GE(first.fd, 0) << first.text;
    Fd firstFd(first.fd);
    const uint16_t port =
        ntohs(reinterpret_cast<const sockaddr_in *>(&first.address.storage)->sin_port);
    const ListenResult again = Listen(BindChoice::Loopback, port);
    EXPECT_EQ(again.fd, -1);
    EXPECT_EQ(again.error, EADDRINUSE);
    EXPECT_NE(again.text.find("既に使われています"), std::string::npos) << again.text;

    EXPECT_EQ(AcceptPeer(firstFd.fd).kind, AcceptResult::Kind::NotYet);
    Fd plain(ConnectTo("127.0.0.1", port));
    pollfd p{firstFd.fd, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 5000), 1);
    AcceptResult peer = AcceptPeer(firstFd.fd);
    ASSERT_EQ(peer.kind, AcceptResult::Kind::Peer);
    Fd peerFd(peer.fd);
    EXPECT_EQ(FormatAddress(peer.peer).rfind("127.0.0.1:", 0), 0u);
    ASSERT_EQ(send(plain.fd, "hi\n", 3, MSG_NOSIGNAL), 3);
    EXPECT_EQ(ReadPlainLine(peerFd.fd), "hi\n");

    std::string error;
    auto identity = TlsServerIdentity::Generate(error);
    ASSERT_TRUE(identity) << error;
    EXPECT_EQ(identity->Certificate().subject, "CN=tarvotcpc");
    EXPECT_NE(identity->KeyPem().find("PRIVATE KEY"), std::string::npos);
    PeerProcess python({"python3", testing::PeerScript(), "pinclient", std::to_string(port),
                        identity->Certificate().sha256});
    ASSERT_EQ(poll(&p, 1, 5000), 1);
    AcceptResult tlsPeer = AcceptPeer(firstFd.fd);
    ASSERT_EQ(tlsPeer.kind, AcceptResult::Kind::Peer);
    Fd tlsFd(tlsPeer.fd);
    auto session = TlsSession::Server(tlsFd.fd, identity, kWait, error);
    ASSERT_TRUE(session) << error;
    const TlsIo step = Drive(*session);
    ASSERT_EQ(step.status, TlsStatus::Done) << step.text << python.Output();
    EXPECT_EQ(ReadLine(*session), "ping\n");
    ASSERT_TRUE(WriteAll(*session, "pong\n"));
    EXPECT_EQ(python.Wait(kWait), 0) << python.Output();
    EXPECT_NE(python.Output().find("ANSWER pong TLSv1.3"), std::string::npos) << python.Output();
}

// Setting a session up refuses what would verify nothing or serve nothing, with a text.
TEST(TlsSetUp, RefusedWithAText) {
    TempDir dir;
    TestPki pki(dir.Path());
    const std::string a = pki.Make(CertKind::Leaf, "a");
    const std::string b = pki.Make(CertKind::Leaf, "b");
    std::string error;
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds), 0);
    Fd left(fds[0]);
    Fd right(fds[1]);
    EXPECT_FALSE(TlsSession::Client(left.fd, {"", "", "", "", kWait}, error));
    EXPECT_NE(error.find("名前がありません"), std::string::npos) << error;
    EXPECT_FALSE(
        TlsSession::Client(left.fd, {"localhost", dir.Path("none.pem"), "", "", kWait}, error));
    EXPECT_NE(error.find("信頼する証明書"), std::string::npos) << error;

    EXPECT_TRUE(TlsServerIdentity::LoadFiles(a, TestPki::KeyOf(a), error)) << error;
    EXPECT_FALSE(TlsServerIdentity::LoadFiles(a, TestPki::KeyOf(b), error));
    EXPECT_NE(error.find("対になっていません"), std::string::npos) << error;
    EXPECT_FALSE(TlsServerIdentity::LoadFiles(dir.Path("none.pem"), TestPki::KeyOf(a), error));
}

// The peer writes its certificate: a name holding a terminal's escape (CSI, U+009B), DEL or bytes
// that are not UTF-8 reaches the dialogs escaped byte by byte, as RFC 2253 writes one.
TEST(CertificateDetails, ControlCharactersOfAPeersNamesAreEscaped) {
    std::unique_ptr<X509, decltype(&X509_free)> x(X509_new(), X509_free);
    X509_NAME *subject = X509_get_subject_name(x.get());
    const std::string cn = "a\xC2\x9B[31mb\x7F\xE6\x97\xA5";
    ASSERT_EQ(X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_UTF8,
                                         reinterpret_cast<const unsigned char *>(cn.data()),
                                         static_cast<int>(cn.size()), -1, 0),
              1);
    EXPECT_EQ(DescribeCertificate(x.get()).subject, "CN=a\\C2\\9B[31mb\\7F\xE6\x97\xA5");
}

} // namespace
} // namespace tarvotcpc
