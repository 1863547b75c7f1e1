// A capture of the page's record, end to end: two real connections through the controller become
// two TCP streams between the very addresses and ports the sockets had, each closed as it ended,
// with the bytes each way; tshark follows them and the reader opens them again.
#include "capture/capture_reader.hpp"
#include "capture/transcript_capture.hpp"
#include "session/controller.hpp"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>

#include <condition_variable>
#include <cstdio>
#include <mutex>

#include "support/temp_dir.hpp"
#include "support/test_servers.hpp"

namespace tarvotcpc {
namespace {

using namespace std::chrono_literals;

class QuietView : public MainView {
  public:
    std::string page;
    std::string SendPageText() override { return page; }
    void ClearSendPage() override {}
    void ClearReceivePage() override {}
    void TranscriptAppended() override {}
    void ShowReceivePage() override {}
    void SetConnectedLook(bool) override {}
    void SetStatusText(const std::string &) override {}
    void ShowMessage(const std::string &, MessageStyle) override { ++ends; }
    int ends = 0;
};

// Answers one line with the port the client's socket has, as the server sees it, then closes.
testing::TestServer::Behaviour TellPeerPort() {
    return [](int fd, testing::TestServer &) {
        char buffer[256];
        [[maybe_unused]] const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &length);
        const std::string answer = "port " + std::to_string(ntohs(peer.sin_port)) + "\r\n";
        [[maybe_unused]] const ssize_t sent = send(fd, answer.data(), answer.size(), MSG_NOSIGNAL);
    };
}

std::string Shell(const std::string &command) {
    std::string out;
    FILE *pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return out;
    char buffer[4096];
    std::size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        out.append(buffer, n);
    pclose(pipe);
    return out;
}

TEST(CaptureOfTheRecord, EachConnectionIsAStreamBetweenItsRealEnds) {
    SettingsHashes settings{};
    ASSERT_TRUE(VornAllocHash(&settings.options, 0, 0) && VornReAllocHash(&settings.options, 0));
    ASSERT_TRUE(VornAllocHash(&settings.hosts, 0, 0) && VornReAllocHash(&settings.hosts, 0));
    ASSERT_TRUE(VornAllocHash(&settings.templates, 0, 0) &&
                VornReAllocHash(&settings.templates, 0));
    std::mutex mutex;
    std::condition_variable woken;
    QuietView view;
    testing::TestServer first(TellPeerPort());
    testing::TestServer second(TellPeerPort());
    {
        MainController controller(view, settings, [&] {
            std::lock_guard<std::mutex> lock(mutex);
            woken.notify_all();
        });
        controller.Start();
        const auto runUntilEnds = [&](int ends) {
            const auto deadline = std::chrono::steady_clock::now() + 20s;
            while (view.ends < ends && std::chrono::steady_clock::now() < deadline) {
                {
                    std::unique_lock<std::mutex> lock(mutex);
                    woken.wait_for(lock, 20ms);
                }
                controller.ProcessEvents();
            }
            return view.ends >= ends;
        };
        view.page = "which port?\n";
        controller.Connect({"127.0.0.1", first.Port()});
        controller.Send();
        ASSERT_TRUE(runUntilEnds(1));
        controller.Connect({"127.0.0.1", second.Port()});
        controller.Send();
        ASSERT_TRUE(runUntilEnds(2));

        // What the server saw is what the record names as this side.
        std::string answers;
        const Transcript &record = controller.KeptTranscript();
        ASSERT_TRUE(record.Read(0, record.Size(), answers));
        for (const uint32_t connection : {1u, 2u}) {
            const std::optional<CaptureConnection> ends =
                controller.CaptureConnectionOf(connection);
            ASSERT_TRUE(ends);
            EXPECT_EQ(FormatCaptureAddress(ends->peer),
                      "127.0.0.1:" + std::to_string((connection == 1 ? first : second).Port()));
            EXPECT_NE(answers.find("port " + std::to_string(ends->local.port) + "\r\n"),
                      std::string::npos);
            EXPECT_TRUE(ends->localOpened && ends->ended && ends->closedByPeer);
        }
        EXPECT_FALSE(controller.CaptureConnectionOf(3));

        testing::TempDir dir;
        const std::string path = dir.Path("record.pcapng");
        const TranscriptCapture input(record, [&controller](uint32_t connection) {
            return controller.CaptureConnectionOf(connection);
        });
        CaptureJob job(input, path);
        while (job.Step()) {
        }
        ASSERT_TRUE(job.Succeeded()) << job.Error();
        EXPECT_EQ(job.GuessedConnections(), 0u);

        const std::string local = FormatCaptureAddress(controller.CaptureConnectionOf(2)->local);
        if (!Shell("command -v tshark").empty()) {
            const std::string followed =
                Shell("tshark -r '" + path + "' -q -z follow,tcp,ascii,1 2>/dev/null");
            EXPECT_NE(followed.find("Node 0: " + local + "\n"), std::string::npos) << followed;
            EXPECT_NE(followed.find("which port?\r\n"), std::string::npos) << followed;
        }
        // The reader takes the first stream that carries bytes: the first connection.
        Transcript back;
        const CaptureReadOutcome read = ReadCapture(path, back);
        ASSERT_TRUE(read.ok) << read.error;
        EXPECT_EQ(read.summary.local,
                  FormatCaptureAddress(controller.CaptureConnectionOf(1)->local));
        EXPECT_EQ(read.summary.otherStreams, 1u);
        EXPECT_EQ(read.summary.sent, std::string("which port?\r\n").size());
    }
    FreeSettings(settings);
}

} // namespace
} // namespace tarvotcpc
