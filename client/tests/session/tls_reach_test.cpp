// The controller reaching a server that demands a client certificate (openssl s_server -Verify),
// with the certificate's passphrase asked through the view: asked again when wrong, kept only when
// the user says so, nothing connected while it is asked or when it is cancelled.
#include "session/controller.hpp"
#include "replay/script_maker.hpp"
#include "saves/transcript_source.hpp"
#include "settings/options.hpp"

#include <condition_variable>
#include <mutex>

#include <gtest/gtest.h>

#include "support/peer_process.hpp"
#include "support/temp_dir.hpp"

namespace tarvotcpc {
namespace {

using namespace std::chrono_literals;
using testing::CertKind;
using testing::ClientFiles;
using testing::PeerProcess;
using testing::TempDir;
using testing::TestPki;

class AskingView : public MainView {
  public:
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
    void AskPassphrase(const PassphraseQuestion &question) override {
        questions.push_back(question);
    }

    std::string sendPage;
    std::string status;
    std::string peer;
    std::vector<std::string> messages;
    std::vector<std::string> warnings;
    std::vector<PassphraseQuestion> questions;
};

class TlsReachController : public ::testing::Test {
  protected:
    void SetUp() override {
        LoadSettings(s_, settingsPath_);
        controller_ = std::make_unique<MainController>(view_, s_, [this] {
            std::lock_guard<std::mutex> lock(mutex_);
            woken_ = true;
            cv_.notify_all();
        });
        controller_->SetSettingsPath(settingsPath_);
        controller_->SetTrustAnchors(pki_.CaFile());
        controller_->Start();
    }
    void TearDown() override {
        controller_.reset();
        FreeSettings(s_);
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
    // openssl s_server demanding a certificate of the test CA.
    std::unique_ptr<PeerProcess> Server(uint16_t &port) {
        auto server = std::make_unique<PeerProcess>(
            std::vector<std::string>{"openssl", "s_server", "-accept", "127.0.0.1:0", "-cert",
                                     serverCert_, "-key", TestPki::KeyOf(serverCert_), "-Verify",
                                     "1", "-CAfile", pki_.CaFile(), "-naccept", "1"});
        if (server->WaitFor("ACCEPT", 10s)) server->WaitFor("\n", 1s);
        port = server->PortAfter("ACCEPT");
        return server;
    }

    TempDir dir_;
    TestPki pki_{dir_.Path()};
    std::string serverCert_ = pki_.Make(CertKind::Leaf, "server");
    std::string settingsPath_ = dir_.Path("tarvotcpc.ini");
    SettingsHashes s_{};
    AskingView view_;
    std::mutex mutex_;
    std::condition_variable cv_;
    bool woken_ = false;
    std::unique_ptr<MainController> controller_;
};

// Cancelled: nothing at all happens. A wrong passphrase is asked for again, as wrong; the right
// one connects with the certificate shown. Kept when asked, the passphrase is asked no more; a kept
// one that stops opening the key is dropped and asked for again. Details whose file cannot serve
// are a warning, and nothing happens.
TEST_F(TlsReachController, PassphraseAskedUntilRightAndKeptOnlyWhenAsked) {
    const ClientFiles files = pki_.MakeClient("client", "s3cret");
    uint16_t port = 0;
    auto server = Server(port);
    ASSERT_NE(port, 0) << server->Output();
    Destination destination{"localhost", port, true};
    destination.tlsDetails.certificateFile = files.pkcs12;

    controller_->Connect(destination);
    ASSERT_EQ(view_.questions.size(), 1u);
    EXPECT_EQ(view_.questions[0].file, files.pkcs12);
    EXPECT_EQ(view_.questions[0].destination, "localhost:" + std::to_string(port));
    EXPECT_FALSE(view_.questions[0].retry);
    EXPECT_FALSE(controller_->HasConnection());
    EXPECT_FALSE(controller_->ConnectedLook());
    controller_->AnswerPassphrase(std::nullopt, false);
    EXPECT_FALSE(controller_->HasConnection());
    EXPECT_TRUE(view_.status.empty()) << view_.status;

    controller_->Connect(destination);
    controller_->AnswerPassphrase("wrong", true);
    ASSERT_EQ(view_.questions.size(), 3u);
    EXPECT_TRUE(view_.questions[2].retry);
    EXPECT_FALSE(controller_->HasConnection());
    EXPECT_FALSE(LoadTlsPassphrase(settingsPath_, files.pkcs12));
    controller_->AnswerPassphrase("s3cret", true);
    ASSERT_TRUE(PumpUntil([&] { return view_.peer.find("TLSv1.3") != std::string::npos; }))
        << view_.peer << " / " << view_.status << " / " << server->Output();
    EXPECT_NE(view_.peer.find("クライアント証明書を提示"), std::string::npos) << view_.peer;
    EXPECT_EQ(LoadTlsPassphrase(settingsPath_, files.pkcs12), "s3cret");
    controller_->Disconnect();
    ASSERT_TRUE(PumpUntil([&] { return !controller_->HasConnection(); }));

    server = Server(port);
    destination.port = port;
    controller_->Connect(destination);
    EXPECT_EQ(view_.questions.size(), 3u);
    ASSERT_TRUE(PumpUntil([&] { return view_.peer.find("TLSv1.3") != std::string::npos; }));
    // A script made from this record connects as the user did: to the name, with TLS.
    ScriptMakerOptions maker;
    maker.target = [this](uint64_t c) { return controller_->ScriptTargetOf(uint32_t(c)); };
    view_.sendPage = "hello";
    controller_->Send();
    ASSERT_TRUE(PumpUntil([&] { return controller_->KeptTranscript().Size() > 0; }));
    EXPECT_NE(ScriptFromRecord(TranscriptSource(controller_->KeptTranscript()), maker)
                  .find("connect(\"localhost\", " + std::to_string(port) + ", {tls = true})"),
              std::string::npos)
        << ScriptFromRecord(TranscriptSource(controller_->KeptTranscript()), maker);
    controller_->Disconnect();
    ASSERT_TRUE(PumpUntil([&] { return !controller_->HasConnection(); }));

    ASSERT_TRUE(SaveTlsPassphrase(settingsPath_, files.pkcs12, "stale"));
    controller_->Connect(destination);
    ASSERT_EQ(view_.questions.size(), 4u);
    EXPECT_TRUE(view_.questions[3].retry);
    EXPECT_FALSE(LoadTlsPassphrase(settingsPath_, files.pkcs12));
    controller_->AnswerPassphrase(std::nullopt, false);

    destination.tlsDetails.certificateFile = dir_.Path("missing.p12");
    controller_->Connect(destination);
    EXPECT_FALSE(controller_->HasConnection());
    ASSERT_EQ(view_.warnings.size(), 1u);
    EXPECT_NE(view_.warnings[0].find("missing.p12"), std::string::npos) << view_.warnings[0];
    EXPECT_EQ(view_.questions.size(), 4u);
}

} // namespace
} // namespace tarvotcpc
