#include "transcript/transcript_render.hpp"

#include <algorithm>
#include <cstdio>

namespace tarvotcpc {

char32_t ControlPicture(char32_t c) {
    if (c == 0x7F) return U'\u2421';
    return c < 0x20 ? U'\u2400' + c : c;
}

namespace {

bool IsControl(char32_t c) {
    return c < 0x20 || c == 0x7F;
}

} // namespace

void RenderText(const std::vector<Unit> &units, bool lineEndMarks, std::vector<Glyph> &out) {
    for (const Unit &u : units) {
        Glyph g{u.offset, u.length, u.codepoint, GlyphKind::Text};
        if (u.kind == UnitKind::Invalid) {
            g.kind = GlyphKind::Invalid;
        } else if (u.kind == UnitKind::Shift) {
            g.kind = GlyphKind::Shift;
        } else if (u.codepoint == U'\r' || u.codepoint == U'\n') {
            if (!lineEndMarks) continue;
            g.kind = GlyphKind::LineEnd;
            g.codepoint = u.codepoint == U'\r' ? kCrMark : kLfMark;
        } else if (IsControl(u.codepoint)) {
            g.kind = GlyphKind::Control;
            g.codepoint = ControlPicture(u.codepoint);
        }
        out.push_back(g);
    }
}

HexRow FormatHexRow(uint64_t rowOffset, std::string_view bytes, const std::vector<Unit> &units) {
    std::vector<uint64_t> offsets(std::min(bytes.size(), kHexRowBytes));
    for (std::size_t i = 0; i < offsets.size(); ++i)
        offsets[i] = rowOffset + i;
    return FormatHexRow(rowOffset, bytes, offsets, units);
}

HexRow FormatHexRow(uint64_t position, std::string_view bytes, const std::vector<uint64_t> &offsets,
                    const std::vector<Unit> &units) {
    static const char digits[] = "0123456789abcdef";
    HexRow row;
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%08llx", static_cast<unsigned long long>(position));
    row.offset = buffer;
    const std::size_t n = std::min({bytes.size(), offsets.size(), kHexRowBytes});
    for (std::size_t i = 0; i < kHexRowBytes; ++i) {
        if (i > 0) row.hex += i == 8 ? "  " : " ";
        if (i < n) {
            const auto b = static_cast<unsigned char>(bytes[i]);
            row.hex += digits[b >> 4];
            row.hex += digits[b & 15];
        } else {
            row.hex += "  ";
        }
    }
    row.text.assign(n, U' ');
    const auto last = offsets.begin() + std::ptrdiff_t(n);
    for (const Unit &u : units) {
        const auto at = std::lower_bound(offsets.begin(), last, u.offset);
        if (at == last || *at != u.offset) continue;
        const auto i = std::size_t(at - offsets.begin());
        if (u.kind == UnitKind::Invalid) {
            row.text[i] = U'.';
        } else if (u.kind == UnitKind::Shift) {
            // An escape sequence shows as its bytes, ESC as its picture.
            for (std::size_t k = 0; k < u.length && i + k < n; ++k) {
                const auto b = static_cast<unsigned char>(bytes[i + k]);
                row.text[i + k] = IsControl(b) ? ControlPicture(b) : char32_t(b);
            }
        } else {
            row.text[i] = IsControl(u.codepoint) ? ControlPicture(u.codepoint) : u.codepoint;
        }
    }
    return row;
}

void AppendUtf8(std::string &out, char32_t c) {
    if (c < 0x80) {
        out += char(c);
    } else if (c < 0x800) {
        out += char(0xC0 | (c >> 6));
        out += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += char(0xE0 | (c >> 12));
        out += char(0x80 | ((c >> 6) & 0x3F));
        out += char(0x80 | (c & 0x3F));
    } else {
        out += char(0xF0 | (c >> 18));
        out += char(0x80 | ((c >> 12) & 0x3F));
        out += char(0x80 | ((c >> 6) & 0x3F));
        out += char(0x80 | (c & 0x3F));
    }
}

std::string GlyphsToUtf8(const std::vector<Glyph> &glyphs) {
    std::string s;
    for (const Glyph &g : glyphs) {
        if (g.kind == GlyphKind::Shift) continue;
        if (g.kind == GlyphKind::Invalid) {
            static const char digits[] = "0123456789ABCDEF";
            s += '<';
            s += digits[(g.codepoint >> 4) & 15];
            s += digits[g.codepoint & 15];
            s += '>';
            continue;
        }
        AppendUtf8(s, g.codepoint);
    }
    return s;
}

} // namespace tarvotcpc
