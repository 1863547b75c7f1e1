// VornHttpHeaderToHash on any text, then VornHashToHttpHeader back.
#include "formats_check.hpp"

#include <fuzzer/FuzzedDataProvider.h>

using namespace fuzzcheck;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    const int32_t unit = in.ConsumeIntegralInRange<int32_t>(1, 300);
    const uint32_t small = in.ConsumeIntegralInRange<uint32_t>(1, 300);
    const std::string text = in.ConsumeRemainingBytesAsString();

    Rec r(unit);
    FUZZ_CHECK(VornHttpHeaderToHash(&r.h, text.c_str()) == 1);
    const Cells cells = record_cells(r.h);
    check_unique_names(cells);
    std::size_t need = 1;
    for (const auto &[k, v] : cells) {
        FUZZ_CHECK(k.find_first_of("\r\n:") == std::string::npos);
        FUZZ_CHECK(v.find_first_of("\r\n") == std::string::npos);
        need += k.size() + v.size() + 4;
    }

    Exact full(need);
    FUZZ_CHECK(VornHashToHttpHeader(full.data(), uint32_t(need), &r.h) == int32_t(need - 1));
    FUZZ_CHECK(std::strlen(full.data()) == need - 1);
    Rec back(unit);
    FUZZ_CHECK(VornHttpHeaderToHash(&back.h, full.data()) == 1);
    FUZZ_CHECK(record_cells(back.h) == cells);

    Exact part(small);
    const int32_t used = VornHashToHttpHeader(part.data(), small, &r.h);
    FUZZ_CHECK(used >= 0 && uint32_t(used) < small && part.data()[used] == 0);
    FUZZ_CHECK(std::memcmp(part.data(), full.data(), std::size_t(used)) == 0);
    return 0;
}
