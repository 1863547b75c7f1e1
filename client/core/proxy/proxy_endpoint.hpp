// The connected socket through a proxy: connect to the proxy as to any host, then hold its
// conversation (proxy.hpp) on the same socket until the tunnel is open. The socket handed on is
// then a plain stream to the destination, which a TLS session can wrap like any other.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "net/endpoint.hpp"
#include "proxy/proxy.hpp"

namespace tarvotcpc {

// From the start to the open tunnel (connecting to the proxy included): a proxy that takes
// longer is given up.
inline constexpr std::chrono::milliseconds kProxyTimeout{30000};

// Connects to host and port (low 16 bits) through proxy. With socks5:// a name is looked up here
// (through resolver) and its first address sent; otherwise the name goes to the proxy as it is.
// Failures: HostNotFound for the destination's own name (socks5:// only), SocketFailed, and
// ProxyFailed or ProxyAuthFailed with the whole text in systemText. Connected: peer names the
// destination and the proxy's address, "example.org:443 (プロキシ 127.0.0.1:1080 経由)".
std::unique_ptr<Endpoint> MakeProxyEndpoint(ProxyUrl proxy, std::string host, int32_t port,
                                            Resolver resolver = {},
                                            std::chrono::milliseconds timeout = kProxyTimeout,
                                            ConnectStep connect = StartConnect);

} // namespace tarvotcpc
