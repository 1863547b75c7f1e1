// Which proxy a connection goes through: the destination's own choice, else the one for every
// destination (the options), else the environment's, as curl reads it.
//
// The environment: a TLS destination uses https_proxy, then all_proxy; a clear-text destination
// all_proxy only. curl reads http_proxy for http:// URLs, which it then sends to the proxy as
// plain HTTP requests; a raw TCP stream can only be tunnelled, and many HTTP proxies tunnel
// nothing but TLS, so http_proxy is not read. Each name is looked up in lower case first, then in
// upper case; a variable that is set ends the search, even when empty (no proxy then). no_proxy
// (or NO_PROXY) exempts destinations from the environment's proxy and from the options' one, not
// from a destination's own.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "proxy/proxy.hpp"

namespace tarvotcpc {

// A variable of the environment, or none when it is not set.
using Environment = std::function<std::optional<std::string>(const char *name)>;
std::optional<std::string> SystemEnvironment(const char *name);

// The proxy text that asks for a direct connection, whatever the options or the environment say.
inline constexpr char kProxyNone[] = "なし";
// kProxyNone, or "none" in any ASCII case.
bool IsProxyNone(std::string_view text);

struct ProxyChoice {
    enum class Kind { Direct, Proxy, Invalid };
    Kind kind = Kind::Direct;
    ProxyUrl proxy;     // Proxy
    std::string source; // Proxy and Invalid: where the text came from, as messages name it
    std::string error;  // Invalid: what is wrong with it
};

// own is the destination's proxy text and forAll the options': empty means the next one, "なし"
// a direct connection, anything else a proxy URL. host and port are the destination's.
ProxyChoice ChooseProxy(std::string_view own, std::string_view forAll, const Environment &env,
                        std::string_view host, uint16_t port, bool tls);

// Whether the no_proxy list exempts host and port, with curl's rules: entries apart by commas
// (or blanks), "*" for every host; a name matches itself and every name under it (a leading dot
// changes nothing); an address matches itself, or a range given as "address/bits"; an entry with
// ":port" ("[v6]:port" for IPv6) matches only that port. ASCII case is ignored, and so is a dot
// at the end of a name.
bool NoProxyMatches(std::string_view list, std::string_view host, uint16_t port);

} // namespace tarvotcpc
