#include "hosts/trust_store.hpp"

#include <vector>

#include "settings/ini.hpp"

namespace tarvotcpc {

namespace {

TrustPins PinsOf(const std::vector<std::string> &entries) {
    TrustPins pins;
    for (const std::string &entry : entries) {
        const std::size_t equals = entry.find('=');
        if (equals == std::string::npos || equals == 0) continue;
        AddPin(pins, entry.substr(0, equals), entry.substr(equals + 1));
    }
    return pins;
}

} // namespace

TrustPins TrustPinsOfText(std::string_view settingsText) {
    return PinsOf(IniSectionEntries(settingsText, kSectionTrust));
}

TrustPins LoadTrustPins(const std::string &path) {
    std::string text;
    if (!ReadWholeFile(path, text)) return {};
    return TrustPinsOfText(text);
}

bool SaveTrustPin(const std::string &path, const std::string &key, const std::string &fingerprint) {
    TrustPins probe;
    if (!AddPin(probe, key, fingerprint)) return false;
    // Added to the pins as the file holds them under the writers' lock, so that a pin another
    // instance of the program saved meanwhile stays.
    return UpdateIniSection(path, kSectionTrust, [&](std::vector<std::string> &entries) {
        TrustPins pins = PinsOf(entries);
        AddPin(pins, key, fingerprint);
        entries.clear();
        for (const auto &[k, v] : pins)
            entries.push_back(k + "=" + v);
    });
}

} // namespace tarvotcpc
