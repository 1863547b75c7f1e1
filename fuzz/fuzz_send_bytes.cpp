// The send page's encoder and escape parser on any text: a failure produces nothing and names a
// place; a file in the escape form always comes back out as its own bytes; and text without a
// backslash means the same with escape mode on or off.
#include "formats_check.hpp"

#include <fuzzer/FuzzedDataProvider.h>

#include <string>

#include "text/send_encoding.hpp"

using tarvotcpc::LineEnding;
using tarvotcpc::SendEncoding;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    const SendEncoding encoding = tarvotcpc::kEncodings[in.ConsumeIntegralInRange<std::size_t>(
        0, tarvotcpc::kEncodingCount - 1)];
    const auto ending = static_cast<LineEnding>(in.ConsumeIntegralInRange<int>(0, 3));
    const bool escapes = in.ConsumeBool();
    const std::string text = in.ConsumeRemainingBytesAsString();

    const auto sent = tarvotcpc::EncodeForSend(text, encoding, ending, escapes);
    if (!sent.ok) {
        FUZZ_CHECK(sent.bytes.empty());
        FUZZ_CHECK(sent.line >= 1 && sent.column >= 1 && !sent.error.empty());
    }
    if (text.find('\\') == std::string::npos) {
        const auto plain = tarvotcpc::EncodeForSend(text, encoding, ending, !escapes);
        FUZZ_CHECK(plain.ok == sent.ok && plain.bytes == sent.bytes);
    }

    const auto page = tarvotcpc::PageTextFromFile(text, encoding, ending, true);
    if (!page.isText) {
        const auto back = tarvotcpc::EncodeForSend(page.text, encoding, ending, true);
        FUZZ_CHECK(back.ok && back.bytes == text);
    }
    return 0;
}
