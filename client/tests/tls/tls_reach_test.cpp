// What a client's handshake carries besides its hello, against real peers on loopback: client
// certificates in each form a user has them, shown to openssl s_server demanding one (and the
// refusal when none is shown); the server name and protocols as Python's ssl module sees them;
// and the key log, which must let tshark decrypt a capture of the session.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <regex>
#include <sstream>
#include <thread>

#include "connection/connection.hpp"
#include "net/listener.hpp"
#include "support/peer_process.hpp"
#include "support/temp_dir.hpp"
#include "tls/client_identity.hpp"
#include "tls/key_log.hpp"
#include "tls/tls_session.hpp"

namespace tarvotcpc {
namespace {

using namespace std::chrono_literals;
using testing::CertKind;
using testing::ClientFiles;
using testing::PeerProcess;
using testing::TempDir;
using testing::TestPki;

constexpr auto kWait = 15s;

// A connection's events gathered as the window would take them.
struct Events {
    std::vector<ConnectionEvent> seen;
    std::string received;

    // Takes events until one of type came (true) or the connection ended first (false).
    bool WaitFor(Connection &connection, ConnectionEvent::Type type) {
        const auto deadline = std::chrono::steady_clock::now() + kWait;
        while (std::chrono::steady_clock::now() < deadline) {
            for (ConnectionEvent &event : connection.TakeEvents()) {
                if (event.type == ConnectionEvent::Type::Received) received += event.data;
                seen.push_back(std::move(event));
                if (seen.back().type == type) return true;
                if (seen.back().type == ConnectionEvent::Type::Ended) return false;
            }
            std::this_thread::sleep_for(5ms);
        }
        return false;
    }
    const ConnectionEvent *Last(ConnectionEvent::Type type) const {
        for (auto it = seen.rbegin(); it != seen.rend(); ++it)
            if (it->type == type) return &*it;
        return nullptr;
    }
};

std::unique_ptr<PeerProcess> StartServer(std::vector<std::string> argv, uint16_t &port) {
    auto process = std::make_unique<PeerProcess>(argv);
    if (process->WaitFor("ACCEPT", kWait)) process->WaitFor("\n", 1s);
    port = process->PortAfter("ACCEPT");
    return process;
}

// openssl s_server that demands a client certificate issued by the test CA.
std::unique_ptr<PeerProcess> DemandingServer(TestPki &pki, const std::string &cert, uint16_t &port,
                                             bool tls12 = false) {
    // Without -verify_return_error s_server only prints what it thinks of a certificate.
    std::vector<std::string> argv{"openssl",
                                  "s_server",
                                  "-accept",
                                  "127.0.0.1:0",
                                  "-cert",
                                  cert,
                                  "-key",
                                  TestPki::KeyOf(cert),
                                  "-Verify",
                                  "1",
                                  "-CAfile",
                                  pki.CaFile(),
                                  "-verify_return_error",
                                  "-naccept",
                                  "1"};
    if (tls12) argv.push_back("-tls1_2");
    return StartServer(argv, port);
}

TlsClientOptions ClientOptions(const TestPki &pki, const std::string &host = "localhost") {
    TlsClientOptions options;
    options.host = host;
    options.caFile = pki.CaFile();
    options.handshakeTimeout = kWait;
    return options;
}

std::shared_ptr<const TlsClientIdentity> Load(const std::string &certificate,
                                              const std::string &key,
                                              const std::optional<std::string> &passphrase) {
    const TlsClientIdentity::Loading loading =
        TlsClientIdentity::LoadFiles(certificate, key, passphrase);
    EXPECT_EQ(loading.status, TlsClientIdentity::Status::Loaded) << loading.text;
    return loading.identity;
}

class TlsReach : public ::testing::Test {
  protected:
    TempDir dir;
    TestPki pki{dir.Path()};
    std::string serverCert = pki.Make(CertKind::Leaf, "server");
};

// Each form a client certificate comes in opens only with its passphrase (asked for, then told
// when wrong), and then passes a server that demands one, over TLS 1.3 and 1.2: the server
// verifies it and the bytes flow. Without a certificate, or with one the server does not trust,
// the connection ends with the server's refusal named as such: TLS 1.3 tells it only on the first
// read after the client's handshake is done, TLS 1.2 within the handshake.
TEST_F(TlsReach, ClientCertificatesInEveryFormAndTheirRefusal) {
    const std::string passphrase = "correct horse";
    const ClientFiles files = pki.MakeClient("client", passphrase);
    struct Form {
        const char *name;
        std::string certificate;
        std::string key;
    };
    const Form forms[] = {
        {"PEM with the key apart", files.certificate, files.key},
        {"PEM with the key inside", files.combined, ""},
        {"PKCS#12", files.pkcs12, ""},
    };
    for (const bool tls12 : {false, true}) {
        for (const Form &form : forms) {
            SCOPED_TRACE(std::string(form.name) + (tls12 ? " over TLS 1.2" : " over TLS 1.3"));
            const std::string &locked = form.key.empty() ? form.certificate : form.key;
            TlsClientIdentity::Loading loading =
                TlsClientIdentity::LoadFiles(form.certificate, form.key, std::nullopt);
            EXPECT_EQ(loading.status, TlsClientIdentity::Status::NeedsPassphrase);
            EXPECT_EQ(loading.text, locked);
            loading = TlsClientIdentity::LoadFiles(form.certificate, form.key, "wrong");
            EXPECT_EQ(loading.status, TlsClientIdentity::Status::WrongPassphrase);
            EXPECT_EQ(loading.text, locked);

            uint16_t port = 0;
            auto server = DemandingServer(pki, serverCert, port, tls12);
            ASSERT_NE(port, 0) << server->Output();
            TlsClientOptions options = ClientOptions(pki);
            options.identity = Load(form.certificate, form.key, passphrase);
            ASSERT_TRUE(options.identity);
            EXPECT_EQ(options.identity->Certificate().subject, "CN=tarvotcpc client");
            ConnectionOptions connectionOptions;
            connectionOptions.tlsClient = options;
            Connection connection("127.0.0.1", port, connectionOptions);
            Events events;
            ASSERT_TRUE(events.WaitFor(connection, ConnectionEvent::Type::Secured))
                << (events.Last(ConnectionEvent::Type::Ended)
                        ? events.Last(ConnectionEvent::Type::Ended)->data
                        : server->Output());
            EXPECT_TRUE(events.Last(ConnectionEvent::Type::Secured)->certificateSent);
            connection.Send("shown a certificate\n");
            EXPECT_TRUE(server->WaitFor("shown a certificate", kWait)) << server->Output();
            EXPECT_NE(server->Output().find("CN = tarvotcpc client"), std::string::npos)
                << server->Output();
            server->Send("welcome\n");
            const auto deadline = std::chrono::steady_clock::now() + kWait;
            while (events.received.find("welcome") == std::string::npos &&
                   std::chrono::steady_clock::now() < deadline)
                events.WaitFor(connection, ConnectionEvent::Type::Received);
            EXPECT_EQ(events.received, "welcome\n");
            connection.Quit();
        }

        const ClientFiles stranger = pki.MakeClient("stranger", "", true);
        struct Refusal {
            const char *name;
            std::shared_ptr<const TlsClientIdentity> identity;
            std::string said;
        };
        const Refusal refusals[] = {
            {"no certificate", nullptr, "相手がクライアント証明書を求めて接続を拒否しました"},
            {"a certificate of no trusted issuer", Load(stranger.combined, "", std::nullopt),
             "相手がクライアント証明書を受け入れず、接続を拒否しました"},
        };
        for (const Refusal &refusal : refusals) {
            SCOPED_TRACE(std::string(refusal.name) + (tls12 ? " over TLS 1.2" : " over TLS 1.3"));
            uint16_t port = 0;
            auto server = DemandingServer(pki, serverCert, port, tls12);
            ASSERT_NE(port, 0) << server->Output();
            ConnectionOptions connectionOptions;
            connectionOptions.tlsClient = ClientOptions(pki);
            connectionOptions.tlsClient->identity = refusal.identity;
            Connection connection("127.0.0.1", port, connectionOptions);
            Events events;
            events.WaitFor(connection, ConnectionEvent::Type::Ended);
            const ConnectionEvent *end = events.Last(ConnectionEvent::Type::Ended);
            ASSERT_NE(end, nullptr);
            EXPECT_EQ(end->reason, EndReason::Error);
            EXPECT_NE(end->data.find(refusal.said), std::string::npos) << end->data;
            EXPECT_TRUE(events.received.empty());
            connection.Quit();
        }
    }
}

// Files that cannot make a client certificate are refused with what is wrong with them.
TEST_F(TlsReach, FilesThatAreNoClientCertificateSayWhy) {
    const ClientFiles one = pki.MakeClient("one");
    const ClientFiles other = pki.MakeClient("other");
    testing::WriteFile(dir.Path("text.txt"), "just some text\n");
    struct Case {
        std::string certificate;
        std::string key;
        std::string said;
    };
    const Case cases[] = {
        {dir.Path("missing.pem"), "", "読めません"},
        {dir.Path("text.txt"), "", "PKCS#12形式"},
        {one.certificate, "", "秘密鍵がありません"},
        {one.certificate, other.key, "対になっていません"},
        {one.pkcs12, one.key, "指定しないでください"},
        {one.certificate, one.certificate, "秘密鍵がありません"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.certificate + " " + c.key);
        const TlsClientIdentity::Loading loading =
            TlsClientIdentity::LoadFiles(c.certificate, c.key, std::nullopt);
        EXPECT_EQ(loading.status, TlsClientIdentity::Status::Failed);
        EXPECT_NE(loading.text.find(c.said), std::string::npos) << loading.text;
    }
    // A file without a passphrase opens without one, and with any.
    EXPECT_TRUE(Load(one.pkcs12, "", std::nullopt));
    EXPECT_TRUE(Load(one.certificate, one.key, "not needed"));
}

// The server name and the protocols as Python's ssl module sees them: the host's name by default,
// none for an address or when asked, a name of the user's own (and the certificate checked for
// it); the protocol the server chose from the list offered, or none.
TEST_F(TlsReach, ServerNameAndProtocolsAsTheServerSeesThem) {
    const std::string otherName = pki.Make(CertKind::WrongName, "other"); // names other.invalid
    using Kind = ServerNameChoice::Kind;
    struct Case {
        std::string cert;
        std::string host;
        ServerNameChoice sni;
        std::vector<std::string> offered;
        std::string served; // the server's protocols, "-" for no ALPN
        std::string sniSeen;
        std::string chosen;
    };
    const Case cases[] = {
        {serverCert, "localhost", {}, {"h2", "http/1.1"}, "http/1.1", "localhost", "http/1.1"},
        {serverCert, "localhost", {}, {"h2", "http/1.1"}, "h2", "localhost", "h2"},
        {serverCert, "127.0.0.1", {}, {}, "h2", "None", ""},
        {serverCert, "localhost", {Kind::None, ""}, {"h2"}, "smtp", "None", ""},
        {otherName, "127.0.0.1", {Kind::Name, "other.invalid"}, {"h2"}, "-", "other.invalid", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.host + " SNI " + c.sniSeen + " ALPN " + c.served);
        PeerProcess python(
            {"python3", testing::PeerScript(), "alpn", c.cert, TestPki::KeyOf(c.cert), c.served});
        ASSERT_TRUE(python.WaitFor("\n", kWait)) << python.Output();
        ConnectionOptions options;
        options.tlsClient = ClientOptions(pki, c.host);
        options.tlsClient->serverName = c.sni;
        options.tlsClient->alpn = c.offered;
        Connection connection("127.0.0.1", python.PortAfter("PORT"), options);
        Events events;
        ASSERT_TRUE(events.WaitFor(connection, ConnectionEvent::Type::Secured)) << python.Output();
        // Verified without a question: the certificate carries the name asked for.
        EXPECT_EQ(events.Last(ConnectionEvent::Type::Question), nullptr);
        const ConnectionEvent &secured = *events.Last(ConnectionEvent::Type::Secured);
        EXPECT_EQ(secured.alpn, c.chosen);
        EXPECT_EQ(secured.alpnOffered, !c.offered.empty());
        EXPECT_TRUE(python.WaitFor("SNI " + c.sniSeen + "\n", kWait)) << python.Output();
        EXPECT_TRUE(python.WaitFor("ALPN " + (c.chosen.empty() ? "None" : c.chosen), kWait))
            << python.Output();
        connection.Quit();
    }
}

uint16_t BoundPort(const ListenResult &listening) {
    return ntohs(reinterpret_cast<const sockaddr_in *>(listening.address.Get())->sin_port);
}

// Many sessions on both sides log to one file at once, each on its connection's thread: every
// line is whole and in the NSS key log format, and each session's five TLS 1.3 secrets are there
// twice, once from each side; the file is its owner's alone.
TEST_F(TlsReach, SessionsLoggingAtOnceWriteWholeLines) {
    constexpr int kPairs = 8;
    const std::string path = dir.Path("keys.log");
    std::string error;
    const std::shared_ptr<KeyLog> log = KeyLog::Open(path, error);
    ASSERT_TRUE(log) << error;
    const auto identity =
        TlsServerIdentity::LoadFiles(serverCert, TestPki::KeyOf(serverCert), error);
    ASSERT_TRUE(identity) << error;
    std::vector<std::unique_ptr<Connection>> servers;
    std::vector<std::unique_ptr<Connection>> clients;
    for (int i = 0; i < kPairs; ++i) {
        ListenResult listening = Listen(BindChoice::Loopback, 0);
        ASSERT_GE(listening.fd, 0) << listening.text;
        const uint16_t port = BoundPort(listening);
        ConnectionOptions serverOptions;
        serverOptions.tlsServer = identity;
        serverOptions.serverKeyLog = log;
        serverOptions.endpoint = [fd = std::make_shared<UniqueFd>(listening.fd)] {
            return MakeListenEndpoint(std::move(*fd));
        };
        servers.push_back(std::make_unique<Connection>("listen", port, serverOptions));
        ConnectionOptions clientOptions;
        clientOptions.tlsClient = ClientOptions(pki);
        clientOptions.tlsClient->keyLog = log;
        clients.push_back(std::make_unique<Connection>("127.0.0.1", port, clientOptions));
    }
    for (int i = 0; i < kPairs; ++i) {
        Events client, server;
        ASSERT_TRUE(client.WaitFor(*clients[i], ConnectionEvent::Type::Secured));
        ASSERT_TRUE(server.WaitFor(*servers[i], ConnectionEvent::Type::Secured));
        EXPECT_EQ(client.Last(ConnectionEvent::Type::Secured)->keyLogLines, 5);
        EXPECT_EQ(server.Last(ConnectionEvent::Type::Secured)->keyLogLines, 5);
        EXPECT_TRUE(client.Last(ConnectionEvent::Type::Secured)->keyLogError.empty());
    }
    clients.clear();
    servers.clear();

    const std::regex line("(CLIENT_HANDSHAKE_TRAFFIC_SECRET|SERVER_HANDSHAKE_TRAFFIC_SECRET|"
                          "CLIENT_TRAFFIC_SECRET_0|SERVER_TRAFFIC_SECRET_0|EXPORTER_SECRET) "
                          "([0-9a-f]{64}) [0-9a-f]{64,96}");
    std::map<std::string, int> perSession;
    std::istringstream lines(testing::ReadFile(path));
    int count = 0;
    for (std::string text; std::getline(lines, text); ++count) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(text, match, line)) << text;
        ++perSession[match[2]];
    }
    EXPECT_EQ(count, kPairs * 2 * 5);
    EXPECT_EQ(perSession.size(), std::size_t{kPairs});
    for (const auto &[random, lines] : perSession)
        EXPECT_EQ(lines, 10) << random;
    struct stat status {};
    ASSERT_EQ(stat(path.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);
}

// A capture of a session, taken by tcpdump while the session logs its secrets, is decrypted by
// tshark with that key log alone: the bytes sent and the bytes answered read as they were.
TEST_F(TlsReach, TsharkDecryptsACaptureWithTheKeyLog) {
    if (access("/usr/bin/tcpdump", X_OK) != 0 || access("/usr/bin/tshark", X_OK) != 0)
        GTEST_SKIP() << "tcpdump and tshark are needed (Debian packages tcpdump, tshark)";
    PeerProcess python(
        {"python3", testing::PeerScript(), "alpn", serverCert, TestPki::KeyOf(serverCert), "-"});
    ASSERT_TRUE(python.WaitFor("\n", kWait)) << python.Output();
    const uint16_t port = python.PortAfter("PORT");
    const std::string capture = dir.Path("session.pcap");
    const passwd *user = getpwuid(getuid());
    ASSERT_NE(user, nullptr);
    // Written as this user, not as the one tcpdump would change to (the folder is ours alone);
    // each packet as it comes, not when a buffer fills, so that stopping it loses none.
    PeerProcess tcpdump({"tcpdump", "-i", "lo", "-w", capture, "-U", "--immediate-mode", "-Z",
                         user->pw_name, "port", std::to_string(port)});
    if (!tcpdump.WaitFor("listening on", kWait)) {
        GTEST_SKIP() << "tcpdump cannot capture on lo here (it needs CAP_NET_RAW): "
                     << tcpdump.Output();
    }

    const std::string keys = dir.Path("keys.log");
    std::string error;
    ConnectionOptions options;
    options.tlsClient = ClientOptions(pki);
    options.tlsClient->keyLog = KeyLog::Open(keys, error);
    ASSERT_TRUE(options.tlsClient->keyLog) << error;
    Connection connection("127.0.0.1", port, options);
    Events events;
    ASSERT_TRUE(events.WaitFor(connection, ConnectionEvent::Type::Secured)) << python.Output();
    connection.Send("GET /secret-path HTTP/1.0\r\n");
    while (events.received.find("secret-path") == std::string::npos &&
           events.WaitFor(connection, ConnectionEvent::Type::Received)) {
    }
    ASSERT_EQ(events.received, "GET /secret-path HTTP/1.0\r\n");
    connection.Disconnect();
    events.WaitFor(connection, ConnectionEvent::Type::Ended);
    python.Wait(kWait);
    tcpdump.Signal(SIGINT);
    ASSERT_TRUE(tcpdump.WaitFor("packets captured", kWait)) << tcpdump.Output();
    tcpdump.Wait(kWait);

    PeerProcess tshark({"tshark", "-r", capture, "-o", "tls.keylog_file:" + keys, "-d",
                        "tcp.port==" + std::to_string(port) + ",tls", "-q", "-z",
                        "follow,tls,ascii,0"});
    EXPECT_EQ(tshark.Wait(kWait), 0) << tshark.Output();
    // Both ways: the request as sent, and the peer's echo of it.
    const std::string &shown = tshark.Output();
    const std::size_t first = shown.find("GET /secret-path HTTP/1.0");
    ASSERT_NE(first, std::string::npos) << shown;
    EXPECT_NE(shown.find("GET /secret-path HTTP/1.0", first + 1), std::string::npos) << shown;

    // Without the key log the same capture shows nothing of it.
    PeerProcess blind({"tshark", "-r", capture, "-d", "tcp.port==" + std::to_string(port) + ",tls",
                       "-q", "-z", "follow,tls,ascii,0"});
    EXPECT_EQ(blind.Wait(kWait), 0) << blind.Output();
    EXPECT_EQ(blind.Output().find("secret-path"), std::string::npos) << blind.Output();
}

} // namespace
} // namespace tarvotcpc
