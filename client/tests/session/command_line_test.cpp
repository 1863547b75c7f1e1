#include "session/command_line.hpp"

#include <gtest/gtest.h>

namespace tarvotcpc {
namespace {

using Action = CommandLine::Action;

CommandLine Parse(std::vector<std::string_view> args) {
    return ParseCommandLine(args);
}

TEST(CommandLine, DestinationForms) {
    struct Case {
        std::string_view text;
        std::string host;
        std::optional<int32_t> port;
    };
    const std::string longest(255, 'h');
    const Case cases[] = {
        {"example.org", "example.org", std::nullopt},
        {"example.org:80", "example.org", 80},
        {"127.0.0.1:1", "127.0.0.1", 1},
        {"localhost:65535", "localhost", 65535},
        {"alpha:0080", "alpha", 80},
        {"[::1]:7", "::1", 7},
        {"[::1]", "::1", std::nullopt},
        {"[::ffff:127.0.0.1]:8080", "::ffff:127.0.0.1", 8080},
        {"\xE4\xBE\x8B.jp:80", "\xE4\xBE\x8B.jp", 80},
        {longest, longest, std::nullopt},
    };
    for (const Case &c : cases) {
        const CommandLine line = Parse({c.text});
        ASSERT_EQ(line.action, Action::Run) << c.text << ": " << line.error;
        ASSERT_TRUE(line.destination.has_value()) << c.text;
        EXPECT_EQ(line.destination->host, c.host) << c.text;
        EXPECT_EQ(line.destination->port, c.port) << c.text;
    }
}

// Every form that cannot be used is refused with a message naming what is wrong, never taken as
// some other destination.
TEST(CommandLine, EveryBadFormIsAnError) {
    const std::string tooLong(256, 'h');
    const std::string tooLongV6 = "[" + std::string(300, ':') + "]";
    const std::string longOption = "--" + tooLong;
    const std::string_view bad[][3] = {
        // destinations
        {"", "no host", ""},
        {":80", "no host", ""},
        {"host:", "port", ""},
        {"host:0", "port", ""},
        {"host:65536", "port", ""},
        {"host:99999999999", "port", ""},
        {"host:-1", "port", ""},
        {"host:+80", "port", ""},
        {"host:8o", "port", ""},
        {"host: 80", "port", ""},
        {"::1", "brackets", ""},
        {"fe80::1:80", "brackets", ""},
        {"[::1", "missing ']'", ""},
        {"[::1]80", "only ':PORT'", ""},
        {"[::1]:", "port", ""},
        {"[]:80", "not an IPv6", ""},
        {"[example.org]:80", "not an IPv6", ""},
        {"[::1%eth0]:80", "not an IPv6", ""},
        {"exa mple:80", "not a host", ""},
        {"a\tb", "not a host", ""},
        {"http://example.org", "rather than a URL", ""},
        {"a/b:80", "not a host", ""},
        {"ho\nst:80", "'ho\\x0ast:80' is not a host", ""},
        {"\x1b]0;x\x07:80", "'\\x1b]0;x\\x07:80' is not a host", ""},
        {tooLong, "255", ""},
        {tooLongV6, "255", ""},
        // options
        {"--bogus", "unknown option '--bogus'", ""},
        // C1 controls (CSI as UTF-8, and as the lone byte an 8-bit terminal reads) are escaped
        {"--x\xc2\x9b"
         "31m\xe6\x97\xa5",
         "unknown option '--x\\xc2\\x9b31m\xe6\x97\xa5'", ""},
        {"--x\x9b"
         "31m",
         "unknown option '--x\\x9b31m'", ""},
        {longOption, "hhh...'", ""}, // shown shortened
        {"-h", "unknown option", ""},
        {"-", "unknown option", ""},
        {"--tls=1", "takes no value", ""},
        {"--listen=80000", "from 1 to 65535", ""},
        {"--listen=[::1]:0", "from 1 to 65535", ""},
        {"--listen=example.org:80", "written as an address", ""},
        {"--listen=[example.org]:80", "written as an address", ""},
        {"--listen=::1:80", "in brackets", ""},
        {"--settings", "needs FILE", ""},
        {"--settings=", "needs a file name", ""},
        {"--help=yes", "takes no value", ""},
        {"--sni=127.0.0.1", "not an address", ""},
        {"--sni=a b", "host name", ""},
        {"--alpn=h2,,http/1.1", "apart by commas", ""},
        {"--alpn=", "at least one", ""},
        {"--cert=", "needs a file name", ""},
        {"--version=1", "takes no value", ""},
        // combinations
        {"a:1", "b:2", "more than one destination"},
        {"--settings=a", "--settings=b", "more than once"},
        {"--", "--", "not a host"},
        {"--bogus", "--help", "unknown option"},
        {"--key=k.pem", "host:1", "--key needs --cert"},
        {"--cert=c.pem", "--listen=7", "give none with --listen"},
    };
    for (const auto &row : bad) {
        std::vector<std::string_view> args{row[0]};
        std::string_view expected = row[1];
        if (!row[2].empty()) {
            args.push_back(row[1]);
            expected = row[2];
        }
        const CommandLine line = Parse(args);
        EXPECT_EQ(line.action, Action::Error) << row[0] << " " << row[1];
        EXPECT_NE(line.error.find(expected), std::string::npos)
            << row[0] << " " << row[1] << ": " << line.error;
        EXPECT_EQ(line.error.find('\n'), std::string::npos) << line.error;
    }
}

TEST(CommandLine, OptionsInAnyOrderAndTheirValues) {
    CommandLine line = Parse({"--settings", "/tmp/a.ini", "host:7"});
    EXPECT_EQ(line.action, Action::Run);
    EXPECT_EQ(line.settingsPath, "/tmp/a.ini");
    EXPECT_EQ(line.destination->host, "host");

    line = Parse({"host", "--settings=b=c.ini"});
    EXPECT_EQ(line.settingsPath, "b=c.ini");
    EXPECT_FALSE(line.destination->port.has_value());

    // A file named like an option is still the value.
    line = Parse({"--settings", "--help"});
    EXPECT_EQ(line.action, Action::Run);
    EXPECT_EQ(line.settingsPath, "--help");

    line = Parse({});
    EXPECT_EQ(line.action, Action::Run);
    EXPECT_FALSE(line.settingsPath || line.destination);

    EXPECT_EQ(Parse({"--help", "--bogus"}).action, Action::Help);
    EXPECT_EQ(Parse({"host:1", "--version", "two:2"}).action, Action::Version);
    EXPECT_EQ(Parse({"--", "--help"}).action, Action::Error); // a destination, and not a host

    line = Parse({"[::1]:993", "--tls"});
    EXPECT_TRUE(line.tls);
    EXPECT_EQ(line.destination->host, "::1");
    line = Parse({"--listen=8080", "--tls"});
    EXPECT_EQ(line.listenPort, 8080);
    EXPECT_TRUE(line.tls && !line.destination);
    // A port alone stays on this computer; any other address is named.
    EXPECT_EQ(line.listenBind, BindChoice::Loopback);
    for (const auto &[value, address] : {std::pair{"[::1]:7", "::1"},
                                         {"0.0.0.0:7", "0.0.0.0"},
                                         {"[::]:7", "::"},
                                         {"127.1:7", "127.1"}}) {
        line = Parse({"--listen", value});
        EXPECT_EQ(line.action, Action::Run) << value << ": " << line.error;
        EXPECT_EQ(line.listenPort, 7) << value;
        EXPECT_EQ(line.listenBind, BindChoice::Address) << value;
        EXPECT_EQ(line.listenAddress, address) << value;
    }
    // The TLS details, as the connect dialog would hold them.
    line = Parse({"host:443", "--tls", "--cert", "c.p12", "--sni=none", "--alpn", "h2,http/1.1"});
    EXPECT_EQ(line.action, Action::Run) << line.error;
    EXPECT_EQ(line.tlsDetails.certificateFile, "c.p12");
    EXPECT_EQ(line.tlsDetails.serverName, "なし");
    EXPECT_EQ(line.tlsDetails.alpn, "h2,http/1.1");
    EXPECT_FALSE(CheckTlsDetails(line.tlsDetails));
    for (const auto &bad : {std::vector<std::string_view>{"--listen", "0"},
                            {"--listen", "x"},
                            {"--listen", "7", "host:7"},
                            {"--listen=1", "--listen=2"}})
        EXPECT_EQ(Parse(bad).action, Action::Error) << bad[0];

    // --proxy: kept whole (its password too, for this connection), or none.
    EXPECT_EQ(Parse({"--proxy", "socks5h://al:pw@p", "h:25"}).proxy, "socks5h://al:pw@p:1080");
    EXPECT_EQ(Parse({"h:25", "--proxy=NONE"}).proxy, "なし");
    for (const auto &bad : {std::vector<std::string_view>{"--proxy", "ftp://p", "h:1"},
                            {"--proxy", "p", "--proxy", "q", "h:1"},
                            {"--proxy", "p", "--listen", "7"},
                            {"--proxy", "p"}})
        EXPECT_EQ(Parse(bad).action, Action::Error) << bad[1];
}

TEST(CommandLine, UsageNamesEveryOption) {
    const std::string usage = UsageText("tarvotcpc");
    EXPECT_EQ(usage.rfind("Usage: tarvotcpc [OPTIONS] [HOST[:PORT]]\n", 0), 0u);
    for (const char *option :
         {"--settings FILE", "--tls", "--listen [ADDRESS:]PORT", "--proxy URL", "--cert FILE",
          "--key FILE", "--sni NAME", "--alpn LIST", "--help", "--version"})
        EXPECT_NE(usage.find(option), std::string::npos) << option;
    EXPECT_EQ(usage.find(" \n"), std::string::npos) << usage;
}

} // namespace
} // namespace tarvotcpc
