#include "tls/client_identity.hpp"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>

#include <cstdio>
#include <cstring>

namespace tarvotcpc {

namespace {

using Status = TlsClientIdentity::Status;
using Loading = TlsClientIdentity::Loading;

// Certificates and keys are a few kilobytes; anything far larger is some other file.
constexpr std::size_t kFileLimit = 4 * 1024 * 1024;

struct BioFree {
    void operator()(BIO *b) const { BIO_free(b); }
};
using BioPtr = std::unique_ptr<BIO, BioFree>;

// The first error queued on this thread, and the queue emptied.
std::string OpenSslReason() {
    std::string text;
    unsigned long code;
    while ((code = ERR_get_error()) != 0) {
        if (!text.empty()) continue;
        char buffer[256];
        const char *reason = ERR_reason_error_string(code);
        if (reason == nullptr) {
            ERR_error_string_n(code, buffer, sizeof buffer);
            reason = buffer;
        }
        text = reason;
    }
    return text.empty() ? std::string("不明な理由") : text;
}

Loading Failure(std::string text) {
    Loading loading;
    loading.status = Status::Failed;
    loading.text = std::move(text);
    ERR_clear_error();
    return loading;
}

Loading Asking(Status status, const std::string &file) {
    Loading loading;
    loading.status = status;
    loading.text = file;
    ERR_clear_error();
    return loading;
}

bool ReadSmallFile(const std::string &path, std::string &bytes, std::string &error) {
    std::unique_ptr<FILE, int (*)(FILE *)> file(std::fopen(path.c_str(), "rbe"), std::fclose);
    if (!file) {
        error = std::strerror(errno);
        return false;
    }
    bytes.clear();
    char buffer[16384];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file.get())) > 0) {
        bytes.append(buffer, n);
        if (bytes.size() > kFileLimit) {
            error = "ファイルが大きすぎます";
            return false;
        }
    }
    if (std::ferror(file.get())) {
        error = std::strerror(errno);
        return false;
    }
    return true;
}

struct PassphraseUse {
    const std::optional<std::string> *passphrase;
    bool asked = false;
};

int GivePassphrase(char *buffer, int size, int, void *data) {
    auto *use = static_cast<PassphraseUse *>(data);
    use->asked = true;
    if (!use->passphrase->has_value()) return -1;
    const std::string &passphrase = **use->passphrase;
    if (passphrase.size() > static_cast<std::size_t>(size)) return -1;
    std::memcpy(buffer, passphrase.data(), passphrase.size());
    return static_cast<int>(passphrase.size());
}

// The PEM block of a private key in text, whatever its kind (PKCS#8, encrypted or not, or an
// RSA or EC key of the older forms), with what follows it; empty when there is none.
std::string_view KeyBlock(std::string_view text) {
    for (std::size_t at = text.find("-----BEGIN "); at != std::string_view::npos;
         at = text.find("-----BEGIN ", at + 1)) {
        const std::size_t end = text.find("-----", at + 11);
        if (end == std::string_view::npos) break;
        if (text.substr(at, end - at).ends_with("PRIVATE KEY")) return text.substr(at);
    }
    return {};
}

} // namespace

Loading TlsClientIdentity::LoadFiles(const std::string &certificatePath, const std::string &keyPath,
                                     const std::optional<std::string> &passphrase) {
    ERR_clear_error();
    std::string certificateBytes;
    std::string reason;
    if (!ReadSmallFile(certificatePath, certificateBytes, reason))
        return Failure("クライアント証明書ファイルを読めません: " + certificatePath + " (" +
                       reason + ")");
    auto id = std::shared_ptr<TlsClientIdentity>(new TlsClientIdentity());
    const bool pem = certificateBytes.find("-----BEGIN ") != std::string::npos;
    if (pem) {
        BioPtr certificates(
            BIO_new_mem_buf(certificateBytes.data(), static_cast<int>(certificateBytes.size())));
        id->leaf_.reset(PEM_read_bio_X509(certificates.get(), nullptr, nullptr, nullptr));
        if (!id->leaf_)
            return Failure("クライアント証明書ファイルにPEM形式の証明書がありません: " +
                           certificatePath);
        while (X509 *extra = PEM_read_bio_X509(certificates.get(), nullptr, nullptr, nullptr))
            id->chain_.emplace_back(extra);
        ERR_clear_error(); // the end of the text shows as an error

        std::string keyBytes;
        const std::string &keyFile = keyPath.empty() ? certificatePath : keyPath;
        if (keyPath.empty()) {
            keyBytes = certificateBytes;
        } else if (!ReadSmallFile(keyPath, keyBytes, reason)) {
            return Failure("秘密鍵ファイルを読めません: " + keyPath + " (" + reason + ")");
        }
        const std::string_view block = KeyBlock(keyBytes);
        if (block.empty()) {
            return Failure(keyPath.empty()
                               ? "証明書ファイルに秘密鍵がありません。秘密鍵ファイルも指定してく"
                                 "ださい: " +
                                     certificatePath
                               : "秘密鍵ファイルにPEM形式の秘密鍵がありません: " + keyPath);
        }
        BioPtr key(BIO_new_mem_buf(block.data(), static_cast<int>(block.size())));
        PassphraseUse use{&passphrase};
        id->key_.reset(PEM_read_bio_PrivateKey(key.get(), nullptr, GivePassphrase, &use));
        if (!id->key_) {
            if (use.asked)
                return Asking(passphrase ? Status::WrongPassphrase : Status::NeedsPassphrase,
                              keyFile);
            return Failure("秘密鍵を読めません: " + keyFile + " (" + OpenSslReason() + ")");
        }
    } else {
        if (!keyPath.empty())
            return Failure("PKCS#12ファイルには秘密鍵も入っているため、秘密鍵ファイルは指定しないで"
                           "ください");
        BioPtr bio(
            BIO_new_mem_buf(certificateBytes.data(), static_cast<int>(certificateBytes.size())));
        std::unique_ptr<PKCS12, decltype(&PKCS12_free)> p12(d2i_PKCS12_bio(bio.get(), nullptr),
                                                            PKCS12_free);
        if (!p12)
            return Failure("クライアント証明書ファイルを読めません(PEM形式かPKCS#12形式の証明書が"
                           "必要です): " +
                           certificatePath);
        // A file without a passphrase is protected by the empty one, which tools write either
        // as no password at all or as an empty one.
        const char *open = nullptr;
        if (PKCS12_mac_present(p12.get())) {
            if (passphrase) {
                if (PKCS12_verify_mac(p12.get(), passphrase->c_str(),
                                      static_cast<int>(passphrase->size())) != 1)
                    return Asking(Status::WrongPassphrase, certificatePath);
                open = passphrase->c_str();
            } else if (PKCS12_verify_mac(p12.get(), "", 0) == 1) {
                open = "";
            } else if (PKCS12_verify_mac(p12.get(), nullptr, 0) != 1) {
                return Asking(Status::NeedsPassphrase, certificatePath);
            }
        } else if (passphrase) {
            open = passphrase->c_str();
        }
        EVP_PKEY *key = nullptr;
        X509 *leaf = nullptr;
        STACK_OF(X509) *others = nullptr;
        // The passphrase is right by now: a failure here is an algorithm this OpenSSL lacks.
        if (PKCS12_parse(p12.get(), open, &key, &leaf, &others) != 1)
            return Failure("PKCS#12ファイルを復号できません: " + certificatePath + " (" +
                           OpenSslReason() + ")");
        id->key_.reset(key);
        id->leaf_.reset(leaf);
        for (int i = 0; others != nullptr && i < sk_X509_num(others); ++i)
            id->chain_.emplace_back(sk_X509_value(others, i));
        sk_X509_free(others);
        if (!id->key_ || !id->leaf_)
            return Failure("PKCS#12ファイルに証明書と秘密鍵がそろっていません: " + certificatePath);
    }
    if (X509_check_private_key(id->leaf_.get(), id->key_.get()) != 1)
        return Failure("クライアント証明書の秘密鍵が証明書と対になっていません");
    ERR_clear_error();
    id->info_ = DescribeCertificate(id->leaf_.get());
    Loading loading;
    loading.status = Status::Loaded;
    loading.identity = std::move(id);
    return loading;
}

} // namespace tarvotcpc
