#include "proxy/proxy.hpp"

#include <arpa/inet.h>

#include <algorithm>
#include <array>

namespace tarvotcpc {

namespace {

constexpr uint16_t kDefaultProxyPort = 1080; // curl's, for every kind of proxy

char LowerAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string LowerAscii(std::string_view text) {
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(), [](char c) { return LowerAscii(c); });
    return lower;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = LowerAscii(c);
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

std::optional<std::string> PercentDecode(std::string_view text) {
    std::string decoded;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            decoded += text[i];
            continue;
        }
        if (i + 2 >= text.size()) return std::nullopt;
        const int high = HexValue(text[i + 1]);
        const int low = HexValue(text[i + 2]);
        if (high < 0 || low < 0) return std::nullopt;
        decoded += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return decoded;
}

std::string PercentEncode(std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string encoded;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
            c == '-' || c == '.' || c == '_' || c == '~') {
            encoded += c;
        } else {
            encoded += {'%', kHex[byte >> 4], kHex[byte & 0xf]};
        }
    }
    return encoded;
}

bool IsIpv6(std::string_view text) {
    in6_addr parsed{};
    return inet_pton(AF_INET6, std::string(text).c_str(), &parsed) == 1;
}

// A host name as DNS and the proxies know them; bytes beyond ASCII are let through for names
// the system's resolver may still take.
bool IsHostName(std::string_view text) {
    if (text.empty() || text.size() > 255) return false;
    return std::all_of(text.begin(), text.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
               c == '-' || c == '.' || c == '_' || byte >= 0x80;
    });
}

std::optional<uint16_t> ParsePort(std::string_view text) {
    if (text.empty() || text.size() > 5) return std::nullopt;
    uint32_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<uint32_t>(c - '0');
    }
    if (value < 1 || value > 65535) return std::nullopt;
    return static_cast<uint16_t>(value);
}

std::string Bracketed(std::string_view host) {
    if (host.find(':') != std::string_view::npos) return "[" + std::string(host) + "]";
    return std::string(host);
}

std::string Base64(std::string_view bytes) {
    static constexpr char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    std::size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        const uint32_t v = (static_cast<uint8_t>(bytes[i]) << 16) |
                           (static_cast<uint8_t>(bytes[i + 1]) << 8) |
                           static_cast<uint8_t>(bytes[i + 2]);
        out += {kAlphabet[v >> 18], kAlphabet[(v >> 12) & 63], kAlphabet[(v >> 6) & 63],
                kAlphabet[v & 63]};
    }
    if (i + 1 == bytes.size()) {
        const uint32_t v = static_cast<uint8_t>(bytes[i]) << 16;
        out += {kAlphabet[v >> 18], kAlphabet[(v >> 12) & 63], '=', '='};
    } else if (i + 2 == bytes.size()) {
        const uint32_t v =
            (static_cast<uint8_t>(bytes[i]) << 16) | (static_cast<uint8_t>(bytes[i + 1]) << 8);
        out += {kAlphabet[v >> 18], kAlphabet[(v >> 12) & 63], kAlphabet[(v >> 6) & 63], '='};
    }
    return out;
}

// A line from the proxy as a message may show it: printable ASCII only, and not too long.
std::string Printable(std::string_view text) {
    constexpr std::size_t kShown = 100;
    std::string shown;
    for (const char c : text.substr(0, kShown))
        shown += (c >= 0x20 && c < 0x7f) ? c : '?';
    if (text.size() > kShown) shown += "...";
    return shown;
}

std::string HexByte(uint8_t byte) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    return {'0', 'x', kHex[byte >> 4], kHex[byte & 0xf]};
}

const char *SocksReplyMeaning(int code) {
    switch (code) {
    case 1:
        return "一般的な失敗";
    case 2:
        return "規則により許可されていません";
    case 3:
        return "ネットワークに到達できません";
    case 4:
        return "ホストに到達できません";
    case 5:
        return "接続を拒否されました";
    case 6:
        return "時間切れです";
    case 7:
        return "このコマンドに対応していません";
    case 8:
        return "このアドレスの種類に対応していません";
    default:
        return "不明な応答です";
    }
}

} // namespace

std::optional<ProxyUrl> ParseProxyUrl(std::string_view text, std::string &error) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    ProxyUrl proxy;
    if (const std::size_t colon = text.find("://"); colon != std::string_view::npos) {
        const std::string scheme = LowerAscii(text.substr(0, colon));
        if (scheme == "socks5") {
            proxy.scheme = ProxyScheme::Socks5;
        } else if (scheme == "socks5h") {
            proxy.scheme = ProxyScheme::Socks5h;
        } else if (scheme == "http") {
            proxy.scheme = ProxyScheme::Http;
        } else if (scheme == "socks4" || scheme == "socks4a") {
            error = "SOCKS4のプロキシには対応していません (socks5://、socks5h://、http://)";
            return std::nullopt;
        } else {
            error = "プロキシの種類「" + Printable(scheme) +
                    "」には対応していません (socks5://、socks5h://、http://)";
            return std::nullopt;
        }
        text.remove_prefix(colon + 3);
    }
    // The last "@" ends the user part, so that an "@" (or "/", "#") left unencoded in a password
    // still works.
    if (const std::size_t at = text.rfind('@'); at != std::string_view::npos) {
        const std::string_view userInfo = text.substr(0, at);
        const std::size_t colon = userInfo.find(':');
        const std::optional<std::string> user = PercentDecode(userInfo.substr(0, colon));
        if (!user) {
            error = "プロキシのユーザー名の「%」のあとには16進数2桁を書いてください";
            return std::nullopt;
        }
        if (colon != std::string_view::npos) {
            proxy.password = PercentDecode(userInfo.substr(colon + 1));
            if (!proxy.password) {
                error = "プロキシのパスワードの「%」のあとには16進数2桁を書いてください";
                return std::nullopt;
            }
        }
        if (user->empty() && proxy.password) {
            error = "プロキシのパスワードの前にユーザー名を書いてください";
            return std::nullopt;
        }
        proxy.user = *user;
        text.remove_prefix(at + 1);
    }
    // A trailing slash is all a proxy URL may have after the host and port.
    if (const std::size_t slash = text.find_first_of("/?#"); slash != std::string_view::npos) {
        if (text.substr(slash) != "/") {
            error = "プロキシのURLには「/」のあとに何も書けません";
            return std::nullopt;
        }
        text.remove_suffix(1);
    }
    std::string_view portText;
    bool hasPort = false;
    if (!text.empty() && text.front() == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string_view::npos || !IsIpv6(text.substr(1, close - 1))) {
            error = "プロキシのIPv6アドレスは「[::1]:1080」のように角かっこで囲んでください";
            return std::nullopt;
        }
        proxy.host = std::string(text.substr(1, close - 1));
        const std::string_view rest = text.substr(close + 1);
        if (!rest.empty() && rest.front() != ':') {
            error = "プロキシの「]」のあとには「:ポート番号」だけを書いてください";
            return std::nullopt;
        }
        hasPort = !rest.empty();
        if (hasPort) portText = rest.substr(1);
    } else {
        const std::size_t colon = text.find(':');
        if (colon != std::string_view::npos &&
            text.find(':', colon + 1) != std::string_view::npos) {
            error = "プロキシのIPv6アドレスは「[::1]:1080」のように角かっこで囲んでください";
            return std::nullopt;
        }
        proxy.host = std::string(text.substr(0, colon));
        hasPort = colon != std::string_view::npos;
        if (hasPort) portText = text.substr(colon + 1);
        if (proxy.host.empty()) {
            error = "プロキシのホスト名がありません";
            return std::nullopt;
        }
        if (!IsHostName(proxy.host)) {
            error = "プロキシのホスト名「" + Printable(proxy.host) + "」に使えない文字があります";
            return std::nullopt;
        }
    }
    proxy.port = kDefaultProxyPort;
    if (hasPort) {
        const std::optional<uint16_t> port = ParsePort(portText);
        if (!port) {
            error = "プロキシのポート番号は1から65535の数で書いてください";
            return std::nullopt;
        }
        proxy.port = *port;
    }
    if (proxy.scheme != ProxyScheme::Http &&
        (proxy.user.size() > 255 || proxy.password.value_or("").size() > 255)) {
        error = "SOCKS5のユーザー名とパスワードはそれぞれ255バイトまでです";
        return std::nullopt;
    }
    return proxy;
}

std::string FormatProxyUrl(const ProxyUrl &proxy, bool withPassword) {
    std::string url;
    switch (proxy.scheme) {
    case ProxyScheme::Socks5:
        url = "socks5://";
        break;
    case ProxyScheme::Socks5h:
        url = "socks5h://";
        break;
    case ProxyScheme::Http:
        url = "http://";
        break;
    }
    if (!proxy.user.empty()) {
        url += PercentEncode(proxy.user);
        if (withPassword && proxy.password) url += ":" + PercentEncode(*proxy.password);
        url += "@";
    }
    return url + ProxyAddressText(proxy);
}

std::string ProxyAddressText(const ProxyUrl &proxy) {
    return Bracketed(proxy.host) + ":" + std::to_string(proxy.port);
}

std::string ProxyFailureText(ProxyFailure failure, const std::string &proxy,
                             const std::string &target, const std::string &detail) {
    const std::string named = "プロキシ" + proxy;
    std::string text;
    switch (failure) {
    case ProxyFailure::None:
        return {};
    case ProxyFailure::ProxyNotFound:
        text = named + "のホストが見つかりません";
        break;
    case ProxyFailure::ProxyUnreachable:
        text = named + "に接続できません";
        break;
    case ProxyFailure::AuthRequired:
        text = named + "はユーザー名とパスワードを求めています。プロキシのURLにユーザー名を書いて"
                       "ください (socks5h://ユーザー名@ホスト:ポート番号)";
        break;
    case ProxyFailure::AuthFailed:
        text = named + "の認証に失敗しました。ユーザー名かパスワードが違います";
        break;
    case ProxyFailure::NotAllowed:
        text = named + "は" + target + "への接続を許可していません";
        break;
    case ProxyFailure::TargetUnreachable:
        text = named + "から" + target + "に接続できませんでした";
        break;
    case ProxyFailure::Refused:
        text = named + "が" + target + "への接続を断りました";
        break;
    case ProxyFailure::Garbage:
        text = named + "の応答を読み取れません。プロキシの種類 (socks5/http) を確かめてください";
        break;
    case ProxyFailure::Closed:
        text = named + "が途中で接続を閉じました";
        break;
    case ProxyFailure::TimedOut:
        text = named + "から応答がありません";
        break;
    }
    if (!detail.empty()) text += " (" + detail + ")";
    return text;
}

ReplyScan ScanSocks5Reply(std::string_view bytes) {
    ReplyScan scan;
    if (bytes.empty()) return scan;
    if (static_cast<uint8_t>(bytes[0]) != 5) {
        scan.status = ReplyScan::Status::Malformed;
        scan.text = "SOCKS5の応答ではありません: " + HexByte(static_cast<uint8_t>(bytes[0]));
        return scan;
    }
    if (bytes.size() < 4) return scan;
    std::size_t length = 0;
    switch (static_cast<uint8_t>(bytes[3])) {
    case 1:
        length = 4 + 4 + 2;
        break;
    case 4:
        length = 4 + 16 + 2;
        break;
    case 3:
        if (bytes.size() < 5) return scan;
        length = 5 + static_cast<uint8_t>(bytes[4]) + 2;
        break;
    default:
        scan.status = ReplyScan::Status::Malformed;
        scan.text =
            "SOCKS5の応答のアドレスの種類が不明です: " + HexByte(static_cast<uint8_t>(bytes[3]));
        return scan;
    }
    if (bytes.size() < length) return scan;
    scan.status = ReplyScan::Status::Complete;
    scan.length = length;
    scan.code = static_cast<uint8_t>(bytes[1]);
    return scan;
}

ReplyScan ScanConnectResponse(std::string_view bytes) {
    ReplyScan scan;
    const auto malformed = [&scan](std::string text) {
        scan.status = ReplyScan::Status::Malformed;
        scan.text = std::move(text);
        return scan;
    };
    constexpr std::string_view kStart = "HTTP/";
    if (bytes.substr(0, kStart.size()) != kStart.substr(0, std::min(bytes.size(), kStart.size())))
        return malformed("HTTPの応答ではありません: " + Printable(bytes.substr(0, 16)));

    // The status line, as far as it came: "HTTP/" digit "." digit " " three digits, then a blank
    // or the line's end.
    const std::size_t lineEnd = bytes.find('\n');
    std::string_view line = bytes.substr(0, lineEnd);
    if (lineEnd != std::string_view::npos && line.ends_with('\r')) line.remove_suffix(1);
    constexpr std::string_view kShape = "HTTP/9.9 999";
    for (std::size_t i = kStart.size(); i < std::min(line.size(), kShape.size()); ++i) {
        const bool digit = line[i] >= '0' && line[i] <= '9';
        if (kShape[i] == '9' ? !digit : line[i] != kShape[i])
            return malformed("HTTPの応答の1行目が読めません: " + Printable(line));
    }
    if (lineEnd != std::string_view::npos &&
        (line.size() < kShape.size() || (line.size() > kShape.size() && line[12] != ' ')))
        return malformed("HTTPの応答の1行目が読めません: " + Printable(line));

    // The header ends at its first empty line.
    std::size_t end = std::string_view::npos;
    for (std::size_t at = bytes.find('\n'); at != std::string_view::npos;
         at = bytes.find('\n', at + 1)) {
        if (at + 1 < bytes.size() && bytes[at + 1] == '\n') {
            end = at + 2;
            break;
        }
        if (at + 2 < bytes.size() && bytes[at + 1] == '\r' && bytes[at + 2] == '\n') {
            end = at + 3;
            break;
        }
    }
    if (end == std::string_view::npos ? bytes.size() > kMaxProxyHeader : end > kMaxProxyHeader)
        return malformed("応答のヘッダーが" + std::to_string(kMaxProxyHeader / 1024) +
                         "KiBを超えています");
    if (end == std::string_view::npos) return scan;
    scan.status = ReplyScan::Status::Complete;
    scan.length = end;
    scan.code = (line[9] - '0') * 100 + (line[10] - '0') * 10 + (line[11] - '0');
    scan.text = Printable(line);
    return scan;
}

ProxyDialogue::ProxyDialogue(const ProxyUrl &proxy, ProxyTarget target)
    : proxy_(proxy), target_(std::move(target)),
      step_(proxy.scheme == ProxyScheme::Http ? Step::HttpResponse : Step::SocksMethod) {
    // The name goes into the request as it is: a blank or a line break there would end it.
    const bool sound =
        !target_.host.empty() && std::none_of(target_.host.begin(), target_.host.end(), [](char c) {
            const auto byte = static_cast<unsigned char>(c);
            return byte <= ' ' || byte == 0x7f;
        });
    if (!sound) {
        Fail(ProxyFailure::Refused, "接続先の名前に空白か制御文字があります");
        return;
    }
    if (proxy_.scheme == ProxyScheme::Http) {
        // An address's zone means nothing to the proxy, which reaches it from its own network.
        const std::string host = target_.host.substr(0, target_.host.find('%'));
        const std::string authority = Bracketed(host) + ":" + std::to_string(target_.port);
        output_ = "CONNECT " + authority + " HTTP/1.1\r\nHost: " + authority + "\r\n";
        if (!proxy_.user.empty())
            output_ += "Proxy-Authorization: Basic " +
                       Base64(proxy_.user + ":" + proxy_.password.value_or("")) + "\r\n";
        output_ += "\r\n";
        return;
    }
    if (proxy_.user.size() > 255 || proxy_.password.value_or("").size() > 255) {
        Fail(ProxyFailure::Refused, "SOCKS5のユーザー名とパスワードはそれぞれ255バイトまでです");
        return;
    }
    if (proxy_.user.empty()) {
        output_ = std::string("\x05\x01\x00", 3);
    } else {
        output_ = std::string("\x05\x02\x00\x02", 4);
    }
}

void ProxyDialogue::Fail(ProxyFailure failure, std::string detail) {
    state_ = State::Failed;
    failure_ = failure;
    detail_ = std::move(detail);
    output_.clear();
}

void ProxyDialogue::SendSocksRequest() {
    std::string request("\x05\x01\x00", 3);
    const std::string host = target_.host.substr(0, target_.host.find('%'));
    in_addr v4{};
    in6_addr v6{};
    if (inet_pton(AF_INET, host.c_str(), &v4) == 1) {
        request += '\x01';
        request.append(reinterpret_cast<const char *>(&v4), 4);
    } else if (inet_pton(AF_INET6, host.c_str(), &v6) == 1) {
        request += '\x04';
        request.append(reinterpret_cast<const char *>(&v6), 16);
    } else if (target_.host.size() > 255) {
        Fail(ProxyFailure::Refused, "SOCKS5で送れる接続先の名前は255バイトまでです");
        return;
    } else {
        request += '\x03';
        request += static_cast<char>(target_.host.size());
        request += target_.host;
    }
    request += static_cast<char>(target_.port >> 8);
    request += static_cast<char>(target_.port & 0xff);
    output_ += request;
    step_ = Step::SocksReply;
}

std::size_t ProxyDialogue::Take(std::string_view bytes) {
    std::size_t taken = 0;
    // A SOCKS5 reply may be followed by bytes of the next step only if the proxy runs ahead of
    // the conversation, which it never may; they are still read one step at a time.
    while (state_ == State::Talking && taken < bytes.size()) {
        const std::string_view rest = bytes.substr(taken);
        const std::size_t now = step_ == Step::HttpResponse ? TakeHttp(rest) : TakeSocks(rest);
        taken += now;
        if (now == 0) break;
    }
    return taken;
}

std::size_t ProxyDialogue::TakeSocks(std::string_view bytes) {
    if (step_ == Step::SocksReply) {
        const std::string seen = reply_ + std::string(bytes);
        // A refusal ends the conversation: the address after it is not waited for.
        if (seen.size() >= 2 && static_cast<uint8_t>(seen[0]) == 5 && seen[1] != 0) {
            const int code = static_cast<uint8_t>(seen[1]);
            std::string detail =
                "SOCKS5の応答 " + std::to_string(code) + ": " + SocksReplyMeaning(code);
            switch (code) {
            case 2:
                Fail(ProxyFailure::NotAllowed, std::move(detail));
                break;
            case 3:
            case 4:
            case 5:
            case 6:
                Fail(ProxyFailure::TargetUnreachable, std::move(detail));
                break;
            default:
                Fail(ProxyFailure::Refused, std::move(detail));
                break;
            }
            return bytes.size();
        }
        const ReplyScan scan = ScanSocks5Reply(seen);
        switch (scan.status) {
        case ReplyScan::Status::Incomplete:
            reply_ = seen;
            return bytes.size();
        case ReplyScan::Status::Malformed:
            Fail(ProxyFailure::Garbage, scan.text);
            return bytes.size();
        case ReplyScan::Status::Complete:
            break;
        }
        const std::size_t taken = scan.length - reply_.size();
        reply_.clear();
        state_ = State::Open;
        return taken;
    }

    // The two answers of two bytes: the method chosen, and the verdict on user and password.
    const std::size_t taken = std::min(bytes.size(), 2 - reply_.size());
    reply_ += bytes.substr(0, taken);
    const auto version = static_cast<uint8_t>(reply_[0]);
    const bool versionOk = step_ == Step::SocksMethod ? version == 5 : version == 1 || version == 5;
    if (!versionOk) {
        Fail(ProxyFailure::Garbage, "SOCKS5の応答ではありません: " + HexByte(version));
        return taken;
    }
    if (reply_.size() < 2) return taken;
    const auto value = static_cast<uint8_t>(reply_[1]);
    reply_.clear();
    if (step_ == Step::SocksAuth) {
        // The status's value has no agreed meaning beyond "not 0".
        if (value != 0) {
            Fail(ProxyFailure::AuthFailed);
        } else {
            SendSocksRequest();
        }
        return taken;
    }
    if (value == 0) {
        SendSocksRequest();
    } else if (value == 2 && !proxy_.user.empty()) {
        const std::string password = proxy_.password.value_or("");
        output_ += '\x01';
        output_ += static_cast<char>(proxy_.user.size());
        output_ += proxy_.user;
        output_ += static_cast<char>(password.size());
        output_ += password;
        step_ = Step::SocksAuth;
    } else if (value == 0xff && proxy_.user.empty()) {
        Fail(ProxyFailure::AuthRequired);
    } else if (value == 0xff) {
        Fail(ProxyFailure::Refused, "SOCKS5: ユーザー名とパスワードによる認証を受け付けません");
    } else {
        Fail(ProxyFailure::Garbage, "SOCKS5: 求めていない認証方式 " + HexByte(value));
    }
    return taken;
}

std::size_t ProxyDialogue::TakeHttp(std::string_view bytes) {
    const std::string seen = reply_ + std::string(bytes);
    const ReplyScan scan = ScanConnectResponse(seen);
    switch (scan.status) {
    case ReplyScan::Status::Incomplete:
        reply_ = seen;
        return bytes.size();
    case ReplyScan::Status::Malformed:
        Fail(ProxyFailure::Garbage, scan.text);
        return bytes.size();
    case ReplyScan::Status::Complete:
        break;
    }
    const std::size_t taken = scan.length - reply_.size();
    reply_.clear();
    if (scan.code >= 100 && scan.code < 200)
        return taken; // an interim answer: the real one follows
    if (scan.code >= 200 && scan.code < 300) {
        state_ = State::Open;
    } else if (scan.code == 407 || scan.code == 401) {
        // 407 is the standard's; some proxies (tinyproxy) answer wrong credentials with 401.
        Fail(proxy_.user.empty() ? ProxyFailure::AuthRequired : ProxyFailure::AuthFailed,
             scan.text);
    } else if (scan.code == 403) {
        Fail(ProxyFailure::NotAllowed, scan.text);
    } else if (scan.code == 502 || scan.code == 504) {
        Fail(ProxyFailure::TargetUnreachable, scan.text);
    } else {
        Fail(ProxyFailure::Refused, scan.text);
    }
    return taken;
}

void ProxyDialogue::ProxyClosed() {
    if (state_ == State::Talking) Fail(ProxyFailure::Closed);
}

} // namespace tarvotcpc
