#include "settings/trust_store.hpp"

#include <vector>

#include "settings/ini.hpp"

namespace tarvotcpc {

TrustPins LoadTrustPins(const std::string &path) {
    TrustPins pins;
    std::string text;
    if (!ReadWholeFile(path, text)) return pins;
    for (const std::string &entry : IniSectionEntries(text, kSectionTrust)) {
        const std::size_t equals = entry.find('=');
        if (equals == std::string::npos || equals == 0) continue;
        AddPin(pins, entry.substr(0, equals), entry.substr(equals + 1));
    }
    return pins;
}

bool SaveTrustPin(const std::string &path, const std::string &key, const std::string &fingerprint) {
    TrustPins pins = LoadTrustPins(path);
    if (!AddPin(pins, key, fingerprint)) return false;
    std::vector<std::string> entries;
    for (const auto &[k, v] : pins)
        entries.push_back(k + "=" + v);
    return WriteIniSection(path, kSectionTrust, entries);
}

} // namespace tarvotcpc
