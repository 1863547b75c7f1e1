// The light protocol awareness of the receive page: where each reply of a known text protocol
// begins and ends, and which byte ranges to draw in a quieter colour (status codes, header names,
// RESP type and length prefixes, IMAP tags) or to measure (a body's declared length against what
// arrived). Segmentation and highlighting, not dissection: nothing here changes, hides or
// reorders a byte, and bytes that follow no reply's grammar simply belong to no reply.
//
// Fed the received bytes of one connection as they are appended, cut anywhere; every result is
// the same for any cut. Offsets are the ones given to Feed (transcript offsets), so received
// bytes may be interleaved with sent ones: a range then spans them, and Mark::arrived tells how
// many received bytes a body really holds.
//
// What each protocol is read as:
// - HTTP/1.x responses: a status line, header lines up to an empty line, then a body by
//   Content-Length, chunked (each chunk-size line a prefix, each chunk a body), none for 1xx, 204
//   and 304, else until the connection ends. A response to HEAD is not known as such.
// - RESP (Redis): simple strings, errors, integers, bulk strings, arrays nested to any depth up
//   to kMaxDepth, and RESP3's null, double, boolean, big number, bulk error, verbatim string,
//   map, set, push and attribute; one top-level value is one reply.
// - SMTP and FTP: three-digit codes, multi-line replies by "250-" continuation up to the line
//   with the code and a space (FTP's free text lines between belong to the reply).
// - IMAP: each response line (untagged "*", continuation "+" or tagged), with its literals
//   {n} and their n bytes, is one reply; the status words OK, NO, BAD, PREAUTH, BYE marked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarvotcpc {

enum class Protocol : uint8_t { Http, Resp, Smtp, Ftp, Imap };

// The protocol a port is known for: 80 and 8080 HTTP, 6379 RESP, 25 and 587 SMTP, 21 FTP, 143
// IMAP; none for any other.
std::optional<Protocol> ProtocolForPort(int32_t port);
// Its name in menus ("HTTP", "RESP (Redis)", ...).
const char *ProtocolLabel(Protocol protocol);

enum class MarkKind : uint8_t {
    Code,       // HTTP status code, SMTP or FTP reply code, IMAP status word
    HeaderName, // an HTTP header or trailer name, without the colon
    Prefix,     // RESP type byte (and length), HTTP chunk-size line, IMAP literal's {n}
    Tag,        // IMAP tag: "*", "+" or the command's tag
    Body,       // a body, bulk string or literal: declared against arrived
};

struct Mark {
    uint64_t begin = 0; // offset of its first byte
    uint64_t end = 0;   // offset after its last byte so far
    MarkKind kind = MarkKind::Code;
    // Body only: the length the reply declared (none: until the connection ends) and the bytes
    // that have arrived of it.
    std::optional<uint64_t> declared;
    uint64_t arrived = 0;
    bool operator==(const Mark &) const = default;
};

struct Reply {
    uint64_t begin = 0;
    uint64_t end = 0;      // after its last byte so far
    bool complete = false; // its grammar says it is over
    bool operator==(const Reply &) const = default;
};

class ProtocolShapes {
  public:
    // Nesting of RESP aggregates followed; deeper is read as a broken reply.
    static constexpr std::size_t kMaxDepth = 256;
    // Replies and marks kept, each; beyond, the shapes stop (Stopped) rather than grow without
    // bound through a flood of tiny replies.
    static constexpr std::size_t kMaxKept = std::size_t{1} << 18;

    explicit ProtocolShapes(Protocol protocol);
    Protocol protocol() const { return protocol_; }

    // The connection's next received bytes; the first of them is at transcript offset `offset`.
    void Feed(std::string_view bytes, uint64_t offset);
    // The connection ended: a body read until the end is complete. Later Feeds are ignored.
    void Finish();

    // In order of their first bytes. The last reply (and the last body mark) may still grow.
    const std::vector<Reply> &Replies() const { return replies_; }
    const std::vector<Mark> &Marks() const { return marks_; }
    // The marks that overlap [from, to), as indexes into Marks().
    std::pair<std::size_t, std::size_t> MarksIn(uint64_t from, uint64_t to) const;
    // The limit of kept replies or marks was reached at StoppedAt(): nothing after is shaped.
    bool Stopped() const { return stopped_; }
    uint64_t StoppedAt() const { return stoppedAt_; }

  private:
    struct Aggregate {
        uint64_t remaining;
        bool attribute; // RESP3 attribute: precedes a value and is not one itself
    };

    std::size_t Step(const char *p, std::size_t n, uint64_t at);
    std::size_t StepHttp(const char *p, std::size_t n, uint64_t at);
    std::size_t StepResp(const char *p, std::size_t n, uint64_t at);
    std::size_t StepCoded(const char *p, std::size_t n, uint64_t at);
    std::size_t StepImap(const char *p, std::size_t n, uint64_t at);

    void OpenReply(uint64_t at);
    void CloseReply();
    void AddMark(uint64_t begin, uint64_t end, MarkKind kind);
    void StartNumber();
    void Digit(char c, unsigned base = 10);
    void EndHeaders();
    void TakeHeader();
    // Takes up to n bytes of the body being read (declared_, with bodyLeft_ to go when bounded)
    // from offset at; returns how many.
    std::size_t TakeBody(std::size_t n, uint64_t at, bool bounded);
    void EndBody() { bodyOpen_ = false; }
    void Stop(uint64_t at);
    // Line bookkeeping: where the current line's content ends so far (its last byte that is no
    // CR or LF).
    void Track(char c, uint64_t at) {
        if (c != '\r' && c != '\n') contentEnd_ = at + 1;
    }
    void RespValueDone();
    void RespBroken();

    Protocol protocol_;
    std::vector<Reply> replies_;
    std::vector<Mark> marks_;
    bool inReply_ = false;
    bool closed_ = false; // the step just taken ended a reply
    bool finished_ = false;
    bool stopped_ = false;
    uint64_t stoppedAt_ = 0;

    // Shared state of the line readers.
    int state_ = 0;
    uint64_t begin_ = 0;      // of the range being read (a code, a name, a prefix line)
    uint64_t contentEnd_ = 0; // see Track
    std::string word_;        // the first bytes of a name, tag or value being read, lower case
    std::string value_;
    uint64_t number_ = 0;
    bool negative_ = false;
    bool digits_ = false;
    bool overflow_ = false;
    int code_ = 0;
    uint64_t bodyLeft_ = 0;
    std::optional<uint64_t> declared_; // of the body being read
    bool bodyOpen_ = false;
    std::size_t bodyMark_ = 0; // index of the open body's mark

    // HTTP
    std::optional<uint64_t> contentLength_;
    bool chunked_ = false;
    bool trailers_ = false;
    // RESP
    std::vector<Aggregate> stack_;
    char respType_ = 0;
    // SMTP, FTP
    int replyCode_ = 0; // of the multi-line reply in progress; 0 outside one
    bool lastLine_ = false;
    // IMAP
    uint64_t braceBegin_ = 0, braceEnd_ = 0;
    int literalPhase_ = 0; // 0 none, 1 after "{", 2 after its digits and "+", 3 after "}"
};

} // namespace tarvotcpc
