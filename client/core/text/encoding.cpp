#include "text/encoding.hpp"

#include "text/text.hpp"

namespace tarvotcpc {

std::optional<Encoding> ParseEncoding(std::string_view stored) {
    for (const Encoding encoding : kEncodings)
        if (EqualsIgnoringAsciiCase(stored, FormatEncoding(encoding))) return encoding;
    return std::nullopt;
}

} // namespace tarvotcpc
