// Which protocol the receive page reads each connection's replies as: none (the default), the one
// the user chose for every connection, or the one the connection's port is known for. Only a
// connection this side made has a port to go by: a peer that reached a listening port sends
// requests, which no reply grammar reads.
#pragma once

#include "settings/options.hpp"
#include "transcript/protocol_shapes.hpp"

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace tarvotcpc {

struct ProtocolChoice {
    enum class Kind : uint8_t { Off, FromPort, Fixed };
    Kind kind = Kind::Off;
    Protocol protocol = Protocol::Http; // Fixed only
    bool operator==(const ProtocolChoice &) const = default;
};

// The option as stored ("none", "auto", "http", ...).
ProtocolChoice ViewProtocolOf(const OptionValues &values);
// What a choice reads a connection as: port is the one this side connected to, none when the
// peer connected to this side.
std::optional<Protocol> ProtocolFor(const ProtocolChoice &choice, std::optional<int32_t> port);

class PageProtocol {
  public:
    // True when the choice changed.
    bool Choose(ProtocolChoice choice);
    const ProtocolChoice &Chosen() const { return chosen_; }

    // A connection's part of the record begins: port is the one this side connected to, none
    // for a peer accepted while listening.
    void BeginConnection(uint32_t connection, std::optional<int32_t> port);
    // The record was emptied: earlier connections' ports are of no more use.
    void Forget() { ports_.clear(); }

    // The protocol the replies of a connection are read as; none: not read.
    std::optional<Protocol> Of(uint32_t connection) const;

  private:
    ProtocolChoice chosen_;
    std::vector<std::pair<uint32_t, std::optional<int32_t>>> ports_;
};

} // namespace tarvotcpc
