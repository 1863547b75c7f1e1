// The text encodings the client reads and writes, each through glibc's iconv: one table for the
// receive page, the send page, saves, logs and the settings file. Every list of encodings (the
// view's menu and tool box, the options' choices) and every spelling of one (stored, shown, given
// to iconv) is read from kEncodingTable, so an encoding is added by adding its row.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>

namespace tarvotcpc {

// An encoding is the index of its row. The names here are the rows the code treats by name (a
// decoder's shortcut, a stateful encoding's escapes); a row added later needs no name.
enum class Encoding : uint8_t { Utf8, ShiftJis, EucJp, Iso2022Jp, Latin1 };

struct EncodingRow {
    const char *stored; // in the settings file, matched ignoring ASCII case
    const char *label;  // in menus and dialogs
    const char *iconv;  // glibc's name for it
    // Whether an encoding detector may offer it for received bytes: only encodings whose bytes
    // tell them apart from the others (a single-byte code page reads any bytes, so never).
    bool detectable;
};

inline constexpr EncodingRow kEncodingTable[] = {
    {"utf-8", "UTF-8", "UTF-8", true},
    {"shift_jis", "Shift_JIS", "CP932", true},
    {"euc-jp", "EUC-JP", "EUC-JP", true},
    {"iso-2022-jp", "ISO-2022-JP", "ISO-2022-JP", true},
    {"latin-1", "Latin-1", "ISO-8859-1", false},
};

inline constexpr std::size_t kEncodingCount = std::size(kEncodingTable);

// Every encoding, in the table's order (the order of menus and choices).
inline constexpr auto kEncodings = []<std::size_t... i>(std::index_sequence<i...>) {
    return std::array<Encoding, sizeof...(i)>{Encoding(i)...};
}
(std::make_index_sequence<kEncodingCount>());

constexpr const EncodingRow &EncodingRowOf(Encoding encoding) {
    const auto index = static_cast<std::size_t>(encoding);
    return kEncodingTable[index < kEncodingCount ? index : 0];
}

// iconv's name for the encoding ("UTF-8", "CP932", ...).
constexpr const char *EncodingName(Encoding encoding) {
    return EncodingRowOf(encoding).iconv;
}
// The name shown to the user ("Shift_JIS", ...).
constexpr std::string_view EncodingLabel(Encoding encoding) {
    return EncodingRowOf(encoding).label;
}
// The stored form ("utf-8", "shift_jis", ...), and back; parsing folds ASCII case and gives
// nullopt for anything not in the table (the caller keeps its default).
constexpr std::string_view FormatEncoding(Encoding encoding) {
    return EncodingRowOf(encoding).stored;
}
std::optional<Encoding> ParseEncoding(std::string_view stored);

} // namespace tarvotcpc
