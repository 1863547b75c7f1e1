// VornExpandHash with a record and a template both taken from the input. The output stays in
// its buffer and is terminated; a cut output is a prefix of the full one; without any "%" the
// template is copied as it is.
#include "formats_check.hpp"

#include <fuzzer/FuzzedDataProvider.h>

using namespace fuzzcheck;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    const int32_t ignoreCase = in.ConsumeBool();
    const int32_t small = in.ConsumeIntegralInRange<int32_t>(1, 300);
    // The cells come as a query string without decoding, so keys and values may hold "%".
    const std::string cells = in.ConsumeRandomLengthString(200);
    const std::string pattern = in.ConsumeRemainingBytesAsString();
    const std::size_t n = std::strlen(pattern.c_str());

    Rec r;
    FUZZ_CHECK(VornQueryStringToHash(&r.h, cells.c_str(), 1) == 1);
    std::size_t longest = 0;
    for (int32_t i = 0; i < r.h.count; ++i)
        longest = std::max(longest, std::strlen(r.h.values[i]));

    // Every marker is at least two characters, so n + 1 + n / 2 * longest always suffices.
    const std::size_t room = n + 1 + n / 2 * longest;
    Exact full(room);
    const int32_t len =
        VornExpandHash(full.data(), int32_t(room), pattern.c_str(), &r.h, ignoreCase);
    FUZZ_CHECK(len >= 0 && std::size_t(len) < room && std::strlen(full.data()) == std::size_t(len));
    if (std::strchr(pattern.c_str(), '%') == nullptr || r.h.count == 0)
        FUZZ_CHECK(std::strcmp(full.data(), pattern.c_str()) == 0);

    Exact part{std::size_t(small)};
    const int32_t cut = VornExpandHash(part.data(), small, pattern.c_str(), &r.h, ignoreCase);
    FUZZ_CHECK(cut == std::min(len, small - 1) && part.data()[cut] == 0);
    FUZZ_CHECK(std::memcmp(part.data(), full.data(), std::size_t(cut)) == 0);
    return 0;
}
