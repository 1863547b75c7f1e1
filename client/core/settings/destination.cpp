#include "settings/destination.hpp"

#include "settings/host_field.hpp"
#include "settings/options.hpp"
#include "text/text.hpp"

namespace tarvotcpc {

ConnectDecision DecideConnect(std::string_view hostText, std::string_view portText,
                              std::optional<bool> tlsChoice) {
    ConnectDecision decision;
    bool tls = false;
    const std::string_view mark(kTlsHistoryMark);
    if (hostText.size() > mark.size() && hostText.ends_with(mark)) {
        const HistoryEntryParts entry = ParseHistoryEntry(hostText);
        if (entry.valid && entry.tls) {
            hostText.remove_suffix(mark.size());
            tls = true;
        }
    }
    const HostFieldDecision field = DecideHostField(hostText, portText);
    switch (field.problem) {
    case HostFieldProblem::MissingPort:
        decision.warning = kMissingPortText;
        decision.field = ConnectField::Port;
        return decision;
    case HostFieldProblem::MissingHost:
        decision.warning = kMissingHostText;
        decision.field = ConnectField::Host;
        return decision;
    case HostFieldProblem::UnclosedBracket:
        decision.warning = kUnclosedBracketText;
        decision.field = ConnectField::Host;
        return decision;
    case HostFieldProblem::None:
        break;
    }
    decision.accepted = true;
    decision.params.host = field.host;
    decision.params.port = field.port;
    decision.params.tls = tlsChoice.value_or(tls);
    return decision;
}

std::vector<std::string> HostHistory(const SettingsHashes &settings) {
    std::vector<std::string> entries;
    for (int32_t i = 0; i < VornCountHash(&settings.hosts); ++i)
        entries.emplace_back(VornGetHashPtrSafe(&settings.hosts, nullptr, i));
    return entries;
}

std::string HistoryEntry(const Destination &params) {
    return FormatHistoryEntry(params.host, params.port, params.tls);
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
    const bool details = ClearTlsDetails(path);
    return WriteHostsSection(settings, path) && details;
}

} // namespace tarvotcpc
