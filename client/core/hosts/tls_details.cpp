#include "hosts/tls_details.hpp"

#include <climits>
#include <cstring>
#include <set>
#include <vector>

#include "hosts/host_field.hpp"
#include "settings/ini.hpp"
#include "settings/options.hpp"
#include "tls/announce.hpp"
#include "tls/trust_pins.hpp"

namespace tarvotcpc {

namespace {

// The fields' names in a line of the section: "host:port=cert=...&key=...&sni=...&alpn=...".
struct Field {
    const char *name;
    std::string TlsDetails::*member;
};
constexpr Field kFields[] = {
    {"cert", &TlsDetails::certificateFile},
    {"key", &TlsDetails::keyFile},
    {"sni", &TlsDetails::serverName},
    {"alpn", &TlsDetails::alpn},
};

bool HasLineBreak(const std::string &text) {
    return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos;
}

// Percent-encoded as libvornhash encodes query strings, so that any text fits on the line.
std::string Encoded(const std::string &text) {
    if (text.size() > (static_cast<std::size_t>(INT32_MAX) - 1) / 3) return {};
    std::string encoded(text.size() * 3 + 1, '\0');
    const int32_t length =
        VornEncodeUrl(encoded.data(), static_cast<int32_t>(encoded.size()), text.c_str());
    encoded.resize(length > 0 ? static_cast<std::size_t>(length) : 0);
    return encoded;
}

std::string Decoded(const std::string &text) {
    std::string decoded(text.size() + 1, '\0');
    const int32_t length =
        VornDecodeUrl(decoded.data(), static_cast<int32_t>(decoded.size()), text.c_str());
    decoded.resize(length > 0 ? static_cast<std::size_t>(length) : 0);
    return decoded;
}

std::string ToQuery(const TlsDetails &details) {
    OwnedHash hash;
    std::size_t size = 1;
    for (const Field &field : kFields) {
        const std::string &value = details.*field.member;
        if (value.empty()) continue;
        if (!VornSetHash(hash.get(), field.name, 0, value.c_str(), -1)) return {};
        size += 3 * (std::strlen(field.name) + value.size()) + 2;
    }
    if (!hash.Live() || size > static_cast<std::size_t>(INT32_MAX)) return {};
    std::string query(size, '\0');
    const int32_t length =
        VornHashToQueryString(query.data(), static_cast<int32_t>(size), hash.get(), 0);
    query.resize(static_cast<std::size_t>(length));
    return query;
}

TlsDetails FromQuery(const std::string &query) {
    TlsDetails details;
    OwnedHash hash;
    if (!hash.Live() || !VornQueryStringToHash(hash.get(), query.c_str(), 0)) return details;
    for (const Field &field : kFields) {
        if (const char *value = VornGetHashPtr(hash.get(), field.name, 0))
            details.*field.member = value;
    }
    return details;
}

// Each line's key and value, in the file's order.
std::vector<std::pair<std::string, std::string>> SectionPairs(const std::string &path,
                                                              const char *section) {
    std::vector<std::pair<std::string, std::string>> pairs;
    std::string text;
    if (!ReadWholeFile(path, text)) return pairs;
    for (const std::string &entry : IniSectionEntries(text, section)) {
        const std::size_t equals = entry.find('=');
        if (equals == std::string::npos || equals == 0) continue;
        pairs.emplace_back(entry.substr(0, equals), entry.substr(equals + 1));
    }
    return pairs;
}

bool WriteDetails(const std::string &path, const std::map<std::string, TlsDetails> &all) {
    std::vector<std::string> lines;
    for (const auto &[key, details] : all) {
        const std::string query = ToQuery(details);
        if (query.empty()) continue;
        lines.push_back(key + "=" + query);
    }
    return WriteIniSection(path, kSectionTlsDetails, lines);
}

std::string BaseName(const std::string &path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

} // namespace

std::optional<TlsDetailsProblem> CheckTlsDetails(const TlsDetails &details) {
    if (HasLineBreak(details.certificateFile))
        return TlsDetailsProblem{"ファイル名に改行は使えません", TlsDetailsField::CertificateFile};
    if (HasLineBreak(details.keyFile))
        return TlsDetailsProblem{"ファイル名に改行は使えません", TlsDetailsField::KeyFile};
    if (details.certificateFile.empty() && !details.keyFile.empty())
        return TlsDetailsProblem{"秘密鍵ファイルと対になるクライアント証明書ファイルを指定してく"
                                 "ださい",
                                 TlsDetailsField::CertificateFile};
    std::string error;
    if (!ParseServerName(details.serverName, error))
        return TlsDetailsProblem{error, TlsDetailsField::ServerName};
    if (!ParseAlpnList(details.alpn, error)) return TlsDetailsProblem{error, TlsDetailsField::Alpn};
    return std::nullopt;
}

std::string TlsDetailsSummary(const TlsDetails &details) {
    std::string summary;
    const auto add = [&summary](const std::string &part) {
        if (!summary.empty()) summary += "、";
        summary += part;
    };
    if (!details.certificateFile.empty())
        add("クライアント証明書: " + BaseName(details.certificateFile));
    if (!details.serverName.empty()) add("SNI: " + details.serverName);
    if (!details.alpn.empty()) add("ALPN: " + details.alpn);
    return summary.empty() ? "クライアント証明書なし、SNIは接続先の名前、ALPNなし" : summary;
}

std::map<std::string, TlsDetails> LoadTlsDetails(const std::string &path) {
    std::map<std::string, TlsDetails> all;
    for (const auto &[key, query] : SectionPairs(path, kSectionTlsDetails)) {
        TlsDetails details = FromQuery(query);
        if (!details.Empty()) all[key] = std::move(details);
    }
    return all;
}

TlsDetails TlsDetailsFor(const std::map<std::string, TlsDetails> &all, const std::string &host,
                         int32_t port) {
    const auto it = all.find(PinKey(host, static_cast<uint16_t>(static_cast<uint32_t>(port))));
    return it == all.end() ? TlsDetails() : it->second;
}

bool RememberTlsDetails(const SettingsHashes &settings, const std::string &host, int32_t port,
                        const TlsDetails &details, const std::string &path) {
    if (!ReadOptions(settings)[Option::HostSave]) return false;
    const std::string key = PinKey(host, static_cast<uint16_t>(static_cast<uint32_t>(port)));
    if (!IsStorablePinKey(key) || CheckTlsDetails(details)) return false;
    std::map<std::string, TlsDetails> all = LoadTlsDetails(path);
    const std::map<std::string, TlsDetails> before = all;
    if (details.Empty()) {
        all.erase(key);
    } else {
        all[key] = details;
    }
    std::set<std::string> kept;
    for (int32_t i = 0; i < VornCountHash(&settings.hosts); ++i) {
        const HistoryEntryParts entry =
            ParseHistoryEntry(VornGetHashPtrSafe(&settings.hosts, nullptr, i));
        if (entry.valid)
            kept.insert(
                PinKey(entry.host, static_cast<uint16_t>(static_cast<uint32_t>(entry.port))));
    }
    std::erase_if(all, [&kept](const auto &item) { return kept.count(item.first) == 0; });
    if (all == before) return true;
    return WriteDetails(path, all);
}

bool ClearTlsDetails(const std::string &path) {
    if (LoadTlsDetails(path).empty()) return true;
    return WriteIniSection(path, kSectionTlsDetails, {});
}

std::optional<std::string> LoadTlsPassphrase(const std::string &path, const std::string &file) {
    const std::string key = Encoded(file);
    for (const auto &[name, value] : SectionPairs(path, kSectionTlsPassphrases)) {
        if (name == key) return Decoded(value);
    }
    return std::nullopt;
}

bool SaveTlsPassphrase(const std::string &path, const std::string &file,
                       const std::string &passphrase) {
    const std::string key = Encoded(file);
    if (key.empty()) return false;
    std::map<std::string, std::string> kept;
    for (const auto &[name, value] : SectionPairs(path, kSectionTlsPassphrases))
        kept[name] = value;
    kept[key] = Encoded(passphrase);
    std::vector<std::string> lines;
    for (const auto &[name, value] : kept)
        lines.push_back(name + "=" + value);
    return WriteIniSection(path, kSectionTlsPassphrases, lines);
}

bool ForgetTlsPassphrase(const std::string &path, const std::string &file) {
    const std::string key = Encoded(file);
    std::vector<std::string> lines;
    bool found = false;
    for (const auto &[name, value] : SectionPairs(path, kSectionTlsPassphrases)) {
        if (name == key) {
            found = true;
        } else {
            lines.push_back(name + "=" + value);
        }
    }
    return !found || WriteIniSection(path, kSectionTlsPassphrases, lines);
}

} // namespace tarvotcpc
