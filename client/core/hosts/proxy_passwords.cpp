#include "hosts/proxy_passwords.hpp"

#include <map>
#include <vector>

#include "settings/ini.hpp"

namespace tarvotcpc {

namespace {

// Every kept entry: the URL without the password, and with it.
std::map<std::string, std::string> LoadEntries(const std::string &path) {
    std::map<std::string, std::string> entries;
    std::string text;
    if (!ReadWholeFile(path, text)) return entries;
    for (const std::string &entry : IniSectionEntries(text, kSectionProxyPasswords)) {
        // A user is percent-encoded in both, so the first "=" is the one between them.
        const std::size_t equals = entry.find('=');
        if (equals == std::string::npos || equals == 0) continue;
        entries[entry.substr(0, equals)] = entry.substr(equals + 1);
    }
    return entries;
}

bool WriteEntries(const std::string &path, const std::map<std::string, std::string> &entries) {
    std::vector<std::string> lines;
    for (const auto &[key, value] : entries)
        lines.push_back(key + "=" + value);
    return WriteIniSection(path, kSectionProxyPasswords, lines);
}

} // namespace

std::optional<std::string> LoadProxyPassword(const std::string &path, const ProxyUrl &proxy) {
    const std::map<std::string, std::string> entries = LoadEntries(path);
    const auto it = entries.find(FormatProxyUrl(proxy));
    if (it == entries.end()) return std::nullopt;
    std::string error;
    const std::optional<ProxyUrl> kept = ParseProxyUrl(it->second, error);
    if (!kept || FormatProxyUrl(*kept) != it->first) return std::nullopt;
    return kept->password;
}

bool SaveProxyPassword(const std::string &path, const ProxyUrl &proxy,
                       const std::string &password) {
    std::map<std::string, std::string> entries = LoadEntries(path);
    ProxyUrl with = proxy;
    with.password = password;
    entries[FormatProxyUrl(proxy)] = FormatProxyUrl(with, true);
    return WriteEntries(path, entries);
}

bool ForgetProxyPassword(const std::string &path, const ProxyUrl &proxy) {
    std::map<std::string, std::string> entries = LoadEntries(path);
    if (entries.erase(FormatProxyUrl(proxy)) == 0) return true;
    return WriteEntries(path, entries);
}

} // namespace tarvotcpc
