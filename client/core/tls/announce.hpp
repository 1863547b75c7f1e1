// What a client's handshake announces besides its hello: the server name (SNI) and the
// application protocols it offers (ALPN), read from what the user wrote.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarvotcpc {

// The server name a client sends. By default the host connected to, or none when that is an
// address: a server name is never an address (RFC 6066).
struct ServerNameChoice {
    enum class Kind { Host, Name, None };
    Kind kind = Kind::Host;
    std::string name; // with Name
};

// The text of the SNI field: empty for the host's name, "なし" or "none" for none, else a name of
// ASCII letters, digits, "-", "_" and "." (an internationalised name in its xn-- form), at most
// 253 bytes, that is not an address. A trailing dot is dropped, as the name on the wire has none.
// None with the reason in error for anything else.
std::optional<ServerNameChoice> ParseServerName(std::string_view text, std::string &error);

// The ALPN field: protocol names apart by commas ("h2,http/1.1"), blanks around each ignored,
// each 1 to 255 bytes of printable ASCII, in the order of preference. An empty text offers
// none. None with the reason in error for an empty name or one that cannot be sent.
std::optional<std::vector<std::string>> ParseAlpnList(std::string_view text, std::string &error);

// The list in the handshake's own form: each name after its length byte.
std::string AlpnWire(const std::vector<std::string> &protocols);

} // namespace tarvotcpc
