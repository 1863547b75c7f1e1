// Protocol shapes over real servers' replies (redis-server, Python's http.server, aiosmtpd)
// captured on loopback, over the grammar's corner cases, and for any cut of the bytes.
#include "transcript/protocol_shapes.hpp"

#include "support/proxy_programs.hpp"
#include "support/peer_process.hpp"
#include "support/temp_dir.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace tarvotcpc {
namespace {

using namespace std::chrono_literals;

const char *KindName(MarkKind kind) {
    switch (kind) {
    case MarkKind::Code:
        return "code";
    case MarkKind::HeaderName:
        return "name";
    case MarkKind::Prefix:
        return "prefix";
    case MarkKind::Tag:
        return "tag";
    case MarkKind::Body:
        return "body";
    }
    return "?";
}

// The shapes as text: each reply's bytes (with "!" after an incomplete one), then each mark as
// kind:bytes, a body with /declared.
struct Shown {
    std::vector<std::string> replies;
    std::vector<std::string> marks;
};

Shown Show(const ProtocolShapes &shapes, const std::string &bytes) {
    Shown shown;
    for (const Reply &r : shapes.Replies())
        shown.replies.push_back(bytes.substr(r.begin, r.end - r.begin) + (r.complete ? "" : "!"));
    for (const Mark &m : shapes.Marks()) {
        std::string text =
            std::string(KindName(m.kind)) + ":" + bytes.substr(m.begin, m.end - m.begin);
        if (m.kind == MarkKind::Body) {
            EXPECT_EQ(m.arrived, m.end - m.begin);
            text += "/" + (m.declared ? std::to_string(*m.declared) : std::string("-"));
        }
        shown.marks.push_back(text);
    }
    return shown;
}

Shown ShapeWhole(Protocol protocol, const std::string &bytes, bool finish = true) {
    ProtocolShapes shapes(protocol);
    shapes.Feed(bytes, 0);
    if (finish) shapes.Finish();
    return Show(shapes, bytes);
}

// Every reply's bytes one after the other are the whole stream: nothing outside a reply, none
// incomplete, and the bodies whole.
void ExpectWholeReplies(Protocol protocol, const std::string &bytes, std::size_t count) {
    ProtocolShapes shapes(protocol);
    shapes.Feed(bytes, 0);
    shapes.Finish();
    ASSERT_EQ(shapes.Replies().size(), count) << bytes;
    uint64_t at = 0;
    for (const Reply &r : shapes.Replies()) {
        EXPECT_EQ(r.begin, at);
        EXPECT_TRUE(r.complete) << bytes.substr(r.begin, r.end - r.begin);
        at = r.end;
    }
    EXPECT_EQ(at, bytes.size());
    for (const Mark &m : shapes.Marks()) {
        if (m.kind == MarkKind::Body && m.declared) {
            EXPECT_EQ(m.arrived, *m.declared);
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Real servers on loopback.

using testing::FreePort;

// Connects (trying again while the server starts), sends the request and reads until the peer
// closes or stays silent for two seconds.
std::string Exchange(uint16_t port, const std::string &request) {
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
            close(fd);
            fd = -1;
            std::this_thread::sleep_for(100ms);
        }
    }
    if (fd < 0) return {};
    std::string got;
    if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) == ssize_t(request.size())) {
        char buffer[65536];
        pollfd p{fd, POLLIN, 0};
        while (poll(&p, 1, 2000) > 0) {
            const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) break;
            got.append(buffer, std::size_t(n));
        }
    }
    close(fd);
    return got;
}

TEST(ProtocolShapes, RedisRepliesOnePerCommandNestedAndResp3) {
    const uint16_t port = FreePort();
    testing::PeerProcess redis({"redis-server", "--port", std::to_string(port), "--bind",
                                "127.0.0.1", "--save", "", "--appendonly", "no"});
    if (!redis.WaitFor("Ready to accept connections", 10s)) GTEST_SKIP() << "no redis-server";
    const std::vector<std::string> commands = {"PING",
                                               "SET k 12345",
                                               "GET k",
                                               "GET missing",
                                               "RPUSH l a bb ccc",
                                               "LRANGE l 0 -1",
                                               "MULTI",
                                               "RPUSH l dddd",
                                               "LRANGE l 1 2",
                                               "EXEC",
                                               "INCR l",
                                               "HSET h f1 v1 f2 v2",
                                               "HELLO 3",
                                               "HGETALL h",
                                               "SMEMBERS nothing",
                                               "GET missing",
                                               "QUIT"};
    std::string request;
    for (const std::string &c : commands)
        request += c + "\r\n";
    const std::string replies = Exchange(port, request);
    ASSERT_FALSE(replies.empty());
    ExpectWholeReplies(Protocol::Resp, replies, commands.size());
    const Shown shown = ShapeWhole(Protocol::Resp, replies);
    EXPECT_EQ(shown.replies[2], "$5\r\n12345\r\n");
    EXPECT_EQ(shown.replies[3], "$-1\r\n");
    EXPECT_EQ(shown.replies[9].substr(0, 8), "*2\r\n:4\r\n");
    EXPECT_EQ(shown.replies[10][0], '-');  // an error
    EXPECT_EQ(shown.replies[12][0], '%');  // HELLO 3 answers a RESP3 map
    EXPECT_EQ(shown.replies[15], "_\r\n"); // RESP3's null
    // Every prefix is a type byte (with its length); every body a bulk string's bytes.
    for (const std::string &m : shown.marks)
        if (m.rfind("prefix:", 0) == 0) {
            EXPECT_NE(std::string("+-:$*%~_").find(m[7]), std::string::npos) << m;
        }
    EXPECT_NE(std::find(shown.marks.begin(), shown.marks.end(), "body:12345/5"), shown.marks.end());
}

TEST(ProtocolShapes, HttpServerResponsesWithTheirBodies) {
    testing::TempDir dir;
    const std::string content = "hello from the page\n" + std::string(3000, 'x');
    std::ofstream(dir.Path() + "/page.txt") << content;
    for (const char *version : {"HTTP/1.0", "HTTP/1.1"}) {
        const uint16_t port = FreePort();
        testing::PeerProcess server({"python3", "-u", "-m", "http.server", std::to_string(port),
                                     "--bind", "127.0.0.1", "--directory", dir.Path(), "--protocol",
                                     version});
        ASSERT_TRUE(server.WaitFor("Serving HTTP", 10s)) << server.Output();
        // HTTP/1.1 keeps the connection for the second request; HTTP/1.0 answers one.
        const bool both = std::string(version) == "HTTP/1.1";
        std::string request = "GET /page.txt HTTP/1.1\r\nHost: x\r\n\r\n";
        if (both) request += "GET /missing HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
        const std::string replies = Exchange(port, request);
        ExpectWholeReplies(Protocol::Http, replies, both ? 2 : 1);
        const Shown shown = ShapeWhole(Protocol::Http, replies);
        ASSERT_GE(shown.marks.size(), 3u);
        EXPECT_EQ(shown.marks[0], "code:200");
        EXPECT_NE(std::find(shown.marks.begin(), shown.marks.end(), "name:Content-Length"),
                  shown.marks.end());
        EXPECT_NE(std::find(shown.marks.begin(), shown.marks.end(),
                            "body:" + content + "/" + std::to_string(content.size())),
                  shown.marks.end());
        if (both) {
            EXPECT_NE(std::find(shown.marks.begin(), shown.marks.end(), "code:404"),
                      shown.marks.end());
        }
    }
}

TEST(ProtocolShapes, SmtpServerRepliesWithContinuationLines) {
    const uint16_t port = FreePort();
    // Debian's python3-aiosmtpd, for Debian's interpreter whatever python3 the PATH finds first.
    testing::PeerProcess server({"/usr/bin/python3", "-u", "-m", "aiosmtpd", "-n", "-l",
                                 "127.0.0.1:" + std::to_string(port)});
    const std::string replies = Exchange(port, "EHLO tester\r\nNOOP\r\nQUIT\r\n");
    if (replies.empty()) GTEST_SKIP() << "aiosmtpd does not run: " << server.Output();
    ExpectWholeReplies(Protocol::Smtp, replies, 4); // greeting, EHLO, NOOP, QUIT
    const Shown shown = ShapeWhole(Protocol::Smtp, replies);
    EXPECT_EQ(shown.replies[0].substr(0, 4), "220 ");
    EXPECT_EQ(shown.replies[1].substr(0, 4), "250-");
    // One code on every line.
    std::size_t lines = 0;
    for (const char c : replies)
        lines += c == '\n';
    EXPECT_EQ(shown.marks.size(), lines);
    for (const std::string &m : shown.marks)
        EXPECT_EQ(m.size(), std::string("code:250").size()) << m;
}

// ---------------------------------------------------------------------------------------------
// The grammar's corners, and any cut.

struct Case {
    Protocol protocol;
    std::string bytes;
    std::vector<std::string> replies;
    std::vector<std::string> marks;
};

const std::vector<Case> &Cases() {
    static const std::vector<Case> cases = {
        {Protocol::Http,
         "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n"
         "\r\n5;x=y\r\nhello\r\n0\r\nX-T: 1\r\n\r\nstray\r\nHTTP/1.1 204 No Content\r\n"
         "Content-Length: 9\r\n\r\nHTTP/1.0 200 OK\r\ncontent-length: 3\r\n\r\nabcdef",
         {"HTTP/1.1 100 Continue\r\n\r\n",
          "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5;x=y\r\nhello\r\n0\r\nX-T: "
          "1\r\n\r\n",
          "HTTP/1.1 204 No Content\r\nContent-Length: 9\r\n\r\n",
          "HTTP/1.0 200 OK\r\ncontent-length: 3\r\n\r\nabc"},
         {"code:100", "code:200", "name:Transfer-Encoding", "prefix:5;x=y", "body:hello/5",
          "prefix:0", "name:X-T", "code:204", "name:Content-Length", "code:200",
          "name:content-length", "body:abc/3"}},
        {Protocol::Http,
         "HTTP/1.1 200 OK\r\nServer: x\r\n\r\nuntil the end",
         {"HTTP/1.1 200 OK\r\nServer: x\r\n\r\nuntil the end"},
         {"code:200", "name:Server", "body:until the end/-"}},
        {Protocol::Resp,
         "*3\r\n$3\r\nabc\r\n*-1\r\n*2\r\n:1\r\n%1\r\n+k\r\n#t\r\n|1\r\n+a\r\n+b\r\n,1.5\r\n"
         "oops\r\n$0\r\n\r\n-ERR x\r\n*1\r\n?\r\n$2\r\nab",
         {"*3\r\n$3\r\nabc\r\n*-1\r\n*2\r\n:1\r\n%1\r\n+k\r\n#t\r\n", "|1\r\n+a\r\n+b\r\n,1.5\r\n",
          "$0\r\n\r\n", "-ERR x\r\n", "*1\r\n!", "$2\r\nab!"},
         {"prefix:*3", "prefix:$3", "body:abc/3", "prefix:*-1", "prefix:*2",
          "prefix::", "prefix:%1", "prefix:+", "prefix:#", "prefix:|1", "prefix:+", "prefix:+",
          "prefix:,", "prefix:$0", "prefix:-", "prefix:*1", "prefix:$2", "body:ab/2"}},
        {Protocol::Smtp,
         "220 hi\r\n250-a\r\n250-b\r\n250 c\r\nnoise\r\n354\r\n421-x",
         {"220 hi\r\n", "250-a\r\n250-b\r\n250 c\r\n", "354\r\n", "421-x!"},
         {"code:220", "code:250", "code:250", "code:250", "code:354", "code:421"}},
        {Protocol::Ftp,
         "230-Welcome\r\n free text\r\n 230 not the end\r\n230 Ready\r\n331 Pw\n",
         {"230-Welcome\r\n free text\r\n 230 not the end\r\n230 Ready\r\n", "331 Pw\n"},
         {"code:230", "code:230", "code:331"}},
        {Protocol::Imap,
         "* OK ready\r\na1 OK done\r\n* 1 FETCH (BODY[] {5}\r\nhe}\r\n FLAGS {0+}\r\n)\r\n\r\n+ "
         "go\r\nA2 bad {x}\r\n* BYE",
         {"* OK ready\r\n", "a1 OK done\r\n",
          "* 1 FETCH (BODY[] {5}\r\nhe}\r\n FLAGS {0+}\r\n)\r\n", "+ go\r\n", "A2 bad {x}\r\n",
          "* BYE!"},
         {"tag:*", "code:OK", "tag:a1", "code:OK", "tag:*", "prefix:{5}", "body:he}\r\n/5",
          "prefix:{0+}", "tag:+", "tag:A2", "code:bad", "tag:*"}},
    };
    return cases;
}

TEST(ProtocolShapes, ReadsEachProtocolAsItsGrammarSays) {
    for (const Case &c : Cases()) {
        const Shown shown = ShapeWhole(c.protocol, c.bytes);
        EXPECT_EQ(shown.replies, c.replies) << ProtocolLabel(c.protocol);
        EXPECT_EQ(shown.marks, c.marks) << ProtocolLabel(c.protocol);
    }
}

// Any cut of the bytes, down to single bytes, gives the same shapes, also for bytes that are
// no protocol at all.
TEST(ProtocolShapes, SameShapesForAnyCut) {
    std::mt19937 rng(8);
    std::vector<std::pair<Protocol, std::string>> inputs;
    for (const Case &c : Cases())
        inputs.emplace_back(c.protocol, c.bytes);
    for (const Protocol p : {Protocol::Http, Protocol::Resp, Protocol::Smtp, Protocol::Imap}) {
        std::string noise(3000, 0);
        const std::string alphabet = "HTP/1 0:\r\n*$+-{}2559";
        for (char &c : noise)
            c = alphabet[rng() % alphabet.size()];
        inputs.emplace_back(p, noise);
    }
    for (const auto &[protocol, bytes] : inputs) {
        ProtocolShapes whole(protocol);
        whole.Feed(bytes, 0);
        for (int round = 0; round < 30; ++round) {
            ProtocolShapes cut(protocol);
            for (std::size_t at = 0; at < bytes.size();) {
                const std::size_t n = round == 0 ? 1 : 1 + rng() % 40;
                cut.Feed(std::string_view(bytes).substr(at, n), at);
                at += n;
            }
            ASSERT_EQ(cut.Replies(), whole.Replies()) << ProtocolLabel(protocol) << " " << round;
            ASSERT_EQ(cut.Marks(), whole.Marks()) << ProtocolLabel(protocol) << " " << round;
        }
        // The marks a range asks for are those that overlap it.
        for (int k = 0; k < 50; ++k) {
            const uint64_t from = rng() % (bytes.size() + 1), to = from + rng() % 200;
            const auto [first, last] = whole.MarksIn(from, to);
            for (std::size_t i = 0; i < whole.Marks().size(); ++i) {
                const Mark &m = whole.Marks()[i];
                const bool overlaps = m.begin < to && m.end > from;
                EXPECT_EQ(overlaps, i >= first && i < last) << i;
            }
        }
    }
}

TEST(ProtocolShapes, PortsChooseTheirProtocol) {
    EXPECT_EQ(ProtocolForPort(80), Protocol::Http);
    EXPECT_EQ(ProtocolForPort(8080), Protocol::Http);
    EXPECT_EQ(ProtocolForPort(6379), Protocol::Resp);
    EXPECT_EQ(ProtocolForPort(587), Protocol::Smtp);
    EXPECT_EQ(ProtocolForPort(21), Protocol::Ftp);
    EXPECT_EQ(ProtocolForPort(143), Protocol::Imap);
    EXPECT_EQ(ProtocolForPort(443), std::nullopt);
}

} // namespace
} // namespace tarvotcpc
