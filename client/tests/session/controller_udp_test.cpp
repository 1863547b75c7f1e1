// The window's decisions for UDP against real Python peers: each page one datagram and each
// datagram one chunk of the record, the refusals (a page too large, a send with nobody to send it
// to, TLS, a proxy), and the listening side that answers its sender and tells an ICMP error
// without ending anything.
#include <algorithm>
#include <condition_variable>
#include <map>
#include <mutex>

#include <gtest/gtest.h>

#include "saves/saving.hpp"
#include "saves/transcript_source.hpp"
#include "session/controller.hpp"
#include "support/peer_process.hpp"
#include "support/temp_dir.hpp"

namespace tarvotcpc {
namespace {

using namespace std::chrono_literals;
using testing::PeerProcess;

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

// A window that writes down what it is told.
class UdpView : public MainView {
  public:
    std::string sendPage;
    std::string status;
    std::string peer;
    std::vector<std::string> warnings;
    std::vector<std::string> messages;

    std::string SendPageText() override { return sendPage; }
    void ClearSendPage() override {}
    void ClearReceivePage() override {}
    void TranscriptAppended() override {}
    void ShowReceivePage() override {}
    void SetConnectedLook(bool) override {}
    void SetStatusText(const std::string &text) override { status = text; }
    void ShowMessage(const std::string &text, MessageStyle) override { messages.push_back(text); }
    void ShowWarning(const std::string &text) override { warnings.push_back(text); }
    void SetPeerText(const std::string &text) override { peer = text; }
};

class ControllerUdp : public ::testing::Test {
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
        controller_->SetEnvironment([this](const char *name) -> std::optional<std::string> {
            const auto it = environment_.find(name);
            if (it == environment_.end()) return std::nullopt;
            return it->second;
        });
        controller_->Start();
    }
    void TearDown() override {
        controller_.reset();
        FreeSettings(s_);
    }

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
    void Send(std::string page) {
        view_.sendPage = std::move(page);
        controller_->Send();
    }
    // The record as "R:bytes", "S:bytes" and "N:note", in order.
    std::vector<std::string> Record() const {
        std::vector<std::string> out;
        const Transcript &t = controller_->KeptTranscript();
        TranscriptSource source(t);
        for (std::size_t i = 0; i < source.ChunkCount(); ++i) {
            const SavedChunkInfo chunk = source.Chunk(i);
            if (chunk.isNote) {
                out.push_back("N:" + chunk.note);
                continue;
            }
            EXPECT_TRUE(chunk.datagram);
            std::string bytes(chunk.size, '\0');
            source.Read(i, 0, bytes);
            out.push_back((chunk.direction == SavedDirection::Sent ? "S:" : "R:") + bytes);
        }
        return out;
    }

    SettingsHashes s_{};
    UdpView view_;
    std::map<std::string, std::string> environment_;
    std::mutex mutex_;
    std::condition_variable cv_;
    bool woken_ = false;
    std::unique_ptr<MainController> controller_;
};

// Each page goes as one datagram (an empty page as an empty one) and each comes back as one piece
// of the record, however close together; a page too large for a datagram is refused with nothing
// sent; the text save has a header per datagram.
TEST_F(ControllerUdp, EachPageIsOneDatagramAndEachDatagramOneChunk) {
    PeerProcess peer({"python3", UdpPeer(), "echo", "127.0.0.1"});
    ASSERT_TRUE(peer.WaitFor("listening ", 30s)) << peer.Output();
    const int32_t port = peer.PortAfter("listening ");
    controller_->Connect({"127.0.0.1", port, false, "", {}, true});
    EXPECT_EQ(view_.status, "127.0.0.1:" + std::to_string(port) + " (UDP)に接続中");
    Send("one");
    Send("two");
    Send("");
    const std::vector<std::string> expected = {"S:one", "S:two", "N:空のデータグラムを送信",
                                               "R:one", "R:two", "N:空のデータグラムを受信"};
    ASSERT_TRUE(PumpUntil([&] { return Record().size() == expected.size(); })) << peer.Output();
    // The peer answers each as it comes: the record holds them in the order of the wire.
    std::vector<std::string> record = Record();
    EXPECT_EQ(std::count(record.begin(), record.end(), "R:one"), 1);
    std::vector<std::string> sorted = record, want = expected;
    std::sort(sorted.begin(), sorted.end());
    std::sort(want.begin(), want.end());
    EXPECT_EQ(sorted, want);
    EXPECT_EQ(view_.peer, "127.0.0.1:" + std::to_string(port) + "  UDP");

    Send(std::string(65508, 'x'));
    ASSERT_EQ(view_.warnings.size(), 1u);
    EXPECT_NE(view_.warnings[0].find("65508バイト"), std::string::npos) << view_.warnings[0];
    EXPECT_NE(view_.warnings[0].find("65507バイトまで"), std::string::npos) << view_.warnings[0];
    Send(std::string(65507, 'y'));
    ASSERT_TRUE(PumpUntil([&] { return Record().size() == expected.size() + 2; }));
    EXPECT_EQ(Record().back(), "R:" + std::string(65507, 'y'));

    testing::TempDir dir;
    TranscriptSource source(controller_->KeptTranscript());
    SaveJob save(source, SaveKind::Text, dir.Path("udp.txt"));
    while (save.Step()) {
    }
    ASSERT_TRUE(save.Succeeded()) << save.Error();
    const std::string text = testing::ReadFile(dir.Path("udp.txt"));
    std::size_t headers = 0;
    for (std::size_t at = 0; (at = text.find("(データグラム 3バイト)", at)) != std::string::npos;
         ++at)
        ++headers;
    EXPECT_EQ(headers, 4u) << text;

    controller_->Disconnect();
    ASSERT_TRUE(PumpUntil([&] { return !controller_->HasConnection(); }));
    EXPECT_EQ(view_.messages, std::vector<std::string>{"切断しました"});
}

// Listening: a send before any datagram has nobody to go to and is refused; the first sender is
// the peer and gets the answer; once its port is closed, the ICMP error is told in the record and
// the status bar, and the socket listens on.
TEST_F(ControllerUdp, ListeningAnswersItsSenderAndTellsAClosedPort) {
    ListenParams params;
    params.udp = true;
    ASSERT_TRUE(controller_->Listen(params).listening);
    const std::string listening = view_.status;
    ASSERT_NE(listening.find("でUDPを待ち受け中"), std::string::npos) << listening;
    EXPECT_EQ(listening.rfind("127.0.0.1:", 0), 0u) << listening; // loopback unless asked
    const std::string port = listening.substr(10, listening.find("で") - 10);

    Send("early");
    ASSERT_EQ(view_.warnings.size(), 1u);
    EXPECT_NE(view_.warnings[0].find("送り先がありません"), std::string::npos);

    auto talker = std::make_unique<PeerProcess>(
        std::vector<std::string>{"python3", UdpPeer(), "talk", "127.0.0.1", port});
    ASSERT_TRUE(talker->WaitFor("bound ", 30s)) << talker->Output();
    const std::string sender = "127.0.0.1:" + std::to_string(talker->PortAfter("bound "));
    talker->Send("send " + Hex("hi") + "\n");
    ASSERT_TRUE(PumpUntil([&] { return view_.peer == "相手: " + sender; })) << view_.peer;
    Send("back");
    ASSERT_TRUE(talker->WaitFor("reply " + Hex("back"), 30s)) << talker->Output();

    talker.reset(); // its port is closed now
    Send("gone");
    const std::string icmp = "相手のポートに届きませんでした (ICMP port unreachable)";
    ASSERT_TRUE(PumpUntil([&] { return view_.status == "警告: " + icmp; })) << view_.status;
    EXPECT_EQ(Record(), (std::vector<std::string>{"R:hi", "S:back", "S:gone", "N:" + icmp}));
    EXPECT_TRUE(controller_->HasConnection());
    EXPECT_TRUE(view_.messages.empty());
}

// TLS and proxies do not apply to datagrams: refused before anything changes, with "なし" as the
// way around a proxy of the environment.
TEST_F(ControllerUdp, TlsAndProxiesAreRefused) {
    controller_->Connect({"127.0.0.1", 9, true, "", {}, true});
    ASSERT_EQ(view_.warnings.size(), 1u);
    EXPECT_EQ(view_.warnings.back(), kUdpTlsText);
    EXPECT_FALSE(controller_->HasConnection());

    environment_["all_proxy"] = "socks5h://proxy.example:1080";
    controller_->Connect({"127.0.0.1", 9, false, "", {}, true});
    ASSERT_EQ(view_.warnings.size(), 2u);
    EXPECT_NE(view_.warnings.back().find("環境変数all_proxy"), std::string::npos);
    EXPECT_NE(view_.warnings.back().find("「なし」"), std::string::npos);
    EXPECT_FALSE(controller_->HasConnection());
    controller_->Connect({"127.0.0.1", 9, false, "なし", {}, true});
    EXPECT_TRUE(controller_->HasConnection());
    EXPECT_EQ(view_.warnings.size(), 2u);
    controller_->Disconnect();

    ListenParams params;
    params.udp = params.tls = true;
    EXPECT_FALSE(controller_->Listen(params).listening);
    EXPECT_EQ(view_.messages.back(), kUdpTlsText);
}

} // namespace
} // namespace tarvotcpc
