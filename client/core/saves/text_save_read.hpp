// A text save (TranscriptTextFormat) read back into a record, so that an exchange kept as text can
// be compared with another or turned into a script. A text save is any file the user picked, so
// everything in it is hostile input; what the format cannot tell apart is read one way, always
// the same, so that the text written again from what was read is the text that was read:
//
// - A line of the header's exact form starts a chunk or is a note; any other line is text of the
//   chunk above it (a line before the first header makes the file no text save).
// - In a chunk's text, ␊ before the line's end is LF; ⟨XX⟩ (upper-case hex from 80 to FF) is the
//   byte XX; the control pictures ␀ to ␟ (␉ and ␊ aside) and ␡ are their control bytes. Any
//   other character is its UTF-8 bytes: a save decoded from another encoding reads back as UTF-8.
//   So a ⟨FF⟩ or ␍ that came as text reads back as the byte it looks like.
// - A line of text that would read as a header is written with ⟨5B⟩ for its "["; only on such a
//   line is ⟨5B⟩ read back as "[".
// - The line break that closes a chunk whose bytes do not end with LF is no byte. Bytes an older
//   save shows after the last chunk (a character cut off at the record's end) join the last
//   chunk; a save now shows them in their own chunk.
// - Times carry their zone's offset and read back to the microsecond.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "transcript/transcript.hpp"

namespace tarvotcpc {

class TextSaveReader {
  public:
    // The record must be empty; each connection number of the save starts a part of its own.
    explicit TextSaveReader(Transcript &into);

    // Takes the next piece of the file, cut anywhere; false once reading has failed.
    bool Feed(std::string_view piece);
    // The end of the file.
    bool Finish();

    const std::string &Error() const { return error_; }
    uint64_t Chunks() const { return chunks_; }
    uint64_t Notes() const { return notes_; }

  private:
    struct Header {
        enum class Kind { Received, Sent, Note } kind;
        int64_t timeUs = 0;
        uint32_t connection = 0;
        std::string note;
        std::optional<int64_t> replyUs; // the answer's time, to a tenth of a millisecond
        bool datagram = false;
    };
    static std::optional<Header> ParseHeader(std::string_view line);
    friend bool ReadsAsHeader(std::string_view line);

    bool Line(std::string_view line);
    bool Append(std::string_view bytes);
    // A datagram's lines are held until its chunk ends, so that it stays one datagram.
    bool EndChunk();
    bool Fail(std::string error);

    Transcript &into_;
    std::string partial_;  // the current line, not yet ended
    std::string datagram_; // the bytes of the datagram being read
    uint64_t lineNumber_ = 0;
    std::optional<Header> chunk_; // the chunk whose text the lines are
    std::optional<uint32_t> connection_;
    uint64_t chunks_ = 0;
    uint64_t notes_ = 0;
    bool failed_ = false;
    std::string error_;
};

struct TextSaveReadOutcome {
    bool ok = false;
    std::string error;
};

// The whole file at path into the record.
TextSaveReadOutcome ReadTextSave(const std::string &path, Transcript &into);

// Whether a line of a text save is a header (a chunk's or a note).
bool ReadsAsHeader(std::string_view line);

// A text save's body text (or a note's) turned back into the bytes it shows, as the reader does.
std::string TextSaveBytes(std::string_view text, bool note);

} // namespace tarvotcpc
