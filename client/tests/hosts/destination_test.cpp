#include "hosts/destination.hpp"
#include "settings/options.hpp"

#include <gtest/gtest.h>

#include "hosts/host_field.hpp"
#include "settings/ini.hpp"
#include "hosts/proxy_passwords.hpp"
#include "support/temp_dir.hpp"

namespace tarvotcpc {
namespace {

using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;
using List = std::vector<std::string>;

void ExpectAccepted(std::string_view host, std::string_view port, const std::string &wantHost,
                    int32_t wantPort) {
    const ConnectDecision d = DecideConnect(host, port);
    EXPECT_TRUE(d.accepted) << host << " / " << port << ": " << d.warning;
    EXPECT_EQ(d.params.host, wantHost) << host << " / " << port;
    EXPECT_EQ(d.params.port, wantPort) << host << " / " << port;
}

void ExpectRefused(std::string_view host, std::string_view port, const char *warning,
                   ConnectField field) {
    const ConnectDecision d = DecideConnect(host, port);
    EXPECT_FALSE(d.accepted) << host << " / " << port;
    EXPECT_EQ(d.warning, warning) << host << " / " << port;
    EXPECT_EQ(d.field, field) << host << " / " << port;
}

// IPv6 literals and the TLS mark: what the history writes, the dialog reads back the same,
// whichever way the host was typed.
TEST(ConnectDialog, Ipv6AndTheTlsMarkRoundTripThroughTheHistory) {
    ExpectAccepted("[::1]:8080", "", "::1", 8080);
    ExpectAccepted("::1", "8080", "::1", 8080);
    ExpectAccepted("fe80::1%eth0", "7", "fe80::1%eth0", 7);
    ExpectRefused("[::1", "80", kUnclosedBracketText, ConnectField::Host);
    for (const Destination &d : {Destination{"::1", 8080, true}, Destination{"host", 443, true},
                                 Destination{"host", 80, false}, Destination{"::1", 7, false}}) {
        const std::string entry = HistoryEntry(d);
        const ConnectDecision read = DecideConnect(entry, "");
        EXPECT_TRUE(read.accepted) << entry;
        EXPECT_EQ(read.params.host, d.host) << entry;
        EXPECT_EQ(read.params.port, d.port) << entry;
        EXPECT_EQ(read.params.tls, d.tls) << entry;
        // The dialog's check box decides when there is one.
        EXPECT_FALSE(DecideConnect(entry, "", false).params.tls) << entry;
        EXPECT_EQ(DecideConnect(entry, "", false).params.host, d.host) << entry;
    }
    EXPECT_EQ(HistoryEntry({"::1", 8080, true}), "[::1]:8080 (TLS)");
}

// UDP is kept with the destination as TLS is, and takes neither TLS nor a proxy URL: each is
// refused with its field, while "なし" stays as the way around a proxy set for every destination.
TEST(ConnectDialog, UdpRoundTripsThroughTheHistoryAndRefusesTlsAndProxies) {
    for (const Destination &d : {Destination{"::1", 53, false, "", {}, true},
                                 Destination{"dns.example", 53, false, "なし", {}, true},
                                 Destination{"h", 7, false, "", {}, false}}) {
        const std::string entry = HistoryEntry(d);
        const ConnectDecision read = DecideConnect(entry, "");
        ASSERT_TRUE(read.accepted) << entry << ": " << read.warning;
        EXPECT_EQ(read.params.host, d.host) << entry;
        EXPECT_EQ(read.params.port, d.port) << entry;
        EXPECT_EQ(read.params.udp, d.udp) << entry;
        EXPECT_EQ(read.params.proxy, d.proxy) << entry;
        // The dialog's choice decides when there is one.
        EXPECT_EQ(DecideConnect(entry, "", false, std::nullopt, !d.udp).params.udp, !d.udp);
    }
    EXPECT_EQ(HistoryEntry({"::1", 53, false, "なし", {}, true}), "[::1]:53 (UDP) (プロキシなし)");
    // An entry an earlier version wrote is never taken for UDP.
    EXPECT_FALSE(ParseHistoryEntry("h (UDP)").udp);

    const ConnectDecision tls = DecideConnect("h:53", "", true, std::nullopt, true);
    EXPECT_FALSE(tls.accepted);
    EXPECT_EQ(tls.warning, kUdpTlsText);
    EXPECT_EQ(tls.field, ConnectField::Protocol);
    const ConnectDecision proxy = DecideConnect("h:53", "", false, "socks5h://p", true);
    EXPECT_FALSE(proxy.accepted);
    EXPECT_EQ(proxy.warning, kUdpProxyText);
    EXPECT_EQ(proxy.field, ConnectField::Proxy);
}

// A destination's own proxy goes into the history with it (never its password) and comes back
// with the entry; the dialog's proxy field decides when there is one.
TEST(ConnectDialog, TheProxyRoundTripsThroughTheHistoryWithoutItsPassword) {
    for (const char *proxy : {"", "なし", "socks5h://p.example:1080", "http://[::1]:3128",
                              "socks5://al%20ice@10.0.0.1:9"}) {
        for (const Destination &d : {Destination{"::1", 8080, true}, Destination{"host", 25}}) {
            Destination with = d;
            with.proxy = proxy;
            const std::string entry = HistoryEntry(with);
            const ConnectDecision read = DecideConnect(entry, "");
            ASSERT_TRUE(read.accepted) << entry;
            EXPECT_EQ(read.params.host, d.host) << entry;
            EXPECT_EQ(read.params.port, d.port) << entry;
            EXPECT_EQ(read.params.tls, d.tls) << entry;
            EXPECT_EQ(read.params.proxy, proxy) << entry;
            EXPECT_EQ(DecideConnect(entry, "", d.tls, "").params.proxy, "") << entry;
            EXPECT_EQ(DecideConnect(entry, "", d.tls, "none").params.proxy, "なし") << entry;
        }
    }
    EXPECT_EQ(HistoryEntry({"h", 25, true, "socks5h://al:secret@p:1080"}),
              "h:25 (TLS) (プロキシ socks5h://al@p:1080)");
    EXPECT_EQ(HistoryEntry({"h", 25, false, "なし"}), "h:25 (プロキシなし)");
    // The field's URL is kept whole, its password with it for this connection.
    EXPECT_EQ(DecideConnect("h:1", "", false, " socks5h://al:pw@p ").params.proxy,
              "socks5h://al:pw@p:1080");
    const ConnectDecision bad = DecideConnect("h:1", "", false, "ftp://p");
    EXPECT_FALSE(bad.accepted);
    EXPECT_EQ(bad.field, ConnectField::Proxy);
    EXPECT_FALSE(bad.warning.empty());
    // Text that only looks like a mark is read as earlier versions read it.
    EXPECT_EQ(ParseHistoryEntry("h (プロキシ socks5h://p:1)").host, "h (プロキシ socks5h");
    EXPECT_EQ(ParseHistoryEntry("h (プロキシ socks5h://p:1)").proxy, "");
    EXPECT_EQ(ParseHistoryEntry("h:1 (プロキシ ftp://p)").proxy, "");
}

// Kept proxy passwords: per scheme, user, host and port, any bytes, dropped on request; other
// sections untouched.
TEST(ProxyPasswords, KeptPerProxyAndDroppedAgain) {
    TempDir dir;
    const std::string path = dir.Path("tarvotcpc.ini");
    WriteFile(path, "[HOSTS]\nhost0=h:1\n");
    std::string error;
    const ProxyUrl alice = *ParseProxyUrl("socks5h://alice@p:1080", error);
    const ProxyUrl bob = *ParseProxyUrl("socks5h://bob@p:1080", error);
    const ProxyUrl http = *ParseProxyUrl("http://alice@p:1080", error);
    EXPECT_FALSE(LoadProxyPassword(path, alice));
    const std::string odd = std::string("p=ss\n;[x]%\0\xff", 12);
    ASSERT_TRUE(SaveProxyPassword(path, alice, odd));
    ASSERT_TRUE(SaveProxyPassword(path, bob, ""));
    EXPECT_EQ(LoadProxyPassword(path, alice), odd);
    EXPECT_EQ(LoadProxyPassword(path, bob), "");
    EXPECT_FALSE(LoadProxyPassword(path, http));
    EXPECT_TRUE(ForgetProxyPassword(path, alice));
    EXPECT_FALSE(LoadProxyPassword(path, alice));
    EXPECT_EQ(LoadProxyPassword(path, bob), "");
    EXPECT_EQ(IniSectionEntries(ReadFile(path), "HOSTS"), (List{"host0=h:1"}));
}

TEST(ConnectDialog, PortFromTheFieldOrAfterTheFirstColon) {
    ExpectAccepted("alpha", "8080", "alpha", 8080);
    ExpectAccepted("alpha:8080", "", "alpha", 8080);
    ExpectAccepted("alpha:8080", "25", "alpha", 8080); // the field is not looked at
    ExpectAccepted("alpha:25:99", "", "alpha", 25);
    ExpectAccepted("alpha:", "", "alpha", 0);
    ExpectAccepted("alpha", "12ab", "alpha", 12);
    ExpectAccepted("alpha", "abc", "alpha", 0);
    ExpectAccepted("alpha", "70000", "alpha", 70000); // no range check
    ExpectAccepted("alpha", "-1", "alpha", -1);
    ExpectAccepted("192.168.0.1", "0080", "192.168.0.1", 80);
}

TEST(ConnectDialog, WarningsAndTheirOrder) {
    ExpectRefused("alpha", "", kMissingPortText, ConnectField::Port);
    ExpectRefused("", "", kMissingPortText, ConnectField::Port); // the port comes first
    ExpectRefused("", "80", kMissingHostText, ConnectField::Host);
    ExpectRefused(":80", "", kMissingHostText, ConnectField::Host);
    EXPECT_STREQ(kMissingPortText, "ポート番号を入力してください");
    EXPECT_STREQ(kMissingHostText, "接続先IPアドレスまたはホスト名を入力してください");
}

TEST(ConnectDialog, HostTextIsCutAtACharacterBoundary) {
    const std::string a = "あ"; // three bytes; 85 of them make 255
    std::string host;
    for (int i = 0; i < 90; ++i)
        host += a;
    ExpectAccepted(host, "1", host.substr(0, 255), 1);
    ExpectAccepted("x" + host, "1", "x" + host.substr(0, 252), 1);
    // The cut comes before the split: a colon beyond byte 255 is part of what is cut away.
    ExpectAccepted(std::string(300, 'h') + ":80", "7", std::string(255, 'h'), 7);
}

// Settings with a history, in a temporary folder.
class HostHistoryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        path_ = dir_.Path("tarvotcpc.ini");
        WriteFile(path_, "[TARVOTCPC]\nhostsave=1\n[HOSTS]\nhost0=beta:25\nhost1=Alpha:80\n");
        ASSERT_TRUE(LoadSettings(s_, path_));
    }
    void TearDown() override { FreeSettings(s_); }

    std::vector<std::string> FileHistory() { return IniSectionEntries(ReadFile(path_), "HOSTS"); }

    TempDir dir_;
    std::string path_;
    SettingsHashes s_{};
};

TEST_F(HostHistoryTest, NewestFirstAndAnEqualEntryReplacedWhateverItsCase) {
    EXPECT_EQ(HostHistory(s_), (List{"beta:25", "Alpha:80"}));
    EXPECT_TRUE(RememberDestination(s_, {"gamma", 7}, path_));
    EXPECT_EQ(HostHistory(s_), (List{"gamma:7", "beta:25", "Alpha:80"}));
    EXPECT_TRUE(RememberDestination(s_, {"ALPHA", 80}, path_));
    EXPECT_EQ(HostHistory(s_), (List{"ALPHA:80", "gamma:7", "beta:25"}));
    EXPECT_EQ(FileHistory(), (List{"host0=ALPHA:80", "host1=gamma:7", "host2=beta:25"}));
    EXPECT_EQ(VornGetHashIndex(&s_.hosts, "host2"), 2);
}

TEST_F(HostHistoryTest, PortIsWrittenBackInPlainDecimal) {
    const ConnectDecision d = DecideConnect("beta:0025", "");
    ASSERT_TRUE(d.accepted);
    RememberDestination(s_, d.params, path_);
    EXPECT_EQ(HostHistory(s_), (List{"beta:25", "Alpha:80"}));
}

TEST_F(HostHistoryTest, AtMostTwentyTheOldestDropped) {
    for (int i = 0; i < 25; ++i)
        RememberDestination(s_, {"h" + std::to_string(i), i}, path_);
    const List history = HostHistory(s_);
    ASSERT_EQ(history.size(), 20u);
    EXPECT_EQ(history.front(), "h24:24");
    EXPECT_EQ(history.back(), "h5:5");
    const List file = FileHistory();
    ASSERT_EQ(file.size(), 20u);
    EXPECT_EQ(file.front(), "host0=h24:24");
    EXPECT_EQ(file.back(), "host19=h5:5");
}

TEST_F(HostHistoryTest, NothingChangesWithHostsaveOffOrMissing) {
    const std::string before = ReadFile(path_);
    SetOption(s_, OptionKey(Option::HostSave), 0);
    EXPECT_FALSE(RememberDestination(s_, {"gamma", 7}, path_));
    VornDeleteHash(&s_.options, OptionKey(Option::HostSave), 0);
    EXPECT_FALSE(RememberDestination(s_, {"gamma", 7}, path_));
    EXPECT_EQ(HostHistory(s_), (List{"beta:25", "Alpha:80"}));
    EXPECT_EQ(ReadFile(path_), before);
}

TEST_F(HostHistoryTest, AHostThatCannotBeStoredIsNotRemembered) {
    EXPECT_FALSE(RememberDestination(s_, {"evil\n[TARVOTCPC]", 1}, path_));
    EXPECT_EQ(HostHistory(s_), (List{"beta:25", "Alpha:80"}));
}

TEST_F(HostHistoryTest, ClearingEmptiesMemoryAndFileAtOnce) {
    EXPECT_TRUE(ClearHostHistory(s_, path_));
    EXPECT_TRUE(HostHistory(s_).empty());
    EXPECT_EQ(ReadFile(path_), "[TARVOTCPC]\nhostsave=1\n[HOSTS]\n");
    EXPECT_TRUE(RememberDestination(s_, {"a", 1}, path_));
    EXPECT_EQ(FileHistory(), (List{"host0=a:1"}));
}

TEST_F(HostHistoryTest, AnOutOfOrderFileIsRenumbered) {
    WriteFile(path_, "[TARVOTCPC]\nhostsave=1\n[HOSTS]\nhost7=x:1\nhost0=y:2\nhost0=z:3\n");
    FreeSettings(s_);
    ASSERT_TRUE(LoadSettings(s_, path_));
    EXPECT_EQ(HostHistory(s_), (List{"x:1", "z:3"}));
    RememberDestination(s_, {"w", 4}, path_);
    EXPECT_EQ(FileHistory(), (List{"host0=w:4", "host1=x:1", "host2=z:3"}));
}

} // namespace
} // namespace tarvotcpc
