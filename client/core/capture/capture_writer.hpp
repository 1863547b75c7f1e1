// An exchange written as a capture file that Wireshark and tshark open: each connection becomes
// one TCP stream between its real local and peer addresses, with the handshake, sequence and
// acknowledgment numbers, checksums and (for a connection that ended) the closing exchange a
// real stack would have put on the wire, and each piece of bytes at the time the record holds.
// A UDP connection's datagrams become one UDP packet each, with nothing around them.
//
// The file is pcapng with Linux cooked headers (LINKTYPE_LINUX_SLL): the cooked header says for
// each packet whether it went out or came in, which is how a capture opened later tells this
// side from the peer, and pcapng carries the notes of the record as packet comments. A TLS
// connection is written as the clear text the record holds, on the peer's real port.
//
// Like the saves, the file is written beside its target and renamed over it when complete, in
// steps the window runs between its events.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "saves/saving.hpp"

namespace tarvotcpc {

// An IPv4 or IPv6 address with its port.
struct CaptureAddress {
    bool v6 = false;
    uint8_t bytes[16] = {}; // IPv4: the first four
    uint16_t port = 0;

    bool operator==(const CaptureAddress &other) const;
};

// "127.0.0.1:8080", "[::1]:8080" or "[fe80::1%eth0]:8080" (the zone is dropped: the wire has
// none); nullopt for anything else.
std::optional<CaptureAddress> ParseCaptureAddress(const std::string &text);
// The same form back, without a zone.
std::string FormatCaptureAddress(const CaptureAddress &address);

// What is known of one connection of the record.
struct CaptureConnection {
    CaptureAddress local;
    CaptureAddress peer;
    bool localOpened = true; // this side connected; false: it accepted the peer
    // The connection is over: the closing exchange ends its stream. closedByPeer says which side
    // sent the first FIN.
    bool ended = false;
    bool closedByPeer = false;
    // Datagrams: each item one UDP packet, whole. A note kPeerNotePrefix + address among them
    // names the peer of those after it (a listening socket answers whoever sent last).
    bool udp = false;
};

inline constexpr char kPeerNotePrefix[] = "相手: ";

enum class CaptureItemKind : uint8_t { Sent, Received, Note };

struct CaptureItem {
    CaptureItemKind kind = CaptureItemKind::Received;
    int64_t timeUs = 0; // wall clock, microseconds since the epoch
    uint32_t connection = 0;
    uint64_t size = 0; // bytes of Sent and Received items
    std::string note;  // the text of a Note, UTF-8
};

// The exchange as the writer sees it: items in order, the bytes of each read in pieces, so that
// a record larger than memory can be written.
class CaptureInput {
  public:
    virtual ~CaptureInput() = default;
    virtual std::size_t ItemCount() const = 0;
    virtual CaptureItem Item(std::size_t index) const = 0;
    // As SavedTranscript::Read: up to out.size() bytes of item `index` from `offset` on; fewer
    // only at its end, 0 there or when they cannot be read.
    virtual std::size_t Read(std::size_t index, uint64_t offset, std::span<char> out) const = 0;
    // The addresses of a connection; nullopt when they are not known (it never reached a peer).
    virtual std::optional<CaptureConnection> Connection(uint32_t connection) const = 0;
};

// An exchange held in memory: tests, the fuzz target, small records.
class CaptureEvents : public CaptureInput {
  public:
    void Add(CaptureItemKind kind, int64_t timeUs, std::string bytes, uint32_t connection = 1);
    void SetConnection(uint32_t connection, CaptureConnection info);

    std::size_t ItemCount() const override { return items_.size(); }
    CaptureItem Item(std::size_t index) const override;
    std::size_t Read(std::size_t index, uint64_t offset, std::span<char> out) const override;
    std::optional<CaptureConnection> Connection(uint32_t connection) const override;

  private:
    struct Entry {
        CaptureItem item;
        std::string bytes;
    };
    std::vector<Entry> items_;
    std::vector<std::pair<uint32_t, CaptureConnection>> connections_;
};

// Most payload bytes per TCP segment: an IPv4 packet holds at most 65535 bytes with its headers.
inline constexpr std::size_t kCaptureSegmentBytes = 65000;

// Writes the capture in steps. The input must stay unchanged in what the job has counted (it may
// grow: only the items it held when the job began are written).
class CaptureJob {
  public:
    CaptureJob(const CaptureInput &input, std::string path, WriteSeam seam = {});
    ~CaptureJob(); // removes the temporary file unless the capture was written whole
    CaptureJob(const CaptureJob &) = delete;
    CaptureJob &operator=(const CaptureJob &) = delete;

    // Writes about `budget` more bytes of payload; true while there is more to do. Once it returns
    // false the file is either in place whole or was never left behind (Error says why).
    bool Step(std::size_t budget = 4u << 20);
    void Cancel();

    uint64_t BytesDone() const { return done_; }
    uint64_t BytesTotal() const { return total_; }
    bool Succeeded() const { return finished_ && error_.empty(); }
    const std::string &Error() const { return error_; }
    // Connections written with stand-in addresses, as theirs were not known.
    std::size_t GuessedConnections() const { return guessed_; }

  private:
    struct Stream;

    Stream &StreamOf(uint32_t connection, int64_t timeUs);
    void Segment(Stream &stream, bool fromLocal, uint8_t flags, std::string_view payload,
                 int64_t timeUs);
    void Datagram(const Stream &stream, bool fromLocal, std::string_view payload, int64_t timeUs);
    // The IP packet around a TCP segment or a UDP datagram, in its cooked header.
    void IpPacket(const Stream &stream, bool fromLocal, uint8_t protocol, std::string transport,
                  int64_t timeUs);
    void TakePeerNote(Stream &stream, const std::string &note);
    void Packet(std::string bytes, bool outgoing, int64_t timeUs);
    void Close(Stream &stream, int64_t timeUs);
    bool Flush(bool all);
    bool Fail(std::string error);

    const CaptureInput &input_;
    AtomicFile file_;
    std::size_t itemCount_ = 0;
    uint64_t lastItemSize_ = 0;
    std::vector<std::pair<uint32_t, std::size_t>> lastItemOf_; // connection, index of its last item
    std::vector<std::unique_ptr<Stream>> streams_;
    std::size_t item_ = 0;
    uint64_t offset_ = 0;
    std::vector<std::string> comments_; // notes waiting for the next packet
    std::string held_;                  // the last packet, held so that late notes can join it
    std::vector<std::string> heldComments_;
    bool heldOutgoing_ = false;
    int64_t heldTimeUs_ = 0;
    bool hasHeld_ = false;
    std::string out_;
    uint32_t ipId_ = 0;
    uint64_t done_ = 0;
    uint64_t total_ = 0;
    std::size_t guessed_ = 0;
    bool finished_ = false;
    std::string error_;
};

} // namespace tarvotcpc
