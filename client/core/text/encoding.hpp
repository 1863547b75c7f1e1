// The text encodings the client reads and writes, each through glibc's iconv: one list for the
// receive page, the send page, saves and logs.
#pragma once

#include <array>
#include <cstdint>

namespace tarvotcpc {

enum class Encoding : uint8_t { Utf8, ShiftJis, EucJp, Iso2022Jp, Latin1 };
inline constexpr std::array<Encoding, 5> kEncodings = {
    Encoding::Utf8, Encoding::ShiftJis, Encoding::EucJp, Encoding::Iso2022Jp, Encoding::Latin1};

// iconv's name for the encoding ("UTF-8", "CP932", "EUC-JP", "ISO-2022-JP", "ISO-8859-1").
constexpr const char *EncodingName(Encoding encoding) {
    switch (encoding) {
    case Encoding::Utf8:
        return "UTF-8";
    case Encoding::ShiftJis:
        return "CP932";
    case Encoding::EucJp:
        return "EUC-JP";
    case Encoding::Iso2022Jp:
        return "ISO-2022-JP";
    case Encoding::Latin1:
        return "ISO-8859-1";
    }
    return "UTF-8";
}

} // namespace tarvotcpc
