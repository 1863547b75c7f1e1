// Proxy passwords the user chose to keep, in a section of the settings file of their own: the
// proxy's URL without the password, "=", then with it (percent-encoded, so any password fits on
// the line). Read from the file at each connect, as the trust store is.
#pragma once

#include <optional>
#include <string>

#include "proxy/proxy.hpp"

namespace tarvotcpc {

inline constexpr char kSectionProxyPasswords[] = "PROXYPASSWORDS";

// The password kept for the proxy's scheme, user, host and port; none when there is none.
std::optional<std::string> LoadProxyPassword(const std::string &path, const ProxyUrl &proxy);
// Keeps password for that proxy and writes the whole section; false when the file cannot be
// written (it is then as before).
bool SaveProxyPassword(const std::string &path, const ProxyUrl &proxy, const std::string &password);
// Drops the password kept for that proxy (one the proxy refused); true when none is kept now.
bool ForgetProxyPassword(const std::string &path, const ProxyUrl &proxy);

} // namespace tarvotcpc
