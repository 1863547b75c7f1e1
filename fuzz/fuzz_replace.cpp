// VornReplaceString on any text, in a buffer of exactly its size that need not hold a
// terminator, against a plain reference; with VornReplaceCharacter and VornReverseString on the
// same bytes.
#include "formats_check.hpp"

#include <fuzzer/FuzzedDataProvider.h>

using namespace fuzzcheck;

namespace {

bool same(char a, char b, bool ignoreCase) {
    auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; };
    return ignoreCase ? lower(a) == lower(b) : a == b;
}

// Multi-byte UTF-8 sequences complete, no stray continuation bytes: a text whose characters are
// plain to tell apart.
bool whole_sequences(const std::string &s) {
    for (std::size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        std::size_t n = c < 0x80    ? 1
                        : c >= 0xF8 ? 1
                        : c >= 0xF0 ? 4
                        : c >= 0xE0 ? 3
                        : c >= 0xC0 ? 2
                                    : 0;
        if (n == 0) return false;
        for (std::size_t k = 1; k < n; ++k)
            if (i + k >= s.size() || (static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80)
                return false;
        i += n;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    const int32_t cap = in.ConsumeIntegralInRange<int32_t>(1, 256);
    const bool ignoreCase = in.ConsumeBool();
    const std::string find = in.ConsumeRandomLengthString(8).c_str();
    const std::string with = in.ConsumeRandomLengthString(24).c_str();
    const std::string raw = in.ConsumeRemainingBytesAsString();

    Exact buf(std::size_t(cap), '#');
    std::memcpy(buf.data(), raw.data(), std::min(raw.size(), std::size_t(cap)));
    const std::string text(buf.data(), strnlen(buf.data(), std::size_t(cap) - 1));

    std::string want;
    for (std::size_t i = 0; i < text.size();) {
        bool hit = !find.empty() && i + find.size() <= text.size();
        for (std::size_t k = 0; hit && k < find.size(); ++k)
            hit = same(text[i + k], find[k], ignoreCase);
        if (hit) {
            want += with;
            i += find.size();
        } else {
            want += text[i++];
        }
    }
    const int32_t r = VornReplaceString(buf.data(), cap, find.c_str(), with.c_str(), ignoreCase);
    FUZZ_CHECK(r == int32_t(want.size()));
    FUZZ_CHECK(std::string(buf.data()) == want.substr(0, std::size_t(cap) - 1));

    std::string chars = text;
    const char from = find.empty() ? 'a' : find[0], to = with.empty() ? 'b' : with[0];
    VornReplaceCharacter(chars.data(), from, to, ignoreCase);
    for (std::size_t i = 0; i < text.size(); ++i)
        FUZZ_CHECK(chars[i] == (same(text[i], from, ignoreCase) ? to : text[i]));

    std::string rev = text;
    VornReverseString(rev.data(), 0);
    FUZZ_CHECK(std::string(rev.rbegin(), rev.rend()) == text);
    std::string byChar = text;
    VornReverseString(byChar.data(), 1);
    FUZZ_CHECK(byChar.size() == text.size());
    if (whole_sequences(text)) {
        // Characters in reverse order, each keeping its bytes.
        std::string expect;
        for (std::size_t i = 0; i < text.size();) {
            std::size_t k = 1;
            while (i + k < text.size() && (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80)
                ++k;
            expect.insert(0, text, i, k);
            i += k;
        }
        FUZZ_CHECK(byChar == expect);
    }
    return 0;
}
