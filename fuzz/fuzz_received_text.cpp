// The receive page's decoding of a byte stream: the text is the same however the stream is cut
// into pieces, and it never holds a CR or a NUL.
#include "formats_check.hpp"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <string>

#include "text/text.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    const std::string cuts = in.ConsumeBytesAsString(in.ConsumeIntegralInRange<size_t>(0, 16));
    const std::string stream = in.ConsumeRemainingBytesAsString();

    tarvotcpc::ReceivedText whole;
    const std::string expected = whole.Feed(stream);
    const std::string expectedTail = whole.Flush();

    tarvotcpc::ReceivedText pieces;
    std::string got;
    std::size_t at = 0;
    for (unsigned char c : cuts) {
        const std::size_t len = std::min<std::size_t>(c % 64, stream.size() - at);
        got += pieces.Feed(std::string_view(stream).substr(at, len));
        at += len;
    }
    got += pieces.Feed(std::string_view(stream).substr(at));
    FUZZ_CHECK(got == expected);
    FUZZ_CHECK(pieces.Flush() == expectedTail);
    FUZZ_CHECK(expected.find('\r') == std::string::npos);
    FUZZ_CHECK(expected.find('\0') == std::string::npos);
    return 0;
}
