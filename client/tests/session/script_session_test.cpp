// A script run from the window's controller against a real redis-server: its sends are kept as
// the socket took them, its waits and notes stand in the record, its steps in the status bar, a
// failure is told with its line; the record it left makes a script that replays the exchange, and
// a script stops on request and with the window.
#include "replay/script_maker.hpp"
#include "saves/transcript_source.hpp"
#include "session/controller.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>

#include "support/proxy_programs.hpp"
#include "support/peer_process.hpp"
#include "support/temp_dir.hpp"

namespace tarvotcpc {
namespace {

using namespace std::chrono_literals;

class ScriptView : public MainView {
  public:
    std::string SendPageText() override { return {}; }
    void ClearSendPage() override {}
    void ClearReceivePage() override {}
    void TranscriptAppended() override {}
    void ShowReceivePage() override {}
    void SetConnectedLook(bool) override {}
    void SetStatusText(const std::string &text) override { statuses.push_back(text); }
    void ShowMessage(const std::string &text, MessageStyle style) override {
        messages.push_back((style == MessageStyle::Warning ? "warning " : "notice ") + text);
    }
    void ScriptRunning(bool running) override { runs.push_back(running); }
    void SetPeerText(const std::string &text) override { peer = text; }
    std::string peer;
    std::vector<std::string> statuses;
    std::vector<std::string> messages;
    std::vector<bool> runs;
};

using testing::FreePort;

class ScriptSessionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(VornAllocHash(&settings_.options, 0, 0) &&
                    VornReAllocHash(&settings_.options, 0));
        ASSERT_TRUE(VornAllocHash(&settings_.hosts, 0, 0) && VornReAllocHash(&settings_.hosts, 0));
        ASSERT_TRUE(VornAllocHash(&settings_.templates, 0, 0) &&
                    VornReAllocHash(&settings_.templates, 0));
        controller_ = std::make_unique<MainController>(view_, settings_, [this] {
            std::lock_guard<std::mutex> lock(mutex_);
            woken_.notify_all();
        });
        controller_->Start();
    }
    void TearDown() override {
        controller_.reset();
        FreeSettings(settings_);
    }

    bool PumpUntil(const std::function<bool()> &done, std::chrono::milliseconds timeout = 30s) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!done()) {
            if (std::chrono::steady_clock::now() >= deadline) return false;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                woken_.wait_for(lock, 10ms);
            }
            controller_->ProcessEvents();
        }
        return true;
    }
    bool RunToEnd(const std::string &source, const std::string &name) {
        controller_->RunScript(source, name);
        return PumpUntil([&] { return !controller_->ScriptRunning(); });
    }
    std::vector<std::string> Notes() const {
        std::vector<std::string> notes;
        for (const Note &note : controller_->KeptTranscript().Notes())
            notes.push_back(note.text);
        return notes;
    }
    std::string Sent() const {
        const Transcript &record = controller_->KeptTranscript();
        std::string sent;
        for (const auto &chunk : record.Chunks()) {
            if (chunk.direction != Direction::Sent) continue;
            std::string bytes;
            EXPECT_TRUE(record.Read(chunk.offset, chunk.size, bytes));
            sent += bytes;
        }
        return sent;
    }

    SettingsHashes settings_{};
    ScriptView view_;
    std::mutex mutex_;
    std::condition_variable woken_;
    std::unique_ptr<MainController> controller_;
};

TEST_F(ScriptSessionTest, AScriptDrivesTheWindowsConnectionAndItsRecordReplays) {
    testing::TempDir dir;
    const uint16_t port = FreePort();
    testing::PeerProcess redis({"redis-server", "--port", std::to_string(port), "--bind",
                                "127.0.0.1", "--save", "", "--appendonly", "no", "--dir",
                                dir.Path()});
    if (!redis.Started()) GTEST_SKIP() << "redis-server is not installed";
    ASSERT_TRUE(redis.WaitFor("Ready to accept connections", 20s)) << redis.Output();

    // Against the connection the user made.
    controller_->Connect({"127.0.0.1", port});
    ASSERT_TRUE(PumpUntil([&] { return view_.peer.rfind("127.0.0.1:", 0) == 0; }));
    ASSERT_TRUE(RunToEnd("send('SET greeting こんにちは\\n')\n"
                         "expect('+OK\\r\\n')\n"
                         "sleep(0.05)\n"
                         "send('GET greeting\\n') expect('こんにちは\\r\\n')\n"
                         "log('done ' .. vars.host .. ' ' .. vars.port)\n",
                         "login.lua"));
    EXPECT_EQ(view_.runs, (std::vector<bool>{true, false}));
    EXPECT_TRUE(view_.messages.empty()) << view_.messages.front();
    EXPECT_EQ(Sent(), "SET greeting こんにちは\r\nGET greeting\r\n");
    const std::vector<std::string> notes = Notes();
    ASSERT_EQ(notes.size(), 5u) << ::testing::PrintToString(notes);
    EXPECT_EQ(notes[0], "スクリプト: login.lua:2: expect: 「+OK\\r\\n」を待ちます (10秒まで)")
        << notes[0];
    EXPECT_EQ(notes[1].rfind("スクリプト: login.lua:3: sleep: ", 0), 0u) << notes[1];
    EXPECT_EQ(notes[2].rfind("スクリプト: login.lua:4: expect: ", 0), 0u) << notes[2];
    // vars holds the placeholders of the connection.
    EXPECT_EQ(notes[3], "スクリプト: done 127.0.0.1 " + std::to_string(port));
    EXPECT_EQ(notes[4], "スクリプト: スクリプトが最後まで実行されました");
    EXPECT_EQ(controller_->StatusText(), "スクリプトが最後まで実行されました");
    // Each step showed in the status bar as it began.
    EXPECT_NE(std::find(view_.statuses.begin(), view_.statuses.end(),
                        "login.lua:4: send: 「GET greeting\\n」"),
              view_.statuses.end())
        << ::testing::PrintToString(view_.statuses);

    // The record made into a script and run again from a disconnected window: it connects
    // itself and meets the same answers.
    ScriptMakerOptions options;
    options.target = [this](uint64_t c) { return controller_->ScriptTargetOf(uint32_t(c)); };
    const std::string replay =
        ScriptFromRecord(TranscriptSource(controller_->KeptTranscript()), options);
    controller_->Disconnect();
    ASSERT_TRUE(PumpUntil([&] { return !controller_->HasConnection(); }));
    view_.messages.clear();
    ASSERT_TRUE(RunToEnd(replay, "replay.lua"));
    EXPECT_EQ(controller_->StatusText(), "スクリプトが最後まで実行されました") << replay;
    EXPECT_EQ(Sent(), "SET greeting こんにちは\r\nGET greeting\r\n"
                      "SET greeting こんにちは\r\nGET greeting\r\n");

    // A failure is told with the script's line, in a box and the status bar.
    view_.messages.clear();
    ASSERT_TRUE(RunToEnd("send('PING\\n')\nexpect('+PANG', 0.2)\n", "fail.lua"));
    ASSERT_EQ(view_.messages.size(), 1u);
    EXPECT_EQ(view_.messages[0].rfind("warning fail.lua:2: expect: ", 0), 0u) << view_.messages[0];
    EXPECT_EQ(controller_->StatusText(), view_.messages[0].substr(8));
}

TEST_F(ScriptSessionTest, AScriptStopsOnRequestAndWithTheWindow) {
    controller_->RunScript("while true do sleep(3600) end", "forever.lua");
    ASSERT_TRUE(
        PumpUntil([&] { return controller_->StatusText().find("sleep") != std::string::npos; }));
    controller_->StopScript();
    ASSERT_TRUE(PumpUntil([&] { return !controller_->ScriptRunning(); }));
    EXPECT_EQ(controller_->StatusText(), "スクリプトを止めました");
    EXPECT_TRUE(view_.messages.empty());

    // Closing the window with a script inside a long wait returns rather than waiting for it.
    controller_->RunScript("local x = 0 while true do x = x + 1 end", "busy.lua");
    controller_->Close();
    EXPECT_FALSE(controller_->ScriptRunning());
}

} // namespace
} // namespace tarvotcpc
