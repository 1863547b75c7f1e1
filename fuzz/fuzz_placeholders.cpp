// The send page's placeholders on any text, values and options: the expansion through
// VornExpandHash agrees with a plain model of the library's documented scan (cells tried in order
// at each "%"), which also means the client foretold the library's length exactly; a text without
// "%" goes out as it would with placeholders off; every name the warning gives stands in the text
// as a marker; and "%bodylength%" alone in the body is the body's own length.
#include "formats_check.hpp"

#include <fuzzer/FuzzedDataProvider.h>

#include <string>

#include "exchange/placeholders.hpp"

using tarvotcpc::LineEnding;
using tarvotcpc::SendEncoding;

namespace {

// The library's rule read plainly: at each "%", the first cell whose "%" key "%" stands there.
std::string Model(const std::string &text, const fuzzcheck::Cells &cells) {
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        bool replaced = false;
        if (text[i] == '%') {
            for (const auto &[key, value] : cells) {
                if (text.compare(i, key.size() + 2, "%" + key + "%") == 0) {
                    out += value;
                    i += key.size() + 2;
                    replaced = true;
                    break;
                }
            }
        }
        if (!replaced) out += text[i++];
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    const SendEncoding encoding = tarvotcpc::kEncodings[in.ConsumeIntegralInRange<std::size_t>(
        0, tarvotcpc::kEncodingCount - 1)];
    const auto ending = static_cast<LineEnding>(in.ConsumeIntegralInRange<int>(0, 3));
    const bool escapes = in.ConsumeBool();
    tarvotcpc::PlaceholderValues values;
    values.host = in.ConsumeRandomLengthString(16);
    values.port = in.ConsumeIntegral<int32_t>();
    values.counter = in.ConsumeIntegral<uint64_t>();
    values.random = in.ConsumeIntegral<uint32_t>();
    values.timeUs = in.ConsumeIntegralInRange<int64_t>(0, int64_t{4102444800} * 1000000);
    const std::string name = in.ConsumeRandomLengthString(12);
    const std::string value = in.ConsumeRandomLengthString(24);
    values.variables = {{name, value}, {"v", "%host%"}};
    values.answers = {{"q", in.ConsumeRandomLengthString(12)}};
    const std::string text = in.ConsumeRemainingBytesAsString();

    // Without "%bodylength%" and without names that carry an argument, the cells are known here.
    if (text.find("%bodylength%") == std::string::npos &&
        text.find("%date:") == std::string::npos && text.find("%time:") == std::string::npos &&
        text.find("%?") == std::string::npos && text.find('\0') == std::string::npos) {
        fuzzcheck::Cells cells;
        // A second cell of one name only changes the first one's value.
        if (tarvotcpc::VariableNameProblem(name).empty() && name != "v")
            cells.emplace_back(name, value.c_str());
        cells.emplace_back("v", "%host%");
        cells.emplace_back("host", values.host.c_str());
        cells.emplace_back("port", std::to_string(static_cast<uint32_t>(values.port)));
        cells.emplace_back("counter", std::to_string(values.counter));
        cells.emplace_back("random", std::to_string(values.random));
        cells.emplace_back("unixtime", std::to_string(values.timeUs / 1000000));
        cells.emplace_back("date", tarvotcpc::FormatLocalTime("yyyy-MM-dd", values.timeUs));
        cells.emplace_back("time", tarvotcpc::FormatLocalTime("HH:mm:ss", values.timeUs));
        cells.emplace_back("", "%");
        const auto expanded = tarvotcpc::ExpandPlaceholders(text, values, "0");
        FUZZ_CHECK(expanded.ok);
        FUZZ_CHECK(expanded.text == Model(text, cells));
    }

    const auto prepared = tarvotcpc::PrepareSend(text, &values, encoding, ending, escapes);
    if (!prepared.bytes.ok)
        FUZZ_CHECK(prepared.bytes.bytes.empty() && !prepared.bytes.error.empty());
    for (const std::string &unknown : prepared.scan.unknown)
        FUZZ_CHECK(text.find("%" + unknown + "%") != std::string::npos);
    if (text.find('%') == std::string::npos) {
        const auto plain = tarvotcpc::EncodeForSend(text, encoding, ending, escapes);
        FUZZ_CHECK(plain.ok == prepared.bytes.ok && plain.bytes == prepared.bytes.bytes);
    }

    // A head of the fuzzer's text without line breaks or markers, then a body that is only the
    // body's own length: it settles on the number of its digits. The head is never empty: a line
    // break at the very start is itself the empty line, and the body would begin with the next.
    std::string head = "h" + text.substr(0, 40);
    for (char &c : head)
        if (c == '\r' || c == '\n' || c == '%' || c == '\\' || c == '\0') c = '.';
    const auto body = tarvotcpc::PrepareSend(head + "\n\n%bodylength%", &values, encoding,
                                             LineEnding::Crlf, false);
    if (body.bytes.ok) FUZZ_CHECK(tarvotcpc::BodyAfterEmptyLine(body.bytes.bytes) == "1");
    return 0;
}
