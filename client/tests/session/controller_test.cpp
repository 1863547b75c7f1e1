#include "session/controller.hpp"
#include "settings/options.hpp"
#include "text/send_encoding.hpp"
#include "text/text.hpp"

#include <algorithm>
#include <map>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include <sys/socket.h>

#include <gtest/gtest.h>

#include "hosts/proxy_passwords.hpp"
#include "support/peer_process.hpp"
#include "support/proxy_programs.hpp"
#include "support/temp_dir.hpp"
#include "support/test_servers.hpp"

namespace tarvotcpc {
namespace {

using namespace std::chrono_literals;
using testing::TestServer;
using Log = std::vector<std::string>;

// A window that writes down what it is told, in order.
class FakeView : public MainView {
  public:
    std::string sendPage;
    std::string receivePage;
    Log log;
    std::function<void()> onMessage;
    int receivePageShown = 0;

    std::string SendPageText() override {
        log.push_back("read send page");
        return sendPage;
    }
    void ClearSendPage() override {
        log.push_back("clear send page");
        sendPage.clear();
    }
    void ClearReceivePage() override {
        log.push_back("clear receive page");
        receivePage.clear();
        receivedSeen = 0;
    }
    // The page as the earlier editor held it: the received bytes decoded, line breaks as LF.
    void TranscriptAppended() override {
        if (transcript == nullptr) return; // a test that reads the transcript itself
        std::string text, bytes;
        ReceivedText decoder;
        std::size_t received = 0;
        for (const Chunk &chunk : transcript->Chunks()) {
            if (chunk.direction != Direction::Received) continue;
            ASSERT_TRUE(transcript->Read(chunk.offset, std::size_t(chunk.size), bytes));
            text += decoder.Feed(bytes);
            received += bytes.size();
        }
        if (received == receivedSeen) return; // sent bytes only: the page shows none
        receivedSeen = received;
        if (log.empty() || log.back() != "append") log.push_back("append");
        receivePage = text;
    }
    std::size_t receivedSeen = 0;
    const Transcript *transcript = nullptr;
    void ShowReceivePage() override {
        ++receivePageShown;
        if (log.empty() || log.back() != "append") log.push_back("show receive page");
    }
    void SetConnectedLook(bool connected) override {
        log.push_back(connected ? "look connected" : "look disconnected");
    }
    void SetStatusText(const std::string &text) override { log.push_back("status " + text); }
    void ShowMessage(const std::string &text, MessageStyle style) override {
        log.push_back((style == MessageStyle::Warning ? "warning " : "notice ") + text);
        if (onMessage) onMessage();
    }
    void ShowWarning(const std::string &text) override { warnings.push_back(text); }
    Log warnings;
    void SetPeerText(const std::string &text) override { peer = text; }
    void AskProxyPassword(const ProxyPasswordQuestion &question) override {
        log.push_back("ask " + question.proxy + " " + question.user + " " + question.destination);
    }
    std::string peer;
    int pageEncodingChanged = 0;
    void PageEncodingChanged() override { ++pageEncodingChanged; }
    // The values for "%?name%" questions; none gives the send up.
    std::optional<std::vector<std::string>> answers;
    std::vector<std::vector<std::string>> asked;
    std::optional<std::vector<std::string>>
    AskPlaceholderValues(const std::vector<std::string> &names) override {
        asked.push_back(names);
        return answers;
    }
    Log repeats;
    void RepeatChanged(const std::string &text, bool) override { repeats.push_back(text); }
    int pageProtocolChanged = 0;
    void PageProtocolChanged() override { ++pageProtocolChanged; }
};

class ControllerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(VornAllocHash(&s_.options, 0, 0) && VornReAllocHash(&s_.options, 0));
        ASSERT_TRUE(VornAllocHash(&s_.hosts, 0, 0) && VornReAllocHash(&s_.hosts, 0));
        ASSERT_TRUE(VornAllocHash(&s_.templates, 0, 0) && VornReAllocHash(&s_.templates, 0));
        controller_ = std::make_unique<MainController>(view_, s_, [this] {
            std::lock_guard<std::mutex> lock(mutex_);
            woken_ = true;
            cv_.notify_all();
        });
        view_.transcript = &controller_->KeptTranscript();
        // The tests' own proxies only, whatever the environment running them says.
        controller_->SetEnvironment([this](const char *name) -> std::optional<std::string> {
            const auto it = environment_.find(name);
            if (it == environment_.end()) return std::nullopt;
            return it->second;
        });
        controller_->Start();
        view_.log.clear();
    }
    void TearDown() override {
        controller_.reset();
        FreeSettings(s_);
    }

    // Runs the window's side until the predicate holds, as its event loop would on each wake-up.
    bool PumpUntil(const std::function<bool()> &done, std::chrono::milliseconds timeout = 20s) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!done()) {
            if (std::chrono::steady_clock::now() >= deadline) return false;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                cv_.wait_for(lock, 20ms, [this] { return woken_; });
                woken_ = false;
            }
            controller_->ProcessEvents();
        }
        return true;
    }
    bool PumpUntilLogged(const std::string &entry) {
        return PumpUntil([&] {
            return std::find(view_.log.begin(), view_.log.end(), entry) != view_.log.end();
        });
    }

    static Destination To(const TestServer &server) { return {"127.0.0.1", server.Port()}; }
    static std::string Connecting(const TestServer &server) {
        return "status 127.0.0.1:" + std::to_string(server.Port()) + "に接続中";
    }

    SettingsHashes s_{};
    FakeView view_;
    std::mutex mutex_;
    std::condition_variable cv_;
    bool woken_ = false;
    std::map<std::string, std::string> environment_;
    std::unique_ptr<MainController> controller_;
};

// The bytes of one direction the transcript holds, in order.
std::string BytesOf(const Transcript &transcript, Direction direction) {
    std::string all, piece;
    for (const Chunk &chunk : transcript.Chunks()) {
        if (chunk.direction != direction) continue;
        EXPECT_TRUE(transcript.Read(chunk.offset, std::size_t(chunk.size), piece));
        all += piece;
    }
    return all;
}

bool WaitFlag(const std::atomic<bool> &flag) {
    for (const auto end = std::chrono::steady_clock::now() + 30s; !flag;) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

TEST_F(ControllerTest, ConnectThenReceiveThenPeerClose) {
    TestServer server(testing::SendThenClose("welcome\r\n"));
    controller_->Connect(To(server));
    EXPECT_EQ(view_.log, (Log{"look connected", Connecting(server)}));
    EXPECT_TRUE(controller_->ConnectedLook());

    ASSERT_TRUE(PumpUntil([&] { return !controller_->HasConnection(); }));
    EXPECT_EQ(view_.receivePage, "welcome\n");
    EXPECT_EQ(view_.log, (Log{"look connected", Connecting(server), "show receive page", "append",
                              "notice 切断しました", "status 切断しました", "look disconnected"}));
    EXPECT_EQ(controller_->StatusText(), "切断しました");
    EXPECT_FALSE(controller_->ConnectedLook());
}

TEST_F(ControllerTest, OptionsOnConnectRunInOrder) {
    SetOption(s_, OptionKey(Option::ConSend), 1);
    SetOption(s_, OptionKey(Option::ConReClear), 1);
    SetOption(s_, OptionKey(Option::ConSenClear), 1);
    TestServer server(testing::Echo());
    view_.sendPage = "HELO x\nQUIT\n";
    view_.receivePage = "old";
    controller_->Connect(To(server));
    EXPECT_EQ(view_.log, (Log{"look connected", Connecting(server), "read send page",
                              "clear send page", "clear receive page"}));
    ASSERT_TRUE(PumpUntil([&] { return view_.receivePage.size() >= 12; }));
    EXPECT_EQ(view_.receivePage, "HELO x\nQUIT\n") << "sent as CRLF, shown as LF";
    EXPECT_EQ(view_.sendPage, "");
}

TEST_F(ControllerTest, OptionsAreReadAtEachUse) {
    TestServer server(testing::Echo());
    controller_->Connect(To(server));
    view_.sendPage = "one";
    controller_->Send();
    EXPECT_EQ(view_.sendPage, "one");
    SetOption(s_, OptionKey(Option::ConSenClear), 1);
    view_.sendPage += "two";
    controller_->Send();
    EXPECT_EQ(view_.sendPage, "");
    ASSERT_TRUE(PumpUntil([&] { return view_.receivePage == "oneonetwo"; }));
}

// A peer that talks on its own (a greeting in two parts, then three parts per request) brings the
// receive page to the front once after connecting and once after each send, never for the rest.
TEST_F(ControllerTest, ReceivePageComesForwardOnlyAfterConnectAndSend) {
    auto pieces = [](int fd, std::initializer_list<const char *> texts) {
        for (const char *text : texts) {
            if (send(fd, text, std::strlen(text), MSG_NOSIGNAL) < 0) return;
            std::this_thread::sleep_for(60ms);
        }
    };
    TestServer server([&](int fd, TestServer &) {
        pieces(fd, {"hello\n", "more\n"});
        char byte = 0;
        while (recv(fd, &byte, 1, 0) == 1)
            pieces(fd, {"r1\n", "r2\n", "r3\n"});
    });
    controller_->Connect(To(server));
    ASSERT_TRUE(PumpUntil([&] { return view_.receivePage == "hello\nmore\n"; }));
    EXPECT_EQ(view_.receivePageShown, 1);
    view_.sendPage = "x";
    controller_->Send();
    ASSERT_TRUE(PumpUntil([&] { return view_.receivePage == "hello\nmore\nr1\nr2\nr3\n"; }));
    EXPECT_EQ(view_.receivePageShown, 2);
}

TEST_F(ControllerTest, DisconnectShowsTheLookAtOnceAndTheEndLater) {
    TestServer server(testing::Echo());
    controller_->Connect(To(server));
    view_.log.clear();
    controller_->Disconnect();
    EXPECT_EQ(view_.log, (Log{"look disconnected"}));
    view_.sendPage = "late";
    controller_->Send();
    EXPECT_EQ(view_.log, (Log{"look disconnected"})) << "no sending once disconnected";

    ASSERT_TRUE(PumpUntilLogged("notice 切断しました"));
    EXPECT_EQ(view_.log, (Log{"look disconnected", "notice 切断しました", "status 切断しました",
                              "look disconnected"}));
}

TEST_F(ControllerTest, StartFailuresAreWarnings) {
    testing::RefusedPort refused;
    controller_->Connect({"127.0.0.1", refused.Port()});
    ASSERT_TRUE(PumpUntilLogged("warning 接続に失敗しました"));
    EXPECT_EQ(view_.log.back(), "look disconnected");
    EXPECT_EQ(controller_->StatusText(), "接続に失敗しました");
}

// Sends that never went out are not kept as sent, and the end tells how many bytes they were.
TEST_F(ControllerTest, SendOnConnectToARefusedPortKeepsNothingAsSent) {
    SetOption(s_, OptionKey(Option::ConSend), 1);
    testing::RefusedPort refused;
    view_.sendPage = "HELO x\n";
    controller_->Connect({"127.0.0.1", refused.Port()});
    ASSERT_TRUE(PumpUntilLogged("warning 接続に失敗しました (8バイトは送信されていません)"));
    EXPECT_EQ(controller_->KeptTranscript().Size(), 0u);
    EXPECT_EQ(controller_->StatusText(), "接続に失敗しました (8バイトは送信されていません)");
}

// The peer floods past the receive queue's limit and resets while this side's reading is held
// back (nothing is pumped): the next send fails to write, the one after it is dropped. Neither is
// kept as sent.
TEST_F(ControllerTest, SendsAfterAWriteErrorAreNotKeptAsSent) {
    auto reset = std::make_shared<std::atomic<bool>>(false);
    TestServer server([reset](int fd, TestServer &self) {
        testing::Flood(kReceiveQueueLimit + 64 * 1024)(fd, self);
        linger hard{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        *reset = true; // the server closes fd as this returns, which sends the reset
    });
    controller_->Connect(To(server));
    ASSERT_TRUE(WaitFlag(*reset));
    std::this_thread::sleep_for(200ms);
    view_.sendPage = "after the reset\n";
    controller_->Send();
    std::this_thread::sleep_for(100ms);
    controller_->Send();
    ASSERT_TRUE(PumpUntil([&] { return !controller_->HasConnection(); }));
    EXPECT_EQ(BytesOf(controller_->KeptTranscript(), Direction::Sent), "");
    EXPECT_TRUE(
        testing::MatchesPattern(0, BytesOf(controller_->KeptTranscript(), Direction::Received)));
    const std::string &status = controller_->StatusText();
    EXPECT_EQ(status.rfind("エラー: ", 0), 0u) << status;
    EXPECT_NE(status.find(" (34バイトは送信されていません)"), std::string::npos) << status;
}

// A peer that reads nothing until this side has gone: the page fills both sockets and Disconnect
// drops the rest. What the transcript keeps as sent is exactly what the peer then reads, byte for
// byte (the last write taken in part counts with its written part), and the end tells the rest.
TEST_F(ControllerTest, DisconnectKeepsAsSentExactlyWhatThePeerReads) {
    auto released = std::make_shared<std::atomic<bool>>(false);
    auto read = std::make_shared<std::atomic<bool>>(false);
    TestServer server([released, read](int fd, TestServer &self) {
        WaitFlag(*released);
        char buffer[64 * 1024];
        for (;;) {
            const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            self.Record(buffer, std::size_t(n));
        }
        *read = true;
    });
    std::string page, wire;
    for (int i = 0; wire.size() < (16u << 20); ++i) {
        const std::string line = std::to_string(i) + " a line of the page";
        page += line + "\n";
        wire += line + "\r\n";
    }
    view_.sendPage = page;
    controller_->Connect(To(server));
    controller_->Send();
    // The sockets are full once the bytes kept as sent stop growing.
    for (uint64_t kept = 0, before = 1; kept != before;) {
        before = kept;
        PumpUntil([] { return false; }, 300ms);
        kept = BytesOf(controller_->KeptTranscript(), Direction::Sent).size();
    }
    controller_->Disconnect();
    ASSERT_TRUE(PumpUntil([&] { return !controller_->HasConnection(); }));
    *released = true;
    ASSERT_TRUE(WaitFlag(*read));
    const std::string sent = BytesOf(controller_->KeptTranscript(), Direction::Sent);
    const std::string got = server.Recorded();
    EXPECT_GT(sent.size(), 0u);
    ASSERT_LT(sent.size(), wire.size()) << "everything went out: the case did not happen";
    EXPECT_TRUE(sent == got) << sent.size() << " bytes kept as sent, " << got.size() << " read";
    EXPECT_TRUE(got == wire.substr(0, got.size()));
    EXPECT_EQ(controller_->StatusText(), "切断しました (" +
                                             std::to_string(wire.size() - sent.size()) +
                                             "バイトは送信されていません)");
}

TEST_F(ControllerTest, ErrorsAreNoticesWithTheSystemText) {
    TestServer server(testing::Reset());
    controller_->Connect(To(server));
    ASSERT_TRUE(PumpUntil([&] { return !controller_->HasConnection(); }));
    EXPECT_EQ(controller_->StatusText(), std::string("エラー: ") + std::strerror(ECONNRESET));
    EXPECT_EQ(view_.log[view_.log.size() - 3], "notice " + controller_->StatusText());
}

// A proxy user without a password: asked before anything changes; a cancel changes nothing; a
// kept password the proxy refuses is dropped and asked for again; a good one kept is not asked
// again. The proxy is microsocks with a user and password, the proxy's choice the destination's,
// the options' or the environment's.
TEST_F(ControllerTest, ProxyPasswordIsAskedKeptAndDroppedWhenRefused) {
    const std::string microsocks = testing::ProgramPath("microsocks");
    if (microsocks.empty())
        GTEST_SKIP() << "microsocks is not installed (Debian package microsocks)";
    testing::ProxyProgram proxy;
    ASSERT_TRUE(proxy.Start({microsocks, "-i", "127.0.0.1", "-p", std::to_string(proxy.port), "-u",
                             "alice", "-P", "s3cret"}));
    testing::TempDir dir;
    const std::string settings = dir.Path("tarvotcpc.ini");
    controller_->SetSettingsPath(settings);
    const std::string url = "socks5h://alice@" + proxy.Address();
    std::string error;
    const ProxyUrl parsed = *ParseProxyUrl(url, error);

    TestServer echo(testing::Echo());
    Destination to = To(echo);
    to.proxy = url;
    const std::string asked = "ask " + url + " alice 127.0.0.1:" + std::to_string(echo.Port());
    controller_->Connect(to);
    EXPECT_EQ(view_.log, (Log{asked}));
    controller_->AnswerProxyPassword(std::nullopt, false);
    EXPECT_EQ(view_.log, (Log{asked}));
    EXPECT_FALSE(controller_->HasConnection());

    controller_->Connect(to);
    controller_->AnswerProxyPassword("wrong", true);
    EXPECT_EQ(controller_->StatusText(), "127.0.0.1:" + std::to_string(echo.Port()) + "にプロキシ" +
                                             proxy.Address() + "経由で接続中");
    ASSERT_TRUE(PumpUntil([&] { return !controller_->HasConnection(); }));
    EXPECT_EQ(view_.log[view_.log.size() - 3],
              "warning プロキシ" + proxy.Address() +
                  "の認証に失敗しました。ユーザー名かパスワードが違います\n保存していたパスワー"
                  "ドは消しました。次の接続で尋ねます");
    EXPECT_FALSE(LoadProxyPassword(settings, parsed));

    view_.log.clear();
    controller_->Connect(to);
    EXPECT_EQ(view_.log, (Log{asked}));
    controller_->AnswerProxyPassword("s3cret", true);
    view_.sendPage = "through";
    controller_->Send();
    ASSERT_TRUE(PumpUntil([&] { return view_.receivePage == "through"; }));
    EXPECT_EQ(view_.peer, "127.0.0.1:" + std::to_string(echo.Port()) + " (プロキシ " +
                              proxy.Address() + " 経由)");
    controller_->Disconnect();
    ASSERT_TRUE(PumpUntil([&] { return !controller_->HasConnection(); }));

    // Kept: the next connection through it asks nothing, here as the environment's proxy.
    TestServer second(testing::Echo());
    environment_["all_proxy"] = url;
    view_.log.clear();
    controller_->Connect(To(second));
    EXPECT_EQ(view_.log.front(), "look connected");
    view_.sendPage = "again";
    controller_->Send();
    ASSERT_TRUE(PumpUntil([&] { return view_.receivePage == "throughagain"; }));
    controller_->Disconnect();
    ASSERT_TRUE(PumpUntil([&] { return !controller_->HasConnection(); }));

    // A proxy text that cannot be used is a warning, and nothing else happens.
    StoreOptions(s_, [] {
        OptionValues values;
        values.SetText(Option::Proxy, "ftp://nowhere");
        return values;
    }());
    view_.log.clear();
    controller_->Connect(To(second));
    EXPECT_TRUE(view_.log.empty());
    ASSERT_EQ(view_.warnings.size(), 1u);
    EXPECT_TRUE(view_.warnings[0].starts_with("オプションのプロキシを使えません: "))
        << view_.warnings[0];
}

TEST_F(ControllerTest, SendWithoutConnectionDoesNothing) {
    SetOption(s_, OptionKey(Option::ConSenClear), 1);
    view_.sendPage = "kept";
    controller_->Send();
    EXPECT_TRUE(view_.log.empty());
    EXPECT_EQ(view_.sendPage, "kept");
}

TEST_F(ControllerTest, ASecondConnectWhileTheFirstIsEndingIsNotConfused) {
    TestServer first(testing::Echo());
    TestServer second(testing::Echo());
    controller_->Connect(To(first));
    controller_->Disconnect();
    controller_->Connect(To(second)); // before the first connection's end was taken
    view_.log.clear();
    view_.sendPage = "to second";
    controller_->Send();
    ASSERT_TRUE(PumpUntil([&] { return view_.receivePage == "to second"; }));
    std::this_thread::sleep_for(100ms);
    controller_->ProcessEvents();
    EXPECT_EQ(view_.log, (Log{"read send page", "show receive page", "append"}))
        << "nothing from the first connection";
    EXPECT_TRUE(controller_->ConnectedLook());
    EXPECT_EQ(controller_->StatusText(), Connecting(second).substr(7));
}

TEST_F(ControllerTest, AConnectDuringTheEndMessageKeepsItsOwnLook) {
    // A message box runs the window's event loop; whatever the user starts meanwhile must not be
    // overwritten when the box closes.
    testing::RefusedPort refused;
    TestServer server(testing::Echo());
    view_.onMessage = [&] {
        view_.onMessage = nullptr;
        controller_->ProcessEvents();
        controller_->Connect(To(server));
    };
    controller_->Connect({"127.0.0.1", refused.Port()});
    ASSERT_TRUE(PumpUntilLogged("warning 接続に失敗しました"));
    EXPECT_TRUE(controller_->ConnectedLook());
    EXPECT_EQ(view_.log.back(), Connecting(server));
    EXPECT_TRUE(controller_->HasConnection());
}

TEST_F(ControllerTest, ClosingWhileConnectedIsQuietAndQuick) {
    TestServer server(testing::Flood(SIZE_MAX));
    controller_->Connect(To(server));
    ASSERT_TRUE(PumpUntil([&] { return view_.receivePage.size() > 100000; }));
    view_.log.clear();
    const auto start = std::chrono::steady_clock::now();
    controller_->Close();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    controller_->ProcessEvents();
    EXPECT_TRUE(view_.log.empty());
    EXPECT_FALSE(controller_->HasConnection());
}

TEST_F(ControllerTest, TheEndIsToldOnlyAfterThePageHasEverythingBeforeIt) {
    // Far more than one step of the page: the end waits for the backlog, step by step.
    const std::string all = testing::Pattern(0, 3 * ReceiveFlow::kBacklogHigh);
    TestServer server(testing::SendThenClose(all));
    controller_->Connect(To(server));
    std::size_t stepsBeforeTheEnd = 0;
    std::size_t shown = 0;
    ASSERT_TRUE(PumpUntil([&] {
        if (!controller_->HasConnection()) return true;
        if (view_.receivePage.size() != shown) ++stepsBeforeTheEnd;
        shown = view_.receivePage.size();
        return false;
    }));
    EXPECT_GT(stepsBeforeTheEnd, 1u);
    EXPECT_EQ(view_.log.back(), "look disconnected");
    EXPECT_FALSE(controller_->Busy());
    ReceivedText decoder;
    EXPECT_EQ(view_.receivePage, decoder.Feed(all) + decoder.Flush());
}

} // namespace
} // namespace tarvotcpc

namespace tarvotcpc {
namespace {

// A full disk under the transcript: reading pauses (the connection's queue stays near its limit
// while the peer has far more to send), the status says why, and once the disk has room every
// byte arrives in order; nothing is dropped.
// With 自動判別 the page reads a connection as its bytes are detected, and a send that follows
// the view goes out so too; a choice of the user's is never switched away by what arrives.
TEST_F(ControllerTest, DetectedEncodingServesOnlyAnAutomaticPage) {
    const std::string japanese =
        "受信データの文字コードを判別します。吾輩は猫である。名前はまだ無い。"
        "どこで生れたかとんと見当がつかぬ。薄暗い所で泣いていた事だけは記憶している。";
    const SendBytes sjis = EncodeForSend(japanese, Encoding::ShiftJis, LineEnding::Crlf, false);
    ASSERT_TRUE(sjis.ok);
    // Greets in Shift_JIS, then echoes.
    auto greetThenEcho = [&](int fd, TestServer &server) {
        if (send(fd, sjis.bytes.data(), sjis.bytes.size(), MSG_NOSIGNAL) < 0) return;
        testing::Echo()(fd, server);
    };
    const auto receivedSize = [&] {
        uint64_t n = 0;
        for (const Chunk &c : controller_->KeptTranscript().Chunks())
            n += c.direction == Direction::Received ? c.size : 0;
        return n;
    };

    SetOption(s_, OptionKey(Option::ConReClear), 1);
    ASSERT_TRUE(VornSetHash(&s_.options, OptionKey(Option::ViewEncoding), 0, "auto", -1));
    {
        TestServer server(greetThenEcho);
        controller_->Connect(To(server));
        ASSERT_TRUE(PumpUntil([&] { return receivedSize() == sjis.bytes.size(); }));
        EXPECT_EQ(controller_->ViewEncoding().InForce(), Encoding::ShiftJis);
        EXPECT_EQ(controller_->ViewEncoding().Label(), "検出: Shift_JIS");
        EXPECT_GE(view_.pageEncodingChanged, 1);
        view_.sendPage = "はい";
        controller_->Send();
        const std::string echoed =
            EncodeForSend("はい", Encoding::ShiftJis, LineEnding::Crlf, false).bytes;
        ASSERT_TRUE(PumpUntil([&] { return receivedSize() == sjis.bytes.size() + echoed.size(); }));
        std::string last;
        ASSERT_TRUE(controller_->KeptTranscript().Read(
            controller_->KeptTranscript().Size() - echoed.size(), echoed.size(), last));
        EXPECT_EQ(last, echoed) << "the send followed the detected encoding";
        controller_->Disconnect();
    }
    // The user's own choice stands, whatever the bytes look like.
    ASSERT_TRUE(VornSetHash(&s_.options, OptionKey(Option::ViewEncoding), 0, "euc-jp", -1));
    {
        TestServer server(greetThenEcho);
        controller_->Connect(To(server));
        ASSERT_TRUE(PumpUntil([&] { return receivedSize() == sjis.bytes.size(); }));
        EXPECT_EQ(controller_->ViewEncoding().InForce(), Encoding::EucJp);
        EXPECT_EQ(controller_->ViewEncoding().Label(), "EUC-JP");
        controller_->Disconnect();
    }
    // Automatic at every connection: detected until the user chooses, then the choice holds.
    SetOption(s_, OptionKey(Option::ViewAutoDetect), 1);
    {
        TestServer server(greetThenEcho);
        controller_->Connect(To(server));
        EXPECT_TRUE(controller_->ViewEncoding().Automatic());
        ASSERT_TRUE(PumpUntil([&] { return receivedSize() == sjis.bytes.size(); }));
        EXPECT_EQ(controller_->ViewEncoding().InForce(), Encoding::ShiftJis);
        controller_->ChooseViewEncoding(Encoding::Utf8);
        view_.sendPage = japanese;
        controller_->Send();
        ASSERT_TRUE(
            PumpUntil([&] { return receivedSize() >= sjis.bytes.size() + japanese.size(); }));
        EXPECT_EQ(controller_->ViewEncoding().InForce(), Encoding::Utf8);
        EXPECT_EQ(controller_->ViewEncoding().Label(), "UTF-8");
    }
}

TEST(ControllerTranscript, RepliesAreReadAsTheOptionsAndEachConnectionsPortSay) {
    SettingsHashes s{};
    ASSERT_TRUE(VornAllocHash(&s.options, 0, 0) && VornReAllocHash(&s.options, 0));
    ASSERT_TRUE(VornAllocHash(&s.hosts, 0, 0) && VornReAllocHash(&s.hosts, 0));
    ASSERT_TRUE(VornAllocHash(&s.templates, 0, 0) && VornReAllocHash(&s.templates, 0));
    ASSERT_TRUE(VornSetHash(&s.options, OptionKey(Option::ViewProtocol), 0, "auto", -1));
    FakeView view;
    {
        // Redis's port, reached through a loopback server of the test's own.
        TestServer server(testing::Silent());
        MainController controller(
            view, s, [] {},
            [port = server.Port()](const Destination &, ConnectionOptions options) {
                return std::make_unique<Connection>("127.0.0.1", port, std::move(options));
            });
        controller.Start();
        controller.Connect({"127.0.0.1", 6379});
        const uint32_t redis = controller.KeptTranscript().Connection();
        EXPECT_EQ(controller.ProtocolOf(redis), Protocol::Resp);
        controller.Connect({"127.0.0.1", 4242});
        EXPECT_EQ(controller.ProtocolOf(controller.KeptTranscript().Connection()), std::nullopt);
        EXPECT_EQ(controller.ProtocolOf(redis), Protocol::Resp) << "its part is still Redis's";
        EXPECT_EQ(view.pageProtocolChanged, 0);

        // A choice stored by the options dialog is in force at once.
        ASSERT_TRUE(VornSetHash(&s.options, OptionKey(Option::ViewProtocol), 0, "smtp", -1));
        controller.ViewOptionsChanged();
        EXPECT_EQ(view.pageProtocolChanged, 1);
        EXPECT_EQ(controller.ProtocolOf(redis), Protocol::Smtp);
        controller.ViewOptionsChanged();
        EXPECT_EQ(view.pageProtocolChanged, 1);
        controller.Close();
    }
    FreeSettings(s);
}

TEST(ControllerTranscript, AFullDiskPausesReadingAndLosesNothing) {
    constexpr std::size_t kSize = 12 * 1024 * 1024;
    TestServer server(testing::Flood(kSize));
    std::atomic<bool> full{true};
    TranscriptOptions store;
    store.memoryLimit = 0; // every byte goes through the writer
    store.write = [&full](int fd, const void *data, std::size_t size, off_t offset) -> ssize_t {
        if (full.load()) {
            errno = ENOSPC;
            return -1;
        }
        return pwrite(fd, data, size, offset);
    };
    SettingsHashes s{};
    ASSERT_TRUE(VornAllocHash(&s.options, 0, 0) && VornReAllocHash(&s.options, 0));
    ASSERT_TRUE(VornAllocHash(&s.hosts, 0, 0) && VornReAllocHash(&s.hosts, 0));
    ASSERT_TRUE(VornAllocHash(&s.templates, 0, 0) && VornReAllocHash(&s.templates, 0));
    FakeView view;
    {
        MainController controller(
            view, s, [] {}, {}, store);
        controller.Connect({"127.0.0.1", server.Port()});
        const auto pumpFor = [&](std::chrono::milliseconds span) {
            for (const auto end = std::chrono::steady_clock::now() + span;
                 std::chrono::steady_clock::now() < end;) {
                controller.ProcessEvents();
                std::this_thread::sleep_for(5ms);
            }
        };
        pumpFor(600ms);
        // What the transcript took before the first write failed stays in its memory.
        EXPECT_LE(controller.KeptTranscript().Size(), 2u * 256 * 1024) << "two reads at most";
        EXPECT_EQ(controller.StatusText(), TranscriptStalledText(ENOSPC));
        EXPECT_LT(controller.QueuedBytes(), kSize / 2) << "the connection went on reading";
        EXPECT_TRUE(controller.HasConnection());

        full = false;
        for (auto end = std::chrono::steady_clock::now() + 30s;
             controller.Busy() && std::chrono::steady_clock::now() < end;)
            pumpFor(10ms);
        const Transcript &kept = controller.KeptTranscript();
        ASSERT_EQ(kept.Size(), kSize);
        std::string bytes;
        ASSERT_TRUE(kept.Read(0, kSize, bytes));
        EXPECT_TRUE(testing::MatchesPattern(0, bytes));
        EXPECT_EQ(controller.StatusText(), "切断しました");
    }
    FreeSettings(s);
}

// A repeat marks each send in the record just before its bytes, with the markers replaced afresh
// each time and the question asked once; it stops at the end of the connection, and, leaving the
// connection up, when the peer stops reading.
TEST_F(ControllerTest, ARepeatMarksItsSendsAndStopsAtTheEndAndWhenThePeerStopsReading) {
    SetOption(s_, OptionKey(Option::Placeholders), 1);
    const auto runRepeat = [&] {
        return PumpUntil([&] {
            controller_->RepeatTick();
            return !controller_->Repeat().Running();
        });
    };
    {
        // Reads five requests, then closes.
        TestServer server([](int fd, TestServer &) {
            std::string got;
            char buffer[256];
            while (std::count(got.begin(), got.end(), '\n') < 5) {
                const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
                if (n <= 0) return;
                got.append(buffer, static_cast<std::size_t>(n));
            }
        });
        controller_->Connect(To(server));
        view_.sendPage = "n=%counter% %?who%\n";
        view_.answers = std::vector<std::string>{"me"};
        ASSERT_TRUE(controller_->StartRepeat({5, 0}));
        ASSERT_TRUE(runRepeat());
        ASSERT_TRUE(PumpUntil([&] { return !controller_->Busy(); }));
        EXPECT_EQ(view_.asked, (std::vector<std::vector<std::string>>{{"who"}}));
        // Stopped with the connection's own end (the peer closed, or reset what came after).
        const std::string &stopped = view_.repeats.back();
        const std::size_t why = stopped.find("): ");
        ASSERT_EQ(stopped.rfind("繰り返し送信を停止しました (", 0), 0u) << stopped;
        ASSERT_NE(why, std::string::npos) << stopped;
        EXPECT_EQ(controller_->StatusText().rfind(stopped.substr(why + 3), 0), 0u) << stopped;
        const Transcript &kept = controller_->KeptTranscript();
        const std::string sent = BytesOf(kept, Direction::Sent);
        ASSERT_GE(kept.Notes().size(), 5u);
        std::string expected;
        for (std::size_t k = 0; k < kept.Notes().size(); ++k) {
            EXPECT_EQ(kept.Notes()[k].text, "繰り返し送信 " + std::to_string(k + 1));
            EXPECT_EQ(kept.Notes()[k].offset, expected.size());
            expected += "n=" + std::to_string(k + 1) + " me\r\n";
        }
        EXPECT_EQ(sent, expected);
    }
    // A peer that never reads: the sends fill the system's buffers, then the repeat stops before
    // more than two pages wait in the connection.
    TestServer silent(testing::Silent());
    view_.repeats.clear();
    controller_->Connect(To(silent));
    view_.sendPage = std::string(200 * 1024, 'x') + "%counter%\n";
    ASSERT_TRUE(controller_->StartRepeat({1, 0}));
    ASSERT_TRUE(runRepeat());
    EXPECT_NE(view_.repeats.back().find("相手が受信していません"), std::string::npos)
        << view_.repeats.back();
    EXPECT_TRUE(controller_->HasConnection());
    EXPECT_TRUE(controller_->ConnectedLook());
}

// The listening side over TLS, the page in Shift_JIS with escapes: each send of a repeat names the
// peer that came (its own address and port), counts, and reaches it decrypted byte for byte.
TEST_F(ControllerTest, ARepeatWhileListeningOverTlsNamesThePeerInEachSend) {
    SetOption(s_, OptionKey(Option::Placeholders), 1);
    SetOption(s_, OptionKey(Option::SendEscapes), 1);
    ASSERT_TRUE(VornSetHash(&s_.options, OptionKey(Option::SendEncoding), 0, "shift_jis", -1));
    ListenParams params;
    params.tls = true;
    const ListenOutcome outcome = controller_->Listen(params);
    ASSERT_TRUE(outcome.listening) << outcome.text;
    std::string status;
    for (const std::string &entry : view_.log)
        if (entry.rfind("status 127.0.0.1:", 0) == 0) status = entry;
    ASSERT_FALSE(status.empty());
    const std::string port = std::to_string(std::stoi(status.substr(17)));
    testing::PeerProcess peer(
        {"openssl", "s_client", "-connect", "127.0.0.1:" + port, "-quiet", "-no_ign_eof"});
    ASSERT_TRUE(PumpUntil([&] { return controller_->ConnectedLook() && !view_.peer.empty(); }))
        << peer.Output();
    // "相手: 127.0.0.1:<port>", and while the handshake runs, what it waits for.
    const std::size_t at = view_.peer.find("127.0.0.1:");
    ASSERT_NE(at, std::string::npos) << view_.peer;
    const std::string peerPort = std::to_string(std::stoi(view_.peer.substr(at + 10)));
    view_.sendPage = "%counter% 日本 %host% %port%\\x00\n";
    ASSERT_TRUE(controller_->StartRepeat({10, 3}));
    ASSERT_TRUE(PumpUntil([&] {
        controller_->RepeatTick();
        return !controller_->Repeat().Running();
    }));
    std::string expected;
    for (int n = 1; n <= 3; ++n)
        expected += std::to_string(n) + " \x93\xfa\x96\x7b 127.0.0.1 " + peerPort +
                    std::string(1, '\0') + "\r\n";
    EXPECT_TRUE(peer.WaitFor(expected, 10s)) << peer.Output();
    ASSERT_TRUE(PumpUntil([&] { return controller_->KeptTranscript().Notes().size() >= 3; }));
    const Transcript &kept = controller_->KeptTranscript();
    EXPECT_EQ(BytesOf(kept, Direction::Sent), expected);
    EXPECT_EQ(kept.Notes().back().text, "繰り返し送信 3/3");
    EXPECT_EQ(view_.repeats.back(), "繰り返し送信 3/3 完了");
}

} // namespace
} // namespace tarvotcpc
