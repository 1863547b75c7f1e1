#include "session/certificate_text.hpp"

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
    text += " の証明書を確認できませんでした。\n\n理由: " + question.outcome.reason + "\n";
    if (!question.outcome.detail.empty()) text += "(" + question.outcome.detail + ")\n";
    if (const CertificateInfo *leaf = question.outcome.Leaf()) text += "\n" + Details(*leaf);
    text += "\n接続を続けますか? 応答するまで何も送信しません。";
    return text;
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

} // namespace tarvotcpc
