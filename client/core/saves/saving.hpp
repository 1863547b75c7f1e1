// Keeping what was exchanged: the received bytes saved exactly, or the transcript saved as text
// (time, direction, decoded text with its line endings shown). A save never leaves a partial file
// behind: it is written to a temporary file beside the target, synced, and renamed over it. It
// runs in steps, so that the window can show progress and stay responsive between them.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

namespace tarvotcpc {

enum class SavedDirection { Received, Sent };

struct SavedChunkInfo {
    SavedChunkInfo() = default;
    SavedChunkInfo(SavedDirection direction, int64_t timeUs, uint64_t connection, uint64_t size)
        : direction(direction), timeUs(timeUs), connection(connection), size(size) {}
    static SavedChunkInfo Note(int64_t timeUs, uint64_t connection, std::string text) {
        SavedChunkInfo note(SavedDirection::Received, timeUs, connection, 0);
        note.isNote = true;
        note.note = std::move(text);
        return note;
    }

    SavedDirection direction = SavedDirection::Received;
    int64_t timeUs = 0;      // wall clock, microseconds since the epoch
    uint64_t connection = 0; // each connection of the page has its own number
    uint64_t size = 0;
    // A note between the chunks (the switch to TLS, say) rather than bytes: size 0, its text.
    bool isNote = false;
    std::string note;
    // Received bytes that answer a send: how long the answer took (ReplyTimeText).
    std::optional<int64_t> replyUs;
    // The chunk is one whole datagram (UDP).
    bool datagram = false;
};

// How long an answer took, for the page's margin, the status bar and the text form: milliseconds
// with one decimal, "200.3ms".
std::string ReplyTimeText(int64_t us);

// The transcript as saving sees it: chunks in order, each read in pieces, so that a save never
// needs the whole transcript in memory. Notes stand among them as chunks of their own.
class SavedTranscript {
  public:
    virtual ~SavedTranscript() = default;
    virtual std::size_t ChunkCount() const = 0;
    virtual SavedChunkInfo Chunk(std::size_t index) const = 0;
    // Copies up to out.size() bytes of chunk `index` from `offset` on into out and returns how
    // many; fewer than asked only at the end of the chunk (0 there, or when it cannot be read).
    virtual std::size_t Read(std::size_t index, uint64_t offset, std::span<char> out) const = 0;
};

// Decodes one direction's bytes as they come, in pieces cut anywhere, into UTF-8: a character
// split between two pieces comes out whole with the second.
class ChunkDecoder {
  public:
    virtual ~ChunkDecoder() = default;
    virtual std::string Decode(std::string_view bytes) = 0;
    // What is still held back at the end (an unfinished character), shown as invalid bytes.
    virtual std::string Finish() = 0;
    // The end of a chunk. `next` gives the first bytes of the chunk these may run on into (empty
    // when there is none), asked only while a character's start is held back: that start stays
    // for the next chunk only if those bytes complete the character. Otherwise it is shown now, as
    // Finish does, so that no byte is saved with a chunk it did not form a character with.
    virtual std::string EndChunk(const std::function<std::string()> &next) = 0;
};
using ChunkDecoderFactory = std::function<std::unique_ptr<ChunkDecoder>()>;

// UTF-8 with each byte that is not part of a valid character shown as "⟨XX⟩" (its hex value).
std::unique_ptr<ChunkDecoder> MakeUtf8ChunkDecoder();

// Appends the box a byte that is not part of a valid character shows as: "⟨XX⟩".
void AppendInvalidByte(unsigned char byte, std::string &out);

// The text form of a transcript, shared by the text save and the log. Each chunk is a header
// line "[YYYY-MM-DD hh:mm:ss.uuuuuu +zzzz] 受信 #connection" (local time; 送信 for sent bytes;
// received bytes that answer a send add " 応答時間 200.3ms") and then its text, with CR shown as ␍
// and LF as ␊ followed by a real line break, other control bytes as their control pictures (␀ for
// NUL, ␡ for DEL) and tabs as they are. A chunk whose text does not end with a line break is closed
// with one, so every header starts a line. A note is one line of its own, "[time] 注記 #connection
// text", its control bytes shown as pictures. A datagram is a chunk of its own, its header ending
// " (データグラム Nバイト)", and is decoded on its own: a character it cuts shows as the bytes it
// has (EndDatagram). A character cut between two chunks of a stream shows whole with the later
// one when that one completes it; otherwise the earlier chunk shows the bytes it has, as does a
// chunk that holds nothing else, so that it keeps its line (EndChunk with what follows).
class TranscriptTextFormat {
  public:
    explicit TranscriptTextFormat(ChunkDecoderFactory decoders = {});
    std::string Header(const SavedChunkInfo &chunk);
    std::string Note(const SavedChunkInfo &note);
    // A piece of the current chunk's bytes.
    std::string Body(SavedDirection direction, std::string_view bytes);
    std::string EndChunk();
    // The end of a chunk of a whole record, `next` giving the first bytes of the chunk its bytes
    // may run on into (FollowingBytes); a datagram ends as EndDatagram.
    std::string EndChunk(const SavedChunkInfo &chunk, const std::function<std::string()> &next);
    // The end of a datagram: what the decoder of its direction still holds, then EndChunk.
    std::string EndDatagram(SavedDirection direction);
    // The end of the transcript: whatever the decoders still hold.
    std::string Finish();

  private:
    // Shown text of a chunk into out, a line start that may read as a header held back.
    void Show(std::string_view text, std::string &out);
    // The held line start as it is written, and nothing held any more.
    std::string HeldLine();

    ChunkDecoderFactory factory_;
    std::unique_ptr<ChunkDecoder> decoders_[2];
    bool atLineStart_ = true;
    bool shown_ = false; // the current chunk has shown text
    std::string heldLine_;
};

// The first bytes (up to 8) of the chunk that the bytes of chunk `index` may run on into: the next
// of its direction, if it is of the same connection and no datagram; empty when there is none.
// The last chunk, at `lastIndex`, counts as `lastSize` bytes long (a save takes what it held
// when it began).
std::string FollowingBytes(const SavedTranscript &transcript, std::size_t index,
                           std::size_t lastIndex, uint64_t lastSize);

// The whole transcript in TranscriptTextFormat, as the text save writes it, handed to `write` in
// pieces as it is made (a run without a window prints it). False when write refused a piece or
// the transcript could not be read.
bool WriteTranscriptText(const SavedTranscript &transcript, ChunkDecoderFactory decoders,
                         const std::function<bool(std::string_view)> &write);

// How the bytes reach the file; tests put a failing one here to stage a full disk.
using WriteSeam = std::function<ssize_t(int fd, const void *data, std::size_t size)>;

// A message for the user: why `path` could not be written (err is an errno value).
std::string FileErrorMessage(const std::string &path, int err);

// A file that appears whole under its name or not at all. A file already there keeps its
// permissions, and one behind a symbolic link is replaced where the link leads, the link kept.
class AtomicFile {
  public:
    explicit AtomicFile(std::string path, WriteSeam seam = {});
    ~AtomicFile(); // removes the temporary file unless committed
    AtomicFile(const AtomicFile &) = delete;
    AtomicFile &operator=(const AtomicFile &) = delete;

    bool ok() const { return error_.empty(); }
    const std::string &error() const { return error_; }
    bool Write(std::string_view bytes);
    // Syncs the data, renames the temporary file over the target and syncs the folder.
    bool Commit();
    void Abandon();

  private:
    bool Fail(int err);

    std::string path_;   // as the user named it, for messages
    std::string target_; // where the links from path_ lead
    std::string temporary_;
    WriteSeam seam_;
    int fd_ = -1;
    std::string error_;
};

enum class SaveKind {
    RawReceived, // the received bytes of every connection of the page, exactly, in order
    Text,        // the whole transcript in TranscriptTextFormat
};

// One save, done in steps. The transcript may grow while the save runs (only what it held when
// the save began is written) but must not be cleared: the window cancels the save first.
class SaveJob {
  public:
    SaveJob(const SavedTranscript &transcript, SaveKind kind, std::string path,
            ChunkDecoderFactory decoders = {}, WriteSeam seam = {});

    // Writes about `budget` more bytes; true while there is more to do. Once it returns false
    // the save has either succeeded (the file is in place) or failed (no file was left).
    bool Step(std::size_t budget = 4u << 20);
    void Cancel();

    uint64_t BytesDone() const { return done_; }
    uint64_t BytesTotal() const { return total_; }
    bool Succeeded() const { return finished_ && error_.empty(); }
    const std::string &Error() const { return error_; }

  private:
    bool Wanted(const SavedChunkInfo &chunk) const;
    bool Finish();

    const SavedTranscript &transcript_;
    SaveKind kind_;
    AtomicFile file_;
    TranscriptTextFormat format_;
    std::size_t chunkCount_ = 0;
    uint64_t lastChunkSize_ = 0;
    std::size_t chunk_ = 0;
    uint64_t offset_ = 0;
    uint64_t done_ = 0;
    uint64_t total_ = 0;
    bool finished_ = false;
    std::string error_;
};

} // namespace tarvotcpc
