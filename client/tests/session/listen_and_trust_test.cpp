// The controller as the listening side and as the keeper of pins, against real peers on loopback:
// where it listens and what the status says of it, the certificate it keeps while listening
// again, and what "always trust" says when the pin cannot be kept.
#include "session/controller.hpp"
#include "settings/options.hpp"
#include "hosts/trust_store.hpp"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <fstream>
#include <mutex>

#include <gtest/gtest.h>

#include "support/peer_process.hpp"
#include "support/temp_dir.hpp"

namespace tarvotcpc {
namespace {

using namespace std::chrono_literals;
using testing::CertKind;
using testing::PeerProcess;
using testing::TempDir;
using testing::TestPki;

class RecordingView : public MainView {
  public:
    std::string SendPageText() override { return {}; }
    void ClearSendPage() override {}
    void ClearReceivePage() override {}
    void TranscriptAppended() override {}
    void ShowReceivePage() override {}
    void SetConnectedLook(bool) override {}
    void SetStatusText(const std::string &text) override { status = text; }
    void ShowMessage(const std::string &text, MessageStyle) override { messages.push_back(text); }
    void ShowWarning(const std::string &text) override { warnings.push_back(text); }
    void SetPeerText(const std::string &text) override { peer = text; }
    void AskCertificate(const CertificateQuestion &question) override {
        questions.push_back(question);
    }

    std::string status;
    std::string peer;
    std::vector<std::string> messages;
    std::vector<std::string> warnings;
    std::vector<CertificateQuestion> questions;
};

class ListenAndTrust : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(VornAllocHash(&s_.options, 0, 0) && VornReAllocHash(&s_.options, 0));
        ASSERT_TRUE(VornAllocHash(&s_.hosts, 0, 0) && VornReAllocHash(&s_.hosts, 0));
        ASSERT_TRUE(VornAllocHash(&s_.templates, 0, 0) && VornReAllocHash(&s_.templates, 0));
    }
    void TearDown() override {
        controller_.reset();
        FreeSettings(s_);
    }
    // Every name reaches loopback, so that names the settings file cannot hold can be tried.
    void MakeController() {
        controller_ = std::make_unique<MainController>(
            view_, s_,
            [this] {
                std::lock_guard<std::mutex> lock(mutex_);
                woken_ = true;
                cv_.notify_all();
            },
            [](const Destination &params, ConnectionOptions options) {
                options.resolver = [](const std::string &, uint16_t port) {
                    Resolution loopback;
                    SocketAddress address;
                    NumericAddress("127.0.0.1", port, address);
                    loopback.addresses.push_back(address);
                    return loopback;
                };
                return std::make_unique<Connection>(params.host, params.port, std::move(options));
            });
        controller_->Start();
    }
    bool PumpUntil(const std::function<bool()> &done, std::chrono::milliseconds timeout = 15s) {
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
    // The port of "<address>:<port>..." in the status.
    uint16_t StatusPort() const {
        const std::string &status = view_.status;
        const std::size_t colon =
            status.find(':', status.rfind(']') == std::string::npos ? 0 : status.rfind(']'));
        return colon == std::string::npos
                   ? 0
                   : static_cast<uint16_t>(std::stoi(status.substr(colon + 1)));
    }

    TempDir dir_;
    SettingsHashes s_{};
    RecordingView view_;
    std::mutex mutex_;
    std::condition_variable cv_;
    bool woken_ = false;
    std::unique_ptr<MainController> controller_;
};

int ConnectLoopback(uint16_t port) {
    SocketAddress address;
    NumericAddress("127.0.0.1", port, address);
    return ConnectFirst({address}, -1).fd;
}

// Without a choice only this computer can reach the port; every address only when chosen, and
// the status says so; an address given is the one bound.
TEST_F(ListenAndTrust, LoopbackUnlessChosenAndTheStatusSaysWhere) {
    MakeController();
    struct Case {
        BindChoice bind;
        std::string address;
        std::string shown; // how the status starts
        std::string every; // what it says of every address, or nothing
    };
    const Case cases[] = {
        {BindChoice::Loopback, "", "127.0.0.1:", ""},
        {BindChoice::All, "", "[::]:", "(すべてのIPv6とIPv4アドレス)"},
        {BindChoice::IPv4, "", "0.0.0.0:", "(すべてのIPv4アドレス)"},
        {BindChoice::Address, "127.1", "127.0.0.1:", ""},
        {BindChoice::Address, "0.0.0.0", "0.0.0.0:", "(すべてのIPv4アドレス)"},
        {BindChoice::Address, "::", "[::]:", "(すべてのIPv6とIPv4アドレス)"},
    };
    ListenParams defaults;
    EXPECT_EQ(defaults.bind, BindChoice::Loopback);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.address.empty() ? std::to_string(static_cast<int>(c.bind)) : c.address);
        ListenParams params;
        params.bind = c.bind;
        params.address = c.address;
        const ListenOutcome outcome = controller_->Listen(params);
        ASSERT_TRUE(outcome.listening) << outcome.text;
        // A system without IPv6 takes every IPv4 address for every address.
        const bool ipv4Only = c.shown == "[::]:" && view_.status.rfind("0.0.0.0:", 0) == 0;
        EXPECT_EQ(view_.status.rfind(ipv4Only ? "0.0.0.0:" : c.shown, 0), 0u) << view_.status;
        EXPECT_EQ(view_.status.find("すべて") != std::string::npos, !c.every.empty())
            << view_.status;
        if (!c.every.empty() && !ipv4Only) {
            EXPECT_NE(view_.status.find(c.every), std::string::npos) << view_.status;
        }
        const int peer = ConnectLoopback(StatusPort());
        EXPECT_GE(peer, 0) << view_.status;
        EXPECT_TRUE(PumpUntil([&] { return !controller_->Listening(); })) << view_.status;
        if (peer >= 0) close(peer);
        ASSERT_TRUE(PumpUntil([&] { return !controller_->HasConnection(); }));
    }
    // Not an address: refused with the reason, nothing bound.
    ListenParams name;
    name.bind = BindChoice::Address;
    name.address = "localhost";
    EXPECT_FALSE(controller_->Listen(name).listening);
    EXPECT_EQ(view_.messages.back(), NotAnAddressText("localhost"));
}

// The fingerprint a peer pins after the first listen still holds for the next peer: listening
// again keeps the generated key and certificate.
TEST_F(ListenAndTrust, ListeningAgainKeepsTheGeneratedCertificate) {
    SetOption(s_, OptionKey(Option::KeepListening), 1);
    MakeController();
    ListenParams params;
    params.tls = true;
    const ListenOutcome first = controller_->Listen(params);
    ASSERT_TRUE(first.listening) << first.text;
    ASSERT_EQ(first.text.size(), 95u) << first.text;
    const uint16_t port = StatusPort();
    for (int peer = 0; peer < 3; ++peer) {
        SCOPED_TRACE(peer);
        ASSERT_TRUE(PumpUntil([&] { return controller_->Listening(); }));
        EXPECT_EQ(StatusPort(), port);
        const int fd = ConnectLoopback(port);
        ASSERT_GE(fd, 0);
        std::string error;
        auto session = TlsSession::Client(fd, {"127.0.0.1", "", "", first.text, 10s}, error);
        ASSERT_TRUE(session) << error;
        TlsIo step;
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        do {
            step = session->Handshake();
            controller_->ProcessEvents();
            pollfd p{fd, PollEventsFor(step.status), 0};
            if (p.events != 0) poll(&p, 1, 20);
        } while ((step.status == TlsStatus::WantRead || step.status == TlsStatus::WantWrite) &&
                 std::chrono::steady_clock::now() < deadline);
        // Pinned to the first fingerprint: only the same certificate passes without a question.
        EXPECT_EQ(step.status, TlsStatus::Done) << step.text;
        EXPECT_TRUE(session->Verification().pinned);
        session.reset();
        close(fd);
        ASSERT_TRUE(PumpUntil([&] { return !controller_->Listening(); }));
    }
    controller_->Disconnect();
    ASSERT_TRUE(PumpUntil([&] { return !controller_->HasConnection(); }));
}

// "Always trust" where the pin cannot be kept, for a name the settings file cannot hold and for a
// file that cannot be written: a warning says why, nothing is kept, and the connection still goes
// on this once, as asked.
TEST_F(ListenAndTrust, AlwaysTrustThatCannotBeKeptSaysWhyAndConnectsOnce) {
    TestPki pki(dir_.Path());
    const std::string selfSigned = pki.Make(CertKind::SelfSigned, "self");
    std::ofstream(dir_.Path("plain-file")) << "a file, not a folder\n";
    struct Case {
        std::string host;
        std::string settings;
        std::string why;
    };
    const Case cases[] = {
        {"odd=name", dir_.Path("settings.ini"), "書けない文字"},
        {"localhost", dir_.Path("plain-file") + "/settings.ini", "書き込めない"},
    };
    MakeController();
    for (const Case &c : cases) {
        SCOPED_TRACE(c.host);
        PeerProcess server({"openssl", "s_server", "-accept", "127.0.0.1:0", "-cert", selfSigned,
                            "-key", TestPki::KeyOf(selfSigned), "-naccept", "1"});
        ASSERT_TRUE(server.WaitFor("ACCEPT", 10s)) << server.Output();
        server.WaitFor("\n", 1s);
        controller_->SetSettingsPath(c.settings);
        view_.questions.clear();
        view_.warnings.clear();
        controller_->Connect({c.host, server.PortAfter("ACCEPT"), true});
        ASSERT_TRUE(PumpUntil([&] { return !view_.questions.empty(); }));
        controller_->AnswerCertificate(CertificateChoice::Always);
        ASSERT_EQ(view_.warnings.size(), 1u);
        EXPECT_NE(view_.warnings[0].find(c.why), std::string::npos) << view_.warnings[0];
        EXPECT_NE(view_.warnings[0].find("今回だけ接続します"), std::string::npos);
        EXPECT_TRUE(LoadTrustPins(dir_.Path("settings.ini")).empty());
        EXPECT_TRUE(PumpUntil([&] { return view_.peer.find("TLSv1.") != std::string::npos; }))
            << view_.peer;
        controller_->Disconnect();
        ASSERT_TRUE(PumpUntil([&] { return !controller_->HasConnection(); }));
    }
}

} // namespace
} // namespace tarvotcpc
