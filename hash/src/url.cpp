// Percent-encoding and query strings.
//
// The two coders go through a work buffer so that out and text may be the same buffer (the
// client codes its templates in place). The query-string writer measures each pair before it
// writes it, so it encodes straight into out and needs no memory at all.
#include "record.hpp"

#include <cstring>

namespace {

// A value as text: up to its first NUL, never past its buffer.
std::size_t value_len(const Hash *h, std::int32_t i) {
    return static_cast<std::size_t>(vorn::value_text_length(h, i));
}

// Kept as they are, in either case; every other byte but the space is escaped.
constexpr const char *kKept = "abcdefghijklmnopqrstuvwxyz0123456789*-.@_";
constexpr const char *kHex = "0123456789abcdef";

bool kept(char c) {
    return vorn::find_char_ci(kKept, c) != nullptr;
}

std::size_t encoded_len(const char *s, std::size_t n) {
    std::size_t len = 0;
    for (std::size_t i = 0; i < n; ++i)
        len += (kept(s[i]) || s[i] == ' ') ? 1 : 3;
    return len;
}

// Encodes n bytes of s into dst, which holds encoded_len(s, n) bytes; no terminator.
void encode_into(char *dst, const char *s, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        const char c = s[i];
        if (kept(c)) {
            *dst++ = c;
        } else if (c == ' ') {
            *dst++ = '+';
        } else {
            const auto b = static_cast<unsigned char>(c);
            *dst++ = '%';
            *dst++ = kHex[b >> 4];
            *dst++ = kHex[b & 15];
        }
    }
}

// Decodes the text s into dst and terminates it; dst may be s itself, as decoding never
// lengthens. An escape always consumes the "%" and up to two more characters, whatever they
// are. One hexadecimal digit is read alone; none yields the "%" itself.
void decode_into(char *dst, const char *s) {
    while (*s) {
        const char c = *s++;
        if (c == '+') {
            *dst++ = ' ';
        } else if (c != '%') {
            *dst++ = c;
        } else {
            char pair[2] = {0, 0};
            for (int k = 0; k < 2 && *s; ++k)
                pair[k] = *s++;
            const int hi = vorn::hex_value(pair[0]);
            const int lo = hi < 0 ? -1 : vorn::hex_value(pair[1]);
            if (hi < 0)
                *dst++ = '%';
            else if (lo < 0)
                *dst++ = static_cast<char>(hi);
            else
                *dst++ = static_cast<char>(hi * 16 + lo);
        }
    }
    *dst = 0;
}

std::int32_t result_len(const char *out) {
    const std::size_t n = std::strlen(out);
    return n > INT32_MAX ? INT32_MAX : static_cast<std::int32_t>(n);
}

} // namespace

extern "C" {

VORN_API int32_t VornEncodeUrl(char *out, int32_t size, const char *text) {
    if (!out || !text || size < 1) return 0;
    const std::size_t n = std::strlen(text);
    const std::size_t len = encoded_len(text, n);
    vorn::MemPtr<char> work = vorn::mem_text(len + 1);
    if (!work) return 0;
    encode_into(work.get(), text, n);
    vorn::copy_text(out, work.get(), static_cast<std::size_t>(size));
    return result_len(out);
}

VORN_API int32_t VornDecodeUrl(char *out, int32_t size, const char *text) {
    if (!out || !text || size < 1) return 0;
    vorn::MemPtr<char> work = vorn::mem_text(std::strlen(text) + 1);
    if (!work) return 0;
    decode_into(work.get(), text);
    vorn::copy_text(out, work.get(), static_cast<std::size_t>(size));
    return result_len(out);
}

VORN_API int32_t VornHashToQueryString(char *out, int32_t size, const Hash *hash, int32_t raw) {
    if (!out || !vorn::record_ok(hash) || size < 1) return 0;
    out[0] = 0;
    std::int64_t used = 0;
    for (std::int32_t i = 0; i < hash->count; ++i) {
        const char *key = hash->keys[i];
        const char *value = hash->values[i];
        const std::size_t kraw = std::strlen(key);
        const std::size_t vraw = value_len(hash, i);
        const std::size_t klen = raw ? kraw : encoded_len(key, kraw);
        const std::size_t vlen = raw ? vraw : encoded_len(value, vraw);
        // "=" and the terminator, and the "&" that joins every pair after the first.
        const std::int64_t need = std::int64_t(klen + vlen) + 2 + (i > 0 ? 1 : 0);
        if (need > size - used) break;
        char *p = out + used;
        if (i > 0) *p++ = '&';
        if (raw)
            std::memcpy(p, key, klen);
        else
            encode_into(p, key, kraw);
        p += klen;
        *p++ = '=';
        if (raw)
            std::memcpy(p, value, vlen);
        else
            encode_into(p, value, vraw);
        p += vlen;
        *p = 0;
        used = p - out;
    }
    return static_cast<std::int32_t>(used);
}

VORN_API int32_t VornQueryStringToHash(Hash *hash, const char *text, int32_t raw) {
    if (!vorn::record_ok(hash) || !text) return 0;
    const std::size_t total = std::strlen(text);
    if (total > INT32_MAX - 1) return 0;
    // The text may live in the record's own buffers, which emptying frees: parse a copy.
    vorn::MemPtr<char> work(static_cast<char *>(vorn::mem_alloc_raw(total + 1)));
    if (!work) return 0;
    std::memcpy(work.get(), text, total + 1);
    if (!VornReAllocHash(hash, 0)) return 0;
    char *name = work.get();
    while (*name) {
        char *next = std::strchr(name, '&');
        if (next)
            *next++ = 0;
        else
            next = name + std::strlen(name);
        // Split before decoding, so that an escaped "&" or "=" stays inside its name or value.
        char *value = std::strchr(name, '=');
        if (value)
            *value++ = 0;
        else
            value = name + std::strlen(name);
        if (!raw) {
            decode_into(name, name);
            decode_into(value, value);
        }
        const auto length = static_cast<std::int32_t>(std::strlen(value) + 1);
        // An unnamed piece is appended: it must never land on cell 0 and overwrite the entry
        // that happens to be there.
        const std::int32_t ok = *name ? VornSetHash(hash, name, 0, value, length)
                                      : VornSetHash(hash, nullptr, -1, value, length);
        if (!ok) return 0;
        name = next;
    }
    return 1;
}

} // extern "C"
