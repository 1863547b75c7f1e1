// The transcript of a connection: every byte received and sent, exactly and in order, with when
// it came and which connection it belongs to, kept at any size.
//
// Threading: a Transcript is a plain single-threaded object. It is meant to live on the UI thread;
// the connection's thread hands its bytes over (as it does today) and the UI thread appends them.
// Nothing here locks, so reading while another thread appends is a data race.
//
// Storage: the bytes stay in memory up to TranscriptOptions::memoryLimit, then move to an unlinked
// temporary file (O_TMPFILE, or mkstemp and unlink) read back through pread. The memory kept is
// then two small write buffers (one filling, one being written), one 32-byte record per chunk and
// one small record per 64 KiB block. With TranscriptOptions::background the file is written from
// a thread of the transcript's own; everything else stays on the caller's thread.
//
// Lines: a line break ends at an LF, or at a CR that is not followed by an LF of the same
// direction. A CR that is the last byte so far is not counted until the next byte (or the next
// connection) shows what it was. A CRLF whose two bytes are separated by bytes of the other
// direction counts as two breaks.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tarvotcpc {

enum class Direction : uint8_t { Received = 0, Sent = 1 };

// Notes that stand in a record for what has no bytes of its own: where a STARTTLS switch happened
// (a script made from the record turns it back into starttls()), an empty datagram.
inline constexpr const char *kTlsStartsNote = "STARTTLS: ここからTLS";
inline constexpr const char *kEmptyDatagramReceivedNote = "空のデータグラムを受信";
inline constexpr const char *kEmptyDatagramSentNote = "空のデータグラムを送信";

// Which directions a view shows.
enum class Shown : uint8_t { Received = 1, Sent = 2, Both = 3 };
inline bool Shows(Shown shown, Direction d) {
    return (static_cast<unsigned>(shown) & (1u << static_cast<unsigned>(d))) != 0;
}

struct Chunk {
    uint64_t offset = 0; // of its first byte in the transcript
    uint64_t size = 0;
    int64_t timeUs = 0; // wall clock, microseconds since the epoch
    uint32_t connection = 0;
    Direction direction = Direction::Received;
    bool startsPart = false; // the first chunk after BeginConnection (or of the transcript)
    // One whole datagram: never merged with another, and its lines end with it (a CR at its end
    // is a break, and never one CRLF with an LF starting the next).
    bool datagram = false;
    uint64_t End() const { return offset + size; }
};

// What a note marks: something that happened to the stream (the switch to TLS, a script's line),
// or the start of bytes the client sent by itself (an automatic reply), which the page's margin
// tells apart from the user's own sends.
enum class NoteKind : uint8_t { Stream, Automatic };

// A mark between chunks that holds no bytes of the exchange: where something happened to the
// stream, told in a short text. It stands before the byte at offset.
struct Note {
    uint64_t offset = 0;
    int64_t timeUs = 0;
    uint32_t connection = 0;
    std::string text;
    NoteKind kind = NoteKind::Stream;
};

// How long the peer took to answer: from the last byte written of what was sent before to the
// first byte of the answer, which is at offset.
struct ReplyTime {
    uint64_t offset = 0;
    int64_t us = 0;
};

struct TranscriptOptions {
    // Bytes kept in memory before the transcript moves to a file.
    std::size_t memoryLimit = std::size_t{512} << 10;
    // Where the file is made; empty: $XDG_CACHE_HOME, else /tmp.
    std::string directory;
    // Writes to the file; pwrite(2) unless a test puts a failing or sparse writer here. Returns
    // the bytes written or -1 with errno set.
    std::function<ssize_t(int fd, const void *data, std::size_t size, off_t offset)> write;
    // Writes the file from a thread of its own, so that a disk the kernel throttles holds up that
    // thread and never the caller's. Append then answers EAGAIN while one buffer is being written
    // and the other is full; `written` is called on the writing thread after each write that
    // succeeded, so that the caller knows when to offer the bytes again. Both write and written
    // are then called on that thread.
    bool background = false;
    std::function<void()> written;
};

class Transcript {
  public:
    static constexpr uint64_t kBlockSize = 64 * 1024;
    static constexpr int64_t kMergeWindowUs = 1000;

    explicit Transcript(TranscriptOptions options = {});
    ~Transcript();
    Transcript(const Transcript &) = delete;
    Transcript &operator=(const Transcript &) = delete;

    // Starts a new part: what is appended from now on belongs to this connection. A CR left
    // waiting at the end of the previous part counts as a line break.
    void BeginConnection(uint32_t connection);
    uint32_t Connection() const { return connection_; }

    // Appends all of bytes or none of them, as one datagram of its own when datagram is set
    // (UDP: the bytes are then never merged with others, see Chunks). 0 on success; otherwise the
    // errno of the failure (ENOSPC, EIO, ...) and the transcript is as before the call: the caller
    // keeps the bytes, stops reading from the peer and calls Append again with the same bytes
    // later. A write that failed is tried again on each later call until it succeeds; its bytes
    // stay readable meanwhile. In the background mode a failure is told by the call after it, and
    // EAGAIN means only that the writer is busy: offer the bytes again once `written` was called.
    int Append(Direction direction, const void *bytes, std::size_t size, int64_t timeUs,
               bool datagram = false);

    // Adds a note after everything appended so far; the next bytes start a chunk of their own,
    // so that no chunk runs across a note.
    void AddNote(std::string text, int64_t timeUs, NoteKind kind = NoteKind::Stream);
    // The answer that starts at offset (a received chunk's first byte) took us; offsets are given
    // in increasing order, each at most once.
    void AddReplyTime(uint64_t offset, int64_t us);

    // Forgets everything and releases the storage (the file is closed; memory freed).
    void Clear();

    uint64_t Size() const { return size_; }
    // The memory the chunks and blocks take, beside the bytes themselves.
    std::size_t IndexBytes() const {
        return chunks_.capacity() * sizeof(Chunk) + blocks_.capacity() * sizeof(Block);
    }
    bool InFile() const { return fd_ >= 0; }
    // Bumped by Clear, so that indexes built on top notice that they must start over.
    uint64_t Generation() const { return generation_; }

    // Copies bytes [offset, offset + size) into out. False when the range passes the end or the
    // file cannot be read; out then holds nothing useful.
    bool Read(uint64_t offset, std::size_t size, char *out) const;
    bool Read(uint64_t offset, std::size_t size, std::string &out) const;

    // Chunks in order. An append of the same direction and connection as the last chunk that
    // came within kMergeWindowUs of that chunk's time (its first byte's) is merged into it,
    // unless either is a datagram.
    const std::vector<Chunk> &Chunks() const { return chunks_; }
    // Notes in order of their offsets (and of their adding, at one offset).
    const std::vector<Note> &Notes() const { return notes_; }
    // Reply times in order of their offsets, and the one of the answer starting at offset.
    const std::vector<ReplyTime> &ReplyTimes() const { return replies_; }
    std::optional<int64_t> ReplyTimeAt(uint64_t offset) const;
    // Whether an Automatic note stands at offset: the bytes from there were sent by the client
    // itself.
    bool AutomaticAt(uint64_t offset) const;
    // The index of the chunk holding offset (offset < Size()).
    std::size_t ChunkAt(uint64_t offset) const;

    // Lines of the shown directions. LineCount is breaks + 1 (the last line may be empty).
    uint64_t LineCount(Shown shown) const;
    // Where line `line` (0-based, < LineCount) starts: just after its preceding break. Bytes of
    // directions not shown may sit between; the caller skips them.
    uint64_t LineStart(Shown shown, uint64_t line) const;
    // The line holding offset (offset <= Size()).
    uint64_t LineAt(Shown shown, uint64_t offset) const;
    // The first chunk whose time is at or after timeUs (Size() if none): the first byte that
    // arrived then or later, as exactly as the chunks' times tell (to kMergeWindowUs). Exact so
    // while the clock has not stepped back; after such a step it answers one of the matching
    // places.
    uint64_t OffsetAtTime(int64_t timeUs) const;
    // Whether the CR at offset, of that direction, is a line break: unless an LF of the same part
    // and direction follows at once (not across datagrams); the last byte so far is not one yet,
    // unless it ends a datagram.
    bool CrIsBreak(uint64_t at, Direction direction) const;

  private:
    struct Block {
        uint64_t breaksBefore[2]; // line breaks of each direction in all earlier blocks
        int64_t firstTimeUs;
        uint32_t breaks[2];
    };

    class Writer;

    int Store(const char *bytes, std::size_t size);
    // Takes the writer's result for the buffer in flight: moves it into the file when written,
    // starts it again when the write failed. 0, or the errno of the failure that stands.
    int Reap();
    // Hands the filled buffer to the writer.
    void Launch();
    int OpenFile();
    void Index(Direction direction, const char *bytes, std::size_t size, int64_t timeUs,
               bool datagram);
    void CountBreak(uint64_t at, Direction direction);
    uint64_t BreaksBefore(std::size_t block, Shown shown) const;
    // Calls f(position) for each break of the shown directions in [from, to), in order, until f
    // returns true; returns whether it did.
    bool ScanBreaks(uint64_t from, uint64_t to, Shown shown,
                    const std::function<bool(uint64_t)> &f) const;

    TranscriptOptions options_;
    int fd_ = -1;
    uint64_t fileSize_ = 0; // bytes in the file; then those of flying_, then those of tail_
    std::unique_ptr<Writer> writer_;
    std::string flying_; // being written; neither side changes it until the writer is done
    int writeError_ = 0; // of the last write of flying_ while it is tried again
    std::string tail_;
    uint64_t size_ = 0;
    uint64_t generation_ = 0;
    uint32_t connection_ = 0;
    std::vector<Chunk> chunks_;
    std::vector<Block> blocks_;
    std::vector<Note> notes_;
    std::vector<ReplyTime> replies_;
    bool afterNote_ = false; // the next append starts a chunk of its own
    bool pendingCr_ = false; // the last byte is a CR whose meaning is not known yet
    bool newPart_ = true;
};

} // namespace tarvotcpc
