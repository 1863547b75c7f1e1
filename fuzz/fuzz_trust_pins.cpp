// The TRUST section of a settings file, which anyone who can write the file controls: every pin
// read from it can be stored again as it was read, names a SHA-256 digest, and is found again by
// its own key; the section written back from the pins reads back as the same pins.
#include "formats_check.hpp"

#include <string>
#include <vector>

#include "hosts/trust_store.hpp"
#include "settings/ini.hpp"
#include "tls/trust_pins.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string text(reinterpret_cast<const char *>(data), size);
    const tarvotcpc::TrustPins pins = tarvotcpc::TrustPinsOfText(text);
    std::vector<std::string> entries;
    for (const auto &[key, fingerprint] : pins) {
        FUZZ_CHECK(tarvotcpc::IsStorablePinKey(key));
        FUZZ_CHECK(tarvotcpc::SameFingerprint(fingerprint, fingerprint));
        FUZZ_CHECK(tarvotcpc::CheckPin(pins, key, fingerprint) == tarvotcpc::PinState::Matching);
        entries.push_back(key + "=" + fingerprint);
    }
    const std::string written =
        tarvotcpc::ReplaceIniSection(text, tarvotcpc::kSectionTrust, entries);
    FUZZ_CHECK(tarvotcpc::TrustPinsOfText(written) == pins);

    // A key made from any host keeps to one line, or says it cannot be stored.
    const std::string host = text.substr(0, text.find('\n'));
    const std::string key = tarvotcpc::PinKey(host, static_cast<uint16_t>(size));
    if (tarvotcpc::IsStorablePinKey(key)) {
        FUZZ_CHECK(key.find('\n') == std::string::npos && key.find('=') == std::string::npos);
    }
    return 0;
}
