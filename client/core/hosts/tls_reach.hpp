// What a destination's TLS details give its connection: the client certificate with its
// passphrase, the server name, the protocols offered.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "hosts/tls_details.hpp"
#include "tls/announce.hpp"
#include "tls/client_identity.hpp"

namespace tarvotcpc {

struct TlsReach {
    ServerNameChoice serverName;
    std::vector<std::string> alpn;
    std::shared_ptr<const TlsClientIdentity> identity;
};

struct TlsReachOutcome {
    enum class Status {
        Ready,
        AskPassphrase, // the key is encrypted: ask for the passphrase of file
        Refused,       // text says why (a warning); nothing is to be connected
    };
    Status status = Status::Refused;
    TlsReach reach;     // Ready
    std::string text;   // Refused: why. AskPassphrase: the file the passphrase opens
    bool retry = false; // AskPassphrase: the passphrase given, or the one kept, does not open it
};

// Reads the details. The certificate's key opens with passphrase when one is given, else with
// the one kept in the settings file at settingsPath; a kept one that no longer opens it is
// dropped from the file, and asked for again.
TlsReachOutcome PrepareTlsReach(const TlsDetails &details, const std::string &settingsPath,
                                const std::optional<std::string> &passphrase);

// The message of a passphrase that did not open the key, for the question asked again.
inline constexpr char kWrongPassphraseText[] = "パスフレーズが違います。もう一度入力してください";

} // namespace tarvotcpc
