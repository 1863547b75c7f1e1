#include "transcript/transcript_search.hpp"

#include "text/send_encoding.hpp"
#include "text/utf8_char.hpp"

#include <algorithm>
#include <cstring>

namespace tarvotcpc::ui {

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

} // namespace

std::optional<std::string> ParseHexQuery(std::string_view query) {
    std::string digits;
    for (const char c : query) {
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') continue;
        if (HexDigit(c) < 0) return std::nullopt;
        digits += c;
    }
    if (digits.empty() || digits.size() % 2 != 0) return std::nullopt;
    std::string bytes;
    for (std::size_t i = 0; i < digits.size(); i += 2)
        bytes += char(HexDigit(digits[i]) * 16 + HexDigit(digits[i + 1]));
    return bytes;
}

bool TranscriptSearch::Start(const Transcript &transcript, std::string_view query, bool hex,
                             Encoding encoding, uint64_t from) {
    Stop();
    if (query.empty()) return false;
    std::string bytes;
    std::u32string chars;
    if (hex) {
        const auto parsed = ParseHexQuery(query);
        if (!parsed) return false;
        bytes = *parsed;
    } else {
        const SendBytes encoded = EncodeForSend(query, encoding, LineEnding::Lf, false);
        if (!encoded.ok) return false;
        bytes = encoded.bytes;
        if (encoding == Encoding::Iso2022Jp) {
            // The escape sequences around the query need not be where the text is found; each
            // match is checked by decoding it instead.
            for (const std::string_view seq : {"\x1b(B", "\x1b(J", "\x1b$@", "\x1b$B"})
                for (std::size_t at; (at = bytes.find(seq)) != std::string::npos;)
                    bytes.erase(at, seq.size());
        }
        for (std::size_t i = 0; i < query.size();) {
            char32_t c = 0;
            const std::size_t length = Utf8CharLength(query, i, &c);
            if (length == 0) return false; // EncodeForSend took it, so this cannot happen
            chars += c;
            i += length;
        }
        if (bytes.empty()) return false;
    }
    bytes_ = std::move(bytes);
    chars_ = std::move(chars);
    text_ = !hex;
    from_ = at_ = std::min(from, transcript.Size());
    limit_ = transcript.Size();
    wrapped_ = false;
    return true;
}

bool TranscriptSearch::MatchAt(const Transcript &transcript, TranscriptLayout &layout,
                               uint64_t m) const {
    const uint64_t end = m + bytes_.size();
    const Shown shown = layout.Options().shown;
    const auto &chunks = transcript.Chunks();
    for (std::size_t ci = transcript.ChunkAt(m); ci < chunks.size() && chunks[ci].offset < end;
         ++ci)
        if (!Shows(shown, chunks[ci].direction)) return false;
    if (!text_) return true;
    const uint64_t line = transcript.LineStart(shown, transcript.LineAt(shown, m));
    std::u32string got;
    for (const Unit &u : layout.Units(m, end, line))
        if (u.kind == UnitKind::Char)
            got += u.codepoint;
        else if (u.kind == UnitKind::Invalid)
            return false;
    return got == chars_;
}

TranscriptSearch::Result TranscriptSearch::Step(const Transcript &transcript,
                                                TranscriptLayout &layout, uint64_t slice) {
    if (bytes_.empty()) return Result::NotFound;
    const uint64_t n = bytes_.size();
    const uint64_t stop = std::min(limit_, transcript.Size());
    if (at_ + n <= stop) {
        const uint64_t sliceEnd = std::min(stop, at_ + slice + n - 1);
        std::string window;
        if (transcript.Read(at_, std::size_t(sliceEnd - at_), window)) {
            const char *base = window.data();
            for (std::size_t pos = 0; pos + n <= window.size();) {
                const void *hit = memmem(base + pos, window.size() - pos, bytes_.data(), n);
                if (hit == nullptr) break;
                const auto at = std::size_t(static_cast<const char *>(hit) - base);
                if (MatchAt(transcript, layout, at_ + at)) {
                    foundAt_ = at_ + at;
                    length_ = n;
                    Stop();
                    return Result::Found;
                }
                pos = at + 1;
            }
        }
        at_ = sliceEnd - (n - 1);
        if (sliceEnd < stop) return Result::Searching;
    }
    if (!wrapped_ && from_ > 0) {
        wrapped_ = true;
        at_ = 0;
        limit_ = std::min(transcript.Size(), from_ + n - 1);
        return Result::Searching;
    }
    Stop();
    return Result::NotFound;
}

} // namespace tarvotcpc::ui
