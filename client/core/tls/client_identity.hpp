// The certificate a client shows a server that asks for one, with its key: PEM files or a
// PKCS#12 file, with a passphrase when the key is encrypted.
#pragma once

#include <openssl/ssl.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tls/tls_session.hpp"

namespace tarvotcpc {

class TlsClientIdentity {
  public:
    enum class Status {
        Loaded,
        NeedsPassphrase, // the key is encrypted and no passphrase was given
        WrongPassphrase, // the passphrase given does not open it
        Failed,          // anything else: text says why
    };
    struct Loading {
        Status status = Status::Failed;
        std::shared_ptr<const TlsClientIdentity> identity; // with Loaded
        // Failed: the reason. NeedsPassphrase and WrongPassphrase: the file the passphrase opens.
        std::string text;
    };

    // certificatePath is PEM (the certificate, then any intermediates, and the key too when
    // keyPath is empty) or PKCS#12 (certificate, key and intermediates; keyPath must be empty).
    // An empty passphrase opens a PKCS#12 file without one.
    static Loading LoadFiles(const std::string &certificatePath, const std::string &keyPath,
                             const std::optional<std::string> &passphrase);

    const CertificateInfo &Certificate() const { return info_; }

  private:
    friend class TlsSession;
    std::unique_ptr<X509, TlsServerIdentity::X509Free> leaf_;
    std::vector<std::unique_ptr<X509, TlsServerIdentity::X509Free>> chain_;
    std::unique_ptr<EVP_PKEY, TlsServerIdentity::PKeyFree> key_;
    CertificateInfo info_;
};

} // namespace tarvotcpc
