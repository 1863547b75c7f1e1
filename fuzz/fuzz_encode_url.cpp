// VornEncodeUrl on any text: only kept bytes and escapes come out, decoding gives the text
// back, and cut or in-place results agree with the full one.
#include "formats_check.hpp"

#include <fuzzer/FuzzedDataProvider.h>

using namespace fuzzcheck;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    const int32_t small = in.ConsumeIntegralInRange<int32_t>(1, 300);
    const std::string text = in.ConsumeRemainingBytesAsString();
    const std::size_t n = std::strlen(text.c_str());

    Exact full(3 * n + 1);
    const int32_t len = VornEncodeUrl(full.data(), int32_t(3 * n + 1), text.c_str());
    FUZZ_CHECK(len >= int32_t(n) && std::strlen(full.data()) == std::size_t(len));
    for (int32_t i = 0; i < len; ++i) {
        const char c = full.data()[i];
        const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        FUZZ_CHECK(letter || (c >= '0' && c <= '9') || std::strchr("*-.@_+%", c));
        if (c == '%') {
            FUZZ_CHECK(std::strchr("0123456789abcdef", full.data()[i + 1]) && full.data()[i + 1]);
            FUZZ_CHECK(std::strchr("0123456789abcdef", full.data()[i + 2]) && full.data()[i + 2]);
        }
    }

    Exact back(n + 1);
    FUZZ_CHECK(VornDecodeUrl(back.data(), int32_t(n + 1), full.data()) == int32_t(n));
    FUZZ_CHECK(std::memcmp(back.data(), text.c_str(), n + 1) == 0);

    Exact part{std::size_t(small)};
    const int32_t cut = VornEncodeUrl(part.data(), small, text.c_str());
    FUZZ_CHECK(cut == std::min(len, small - 1) && part.data()[cut] == 0);
    FUZZ_CHECK(std::memcmp(part.data(), full.data(), std::size_t(cut)) == 0);

    Exact same(3 * n + 1);
    std::memcpy(same.data(), text.c_str(), n + 1);
    FUZZ_CHECK(VornEncodeUrl(same.data(), int32_t(3 * n + 1), same.data()) == len);
    FUZZ_CHECK(std::strcmp(same.data(), full.data()) == 0);
    return 0;
}
