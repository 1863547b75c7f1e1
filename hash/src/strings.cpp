// String utilities on caller-owned buffers: replacement, reversal, random numbers and time
// formatting. Nothing here keeps state; every function may run on any thread at once.
#include "vornhash.h"
#include "vorn_internal.hpp"

#include <sys/random.h>

#include <cerrno>
#include <cstring>
#include <ctime>

namespace {

using std::size_t;

// Length of the text in buffer as the caller's size allows it: never more than size - 1 bytes
// and never a byte past the buffer, terminated or not.
size_t bounded_length(const char *buffer, std::int32_t size) {
    return strnlen(buffer, static_cast<size_t>(size) - 1);
}

// Number of bytes of a UTF-8 sequence that starts with lead, or 1 when it starts none.
size_t utf8_sequence_length(unsigned char lead) {
    if (lead >= 0xC0 && lead <= 0xDF) return 2;
    if (lead >= 0xE0 && lead <= 0xEF) return 3;
    if (lead >= 0xF0 && lead <= 0xF7) return 4;
    return 1;
}

void reverse_bytes(char *p, size_t n) {
    for (size_t i = 0, j = n; i + 1 < j; ++i, --j) {
        const char t = p[i];
        p[i] = p[j - 1];
        p[j - 1] = t;
    }
}

} // namespace

extern "C" {

VORN_API int32_t VornReplaceString(char *buffer, int32_t size, const char *find,
                                   const char *replace, int32_t ignoreCase) {
    if (!buffer || !find || !replace || size < 1) return 0;
    const size_t len = bounded_length(buffer, size);
    const size_t flen = std::strlen(find);
    const size_t rlen = std::strlen(replace);
    auto matches = [&](size_t at) {
        if (flen == 0 || at + flen > len) return false;
        return (ignoreCase ? vorn::compare_n_ci(buffer + at, find, flen)
                           : vorn::compare_n(buffer + at, find, flen)) == 0;
    };

    // First the complete length, so that only what the buffer can take is ever built.
    std::int64_t total = 0;
    for (size_t i = 0; i < len;) {
        if (matches(i)) {
            total += static_cast<std::int64_t>(rlen);
            i += flen;
        } else {
            ++total;
            ++i;
        }
        if (total > INT32_MAX) return 0; // the length could not be reported
    }

    const size_t cap = static_cast<size_t>(size) - 1;
    const size_t out = static_cast<size_t>(total) < cap ? static_cast<size_t>(total) : cap;
    vorn::MemPtr<char> work = vorn::mem_text(out + 1);
    if (!work) return 0;
    size_t w = 0;
    auto put = [&](const char *p, size_t n) {
        const size_t room = out - w;
        const size_t k = n < room ? n : room;
        std::memcpy(work.get() + w, p, k);
        w += k;
    };
    for (size_t i = 0; i < len && w < out;) {
        if (matches(i)) {
            put(replace, rlen);
            i += flen;
        } else {
            put(buffer + i, 1);
            ++i;
        }
    }
    // The result may be shorter than the text it replaces, so the whole used part is rewritten.
    std::memcpy(buffer, work.get(), w);
    buffer[w] = '\0';
    return static_cast<int32_t>(total);
}

VORN_API void VornReplaceCharacter(char *text, char find, char replace, int32_t ignoreCase) {
    if (!text) return;
    const size_t len = std::strlen(text);
    for (size_t i = 0; i < len; ++i) {
        if (ignoreCase ? vorn::ascii_eq_ci(text[i], find) : text[i] == find) text[i] = replace;
    }
}

VORN_API void VornReverseString(char *text, int32_t dbcs) {
    if (!text) return;
    const size_t len = std::strlen(text);
    if (dbcs) {
        // Reverse each complete multi-byte character first; the reversal of the whole text then
        // puts its bytes back in order. Broken sequences are reversed byte by byte.
        for (size_t i = 0; i < len;) {
            size_t n = utf8_sequence_length(static_cast<unsigned char>(text[i]));
            for (size_t k = 1; k < n; ++k) {
                if (i + k >= len ||
                    !vorn::utf8_continuation(static_cast<unsigned char>(text[i + k]))) {
                    n = 1;
                    break;
                }
            }
            reverse_bytes(text + i, n);
            i += n;
        }
    }
    reverse_bytes(text, len);
}

VORN_API int32_t VornRandom(void) {
    int32_t v = 0;
    ssize_t got;
    do {
        got = getrandom(&v, sizeof v, 0);
    } while (got < 0 && errno == EINTR);
    if (got != static_cast<ssize_t>(sizeof v)) return 0;
    // Negating folds the negative half onto the positive one; -2^31 has no positive twin and
    // takes 0, which keeps every result in range and the distribution uniform.
    if (v == INT32_MIN) return 0;
    return v < 0 ? -v : v;
}

VORN_API int32_t VornSystemTimeFmt(char *buffer, int32_t size, const char *format,
                                   const VornSystemTime *time) {
    if (!buffer || !format || !time || size < 1) return 0;
    // Fields outside their ranges would make the formatter index its name tables out of bounds
    // on some C libraries; they are refused rather than passed on.
    if (time->wMonth < 1 || time->wMonth > 12 || time->wDay < 1 || time->wDay > 31 ||
        time->wDayOfWeek > 6 || time->wHour > 23 || time->wMinute > 59 || time->wSecond > 60)
        return 0;
    std::tm tm{};
    tm.tm_sec = time->wSecond;
    tm.tm_min = time->wMinute;
    tm.tm_hour = time->wHour;
    tm.tm_mday = time->wDay;
    tm.tm_mon = time->wMonth - 1;
    tm.tm_year = time->wYear - 1900;
    tm.tm_wday = time->wDayOfWeek;
    tm.tm_yday = 0;
    tm.tm_isdst = 0;

    // strftime gives 0 both for an empty result and for one that does not fit, and leaves its
    // buffer undefined in the second case. A leading blank makes every result non-empty, so 0
    // means "does not fit". The work area grows from a small start up to the caller's size (plus
    // the blank), so a generous size costs nothing when the result is short.
    const size_t flen = std::strlen(format);
    vorn::MemPtr<char> fmt = vorn::mem_text(flen + 2);
    if (!fmt) return 0;
    fmt.get()[0] = ' ';
    std::memcpy(fmt.get() + 1, format, flen + 1);
    const size_t limit = static_cast<size_t>(size) + 1;
    size_t cap = limit < 256 ? limit : 256;
    for (;;) {
        vorn::MemPtr<char> work = vorn::mem_text(cap);
        if (!work) return 0;
        const size_t n = std::strftime(work.get(), cap, fmt.get(), &tm);
        if (n > 0) {
            std::memcpy(buffer, work.get() + 1, n); // n - 1 characters and the terminator
            return 1;
        }
        if (cap == limit) break;
        cap = cap > limit / 2 ? limit : cap * 2;
    }
    buffer[0] = '\0';
    return 0;
}

} // extern "C"
