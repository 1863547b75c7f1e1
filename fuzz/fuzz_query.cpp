// VornQueryStringToHash on any text, raw or decoded, then VornHashToQueryString back.
#include "formats_check.hpp"

#include <fuzzer/FuzzedDataProvider.h>

using namespace fuzzcheck;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    const int32_t raw = in.ConsumeBool();
    const int32_t unit = in.ConsumeIntegralInRange<int32_t>(1, 64);
    const int32_t small = in.ConsumeIntegralInRange<int32_t>(1, 300);
    const std::string text = in.ConsumeRemainingBytesAsString();

    Rec r(unit);
    FUZZ_CHECK(VornQueryStringToHash(&r.h, text.c_str(), raw) == 1);
    const Cells cells = record_cells(r.h);
    check_unique_names(cells);
    std::size_t need = 1;
    for (const auto &[k, v] : cells) {
        if (raw) {
            FUZZ_CHECK(k.find_first_of("&=") == std::string::npos);
            FUZZ_CHECK(v.find('&') == std::string::npos);
        }
        need += 3 * (k.size() + v.size()) + 2;
    }

    Exact full(need);
    const int32_t len = VornHashToQueryString(full.data(), int32_t(need), &r.h, raw);
    FUZZ_CHECK(len >= 0 && std::size_t(len) < need && std::strlen(full.data()) == std::size_t(len));
    Rec back(unit);
    FUZZ_CHECK(VornQueryStringToHash(&back.h, full.data(), raw) == 1);
    FUZZ_CHECK(record_cells(back.h) == cells);

    Exact part{std::size_t(small)};
    const int32_t used = VornHashToQueryString(part.data(), small, &r.h, raw);
    FUZZ_CHECK(used >= 0 && used < small && part.data()[used] == 0);
    FUZZ_CHECK(std::memcmp(part.data(), full.data(), std::size_t(used)) == 0);
    return 0;
}
