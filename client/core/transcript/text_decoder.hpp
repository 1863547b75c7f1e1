// Turning transcript bytes into what the receive page draws, in the encoding the user chose,
// through glibc's iconv. Bytes arrive cut anywhere: a character split between two feeds comes out
// whole, an invalid byte comes out as one marked unit and decoding goes on at the next byte.
//
// Threading: a Decoder or CharIndex is single-threaded, like the Transcript it reads.
#pragma once

#include "text/encoding.hpp"
#include "transcript/transcript.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace tarvotcpc {

enum class UnitKind : uint8_t {
    Char,    // codepoint is the character
    Invalid, // one byte no character starts with; codepoint is the byte's value (a hex box)
    Shift,   // an ISO-2022-JP escape sequence: changes the character set, shows nothing
};

struct Unit {
    uint64_t offset = 0; // of its first byte
    char32_t codepoint = 0;
    uint8_t length = 0; // bytes it covers
    UnitKind kind = UnitKind::Char;
    bool operator==(const Unit &) const = default;
};

// Everything a decoder carries from one byte to the next: the ISO-2022-JP character set in force
// and the start of a character still waiting for its remaining bytes.
struct DecoderState {
    uint8_t charset = 0; // ISO-2022-JP: 0 ASCII, 1 JIS X 0201 Roman, 2 JIS C 6226, 3 JIS X 0208
    uint8_t heldLength = 0;
    std::array<char, 8> held{};
    uint64_t heldOffset = 0; // of the first held byte; the others are taken to follow it
    bool operator==(const DecoderState &) const = default;
};

class Decoder {
  public:
    explicit Decoder(Encoding encoding);
    ~Decoder();
    Decoder(const Decoder &) = delete;
    Decoder &operator=(const Decoder &) = delete;

    Encoding encoding() const { return encoding_; }

    // Decodes bytes, which begin at transcript offset `offset` and follow the bytes of the
    // previous Feed, appending units to out. The start of a character that the bytes do not
    // complete is held back for the next Feed.
    void Feed(std::string_view bytes, uint64_t offset, std::vector<Unit> &out);
    // The same, only counting the units that show (Char and Invalid). UTF-8 and Latin-1 are
    // counted without iconv, many bytes at a time.
    uint64_t Count(std::string_view bytes, uint64_t offset);
    // Count with every character taken one by one, as Feed does (through iconv): what the bulk
    // count is tested and measured against.
    uint64_t CountEach(std::string_view bytes, uint64_t offset);
    // Ends the input: held bytes that never completed come out, the first as Invalid and the rest
    // decoded again.
    void Finish(std::vector<Unit> &out);

    DecoderState State() const;
    // Goes on from a state saved earlier, as if the bytes before transcript offset `offset` had
    // been fed (held bytes after the first are taken to lie just before it); DecoderState{} is
    // the state at the start of a stream.
    void Restore(const DecoderState &state, uint64_t offset);

  private:
    template <class Sink> void Run(std::string_view bytes, uint64_t offset, bool final, Sink &sink);
    // Completes or gives up the held start of a character with the first of bytes, which it
    // consumes as far as used; false when everything is held still.
    template <class Sink>
    bool SettleHeld(std::string_view &bytes, uint64_t &offset, bool final, Sink &sink);
    void Hold(std::string_view bytes, uint64_t offset);
    template <class Sink>
    std::size_t Step(const char *p, std::size_t avail, uint64_t offset, bool final, Sink &sink);
    void SetCharset(uint8_t charset);

    Encoding encoding_;
    void *iconv_; // iconv_t
    uint8_t charset_ = 0;
    std::string held_;
    std::vector<uint64_t> heldOffsets_; // of each held byte
};

// What the view draws for transcript bytes [from, to): the shown units that start there, in
// order, decoded from `states` (per direction; see CharIndex::StateAt). A character that starts
// before `to` is completed from the bytes after it. Bytes at the very end that may still become
// a character are left out, unless finishAtEnd (the connection is over), when they show as
// invalid.
std::vector<Unit> DecodeRange(const Transcript &transcript, Encoding encoding, Shown shown,
                              uint64_t from, uint64_t to, std::array<DecoderState, 2> states = {},
                              bool finishAtEnd = false);

// Per encoding, per 64 KiB block of a transcript: how many shown units come before the block and
// the decoder states at its start. Built in slices by Advance, which the owner calls when idle
// (a zero timer on the UI thread), so switching encodings costs nothing up front.
//
// Character offsets before the pass is done: CharsBefore answers only where the pass has been
// (std::nullopt beyond); CharsBeforeApprox answers at once everywhere, exact where the pass has
// been and estimated from the bytes-per-character seen so far beyond; CharsBeforeExact and
// OffsetOfChar are always exact and, when asked beyond the pass, carry the pass on up to there
// first (a cost proportional to the bytes between).
class CharIndex {
  public:
    // The transcript must outlive the index; a Clear of it makes the index start over.
    CharIndex(const Transcript &transcript, Encoding encoding, Shown shown);

    // Carries the pass on by at most maxBytes; true once it has reached the transcript's end.
    // UTF-8 and Latin-1 go at gigabytes a second in an optimised build (counted in bulk), the
    // other encodings at 120-140 MiB/s (Japanese text) to 650-800 MiB/s (mostly ASCII), so slices
    // of a few MiB keep each call within a few milliseconds.
    bool Advance(uint64_t maxBytes);
    uint64_t Reached() const { return reached_; }
    Encoding encoding() const { return encoding_; }

    // The number of shown units that start before offset.
    std::optional<uint64_t> CharsBefore(uint64_t offset) const;
    uint64_t CharsBeforeApprox(uint64_t offset) const;
    uint64_t CharsBeforeExact(uint64_t offset);
    // The offset of the first byte of the shown unit number `index` (Size() past the end).
    uint64_t OffsetOfChar(uint64_t index);
    // The decoder states (per direction) at offset, exact; the pass reaches its block first. At a
    // line start they are DecoderState{} for every encoding but ISO-2022-JP, whose character set
    // in force only this tells (text that follows RFC 1468 is back in ASCII at every line end, so
    // a view may start from DecoderState{} until the pass has got there).
    std::array<DecoderState, 2> StateAt(uint64_t offset);

  private:
    struct BlockState {
        uint64_t charsBefore;
        std::array<DecoderState, 2> states;
    };
    void Restart();
    void CheckGeneration();
    // Decodes [from, to) with decoders set to states, counting (and with units, collecting).
    uint64_t Decode(uint64_t from, uint64_t to, std::array<DecoderState, 2> &states,
                    std::vector<Unit> *units) const;

    // Shown units that start before `at` but come out of the decoders only after it.
    uint64_t Settle(uint64_t at, const std::array<DecoderState, 2> &states) const;

    const Transcript &transcript_;
    Encoding encoding_;
    Shown shown_;
    uint64_t generation_ = 0;
    std::vector<BlockState> blocks_; // one per block start the pass has crossed
    uint64_t reached_ = 0;
    uint64_t charsReached_ = 0;
    std::array<DecoderState, 2> statesReached_{};
};

} // namespace tarvotcpc
