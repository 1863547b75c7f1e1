#include "destination.hpp"

#include "options.hpp"
#include "text.hpp"

namespace tarvotcpc {

ConnectDecision DecideConnect(std::string_view hostText, std::string_view portText) {
    ConnectDecision decision;
    std::string host = Utf8Cut(hostText, kHostTextLimit);
    std::string port;
    const std::size_t colon = host.find(':');
    if (colon != std::string::npos) {
        port = host.substr(colon + 1);
        host.resize(colon);
    } else {
        if (portText.empty()) {
            decision.warning = kMissingPortText;
            decision.field = ConnectField::Port;
            return decision;
        }
        port = std::string(portText);
    }
    const int32_t number = ParseDecimal(port);
    if (host.empty()) {
        decision.warning = kMissingHostText;
        decision.field = ConnectField::Host;
        return decision;
    }
    decision.accepted = true;
    decision.params.host = std::move(host);
    decision.params.port = number;
    return decision;
}

std::vector<std::string> HostHistory(const SettingsHashes &settings) {
    std::vector<std::string> entries;
    for (int32_t i = 0; i < VornCountHash(&settings.hosts); ++i)
        entries.emplace_back(VornGetHashPtrSafe(&settings.hosts, nullptr, i));
    return entries;
}

std::string HistoryEntry(const Destination &params) {
    return params.host + ":" + std::to_string(params.port);
}

bool RememberDestination(SettingsHashes &settings, const Destination &params,
                         const std::string &path) {
    if (!ReadOptions(settings)[Option::HostSave]) return false;
    const std::string entry = HistoryEntry(params);
    if (entry.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos) return false;

    std::vector<std::string> list = HostHistory(settings);
    for (auto it = list.begin(); it != list.end(); ++it) {
        if (EqualsIgnoringAsciiCase(*it, entry)) {
            list.erase(it);
            break;
        }
    }
    list.insert(list.begin(), entry);
    if (list.size() > kHistoryLimit) list.resize(kHistoryLimit);

    // Built aside and swapped in only when whole, so that memory running out leaves the old
    // history rather than half of a new one.
    OwnedHash rebuilt;
    if (!rebuilt.Live()) return false;
    for (std::size_t i = 0; i < list.size(); ++i) {
        const std::string key = "host" + std::to_string(i);
        if (!VornSetHash(rebuilt.get(), key.c_str(), 0, list[i].c_str(), -1)) return false;
    }
    if (!VornCopyHash(&settings.hosts, rebuilt.get())) return false;
    WriteHostsSection(settings, path);
    return true;
}

bool ClearHostHistory(SettingsHashes &settings, const std::string &path) {
    VornReAllocHash(&settings.hosts, 0);
    return WriteHostsSection(settings, path);
}

} // namespace tarvotcpc
