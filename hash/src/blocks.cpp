// Key=value blocks, line lists ("notes"), header lists and %key% expansion.
//
// The readers take text from files, peers and users, so every scan is bounded by the text's own
// terminator and every value read from a record is bounded by its buffer size: a caller may have
// filled a value buffer to the brim through VornGetHashPtr, and that must not make us read past it.
#include "record.hpp"

#include <algorithm>
#include <cstring>

namespace {

// A value as text: up to its first NUL, never past its buffer.
std::size_t value_len(const Hash *h, std::int32_t i) {
    return static_cast<std::size_t>(vorn::value_text_length(h, i));
}

// Texts we store must have a length VornSetHash can take, terminator included.
constexpr std::size_t kMaxText = INT32_MAX - 1;

bool too_long(const char *text) {
    return std::strlen(text) > kMaxText;
}

// Stores one parsed entry. A named entry keeps the position of the first cell of that name and
// takes the later value; an unnamed one is appended, so that it never lands on cell 0 and
// overwrites whatever entry happens to be there.
bool store(Hash *h, const char *name, const char *value, std::size_t length) {
    const auto n = static_cast<std::int32_t>(length);
    if (*name == 0) return VornSetHash(h, nullptr, -1, value, n) != 0;
    return VornSetHash(h, name, 0, value, n) != 0;
}

bool empty_record(Hash *h) {
    return VornReAllocHash(h, 0) != 0;
}

// Length of the first line, terminator (CR, LF or CRLF) included.
std::size_t line_length(const char *p) {
    for (std::size_t i = 0;; ++i) {
        if (p[i] == 0) return i;
        if (p[i] == '\n') return i + 1;
        if (p[i] == '\r') return p[i + 1] == '\n' ? i + 2 : i + 1;
    }
}

// Ends the line at p where its line end begins, clearing the line-end bytes, and returns the
// line's raw length. The cleared bytes are stored with the value: they must be zeros, not CR/LF.
std::size_t cut_line(char *p) {
    const std::size_t n = line_length(p);
    std::size_t len = n;
    while (len > 0 && (p[len - 1] == '\r' || p[len - 1] == '\n'))
        --len;
    std::memset(p + len, 0, n - len);
    return n;
}

void put(char *&dst, const char *src, std::size_t n) {
    std::memcpy(dst, src, n);
    dst += n;
}

} // namespace

extern "C" {

VORN_API int32_t VornHashToEnv(char *out, int32_t size, const Hash *hash) {
    if (!out || !vorn::record_ok(hash) || size < 1) return 0;
    std::int64_t used = 0;
    for (std::int32_t i = 0; i < hash->count; ++i) {
        const std::size_t klen = std::strlen(hash->keys[i]);
        const std::size_t vlen = value_len(hash, i);
        // The 3 keeps room for "=", this string's NUL and the block's closing NUL.
        if (used + std::int64_t(klen) + std::int64_t(vlen) + 3 > size) break;
        char *p = out + used;
        put(p, hash->keys[i], klen);
        *p++ = '=';
        put(p, hash->values[i], vlen);
        *p = 0;
        used += std::int64_t(klen + vlen + 2);
    }
    out[used] = 0;
    return static_cast<std::int32_t>(used + 1);
}

VORN_API int32_t VornEnvToHash(Hash *hash, const char *block) {
    if (!vorn::record_ok(hash) || !block) return 0;
    // Walk string by string, so that a block made of a single NUL is never read past that NUL.
    const char *p = block;
    while (*p) {
        const std::size_t n = std::strlen(p);
        if (n > kMaxText) return 0;
        p += n + 1;
    }
    // The block may live in the record's own buffers, which emptying frees: parse a copy.
    const auto bytes = static_cast<std::size_t>(p - block) + 1;
    vorn::MemPtr<char> work(static_cast<char *>(vorn::mem_alloc_raw(bytes)));
    if (!work) return 0;
    std::memcpy(work.get(), block, bytes);
    if (!empty_record(hash)) return 0;
    for (char *name = work.get(); *name;) {
        const std::size_t n = std::strlen(name);
        char *value = static_cast<char *>(std::memchr(name, '=', n));
        if (value)
            *value++ = 0;
        else
            value = name + n;
        if (!store(hash, name, value, std::strlen(value) + 1)) return 0;
        name += n + 1;
    }
    return 1;
}

VORN_API int32_t VornGetLineLength(const char *text) {
    if (!text) return 0;
    const std::size_t n = line_length(text);
    return n > INT32_MAX ? INT32_MAX : static_cast<std::int32_t>(n);
}

VORN_API int32_t VornHashToNote(char *out, int32_t size, const Hash *hash, int32_t withKeys) {
    if (!out || !vorn::record_ok(hash) || size < 1) return 0;
    std::int64_t used = 0;
    for (std::int32_t i = 0; i < hash->count; ++i) {
        const std::size_t klen = withKeys ? std::strlen(hash->keys[i]) : 0;
        const std::size_t vlen = value_len(hash, i);
        const std::int64_t need = std::int64_t(vlen) + (withKeys ? std::int64_t(klen) + 5 : 3);
        if (used + need > size) break;
        char *p = out + used;
        if (withKeys) {
            put(p, hash->keys[i], klen);
            put(p, "\r\n", 2);
        }
        put(p, hash->values[i], vlen);
        put(p, "\r\n", 2);
        *p = 0;
        used += need - 1;
    }
    return static_cast<std::int32_t>(used);
}

VORN_API int32_t VornNoteToHash(Hash *hash, const char *text, int32_t withKeys) {
    if (!vorn::record_ok(hash) || !text || too_long(text)) return 0;
    // The text may live in the record's own buffers, which emptying frees: parse a copy.
    const std::size_t total = std::strlen(text);
    vorn::MemPtr<char> work(static_cast<char *>(vorn::mem_alloc_raw(total + 1)));
    if (!work) return 0;
    std::memcpy(work.get(), text, total + 1);
    if (!empty_record(hash)) return 0;
    char *p = work.get();
    while (*p) {
        char *name = p;
        if (withKeys) p += cut_line(p);
        char *value = p;
        const std::size_t n = cut_line(p);
        p += n;
        // The raw line length decides the buffer size; a last line without a terminator still
        // needs room for the NUL.
        const auto length = static_cast<std::int32_t>(std::max(n, std::strlen(value) + 1));
        const bool ok = withKeys ? store(hash, name, value, std::size_t(length))
                                 : VornSetHash(hash, nullptr, -1, value, length) != 0;
        if (!ok) return 0;
    }
    return 1;
}

VORN_API int32_t VornHashToHttpHeader(char *out, uint32_t size, const Hash *hash) {
    if (!out || !vorn::record_ok(hash) || size < 1) return 0;
    out[0] = 0;
    std::uint64_t used = 0;
    for (std::int32_t i = 0; i < hash->count; ++i) {
        const std::size_t klen = std::strlen(hash->keys[i]);
        const std::size_t vlen = value_len(hash, i);
        if (used + klen + vlen + 5 > size) break;
        char *p = out + used;
        put(p, hash->keys[i], klen);
        put(p, ": ", 2);
        put(p, hash->values[i], vlen);
        put(p, "\r\n", 2);
        *p = 0;
        used += klen + vlen + 4;
    }
    return used > INT32_MAX ? INT32_MAX : static_cast<std::int32_t>(used);
}

VORN_API int32_t VornHttpHeaderToHash(Hash *hash, const char *text) {
    if (!vorn::record_ok(hash) || !text || too_long(text)) return 0;
    // The lines are split off into a record of our own before the target is emptied, so the
    // text may even live in the target's buffers; the names are then cut out of those lines.
    Hash lines{};
    if (!VornAllocHash(&lines, 0, 255)) return 0;
    struct Release {
        Hash *h;
        ~Release() { VornFreeHash(h); }
    } release{&lines};
    if (!VornNoteToHash(&lines, text, 0) || !VornDeleteEmptyHash(&lines)) return 0;
    if (!empty_record(hash)) return 0;
    for (std::int32_t i = 0; i < lines.count; ++i) {
        char *name = lines.values[i];
        char *value = std::strchr(name, ':');
        if (value) {
            *value++ = 0;
            if (*value == ' ') ++value;
        } else {
            value = name + std::strlen(name);
        }
        if (!store(hash, name, value, std::strlen(value) + 1)) return 0;
    }
    return 1;
}

VORN_API int32_t VornExpandHash(char *out, int32_t size, const char *pattern, const Hash *hash,
                                int32_t ignoreCase) {
    if (!out || !pattern || !vorn::record_ok(hash) || size < 1) return 0;
    const auto limit = static_cast<std::size_t>(size) - 1;
    std::size_t used = 0;
    const char *t = pattern;
    while (*t && used < limit) {
        if (*t != '%') {
            out[used++] = *t++;
            continue;
        }
        // The marker is "%" key "%"; comparing it piecewise against the template needs no marker
        // buffer, so keys of any length work. Each cell is tried exactly, then (when asked)
        // without case, before the next cell: the lowest matching index wins.
        std::int32_t hit = -1;
        std::size_t hitLen = 0;
        for (std::int32_t i = 0; i < hash->count && hit < 0; ++i) {
            const char *key = hash->keys[i];
            const std::size_t klen = std::strlen(key);
            const bool same = vorn::compare_n(t + 1, key, klen) == 0 ||
                              (ignoreCase && vorn::compare_n_ci(t + 1, key, klen) == 0);
            // A prefix match stops at the template's end, so t[1 + klen] is still inside it.
            if (same && t[1 + klen] == '%') {
                hit = i;
                hitLen = klen + 2;
            }
        }
        if (hit < 0) {
            out[used++] = *t++;
            continue;
        }
        const std::size_t n = std::min(value_len(hash, hit), limit - used);
        std::memcpy(out + used, hash->values[hit], n);
        used += n;
        t += hitLen;
    }
    out[used] = 0;
    return static_cast<std::int32_t>(used);
}

} // extern "C"
