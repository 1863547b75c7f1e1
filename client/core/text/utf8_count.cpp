#include "text/utf8_count.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <cstring>

namespace tarvotcpc {

namespace {

bool Continuation(unsigned char b) {
    return (b & 0xC0) == 0x80;
}

// How many bytes glibc expects after seeing this lead byte before it judges the sequence: it waits
// for them even where the sequence can no longer become a character (E0 80, ED A0, F5 and on).
std::size_t AnnouncedLength(unsigned char b) {
    if (b < 0xC2) return 0;
    if (b < 0xE0) return 2;
    if (b < 0xF0) return 3;
    if (b < 0xF8) return 4;
    if (b < 0xFC) return 5;
    if (b < 0xFE) return 6;
    return 0;
}

// The first byte at or after p that is not ASCII, or end.
const unsigned char *SkipAscii(const unsigned char *p, const unsigned char *end) {
#if defined(__SSE2__)
    while (end - p >= 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        const unsigned mask = unsigned(_mm_movemask_epi8(v));
        if (mask != 0) return p + __builtin_ctz(mask);
        p += 16;
    }
#else
    while (end - p >= 8) {
        uint64_t word;
        std::memcpy(&word, p, 8);
        if (word & 0x8080808080808080u) break;
        p += 8;
    }
#endif
    while (p < end && *p < 0x80)
        ++p;
    return p;
}

// The length of the well-formed character of two to four bytes at p, or 0.
std::size_t WholeCharacter(const unsigned char *p, std::size_t avail) {
    const unsigned char b = p[0];
    if (b >= 0xC2 && b <= 0xDF) return avail >= 2 && Continuation(p[1]) ? 2 : 0;
    if (b >= 0xE0 && b <= 0xEF) {
        if (avail < 3) return 0;
        // E0 would be overlong below A0; ED at A0 and above a surrogate.
        const unsigned char low = b == 0xE0 ? 0xA0 : 0x80, high = b == 0xED ? 0x9F : 0xBF;
        return p[1] >= low && p[1] <= high && Continuation(p[2]) ? 3 : 0;
    }
    if (b >= 0xF0 && b <= 0xF4) {
        if (avail < 4) return 0;
        // F0 would be overlong below 90; F4 past U+10FFFF from 90.
        const unsigned char low = b == 0xF0 ? 0x90 : 0x80, high = b == 0xF4 ? 0x8F : 0xBF;
        return p[1] >= low && p[1] <= high && Continuation(p[2]) && Continuation(p[3]) ? 4 : 0;
    }
    return 0;
}

} // namespace

Utf8Count CountUtf8Units(std::string_view bytes) {
    const auto *const begin = reinterpret_cast<const unsigned char *>(bytes.data());
    const unsigned char *const end = begin + bytes.size();
    const unsigned char *p = begin;
    uint64_t units = 0;
    while (p < end) {
        if (*p < 0x80) {
            const unsigned char *run = SkipAscii(p, end);
            units += uint64_t(run - p);
            p = run;
            continue;
        }
        const std::size_t avail = std::size_t(end - p);
        if (const std::size_t length = WholeCharacter(p, avail)) {
            ++units;
            p += length;
            continue;
        }
        if (AnnouncedLength(*p) > avail) {
            const unsigned char *q = p + 1;
            while (q < end && Continuation(*q))
                ++q;
            if (q == end) break; // glibc waits for the rest
        }
        ++units; // one invalid byte; the next is read afresh
        ++p;
    }
    return {units, std::size_t(p - begin)};
}

} // namespace tarvotcpc
