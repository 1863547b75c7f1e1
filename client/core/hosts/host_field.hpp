// Reading a destination from the connect dialog's host field and from history entries, with IPv6
// literals ("[::1]:8080", or a bare "::1" with the port in its own field) and the TLS mark.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tarvotcpc {

enum class HostFieldProblem {
    None,
    MissingPort,     // show kMissingPortText, the port field
    MissingHost,     // show kMissingHostText, the host field
    UnclosedBracket, // show kUnclosedBracketText, the host field
};

inline constexpr char kUnclosedBracketText[] =
    "IPv6アドレスは「[::1]:8080」のように角かっこで囲み、そのあとに「:ポート番号」を続けてください";

struct HostFieldDecision {
    HostFieldProblem problem = HostFieldProblem::None;
    std::string host; // without brackets: "::1"
    int32_t port = 0; // as the user gave it, read like today ("12ab" is 12)
};

// The host text is cut to 255 bytes (never inside a UTF-8 character). Then:
// - "[literal]:port" or "[literal]" (port from the field): the text inside the brackets is the
//   host; anything else after "]" is refused.
// - A bare IPv6 literal (optionally with a "%zone"): the whole text is the host, port from the
//   field.
// - Anything else: as before, the first ":" ends the host and the rest is the port text, and the
//   port field is not looked at; without ":" the port field is used.
// An empty port field (when it is used) is refused before an empty host.
HostFieldDecision DecideHostField(std::string_view hostText, std::string_view portText);

// Whether text is an IPv6 literal, with an optional "%zone" suffix.
bool IsIpv6Literal(std::string_view text);

// The history entry of a destination: "host:port", "[v6]:port", for TLS the mark " (TLS)" after
// the port, and last the destination's own proxy, " (プロキシ socks5h://user@host:1080)" (never
// with its password) or " (プロキシなし)". Earlier versions read "host:443 (TLS)" as host and port
// 443 (the port text's trailing characters were always ignored), so a file written now stays
// usable there.
// UDP has the mark " (UDP)" where TLS has its own (the two never go together).
inline constexpr char kTlsHistoryMark[] = " (TLS)";
inline constexpr char kUdpHistoryMark[] = " (UDP)";
inline constexpr char kProxyHistoryMark[] = " (プロキシ";
std::string FormatHistoryEntry(std::string_view host, int32_t port, bool tls,
                               std::string_view proxy = {}, bool udp = false);

struct HistoryEntryParts {
    bool valid = false; // false: the entry names no host (the dialog skips it)
    std::string host;
    int32_t port = 0;
    bool tls = false;
    bool udp = false;
    std::string proxy; // as in Destination: empty, "なし" or a URL without password
    // Where the marks start: the entry up to here is what the host field reads.
    std::size_t marksAt = 0;
};

// Reads an entry of any version: an entry without a mark is plain and follows the proxy of the
// options, and an entry an earlier version wrote names the host and port it named there.
HistoryEntryParts ParseHistoryEntry(std::string_view entry);

// "host:port" for the host field when a history entry is chosen (brackets around IPv6).
std::string HostFieldText(std::string_view host, int32_t port);

} // namespace tarvotcpc
