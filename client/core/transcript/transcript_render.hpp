// What the receive page draws for decoded units, in its two modes. The rules that decide how a
// byte looks live here, so that the view only lays glyphs out.
#pragma once

#include "transcript/text_decoder.hpp"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tarvotcpc {

enum class GlyphKind : uint8_t {
    Text,    // an ordinary character
    Control, // a control byte, drawn as its control picture (NUL as U+2400, ESC as U+241B, ...)
    LineEnd, // the CR or LF of a line break, drawn as U+240D or U+240A; only with marks on
    Invalid, // a byte that starts no character: drawn as a hex box; codepoint is the byte
    Shift,   // an ISO-2022-JP escape sequence: nothing is drawn in text mode
};

struct Glyph {
    uint64_t offset = 0; // of the first byte it stands for
    uint8_t length = 0;  // bytes it stands for
    char32_t codepoint = 0;
    GlyphKind kind = GlyphKind::Text;
    bool operator==(const Glyph &) const = default;
};

inline constexpr char32_t kCrMark = U'\u240D';
inline constexpr char32_t kLfMark = U'\u240A';

// The control picture of a C0 control byte or DEL (U+2400 + byte, U+2421 for DEL).
char32_t ControlPicture(char32_t c);

// Text mode: the glyphs of a line's units. The CR and LF units of line breaks become marks when
// lineEndMarks is on and are left out when it is off (the row ends there); a CR and an LF therefore
// look different, and a CRLF shows both marks. Other controls become their control pictures.
void RenderText(const std::vector<Unit> &units, bool lineEndMarks, std::vector<Glyph> &out);

// Hex mode: one row of at most 16 bytes.
struct HexRow {
    std::string offset;  // 8 hex digits (more when the offset needs them)
    std::string hex;     // "41 42 ..." with a wider gap after the eighth byte, padded to 16 bytes
    std::u32string text; // one cell per byte: the glyph of a unit starting there, '.' for an
                         // invalid byte, a space for the later bytes of a multi-byte character
};
inline constexpr std::size_t kHexRowBytes = 16;
// A hex row's columns, in cells: the offset, the 16 bytes (a wider gap after the eighth), the text.
inline constexpr int kHexOffsetCells = 10;
constexpr int HexByteCell(std::size_t i) {
    return kHexOffsetCells + int(i) * 3 + (i >= 8 ? 1 : 0);
}
inline constexpr int kHexTextCell = kHexOffsetCells + 16 * 3 + 2;
// units: the decoded units of (at least) the row's bytes; those starting elsewhere are ignored.
// position: what the offset column shows; offsets: each byte's offset in the transcript, which the
// units' offsets are matched against (bytes of a direction not shown may lie between).
HexRow FormatHexRow(uint64_t position, std::string_view bytes, const std::vector<uint64_t> &offsets,
                    const std::vector<Unit> &units);
// Bytes that follow each other in the transcript, from rowOffset on.
HexRow FormatHexRow(uint64_t rowOffset, std::string_view bytes, const std::vector<Unit> &units);

// For copying shown text and for tests.
void AppendUtf8(std::string &out, char32_t c);
std::string GlyphsToUtf8(const std::vector<Glyph> &glyphs);

} // namespace tarvotcpc
