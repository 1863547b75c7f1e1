// Finding text or bytes in a transcript, in slices, so that a search through a flood of
// gigabytes never holds up the window: the caller runs Step from a timer until it has an answer.
//
// A match lies wholly in the shown directions. Text is searched as the bytes of the query in
// the page's encoding, and a byte match counts only where it decodes to the query: it may begin
// inside a character (a Shift_JIS trail byte) or, in ISO-2022-JP, in another character set.
#pragma once

#include "transcript/transcript_layout.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tarvotcpc::ui {

// Hex bytes as typed ("0d 0a", "0D0A"): pairs of digits, blanks anywhere; nullopt when that is
// not what the query is (or it is empty).
std::optional<std::string> ParseHexQuery(std::string_view query);

class TranscriptSearch {
  public:
    enum class Result { Searching, Found, NotFound };

    // A search for the query (UTF-8 text in the encoding, or hex bytes) from the byte `from` on,
    // wrapping round at the end. False when the query is empty, not hex, or cannot be written in
    // the encoding; no search is under way then.
    bool Start(const Transcript &transcript, std::string_view query, bool hex, Encoding encoding,
               uint64_t from);
    // Looks through about `slice` more bytes; the layout gives the decoded units that tell a
    // text match (its encoding and directions are the search's).
    Result Step(const Transcript &transcript, TranscriptLayout &layout, uint64_t slice);
    bool Searching() const { return !bytes_.empty(); }
    void Stop() { bytes_.clear(); }

    // The last match found: its first byte and its length.
    uint64_t FoundAt() const { return foundAt_; }
    uint64_t Length() const { return length_; }

  private:
    bool MatchAt(const Transcript &transcript, TranscriptLayout &layout, uint64_t at) const;

    std::string bytes_;    // what is searched for; empty: no search
    std::u32string chars_; // a text query's characters, which a match must decode to
    bool text_ = false;
    uint64_t from_ = 0, at_ = 0, limit_ = 0;
    bool wrapped_ = false;
    uint64_t foundAt_ = 0, length_ = 0;
};

} // namespace tarvotcpc::ui
