// The CSV library on any text: reading stays inside the text and its answers agree with each
// other; an edit changes exactly the one field asked for (rows and columns it adds read as
// empty), or, when it does not fit, nothing at all.
#include "formats_check.hpp"
#include "vorncsv.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>

using namespace fuzzcheck;

namespace {

std::string field_at(const std::string &text, int32_t row, int32_t col) {
    Exact out(text.size() + 1);
    const int32_t n = VornGetCsv(out.data(), int32_t(text.size() + 1), text.c_str(), row, col);
    FUZZ_CHECK(n >= 0 && std::size_t(n) <= text.size() &&
               std::strlen(out.data()) == std::size_t(n));
    // A short destination holds a prefix and still reports the whole length.
    Exact small(3);
    FUZZ_CHECK(VornGetCsv(small.data(), 3, text.c_str(), row, col) == n);
    FUZZ_CHECK(std::strncmp(small.data(), out.data(), 2) == 0 && std::strlen(small.data()) <= 2);
    return out.data();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    const int32_t row = in.ConsumeIntegralInRange<int32_t>(0, 6);
    const int32_t col = in.ConsumeIntegralInRange<int32_t>(0, 6);
    const int32_t extra = in.ConsumeIntegralInRange<int32_t>(0, 80);
    const std::string field = in.ConsumeRandomLengthString(48).c_str();
    std::string text = in.ConsumeRemainingBytesAsString().c_str();
    if (text.size() > 1024) text.resize(1024);

    const int32_t rows = VornCountCsv(text.c_str(), VORNCSV_COUNT_ROWS);
    const int32_t cols = VornCountCsv(text.c_str(), VORNCSV_COUNT_COLUMNS);
    FUZZ_CHECK(rows >= 0 && std::size_t(rows) <= text.size() && cols >= 0);
    FUZZ_CHECK((rows == 0) == text.empty() && (cols == 0) == (rows == 0));

    // Every field of the table and one row and column beyond it, as far as a 16 x 16 corner
    // (which holds every edit); the row count covers what lies further down.
    const int32_t gridRows = std::min(std::max(rows, row + 1) + 1, 16);
    const int32_t gridCols = std::min(std::max(cols, col + 1) + 1, 16);
    std::vector<std::string> before;
    for (int32_t r = 0; r < gridRows; ++r)
        for (int32_t c = 0; c < gridCols; ++c)
            before.push_back(field_at(text, r, c));

    const std::size_t cap = text.size() + 1 + std::size_t(extra);
    Exact buf(cap);
    std::memcpy(buf.data(), text.c_str(), text.size() + 1);
    const int32_t len = VornSetCsv(buf.data(), int32_t(cap), field.c_str(), row, col);
    if (len == 0) {
        FUZZ_CHECK(std::memcmp(buf.data(), text.c_str(), text.size() + 1) == 0);
        // Enough room always does it: the field quoted twice over, the rows, columns, breaks
        // and a closing quote.
        const std::size_t room =
            text.size() + 2 * field.size() + 2 * std::size_t(row) + std::size_t(col) + 8;
        Exact big(room);
        std::memcpy(big.data(), text.c_str(), text.size() + 1);
        FUZZ_CHECK(VornSetCsv(big.data(), int32_t(room), field.c_str(), row, col) > 0);
        return 0;
    }
    const std::string after = buf.data();
    FUZZ_CHECK(std::size_t(len) == after.size() && after.size() < cap);
    FUZZ_CHECK(VornCountCsv(after.c_str(), VORNCSV_COUNT_ROWS) == std::max(rows, row + 1));
    std::size_t i = 0;
    for (int32_t r = 0; r < gridRows; ++r)
        for (int32_t c = 0; c < gridCols; ++c, ++i) {
            const std::string want = (r == row && c == col) ? field : before[i];
            FUZZ_CHECK(field_at(after, r, c) == want);
        }
    return 0;
}
