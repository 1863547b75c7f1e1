// The controller's automatic replies against a real peer: two rules answering one line go out in
// the order their matches ended, each behind its own mark in the record (however the socket's
// writes of the two were told), with the bytes the peer read, and the answer to the cue its time;
// switching on without rules is refused with a warning.
#include "session/controller.hpp"
#include "session/reply_settings.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include <sys/socket.h>

#include <condition_variable>
#include <mutex>

#include "support/temp_dir.hpp"
#include "support/test_servers.hpp"

namespace tarvotcpc {
namespace {

using namespace std::chrono_literals;

class QuietView : public MainView {
  public:
    std::string page;
    std::vector<std::string> warnings;
    bool repliesOn = false;
    std::string SendPageText() override { return page; }
    void ClearSendPage() override {}
    void ClearReceivePage() override {}
    void TranscriptAppended() override {}
    void ShowReceivePage() override {}
    void SetConnectedLook(bool) override {}
    void SetStatusText(const std::string &) override {}
    void ShowMessage(const std::string &, MessageStyle) override {}
    void ShowWarning(const std::string &text) override { warnings.push_back(text); }
    void SetAutoRepliesOn(bool on) override { repliesOn = on; }
};

// Waits for the line "go" (in whatever line ending), says "PING 7", then records what comes until
// the client closes.
testing::TestServer::Behaviour PingOnCue() {
    return [](int fd, testing::TestServer &server) {
        char buffer[4096];
        std::string got;
        while (got.find('\n') == std::string::npos) {
            const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) return;
            got.append(buffer, std::size_t(n));
        }
        [[maybe_unused]] const ssize_t sent = send(fd, "PING 7\r\n", 8, MSG_NOSIGNAL);
        for (ssize_t n; (n = recv(fd, buffer, sizeof buffer, 0)) > 0;)
            server.Record(buffer, std::size_t(n));
    };
}

class ControllerRepliesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        for (Hash *hash : {&s_.options, &s_.hosts, &s_.templates})
            ASSERT_TRUE(VornAllocHash(hash, 0, 0) && VornReAllocHash(hash, 0));
        controller_ = std::make_unique<MainController>(view_, s_, [this] {
            std::lock_guard<std::mutex> lock(mutex_);
            woken_ = true;
            cv_.notify_all();
        });
        controller_->SetSettingsPath(dir_.Path("tarvotcpc.ini"));
        controller_->Start();
    }
    void TearDown() override {
        controller_.reset();
        FreeSettings(s_);
    }
    bool PumpUntil(const std::function<bool()> &done) {
        const auto deadline = std::chrono::steady_clock::now() + 20s;
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

    testing::TempDir dir_;
    SettingsHashes s_{};
    QuietView view_;
    std::mutex mutex_;
    std::condition_variable cv_;
    bool woken_ = false;
    std::unique_ptr<MainController> controller_;
};

TEST_F(ControllerRepliesTest, EachReplyIsMarkedWhereItsBytesStart) {
    ASSERT_TRUE(SaveReplyRules(dir_.Path("tarvotcpc.ini"),
                               {{"first", ReplyMatch::Regex, "PING (\\d+)", "A%1%"},
                                {"second", ReplyMatch::Contains, "\r\n", "B\n"}}));
    testing::TestServer server(PingOnCue());
    controller_->Connect({"127.0.0.1", server.Port()});
    ASSERT_TRUE(controller_->SetAutoReplies(true));
    EXPECT_TRUE(view_.repliesOn);
    view_.page = "go\n";
    controller_->Send();

    const Transcript &record = controller_->KeptTranscript();
    ASSERT_TRUE(PumpUntil([&] { return record.Notes().size() == 2; }));
    const std::vector<Note> &notes = record.Notes();
    EXPECT_EQ(notes[0].text, "自動応答: first");
    EXPECT_EQ(notes[1].text, "自動応答: second");
    std::string bytes;
    for (const Note &note : notes) {
        EXPECT_EQ(note.kind, NoteKind::Automatic);
        const Chunk &chunk = record.Chunks()[record.ChunkAt(note.offset)];
        EXPECT_EQ(chunk.offset, note.offset);
        EXPECT_EQ(chunk.direction, Direction::Sent);
        ASSERT_TRUE(record.Read(chunk.offset, std::size_t(chunk.size), bytes));
        EXPECT_EQ(bytes, note.text == "自動応答: first" ? "A7" : "B\r\n");
    }
    // The peer read the replies after the cue, in the order of their matches' ends.
    controller_->Disconnect();
    ASSERT_TRUE(PumpUntil([&] { return !controller_->HasConnection(); }));
    // The server's thread reads them in its own time, up to the end the disconnect made.
    for (const auto until = std::chrono::steady_clock::now() + 10s;
         server.Recorded().size() < 5 && std::chrono::steady_clock::now() < until;)
        std::this_thread::sleep_for(5ms);
    EXPECT_EQ(server.Recorded(), "A7B\r\n");
    EXPECT_FALSE(view_.repliesOn);

    // The answer to the cue has its time, at its first byte.
    ASSERT_EQ(record.ReplyTimes().size(), 1u);
    const Chunk &answer = record.Chunks()[record.ChunkAt(record.ReplyTimes()[0].offset)];
    EXPECT_EQ(answer.direction, Direction::Received);
    EXPECT_EQ(answer.offset, record.ReplyTimes()[0].offset);
}

TEST_F(ControllerRepliesTest, WithoutRulesNothingIsSwitchedOn) {
    testing::TestServer server(testing::Silent());
    EXPECT_FALSE(controller_->SetAutoReplies(true)) << "no connection";
    controller_->Connect({"127.0.0.1", server.Port()});
    EXPECT_FALSE(controller_->SetAutoReplies(true));
    EXPECT_FALSE(controller_->AutoRepliesOn());
    EXPECT_FALSE(view_.repliesOn);
    ASSERT_EQ(view_.warnings.size(), 1u);
    EXPECT_NE(view_.warnings[0].find("自動応答の規則"), std::string::npos);
}

} // namespace
} // namespace tarvotcpc
