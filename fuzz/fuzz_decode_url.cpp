// VornDecodeUrl on any text, into buffers of any size and in place.
#include "formats_check.hpp"

#include <fuzzer/FuzzedDataProvider.h>

using namespace fuzzcheck;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    const int32_t small = in.ConsumeIntegralInRange<int32_t>(1, 300);
    const std::string text = in.ConsumeRemainingBytesAsString();
    const std::size_t n = std::strlen(text.c_str());

    Exact full(n + 1);
    const int32_t len = VornDecodeUrl(full.data(), int32_t(n + 1), text.c_str());
    FUZZ_CHECK(len >= 0 && std::size_t(len) <= n && std::strlen(full.data()) == std::size_t(len));

    Exact part{std::size_t(small)};
    const int32_t cut = VornDecodeUrl(part.data(), small, text.c_str());
    FUZZ_CHECK(cut == std::min(len, small - 1) && part.data()[cut] == 0);
    FUZZ_CHECK(std::memcmp(part.data(), full.data(), std::size_t(cut)) == 0);

    Exact same(n + 1);
    std::memcpy(same.data(), text.c_str(), n + 1);
    FUZZ_CHECK(VornDecodeUrl(same.data(), int32_t(n + 1), same.data()) == len);
    FUZZ_CHECK(std::strcmp(same.data(), full.data()) == 0);
    return 0;
}
