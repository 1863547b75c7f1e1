#include "vorn_internal.hpp"

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace vorn {

namespace {
std::atomic<long> g_failAt{0}; // attempt number that fails; 0: none
std::atomic<long> g_attempts{0};
std::atomic<long> g_live{0};

bool next_attempt_fails() {
    const long n = ++g_attempts;
    const long at = g_failAt.load();
    return at != 0 && n == at;
}
} // namespace

void mem_fail_nth(long n) {
    g_failAt = n > 0 ? g_attempts.load() + n : 0;
}
long mem_attempts() {
    return g_attempts.load();
}
long mem_live_blocks() {
    return g_live.load();
}

void *mem_alloc_raw(std::size_t n) {
    if (next_attempt_fails()) return nullptr;
    void *p = std::malloc(n ? n : 1);
    if (p) ++g_live;
    return p;
}

void *mem_alloc(std::size_t n) {
    void *p = mem_alloc_raw(n);
    if (p) std::memset(p, 0, n ? n : 1);
    return p;
}

void *mem_realloc_raw(void *p, std::size_t n) {
    if (!p) return mem_alloc_raw(n);
    if (next_attempt_fails()) return nullptr;
    return std::realloc(p, n ? n : 1);
}

void *mem_realloc(void *p, std::size_t oldSize, std::size_t n) {
    if (!p) return mem_alloc(n);
    void *q = mem_realloc_raw(p, n);
    if (q && n > oldSize) std::memset(static_cast<char *>(q) + oldSize, 0, n - oldSize);
    return q;
}

void mem_free(void *p) noexcept {
    if (!p) return;
    --g_live;
    std::free(p);
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool keys_equal(const char *a, const char *b) {
    return std::strcmp(a, b) == 0;
}

int compare_n(const char *a, const char *b, std::size_t n) {
    return std::strncmp(a, b, n);
}

int compare_n_ci(const char *a, const char *b, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        const auto ca = static_cast<unsigned char>(ascii_lower(a[i]));
        const auto cb = static_cast<unsigned char>(ascii_lower(b[i]));
        if (ca != cb) return ca < cb ? -1 : 1;
        if (ca == 0) return 0;
    }
    return 0;
}

const char *find_char(const char *set, char c) {
    if (c == 0) return nullptr;
    return std::strchr(set, c);
}

const char *find_char_ci(const char *set, char c) {
    if (c == 0) return nullptr;
    for (; *set; ++set)
        if (ascii_eq_ci(*set, c)) return set;
    return nullptr;
}

namespace {
constexpr std::int32_t kIgnoreCase = 0x1;
constexpr std::int32_t kIgnoreSymbols = 0x4;

bool is_symbol(unsigned char c) {
    return c == ' ' || (c >= '\t' && c <= '\r') || (c >= '!' && c <= '/') ||
           (c >= ':' && c <= '@') || (c >= '[' && c <= '`') || (c >= '{' && c <= '~');
}

// Walks a bounded text, optionally skipping symbols.
struct Cursor {
    const unsigned char *p;
    const unsigned char *end;
    bool skipSymbols;
    bool next(unsigned char &c) {
        while (p < end && *p) {
            c = *p++;
            if (!(skipSymbols && is_symbol(c))) return true;
        }
        return false;
    }
};

Cursor cursor(const char *s, std::size_t n, bool skip) {
    auto p = reinterpret_cast<const unsigned char *>(s);
    return Cursor{p, p + n, skip};
}
} // namespace

int compare_values(const char *a, std::size_t alen, const char *b, std::size_t blen,
                   std::int32_t flags) {
    const bool skip = (flags & kIgnoreSymbols) != 0;
    // First the texts with case folded; the order of the folded texts decides.
    {
        Cursor x = cursor(a, alen, skip), y = cursor(b, blen, skip);
        for (;;) {
            unsigned char ca = 0, cb = 0;
            const bool ha = x.next(ca), hb = y.next(cb);
            if (!ha || !hb) {
                if (ha != hb) return ha ? 1 : -1;
                break;
            }
            ca = static_cast<unsigned char>(ascii_lower(char(ca)));
            cb = static_cast<unsigned char>(ascii_lower(char(cb)));
            if (ca != cb) return ca < cb ? -1 : 1;
        }
    }
    if (flags & kIgnoreCase) return 0;
    // Equal but for case: the first case difference decides, lower case first.
    Cursor x = cursor(a, alen, skip), y = cursor(b, blen, skip);
    unsigned char ca = 0, cb = 0;
    while (x.next(ca) && y.next(cb)) {
        if (ca != cb) return (ca >= 'a' && ca <= 'z') ? -1 : 1;
    }
    return 0;
}

std::uint64_t folded_prefix(const char *s, std::size_t n, std::int32_t flags) {
    Cursor c = cursor(s, n, (flags & kIgnoreSymbols) != 0);
    std::uint64_t v = 0;
    int taken = 0;
    unsigned char ch = 0;
    while (taken < 8 && c.next(ch)) {
        v = (v << 8) | static_cast<unsigned char>(ascii_lower(char(ch)));
        ++taken;
    }
    return taken == 0 ? 0 : v << (8 * (8 - taken));
}

std::int32_t text_to_int(const char *s, std::size_t n) {
    bool negative = false;
    std::size_t i = 0;
    if (n > 0 && (s[0] == '-' || s[0] == '+')) negative = (s[i++] == '-');
    std::uint32_t v = 0;
    for (; i < n && is_digit(s[i]); ++i)
        v = v * 10u + std::uint32_t(s[i] - '0');
    if (negative) v = 0u - v;
    return static_cast<std::int32_t>(v);
}

std::size_t copy_text(char *dst, const char *src, std::size_t n) {
    if (n == 0) return 0;
    std::size_t i = 0;
    for (; i + 1 < n && src[i]; ++i)
        dst[i] = src[i];
    dst[i] = 0;
    return i;
}

void trim(char *s, const char *set) {
    std::size_t len = std::strlen(s);
    std::size_t start = 0;
    while (start < len && find_char(set, s[start]))
        ++start;
    while (len > start && find_char(set, s[len - 1]))
        --len;
    if (start) std::memmove(s, s + start, len - start);
    s[len - start] = 0;
}

} // namespace vorn
