// Certificates the user chose to always trust, per host and port, pinned by their SHA-256
// fingerprint. Pure functions over the key/value map the settings file keeps in a section of
// its own.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

namespace tarvotcpc {

using TrustPins = std::map<std::string, std::string>; // "host:port" -> "AB:CD:..."

// "host:port" with the host in lower case. A host written as an address is that address in its
// usual form ("127.1" is "127.0.0.1"), as connecting and checking the certificate take it. An IPv6
// host is written without brackets: the port is always after the last ":", and a key starting
// with "[" would read as a section header in the settings file.
std::string PinKey(std::string_view host, uint16_t port);

// A fingerprint as the certificate details show one ("AB:CD:..."), whatever its case and
// separators in the settings file; as it is when it is not a SHA-256 digest.
std::string ShownFingerprint(std::string_view fingerprint);

// Whether a key can be kept on one line of the settings file as "key=value".
bool IsStorablePinKey(std::string_view key);

enum class PinState {
    NotPinned,
    Matching, // pinned, and the certificate is the one pinned: connect without asking
    Changed,  // pinned, but the certificate is another one: ask again
};

// Fingerprints compare without regard to case and to the ":" separators.
PinState CheckPin(const TrustPins &pins, std::string_view key, std::string_view fingerprint);

// Whether two fingerprints name the same digest (both valid SHA-256, case and ":" ignored).
bool SameFingerprint(std::string_view a, std::string_view b);

// "Always trust": replaces an earlier pin of the key. False (nothing changed) for a key that
// cannot be stored or a fingerprint that is not 32 bytes of hex.
bool AddPin(TrustPins &pins, std::string_view key, std::string_view fingerprint);
bool RemovePin(TrustPins &pins, std::string_view key);

} // namespace tarvotcpc
