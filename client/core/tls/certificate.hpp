// A certificate as the dialogs show it, and the certificate and key the listening side presents.
#pragma once

#include <openssl/x509.h>

#include <memory>
#include <string>
#include <vector>

namespace tarvotcpc {

struct CertificateInfo {
    std::string subject; // RFC 2253 form, UTF-8
    std::string issuer;
    std::string notBefore; // "2026-12-08 22:45:00 UTC"
    std::string notAfter;
    std::string sha256; // "AB:CD:..." (32 bytes, upper-case hex)
    std::string pem;
};

// Certificate details of a certificate (for the dialog and the listening side's fingerprint).
CertificateInfo DescribeCertificate(X509 *certificate);

// A certificate and key for the listening side.
class TlsServerIdentity {
  public:
    // A PEM certificate file (the leaf, then any intermediates) and a PEM key file.
    static std::shared_ptr<const TlsServerIdentity>
    LoadFiles(const std::string &certificatePath, const std::string &keyPath, std::string &error);
    // A self-signed EC P-256 certificate for CN "tarvotcpc" (also naming localhost, 127.0.0.1 and
    // ::1), valid for 30 days, made in memory for testing.
    static std::shared_ptr<const TlsServerIdentity> Generate(std::string &error);

    const CertificateInfo &Certificate() const { return info_; }
    // The key as PEM, so that a generated identity can be saved.
    std::string KeyPem() const;

    struct X509Free {
        void operator()(X509 *x) const { X509_free(x); }
    };
    struct PKeyFree {
        void operator()(EVP_PKEY *k) const { EVP_PKEY_free(k); }
    };

  private:
    friend class TlsSession;
    std::unique_ptr<X509, X509Free> leaf_;
    std::vector<std::unique_ptr<X509, X509Free>> chain_;
    std::unique_ptr<EVP_PKEY, PKeyFree> key_;
    CertificateInfo info_;
};

} // namespace tarvotcpc
