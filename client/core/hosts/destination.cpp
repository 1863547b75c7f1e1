#include "hosts/destination.hpp"

#include "proxy/proxy.hpp"
#include "proxy/proxy_choice.hpp"
#include "hosts/host_field.hpp"
#include "settings/ini.hpp"
#include "settings/options.hpp"
#include "text/text.hpp"

namespace tarvotcpc {

ConnectDecision DecideConnect(std::string_view hostText, std::string_view portText,
                              std::optional<bool> tlsChoice,
                              std::optional<std::string_view> proxyChoice) {
    ConnectDecision decision;
    bool tls = false;
    std::string proxy;
    if (hostText.ends_with(kTlsHistoryMark) || hostText.ends_with(')')) {
        const HistoryEntryParts entry = ParseHistoryEntry(hostText);
        if (entry.valid && (entry.tls || !entry.proxy.empty())) {
            hostText = hostText.substr(0, entry.marksAt);
            tls = entry.tls;
            proxy = entry.proxy;
        }
    }
    if (proxyChoice) {
        std::string_view text = *proxyChoice;
        while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
            text.remove_prefix(1);
        while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
            text.remove_suffix(1);
        proxy.clear();
        if (IsProxyNone(text)) {
            proxy = kProxyNone;
        } else if (!text.empty()) {
            std::string error;
            const std::optional<ProxyUrl> url = ParseProxyUrl(text, error);
            if (!url) {
                decision.warning = error;
                decision.field = ConnectField::Proxy;
                return decision;
            }
            proxy = FormatProxyUrl(*url, true);
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
    decision.params.proxy = std::move(proxy);
    return decision;
}

std::vector<std::string> HostHistory(const SettingsHashes &settings) {
    std::vector<std::string> entries;
    for (int32_t i = 0; i < VornCountHash(&settings.hosts); ++i)
        entries.emplace_back(VornGetHashPtrSafe(&settings.hosts, nullptr, i));
    return entries;
}

std::string HistoryEntry(const Destination &params) {
    return FormatHistoryEntry(params.host, params.port, params.tls, params.proxy);
}

bool RememberDestination(SettingsHashes &settings, const Destination &params,
                         const std::string &path) {
    if (!ReadOptions(settings)[Option::HostSave]) return false;
    const std::string entry = HistoryEntry(params);
    if (entry.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos) return false;

    // Built aside and swapped in only when whole, so that memory running out leaves the old
    // history rather than half of a new one.
    OwnedHash rebuilt;
    const auto rebuild = [&](std::vector<std::string> list) {
        for (auto it = list.begin(); it != list.end(); ++it) {
            if (EqualsIgnoringAsciiCase(*it, entry)) {
                list.erase(it);
                break;
            }
        }
        list.insert(list.begin(), entry);
        if (list.size() > kHistoryLimit) list.resize(kHistoryLimit);
        if (!rebuilt.Live() || !VornReAllocHash(rebuilt.get(), 0)) return false;
        for (std::size_t i = 0; i < list.size(); ++i) {
            const std::string key = "host" + std::to_string(i);
            if (!VornSetHash(rebuilt.get(), key.c_str(), 0, list[i].c_str(), -1)) return false;
        }
        return true;
    };
    // On top of the history as the file holds it now, which another instance of the program may
    // have added to since this one read it.
    bool built = false;
    UpdateIniSection(path, kSectionHosts, [&](std::vector<std::string> &entries) {
        OwnedHash stored;
        if (!stored.Live() || !EntriesToHash(*stored.get(), entries)) return;
        std::vector<std::string> list;
        for (int32_t i = 0; i < VornCountHash(stored.get()); ++i)
            list.emplace_back(VornGetHashPtrSafe(stored.get(), nullptr, i));
        const bool read = rebuild(std::move(list));
        std::vector<std::string> rewritten;
        if (read && HashToEntries(*rebuilt.get(), rewritten)) {
            entries = std::move(rewritten);
            built = true;
        }
    });
    // The file could not be written: the history goes on in memory.
    if (!built && !rebuild(HostHistory(settings))) return false;
    return VornCopyHash(&settings.hosts, rebuilt.get()) != 0;
}

bool ClearHostHistory(SettingsHashes &settings, const std::string &path) {
    VornReAllocHash(&settings.hosts, 0);
    const bool details = ClearTlsDetails(path);
    return WriteHostsSection(settings, path) && details;
}

} // namespace tarvotcpc
