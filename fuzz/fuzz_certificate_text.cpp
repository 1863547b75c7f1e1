// A peer's certificate, which the peer controls byte for byte, as the certificate dialogs show it:
// whatever its names hold, the details are UTF-8 with no control character a dialog or a terminal
// would act on (line breaks only where the text puts them), and the fingerprint is the 32 bytes
// of a SHA-256 digest.
#include "formats_check.hpp"

#include <openssl/x509.h>

#include <string>
#include <vector>

#include "session/certificate_text.hpp"
#include "text/utf8_char.hpp"
#include "tls/tls_session.hpp"
#include "tls/trust_pins.hpp"

namespace {

void CheckShown(const std::string &text, bool lineBreaks) {
    for (std::size_t at = 0; at < text.size();) {
        char32_t code = 0;
        const std::size_t length = tarvotcpc::Utf8CharLength(text, at, &code);
        FUZZ_CHECK(length > 0);
        FUZZ_CHECK(!(code < 0x20 && !(lineBreaks && code == '\n')));
        FUZZ_CHECK(!(code >= 0x7f && code <= 0x9f));
        at += length;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const unsigned char *p = data;
    X509 *certificate = d2i_X509(nullptr, &p, static_cast<long>(size));
    if (certificate == nullptr) return 0;
    const tarvotcpc::CertificateInfo info = tarvotcpc::DescribeCertificate(certificate);
    X509_free(certificate);
    CheckShown(info.subject, false);
    CheckShown(info.issuer, false);
    FUZZ_CHECK(tarvotcpc::SameFingerprint(info.sha256, info.sha256));

    tarvotcpc::CertificateQuestion question;
    question.host = "example.org";
    question.port = 443;
    question.peer = "192.0.2.1:443";
    question.outcome.chain = {info};
    CheckShown(tarvotcpc::CertificateQuestionText(question), true);
    CheckShown(tarvotcpc::CertificateChainText({info, info}), true);
    return 0;
}
