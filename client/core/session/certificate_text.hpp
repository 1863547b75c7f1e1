// The texts of the certificate dialogs: why a certificate failed and what it says, and the peer's
// chain.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "session/controller.hpp"
#include "tls/tls_session.hpp"

namespace tarvotcpc {

// The question's body: the destination, the reason, then subject, issuer, validity and SHA-256
// fingerprint of the peer's certificate.
std::string CertificateQuestionText(const CertificateQuestion &question);

// "Always trust" could not keep the pin: why, and that the connection goes on this once. key is
// the pin's key for host, path the settings file.
std::string PinNotSavedText(const std::string &host, const std::string &key,
                            const std::string &path);

// Every certificate of a chain, leaf first: its details and its PEM.
std::string CertificateChainText(const std::vector<CertificateInfo> &chain);

// The listen dialog's port: decimal 0 to 65535 (0: the system chooses); none otherwise.
std::optional<int32_t> ListenPort(std::string_view text);
inline constexpr char kListenPortText[] =
    "待ち受けるポート番号を0から65535の数字で入力してください";
// The listen dialog's own address: one that connecting would read as an address.
bool IsListenAddress(const std::string &text);
inline constexpr char kListenAddressText[] =
    "待ち受けるアドレスを数字で入力してください(例: 192.168.1.10、::1)";

} // namespace tarvotcpc
