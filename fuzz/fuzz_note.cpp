// VornNoteToHash on any text, with and without keys, then VornHashToNote back.
#include "formats_check.hpp"

#include <fuzzer/FuzzedDataProvider.h>

using namespace fuzzcheck;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    const int32_t withKeys = in.ConsumeBool();
    const int32_t unit = in.ConsumeIntegralInRange<int32_t>(1, 64);
    const int32_t small = in.ConsumeIntegralInRange<int32_t>(1, 300);
    const std::string text = in.ConsumeRemainingBytesAsString();

    const int32_t first = VornGetLineLength(text.c_str());
    FUZZ_CHECK(first >= 0 && std::size_t(first) <= std::strlen(text.c_str()));

    Rec r(unit);
    FUZZ_CHECK(VornNoteToHash(&r.h, text.c_str(), withKeys) == 1);
    const Cells cells = record_cells(r.h);
    if (withKeys) check_unique_names(cells);
    std::size_t need = 1;
    for (const auto &[k, v] : cells) {
        FUZZ_CHECK(withKeys || k.empty());
        FUZZ_CHECK(k.find_first_of("\r\n") == std::string::npos);
        FUZZ_CHECK(v.find_first_of("\r\n") == std::string::npos);
        need += (withKeys ? k.size() + 2 : 0) + v.size() + 2;
    }

    Exact full(need, 0); // an empty record writes nothing, not even the NUL
    FUZZ_CHECK(VornHashToNote(full.data(), int32_t(need), &r.h, withKeys) == int32_t(need - 1));
    Rec back(unit);
    FUZZ_CHECK(VornNoteToHash(&back.h, full.data(), withKeys) == 1);
    FUZZ_CHECK(record_cells(back.h) == cells);

    Exact part{std::size_t(small)};
    const int32_t used = VornHashToNote(part.data(), small, &r.h, withKeys);
    FUZZ_CHECK(used >= 0 && used < small);
    if (used > 0) {
        FUZZ_CHECK(part.data()[used] == 0);
        FUZZ_CHECK(std::memcmp(part.data(), full.data(), std::size_t(used)) == 0);
    } else {
        FUZZ_CHECK(part.data()[0] == '#');
    }
    return 0;
}
