// Proxy programs (microsocks, Dante, tinyproxy) run by the tests as children on loopback, and what
// starting them needs.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "support/peer_process.hpp"

namespace tarvotcpc::testing {

// The program's path, searched in PATH and the system's sbin folders (danted lives there), or
// empty when it is not installed.
std::string ProgramPath(const std::string &name);

// A loopback port free a moment ago, for programs that want theirs in a configuration file.
uint16_t FreePort();

// Whether something accepts connections on the loopback port within a generous time.
bool AcceptsConnections(uint16_t port);

// A proxy program on a port of its own, killed with the test.
struct ProxyProgram {
    std::unique_ptr<PeerProcess> process;
    uint16_t port = FreePort();

    // Starts argv and waits until the proxy accepts connections; false when it does not.
    bool Start(const std::vector<std::string> &argv);
    std::string Address() const { return "127.0.0.1:" + std::to_string(port); }
};

} // namespace tarvotcpc::testing
