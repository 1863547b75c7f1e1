// The program run without a window (tarvotcpc --run), as a CI job runs it: the real binary with no
// display, against redis-server (plain and TLS) and Python's http.server. What it prints is the
// text save of the exchange; read back, it makes a script that replays the exchange to the same
// answers; the capture it writes reads back in tshark byte for byte.
#include "replay/exchange_compare.hpp"
#include "replay/line_diff.hpp"
#include "replay/script_maker.hpp"
#include "saves/text_save_read.hpp"
#include "saves/transcript_source.hpp"

#include "support/peer_process.hpp"
#include "support/proxy_programs.hpp"
#include "support/temp_dir.hpp"
#include "support/test_servers.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <thread>

// The program is built only where Qt is: without it these tests skip.
#ifndef TARVOTCPC_PROGRAM
#define TARVOTCPC_PROGRAM ""
#endif

namespace tarvotcpc {
namespace {

using namespace std::chrono_literals;
using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

using testing::FreePort;

std::string Quoted(const std::string &text) {
    std::string out = "'";
    for (const char c : text)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// The command that starts the program with nothing of a display (nor a proxy, nor secrets) in its
// environment but the variables given ("NAME=VALUE").
std::vector<std::string> Program(const std::vector<std::string> &args,
                                 const std::vector<std::string> &variables = {}) {
    std::vector<std::string> argv = {"env"};
    for (const char *name :
         {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "all_proxy", "ALL_PROXY", "https_proxy",
          "HTTPS_PROXY", "SSLKEYLOGFILE", "TARVOTCPC_KEY_PASSPHRASE", "TARVOTCPC_PROXY_PASSWORD"}) {
        argv.push_back("-u");
        argv.push_back(name);
    }
    argv.insert(argv.end(), variables.begin(), variables.end());
    argv.push_back(TARVOTCPC_PROGRAM);
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

struct Ran {
    int status = -1;
    std::string out;
    std::string err;
};

Ran RunProgram(const TempDir &dir, const std::vector<std::string> &args,
               const std::vector<std::string> &variables = {}) {
    if (std::string(TARVOTCPC_PROGRAM).empty()) return {};
    std::string command;
    for (const std::string &arg : Program(args, variables))
        command += Quoted(arg) + " ";
    command += "</dev/null >" + Quoted(dir.Path("stdout")) + " 2>" + Quoted(dir.Path("stderr"));
    const int raw = std::system(command.c_str());
    Ran ran;
    ran.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    ran.out = ReadFile(dir.Path("stdout"));
    ran.err = ReadFile(dir.Path("stderr"));
    return ran;
}

std::string Script(const TempDir &dir, const std::string &name, const std::string &text) {
    WriteFile(dir.Path(name), text);
    return dir.Path(name);
}

struct Redis {
    explicit Redis(const std::vector<std::string> &extra = {}) {
        std::vector<std::string> argv = {"redis-server", "--bind", "127.0.0.1", "--save",  "",
                                         "--appendonly", "no",     "--dir",     dir.Path()};
        argv.insert(argv.end(), extra.begin(), extra.end());
        process = std::make_unique<testing::PeerProcess>(argv);
    }
    bool Ready() { return process->Started() && process->WaitFor("Ready to accept", 20s); }
    TempDir dir;
    std::unique_ptr<testing::PeerProcess> process;
};

// The record the program printed, read back.
std::unique_ptr<Transcript> RecordOf(const std::string &text) {
    auto record = std::make_unique<Transcript>();
    TextSaveReader reader(*record);
    EXPECT_TRUE(reader.Feed(text) && reader.Finish()) << reader.Error();
    return record;
}

// The bytes of each direction in a record: what the capture must hold.
std::array<std::string, 2> BytesOf(const Transcript &record) {
    std::array<std::string, 2> bytes;
    const TranscriptSource source(record);
    std::vector<char> buffer(4096);
    for (std::size_t i = 0; i < source.ChunkCount(); ++i) {
        const SavedChunkInfo chunk = source.Chunk(i);
        if (chunk.isNote) continue;
        for (uint64_t at = 0; at < chunk.size;) {
            const std::size_t got = source.Read(i, at, buffer);
            if (got == 0) break;
            bytes[chunk.direction == SavedDirection::Sent ? 0 : 1].append(buffer.data(), got);
            at += got;
        }
    }
    return bytes;
}

std::string Unhex(const std::string &hex) {
    std::string out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return out;
}

// tshark's raw follow of the first stream: this side's bytes, and (indented) the peer's.
std::array<std::string, 2> FollowedByTshark(const std::string &capture) {
    std::array<std::string, 2> bytes;
    const std::string command =
        "tshark -r " + Quoted(capture) + " -q -z follow,tcp,raw,0 2>/dev/null";
    FILE *pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return bytes;
    std::string output;
    std::array<char, 4096> buffer;
    while (const std::size_t got = std::fread(buffer.data(), 1, buffer.size(), pipe))
        output.append(buffer.data(), got);
    pclose(pipe);
    std::size_t at = 0;
    bool inStream = false;
    while (at < output.size()) {
        std::size_t end = output.find('\n', at);
        if (end == std::string::npos) end = output.size();
        std::string line = output.substr(at, end - at);
        at = end + 1;
        if (line.rfind("Node 1:", 0) == 0) {
            inStream = true;
            continue;
        }
        if (!inStream || line.empty() || line.front() == '=') continue;
        const bool peer = line.front() == '\t';
        if (peer) line.erase(0, 1);
        bytes[peer ? 1 : 0] += Unhex(line);
    }
    return bytes;
}

TEST(HeadlessRun, ALoginToRedisPassesPrintsTheExchangeCapturesItAndReplaysFromIt) {
    if (std::string(TARVOTCPC_PROGRAM).empty()) GTEST_SKIP() << "the program is not built";
    const uint16_t port = FreePort();
    Redis redis({"--port", std::to_string(port), "--requirepass", "s3cret"});
    if (!redis.process->Started()) GTEST_SKIP() << "redis-server is not installed";
    ASSERT_TRUE(redis.Ready()) << redis.process->Output();
    TempDir dir;
    const std::string login = Script(dir, "login.lua", R"lua(
send("AUTH s3cret\n")
expect("+OK\r\n")
send("SET greeting こんにちは\n")
expect("+OK\r\n")
send("GET greeting\n")
expect("こんにちは\r\n")
log("logged in")
)lua");
    const std::string target = "127.0.0.1:" + std::to_string(port);
    const Ran ran = RunProgram(dir, {"--run", login, "--settings", dir.Path("settings.ini"),
                                     "--capture", dir.Path("login.pcapng"), target});
    ASSERT_EQ(ran.status, 0) << ran.err << ran.out;
    EXPECT_EQ(ran.err, "");
    // The text save's form: a header per chunk, line endings as pictures, the script's note.
    EXPECT_NE(ran.out.find("] 送信 #1\nAUTH s3cret␍␊\n"), std::string::npos) << ran.out;
    EXPECT_NE(ran.out.find("] 受信 #1\n$15␍␊\nこんにちは␍␊\n"), std::string::npos) << ran.out;
    EXPECT_NE(ran.out.find("] 注記 #1 logged in\n"), std::string::npos) << ran.out;

    const std::unique_ptr<Transcript> first = RecordOf(ran.out);
    const std::array<std::string, 2> bytes = BytesOf(*first);
    EXPECT_EQ(bytes[0], "AUTH s3cret\r\nSET greeting こんにちは\r\nGET greeting\r\n");
    EXPECT_EQ(bytes[1], "+OK\r\n+OK\r\n$15\r\nこんにちは\r\n");
    EXPECT_EQ(FollowedByTshark(dir.Path("login.pcapng")), bytes);

    // The printed record made into a script, run again with no destination given: it connects
    // itself and meets the same answers.
    ScriptMakerOptions options;
    options.target = [port](uint64_t) { return ScriptTarget{"127.0.0.1", port, false}; };
    const std::string replay =
        Script(dir, "replay.lua", ScriptFromRecord(TranscriptSource(*first), options));
    const Ran again = RunProgram(dir, {"--run", replay, "--settings", dir.Path("settings.ini")});
    ASSERT_EQ(again.status, 0) << again.err << ReadFile(replay);
    const std::unique_ptr<Transcript> second = RecordOf(again.out);
    EXPECT_EQ(BytesOf(*second), bytes);
    const LineDiff diff = DiffLines(ReceivedLinesOf(TranscriptSource(*first)).lines,
                                    ReceivedLinesOf(TranscriptSource(*second)).lines);
    EXPECT_TRUE(diff.differences.empty());
}

TEST(HeadlessRun, EachWayToFailExitsWithItsStatusAndStillPrintsWhatWasRecorded) {
    if (std::string(TARVOTCPC_PROGRAM).empty()) GTEST_SKIP() << "the program is not built";
    const uint16_t port = FreePort();
    Redis redis({"--port", std::to_string(port)});
    if (!redis.process->Started()) GTEST_SKIP() << "redis-server is not installed";
    ASSERT_TRUE(redis.Ready()) << redis.process->Output();
    TempDir dir;
    const std::string settings = dir.Path("settings.ini");
    const std::string target = "127.0.0.1:" + std::to_string(port);

    // An answer that never comes: status 1, the awaited text named, the exchange still printed.
    const std::string wrong =
        Script(dir, "wrong.lua", "send('PING\\n')\nexpect('+PANG', 0.5)\nsend('never\\n')\n");
    Ran ran = RunProgram(dir, {"--run", wrong, "--settings", settings, target});
    EXPECT_EQ(ran.status, 1) << ran.err;
    EXPECT_NE(ran.err.find("wrong.lua:2:"), std::string::npos) << ran.err;
    EXPECT_NE(ran.err.find("+PANG"), std::string::npos) << ran.err;
    EXPECT_NE(ran.out.find("+PONG␍␊"), std::string::npos) << ran.out;
    EXPECT_EQ(ran.out.find("never"), std::string::npos) << ran.out;

    // A script's mistake with connect() is its own, not an unreachable peer.
    ran = RunProgram(dir, {"--run", Script(dir, "twice.lua", "connect('127.0.0.1', 1)\n"),
                           "--settings", settings, target});
    EXPECT_EQ(ran.status, 1) << ran.err;

    // A script that raises: status 1 with its message and line.
    ran = RunProgram(dir, {"--run", Script(dir, "raise.lua", "\nerror('no luck')\n"), "--settings",
                           settings, target});
    EXPECT_EQ(ran.status, 1);
    EXPECT_NE(ran.err.find("raise.lua:2: no luck"), std::string::npos) << ran.err;

    // No one listening, on the command line or in the script's own connect(): status 3.
    const testing::RefusedPort refused;
    const std::string nowhere = "127.0.0.1:" + std::to_string(refused.Port());
    ran = RunProgram(dir, {"--run", wrong, "--settings", settings, nowhere});
    EXPECT_EQ(ran.status, 3) << ran.err;
    EXPECT_NE(ran.err.find(nowhere), std::string::npos) << ran.err;
    const std::string connects = Script(
        dir, "connects.lua", "connect('127.0.0.1', " + std::to_string(refused.Port()) + ")\n");
    ran = RunProgram(dir, {"--run", connects, "--settings", settings});
    EXPECT_EQ(ran.status, 3) << ran.err;
    // A caught failure to connect is the script's own business.
    const std::string caught =
        Script(dir, "caught.lua",
               "assert(not pcall(connect, '127.0.0.1', " + std::to_string(refused.Port()) + "))\n");
    EXPECT_EQ(RunProgram(dir, {"--run", caught, "--settings", settings}).status, 0);

    // Usage: status 2 and a word on what is wrong, before anything connects.
    for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
             {"--run", dir.Path("missing.lua"), target},
             {"--run", wrong, "--listen", "7"},
             {"--out", dir.Path("out.txt"), target},
             {"--run", wrong, "--timeout", "soon", target},
             {"--run", wrong, "--bogus"},
             {"--run", wrong, "127.0.0.1"},
         }) {
        ran = RunProgram(dir, args);
        EXPECT_EQ(ran.status, 2) << args[1] << ": " << ran.err;
        EXPECT_NE(ran.err, "") << args[1];
        EXPECT_EQ(ran.out, "") << args[1];
    }
}

TEST(HeadlessRun, ReachesRedisOverTlsWithTheCaGivenAndAnHttpServer) {
    if (std::string(TARVOTCPC_PROGRAM).empty()) GTEST_SKIP() << "the program is not built";
    TempDir dir;
    const std::string settings = dir.Path("settings.ini");
    testing::TestPki pki(dir.Path());
    const std::string leaf = pki.Make(testing::CertKind::Leaf, "leaf");
    const uint16_t port = FreePort();
    Redis redis({"--port", "0", "--tls-port", std::to_string(port), "--tls-cert-file", leaf,
                 "--tls-key-file", testing::TestPki::KeyOf(leaf), "--tls-ca-cert-file",
                 pki.CaFile(), "--tls-auth-clients", "no"});
    if (!redis.process->Started()) GTEST_SKIP() << "redis-server is not installed";
    ASSERT_TRUE(redis.Ready()) << redis.process->Output();
    const std::string ping = Script(dir, "ping.lua", "send('PING\\n') expect('+PONG\\r\\n')\n");
    const std::string target = "127.0.0.1:" + std::to_string(port);
    Ran ran = RunProgram(dir, {"--run", ping, "--tls", "--ca", pki.CaFile(), "--settings", settings,
                               "--out", dir.Path("tls.txt"), target});
    EXPECT_EQ(ran.status, 0) << ran.err;
    EXPECT_EQ(ran.out, "");
    EXPECT_NE(ReadFile(dir.Path("tls.txt")).find("+PONG␍␊"), std::string::npos);
    // Without the CA the certificate does not verify: the connection is refused.
    ran = RunProgram(dir, {"--run", ping, "--tls", "--settings", settings, target});
    EXPECT_EQ(ran.status, 3) << ran.err;

    WriteFile(dir.Path("hello.txt"), "hello from http\n");
    const uint16_t http = FreePort();
    testing::PeerProcess server({"python3", "-u", "-m", "http.server", "--bind", "127.0.0.1",
                                 "--directory", dir.Path(), std::to_string(http)});
    ASSERT_TRUE(server.WaitFor("Serving HTTP", 20s)) << server.Output();
    const std::string get =
        Script(dir, "get.lua", "connect('127.0.0.1', " + std::to_string(http) + ")\n" + R"lua(
send("GET /hello.txt HTTP/1.0\n\n")
local status = expect_re("HTTP/1\\.[01] (\\d+)")
assert(status:find("200"), status)
expect("hello from http\n")
)lua");
    ran = RunProgram(dir, {"--run", get, "--settings", settings});
    EXPECT_EQ(ran.status, 0) << ran.err << ran.out;
}

// The command line's destination goes as the window's does: with a client certificate whose
// passphrase the environment gives (a run asks no one when it has no terminal), the server name
// and protocols asked for, secrets logged where SSLKEYLOGFILE says; through a SOCKS5 proxy with a
// password; as UDP datagrams, each kept whole in the record.
TEST(HeadlessRun, CertificatesProxiesAndDatagramsAsTheWindowReachesThem) {
    if (std::string(TARVOTCPC_PROGRAM).empty()) GTEST_SKIP() << "the program is not built";
    TempDir dir;
    const std::string settings = dir.Path("settings.ini");
    testing::TestPki pki(dir.Path());
    const std::string leaf = pki.Make(testing::CertKind::Leaf, "server");
    const testing::ClientFiles client = pki.MakeClient("client", "s3cret");
    testing::PeerProcess server({"openssl", "s_server", "-accept", "127.0.0.1:0", "-cert", leaf,
                                 "-key", testing::TestPki::KeyOf(leaf), "-Verify", "1", "-CAfile",
                                 pki.CaFile(), "-alpn", "h2", "-naccept", "1"});
    if (server.WaitFor("ACCEPT", 20s)) server.WaitFor("\n", 1s);
    const std::string target = "127.0.0.1:" + std::to_string(server.PortAfter("ACCEPT"));
    const std::string hello = Script(dir, "hello.lua", "send('shown a certificate\\n')\n");
    const std::vector<std::string> tls = {
        "--run",  hello,         "--tls", "--ca",      pki.CaFile(), "--settings",  settings,
        "--cert", client.pkcs12, "--sni", "localhost", "--alpn",     "h2,http/1.1", target};
    // A locked key with no passphrase given, or a wrong one: nothing is connected.
    Ran ran = RunProgram(dir, tls);
    EXPECT_EQ(ran.status, 3) << ran.err;
    EXPECT_NE(ran.err.find("TARVOTCPC_KEY_PASSPHRASE"), std::string::npos) << ran.err;
    ran = RunProgram(dir, tls, {"TARVOTCPC_KEY_PASSPHRASE=wrong"});
    EXPECT_EQ(ran.status, 3) << ran.err;
    EXPECT_NE(ran.err.find("パスフレーズが違います"), std::string::npos) << ran.err;
    const std::string keys = dir.Path("keys.log");
    ran = RunProgram(dir, tls, {"TARVOTCPC_KEY_PASSPHRASE=s3cret", "SSLKEYLOGFILE=" + keys});
    EXPECT_EQ(ran.status, 0) << ran.err;
    for (const char *told : {"ALPN: h2", "クライアント証明書を提示", "鍵を記録中"})
        EXPECT_NE(ran.err.find(told), std::string::npos) << told << " in " << ran.err;
    EXPECT_TRUE(server.WaitFor("shown a certificate", 20s)) << server.Output();
    EXPECT_NE(server.Output().find("CN = tarvotcpc client"), std::string::npos) << server.Output();
    EXPECT_NE(ReadFile(keys).find("CLIENT_TRAFFIC_SECRET_0 "), std::string::npos);

    const std::string microsocks = testing::ProgramPath("microsocks");
    if (!microsocks.empty()) {
        testing::ProxyProgram proxy;
        ASSERT_TRUE(proxy.Start({microsocks, "-i", "127.0.0.1", "-p", std::to_string(proxy.port),
                                 "-u", "alice", "-P", "s3cret"}));
        testing::TestServer echo(testing::Echo());
        const std::vector<std::string> through = {
            "--run",
            Script(dir, "echo.lua", "send('through\\n') expect('through')\n"),
            "--proxy",
            "socks5h://alice@" + proxy.Address(),
            "--out",
            dir.Path("proxied.txt"),
            "--settings",
            settings,
            "127.0.0.1:" + std::to_string(echo.Port())};
        ran = RunProgram(dir, through);
        EXPECT_EQ(ran.status, 3) << ran.err;
        EXPECT_NE(ran.err.find("TARVOTCPC_PROXY_PASSWORD"), std::string::npos) << ran.err;
        ran = RunProgram(dir, through, {"TARVOTCPC_PROXY_PASSWORD=s3cret"});
        EXPECT_EQ(ran.status, 0) << ran.err;
        EXPECT_NE(ReadFile(dir.Path("proxied.txt")).find("through␍␊"), std::string::npos);
    }

    testing::PeerProcess udp(
        {"python3", std::string(TARVOTCPC_TEST_DATA) + "/udp_peer.py", "echo", "127.0.0.1"});
    ASSERT_TRUE(udp.WaitFor("listening", 20s)) << udp.Output();
    ran = RunProgram(dir, {"--run", Script(dir, "ping.lua", "send('ping') expect('ping')\n"),
                           "--settings", settings,
                           "udp://127.0.0.1:" + std::to_string(udp.PortAfter("listening "))});
    EXPECT_EQ(ran.status, 0) << ran.err;
    std::size_t datagrams = 0;
    for (std::size_t at = 0;
         (at = ran.out.find(" (データグラム 4バイト)\nping\n", at)) != std::string::npos; ++at)
        ++datagrams;
    EXPECT_EQ(datagrams, 2u) << ran.out; // one each way
    EXPECT_EQ(BytesOf(*RecordOf(ran.out)), (std::array<std::string, 2>{"ping", "ping"}));
}

// Two exchanges compared without a window, as a CI job compares today's run with a kept one: by
// what they received, times and sends aside; the status says whether they differ.
TEST(HeadlessRun, TwoExchangeFilesComparedByWhatTheyReceived) {
    if (std::string(TARVOTCPC_PROGRAM).empty()) GTEST_SKIP() << "the program is not built";
    TempDir dir;
    const std::string settings = dir.Path("settings.ini");
    const auto save = [&](const std::string &name, const std::string &time,
                          const std::string &received) {
        WriteFile(dir.Path(name), "[2026-12-10 " + time + " +0000] 送信 #1\nGET␍␊\n[2026-12-10 " +
                                      time + " +0000] 受信 #1\n" + received);
        return dir.Path(name);
    };
    const std::string kept = save("kept.txt", "01:00:00.000000", "+OK␍␊\none␊\ntwo␊\n");
    const std::string same = save("same.txt", "02:00:00.500000", "+OK␍␊\none␊\ntwo␊\n");
    const std::string other = save("other.txt", "02:00:00.500000", "+OK␍␊\nzwei␊\n");
    Ran ran = RunProgram(dir, {"--compare", kept, same, "--settings", settings});
    EXPECT_EQ(ran.status, 0) << ran.err;
    EXPECT_EQ(ran.out, "");
    ran = RunProgram(dir, {"--compare", kept, other, "--settings", settings});
    EXPECT_EQ(ran.status, 1) << ran.err;
    EXPECT_EQ(ran.out, "--- " + kept + "\n+++ " + other +
                           "\n@@ -1,3 +1,2 @@\n +OK␍␊\n-one␊\n-two␊\n+zwei␊\n");
    for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
             {"--compare", kept, dir.Path("missing.txt")},
             {"--compare", kept, Script(dir, "not-a-save.txt", "hello\n")},
             {"--compare", kept},
             {"--compare", kept, same, "127.0.0.1:7"},
         }) {
        ran = RunProgram(dir, args);
        EXPECT_EQ(ran.status, 2) << args.back() << ": " << ran.err;
        EXPECT_NE(ran.err, "") << args.back();
    }
}

TEST(HeadlessRun, ATerminationSignalStopsTheScriptAndTheRecordIsStillWritten) {
    if (std::string(TARVOTCPC_PROGRAM).empty()) GTEST_SKIP() << "the program is not built";
    TempDir dir;
    const std::string waits =
        Script(dir, "waits.lua", "send('hello\\n')\nexpect('never comes', 3600)\n");
    for (const int signal : {SIGTERM, SIGINT}) {
        testing::TestServer sink(testing::Sink());
        testing::PeerProcess program(
            Program({"--run", waits, "--settings", dir.Path("settings.ini"), "--out",
                     dir.Path("out.txt"), "127.0.0.1:" + std::to_string(sink.Port())}));
        const auto until = std::chrono::steady_clock::now() + 30s;
        while (sink.Recorded().find("hello\r\n") == std::string::npos &&
               std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(20ms);
        program.Signal(signal);
        EXPECT_EQ(program.Wait(30s), 128 + signal) << program.Output();
        EXPECT_NE(ReadFile(dir.Path("out.txt")).find("] 送信 #1\nhello␍␊\n"), std::string::npos)
            << program.Output();
    }
}

} // namespace
} // namespace tarvotcpc
