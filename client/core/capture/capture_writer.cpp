#include "capture/capture_writer.hpp"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>

namespace tarvotcpc {

namespace {

// pcapng blocks and options (all little-endian here; readers follow the section's byte order).
constexpr uint32_t kSectionHeader = 0x0A0D0D0A;
constexpr uint32_t kInterfaceDescription = 1;
constexpr uint32_t kEnhancedPacket = 6;
constexpr uint16_t kOptEnd = 0;
constexpr uint16_t kOptComment = 1;
constexpr uint16_t kShbUserApplication = 4;
constexpr uint16_t kIfName = 2;
constexpr uint16_t kEpbFlags = 2;
constexpr uint16_t kLinkTypeLinuxSll = 113;
constexpr uint32_t kSnapLength = 262144;
// The cooked header's packet types, as Linux names them.
constexpr uint16_t kPacketHost = 0;
constexpr uint16_t kPacketOutgoing = 4;
constexpr uint16_t kArphrdNone = 0xFFFE;

constexpr uint8_t kFin = 0x01;
constexpr uint8_t kSyn = 0x02;
constexpr uint8_t kPsh = 0x08;
constexpr uint8_t kAck = 0x10;
constexpr uint16_t kWindow = 65535;
// The most payload one UDP packet carries: 65535 bytes less the UDP header, and for IPv4 less
// its own header too.
constexpr std::size_t kMaxCapturedDatagramV4 = 65507;
constexpr std::size_t kMaxCapturedDatagramV6 = 65527;

void Put16(std::string &out, uint16_t v) {
    out += static_cast<char>(v & 0xFF);
    out += static_cast<char>(v >> 8);
}

void Put32(std::string &out, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out += static_cast<char>((v >> (8 * i)) & 0xFF);
}

void PutBe16(std::string &out, uint16_t v) {
    out += static_cast<char>(v >> 8);
    out += static_cast<char>(v & 0xFF);
}

void PutBe32(std::string &out, uint32_t v) {
    for (int i = 3; i >= 0; --i)
        out += static_cast<char>((v >> (8 * i)) & 0xFF);
}

void Pad4(std::string &out) {
    while (out.size() % 4 != 0)
        out += '\0';
}

void Option(std::string &out, uint16_t code, std::string_view value) {
    Put16(out, code);
    Put16(out, static_cast<uint16_t>(value.size()));
    out.append(value);
    Pad4(out);
}

// A whole block: type, length, body (already a multiple of four), length again.
void Block(std::string &out, uint32_t type, const std::string &body) {
    const auto length = static_cast<uint32_t>(body.size() + 12);
    Put32(out, type);
    Put32(out, length);
    out += body;
    Put32(out, length);
}

// An option's value holds at most 65535 bytes; a longer note is cut at a character's start.
std::string_view OptionText(std::string_view text) {
    constexpr std::size_t kMax = 65535 - 4;
    if (text.size() <= kMax) return text;
    std::size_t end = kMax;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
        --end;
    return text.substr(0, end);
}

// The Internet checksum over the pieces, as one sequence of 16-bit words.
class Checksum {
  public:
    void Add(std::string_view bytes) {
        for (const char c : bytes) {
            const auto byte = static_cast<uint8_t>(c);
            sum_ += odd_ ? byte : static_cast<uint32_t>(byte) << 8;
            odd_ = !odd_;
            if (sum_ >= 0x80000000u) sum_ = (sum_ & 0xFFFF) + (sum_ >> 16);
        }
    }
    uint16_t Value() const {
        uint32_t sum = sum_;
        while (sum >> 16)
            sum = (sum & 0xFFFF) + (sum >> 16);
        return static_cast<uint16_t>(~sum & 0xFFFF);
    }

  private:
    uint32_t sum_ = 0;
    bool odd_ = false;
};

std::string_view AddressBytes(const CaptureAddress &a) {
    return {reinterpret_cast<const char *>(a.bytes), a.v6 ? 16u : 4u};
}

bool IsMapped(const CaptureAddress &a) {
    static const uint8_t prefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    return a.v6 && std::memcmp(a.bytes, prefix, 12) == 0;
}

CaptureAddress Unmapped(CaptureAddress a) {
    std::memmove(a.bytes, a.bytes + 12, 4);
    std::memset(a.bytes + 4, 0, 12);
    a.v6 = false;
    return a;
}

CaptureAddress Mapped(CaptureAddress a) {
    if (a.v6) return a;
    std::memmove(a.bytes + 12, a.bytes, 4);
    std::memset(a.bytes, 0, 10);
    a.bytes[10] = a.bytes[11] = 0xFF;
    a.v6 = true;
    return a;
}

// Both ends in one family: a dual-stack socket names an IPv4 peer as ::ffff:a.b.c.d, which is
// IPv4 on the wire.
void OneFamily(CaptureConnection &c) {
    if (IsMapped(c.local) && IsMapped(c.peer)) {
        c.local = Unmapped(c.local);
        c.peer = Unmapped(c.peer);
    } else if (c.local.v6 != c.peer.v6) {
        c.local = Mapped(c.local);
        c.peer = Mapped(c.peer);
    }
}

// Stand-ins from the documentation ranges (RFC 5737) for a connection whose addresses the record
// does not hold; the stream's first packet says so.
CaptureConnection GuessedConnection(uint32_t connection) {
    CaptureConnection c;
    const uint8_t local[4] = {192, 0, 2, 1};
    const uint8_t peer[4] = {192, 0, 2, 2};
    std::memcpy(c.local.bytes, local, 4);
    std::memcpy(c.peer.bytes, peer, 4);
    c.local.port = static_cast<uint16_t>(49152 + connection % 16384);
    c.peer.port = 9;
    return c;
}

} // namespace

bool CaptureAddress::operator==(const CaptureAddress &other) const {
    return v6 == other.v6 && port == other.port && std::memcmp(bytes, other.bytes, 16) == 0;
}

std::optional<CaptureAddress> ParseCaptureAddress(const std::string &text) {
    std::string host;
    std::string port;
    if (!text.empty() && text.front() == '[') {
        const auto close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':')
            return std::nullopt;
        host = text.substr(1, close - 1);
        if (const auto zone = host.find('%'); zone != std::string::npos) host.resize(zone);
        port = text.substr(close + 2);
    } else {
        const auto colon = text.rfind(':');
        if (colon == std::string::npos) return std::nullopt;
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
    }
    if (port.empty() || port.size() > 5 ||
        !std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    const unsigned long number = std::stoul(port);
    if (number > 65535) return std::nullopt;
    CaptureAddress out;
    out.port = static_cast<uint16_t>(number);
    if (inet_pton(AF_INET, host.c_str(), out.bytes) == 1) return out;
    out.v6 = true;
    if (inet_pton(AF_INET6, host.c_str(), out.bytes) == 1) return out;
    return std::nullopt;
}

std::string FormatCaptureAddress(const CaptureAddress &address) {
    char text[INET6_ADDRSTRLEN] = {};
    inet_ntop(address.v6 ? AF_INET6 : AF_INET, address.bytes, text, sizeof text);
    const std::string port = std::to_string(address.port);
    return address.v6 ? "[" + std::string(text) + "]:" + port : std::string(text) + ":" + port;
}

void CaptureEvents::Add(CaptureItemKind kind, int64_t timeUs, std::string bytes,
                        uint32_t connection) {
    Entry entry;
    entry.item.kind = kind;
    entry.item.timeUs = timeUs;
    entry.item.connection = connection;
    if (kind == CaptureItemKind::Note) {
        entry.item.note = std::move(bytes);
    } else {
        entry.item.size = bytes.size();
        entry.bytes = std::move(bytes);
    }
    items_.push_back(std::move(entry));
}

void CaptureEvents::SetConnection(uint32_t connection, CaptureConnection info) {
    for (auto &entry : connections_) {
        if (entry.first == connection) {
            entry.second = info;
            return;
        }
    }
    connections_.emplace_back(connection, info);
}

CaptureItem CaptureEvents::Item(std::size_t index) const {
    return items_.at(index).item;
}

std::size_t CaptureEvents::Read(std::size_t index, uint64_t offset, std::span<char> out) const {
    if (index >= items_.size()) return 0;
    const std::string &bytes = items_[index].bytes;
    if (offset >= bytes.size()) return 0;
    const std::size_t n = std::min<std::size_t>(out.size(), bytes.size() - offset);
    std::memcpy(out.data(), bytes.data() + offset, n);
    return n;
}

std::optional<CaptureConnection> CaptureEvents::Connection(uint32_t connection) const {
    for (const auto &entry : connections_)
        if (entry.first == connection) return entry.second;
    return std::nullopt;
}

struct CaptureJob::Stream {
    uint32_t connection = 0;
    CaptureConnection info;
    CaptureConnection asRecorded; // before OneFamily: a new peer may be of the other family
    uint32_t localSeq = 0;        // the next sequence number each side sends
    uint32_t peerSeq = 0;
    bool closed = false;
};

CaptureJob::CaptureJob(const CaptureInput &input, std::string path, WriteSeam seam)
    : input_(input), file_(std::move(path), std::move(seam)), itemCount_(input.ItemCount()) {
    for (std::size_t i = 0; i < itemCount_; ++i) {
        const CaptureItem item = input_.Item(i);
        if (item.kind != CaptureItemKind::Note) total_ += item.size;
        if (i + 1 == itemCount_) lastItemSize_ = item.size;
        auto last = std::find_if(lastItemOf_.begin(), lastItemOf_.end(),
                                 [&](const auto &e) { return e.first == item.connection; });
        if (last == lastItemOf_.end())
            lastItemOf_.emplace_back(item.connection, i);
        else
            last->second = i;
    }
    if (!file_.ok()) {
        error_ = file_.error();
        finished_ = true;
        return;
    }
    std::string header;
    Put32(header, 0x1A2B3C4D); // the byte-order magic
    Put16(header, 1);
    Put16(header, 0);
    Put32(header, 0xFFFFFFFF); // the section's length is not given
    Put32(header, 0xFFFFFFFF);
    Option(header, kShbUserApplication, "tarvotcpc");
    Option(header, kOptEnd, {});
    Block(out_, kSectionHeader, header);
    std::string interface;
    Put16(interface, kLinkTypeLinuxSll);
    Put16(interface, 0);
    Put32(interface, kSnapLength);
    Option(interface, kIfName, "tarvotcpc");
    Option(interface, kOptEnd, {});
    Block(out_, kInterfaceDescription, interface);
}

CaptureJob::~CaptureJob() = default;

bool CaptureJob::Fail(std::string error) {
    file_.Abandon();
    error_ = std::move(error);
    finished_ = true;
    return false;
}

CaptureJob::Stream &CaptureJob::StreamOf(uint32_t connection, int64_t timeUs) {
    for (auto &stream : streams_)
        if (stream->connection == connection) return *stream;
    auto stream = std::make_unique<Stream>();
    stream->connection = connection;
    std::optional<CaptureConnection> info = input_.Connection(connection);
    const bool guessed = !info;
    if (guessed) {
        info = GuessedConnection(connection);
        ++guessed_;
    }
    stream->info = stream->asRecorded = *info;
    OneFamily(stream->info);
    // Initial sequence numbers that differ between connections, and from run to run of nothing.
    const uint32_t mix = connection * 2654435761u;
    stream->localSeq = mix ^ 0x5CA1AB1Eu;
    stream->peerSeq = (mix >> 7) ^ 0x0DDBA115u;
    streams_.push_back(std::move(stream));
    Stream &s = *streams_.back();
    if (guessed)
        comments_.push_back("この接続のアドレスは記録にないため、仮のアドレスで書いています");
    if (s.info.udp) return s; // no handshake: the first datagram is the first packet
    // The side that connected sends the SYN.
    const bool opener = s.info.localOpened;
    Segment(s, opener, kSyn, {}, timeUs);
    Segment(s, !opener, kSyn | kAck, {}, timeUs);
    Segment(s, opener, kAck, {}, timeUs);
    return s;
}

void CaptureJob::Segment(Stream &stream, bool fromLocal, uint8_t flags, std::string_view payload,
                         int64_t timeUs) {
    const CaptureAddress &src = fromLocal ? stream.info.local : stream.info.peer;
    const CaptureAddress &dst = fromLocal ? stream.info.peer : stream.info.local;
    uint32_t &seq = fromLocal ? stream.localSeq : stream.peerSeq;
    const uint32_t ack = fromLocal ? stream.peerSeq : stream.localSeq;

    std::string tcp;
    PutBe16(tcp, src.port);
    PutBe16(tcp, dst.port);
    PutBe32(tcp, seq);
    PutBe32(tcp, (flags & kAck) ? ack : 0);
    tcp += static_cast<char>(5 << 4); // 20 bytes of header
    tcp += static_cast<char>(flags);
    PutBe16(tcp, kWindow);
    PutBe16(tcp, 0); // checksum, below
    PutBe16(tcp, 0);
    tcp.append(payload);

    Checksum sum;
    sum.Add(AddressBytes(src));
    sum.Add(AddressBytes(dst));
    std::string pseudo;
    if (src.v6) {
        PutBe32(pseudo, static_cast<uint32_t>(tcp.size()));
        PutBe32(pseudo, 6);
    } else {
        PutBe16(pseudo, 6);
        PutBe16(pseudo, static_cast<uint16_t>(tcp.size()));
    }
    sum.Add(pseudo);
    sum.Add(tcp);
    const uint16_t check = sum.Value();
    tcp[16] = static_cast<char>(check >> 8);
    tcp[17] = static_cast<char>(check & 0xFF);

    seq += static_cast<uint32_t>(payload.size()) + ((flags & (kSyn | kFin)) ? 1 : 0);
    IpPacket(stream, fromLocal, 6, std::move(tcp), timeUs);
}

void CaptureJob::Datagram(const Stream &stream, bool fromLocal, std::string_view payload,
                          int64_t timeUs) {
    const CaptureAddress &src = fromLocal ? stream.info.local : stream.info.peer;
    const CaptureAddress &dst = fromLocal ? stream.info.peer : stream.info.local;
    std::string udp;
    PutBe16(udp, src.port);
    PutBe16(udp, dst.port);
    PutBe16(udp, static_cast<uint16_t>(8 + payload.size()));
    PutBe16(udp, 0); // checksum, below
    udp.append(payload);
    Checksum sum;
    sum.Add(AddressBytes(src));
    sum.Add(AddressBytes(dst));
    std::string pseudo;
    if (src.v6) {
        PutBe32(pseudo, static_cast<uint32_t>(udp.size()));
        PutBe32(pseudo, 17);
    } else {
        PutBe16(pseudo, 17);
        PutBe16(pseudo, static_cast<uint16_t>(udp.size()));
    }
    sum.Add(pseudo);
    sum.Add(udp);
    // A sum of zero goes as all ones: zero means "no checksum" in UDP.
    const uint16_t check = sum.Value() == 0 ? 0xFFFF : sum.Value();
    udp[6] = static_cast<char>(check >> 8);
    udp[7] = static_cast<char>(check & 0xFF);
    IpPacket(stream, fromLocal, 17, std::move(udp), timeUs);
}

void CaptureJob::IpPacket(const Stream &stream, bool fromLocal, uint8_t protocol,
                          std::string transport, int64_t timeUs) {
    const CaptureAddress &src = fromLocal ? stream.info.local : stream.info.peer;
    const CaptureAddress &dst = fromLocal ? stream.info.peer : stream.info.local;
    std::string packet;
    // The cooked header: packet type, link type, link address (none), protocol.
    PutBe16(packet, fromLocal ? kPacketOutgoing : kPacketHost);
    PutBe16(packet, kArphrdNone);
    PutBe16(packet, 0);
    packet.append(8, '\0');
    PutBe16(packet, src.v6 ? 0x86DD : 0x0800);
    if (src.v6) {
        PutBe32(packet, 0x60000000);
        PutBe16(packet, static_cast<uint16_t>(transport.size()));
        packet += static_cast<char>(protocol);
        packet += static_cast<char>(64);
        packet.append(AddressBytes(src));
        packet.append(AddressBytes(dst));
    } else {
        std::string ip;
        ip += static_cast<char>(0x45);
        ip += '\0';
        PutBe16(ip, static_cast<uint16_t>(20 + transport.size()));
        PutBe16(ip, static_cast<uint16_t>(ipId_++));
        PutBe16(ip, 0x4000); // don't fragment
        ip += static_cast<char>(64);
        ip += static_cast<char>(protocol);
        PutBe16(ip, 0);
        ip.append(AddressBytes(src));
        ip.append(AddressBytes(dst));
        Checksum header;
        header.Add(ip);
        const uint16_t value = header.Value();
        ip[10] = static_cast<char>(value >> 8);
        ip[11] = static_cast<char>(value & 0xFF);
        packet += ip;
    }
    packet += transport;
    Packet(std::move(packet), fromLocal, timeUs);
}

void CaptureJob::TakePeerNote(Stream &stream, const std::string &note) {
    const std::string_view prefix = kPeerNotePrefix;
    if (!stream.info.udp || !note.starts_with(prefix)) return;
    const std::optional<CaptureAddress> peer = ParseCaptureAddress(note.substr(prefix.size()));
    if (!peer) return;
    stream.info = stream.asRecorded;
    stream.info.peer = *peer;
    OneFamily(stream.info);
}

void CaptureJob::Packet(std::string bytes, bool outgoing, int64_t timeUs) {
    if (hasHeld_) Flush(false);
    held_ = std::move(bytes);
    heldOutgoing_ = outgoing;
    heldTimeUs_ = timeUs;
    heldComments_ = std::move(comments_);
    comments_.clear();
    hasHeld_ = true;
}

// Puts the held packet into the output as an Enhanced Packet Block; with `all`, the notes still
// waiting for a packet join it first, as no packet follows them.
bool CaptureJob::Flush(bool all) {
    if (!hasHeld_) return true;
    if (all) {
        heldComments_.insert(heldComments_.end(), comments_.begin(), comments_.end());
        comments_.clear();
    }
    const auto time = static_cast<uint64_t>(std::max<int64_t>(heldTimeUs_, 0));
    std::string body;
    Put32(body, 0); // the interface
    Put32(body, static_cast<uint32_t>(time >> 32));
    Put32(body, static_cast<uint32_t>(time & 0xFFFFFFFF));
    Put32(body, static_cast<uint32_t>(held_.size()));
    Put32(body, static_cast<uint32_t>(held_.size()));
    body += held_;
    Pad4(body);
    for (const std::string &comment : heldComments_)
        Option(body, kOptComment, OptionText(comment));
    std::string flags;
    Put32(flags, heldOutgoing_ ? 2 : 1); // outbound, inbound
    Option(body, kEpbFlags, flags);
    Option(body, kOptEnd, {});
    Block(out_, kEnhancedPacket, body);
    hasHeld_ = false;
    held_.clear();
    heldComments_.clear();
    return true;
}

void CaptureJob::Close(Stream &stream, int64_t timeUs) {
    if (stream.closed || stream.info.udp) return;
    stream.closed = true;
    const bool first = !stream.info.closedByPeer; // the side that closes first is local
    Segment(stream, first, kFin | kAck, {}, timeUs);
    Segment(stream, !first, kFin | kAck, {}, timeUs);
    Segment(stream, first, kAck, {}, timeUs);
}

bool CaptureJob::Step(std::size_t budget) {
    if (finished_) return false;
    budget = std::max<std::size_t>(budget, 1);
    std::string piece;
    std::size_t spent = 0;
    const auto write = [&] {
        if (out_.empty()) return true;
        if (!file_.Write(out_)) {
            error_ = file_.error();
            finished_ = true;
            return false;
        }
        out_.clear();
        return true;
    };
    while (spent < budget && item_ < itemCount_) {
        const CaptureItem item = input_.Item(item_);
        const uint64_t size = item_ + 1 == itemCount_ ? lastItemSize_ : item.size;
        ++spent;
        Stream &stream = StreamOf(item.connection, item.timeUs);
        if (item.kind == CaptureItemKind::Note) {
            comments_.push_back(item.note);
            TakePeerNote(stream, item.note);
        } else if (offset_ < size) {
            // A datagram is one packet, however large: one IP packet holds the largest.
            const std::size_t want = static_cast<std::size_t>(
                std::min<uint64_t>(!stream.info.udp       ? kCaptureSegmentBytes
                                   : stream.info.local.v6 ? kMaxCapturedDatagramV6
                                                          : kMaxCapturedDatagramV4,
                                   size - offset_));
            piece.resize(want);
            std::size_t got = 0;
            while (got < want) {
                const std::size_t n =
                    input_.Read(item_, offset_ + got, {piece.data() + got, want - got});
                if (n == 0) return Fail("記録を読み出せないため保存できませんでした");
                got += n;
            }
            if (stream.info.udp)
                Datagram(stream, item.kind == CaptureItemKind::Sent, piece, item.timeUs);
            else
                Segment(stream, item.kind == CaptureItemKind::Sent, kPsh | kAck, piece,
                        item.timeUs);
            offset_ += got;
            done_ += got;
            spent += got;
        }
        if (item.kind == CaptureItemKind::Note || offset_ >= size) {
            const auto last =
                std::find_if(lastItemOf_.begin(), lastItemOf_.end(),
                             [&](const auto &e) { return e.first == item.connection; });
            if (last != lastItemOf_.end() && last->second == item_ && stream.info.ended)
                Close(stream, item.timeUs);
            ++item_;
            offset_ = 0;
        }
        if (out_.size() >= (1u << 20) && !write()) return false;
    }
    if (item_ < itemCount_) return write();
    Flush(true);
    if (!write()) return false;
    finished_ = true;
    if (!file_.Commit()) error_ = file_.error();
    return false;
}

void CaptureJob::Cancel() {
    if (finished_) return;
    file_.Abandon();
    error_ = "保存を取り消しました";
    finished_ = true;
}

} // namespace tarvotcpc
