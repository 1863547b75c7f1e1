// The certificates the user chose to always trust, kept in a section of the settings file of their
// own ("key=fingerprint" lines). Read from the file at each TLS connect, so that a pin added by
// another window is seen at once.
#pragma once

#include <string>
#include <string_view>

#include "tls/trust_pins.hpp"

namespace tarvotcpc {

inline constexpr char kSectionTrust[] = "TRUST";

// The pins in the file at path; none when the file or the section is missing.
TrustPins LoadTrustPins(const std::string &path);
// The pins of a settings file's text: its section's "key=fingerprint" lines, each kept only when
// its key can be stored and its fingerprint is a SHA-256 digest (the file may hold anything).
TrustPins TrustPinsOfText(std::string_view settingsText);
// Adds the pin and writes the whole section; false when the key or fingerprint cannot be kept or
// the file cannot be written (the file is then as before).
bool SaveTrustPin(const std::string &path, const std::string &key, const std::string &fingerprint);

} // namespace tarvotcpc
