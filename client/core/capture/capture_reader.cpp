#include "capture/capture_reader.hpp"

#include "capture/capture_writer.hpp"

#include <pcap/pcap.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>
#include <map>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tarvotcpc {

namespace {

// Link types as the capture file numbers them (LINKTYPE_*), with libpcap's own names for some.
constexpr int kLinkNull = 0; // BSD loopback, family in the capturing host's byte order
constexpr int kLinkEthernet = 1;
constexpr int kLinkRaw = 101;  // libpcap reports it as DLT_RAW
constexpr int kLinkLoop = 108; // OpenBSD loopback, family in network order
constexpr int kLinkLinuxSll = 113;
constexpr int kLinkIpv4 = 228;
constexpr int kLinkIpv6 = 229;
constexpr int kLinkLinuxSll2 = 276;

constexpr uint8_t kFin = 0x01;
constexpr uint8_t kSyn = 0x02;
constexpr uint8_t kRst = 0x04;
constexpr uint8_t kAck = 0x10;

// Segments that came early wait for the ones before them up to this much; beyond it, the gap is
// taken as lost so that a capture that missed a segment still opens in bounded memory.
constexpr std::size_t kHoldLimit = std::size_t{64} << 20;
// Streams told apart for the choice; a capture with more still opens, the rest are only counted.
constexpr std::size_t kStreamLimit = 100000;

uint16_t Be16(const u_char *p) {
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

uint32_t Be32(const u_char *p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}

enum class Mark : uint8_t { None, Outgoing, Incoming };

struct TcpSegment {
    CaptureAddress src;
    CaptureAddress dst;
    uint32_t seq = 0;
    uint8_t flags = 0;
    std::string_view payload; // what was captured of it
    uint64_t lost = 0;        // payload bytes on the wire beyond what was captured
    Mark mark = Mark::None;
};

enum class Parse { Tcp, Other, Unreadable };

// The IP packet inside a frame of the link type: where it starts and whether the link layer says
// which way it went.
bool LinkLayer(int link, const u_char *p, std::size_t size, std::size_t &ip, Mark &mark) {
    mark = Mark::None;
    uint16_t type = 0;
    switch (link) {
    case kLinkEthernet: {
        if (size < 14) return false;
        ip = 14;
        type = Be16(p + 12);
        // VLAN tags, stacked as they may be.
        while ((type == 0x8100 || type == 0x88A8 || type == 0x9100) && ip + 4 <= size) {
            type = Be16(p + ip + 2);
            ip += 4;
        }
        break;
    }
    case kLinkLinuxSll:
        if (size < 16) return false;
        ip = 16;
        type = Be16(p + 14);
        mark = Be16(p) == 4 ? Mark::Outgoing : Be16(p) == 0 ? Mark::Incoming : Mark::None;
        break;
    case kLinkLinuxSll2:
        if (size < 20) return false;
        ip = 20;
        type = Be16(p);
        mark = p[10] == 4 ? Mark::Outgoing : p[10] == 0 ? Mark::Incoming : Mark::None;
        break;
    case DLT_RAW:
    case kLinkRaw:
    case kLinkIpv4:
    case kLinkIpv6:
        ip = 0;
        return true;
    case kLinkNull:
    case kLinkLoop: {
        if (size < 4) return false;
        ip = 4;
        // The family's number differs between systems (IPv6: 24, 28 or 30); the IP header's
        // version says the rest.
        return true;
    }
    default:
        return false;
    }
    return type == 0x0800 || type == 0x86DD;
}

bool KnownLink(int link) {
    switch (link) {
    case kLinkNull:
    case kLinkEthernet:
    case DLT_RAW:
    case kLinkRaw:
    case kLinkLoop:
    case kLinkLinuxSll:
    case kLinkIpv4:
    case kLinkIpv6:
    case kLinkLinuxSll2:
        return true;
    default:
        return false;
    }
}

Parse ParsePacket(int link, const pcap_pkthdr &header, const u_char *p, TcpSegment &out) {
    const std::size_t size = header.caplen;
    std::size_t at = 0;
    if (!LinkLayer(link, p, size, at, out.mark)) return Parse::Other;
    if (at >= size) return Parse::Unreadable;
    const u_char *ip = p + at;
    const std::size_t captured = size - at;
    // The packet's length on the wire, less what the link layer added.
    const uint64_t wire = header.len > at ? header.len - at : captured;
    const int version = ip[0] >> 4;
    std::size_t tcpAt = 0;
    uint64_t ipEnd = 0; // the end of the IP packet, from its own header
    if (version == 4) {
        if (captured < 20) return Parse::Unreadable;
        const std::size_t ihl = std::size_t{ip[0] & 0x0Fu} * 4;
        if (ihl < 20 || ihl > captured) return Parse::Unreadable;
        if (ip[9] != 6) return Parse::Other;
        // A fragment (more to come, or not the first): its TCP bytes cannot be placed alone.
        if ((Be16(ip + 6) & 0x3FFF) != 0) return Parse::Unreadable;
        const uint16_t total = Be16(ip + 2);
        // A total of 0 is what segmentation offload leaves in a capture: the frame says it.
        ipEnd = total == 0 ? wire : total;
        if (ipEnd < ihl) return Parse::Unreadable;
        out.src.v6 = out.dst.v6 = false;
        std::memset(out.src.bytes, 0, 16);
        std::memset(out.dst.bytes, 0, 16);
        std::memcpy(out.src.bytes, ip + 12, 4);
        std::memcpy(out.dst.bytes, ip + 16, 4);
        tcpAt = ihl;
    } else if (version == 6) {
        if (captured < 40) return Parse::Unreadable;
        const uint16_t payload = Be16(ip + 4);
        ipEnd = payload == 0 ? wire : uint64_t{40} + payload; // 0: a jumbogram or offload
        uint8_t next = ip[6];
        std::size_t at6 = 40;
        // Extension headers before TCP.
        for (int hops = 0; next != 6; ++hops) {
            if (hops > 16) return Parse::Unreadable;
            if (next == 44) return Parse::Unreadable; // a fragment
            if (next != 0 && next != 43 && next != 60 && next != 51) return Parse::Other;
            if (at6 + 8 > captured) return Parse::Unreadable;
            const std::size_t length = next == 51 ? (std::size_t{ip[at6 + 1]} + 2) * 4
                                                  : (std::size_t{ip[at6 + 1]} + 1) * 8;
            next = ip[at6];
            at6 += length;
        }
        out.src.v6 = out.dst.v6 = true;
        std::memcpy(out.src.bytes, ip + 8, 16);
        std::memcpy(out.dst.bytes, ip + 24, 16);
        tcpAt = at6;
    } else {
        return Parse::Other;
    }
    if (tcpAt + 20 > captured) return Parse::Unreadable;
    const u_char *tcp = ip + tcpAt;
    const std::size_t offset = static_cast<std::size_t>(tcp[12] >> 4) * 4;
    if (offset < 20 || tcpAt + offset > captured || tcpAt + offset > ipEnd)
        return Parse::Unreadable;
    out.src.port = Be16(tcp);
    out.dst.port = Be16(tcp + 2);
    out.seq = Be32(tcp + 4);
    out.flags = tcp[13];
    const uint64_t payloadStart = tcpAt + offset;
    // Ethernet pads short frames: the IP header's length, not the frame's, ends the payload.
    const uint64_t payloadEnd = std::max(payloadStart, ipEnd);
    const uint64_t have = std::min<uint64_t>(captured, payloadEnd) - payloadStart;
    out.payload = {reinterpret_cast<const char *>(tcp + offset), static_cast<std::size_t>(have)};
    out.lost = payloadEnd - payloadStart - have;
    return Parse::Tcp;
}

struct StreamKey {
    CaptureAddress a; // the source of the stream's first packet
    CaptureAddress b;
};

bool SameStream(const StreamKey &key, const TcpSegment &s) {
    return (key.a == s.src && key.b == s.dst) || (key.a == s.dst && key.b == s.src);
}

std::string KeyText(const TcpSegment &s) {
    // The two ends in a fixed order, so both directions name the same stream.
    const std::string x(reinterpret_cast<const char *>(&s.src), sizeof s.src);
    const std::string y(reinterpret_cast<const char *>(&s.dst), sizeof s.dst);
    return x < y ? x + y : y + x;
}

// What the first reading learns of one stream.
struct StreamFacts {
    StreamKey key;
    uint64_t firstPacket = 0;
    bool payload = false;
    struct Side {
        bool syn = false; // a SYN without ACK: it opened the connection
        bool isnKnown = false;
        uint32_t isn = 0; // of its SYN or SYN-ACK
        bool seqKnown = false;
        uint32_t lowest = 0; // the lowest payload sequence number, modulo 2^32
        uint64_t outgoing = 0;
        uint64_t incoming = 0;
    } side[2];
    bool ended = false; // a FIN or RST was seen
    int firstFin = -1;  // the side that sent the first FIN or RST
    bool data = false;
    uint64_t cut = UINT64_MAX; // a new connection on the same ports starts at this packet
};

// One direction's bytes put back in order.
class Reassembler {
  public:
    using Deliver = std::function<bool(std::string_view bytes, int64_t timeUs)>;

    void Start(uint32_t next) { base_ = next; }

    // False when delivering failed (the record refused the bytes).
    bool Add(uint32_t seq, std::string_view bytes, uint64_t lost, int64_t timeUs,
             const Deliver &deliver) {
        if (bytes.empty() && lost == 0) return true;
        const auto next = static_cast<uint32_t>(base_ + static_cast<uint32_t>(delivered_));
        const int64_t at = static_cast<int64_t>(delivered_) + static_cast<int32_t>(seq - next);
        if (at > static_cast<int64_t>(delivered_)) {
            Hold(static_cast<uint64_t>(at), bytes, lost, timeUs);
            while (heldBytes_ > kHoldLimit)
                if (!SkipGap(deliver)) return false;
            return true;
        }
        if (!Take(at, bytes, lost, timeUs, deliver)) return false;
        return Drain(deliver);
    }

    // The end of the capture: what still waits goes in, its gaps counted.
    bool Finish(const Deliver &deliver) {
        while (!held_.empty())
            if (!SkipGap(deliver)) return false;
        return true;
    }

    uint64_t Missing() const { return missing_; }

  private:
    struct Held {
        std::string bytes;
        uint64_t lost = 0;
        int64_t timeUs = 0;
    };

    void Hold(uint64_t at, std::string_view bytes, uint64_t lost, int64_t timeUs) {
        auto it = held_.find(at);
        if (it != held_.end()) {
            if (it->second.bytes.size() + it->second.lost >= bytes.size() + lost) return;
            heldBytes_ -= it->second.bytes.size();
        }
        held_[at] = Held{std::string(bytes), lost, timeUs};
        heldBytes_ += bytes.size();
    }

    // Bytes starting at `at` (at most delivered_): the part not delivered yet goes in. The
    // bytes the capture did not keep of the segment are taken as lost at once: waiting for a
    // retransmission would hold back every byte after them.
    bool Take(int64_t at, std::string_view bytes, uint64_t lost, int64_t timeUs,
              const Deliver &deliver) {
        const uint64_t skip = delivered_ - static_cast<uint64_t>(at);
        if (skip < bytes.size()) {
            bytes.remove_prefix(static_cast<std::size_t>(skip));
            if (!deliver(bytes, timeUs)) return false;
            delivered_ += bytes.size();
        } else {
            const uint64_t over = skip - bytes.size();
            lost = lost > over ? lost - over : 0;
        }
        missing_ += lost;
        delivered_ += lost;
        return true;
    }

    bool Drain(const Deliver &deliver) {
        while (!held_.empty() && held_.begin()->first <= delivered_) {
            auto node = held_.extract(held_.begin());
            heldBytes_ -= node.mapped().bytes.size();
            if (!Take(static_cast<int64_t>(node.key()), node.mapped().bytes, node.mapped().lost,
                      node.mapped().timeUs, deliver))
                return false;
        }
        return true;
    }

    bool SkipGap(const Deliver &deliver) {
        const uint64_t to = held_.begin()->first;
        if (to > delivered_) {
            missing_ += to - delivered_;
            delivered_ = to;
        }
        return Drain(deliver);
    }

    uint32_t base_ = 0;
    uint64_t delivered_ = 0;
    std::map<uint64_t, Held> held_;
    std::size_t heldBytes_ = 0;
    uint64_t missing_ = 0;
};

// A capture's header carries whatever its writer put there; a second count beyond what
// microseconds can hold is pinned to the edge rather than wrapping into another date.
int64_t TimeOf(const pcap_pkthdr &header) {
    constexpr int64_t kEdge = std::numeric_limits<int64_t>::max() / 1000000 - 1;
    const int64_t seconds = std::clamp<int64_t>(header.ts.tv_sec, -kEdge, kEdge);
    const int64_t micros = std::clamp<int64_t>(header.ts.tv_usec, 0, 999999);
    return seconds * 1000000 + micros;
}

} // namespace

// Opens the capture afresh for each reading.
struct CaptureReadJob::Opener {
    std::string path;
    std::string bytes;
    bool inMemory = false;
    uint64_t size = 0;

    pcap_t *Open(std::string &error) {
        char errbuf[PCAP_ERRBUF_SIZE] = {};
        pcap_t *p = nullptr;
        if (inMemory) {
            FILE *f = bytes.empty() ? nullptr : fmemopen(bytes.data(), bytes.size(), "rb");
            if (f == nullptr) {
                error = "空のファイルです";
                return nullptr;
            }
            p = pcap_fopen_offline(f, errbuf);
            if (p == nullptr) std::fclose(f);
        } else {
            p = pcap_open_offline(path.c_str(), errbuf);
        }
        if (p == nullptr) error = errbuf;
        return p;
    }
};

struct CaptureReadJob::State {
    pcap_t *pcap = nullptr;
    int link = 0;
    int pass = 0; // 1: learning the streams; 2: reading the chosen one
    uint64_t index = 0;
    std::unordered_map<std::string, std::size_t> streamIndex;
    std::vector<StreamFacts> streams;
    std::size_t unindexedStreams = 0;
    std::optional<std::size_t> firstStream;
    std::optional<std::size_t> firstWithPayload;
    StreamFacts chosen;
    int localSide = 0;
    Reassembler sides[2];

    ~State() { Close(); }

    void Close() {
        if (pcap != nullptr) pcap_close(pcap);
        pcap = nullptr;
    }

    void Learn(const TcpSegment &segment, uint64_t at) {
        const std::string key = KeyText(segment);
        std::size_t found = 0;
        if (const auto it = streamIndex.find(key); it != streamIndex.end()) {
            found = it->second;
        } else {
            if (streams.size() >= kStreamLimit) {
                ++unindexedStreams;
                return;
            }
            found = streams.size();
            streams.emplace_back();
            streams.back().key = {segment.src, segment.dst};
            streams.back().firstPacket = at;
            streamIndex.emplace(key, found);
            if (!firstStream) firstStream = found;
        }
        StreamFacts &f = streams[found];
        if (at >= f.cut) return;
        StreamFacts::Side &side = f.side[segment.src == f.key.a ? 0 : 1];
        const bool syn = (segment.flags & kSyn) != 0;
        if (syn) {
            // A SYN that starts over after the stream ended or carried data (with another initial
            // number) is the next connection on the same ports: the stream stops before it.
            const bool other = !side.isnKnown || segment.seq != side.isn;
            if ((f.ended && other) || (side.isnKnown && other && f.data)) {
                f.cut = at;
                return;
            }
            side.isnKnown = true;
            side.isn = segment.seq;
            if ((segment.flags & kAck) == 0) side.syn = true;
        }
        if ((segment.flags & (kFin | kRst)) != 0) {
            if (!f.ended) f.firstFin = segment.src == f.key.a ? 0 : 1;
            f.ended = true;
        }
        if (segment.mark == Mark::Outgoing) ++side.outgoing;
        if (segment.mark == Mark::Incoming) ++side.incoming;
        if (!segment.payload.empty() || segment.lost > 0) {
            f.data = true;
            if (!f.payload) {
                f.payload = true;
                if (!firstWithPayload) firstWithPayload = found;
            }
            const uint32_t seq = segment.seq + (syn ? 1 : 0);
            if (!side.seqKnown || static_cast<int32_t>(seq - side.lowest) < 0) side.lowest = seq;
            side.seqKnown = true;
        }
    }

    // Which side is this one, by the rules in the header.
    int LocalSide() const {
        const StreamFacts::Side &a = chosen.side[0];
        const StreamFacts::Side &b = chosen.side[1];
        if ((a.outgoing > 0) != (b.outgoing > 0)) return a.outgoing > 0 ? 0 : 1;
        if (a.syn != b.syn) return a.syn ? 0 : 1;
        if (chosen.key.a.port != chosen.key.b.port)
            return chosen.key.a.port > chosen.key.b.port ? 0 : 1;
        return 0;
    }

    static uint32_t Start(const StreamFacts::Side &side) {
        if (side.isnKnown) return side.isn + 1;
        return side.seqKnown ? side.lowest : 0;
    }
};

CaptureReadJob::CaptureReadJob(std::string path, Transcript &into)
    : CaptureReadJob(
          [&] {
              auto opener = std::make_unique<Opener>();
              opener->path = std::move(path);
              struct stat st {};
              if (::stat(opener->path.c_str(), &st) == 0)
                  opener->size = static_cast<uint64_t>(st.st_size);
              return opener;
          }(),
          into) {}

CaptureReadJob::CaptureReadJob(std::unique_ptr<Opener> opener, Transcript &into)
    : opener_(std::move(opener)), state_(std::make_unique<State>()), into_(into) {}

CaptureReadJob::~CaptureReadJob() = default;

std::unique_ptr<CaptureReadJob> CaptureReadJob::FromBytes(std::string bytes, Transcript &into) {
    auto opener = std::make_unique<Opener>();
    opener->inMemory = true;
    opener->size = bytes.size();
    opener->bytes = std::move(bytes);
    return std::unique_ptr<CaptureReadJob>(new CaptureReadJob(std::move(opener), into));
}

bool CaptureReadJob::Fail(std::string error) {
    error_ = std::move(error);
    finished_ = true;
    state_->Close();
    return false;
}

bool CaptureReadJob::Deliver(bool sent, std::string_view bytes, int64_t timeUs) {
    const int err = into_.Append(sent ? Direction::Sent : Direction::Received, bytes.data(),
                                 bytes.size(), timeUs);
    if (err != 0)
        return Fail(std::string("キャプチャを記録に読み込めません (") + std::strerror(err) + ")");
    (sent ? summary_.sent : summary_.received) += bytes.size();
    return true;
}

bool CaptureReadJob::EndPass() {
    State &s = *state_;
    s.Close();
    if (s.pass == 2) {
        for (int side = 0; side < 2; ++side) {
            if (!s.sides[side].Finish([this, &s, side](std::string_view bytes, int64_t timeUs) {
                    return Deliver(s.localSide == side, bytes, timeUs);
                }))
                return false;
            summary_.missing += s.sides[side].Missing();
        }
        finished_ = true;
        return false;
    }
    const std::optional<std::size_t> chosen =
        s.firstWithPayload ? s.firstWithPayload : s.firstStream;
    if (!chosen) return Fail("キャプチャにTCPの通信がありません");
    s.chosen = s.streams[*chosen];
    summary_.otherStreams = s.streams.size() - 1 + s.unindexedStreams;
    s.streams.clear();
    s.streamIndex.clear();
    s.localSide = s.LocalSide();
    const StreamKey &key = s.chosen.key;
    summary_.local = FormatCaptureAddress(s.localSide == 0 ? key.a : key.b);
    summary_.peer = FormatCaptureAddress(s.localSide == 0 ? key.b : key.a);
    const int peerSide = 1 - s.localSide;
    summary_.localOpened = !s.chosen.side[peerSide].syn;
    summary_.ended = s.chosen.ended;
    summary_.closedByPeer = s.chosen.firstFin == peerSide;
    for (int side = 0; side < 2; ++side)
        s.sides[side].Start(State::Start(s.chosen.side[side]));
    into_.BeginConnection(1);
    std::string error;
    s.pcap = opener_->Open(error);
    if (s.pcap == nullptr) return Fail("キャプチャファイルを読み直せません: " + error);
    s.pass = 2;
    s.index = 0;
    return true;
}

int CaptureReadJob::Progress() const {
    if (finished_) return 1000;
    if (state_->pcap == nullptr || opener_->size == 0) return 0;
    const long at = std::ftell(pcap_file(state_->pcap));
    const uint64_t done = at > 0 ? static_cast<uint64_t>(at) : 0;
    const int half =
        static_cast<int>(std::min<uint64_t>(done, opener_->size) * 500 / opener_->size);
    return state_->pass == 2 ? 500 + half : half;
}

bool CaptureReadJob::Step(std::size_t packets) {
    if (finished_) return false;
    State &s = *state_;
    const std::string where =
        opener_->inMemory ? std::string("キャプチャ") : "「" + opener_->path + "」";
    if (s.pcap == nullptr) {
        std::string error;
        s.pcap = opener_->Open(error);
        if (s.pcap == nullptr)
            return Fail(where + "をキャプチャファイルとして開けません: " + error);
        s.link = pcap_datalink(s.pcap);
        if (!KnownLink(s.link)) {
            const char *name = pcap_datalink_val_to_name(s.link);
            return Fail(where + "のリンク層 (" + (name ? name : std::to_string(s.link)) +
                        ") は読めません。Ethernet、Linux cooked、raw "
                        "IP、ループバックのキャプチャを開けます");
        }
        s.pass = 1;
        s.index = 0;
    }

    const Reassembler::Deliver deliver[2] = {[this, &s](std::string_view bytes, int64_t timeUs) {
                                                 return Deliver(s.localSide == 0, bytes, timeUs);
                                             },
                                             [this, &s](std::string_view bytes, int64_t timeUs) {
                                                 return Deliver(s.localSide == 1, bytes, timeUs);
                                             }};

    for (std::size_t n = 0; n < packets; ++n) {
        pcap_pkthdr *header = nullptr;
        const u_char *data = nullptr;
        const int got = pcap_next_ex(s.pcap, &header, &data);
        if (got == 0) continue;
        if (got != 1) {
            // -2: the end of the file; -1: it breaks off or is damaged from here on, and what
            // came before still counts.
            if (got == -1 && s.pass == 1) summary_.fileProblem = pcap_geterr(s.pcap);
            return EndPass();
        }
        const uint64_t index = s.index++;
        TcpSegment segment;
        const Parse parsed = ParsePacket(s.link, *header, data, segment);
        if (s.pass == 1) {
            if (parsed == Parse::Unreadable) ++summary_.unreadablePackets;
            if (parsed == Parse::Tcp) s.Learn(segment, index);
            continue;
        }
        if (index >= s.chosen.cut) return EndPass();
        if (parsed != Parse::Tcp || index < s.chosen.firstPacket ||
            !SameStream(s.chosen.key, segment))
            continue;
        ++summary_.packets;
        if ((segment.flags & kRst) != 0) continue;
        const int side = segment.src == s.chosen.key.a ? 0 : 1;
        const uint32_t seq = segment.seq + ((segment.flags & kSyn) ? 1 : 0);
        if (!s.sides[side].Add(seq, segment.payload, segment.lost, TimeOf(*header), deliver[side]))
            return false;
    }
    return true;
}

std::optional<CaptureConnection> CaptureConnectionOf(const CaptureSummary &summary) {
    const std::optional<CaptureAddress> local = ParseCaptureAddress(summary.local);
    const std::optional<CaptureAddress> peer = ParseCaptureAddress(summary.peer);
    if (!local || !peer) return std::nullopt;
    CaptureConnection ends;
    ends.local = *local;
    ends.peer = *peer;
    ends.localOpened = summary.localOpened;
    ends.ended = summary.ended;
    ends.closedByPeer = summary.closedByPeer;
    return ends;
}

CaptureReadOutcome ReadCapture(const std::string &path, Transcript &into) {
    CaptureReadJob job(path, into);
    while (job.Step()) {
    }
    return {job.Succeeded(), job.Error(), job.Summary()};
}

} // namespace tarvotcpc
