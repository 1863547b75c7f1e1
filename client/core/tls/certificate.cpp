#include "tls/certificate.hpp"

#include "tls/openssl_text.hpp"

#include "text/utf8_char.hpp"

#include <openssl/bn.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <ctime>

namespace tarvotcpc {

namespace {

// A name as the dialogs show it: RFC 2253's form, with characters beyond ASCII as they are rather
// than escaped. OpenSSL escapes C0 controls but not DEL, the C1 controls (a CSI, U+009B, would
// reach a terminal as an escape sequence) or bytes that are not UTF-8: the peer writes its
// certificate, so those are escaped here, each byte as RFC 2253 writes one ("\C2\9B").
std::string NameText(const X509_NAME *name) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || name == nullptr) return {};
    X509_NAME_print_ex(bio.get(), name, 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB);
    const std::string raw = BioText(bio.get());
    std::string text;
    for (std::size_t at = 0; at < raw.size();) {
        char32_t code = 0;
        const std::size_t length = Utf8CharLength(raw, at, &code);
        if (length > 0 && code >= 0x20 && !(code >= 0x7f && code <= 0x9f)) {
            text.append(raw, at, length);
            at += length;
            continue;
        }
        for (const std::size_t end = at + std::max<std::size_t>(length, 1); at < end; ++at) {
            constexpr char kHex[] = "0123456789ABCDEF";
            const auto byte = static_cast<unsigned char>(raw[at]);
            text += {'\\', kHex[byte >> 4], kHex[byte & 0xf]};
        }
    }
    return text;
}

std::string TimeText(const ASN1_TIME *time) {
    std::tm tm{};
    if (time == nullptr || ASN1_TIME_to_tm(time, &tm) != 1) return {};
    char buffer[64];
    std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S UTC", &tm);
    return buffer;
}

std::string ColonHex(const unsigned char *bytes, unsigned length) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (unsigned i = 0; i < length; ++i) {
        if (i > 0) text.push_back(':');
        text.push_back(kDigits[bytes[i] >> 4]);
        text.push_back(kDigits[bytes[i] & 15]);
    }
    return text;
}

} // namespace

CertificateInfo DescribeCertificate(X509 *certificate) {
    CertificateInfo info;
    if (certificate == nullptr) return info;
    info.subject = NameText(X509_get_subject_name(certificate));
    info.issuer = NameText(X509_get_issuer_name(certificate));
    info.notBefore = TimeText(X509_get0_notBefore(certificate));
    info.notAfter = TimeText(X509_get0_notAfter(certificate));
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned length = 0;
    if (X509_digest(certificate, EVP_sha256(), digest, &length) == 1) {
        info.sha256 = ColonHex(digest, length);
    }
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (bio && PEM_write_bio_X509(bio.get(), certificate) == 1) info.pem = BioText(bio.get());
    return info;
}

std::shared_ptr<const TlsServerIdentity>
TlsServerIdentity::LoadFiles(const std::string &certificatePath, const std::string &keyPath,
                             std::string &error) {
    auto id = std::make_shared<TlsServerIdentity>();
    BioPtr certs(BIO_new_file(certificatePath.c_str(), "r"));
    if (!certs) {
        error = "証明書ファイルを開けません: " + certificatePath;
        OpenSslReason();
        return nullptr;
    }
    id->leaf_.reset(PEM_read_bio_X509(certs.get(), nullptr, nullptr, nullptr));
    if (!id->leaf_) {
        error = "証明書ファイルにPEM形式の証明書がありません: " + certificatePath;
        OpenSslReason();
        return nullptr;
    }
    while (X509 *extra = PEM_read_bio_X509(certs.get(), nullptr, nullptr, nullptr)) {
        id->chain_.emplace_back(extra);
    }
    OpenSslReason(); // the end of the file shows as an error
    BioPtr key(BIO_new_file(keyPath.c_str(), "r"));
    if (!key) {
        error = "秘密鍵ファイルを開けません: " + keyPath;
        OpenSslReason();
        return nullptr;
    }
    id->key_.reset(PEM_read_bio_PrivateKey(key.get(), nullptr, nullptr, nullptr));
    if (!id->key_) {
        error = "秘密鍵ファイルを読めません(暗号化されていないPEM形式の鍵が必要です): " +
                OpenSslReason();
        return nullptr;
    }
    if (X509_check_private_key(id->leaf_.get(), id->key_.get()) != 1) {
        error = "秘密鍵が証明書と対になっていません";
        OpenSslReason();
        return nullptr;
    }
    id->info_ = DescribeCertificate(id->leaf_.get());
    return id;
}

std::shared_ptr<const TlsServerIdentity> TlsServerIdentity::Generate(std::string &error) {
    auto id = std::make_shared<TlsServerIdentity>();
    auto failed = [&error]() -> std::shared_ptr<const TlsServerIdentity> {
        error = "テスト用の証明書を作成できませんでした: " + OpenSslReason();
        return nullptr;
    };
    id->key_.reset(EVP_EC_gen("P-256"));
    id->leaf_.reset(X509_new());
    if (!id->key_ || !id->leaf_) return failed();
    X509 *x = id->leaf_.get();
    unsigned char serial[16];
    if (RAND_bytes(serial, sizeof serial) != 1) return failed();
    serial[0] &= 0x7f; // a positive serial number
    std::unique_ptr<BIGNUM, decltype(&BN_free)> number(BN_bin2bn(serial, sizeof serial, nullptr),
                                                       BN_free);
    if (!number || !BN_to_ASN1_INTEGER(number.get(), X509_get_serialNumber(x))) return failed();
    X509_NAME *name = X509_get_subject_name(x);
    if (X509_set_version(x, X509_VERSION_3) != 1 ||
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char *>("tarvotcpc"), -1, -1,
                                   0) != 1 ||
        X509_set_issuer_name(x, name) != 1 ||
        X509_gmtime_adj(X509_getm_notBefore(x), -60) == nullptr ||
        X509_gmtime_adj(X509_getm_notAfter(x), 30L * 24 * 60 * 60) == nullptr ||
        X509_set_pubkey(x, id->key_.get()) != 1) {
        return failed();
    }
    X509V3_CTX v3;
    X509V3_set_ctx_nodb(&v3);
    X509V3_set_ctx(&v3, x, x, nullptr, nullptr, 0);
    const char *const extensions[][2] = {
        {"subjectAltName", "DNS:localhost,IP:127.0.0.1,IP:::1"},
        {"basicConstraints", "critical,CA:FALSE"},
        {"extendedKeyUsage", "serverAuth"},
    };
    for (const auto &e : extensions) {
        X509_EXTENSION *ext = X509V3_EXT_conf_nid(nullptr, &v3, OBJ_sn2nid(e[0]), e[1]);
        if (ext == nullptr) return failed();
        const int added = X509_add_ext(x, ext, -1);
        X509_EXTENSION_free(ext);
        if (added != 1) return failed();
    }
    if (X509_sign(x, id->key_.get(), EVP_sha256()) <= 0) return failed();
    id->info_ = DescribeCertificate(x);
    return id;
}

std::string TlsServerIdentity::KeyPem() const {
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_PrivateKey(bio.get(), key_.get(), nullptr, nullptr, 0, nullptr,
                                         nullptr) != 1) {
        return {};
    }
    return BioText(bio.get());
}

} // namespace tarvotcpc
