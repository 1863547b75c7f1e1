// One well-formed UTF-8 character: the strict reading shared by the send page and the saves.
#pragma once

#include <cstddef>
#include <string_view>

namespace tarvotcpc {

// The length of the well-formed UTF-8 character at text[at] (no overlong forms, no surrogates,
// nothing past U+10FFFF), or 0 when the bytes there are not one; its code point in *code.
inline std::size_t Utf8CharLength(std::string_view text, std::size_t at, char32_t *code = nullptr) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[at + k]); };
    const unsigned char lead = byte(0);
    std::size_t length;
    char32_t cp;
    if (lead < 0x80) {
        length = 1;
        cp = lead;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        cp = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        cp = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        cp = lead & 0x07;
    } else {
        return 0;
    }
    if (at + length > text.size()) return 0;
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(k) & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (byte(k) & 0x3F);
    }
    if ((length == 3 && cp < 0x800) || (length == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
        (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    if (code) *code = cp;
    return length;
}

} // namespace tarvotcpc
