#include "hosts/host_field.hpp"

#include <arpa/inet.h>

#include <utility>

#include "proxy/proxy.hpp"
#include "proxy/proxy_choice.hpp"
#include "text/text.hpp"

namespace tarvotcpc {

namespace {

constexpr std::size_t kHostFieldLimit = 255; // bytes, as the connect dialog's field

} // namespace

bool IsIpv6Literal(std::string_view text) {
    const std::size_t percent = text.find('%');
    std::string address(text.substr(0, percent));
    if (percent != std::string_view::npos && percent + 1 == text.size()) return false;
    if (address.find(':') == std::string::npos) return false;
    in6_addr parsed{};
    return inet_pton(AF_INET6, address.c_str(), &parsed) == 1;
}

HostFieldDecision DecideHostField(std::string_view hostText, std::string_view portText) {
    HostFieldDecision decision;
    const std::string text = Utf8Cut(hostText, kHostFieldLimit);
    std::string host;
    std::string port;
    bool portFromField = false;

    if (!text.empty() && text.front() == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string::npos) {
            decision.problem = HostFieldProblem::UnclosedBracket;
            return decision;
        }
        host = text.substr(1, close - 1);
        const std::string_view rest = std::string_view(text).substr(close + 1);
        if (rest.empty()) {
            portFromField = true;
        } else if (rest.front() == ':') {
            port = std::string(rest.substr(1));
        } else {
            decision.problem = HostFieldProblem::UnclosedBracket;
            return decision;
        }
    } else if (IsIpv6Literal(text)) {
        host = text;
        portFromField = true;
    } else {
        const std::size_t colon = text.find(':');
        if (colon == std::string::npos) {
            host = text;
            portFromField = true;
        } else {
            host = text.substr(0, colon);
            port = text.substr(colon + 1);
        }
    }
    if (portFromField) {
        if (portText.empty()) {
            decision.problem = HostFieldProblem::MissingPort;
            return decision;
        }
        port = std::string(portText);
    }
    if (host.empty()) {
        decision.problem = HostFieldProblem::MissingHost;
        return decision;
    }
    decision.host = std::move(host);
    decision.port = ParseDecimal(port);
    return decision;
}

std::string HostFieldText(std::string_view host, int32_t port) {
    std::string text;
    if (host.find(':') != std::string_view::npos) {
        text = "[" + std::string(host) + "]";
    } else {
        text = std::string(host);
    }
    return text + ":" + std::to_string(port);
}

std::string FormatHistoryEntry(std::string_view host, int32_t port, bool tls,
                               std::string_view proxy, bool udp) {
    std::string entry = HostFieldText(host, port);
    if (tls) entry += kTlsHistoryMark;
    if (udp) entry += kUdpHistoryMark;
    if (IsProxyNone(proxy)) {
        entry += std::string(kProxyHistoryMark) + kProxyNone + ")";
    } else if (!proxy.empty()) {
        std::string error;
        if (const std::optional<ProxyUrl> url = ParseProxyUrl(proxy, error))
            entry += std::string(kProxyHistoryMark) + " " + FormatProxyUrl(*url) + ")";
    }
    return entry;
}

namespace {

// The proxy mark at the end of entry, when there is one: the proxy text, and entry without it.
std::optional<std::string> TakeProxyMark(std::string_view &entry) {
    const std::size_t at = entry.rfind(kProxyHistoryMark);
    if (at == std::string_view::npos || !entry.ends_with(')')) return std::nullopt;
    const std::size_t start = at + std::string_view(kProxyHistoryMark).size();
    const std::string_view inside = entry.substr(start, entry.size() - 1 - start);
    std::string proxy;
    if (inside == kProxyNone) {
        proxy = kProxyNone;
    } else {
        std::string error;
        const std::optional<ProxyUrl> url =
            inside.starts_with(' ') ? ParseProxyUrl(inside.substr(1), error) : std::nullopt;
        if (!url) return std::nullopt;
        proxy = FormatProxyUrl(*url);
    }
    entry = entry.substr(0, at);
    return proxy;
}

} // namespace

HistoryEntryParts ParseHistoryEntry(std::string_view entry) {
    HistoryEntryParts parts;
    std::string_view marked = entry;
    const std::optional<std::string> proxy = TakeProxyMark(marked);
    // The mark counts only after the port or the TLS or UDP mark, as those only after the port.
    if (proxy && !marked.empty() &&
        ((marked.back() >= '0' && marked.back() <= '9') || marked.ends_with(kTlsHistoryMark) ||
         marked.ends_with(kUdpHistoryMark))) {
        parts.proxy = *proxy;
        entry = marked;
    }
    parts.marksAt = entry.size();
    // A mark counts only right after a port's digits, so that an earlier entry can never be
    // taken for TLS or UDP: those were always "host:number".
    for (const auto &[mark, flag] : {std::pair{std::string_view(kTlsHistoryMark), &parts.tls},
                                     std::pair{std::string_view(kUdpHistoryMark), &parts.udp}}) {
        if (entry.size() <= mark.size() || !entry.ends_with(mark)) continue;
        const std::string_view before = entry.substr(0, entry.size() - mark.size());
        const char last = before.back();
        if (last >= '0' && last <= '9') {
            *flag = true;
            entry = before;
            parts.marksAt = entry.size();
        }
    }
    // Brackets are written only around a host with ":" in it. Earlier versions wrote every entry
    // as "host:number" with no ":" in the host, so an entry like "[x:0" or "[x]:0" is theirs and
    // splits at the first colon as it did there.
    const std::size_t close = entry.find(']');
    const bool bracketed = !entry.empty() && entry.front() == '[' &&
                           close != std::string_view::npos &&
                           entry.substr(0, close).find(':') != std::string_view::npos;
    if (!bracketed) {
        const std::string text = Utf8Cut(entry, kHostFieldLimit);
        const std::size_t colon = text.find(':');
        if (colon == std::string::npos || colon == 0) {
            parts.tls = parts.udp = false;
            parts.proxy.clear();
            return parts;
        }
        parts.valid = true;
        parts.host = text.substr(0, colon);
        parts.port = ParseDecimal(std::string_view(text).substr(colon + 1));
        return parts;
    }
    // A history entry always carries its port; the port field plays no part.
    const HostFieldDecision decision = DecideHostField(entry, "");
    if (decision.problem != HostFieldProblem::None) {
        parts.tls = parts.udp = false;
        parts.proxy.clear();
        return parts;
    }
    parts.valid = true;
    parts.host = decision.host;
    parts.port = decision.port;
    return parts;
}

} // namespace tarvotcpc
