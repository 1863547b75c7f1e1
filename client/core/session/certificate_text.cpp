#include "session/certificate_text.hpp"

#include "net/addresses.hpp"
#include "tls/trust_pins.hpp"

namespace tarvotcpc {

namespace {

std::string Details(const CertificateInfo &info) {
    return "発行先: " + info.subject + "\n発行者: " + info.issuer +
           "\n有効期間: " + info.notBefore + " から " + info.notAfter +
           "\nSHA-256フィンガープリント:\n" + info.sha256 + "\n";
}

} // namespace

std::string CertificateQuestionText(const CertificateQuestion &question) {
    std::string text = "接続先 " + question.host + ":" + std::to_string(question.port);
    if (!question.peer.empty()) text += " (" + question.peer + ")";
    const std::string &pinned = question.outcome.pinnedSha256;
    if (!pinned.empty()) {
        // Not a first meeting: a changed certificate is what an impostor on the path shows.
        text +=
            " では以前、別の証明書を常に信頼するよう選んでいました。証明書が変わっています。\n\n"
            "信頼していた証明書のSHA-256フィンガープリント:\n" +
            ShownFingerprint(pinned) + "\n今回の証明書のSHA-256フィンガープリント:\n" +
            (question.outcome.Leaf() != nullptr ? question.outcome.Leaf()->sha256
                                                : std::string("(なし)")) +
            "\n\n今回の証明書も確認できませんでした。";
    } else {
        text += " の証明書を確認できませんでした。";
    }
    text += "\n\n理由: " + question.outcome.reason + "\n";
    if (!question.outcome.detail.empty()) text += "(" + question.outcome.detail + ")\n";
    if (const CertificateInfo *leaf = question.outcome.Leaf()) text += "\n" + Details(*leaf);
    text += "\n接続を続けますか? 応答するまで何も送信しません。";
    return text;
}

std::string PinNotSavedText(const std::string &host, const std::string &key,
                            const std::string &path) {
    std::string why;
    if (!IsStorablePinKey(key)) {
        why = "接続先の名前「" + host + "」は設定ファイルに書けない文字を含むため";
    } else if (path.empty()) {
        why = "設定ファイルがないため";
    } else {
        why = "設定ファイル " + path + " に書き込めないため";
    }
    return why + "、この証明書を常に信頼する設定を保存できませんでした。今回だけ接続します。";
}

std::string CertificateChainText(const std::vector<CertificateInfo> &chain) {
    std::string text;
    for (std::size_t i = 0; i < chain.size(); ++i) {
        text += "証明書 " + std::to_string(i + 1) + "/" + std::to_string(chain.size()) + "\n";
        text += Details(chain[i]) + "\n" + chain[i].pem + "\n";
    }
    return text;
}

std::optional<int32_t> ListenPort(std::string_view text) {
    if (text.empty() || text.size() > 5) return std::nullopt;
    int32_t port = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        port = port * 10 + (c - '0');
    }
    if (port > 65535) return std::nullopt;
    return port;
}

bool IsListenAddress(const std::string &text) {
    return !LiteralAddressText(text).empty();
}

} // namespace tarvotcpc
