// VornEnvToHash on any block, then VornHashToEnv back: the block reads back to the same cells,
// and the writer stays inside any buffer size.
#include "formats_check.hpp"

#include <fuzzer/FuzzedDataProvider.h>

using namespace fuzzcheck;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    const int32_t unit = in.ConsumeIntegralInRange<int32_t>(1, 64);
    const int32_t small = in.ConsumeIntegralInRange<int32_t>(1, 300);
    std::string block = in.ConsumeRemainingBytesAsString();
    block.append(2, '\0');

    Rec r(unit);
    FUZZ_CHECK(VornEnvToHash(&r.h, block.data()) == 1);
    const Cells cells = record_cells(r.h);
    check_unique_names(cells);
    std::size_t need = 1;
    for (const auto &[k, v] : cells) {
        FUZZ_CHECK(k.find('=') == std::string::npos);
        need += k.size() + v.size() + 2;
    }

    Exact full(need);
    FUZZ_CHECK(VornHashToEnv(full.data(), int32_t(need), &r.h) == int32_t(need));
    Rec back(unit);
    FUZZ_CHECK(VornEnvToHash(&back.h, full.data()) == 1);
    FUZZ_CHECK(record_cells(back.h) == cells);

    Exact part{std::size_t(small)};
    const int32_t used = VornHashToEnv(part.data(), small, &r.h);
    FUZZ_CHECK(used >= 1 && used <= small && part.data()[used - 1] == 0);
    FUZZ_CHECK(std::memcmp(part.data(), full.data(), std::size_t(used) - 1) == 0);
    return 0;
}
