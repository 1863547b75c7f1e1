// A destination's TLS details and the passphrases kept beside the history, through the settings
// file and back as the next start reads them.
#include "hosts/tls_details.hpp"

#include <gtest/gtest.h>

#include "hosts/destination.hpp"
#include "settings/options.hpp"
#include "support/temp_dir.hpp"

namespace tarvotcpc {
namespace {

using testing::ReadFile;
using testing::TempDir;

class TlsDetailsFile : public ::testing::Test {
  protected:
    void SetUp() override {
        LoadSettings(settings_, path_);
        SetOption(settings_, OptionKey(Option::HostSave), 1);
    }
    void TearDown() override { FreeSettings(settings_); }

    // As the connect dialog's OK keeps a destination.
    void Remember(const Destination &destination) {
        ASSERT_TRUE(RememberDestination(settings_, destination, path_));
        EXPECT_TRUE(RememberTlsDetails(settings_, destination.host, destination.port,
                                       destination.tlsDetails, path_));
    }

    TempDir dir_;
    std::string path_ = dir_.Path("tarvotcpc.ini");
    SettingsHashes settings_{};
};

// Any text of a path, name or list comes back as it was; each destination keeps its own, the
// host's case and an address's form do not matter, a destination with none keeps none, and the
// details leave with the destination when the history drops it or is cleared.
TEST_F(TlsDetailsFile, KeptWithTheHistoryAndBackAsTheyWere) {
    TlsDetails odd;
    odd.certificateFile = "/home/ユーザー/my certs/a&b=c%41+d;[x].p12";
    odd.serverName = "なし";
    odd.alpn = " h2 , http/1.1";
    TlsDetails plain;
    plain.certificateFile = "/c.pem";
    plain.keyFile = "/k.pem";
    plain.serverName = "example.org";
    Destination first{"Example.ORG", 443, true, {}, odd};
    Destination second{"127.1", 8443, false, {}, plain};
    Remember(first);
    Remember(second);
    Remember({"none.example", 80, false, {}});

    std::map<std::string, TlsDetails> read = LoadTlsDetails(path_);
    EXPECT_EQ(read.size(), 2u) << ReadFile(path_);
    EXPECT_EQ(TlsDetailsFor(read, "example.org", 443), odd);
    EXPECT_EQ(TlsDetailsFor(read, "127.0.0.1", 8443), plain);
    EXPECT_TRUE(TlsDetailsFor(read, "none.example", 80).Empty());
    EXPECT_TRUE(TlsDetailsFor(read, "example.org", 444).Empty());

    // Connecting again with the details emptied forgets them.
    Remember({"example.org", 443, true, {}});
    EXPECT_EQ(LoadTlsDetails(path_).size(), 1u);

    // The history keeps twenty destinations; the details of one pushed out go with it.
    for (int i = 0; i < static_cast<int>(kHistoryLimit); ++i)
        Remember({"filler" + std::to_string(i), 1, false, {}});
    EXPECT_TRUE(LoadTlsDetails(path_).empty()) << ReadFile(path_);

    Remember(second);
    ASSERT_FALSE(LoadTlsDetails(path_).empty());
    EXPECT_TRUE(ClearHostHistory(settings_, path_));
    EXPECT_TRUE(LoadTlsDetails(path_).empty());

    // Without the history option nothing is kept.
    SetOption(settings_, OptionKey(Option::HostSave), 0);
    EXPECT_FALSE(RememberTlsDetails(settings_, "example.org", 443, odd, path_));
    EXPECT_TRUE(LoadTlsDetails(path_).empty());
}

// A passphrase is kept only by name of its file, any bytes of it, and forgotten on demand.
TEST_F(TlsDetailsFile, PassphrasesKeptByFileAndForgotten) {
    const std::string phrase = "p&ss=wörd %20+\t;[x]";
    EXPECT_FALSE(LoadTlsPassphrase(path_, "/a.key"));
    ASSERT_TRUE(SaveTlsPassphrase(path_, "/a.key", phrase));
    ASSERT_TRUE(SaveTlsPassphrase(path_, "/b c=.p12", ""));
    EXPECT_EQ(LoadTlsPassphrase(path_, "/a.key"), phrase);
    EXPECT_EQ(LoadTlsPassphrase(path_, "/b c=.p12"), "");
    EXPECT_FALSE(LoadTlsPassphrase(path_, "/A.key"));
    EXPECT_TRUE(ForgetTlsPassphrase(path_, "/a.key"));
    EXPECT_FALSE(LoadTlsPassphrase(path_, "/a.key"));
    EXPECT_EQ(LoadTlsPassphrase(path_, "/b c=.p12"), "");
    EXPECT_EQ(ReadFile(path_).find("a.key"), std::string::npos) << ReadFile(path_);
}

// What the dialog refuses, and the field it points at.
TEST(TlsDetailsCheck, RefusesWhatCannotBeSent) {
    struct Case {
        TlsDetails details;
        TlsDetailsField field;
    };
    const Case cases[] = {
        {{"", "/k.pem", "", ""}, TlsDetailsField::CertificateFile},
        {{"/c\n.pem", "", "", ""}, TlsDetailsField::CertificateFile},
        {{"", "", "192.168.1.1", ""}, TlsDetailsField::ServerName},
        {{"", "", "例え.jp", ""}, TlsDetailsField::ServerName},
        {{"", "", "", "h2,"}, TlsDetailsField::Alpn},
        {{"", "", "", std::string(256, 'p')}, TlsDetailsField::Alpn},
    };
    for (const Case &c : cases) {
        const std::optional<TlsDetailsProblem> problem = CheckTlsDetails(c.details);
        ASSERT_TRUE(problem) << c.details.serverName << c.details.alpn;
        EXPECT_EQ(problem->field, c.field) << problem->warning;
        EXPECT_FALSE(problem->warning.empty());
    }
    EXPECT_FALSE(CheckTlsDetails({"/c.pem", "", "xn--r8jz45g.jp.", "h2, http/1.1"}));
}

} // namespace
} // namespace tarvotcpc
