// Scripts against real peers: a login-style exchange with a real redis-server, an expect that
// never comes (named with the last bytes received, at the script's line), the sandbox's refusals,
// and a runaway script stopped on request.
#include "exchange/connection_channel.hpp"
#include "exchange/script_run.hpp"

#include "support/proxy_programs.hpp"
#include "support/peer_process.hpp"
#include "support/temp_dir.hpp"
#include "support/test_servers.hpp"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

namespace tarvotcpc {
namespace {

using namespace std::chrono_literals;

using testing::FreePort;

ScriptOutcome RunToEnd(ScriptRun &run) {
    run.Start();
    EXPECT_TRUE(run.WaitFinished(120s));
    return run.Outcome();
}

TEST(ScriptRun, ALoginScriptAgainstARealRedisServerPasses) {
    testing::TempDir dir;
    const uint16_t port = FreePort();
    testing::PeerProcess redis({"redis-server", "--port", std::to_string(port), "--bind",
                                "127.0.0.1", "--save", "", "--appendonly", "no", "--requirepass",
                                "x", "--dir", dir.Path()});
    if (!redis.Started()) GTEST_SKIP() << "redis-server is not installed";
    ASSERT_TRUE(redis.WaitFor("Ready to accept connections", 20s)) << redis.Output();

    ConnectionChannel channel;
    ScriptOptions options;
    options.vars = {{"port", std::to_string(port)}, {"password", "x"}};
    ScriptRun run(R"(
connect("127.0.0.1", vars.port)
send("GET greeting\n")
expect("-NOAUTH")
expect("\r\n")
send("AUTH " .. vars.password .. "\n")
expect("+OK\r\n")
send("SET greeting こんにちは\n")
expect("+OK\r\n")
send("GET greeting\n")
local header, length = expect_re("\\$(\\d+)\\r\\n")
assert(header == "$15\r\n", header)
assert(length == "15", length)
local value = expect("\r\n", 5)
assert(value == "こんにちは\r\n", value)
log("logged in as " .. "default")
print("length", length)
close()
)",
                  "login.lua", channel, options);
    const ScriptOutcome outcome = RunToEnd(run);
    ASSERT_EQ(outcome.state, ScriptOutcome::State::Succeeded) << outcome.message;

    // The channel's record: each send as CRLF-ended bytes, the notes, the end.
    std::string sent;
    std::vector<std::string> notes;
    bool ended = false;
    for (const auto &entry : channel.Record()) {
        if (entry.kind == ConnectionChannel::Entry::Kind::Sent) sent += entry.text;
        if (entry.kind == ConnectionChannel::Entry::Kind::Note) notes.push_back(entry.text);
        if (entry.kind == ConnectionChannel::Entry::Kind::Ended) ended = true;
    }
    EXPECT_EQ(sent, "GET greeting\r\nAUTH x\r\nSET greeting こんにちは\r\nGET greeting\r\n");
    EXPECT_EQ(notes, (std::vector<std::string>{"logged in as default", "length\t15"}));
    EXPECT_TRUE(ended);
}

// An awaited text that never comes: the error names it, the time waited, the last bytes the
// peer sent (escaped) and the script's line; the same when the peer hangs up first.
// With placeholders, send() replaces markers as the send page does, the counter going up with
// each send, "%bodylength%" standing for its body; without, a "%" goes out as typed.
TEST(ScriptRun, SendReplacesPlaceholdersOnlyWhenGiven) {
    for (const bool on : {true, false}) {
        testing::TestServer server(testing::Silent());
        ConnectionChannel channel;
        ScriptOptions options;
        options.vars = {{"port", std::to_string(server.Port())}};
        if (on) {
            PlaceholderValues values;
            values.variables = {{"who", "世界"}};
            values.counter = 7;
            options.placeholders = values;
        }
        ScriptRun run("connect('127.0.0.1', vars.port)\n"
                      "send('HELLO %who% %counter%')\n"
                      "send('POST %counter%\\nLength: %bodylength%\\n\\nabc')\n"
                      "sleep(0.3)\n",
                      "vars.lua", channel, options);
        ASSERT_EQ(RunToEnd(run).state, ScriptOutcome::State::Succeeded);
        std::string sent;
        for (const auto &entry : channel.Record())
            if (entry.kind == ConnectionChannel::Entry::Kind::Sent) sent += entry.text;
        EXPECT_EQ(sent,
                  on ? "HELLO 世界 7POST 8\r\nLength: 3\r\n\r\nabc"
                     : "HELLO %who% %counter%POST %counter%\r\nLength: %bodylength%\r\n\r\nabc");
    }
}

// The channel may outlive the run: its connection goes on getting bytes, and their wake-ups must
// not reach the run that is gone.
TEST(ScriptRun, AChannelThatOutlivesItsRunWakesNothing) {
    testing::TestServer server(testing::SendThenClose("late\r\n", 300ms));
    ConnectionChannel channel;
    ScriptOptions options;
    options.vars = {{"port", std::to_string(server.Port())}};
    auto run = std::make_unique<ScriptRun>("connect('127.0.0.1', vars.port)\n", "short.lua",
                                           channel, options);
    EXPECT_EQ(RunToEnd(*run).state, ScriptOutcome::State::Succeeded);
    run.reset();
    std::this_thread::sleep_for(600ms); // the peer's bytes and its close arrive now
}

TEST(ScriptRun, AnExpectThatNeverComesFailsNamingTheTextTheLastBytesAndTheLine) {
    testing::TestServer server(testing::SendThenClose("220 ready\r\nbye\x01\r\n", 0ms));
    testing::TestServer silent(testing::Silent());
    {
        ConnectionChannel channel;
        ScriptOptions options;
        options.vars = {{"port", std::to_string(server.Port())}};
        ScriptRun run("connect('127.0.0.1', vars.port)\n"
                      "local greeting = expect('220')\n"
                      "assert(greeting == '220')\n"
                      "expect('250 OK', 5)\n",
                      "smtp.lua", channel, options);
        const ScriptOutcome outcome = RunToEnd(run);
        ASSERT_EQ(outcome.state, ScriptOutcome::State::Failed);
        EXPECT_EQ(outcome.line, 4);
        EXPECT_NE(
            outcome.message.find("smtp.lua:4: expect: 「250 OK」を待つ間に接続が終わりました"),
            std::string::npos)
            << outcome.message;
        EXPECT_NE(outcome.message.find(R"("220 ready\r\nbye\x01\r\n")"), std::string::npos)
            << outcome.message;
    }

    // A peer that stays silent: the time runs out.
    ConnectionChannel channel;
    ScriptOptions options;
    options.vars = {{"port", std::to_string(silent.Port())}};
    ScriptRun run("connect('127.0.0.1', vars.port)\n"
                  "\n"
                  "expect_re('^\\\\+PONG', 0.3)\n",
                  "ping.lua", channel, options);
    const ScriptOutcome outcome = RunToEnd(run);
    ASSERT_EQ(outcome.state, ScriptOutcome::State::Failed);
    EXPECT_EQ(outcome.line, 3);
    EXPECT_NE(outcome.message.find("/^\\+PONG/を0.3秒待ちましたが届きませんでした"),
              std::string::npos)
        << outcome.message;
    EXPECT_NE(outcome.message.find("まだ何も受信していません"), std::string::npos)
        << outcome.message;
}

// TLS from a script against Python's ssl module: STARTTLS in the middle of an SMTP-like exchange,
// a connection made with TLS, and one whose certificate names another host, which ends with the
// reason instead of going on unverified.
TEST(ScriptRun, StarttlsAndTlsConnectionsAgainstAnotherImplementation) {
    testing::TempDir dir;
    testing::TestPki pki(dir.Path());
    const std::string leaf = pki.Make(testing::CertKind::Leaf, "leaf");
    const std::string wrong = pki.Make(testing::CertKind::WrongName, "wrong");
    const struct {
        const char *mode;
        std::string cert;
        const char *script;
    } cases[] = {
        {"starttls", leaf,
         "connect('127.0.0.1', vars.port)\n"
         "expect('220 ') expect('\\r\\n')\n"
         "send('STARTTLS\\n') expect('220 ready\\r\\n')\n"
         "starttls()\n"
         "send('EHLO script\\n') assert(expect('\\n') == 'EHLO script\\r\\n')\n"
         "close()\n"},
        {"server", leaf,
         "connect('127.0.0.1', vars.port, {tls = true})\n"
         "send('PING\\n') assert(expect('\\n') == 'PING\\r\\n')\n"
         "close()\n"},
        {"server", wrong, "connect('127.0.0.1', vars.port, {tls = true})\n"},
    };
    for (const auto &c : cases) {
        testing::PeerProcess python(
            {"python3", testing::PeerScript(), c.mode, c.cert, testing::TestPki::KeyOf(c.cert)});
        ASSERT_TRUE(python.WaitFor("\n", 20s)) << python.Output();
        ConnectionChannelOptions trust;
        trust.caFile = pki.CaFile();
        ConnectionChannel channel(trust);
        ScriptOptions options;
        options.vars = {{"port", std::to_string(python.PortAfter("PORT"))}};
        ScriptRun run(c.script, "tls.lua", channel, options);
        const ScriptOutcome outcome = RunToEnd(run);
        if (c.cert == wrong) {
            EXPECT_EQ(outcome.state, ScriptOutcome::State::Failed);
            EXPECT_NE(outcome.message.find("tls.lua:1: connect: 127.0.0.1:"), std::string::npos)
                << outcome.message;
            EXPECT_NE(outcome.message.find("に接続できませんでした"), std::string::npos)
                << outcome.message;
        } else {
            EXPECT_EQ(outcome.state, ScriptOutcome::State::Succeeded)
                << c.mode << ": " << outcome.message << python.Output();
        }
    }
}

// A channel that takes everything and goes nowhere, for scripts that need no peer.
class NullChannel : public ExchangeChannel {
  public:
    std::string Send(std::string) override { return {}; }
    std::string Connect(const std::string &, int32_t, bool) override { return {}; }
    std::string StartTls() override { return {}; }
    void Close() override {}
    void Note(const std::string &text) override { notes.push_back(text); }
    std::vector<std::string> notes;
};

// Every way out of the sandbox is closed: running programs, opening or writing files, loading
// code from files, binary chunks or C libraries. Each call is refused with an error (or finds
// nothing to call), and no file appears.
TEST(ScriptRun, TheSandboxRefusesEveryWayOut) {
    testing::TempDir dir;
    const std::string file = dir.Path("written");
    const std::string forbidden[] = {
        "os.execute('touch " + file + "')",
        "io.popen('touch " + file + "')",
        "io.open('" + file + "', 'w'):write('x')",
        "io.output('" + file + "')",
        "os.remove('" + dir.Path() + "')",
        "os.rename('" + dir.Path() + "', '" + file + "')",
        "os.exit(3)",
        "os.getenv('HOME')",
        "os.tmpname()",
        "package.loadlib('libc.so.6', 'system')",
        "require('os').execute('touch " + file + "')",
        "dofile('/etc/passwd')",
        "loadfile('/etc/passwd')",
        "load('return 1')",
        "load(string.dump(function() end))",
        "string.dump(print)",
        "debug.getregistry()",
        "collectgarbage('stop')",
        "getmetatable('').__index.dump(print)",
        "_ENV.io.write('x')",
        "rawget(_G, 'io').open('" + file + "', 'w')",
    };
    for (const std::string &call : forbidden) {
        NullChannel channel;
        ScriptRun run("local ok, err = pcall(function() return " + call +
                          " end)\n"
                          "assert(not ok, 'allowed')\n"
                          "log(tostring(err))\n",
                      "escape.lua", channel);
        const ScriptOutcome outcome = RunToEnd(run);
        EXPECT_EQ(outcome.state, ScriptOutcome::State::Succeeded)
            << call << ": " << outcome.message;
    }
    EXPECT_FALSE(std::filesystem::exists(file));
    EXPECT_TRUE(std::filesystem::exists(dir.Path()));

    // What a script may use is there.
    NullChannel channel;
    ScriptRun run("assert(os.time() > 0 and os.clock() >= 0 and os.date('%Y') ~= nil)\n"
                  "assert(string.format('%d', math.floor(2.5)) == '2')\n"
                  "assert(utf8.len('日本') == 2 and table.concat({1, 2}, ',') == '1,2')\n"
                  "assert(type(vars) == 'table')\n",
                  "allowed.lua", channel);
    EXPECT_EQ(RunToEnd(run).state, ScriptOutcome::State::Succeeded) << run.Outcome().message;
}

// A runaway loop, also one that catches errors, or a long sleep: each stops on request, and a
// script that eats memory fails instead of taking the machine's.
TEST(ScriptRun, ARunawayScriptStopsOnRequest) {
    const char *runaways[] = {
        "while true do end",
        "while true do pcall(function() while true do end end) end",
        "sleep(3600)",
    };
    for (const char *source : runaways) {
        NullChannel channel;
        ScriptOptions options;
        options.memoryLimit = std::size_t{1} << 40; // only the stop ends these
        ScriptRun run(source, "loop.lua", channel, options);
        run.Start();
        EXPECT_FALSE(run.WaitFinished(200ms)) << source;
        run.Stop();
        ASSERT_TRUE(run.WaitFinished(60s)) << source;
        EXPECT_EQ(run.Outcome().state, ScriptOutcome::State::Stopped) << source;
    }

    NullChannel channel;
    ScriptOptions options;
    options.memoryLimit = std::size_t{16} << 20;
    ScriptRun greedy("local s = 'x' while true do s = s .. s end", "greedy.lua", channel, options);
    const ScriptOutcome outcome = RunToEnd(greedy);
    EXPECT_EQ(outcome.state, ScriptOutcome::State::Failed);
    EXPECT_NE(outcome.message.find("メモリ"), std::string::npos) << outcome.message;
}

} // namespace
} // namespace tarvotcpc
