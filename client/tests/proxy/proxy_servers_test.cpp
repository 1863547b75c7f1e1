// Connections through real proxies started here on loopback (microsocks and Dante for SOCKS5,
// tinyproxy for HTTP CONNECT), in clear text, with TLS and with STARTTLS, and each refusal's
// text; then proxies that misbehave, played by loopback servers. A test whose proxy program is
// not installed is skipped with the Debian package to install.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <thread>

#include "connection/connection.hpp"
#include "proxy/proxy_endpoint.hpp"
#include "support/peer_process.hpp"
#include "support/proxy_programs.hpp"
#include "support/temp_dir.hpp"
#include "support/test_servers.hpp"

namespace tarvotcpc {
namespace {

using namespace std::chrono_literals;
using testing::CertKind;
using testing::PeerProcess;
using testing::ProxyProgram;
using testing::TempDir;
using testing::TestPki;
using testing::TestServer;

constexpr auto kWait = 30s; // generous, for the slowest sanitizer; never reached when all is well

#define REQUIRE_PROGRAM(variable, name, package)                                                   \
    const std::string variable = testing::ProgramPath(name);                                       \
    if (variable.empty()) GTEST_SKIP() << name << " is not installed (Debian package " package ")"

// A peer that speaks first, as SMTP does, then echoes: its greeting comes right behind the
// proxy's last answer, often in the same segment, and must reach the connection whole.
constexpr char kGreeting[] = "220 peer ready\r\n";

TestServer::Behaviour GreetThenEcho() {
    return [](int fd, TestServer &) {
        send(fd, kGreeting, sizeof kGreeting - 1, MSG_NOSIGNAL);
        char buffer[64 * 1024];
        for (;;) {
            const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) return;
            for (ssize_t done = 0; done < n;) {
                const ssize_t sent = send(fd, buffer + done, n - done, MSG_NOSIGNAL);
                if (sent <= 0) return;
                done += sent;
            }
        }
    };
}

ProxyUrl Url(const std::string &text) {
    std::string error;
    std::optional<ProxyUrl> url = ParseProxyUrl(text, error);
    EXPECT_TRUE(url) << text << ": " << error;
    return url.value_or(ProxyUrl{});
}

// A connection through a proxy, and what it has told so far.
class Through {
  public:
    Through(const ProxyUrl &proxy, const std::string &host, uint16_t port,
            std::optional<TlsClientOptions> tls = std::nullopt,
            std::chrono::milliseconds timeout = kProxyTimeout, Resolver resolver = {})
        : connection_(host, port, Options(proxy, host, port, std::move(tls), timeout, resolver)) {}

    Connection &Conn() { return connection_; }
    const std::string &Received() const { return received_; }
    const std::string &Peer() const { return peer_; }
    bool Secured() const { return secured_; }
    const std::optional<ConnectionEvent> &End() const { return end_; }

    // Takes events until done() holds, the connection ended or the time is up; whether done().
    bool WaitFor(const std::function<bool()> &done, std::chrono::milliseconds timeout = kWait) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            for (ConnectionEvent &event : connection_.TakeEvents()) {
                if (event.type == ConnectionEvent::Type::Received) received_ += event.data;
                if (event.type == ConnectionEvent::Type::Reached) peer_ = event.data;
                if (event.type == ConnectionEvent::Type::Secured) secured_ = true;
                if (event.type == ConnectionEvent::Type::Ended) end_ = std::move(event);
            }
            if (done() || end_ || std::chrono::steady_clock::now() >= deadline) return done();
            std::this_thread::sleep_for(2ms);
        }
    }
    bool WaitBytes(std::size_t n) {
        return WaitFor([&] { return received_.size() >= n; });
    }
    // The end: what the connection told when it did not get through.
    std::optional<ConnectionEvent> WaitEnd() {
        WaitFor([] { return false; });
        return end_;
    }

  private:
    static ConnectionOptions Options(const ProxyUrl &proxy, const std::string &host, uint16_t port,
                                     std::optional<TlsClientOptions> tls,
                                     std::chrono::milliseconds timeout, Resolver resolver) {
        ConnectionOptions options;
        options.tlsClient = std::move(tls);
        options.endpoint = [=] { return MakeProxyEndpoint(proxy, host, port, resolver, timeout); };
        return options;
    }

    std::string received_;
    std::string peer_;
    bool secured_ = false;
    std::optional<ConnectionEvent> end_;
    Connection connection_; // last: its worker runs from the start
};

// Every byte value, then a long pseudo-random stretch: the tunnel carries them exactly, both
// ways, and the peer's greeting before them.
void ExpectExactEcho(const ProxyUrl &proxy) {
    TestServer peer(GreetThenEcho());
    Through through(proxy, "127.0.0.1", peer.Port());
    std::string bytes;
    for (int i = 0; i < 256; ++i)
        bytes += static_cast<char>(i);
    bytes += testing::Pattern(0, 1 << 20);
    through.Conn().Send(bytes);
    const std::string expected = kGreeting + bytes;
    ASSERT_TRUE(through.WaitBytes(expected.size()))
        << FormatProxyUrl(proxy) << ": " << (through.End() ? through.End()->data : "");
    EXPECT_TRUE(through.Received() == expected) << FormatProxyUrl(proxy);
    EXPECT_EQ(through.Peer(), "127.0.0.1:" + std::to_string(peer.Port()) + " (プロキシ " +
                                  ProxyAddressText(proxy) + " 経由)");
    through.Conn().Quit();
}

// A failure before the tunnel opens: its reason and the whole text the user sees.
void ExpectRefusal(const ProxyUrl &proxy, const std::string &host, uint16_t port, EndReason reason,
                   const std::string &text, Resolver resolver = {},
                   std::chrono::milliseconds timeout = kProxyTimeout) {
    Through through(proxy, host, port, std::nullopt, timeout, std::move(resolver));
    const std::optional<ConnectionEvent> end = through.WaitEnd();
    ASSERT_TRUE(end) << text;
    EXPECT_EQ(end->reason, reason) << end->data;
    EXPECT_EQ(end->data, text);
    EXPECT_TRUE(IsStartFailure(end->reason));
    EXPECT_EQ(through.Received(), "") << "nothing of the proxy's reaches the page";
}

// A TLS echo peer (Python's ssl module) reached through the proxy, its name checked against the
// test CA.
void ExpectTlsEcho(const ProxyUrl &proxy) {
    TempDir dir;
    TestPki pki(dir.Path());
    const std::string leaf = pki.Make(CertKind::Leaf, "leaf");
    PeerProcess python({"python3", testing::PeerScript(), "server", leaf, TestPki::KeyOf(leaf)});
    ASSERT_TRUE(python.WaitFor("\n", kWait)) << python.Output();
    TlsClientOptions tls;
    tls.host = "127.0.0.1";
    tls.caFile = pki.CaFile();
    Through through(proxy, "127.0.0.1", python.PortAfter("PORT"), tls);
    through.Conn().Send("through the tunnel\r\n");
    ASSERT_TRUE(through.WaitFor([&] { return through.Received().size() >= 20; }))
        << (through.End() ? through.End()->data : "") << python.Output();
    EXPECT_TRUE(through.Secured());
    EXPECT_EQ(through.Received(), "through the tunnel\r\n");
    through.Conn().Quit();
}

// --- SOCKS5
// ---------------------------------------------------------------------------------------

TEST(Microsocks, ExactBytesPlainAndTlsAndEachRefusal) {
    REQUIRE_PROGRAM(microsocks, "microsocks", "microsocks");
    ProxyProgram open;
    ASSERT_TRUE(open.Start({microsocks, "-i", "127.0.0.1", "-p", std::to_string(open.port)}));
    const std::string at = "127.0.0.1:" + std::to_string(open.port);
    ExpectExactEcho(Url("socks5h://" + at));
    ExpectTlsEcho(Url("socks5h://" + at));
    testing::RefusedPort refused;
    ExpectRefusal(Url("socks5h://" + at), "127.0.0.1", refused.Port(), EndReason::ProxyFailed,
                  "プロキシ" + at + "から127.0.0.1:" + std::to_string(refused.Port()) +
                      "に接続できませんでした (SOCKS5の応答 5: 接続を拒否されました)");

    ProxyProgram guarded;
    ASSERT_TRUE(guarded.Start({microsocks, "-i", "127.0.0.1", "-p", std::to_string(guarded.port),
                               "-u", "alice", "-P", "s3cret"}));
    const std::string guardedAt = "127.0.0.1:" + std::to_string(guarded.port);
    ExpectExactEcho(Url("socks5h://alice:s3cret@" + guardedAt));
    TestServer unreached(testing::Silent());
    ExpectRefusal(Url("socks5h://alice:wrong@" + guardedAt), "127.0.0.1", unreached.Port(),
                  EndReason::ProxyAuthFailed,
                  "プロキシ" + guardedAt +
                      "の認証に失敗しました。ユーザー名かパスワードが違います");
    ExpectRefusal(Url("socks5h://" + guardedAt), "127.0.0.1", unreached.Port(),
                  EndReason::ProxyFailed,
                  "プロキシ" + guardedAt +
                      "はユーザー名とパスワードを求めています。プロキシのURLにユーザー名を書いて"
                      "ください (socks5h://ユーザー名@ホスト:ポート番号)");
}

// Dante with rules: socks5:// looks the name up here and sends the address; a destination its
// rules block is refused with reply 2.
TEST(Dante, NameLookedUpHereAndARuleThatBlocks) {
    REQUIRE_PROGRAM(danted, "danted", "dante-server");
    TempDir dir;
    ProxyProgram dante;
    const std::string config = dir.Path("danted.conf");
    testing::WriteFile(config, "logoutput: stderr\n"
                               "internal: 127.0.0.1 port = " +
                                   std::to_string(dante.port) +
                                   "\n"
                                   "external: 127.0.0.1\n"
                                   "socksmethod: none\n"
                                   "clientmethod: none\n"
                                   // Run as root (CI), it keeps its privileges for nothing.
                                   "user.privileged: root\n"
                                   "user.unprivileged: nobody\n"
                                   "client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n"
                                   "socks block { from: 0.0.0.0/0 to: 127.0.0.2/32 }\n"
                                   "socks pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n");
    ASSERT_TRUE(dante.Start({danted, "-f", config})) << dante.process->Output();
    const std::string at = "127.0.0.1:" + std::to_string(dante.port);

    TestServer peer(GreetThenEcho());
    std::atomic<int> lookups{0};
    const Resolver resolver = [&lookups](const std::string &host, uint16_t port) {
        Resolution found;
        if (host == "peer.test") {
            ++lookups;
            found.addresses.emplace_back();
            NumericAddress("127.0.0.1", port, found.addresses.back());
        }
        return found;
    };
    Through through(Url("socks5://" + at), "peer.test", peer.Port(), std::nullopt, kProxyTimeout,
                    resolver);
    through.Conn().Send("hello\r\n");
    ASSERT_TRUE(through.WaitBytes(sizeof kGreeting - 1 + 7))
        << (through.End() ? through.End()->data : "") << dante.process->Output();
    EXPECT_EQ(through.Received(), std::string(kGreeting) + "hello\r\n");
    EXPECT_EQ(lookups.load(), 1);
    through.Conn().Quit();

    ExpectRefusal(Url("socks5h://" + at), "127.0.0.2", peer.Port(), EndReason::ProxyFailed,
                  "プロキシ" + at + "は127.0.0.2:" + std::to_string(peer.Port()) +
                      "への接続を許可していません (SOCKS5の応答 2: 規則により許可されていません)");
    // A name the resolver does not know stops here, before the proxy is asked.
    ExpectRefusal(Url("socks5://" + at), "nowhere.test", peer.Port(), EndReason::HostNotFound,
                  "ホストnowhere.testが見つかりません", resolver);
}

// --- HTTP CONNECT
// ---------------------------------------------------------------------------------

TEST(Tinyproxy, BasicAuthenticationExactBytesTlsStarttlsAndEachRefusal) {
    REQUIRE_PROGRAM(tinyproxy, "tinyproxy", "tinyproxy");
    TempDir dir;
    TestPki pki(dir.Path());
    const std::string leaf = pki.Make(CertKind::Leaf, "leaf");
    TestServer unreached(testing::Silent());
    PeerProcess starttls(
        {"python3", testing::PeerScript(), "starttls", leaf, TestPki::KeyOf(leaf)});
    ASSERT_TRUE(starttls.WaitFor("\n", kWait));
    const uint16_t starttlsPort = starttls.PortAfter("PORT");
    testing::RefusedPort refused;

    ProxyProgram proxy;
    testing::WriteFile(dir.Path("filter"), "blocked\\.test\n");
    const std::string config = dir.Path("tinyproxy.conf");
    std::string text = "Port " + std::to_string(proxy.port) +
                       "\nListen 127.0.0.1\nTimeout 60\nAllow 127.0.0.1\n"
                       "BasicAuth alice s3cret\nFilter \"" + // no ConnectPort: any port

                       dir.Path("filter") +
                       "\"\nFilterURLs Off\nLogLevel Info\n";
    testing::WriteFile(config, text);
    ASSERT_TRUE(proxy.Start({tinyproxy, "-d", "-c", config})) << proxy.process->Output();
    const std::string at = "127.0.0.1:" + std::to_string(proxy.port);
    const ProxyUrl good = Url("http://alice:s3cret@" + at);

    ExpectExactEcho(good);
    ExpectTlsEcho(good);
    {
        // STARTTLS: clear text through the tunnel, then TLS over the same tunnel.
        Through through(good, "127.0.0.1", starttlsPort);
        ASSERT_TRUE(through.WaitFor([&] { return through.Received().starts_with("220 "); }));
        through.Conn().Send("STARTTLS\r\n");
        ASSERT_TRUE(through.WaitFor(
            [&] { return through.Received().find("220 ready\r\n") != std::string::npos; }));
        through.Conn().StartTls({"127.0.0.1", pki.CaFile(), "", "", kWait});
        through.Conn().Send("EHLO tarvotcpc\r\n");
        EXPECT_TRUE(through.WaitFor([&] {
            return through.Received().find("EHLO tarvotcpc\r\n") != std::string::npos;
        })) << starttls.Output();
        EXPECT_TRUE(through.Secured());
        through.Conn().Quit();
    }

    ExpectRefusal(Url("http://alice:wrong@" + at), "127.0.0.1", unreached.Port(),
                  EndReason::ProxyAuthFailed,
                  "プロキシ" + at +
                      "の認証に失敗しました。ユーザー名かパスワードが違います (HTTP/1.0 401 "
                      "Unauthorized)");
    ExpectRefusal(Url("http://" + at), "127.0.0.1", unreached.Port(), EndReason::ProxyFailed,
                  "プロキシ" + at +
                      "はユーザー名とパスワードを求めています。プロキシのURLにユーザー名を書いて"
                      "ください (socks5h://ユーザー名@ホスト:ポート番号) (HTTP/1.0 407 Proxy "
                      "Authentication Required)");
    ExpectRefusal(good, "blocked.test", unreached.Port(), EndReason::ProxyFailed,
                  "プロキシ" + at + "はblocked.test:" + std::to_string(unreached.Port()) +
                      "への接続を許可していません (HTTP/1.1 403 Filtered)");
    ExpectRefusal(good, "127.0.0.1", refused.Port(), EndReason::ProxyFailed,
                  "プロキシ" + at + "が127.0.0.1:" + std::to_string(refused.Port()) +
                      "への接続を断りました (HTTP/1.1 500 Unable to connect)");
}

// --- Proxies that misbehave, played by loopback servers
// -------------------------------------------

TEST(ProxyFaults, UnreachableGarbageClosedSilentAndDisconnected) {
    testing::RefusedPort nothing;
    const std::string nowhere = "127.0.0.1:" + std::to_string(nothing.Port());
    for (const char *scheme : {"socks5h://", "http://"})
        ExpectRefusal(Url(scheme + nowhere), "peer.test", 7, EndReason::ProxyFailed,
                      "プロキシ" + nowhere + "に接続できません");
    ExpectRefusal(Url("socks5h://proxy.test"), "peer.test", 7, EndReason::ProxyFailed,
                  "プロキシproxy.test:1080のホストが見つかりません",
                  [](const std::string &, uint16_t) { return Resolution{}; });

    // Whatever answers in place of the proxy: the text shows what came, as far as it was read.
    for (const char *scheme : {"http://", "socks5h://"}) {
        TestServer ssh(testing::SendThenClose("SSH-2.0-OpenSSH_9.2\r\n"));
        const std::string at = "127.0.0.1:" + std::to_string(ssh.Port());
        Through through(Url(scheme + at), "peer.test", 7);
        const std::optional<ConnectionEvent> end = through.WaitEnd();
        ASSERT_TRUE(end);
        EXPECT_EQ(end->reason, EndReason::ProxyFailed);
        EXPECT_TRUE(end->data.starts_with(
            "プロキシ" + at +
            "の応答を読み取れません。プロキシの種類 (socks5/http) を確かめてください ("))
            << end->data;
        EXPECT_NE(end->data.find(scheme[0] == 'h' ? "HTTPの応答ではありません: S"
                                                  : "SOCKS5の応答ではありません: 0x53"),
                  std::string::npos)
            << end->data;
    }
    {
        TestServer closing(testing::SendThenClose(""));
        const std::string at = "127.0.0.1:" + std::to_string(closing.Port());
        ExpectRefusal(Url("socks5h://" + at), "peer.test", 7, EndReason::ProxyFailed,
                      "プロキシ" + at + "が途中で接続を閉じました");
    }
    {
        TestServer silent(testing::Silent());
        const std::string at = "127.0.0.1:" + std::to_string(silent.Port());
        ExpectRefusal(Url("http://" + at), "peer.test", 7, EndReason::ProxyFailed,
                      "プロキシ" + at + "から応答がありません (0.3秒で打ち切りました)", {}, 300ms);
    }
    {
        // The handshake waits within the worker's one wait: Disconnect ends it at once, long
        // before the proxy's time would be up.
        TestServer silent(testing::Silent());
        Through through(Url("socks5h://127.0.0.1:" + std::to_string(silent.Port())), "peer.test", 7,
                        std::nullopt, std::chrono::hours(1));
        std::this_thread::sleep_for(50ms);
        through.Conn().Disconnect();
        const std::optional<ConnectionEvent> end = through.WaitEnd();
        ASSERT_TRUE(end);
        EXPECT_EQ(end->reason, EndReason::Disconnected);
    }
}

} // namespace
} // namespace tarvotcpc
