#include "transcript/text_decoder.hpp"

#include "text/utf8_count.hpp"

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace tarvotcpc {

namespace {

// The ISO-2022-JP escape sequences, by the character set they call in. Tracked here rather than
// left inside iconv so that the state can be saved per block and shown as a unit of its own.
constexpr std::array<std::string_view, 4> kDesignations = {"\x1b(B", "\x1b(J", "\x1b$@", "\x1b$B"};

// Longest input iconv is shown for one character: any character of these encodings fits.
constexpr std::size_t kLookahead = 8;

iconv_t Handle(void *p) {
    return static_cast<iconv_t>(p);
}

struct Collect {
    std::vector<Unit> &out;
    void operator()(const Unit &u) { out.push_back(u); }
};

struct Tally {
    uint64_t n = 0;
    void operator()(const Unit &u) { n += u.kind != UnitKind::Shift; }
};

} // namespace

Decoder::Decoder(Encoding encoding) : encoding_(encoding) {
    iconv_t cd = iconv_open("UTF-32LE", EncodingName(encoding));
    // Every glibc carries these converters; should one be missing, bytes still show, as Latin-1.
    if (cd == iconv_t(-1)) {
        encoding_ = Encoding::Latin1;
        cd = iconv_open("UTF-32LE", "ISO-8859-1");
    }
    iconv_ = cd;
}

Decoder::~Decoder() {
    if (Handle(iconv_) != iconv_t(-1)) iconv_close(Handle(iconv_));
}

void Decoder::SetCharset(uint8_t charset) {
    charset_ = charset;
    if (Handle(iconv_) == iconv_t(-1)) return;
    iconv(Handle(iconv_), nullptr, nullptr, nullptr, nullptr);
    if (charset == 0) return;
    std::string_view seq = kDesignations[charset];
    char *in = const_cast<char *>(seq.data());
    std::size_t inLeft = seq.size();
    char out[16];
    char *o = out;
    std::size_t outLeft = sizeof out;
    iconv(Handle(iconv_), &in, &inLeft, &o, &outLeft);
}

template <class Sink>
std::size_t Decoder::Step(const char *p, std::size_t avail, uint64_t offset, bool final,
                          Sink &sink) {
    const auto b = static_cast<unsigned char>(p[0]);
    if (encoding_ == Encoding::Iso2022Jp && b == 0x1B) {
        for (std::size_t cs = 0; cs < kDesignations.size(); ++cs) {
            const std::string_view seq = kDesignations[cs];
            if (std::memcmp(p, seq.data(), std::min(avail, seq.size())) != 0) continue;
            if (avail < seq.size()) {
                if (!final) return 0;
                continue;
            }
            SetCharset(uint8_t(cs));
            sink(Unit{offset, 0x1B, uint8_t(seq.size()), UnitKind::Shift});
            return seq.size();
        }
    }
    if (encoding_ == Encoding::Latin1 ||
        (b < 0x80 && (encoding_ != Encoding::Iso2022Jp ||
                      (charset_ == 0 && b != 0x1B && b != 0x0E && b != 0x0F)))) {
        sink(Unit{offset, b, 1, UnitKind::Char});
        return 1;
    }
    char *in = const_cast<char *>(p);
    std::size_t inLeft = std::min(avail, kLookahead);
    // iconv would take an escape sequence after a character in the same call, where nobody sees
    // it; so it is shown input only up to the next ESC.
    bool cutAtEscape = false;
    if (encoding_ == Encoding::Iso2022Jp && inLeft > 1)
        if (const void *esc = std::memchr(p + 1, 0x1B, inLeft - 1)) {
            inLeft = std::size_t(static_cast<const char *>(esc) - p);
            cutAtEscape = true;
        }
    unsigned char out[4];
    char *o = reinterpret_cast<char *>(out);
    std::size_t outLeft = sizeof out;
    errno = 0;
    const std::size_t r = iconv(Handle(iconv_), &in, &inLeft, &o, &outLeft);
    const int error = r == std::size_t(-1) ? errno : 0;
    const std::size_t used = std::size_t(in - p);
    if (outLeft == 0) {
        const char32_t cp = char32_t(out[0]) | char32_t(out[1]) << 8 | char32_t(out[2]) << 16 |
                            char32_t(out[3]) << 24;
        sink(Unit{offset, cp, uint8_t(used), UnitKind::Char});
        return used;
    }
    if (used > 0) { // a sequence iconv took in without producing anything
        sink(Unit{offset, b, uint8_t(used), UnitKind::Shift});
        return used;
    }
    if (error == EINVAL && !final && !cutAtEscape && avail < kLookahead) return 0;
    sink(Unit{offset, b, 1, UnitKind::Invalid});
    return 1;
}

template <class Sink>
bool Decoder::SettleHeld(std::string_view &bytes, uint64_t &offset, bool final, Sink &sink) {
    if (held_.empty()) return true;
    // Settle the held start of a character with the help of the first new bytes. The held bytes
    // need not lie just before the new ones: bytes of the other direction may be between.
    const std::size_t borrowed = std::min(bytes.size(), kLookahead);
    const std::string work = held_ + std::string(bytes.substr(0, borrowed));
    const std::size_t heldSize = held_.size();
    const auto where = [&](std::size_t q) {
        return q < heldSize ? heldOffsets_[q] : offset + (q - heldSize);
    };
    const bool last = final && borrowed == bytes.size();
    std::size_t pos = 0;
    while (pos < heldSize) {
        const std::size_t used = Step(work.data() + pos, work.size() - pos, where(pos), last, sink);
        if (used == 0) { // only ever with fewer than kLookahead bytes left: all of them borrowed
            std::vector<uint64_t> offsets;
            for (std::size_t q = pos; q < work.size(); ++q)
                offsets.push_back(where(q));
            held_ = work.substr(pos);
            heldOffsets_ = std::move(offsets);
            return false;
        }
        pos += used;
    }
    const std::size_t skip = pos - heldSize;
    held_.clear();
    heldOffsets_.clear();
    bytes.remove_prefix(skip);
    offset += skip;
    return true;
}

void Decoder::Hold(std::string_view bytes, uint64_t offset) {
    held_.assign(bytes);
    heldOffsets_.clear();
    for (std::size_t q = 0; q < bytes.size(); ++q)
        heldOffsets_.push_back(offset + q);
}

template <class Sink>
void Decoder::Run(std::string_view bytes, uint64_t offset, bool final, Sink &sink) {
    if (!SettleHeld(bytes, offset, final, sink)) return;
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        const std::size_t used =
            Step(bytes.data() + pos, bytes.size() - pos, offset + pos, final, sink);
        if (used == 0) {
            Hold(bytes.substr(pos), offset + pos);
            return;
        }
        pos += used;
    }
}

void Decoder::Feed(std::string_view bytes, uint64_t offset, std::vector<Unit> &out) {
    Collect sink{out};
    Run(bytes, offset, false, sink);
}

uint64_t Decoder::Count(std::string_view bytes, uint64_t offset) {
    Tally sink;
    switch (encoding_) {
    case Encoding::Latin1: // every byte a character, nothing ever held
        if (held_.empty()) return bytes.size();
        break;
    case Encoding::Utf8: {
        // Only a character cut between two feeds goes through iconv; the rest is counted in bulk.
        if (!SettleHeld(bytes, offset, false, sink)) return sink.n;
        const Utf8Count counted = CountUtf8Units(bytes);
        if (counted.used < bytes.size()) Hold(bytes.substr(counted.used), offset + counted.used);
        return sink.n + counted.units;
    }
    default:
        break;
    }
    Run(bytes, offset, false, sink);
    return sink.n;
}

uint64_t Decoder::CountEach(std::string_view bytes, uint64_t offset) {
    Tally sink;
    Run(bytes, offset, false, sink);
    return sink.n;
}

void Decoder::Finish(std::vector<Unit> &out) {
    Collect sink{out};
    Run({}, 0, true, sink);
}

DecoderState Decoder::State() const {
    DecoderState s;
    s.charset = charset_;
    s.heldLength = uint8_t(std::min(held_.size(), s.held.size()));
    std::copy_n(held_.begin(), s.heldLength, s.held.begin());
    if (!heldOffsets_.empty()) s.heldOffset = heldOffsets_.front();
    return s;
}

void Decoder::Restore(const DecoderState &state, uint64_t offset) {
    SetCharset(state.charset);
    held_.assign(state.held.data(), state.heldLength);
    heldOffsets_.clear();
    for (std::size_t i = 0; i < held_.size(); ++i)
        heldOffsets_.push_back(i == 0 ? state.heldOffset : offset - (held_.size() - i));
}

// ---------------------------------------------------------------------------------------------

CharIndex::CharIndex(const Transcript &transcript, Encoding encoding, Shown shown)
    : transcript_(transcript), encoding_(encoding), shown_(shown) {
    Restart();
}

void CharIndex::Restart() {
    generation_ = transcript_.Generation();
    blocks_.assign(1, BlockState{0, {}});
    reached_ = 0;
    charsReached_ = 0;
    statesReached_ = {};
}

void CharIndex::CheckGeneration() {
    if (generation_ != transcript_.Generation()) Restart();
}

uint64_t CharIndex::Decode(uint64_t from, uint64_t to, std::array<DecoderState, 2> &states,
                           std::vector<Unit> *units) const {
    if (from >= to) return 0;
    std::optional<Decoder> decoders[2];
    for (int d = 0; d < 2; ++d) {
        if (!Shows(shown_, Direction(d))) continue;
        decoders[d].emplace(encoding_);
        decoders[d]->Restore(states[d], from);
    }
    uint64_t count = 0;
    std::string buffer;
    const auto &chunks = transcript_.Chunks();
    for (std::size_t ci = transcript_.ChunkAt(from); ci < chunks.size(); ++ci) {
        const Chunk &c = chunks[ci];
        if (c.offset >= to) break;
        auto &decoder = decoders[static_cast<int>(c.direction)];
        if (!decoder) continue;
        const uint64_t start = std::max(from, c.offset), end = std::min(to, c.End());
        if (!transcript_.Read(start, std::size_t(end - start), buffer)) break;
        if (units == nullptr) {
            count += decoder->Count(buffer, start);
        } else {
            const std::size_t before = units->size();
            decoder->Feed(buffer, start, *units);
            count +=
                std::size_t(std::count_if(units->begin() + std::ptrdiff_t(before), units->end(),
                                          [](const Unit &u) { return u.kind != UnitKind::Shift; }));
        }
    }
    for (int d = 0; d < 2; ++d)
        if (decoders[d]) states[d] = decoders[d]->State();
    return count;
}

bool CharIndex::Advance(uint64_t maxBytes) {
    CheckGeneration();
    const uint64_t size = transcript_.Size();
    const uint64_t target = maxBytes >= size - reached_ ? size : reached_ + maxBytes;
    constexpr uint64_t kBlock = Transcript::kBlockSize;
    while (reached_ < target) {
        const uint64_t blockEnd = (reached_ / kBlock + 1) * kBlock;
        const uint64_t to = std::min(target, blockEnd);
        charsReached_ += Decode(reached_, to, statesReached_, nullptr);
        reached_ = to;
        if (reached_ == blockEnd) blocks_.push_back(BlockState{charsReached_, statesReached_});
    }
    return reached_ == size;
}

std::optional<uint64_t> CharIndex::CharsBefore(uint64_t offset) const {
    if (generation_ != transcript_.Generation() || offset > reached_) return std::nullopt;
    const std::size_t block = std::size_t(offset / Transcript::kBlockSize);
    auto states = blocks_[block].states;
    const uint64_t count = blocks_[block].charsBefore +
                           Decode(block * Transcript::kBlockSize, offset, states, nullptr);
    return count + Settle(offset, states);
}

uint64_t CharIndex::Settle(uint64_t at, const std::array<DecoderState, 2> &states) const {
    // The bytes held at `at` start units before it, but which and how many only the bytes after
    // it tell (a character, or an invalid byte and what follows decoded again).
    uint64_t count = 0;
    const auto &chunks = transcript_.Chunks();
    std::vector<Unit> units;
    std::string buffer;
    for (int d = 0; d < 2; ++d) {
        if (!Shows(shown_, Direction(d)) || states[d].heldLength == 0) continue;
        Decoder decoder(encoding_);
        decoder.Restore(states[d], at);
        units.clear();
        for (std::size_t ci = at < transcript_.Size() ? transcript_.ChunkAt(at) : chunks.size();
             ci < chunks.size() && decoder.State().heldLength > 0; ++ci) {
            const Chunk &c = chunks[ci];
            if (c.direction != Direction(d)) continue;
            const uint64_t start = std::max(at, c.offset);
            const std::size_t n = std::size_t(std::min<uint64_t>(c.End() - start, 16));
            if (!transcript_.Read(start, n, buffer)) break;
            decoder.Feed(buffer, start, units);
        }
        for (const Unit &u : units)
            count += u.offset < at && u.kind != UnitKind::Shift;
    }
    return count;
}

uint64_t CharIndex::CharsBeforeApprox(uint64_t offset) const {
    if (const auto exact = CharsBefore(offset)) return *exact;
    if (generation_ != transcript_.Generation() || reached_ == 0) return offset;
    const double perByte = double(charsReached_) / double(reached_);
    return charsReached_ + uint64_t(double(offset - reached_) * perByte);
}

uint64_t CharIndex::CharsBeforeExact(uint64_t offset) {
    CheckGeneration();
    offset = std::min(offset, transcript_.Size());
    if (offset > reached_) Advance(offset - reached_);
    return *CharsBefore(offset);
}

uint64_t CharIndex::OffsetOfChar(uint64_t index) {
    CheckGeneration();
    while (charsReached_ <= index && !Advance(Transcript::kBlockSize)) {
    }
    if (charsReached_ <= index) return transcript_.Size();
    const auto it =
        std::upper_bound(blocks_.begin(), blocks_.end(), index,
                         [](uint64_t i, const BlockState &b) { return i < b.charsBefore; });
    const std::size_t block = std::size_t(it - blocks_.begin() - 1);
    auto states = blocks_[block].states;
    std::vector<Unit> units;
    const uint64_t from = block * Transcript::kBlockSize;
    Decode(from, std::min(reached_, from + Transcript::kBlockSize), states, &units);
    uint64_t left = index - blocks_[block].charsBefore;
    for (const Unit &u : units) {
        if (u.kind == UnitKind::Shift) continue;
        if (left-- == 0) return u.offset;
    }
    return transcript_.Size();
}

std::array<DecoderState, 2> CharIndex::StateAt(uint64_t offset) {
    CheckGeneration();
    offset = std::min(offset, transcript_.Size());
    if (offset > reached_) Advance(offset - reached_);
    const std::size_t block = std::size_t(offset / Transcript::kBlockSize);
    auto states = blocks_[block].states;
    Decode(block * Transcript::kBlockSize, offset, states, nullptr);
    return states;
}

std::vector<Unit> DecodeRange(const Transcript &transcript, Encoding encoding, Shown shown,
                              uint64_t from, uint64_t to, std::array<DecoderState, 2> states,
                              bool finishAtEnd) {
    to = std::min(to, transcript.Size());
    std::vector<Unit> units;
    if (from >= to) return units;
    std::optional<Decoder> decoders[2];
    for (int d = 0; d < 2; ++d) {
        if (!Shows(shown, Direction(d))) continue;
        decoders[d].emplace(encoding);
        decoders[d]->Restore(states[d], from);
    }
    const auto &chunks = transcript.Chunks();
    std::string buffer;
    std::size_t ci = transcript.ChunkAt(from);
    for (; ci < chunks.size() && chunks[ci].offset < to; ++ci) {
        const Chunk &c = chunks[ci];
        auto &decoder = decoders[static_cast<int>(c.direction)];
        if (!decoder) continue;
        const uint64_t start = std::max(from, c.offset), end = std::min(to, c.End());
        if (!transcript.Read(start, std::size_t(end - start), buffer)) break;
        decoder->Feed(buffer, start, units);
    }
    // Complete characters begun before `to` from the bytes after it, a few at a time.
    for (int d = 0; d < 2; ++d) {
        if (!decoders[d]) continue;
        for (std::size_t k = transcript.ChunkAt(to - 1);
             k < chunks.size() && decoders[d]->State().heldLength > 0; ++k) {
            const Chunk &c = chunks[k];
            if (c.direction != Direction(d) || c.End() <= to) continue;
            const uint64_t start = std::max(to, c.offset);
            for (uint64_t at = start; at < c.End() && decoders[d]->State().heldLength > 0;
                 at += 16) {
                const std::size_t n = std::size_t(std::min<uint64_t>(16, c.End() - at));
                if (!transcript.Read(at, n, buffer)) break;
                decoders[d]->Feed(buffer, at, units);
            }
        }
        if (finishAtEnd) decoders[d]->Finish(units);
    }
    std::erase_if(units, [&](const Unit &u) { return u.offset < from || u.offset >= to; });
    std::stable_sort(units.begin(), units.end(),
                     [](const Unit &a, const Unit &b) { return a.offset < b.offset; });
    return units;
}

} // namespace tarvotcpc
