#include "tls/announce.hpp"

#include "net/addresses.hpp"

namespace tarvotcpc {

namespace {

constexpr std::size_t kServerNameLimit = 253; // bytes: the longest DNS name
constexpr std::size_t kProtocolLimit = 255;   // bytes: a name's length is one byte on the wire
constexpr std::size_t kListLimit = 65535;     // bytes: the list's length is two

std::string_view Trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

bool IsNameByte(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_' || c == '.';
}

} // namespace

std::optional<ServerNameChoice> ParseServerName(std::string_view text, std::string &error) {
    text = Trimmed(text);
    ServerNameChoice choice;
    if (text.empty()) return choice;
    if (text == "なし" || text == "none" || text == "NONE" || text == "None") {
        choice.kind = ServerNameChoice::Kind::None;
        return choice;
    }
    if (text.size() > 1 && text.back() == '.') text.remove_suffix(1);
    if (text.size() > kServerNameLimit) {
        error = "SNIの名前が長すぎます(253バイトまで)";
        return std::nullopt;
    }
    for (const char c : text) {
        if (!IsNameByte(c)) {
            error = "SNIの名前に使えない文字があります。英数字、「-」「.」で書いてください"
                    "(国際化ドメイン名はxn--で始まる形で)";
            return std::nullopt;
        }
    }
    if (text.front() == '.' || text.find("..") != std::string_view::npos) {
        error = "SNIの名前に空のラベルがあります(「.」が続いているか、先頭にあります)";
        return std::nullopt;
    }
    if (!LiteralAddressText(std::string(text)).empty()) {
        error = "SNIにはIPアドレスを指定できません。名前を送らないときは「なし」と書いてください";
        return std::nullopt;
    }
    choice.kind = ServerNameChoice::Kind::Name;
    choice.name = std::string(text);
    return choice;
}

std::optional<std::vector<std::string>> ParseAlpnList(std::string_view text, std::string &error) {
    std::vector<std::string> protocols;
    if (Trimmed(text).empty()) return protocols;
    for (;;) {
        const std::size_t comma = text.find(',');
        const std::string_view name = Trimmed(text.substr(0, comma));
        if (name.empty()) {
            error = "ALPNのプロトコル名が空です。「h2,http/1.1」のようにコンマで区切ってください";
            return std::nullopt;
        }
        if (name.size() > kProtocolLimit) {
            error = "ALPNのプロトコル名が長すぎます(255バイトまで)";
            return std::nullopt;
        }
        for (const char c : name) {
            const auto byte = static_cast<unsigned char>(c);
            if (byte <= 0x20 || byte >= 0x7f) {
                error = "ALPNのプロトコル名には空白を除くASCII文字だけを使ってください";
                return std::nullopt;
            }
        }
        protocols.emplace_back(name);
        if (comma == std::string_view::npos) break;
        text.remove_prefix(comma + 1);
    }
    if (AlpnWire(protocols).size() > kListLimit) {
        error = "ALPNのプロトコル名が多すぎます(合わせて65535バイトまで)";
        return std::nullopt;
    }
    return protocols;
}

std::string AlpnWire(const std::vector<std::string> &protocols) {
    std::string wire;
    for (const std::string &name : protocols) {
        wire.push_back(static_cast<char>(name.size()));
        wire += name;
    }
    return wire;
}

} // namespace tarvotcpc
