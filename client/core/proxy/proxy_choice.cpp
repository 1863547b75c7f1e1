#include "proxy/proxy_choice.hpp"

#include <arpa/inet.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>

namespace tarvotcpc {

namespace {

std::string Lower(std::string_view text) {
    std::string lower(text);
    for (char &c : lower)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return lower;
}

// An address as bytes (4 or 16 of them), from its text without brackets or zone.
struct IpBytes {
    int family = 0;
    std::array<unsigned char, 16> bytes{};
};

std::optional<IpBytes> ParseIp(std::string_view text) {
    const std::string plain(text.substr(0, text.find('%')));
    IpBytes ip;
    if (inet_pton(AF_INET, plain.c_str(), ip.bytes.data()) == 1) {
        ip.family = AF_INET;
        return ip;
    }
    if (inet_pton(AF_INET6, plain.c_str(), ip.bytes.data()) == 1) {
        ip.family = AF_INET6;
        return ip;
    }
    return std::nullopt;
}

bool InRange(const IpBytes &address, const IpBytes &network, int bits) {
    if (address.family != network.family) return false;
    const int width = address.family == AF_INET ? 32 : 128;
    if (bits < 0 || bits > width) return false;
    for (int i = 0; i < bits; ++i) {
        const int byte = i / 8;
        const int mask = 0x80 >> (i % 8);
        if ((address.bytes[byte] & mask) != (network.bytes[byte] & mask)) return false;
    }
    return true;
}

// One no_proxy entry split into its host part and optional port.
struct Entry {
    std::string host;
    std::optional<uint16_t> port;
};

Entry SplitEntry(std::string_view text) {
    Entry entry;
    std::string_view host = text;
    std::string_view port;
    if (!text.empty() && text.front() == '[') {
        const std::size_t close = text.find(']');
        if (close != std::string_view::npos) {
            host = text.substr(1, close - 1);
            if (text.substr(close + 1).starts_with(':')) port = text.substr(close + 2);
        }
    } else if (std::count(text.begin(), text.end(), ':') == 1) {
        const std::size_t colon = text.find(':');
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
    }
    entry.host = std::string(host);
    if (!port.empty() && port.size() <= 5 &&
        std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        const int value = std::atoi(std::string(port).c_str());
        if (value <= 65535) entry.port = static_cast<uint16_t>(value);
    }
    return entry;
}

bool EntryMatches(std::string_view text, std::string_view host, uint16_t port) {
    if (text == "*") return true;
    const Entry entry = SplitEntry(text);
    if (entry.port && *entry.port != port) return false;
    if (const std::optional<IpBytes> address = ParseIp(host)) {
        const std::size_t slash = entry.host.find('/');
        const std::optional<IpBytes> network = ParseIp(entry.host.substr(0, slash));
        if (!network) return false;
        if (slash == std::string::npos) {
            const int width = network->family == AF_INET ? 32 : 128;
            return InRange(*address, *network, width);
        }
        const std::string bits = entry.host.substr(slash + 1);
        if (bits.empty() || bits.size() > 3 ||
            !std::all_of(bits.begin(), bits.end(), [](char c) { return c >= '0' && c <= '9'; }))
            return false;
        return InRange(*address, *network, std::atoi(bits.c_str()));
    }
    std::string name = Lower(entry.host);
    while (!name.empty() && name.front() == '.')
        name.erase(0, 1);
    while (!name.empty() && name.back() == '.')
        name.pop_back();
    std::string target = Lower(host);
    while (!target.empty() && target.back() == '.')
        target.pop_back();
    if (name.empty()) return false;
    return target == name || (target.size() > name.size() && target.ends_with(name) &&
                              target[target.size() - name.size() - 1] == '.');
}

// The first of the names that is set, lower case before upper case.
std::optional<std::pair<std::string, std::string>>
FirstSet(const Environment &env, std::initializer_list<const char *> names) {
    for (const char *name : names) {
        if (std::optional<std::string> value = env(name)) return std::make_pair(*value, name);
    }
    return std::nullopt;
}

ProxyChoice FromText(std::string_view text, std::string source) {
    ProxyChoice choice;
    if (IsProxyNone(text)) return choice;
    choice.source = std::move(source);
    std::string error;
    if (std::optional<ProxyUrl> proxy = ParseProxyUrl(text, error)) {
        choice.kind = ProxyChoice::Kind::Proxy;
        choice.proxy = std::move(*proxy);
    } else {
        choice.kind = ProxyChoice::Kind::Invalid;
        choice.error = std::move(error);
    }
    return choice;
}

} // namespace

std::optional<std::string> SystemEnvironment(const char *name) {
    const char *value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return std::string(value);
}

bool IsProxyNone(std::string_view text) {
    return text == kProxyNone || Lower(text) == "none";
}

ProxyChoice ChooseProxy(std::string_view own, std::string_view forAll, const Environment &env,
                        std::string_view host, uint16_t port, bool tls) {
    if (!own.empty()) return FromText(own, "接続先のプロキシ");
    const auto exempt = [&] {
        const auto list = FirstSet(env, {"no_proxy", "NO_PROXY"});
        return list && NoProxyMatches(list->first, host, port);
    };
    if (!forAll.empty()) {
        if (IsProxyNone(forAll) || exempt()) return {};
        return FromText(forAll, "オプションのプロキシ");
    }
    std::optional<std::pair<std::string, std::string>> set;
    if (tls) set = FirstSet(env, {"https_proxy", "HTTPS_PROXY"});
    if (!set) set = FirstSet(env, {"all_proxy", "ALL_PROXY"});
    if (!set || set->first.empty() || exempt()) return {};
    return FromText(set->first, "環境変数" + set->second);
}

bool NoProxyMatches(std::string_view list, std::string_view host, uint16_t port) {
    std::size_t at = 0;
    while (at < list.size()) {
        const std::size_t end = list.find_first_of(", \t", at);
        const std::string_view entry =
            list.substr(at, end == std::string_view::npos ? std::string_view::npos : end - at);
        if (!entry.empty() && EntryMatches(entry, host, port)) return true;
        if (end == std::string_view::npos) break;
        at = end + 1;
    }
    return false;
}

} // namespace tarvotcpc
