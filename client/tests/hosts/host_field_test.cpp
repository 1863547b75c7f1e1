// The host field and history entries with IPv6 literals and the TLS mark.
#include <gtest/gtest.h>

#include "hosts/host_field.hpp"

namespace tarvotcpc {
namespace {

TEST(HostField, BracketsBareLiteralsAndTheColonRule) {
    struct Case {
        const char *host;
        const char *port;
        HostFieldProblem problem;
        const char *wantHost;
        int32_t wantPort;
    };
    const Case cases[] = {
        {"[::1]:8080", "", HostFieldProblem::None, "::1", 8080},
        {"[::1]:8080", "99", HostFieldProblem::None, "::1", 8080},
        {"[::1]", "443", HostFieldProblem::None, "::1", 443},
        {"[::1]", "", HostFieldProblem::MissingPort, "", 0},
        {"::1", "7", HostFieldProblem::None, "::1", 7},
        {"fe80::1%eth0", "22", HostFieldProblem::None, "fe80::1%eth0", 22},
        {"2001:db8::1", "", HostFieldProblem::MissingPort, "", 0},
        {"[::1", "1", HostFieldProblem::UnclosedBracket, "", 0},
        {"[::1]8080", "1", HostFieldProblem::UnclosedBracket, "", 0},
        {"[]:80", "", HostFieldProblem::MissingHost, "", 0},
        // As before: the first colon splits, the port text's tail is ignored.
        {"example.com:443", "1", HostFieldProblem::None, "example.com", 443},
        {"host:12ab", "", HostFieldProblem::None, "host", 12},
        {"a:b:c", "", HostFieldProblem::None, "a", 0},
        {"example.com", "", HostFieldProblem::MissingPort, "", 0},
        {":80", "", HostFieldProblem::MissingHost, "", 0},
        {"", "80", HostFieldProblem::MissingHost, "", 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.host) + " / " + c.port);
        const HostFieldDecision d = DecideHostField(c.host, c.port);
        EXPECT_EQ(d.problem, c.problem);
        EXPECT_EQ(d.host, c.wantHost);
        EXPECT_EQ(d.port, c.wantPort);
    }
}

// Entries written now read back as written; entries of earlier versions read as plain.
TEST(HostField, HistoryEntriesRoundTripAndEarlierOnesArePlain) {
    for (const char *host : {"example.com", "::1", "fe80::1%eth0", "192.0.2.1", "ホスト"}) {
        for (int32_t port : {0, 443, 65535, -1}) {
            for (bool tls : {false, true}) {
                const std::string entry = FormatHistoryEntry(host, port, tls);
                const HistoryEntryParts parts = ParseHistoryEntry(entry);
                EXPECT_TRUE(parts.valid) << entry;
                EXPECT_EQ(parts.host, host) << entry;
                EXPECT_EQ(parts.port, port) << entry;
                EXPECT_EQ(parts.tls, tls) << entry;
            }
        }
    }
    EXPECT_EQ(FormatHistoryEntry("::1", 8080, true), "[::1]:8080 (TLS)");
    const HistoryEntryParts old = ParseHistoryEntry("mail.example.com:25");
    EXPECT_TRUE(old.valid);
    EXPECT_FALSE(old.tls);
    EXPECT_EQ(old.port, 25);
    EXPECT_FALSE(ParseHistoryEntry("host:port (TLS)").tls);
    EXPECT_FALSE(ParseHistoryEntry("").valid);
    EXPECT_EQ(HostFieldText("::1", 25), "[::1]:25");
}

} // namespace
} // namespace tarvotcpc
