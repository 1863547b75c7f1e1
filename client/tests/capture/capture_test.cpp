// Capture files: what the writer puts out, tshark (an independent reader) follows back to the same
// bytes of each direction with every checksum right; what the reader opens (ours, a live tcpdump
// capture, segments resent, overlapping or out of order, under every link type it takes) gives
// back every byte in its direction.
#include "capture/capture_reader.hpp"
#include "capture/capture_writer.hpp"
#include "capture/transcript_capture.hpp"

#include "support/peer_process.hpp"
#include "support/temp_dir.hpp"
#include "support/test_servers.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <pcap/pcap.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <thread>

namespace tarvotcpc {
namespace {

using testing::ReadFile;
using testing::TempDir;

CaptureAddress Address(const std::string &text) {
    const std::optional<CaptureAddress> a = ParseCaptureAddress(text);
    EXPECT_TRUE(a) << text;
    return a.value_or(CaptureAddress{});
}

CaptureConnection Between(const std::string &local, const std::string &peer) {
    CaptureConnection c;
    c.local = Address(local);
    c.peer = Address(peer);
    return c;
}

// What a record holds, direction by direction.
struct Sides {
    std::string sent;
    std::string received;
};

Sides SidesOf(const Transcript &transcript) {
    Sides sides;
    std::string bytes;
    for (const Chunk &chunk : transcript.Chunks()) {
        EXPECT_TRUE(transcript.Read(chunk.offset, chunk.size, bytes));
        (chunk.direction == Direction::Sent ? sides.sent : sides.received) += bytes;
    }
    return sides;
}

Sides SidesOf(const CaptureEvents &events, uint32_t connection = 1) {
    Sides sides;
    for (std::size_t i = 0; i < events.ItemCount(); ++i) {
        const CaptureItem item = events.Item(i);
        if (item.kind == CaptureItemKind::Note || item.connection != connection) continue;
        std::string bytes(item.size, '\0');
        events.Read(i, 0, {bytes.data(), bytes.size()});
        (item.kind == CaptureItemKind::Sent ? sides.sent : sides.received) += bytes;
    }
    return sides;
}

bool WriteCapture(const CaptureInput &input, const std::string &path, std::string *error = {}) {
    CaptureJob job(input, path);
    while (job.Step(256 * 1024)) {
    }
    if (error) *error = job.Error();
    return job.Succeeded();
}

std::string Shell(const std::string &command) {
    std::string out;
    FILE *pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return out;
    char buffer[65536];
    std::size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        out.append(buffer, n);
    pclose(pipe);
    return out;
}

bool HaveTshark() {
    return Shell("command -v tshark").find("tshark") != std::string::npos;
}

std::string Unhex(const std::string &hex) {
    std::string out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return out;
}

// tshark's "follow,tcp,raw" of a stream: the lines of node 1 are indented by a tab. Node 0 is
// the side that sent the stream's first packet.
struct Followed {
    std::string node0;
    std::string nodes[2];
};

Followed TsharkFollow(const std::string &path, int stream) {
    const std::string out = Shell("tshark -r '" + path + "' -q -z follow,tcp,raw," +
                                  std::to_string(stream) + " 2>/dev/null");
    Followed followed;
    std::size_t at = out.find("Node 1: ");
    const std::size_t node0 = out.find("Node 0: ");
    if (node0 != std::string::npos)
        followed.node0 = out.substr(node0 + 8, out.find('\n', node0) - node0 - 8);
    if (at == std::string::npos) return followed;
    at = out.find('\n', at) + 1;
    while (at < out.size()) {
        const std::size_t end = out.find('\n', at);
        std::string line = out.substr(at, end - at);
        at = end == std::string::npos ? out.size() : end + 1;
        if (line.rfind("=====", 0) == 0) break;
        const bool second = !line.empty() && line[0] == '\t';
        if (second) line.erase(0, 1);
        followed.nodes[second ? 1 : 0] += Unhex(line);
    }
    return followed;
}

// Random exchanges: pieces from one byte to several segments long in both directions, every
// byte value, connections in either family and either role, ended or still open; each is written
// and read back by tshark and by the reader.
TEST(CaptureFile, RandomExchangesComeBackByteForByteThroughTsharkAndTheReader) {
    if (!HaveTshark()) GTEST_SKIP() << "tshark is not installed";
    TempDir dir;
    std::mt19937 random(20240611);
    const std::array<std::pair<const char *, const char *>, 4> pairs = {{
        {"127.0.0.1:40001", "127.0.0.1:8080"},
        {"[::1]:40002", "[::1]:6379"},
        {"[::ffff:10.0.0.1]:5555", "[::ffff:10.0.0.2]:25"},
        {"[fe80::1%lo]:40003", "[2001:db8::7]:443"},
    }};
    const char *localShown[] = {"127.0.0.1:40001", "[::1]:40002", "10.0.0.1:5555",
                                "[fe80::1]:40003"};
    for (int round = 0; round < 8; ++round) {
        CaptureEvents events;
        const auto &pair = pairs[round % pairs.size()];
        CaptureConnection c = Between(pair.first, pair.second);
        c.localOpened = round % 3 != 2;
        c.ended = round % 2 == 0;
        c.closedByPeer = round % 4 == 0;
        events.SetConnection(1, c);
        int64_t time = 1700000000000000 + round;
        const int pieces = 1 + static_cast<int>(random() % 12);
        for (int i = 0; i < pieces; ++i) {
            const std::size_t size =
                random() % 5 == 0 ? 1 + random() % 200000 : 1 + random() % 2000;
            std::string bytes(size, '\0');
            for (char &b : bytes)
                b = static_cast<char>(random());
            time += static_cast<int64_t>(random() % 3000000);
            events.Add(random() % 2 ? CaptureItemKind::Sent : CaptureItemKind::Received, time,
                       bytes);
            if (random() % 4 == 0) events.Add(CaptureItemKind::Note, time, "STARTTLS");
        }
        const std::string path = dir.Path("round" + std::to_string(round) + ".pcapng");
        ASSERT_TRUE(WriteCapture(events, path));
        const Sides want = SidesOf(events);

        // tshark's node 0 sent the first packet: the SYN's side.
        const Followed followed = TsharkFollow(path, 0);
        const bool localFirst = c.localOpened;
        EXPECT_EQ(followed.nodes[localFirst ? 0 : 1], want.sent) << "round " << round;
        EXPECT_EQ(followed.nodes[localFirst ? 1 : 0], want.received) << "round " << round;

        Transcript back;
        const CaptureReadOutcome read = ReadCapture(path, back);
        ASSERT_TRUE(read.ok) << read.error;
        const Sides got = SidesOf(back);
        EXPECT_EQ(got.sent, want.sent) << "round " << round;
        EXPECT_EQ(got.received, want.received) << "round " << round;
        EXPECT_EQ(read.summary.missing, 0u);
        // The cooked headers tell this side, whichever opened; the wire has no zone and no
        // IPv4 address in IPv6 form.
        EXPECT_EQ(read.summary.local, localShown[round % pairs.size()]);
        // Who opened and who closed first survive, so that writing the capture again from the
        // record it opened into gives the same stream.
        EXPECT_EQ(read.summary.localOpened, c.localOpened);
        EXPECT_EQ(read.summary.ended, c.ended);
        EXPECT_EQ(read.summary.closedByPeer, c.ended && c.closedByPeer);
        // The record's times are the packets', to the microsecond.
        for (std::size_t i = 0; i < events.ItemCount(); ++i) {
            if (events.Item(i).kind == CaptureItemKind::Note) continue;
            ASSERT_FALSE(back.Chunks().empty());
            EXPECT_EQ(back.Chunks().front().timeUs, events.Item(i).timeUs);
            break;
        }
    }
}

// tshark checks each checksum and dissects the protocol on its port; the notes are the packets'
// comments; a second connection of the record is a stream of its own.
TEST(CaptureFile, ChecksumsHoldProtocolsAreDissectedAndNotesAreComments) {
    if (!HaveTshark()) GTEST_SKIP() << "tshark is not installed";
    TempDir dir;
    CaptureEvents events;
    CaptureConnection http = Between("192.168.1.20:51000", "192.168.1.1:80");
    http.ended = true;
    events.SetConnection(1, http);
    CaptureConnection smtp = Between("[2001:db8::20]:51001", "[2001:db8::1]:25");
    events.SetConnection(2, smtp);
    int64_t t = 1700000000000000;
    events.Add(CaptureItemKind::Sent, t, "GET /index.html HTTP/1.1\r\nHost: example\r\n\r\n");
    events.Add(CaptureItemKind::Received, t + 1500,
               "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello");
    events.Add(CaptureItemKind::Received, t + 2000, "220 mail ESMTP\r\n", 2);
    events.Add(CaptureItemKind::Sent, t + 3000, "EHLO me\r\n", 2);
    events.Add(CaptureItemKind::Note, t + 3500, "STARTTLSに切り替えました", 2);
    events.Add(CaptureItemKind::Received, t + 4000, "250 ok\r\n", 2);
    const std::string path = dir.Path("two.pcapng");
    ASSERT_TRUE(WriteCapture(events, path));

    const std::string checks = Shell(
        "tshark -r '" + path +
        "' -o tcp.check_checksum:TRUE -o ip.check_checksum:TRUE -T fields -e ip.checksum.status "
        "-e tcp.checksum.status 2>/dev/null");
    EXPECT_EQ(checks.find('0'), std::string::npos) << checks; // 0: bad
    EXPECT_NE(checks.find('1'), std::string::npos) << checks; // 1: good

    EXPECT_EQ(Shell("tshark -r '" + path +
                    "' -Y http.request -T fields -e http.request.method "
                    "-e http.request.uri 2>/dev/null"),
              "GET\t/index.html\n");
    EXPECT_EQ(Shell("tshark -r '" + path +
                    "' -Y http.response -T fields -e http.response.code "
                    "2>/dev/null"),
              "200\n");
    EXPECT_EQ(Shell("tshark -r '" + path +
                    "' -Y smtp.req -T fields -e smtp.req.command "
                    "2>/dev/null"),
              "EHLO\n");
    EXPECT_NE(Shell("tshark -r '" + path + "' -T fields -e frame.comment 2>/dev/null")
                  .find("STARTTLSに切り替えました"),
              std::string::npos);
    // The ended connection closes with FINs both ways; the open one does not.
    EXPECT_EQ(Shell("tshark -r '" + path +
                    "' -Y 'tcp.flags.fin==1' -T fields -e tcp.stream "
                    "2>/dev/null"),
              "0\n0\n");
    // Sequence and acknowledgment numbers as a stack keeps them: tshark finds nothing amiss.
    EXPECT_EQ(Shell("tshark -r '" + path + "' -Y tcp.analysis.flags 2>/dev/null"), "");

    const Followed second = TsharkFollow(path, 1);
    EXPECT_EQ(second.nodes[0], "EHLO me\r\n");
    EXPECT_EQ(second.nodes[1], "220 mail ESMTP\r\n250 ok\r\n");
}

TEST(CaptureFile, TwentyMebibytesComeBackWholeThroughTshark) {
    if (!HaveTshark()) GTEST_SKIP() << "tshark is not installed";
    TempDir dir;
    CaptureEvents events;
    events.SetConnection(1, Between("127.0.0.1:40000", "127.0.0.1:6379"));
    events.Add(CaptureItemKind::Sent, 1700000000000000, testing::Pattern(0, 1000));
    for (std::size_t at = 0; at < (std::size_t{20} << 20); at += 1u << 20)
        events.Add(CaptureItemKind::Received, 1700000000000000 + static_cast<int64_t>(at),
                   testing::Pattern(at, 1u << 20));
    const std::string path = dir.Path("big.pcapng");
    ASSERT_TRUE(WriteCapture(events, path));
    const Followed followed = TsharkFollow(path, 0);
    EXPECT_EQ(followed.nodes[0], testing::Pattern(0, 1000));
    EXPECT_EQ(followed.nodes[1].size(), std::size_t{20} << 20);
    EXPECT_TRUE(testing::MatchesPattern(0, followed.nodes[1]));
}

// A UDP connection of the record: each datagram is one UDP packet, whole up to the largest each
// family carries, with its checksum, between the ends of its time (a listening socket answers
// whoever sent last, which the record notes); no handshake and no closing around them.
TEST(CaptureFile, DatagramsAreUdpPacketsBetweenTheirEnds) {
    if (!HaveTshark()) GTEST_SKIP() << "tshark is not installed";
    TempDir dir;
    Transcript transcript;
    std::string every;
    for (int b = 0; b < 256; ++b)
        every += static_cast<char>(b);
    const std::string largeV4 = testing::Pattern(0, 65507), largeV6 = testing::Pattern(9, 65527);
    const int64_t t = 1700000000000000;
    transcript.BeginConnection(1);
    transcript.Append(Direction::Received, every.data(), every.size(), t, true);
    transcript.Append(Direction::Sent, "answer", 6, t, true);
    transcript.AddNote(std::string(kPeerNotePrefix) + "127.0.0.1:40002", t);
    transcript.Append(Direction::Received, largeV4.data(), largeV4.size(), t, true);
    transcript.Append(Direction::Sent, "to two", 6, t, true);
    transcript.BeginConnection(2);
    transcript.Append(Direction::Sent, largeV6.data(), largeV6.size(), t, true);
    const TranscriptCapture input(transcript, [](uint32_t connection) {
        CaptureConnection c = connection == 1 ? Between("127.0.0.1:40000", "127.0.0.1:40001")
                                              : Between("[::1]:40003", "[::1]:40004");
        c.udp = true;
        c.localOpened = connection == 2;
        c.ended = true;
        return std::optional<CaptureConnection>(c);
    });
    const std::string path = dir.Path("udp.pcapng");
    ASSERT_TRUE(WriteCapture(input, path));
    EXPECT_EQ(Shell("tshark -r '" + path +
                    "' -o udp.check_checksum:TRUE -T fields -e udp.srcport -e udp.dstport "
                    "-e udp.checksum.status -e udp.length -e tcp.port 2>/dev/null"),
              "40001\t40000\t1\t264\t\n"
              "40000\t40001\t1\t14\t\n"
              "40002\t40000\t1\t65515\t\n"
              "40000\t40002\t1\t14\t\n"
              "40003\t40004\t1\t65535\t\n");
    const std::string payloads =
        Shell("tshark -r '" + path + "' -T fields -e udp.payload 2>/dev/null");
    std::vector<std::string> datagrams;
    for (std::size_t at = 0; at < payloads.size();) {
        const std::size_t end = payloads.find('\n', at);
        datagrams.push_back(Unhex(payloads.substr(at, end - at)));
        at = end + 1;
    }
    EXPECT_EQ(datagrams, (std::vector<std::string>{every, "answer", largeV4, "to two", largeV6}));
    EXPECT_NE(Shell("tshark -r '" + path + "' -T fields -e frame.comment 2>/dev/null")
                  .find("127.0.0.1:40002"),
              std::string::npos);
}

TEST(CaptureFile, AFailedWriteLeavesNoFileAndTheRecordOfTheWindowIsAdapted) {
    TempDir dir;
    Transcript transcript;
    transcript.BeginConnection(3);
    transcript.Append(Direction::Sent, "PING\r\n", 6, 1700000000000000);
    transcript.Append(Direction::Received, "+PONG\r\n", 7, 1700000000000100);
    const TranscriptCapture input(transcript, [](uint32_t connection) {
        EXPECT_EQ(connection, 3u);
        return std::optional<CaptureConnection>(Between("127.0.0.1:40000", "127.0.0.1:6379"));
    });
    const std::string path = dir.Path("record.pcapng");
    ASSERT_TRUE(WriteCapture(input, path));
    Transcript back;
    ASSERT_TRUE(ReadCapture(path, back).ok);
    EXPECT_EQ(SidesOf(back).sent, "PING\r\n");
    EXPECT_EQ(SidesOf(back).received, "+PONG\r\n");

    // A disk that fills up midway: no file, and no temporary one either.
    int writes = 0;
    CaptureJob failing(input, dir.Path("full.pcapng"),
                       [&writes](int, const void *, std::size_t) -> ssize_t {
                           errno = ENOSPC;
                           return ++writes > 0 ? -1 : 0;
                       });
    while (failing.Step(1)) {
    }
    EXPECT_FALSE(failing.Succeeded());
    EXPECT_NE(failing.Error().find("空き"), std::string::npos) << failing.Error();
    EXPECT_FALSE(std::filesystem::exists(dir.Path("full.pcapng")));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()),
                            std::filesystem::directory_iterator()),
              1);
}

// ---------------------------------------------------------------------------------------------
// Captures made elsewhere: packets built here under each link type, then a live tcpdump capture.

struct Wire {
    bool fromA;
    uint32_t seq;
    uint8_t flags;
    std::string payload;
};

// One frame of the link type around an IP packet carrying a TCP segment (checksums left out:
// a capture taken where the card computes them has them wrong too).
std::string Frame(int link, const CaptureAddress &src, const CaptureAddress &dst, const Wire &w,
                  uint32_t ack) {
    std::string tcp(20, '\0');
    const auto be16 = [](std::string &s, std::size_t at, uint16_t v) {
        s[at] = static_cast<char>(v >> 8);
        s[at + 1] = static_cast<char>(v);
    };
    const auto be32 = [&](std::string &s, std::size_t at, uint32_t v) {
        be16(s, at, static_cast<uint16_t>(v >> 16));
        be16(s, at + 2, static_cast<uint16_t>(v));
    };
    be16(tcp, 0, src.port);
    be16(tcp, 2, dst.port);
    be32(tcp, 4, w.seq);
    be32(tcp, 8, ack);
    tcp[12] = 0x50;
    tcp[13] = static_cast<char>(w.flags);
    tcp += w.payload;
    std::string ip;
    if (src.v6) {
        ip.assign(40, '\0');
        ip[0] = 0x60;
        be16(ip, 4, static_cast<uint16_t>(tcp.size()));
        ip[6] = 6;
        ip[7] = 64;
        ip.replace(8, 16, reinterpret_cast<const char *>(src.bytes), 16);
        ip.replace(24, 16, reinterpret_cast<const char *>(dst.bytes), 16);
    } else {
        ip.assign(20, '\0');
        ip[0] = 0x45;
        be16(ip, 2, static_cast<uint16_t>(20 + tcp.size()));
        ip[8] = 64;
        ip[9] = 6;
        ip.replace(12, 4, reinterpret_cast<const char *>(src.bytes), 4);
        ip.replace(16, 4, reinterpret_cast<const char *>(dst.bytes), 4);
    }
    ip += tcp;
    const uint16_t type = src.v6 ? 0x86DD : 0x0800;
    std::string head;
    switch (link) {
    case DLT_EN10MB:
        head.assign(14, '\0');
        be16(head, 12, 0x8100); // with a VLAN tag
        head += std::string(4, '\0');
        be16(head, 16, type);
        ip.append(6, '\0'); // and the padding of a short frame, beyond the IP packet
        break;
    case DLT_LINUX_SLL:
        head.assign(16, '\0');
        be16(head, 14, type);
        break;
    case DLT_LINUX_SLL2:
        head.assign(20, '\0');
        be16(head, 0, type);
        break;
    case DLT_NULL:
        head = src.v6 ? std::string("\x1e\0\0\0", 4) : std::string("\x02\0\0\0", 4);
        break;
    case DLT_LOOP:
        head = src.v6 ? std::string("\0\0\0\x1c", 4) : std::string("\0\0\0\x02", 4);
        break;
    default: // raw IP
        break;
    }
    return head + ip;
}

void WritePcap(const std::string &path, int link, const CaptureAddress &a, const CaptureAddress &b,
               const std::vector<Wire> &wires) {
    pcap_t *dead = pcap_open_dead(link, 262144);
    pcap_dumper_t *dumper = pcap_dump_open(dead, path.c_str());
    ASSERT_NE(dumper, nullptr) << pcap_geterr(dead);
    int64_t time = 1700000000000000;
    for (const Wire &w : wires) {
        const std::string frame = Frame(link, w.fromA ? a : b, w.fromA ? b : a, w, 0);
        pcap_pkthdr header{};
        header.ts.tv_sec = static_cast<time_t>(time / 1000000);
        header.ts.tv_usec = static_cast<suseconds_t>(time % 1000000);
        header.caplen = header.len = static_cast<bpf_u_int32>(frame.size());
        pcap_dump(reinterpret_cast<u_char *>(dumper), &header,
                  reinterpret_cast<const u_char *>(frame.data()));
        time += 1000;
    }
    pcap_dump_close(dumper);
    pcap_close(dead);
}

// Segments as a real network delivers them to a capture: sent again, overlapping what came
// before, or out of order, with sequence numbers that wrap around 2^32. Every link type the
// reader takes puts them back into the same bytes.
TEST(CaptureReader, SegmentsResentOverlappingOrOutOfOrderComeBackInOrderUnderEveryLink) {
    TempDir dir;
    std::mt19937 random(77);
    const int links[] = {DLT_EN10MB, DLT_LINUX_SLL, DLT_LINUX_SLL2, DLT_RAW, DLT_NULL, DLT_LOOP};
    for (int round = 0; round < 24; ++round) {
        const int link = links[round % 6];
        const bool v6 = round % 2 == 1;
        const CaptureAddress a = Address(v6 ? "[2001:db8::a]:50000" : "10.0.0.10:50000");
        const CaptureAddress b = Address(v6 ? "[2001:db8::b]:80" : "10.0.0.11:80");
        // Near the wrap, so that it is crossed.
        const uint32_t isnA = 0xFFFFFFFFu - static_cast<uint32_t>(random() % 5000);
        const uint32_t isnB = static_cast<uint32_t>(random());
        std::string streams[2];
        for (std::string &s : streams) {
            s.resize(1 + random() % 20000);
            for (char &c : s)
                c = static_cast<char>(random());
        }
        std::vector<Wire> wires = {{true, isnA, 0x02, {}}, {false, isnB, 0x12, {}}};
        // Each side's stream in segments, some sent twice, some overlapping the one before.
        std::vector<Wire> data;
        for (int side = 0; side < 2; ++side) {
            const uint32_t isn = side == 0 ? isnA : isnB;
            std::size_t at = 0;
            while (at < streams[side].size()) {
                const std::size_t n =
                    std::min<std::size_t>(1 + random() % 1500, streams[side].size() - at);
                const std::size_t back =
                    at > 0 && random() % 4 == 0 ? random() % std::min<std::size_t>(at, 300) : 0;
                const std::size_t from = at - back;
                data.push_back({side == 0, isn + 1 + static_cast<uint32_t>(from), 0x18,
                                streams[side].substr(from, n + back)});
                if (random() % 6 == 0) {
                    const Wire again = data.back();
                    data.push_back(again);
                }
                at += n;
            }
        }
        // Out of order: neighbours swapped here and there.
        for (std::size_t i = 1; i < data.size(); ++i)
            if (random() % 5 == 0) std::swap(data[i - 1], data[i]);
        wires.insert(wires.end(), data.begin(), data.end());
        const std::string path = dir.Path("link" + std::to_string(round) + ".pcap");
        WritePcap(path, link, a, b, wires);

        Transcript back;
        const CaptureReadOutcome read = ReadCapture(path, back);
        ASSERT_TRUE(read.ok) << read.error << " link " << link;
        const Sides got = SidesOf(back);
        // The side that sent the SYN is this one.
        EXPECT_EQ(got.sent, streams[0]) << "link " << link << " round " << round;
        EXPECT_EQ(got.received, streams[1]) << "link " << link << " round " << round;
        EXPECT_EQ(read.summary.missing, 0u);
        EXPECT_EQ(read.summary.local, FormatCaptureAddress(a));
    }
}

// What a capture lacks is skipped and counted, never made up: a lost segment, a segment cut by
// the snapshot length, a file that breaks off. Other streams and the next connection on the same
// ports stay out of the record.
TEST(CaptureReader, MissingBytesAreCountedAndOtherStreamsStayOut) {
    TempDir dir;
    const CaptureAddress a = Address("10.0.0.1:40000");
    const CaptureAddress b = Address("10.0.0.2:7");
    const CaptureAddress c = Address("10.0.0.3:9");
    const std::string path = dir.Path("gaps.pcap");
    {
        pcap_t *dead = pcap_open_dead(DLT_RAW, 262144);
        pcap_dumper_t *dumper = pcap_dump_open(dead, path.c_str());
        ASSERT_NE(dumper, nullptr);
        int64_t time = 1700000000000000;
        const auto put = [&](const CaptureAddress &src, const CaptureAddress &dst, Wire w,
                             std::size_t cut = 0) {
            const std::string frame = Frame(DLT_RAW, src, dst, w, 0);
            pcap_pkthdr header{};
            header.ts.tv_sec = static_cast<time_t>(time / 1000000);
            header.ts.tv_usec = static_cast<suseconds_t>(time % 1000000);
            header.len = static_cast<bpf_u_int32>(frame.size());
            header.caplen = static_cast<bpf_u_int32>(frame.size() - cut);
            pcap_dump(reinterpret_cast<u_char *>(dumper), &header,
                      reinterpret_cast<const u_char *>(frame.data()));
            time += 1000;
        };
        put(c, b, {true, 500, 0x02, {}}); // a stream without bytes comes first
        put(a, b, {true, 1000, 0x02, {}});
        put(b, a, {true, 9000, 0x12, {}});
        put(a, b, {true, 1001, 0x18, "one "});
        put(a, b, {true, 1009, 0x18, "three "});      // "two " (1005) never captured
        put(a, b, {true, 1015, 0x18, "four-cut"}, 4); // the last four bytes not captured
        put(b, a, {true, 9001, 0x18, "reply"});
        put(a, c, {true, 7000, 0x18, "elsewhere"});
        put(a, b, {true, 1023, 0x11, {}});
        put(b, a, {true, 9006, 0x11, {}});
        put(a, b, {true, 5000, 0x02, {}}); // the next connection on the same ports
        put(a, b, {true, 5001, 0x18, "next connection"});
        pcap_dump_close(dumper);
        pcap_close(dead);
    }
    Transcript back;
    CaptureReadOutcome read = ReadCapture(path, back);
    ASSERT_TRUE(read.ok) << read.error;
    EXPECT_EQ(SidesOf(back).sent, "one three four");
    EXPECT_EQ(SidesOf(back).received, "reply");
    EXPECT_EQ(read.summary.missing, 8u);
    EXPECT_EQ(read.summary.otherStreams, 2u);
    EXPECT_EQ(read.summary.peer, "10.0.0.2:7");

    // The same file broken off inside its last packets: what came before still opens.
    const std::string whole = ReadFile(path);
    testing::WriteFile(dir.Path("cut.pcap"), whole.substr(0, whole.size() - 30));
    Transcript cut;
    read = ReadCapture(dir.Path("cut.pcap"), cut);
    ASSERT_TRUE(read.ok) << read.error;
    EXPECT_EQ(SidesOf(cut).sent, "one three four");
    EXPECT_FALSE(read.summary.fileProblem.empty());

    // Not a capture at all, or no TCP in it: a message, and nothing in the record.
    testing::WriteFile(dir.Path("text.pcap"), "GET / HTTP/1.1\r\n\r\n");
    Transcript none;
    read = ReadCapture(dir.Path("text.pcap"), none);
    EXPECT_FALSE(read.ok);
    EXPECT_NE(read.error.find("開けません"), std::string::npos) << read.error;
    EXPECT_EQ(none.Size(), 0u);
}

// A capture taken live by tcpdump on the loopback interface of a real exchange opens into the
// bytes that went each way.
TEST(CaptureReader, ALiveTcpdumpCaptureOfARealExchangeOpensIntoItsBytes) {
    if (Shell("command -v tcpdump").find("tcpdump") == std::string::npos)
        GTEST_SKIP() << "tcpdump is not installed";
    TempDir dir;
    const std::string path = dir.Path("live.pcap");
    testing::TestServer server(testing::Echo());
    // A kernel buffer (-B, KiB) that holds the whole exchange, so that a busy machine where
    // tcpdump falls behind still captures every packet.
    testing::PeerProcess tcpdump({"tcpdump", "-i", "lo", "-U", "-n", "-B", "65536", "-Z", "root",
                                  "-w", path, "tcp port " + std::to_string(server.Port())});
    if (!tcpdump.WaitFor("listening on", std::chrono::seconds(20)))
        GTEST_SKIP() << "tcpdump cannot capture here: " << tcpdump.Output();

    const std::string request = testing::Pattern(0, 1u << 20);
    {
        testing::Collector client("127.0.0.1", server.Port());
        client.Conn().Send(request);
        ASSERT_TRUE(client.WaitBytes(request.size(), std::chrono::seconds(50)));
        client.Conn().Disconnect();
        client.WaitEnd(std::chrono::seconds(10));
    }
    // tcpdump writes each packet as it comes; the last ones may still be on their way.
    CaptureReadOutcome read;
    Sides got;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    do {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        Transcript back;
        read = ReadCapture(path, back);
        got = SidesOf(back);
    } while ((got.sent.size() < request.size() || got.received.size() < request.size()) &&
             std::chrono::steady_clock::now() < deadline);
    ASSERT_TRUE(read.ok) << read.error;
    EXPECT_TRUE(got.sent == request)
        << got.sent.size() << " missing " << read.summary.missing << " packets "
        << read.summary.packets << " other " << read.summary.otherStreams << " "
        << read.summary.fileProblem;
    EXPECT_TRUE(got.received == request) << got.received.size();
    EXPECT_EQ(read.summary.peer, "127.0.0.1:" + std::to_string(server.Port()));
}

} // namespace
} // namespace tarvotcpc
