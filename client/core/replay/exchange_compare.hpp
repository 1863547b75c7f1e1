// Two exchanges compared by what they received: the received text of each as lines, times, sends
// and the cuts between chunks left out, and an exchange kept in a file (a capture or a text save)
// read back to be one of the two.
#pragma once

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "saves/saving.hpp"
#include "transcript/transcript.hpp"

namespace tarvotcpc {

class CaptureReadJob;
class TextSaveReader;

struct ReceivedLines {
    // Each line as the text save shows it (control bytes as pictures, ⟨XX⟩ for a byte that
    // starts no character), ending in ␊ where the line ended with LF. A new connection starts a
    // new line.
    std::vector<std::string> lines;
    bool cut = false; // more than the limit: the lines are the first ones only
};

// The received text of a record, decoded as the decoders say, up to about limit bytes of text.
ReceivedLines ReceivedLinesOf(const SavedTranscript &record, ChunkDecoderFactory decoders = {},
                              std::size_t limit = std::size_t{64} << 20);

// An exchange file read into a record in steps, so that a window stays responsive: a capture
// (pcap or pcapng, told by its first bytes) or else a text save.
class ExchangeFileJob {
  public:
    enum class Kind { Capture, TextSave };
    // The record must be empty.
    ExchangeFileJob(std::string path, Transcript &into);
    ~ExchangeFileJob();
    ExchangeFileJob(const ExchangeFileJob &) = delete;
    ExchangeFileJob &operator=(const ExchangeFileJob &) = delete;

    // Reads some more; true while there is more to do.
    bool Step();
    bool Succeeded() const { return finished_ && error_.empty(); }
    const std::string &Error() const { return error_; }
    Kind FileKind() const { return kind_; }
    // 0 to 1000.
    int Progress() const;

  private:
    bool Fail(std::string error);

    std::string path_;
    Transcript &into_;
    Kind kind_ = Kind::TextSave;
    std::unique_ptr<CaptureReadJob> capture_;
    std::unique_ptr<TextSaveReader> text_;
    std::ifstream file_;
    uint64_t size_ = 0;
    uint64_t read_ = 0;
    bool finished_ = false;
    std::string error_;
};

} // namespace tarvotcpc
