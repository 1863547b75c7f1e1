#include "tls/trust_pins.hpp"

#include "net/addresses.hpp"

namespace tarvotcpc {

namespace {

char LowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// The fingerprint's hex digits in lower case; empty when anything but hex digits and ":" occurs
// or the length is not that of a SHA-256 digest.
std::string NormalFingerprint(std::string_view text) {
    std::string digits;
    for (char c : text) {
        if (c == ':') continue;
        const char lower = LowerAscii(c);
        if (!((lower >= '0' && lower <= '9') || (lower >= 'a' && lower <= 'f'))) return {};
        digits.push_back(lower);
    }
    return digits.size() == 64 ? digits : std::string();
}

} // namespace

std::string PinKey(std::string_view host, uint16_t port) {
    std::string key = LiteralAddressText(std::string(host));
    if (key.empty()) {
        for (char c : host)
            key.push_back(LowerAscii(c));
    }
    return key + ":" + std::to_string(port);
}

std::string ShownFingerprint(std::string_view fingerprint) {
    const std::string digits = NormalFingerprint(fingerprint);
    if (digits.empty()) return std::string(fingerprint);
    std::string shown;
    for (std::size_t i = 0; i < digits.size(); i += 2) {
        if (i > 0) shown.push_back(':');
        for (const char c : digits.substr(i, 2))
            shown.push_back(c >= 'a' ? static_cast<char>(c - 'a' + 'A') : c);
    }
    return shown;
}

bool IsStorablePinKey(std::string_view key) {
    if (key.empty() || key.front() == '[' || key.front() == ';') return false;
    for (char c : key) {
        if (c == '=' || c == '\r' || c == '\n' || c == '\0') return false;
    }
    return true;
}

PinState CheckPin(const TrustPins &pins, std::string_view key, std::string_view fingerprint) {
    const auto it = pins.find(std::string(key));
    if (it == pins.end()) return PinState::NotPinned;
    const std::string pinned = NormalFingerprint(it->second);
    const std::string seen = NormalFingerprint(fingerprint);
    return (!pinned.empty() && pinned == seen) ? PinState::Matching : PinState::Changed;
}

bool SameFingerprint(std::string_view a, std::string_view b) {
    const std::string left = NormalFingerprint(a);
    return !left.empty() && left == NormalFingerprint(b);
}

bool AddPin(TrustPins &pins, std::string_view key, std::string_view fingerprint) {
    if (!IsStorablePinKey(key) || NormalFingerprint(fingerprint).empty()) return false;
    pins[std::string(key)] = std::string(fingerprint);
    return true;
}

bool RemovePin(TrustPins &pins, std::string_view key) {
    return pins.erase(std::string(key)) > 0;
}

} // namespace tarvotcpc
