// The library's one place for memory and text rules. Every other source file allocates and
// compares through here, so that the failure seam and the byte/ASCII rules hold everywhere.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace vorn {

// ---- memory ---------------------------------------------------------------------------------

// A zero-filled block of n bytes (n == 0 is treated as 1), or nullptr.
void *mem_alloc(std::size_t n);
// An uninitialised block of n bytes (n == 0 is treated as 1), or nullptr.
void *mem_alloc_raw(std::size_t n);
// Resizes p (of oldSize bytes) to n bytes, zero-filling what grows. nullptr on failure, in
// which case p is untouched and still owned by the caller. p may be null (then oldSize is 0).
void *mem_realloc(void *p, std::size_t oldSize, std::size_t n);
// As mem_realloc without zero-filling.
void *mem_realloc_raw(void *p, std::size_t n);
void mem_free(void *p) noexcept;

struct MemFree {
    void operator()(void *p) const noexcept { mem_free(p); }
};
template <class T> using MemPtr = std::unique_ptr<T, MemFree>;

// A zero-filled text buffer of n bytes owned by the returned pointer (empty on failure).
inline MemPtr<char> mem_text(std::size_t n) {
    return MemPtr<char>(static_cast<char *>(mem_alloc(n)));
}

// Test seam: make the n-th allocation from now fail (1 = the next one); 0 disables. Every
// allocation and growing reallocation counts.
void mem_fail_nth(long n);
// Number of allocations attempted since start (failed ones included).
long mem_attempts();
// Number of blocks currently allocated through this module.
long mem_live_blocks();

// True when v fits a non-negative int32 size.
constexpr bool fits_i32(std::int64_t v) {
    return v >= 0 && v <= INT32_MAX;
}

// ---- text rules ----------------------------------------------------------------------------
// Bytes 0x80 and above are never changed or folded; only ASCII letters have case.

constexpr char ascii_upper(char c) {
    return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c;
}
constexpr char ascii_lower(char c) {
    return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
}
constexpr bool ascii_eq_ci(char a, char b) {
    return ascii_lower(a) == ascii_lower(b);
}
constexpr bool is_digit(char c) {
    return c >= '0' && c <= '9';
}
int hex_value(char c); // 0..15, or -1

// Key equality: byte for byte.
bool keys_equal(const char *a, const char *b);

// Compare at most n characters, stopping after a NUL; <0, 0, >0. The _ci form folds ASCII case.
int compare_n(const char *a, const char *b, std::size_t n);
int compare_n_ci(const char *a, const char *b, std::size_t n);

// First occurrence of c in the NUL-terminated set (c == 0 is never found); _ci folds case.
const char *find_char(const char *set, char c);
const char *find_char_ci(const char *set, char c);

// Value order for sorting; flags as VORN_SORT_*. a and b are texts of at most alen / blen
// bytes (a NUL ends them earlier). Result <0, 0, >0; a strict weak ordering.
int compare_values(const char *a, std::size_t alen, const char *b, std::size_t blen,
                   std::int32_t flags);

// The first eight bytes of a value as compare_values sees them in its first, case-folded pass,
// big-endian and zero-padded: when two prefixes differ, their order is the values' order.
std::uint64_t folded_prefix(const char *s, std::size_t n, std::int32_t flags);

// Optional sign then decimal digits, stopping at the first other byte; none gives 0.
// Wraps like 32-bit arithmetic. Reads at most n bytes.
std::int32_t text_to_int(const char *s, std::size_t n = SIZE_MAX);

// Copies at most n - 1 bytes of src and a terminator into dst (n >= 1); returns bytes copied.
std::size_t copy_text(char *dst, const char *src, std::size_t n);

// Strips every byte of set from both ends of s, in place.
void trim(char *s, const char *set);

// True for the lead byte of a multi-byte UTF-8 sequence.
constexpr bool utf8_lead(unsigned char c) {
    return c >= 0xC0;
}
constexpr bool utf8_continuation(unsigned char c) {
    return (c & 0xC0) == 0x80;
}

} // namespace vorn
