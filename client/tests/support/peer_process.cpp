#include "support/peer_process.hpp"

#include <fcntl.h>
#include <openssl/bn.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/rsa.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <memory>

extern char **environ;

namespace tarvotcpc::testing {

PeerProcess::PeerProcess(const std::vector<std::string> &argv) {
    int outPipe[2];
    int inPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0) return;
    if (pipe2(inPipe, O_CLOEXEC) != 0) {
        close(outPipe[0]);
        close(outPipe[1]);
        return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, inPipe[0], 0);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], 2);
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    if (posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(outPipe[1]);
    close(inPipe[0]);
    out_ = outPipe[0];
    in_ = inPipe[1];
}

PeerProcess::~PeerProcess() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) close(out_);
    if (in_ >= 0) close(in_);
}

void PeerProcess::ReadSome(int timeoutMs) {
    if (out_ < 0) return;
    pollfd p{out_, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) return;
    char buffer[4096];
    const ssize_t got = read(out_, buffer, sizeof buffer);
    if (got > 0) {
        output_.append(buffer, static_cast<std::size_t>(got));
    } else if (got == 0) {
        close(out_);
        out_ = -1;
    }
}

bool PeerProcess::WaitFor(const std::string &needle, std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (output_.find(needle) == std::string::npos) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= end || out_ < 0) return output_.find(needle) != std::string::npos;
        ReadSome(static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(end - now).count() + 1));
    }
    return true;
}

void PeerProcess::Send(const std::string &bytes) {
    if (in_ >= 0) {
        [[maybe_unused]] ssize_t ignored = write(in_, bytes.data(), bytes.size());
    }
}

void PeerProcess::Signal(int signal) {
    if (pid_ > 0) kill(pid_, signal);
}

int PeerProcess::Wait(std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (pid_ > 0) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            while (out_ >= 0)
                ReadSome(100);
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
        }
        if (std::chrono::steady_clock::now() >= end) return -1;
        ReadSome(20);
    }
    return -1;
}

uint16_t PeerProcess::PortAfter(const std::string &prefix) const {
    const std::size_t at = output_.find(prefix);
    if (at == std::string::npos) return 0;
    const std::size_t lineEnd = output_.find('\n', at);
    const std::string line = output_.substr(at, lineEnd - at);
    const std::size_t colon = line.rfind(':');
    return colon == std::string::npos ? 0
                                      : static_cast<uint16_t>(std::stoi(line.substr(colon + 1)));
}

std::string PeerScript() {
    return std::string(TARVOTCPC_TEST_DATA) + "/tls_peer.py";
}

// ---------------------------------------------------------------------------------------------

namespace {

struct Free {
    void operator()(X509 *x) const { X509_free(x); }
    void operator()(EVP_PKEY *k) const { EVP_PKEY_free(k); }
    void operator()(BIO *b) const { BIO_free(b); }
};

std::string Pem(BIO *bio) {
    char *data = nullptr;
    const long n = BIO_get_mem_data(bio, &data);
    return std::string(data, static_cast<std::size_t>(n));
}

void AddExtension(X509 *x, X509 *issuer, int nid, const char *value) {
    X509V3_CTX v3;
    X509V3_set_ctx_nodb(&v3);
    X509V3_set_ctx(&v3, issuer, x, nullptr, nullptr, 0);
    X509_EXTENSION *ext = X509V3_EXT_conf_nid(nullptr, &v3, nid, value);
    X509_add_ext(x, ext, -1);
    X509_EXTENSION_free(ext);
}

// A certificate for key, signed by issuerKey (itself when null), valid from notBefore to
// notAfter seconds from now.
std::unique_ptr<X509, Free> MakeCertificate(EVP_PKEY *key, const std::string &cn, X509 *issuer,
                                            EVP_PKEY *issuerKey, long notBefore, long notAfter,
                                            const char *san, bool ca,
                                            const char *usage = "serverAuth") {
    static long serial = 1000;
    std::unique_ptr<X509, Free> x(X509_new());
    X509_set_version(x.get(), X509_VERSION_3);
    ASN1_INTEGER_set(X509_get_serialNumber(x.get()), ++serial);
    X509_NAME_add_entry_by_txt(X509_get_subject_name(x.get()), "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char *>(cn.c_str()), -1, -1, 0);
    X509_set_issuer_name(x.get(), issuer != nullptr ? X509_get_subject_name(issuer)
                                                    : X509_get_subject_name(x.get()));
    X509_gmtime_adj(X509_getm_notBefore(x.get()), notBefore);
    X509_gmtime_adj(X509_getm_notAfter(x.get()), notAfter);
    X509_set_pubkey(x.get(), key);
    X509 *signer = issuer != nullptr ? issuer : x.get();
    if (ca) {
        AddExtension(x.get(), signer, NID_basic_constraints, "critical,CA:TRUE");
        AddExtension(x.get(), signer, NID_key_usage, "critical,keyCertSign,cRLSign");
    } else {
        AddExtension(x.get(), signer, NID_basic_constraints, "critical,CA:FALSE");
        AddExtension(x.get(), signer, NID_ext_key_usage, usage);
    }
    AddExtension(x.get(), signer, NID_subject_key_identifier, "hash");
    if (san != nullptr) AddExtension(x.get(), signer, NID_subject_alt_name, san);
    X509_sign(x.get(), issuerKey != nullptr ? issuerKey : key, EVP_sha256());
    return x;
}

void WriteText(const std::string &path, const std::string &text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

std::string CertPem(X509 *x) {
    std::unique_ptr<BIO, Free> bio(BIO_new(BIO_s_mem()));
    PEM_write_bio_X509(bio.get(), x);
    return Pem(bio.get());
}

std::string KeyPem(EVP_PKEY *k, const std::string &passphrase = {}) {
    std::unique_ptr<BIO, Free> bio(BIO_new(BIO_s_mem()));
    if (passphrase.empty()) {
        PEM_write_bio_PrivateKey(bio.get(), k, nullptr, nullptr, 0, nullptr, nullptr);
    } else {
        PEM_write_bio_PKCS8PrivateKey(bio.get(), k, EVP_aes_256_cbc(), passphrase.data(),
                                      static_cast<int>(passphrase.size()), nullptr, nullptr);
    }
    return Pem(bio.get());
}

constexpr long kDay = 24 * 60 * 60;
constexpr char kNames[] = "DNS:localhost,IP:127.0.0.1,IP:::1";

} // namespace

TestPki::TestPki(std::string dir) : dir_(std::move(dir)) {
    std::unique_ptr<EVP_PKEY, Free> key(EVP_EC_gen("P-256"));
    auto ca = MakeCertificate(key.get(), "tarvotcpc test CA", nullptr, nullptr, -kDay, 30 * kDay,
                              nullptr, true);
    caFile_ = dir_ + "/ca.pem";
    caCertPem_ = CertPem(ca.get());
    caKeyPem_ = KeyPem(key.get());
    WriteText(caFile_, caCertPem_);
}

std::string TestPki::KeyOf(const std::string &certificatePath) {
    return certificatePath.substr(0, certificatePath.size() - 4) + ".key";
}

std::string TestPki::Make(CertKind kind, const std::string &name) {
    std::unique_ptr<BIO, Free> caCertBio(BIO_new_mem_buf(caCertPem_.data(), -1));
    std::unique_ptr<BIO, Free> caKeyBio(BIO_new_mem_buf(caKeyPem_.data(), -1));
    std::unique_ptr<X509, Free> ca(PEM_read_bio_X509(caCertBio.get(), nullptr, nullptr, nullptr));
    std::unique_ptr<EVP_PKEY, Free> caKey(
        PEM_read_bio_PrivateKey(caKeyBio.get(), nullptr, nullptr, nullptr));
    std::unique_ptr<EVP_PKEY, Free> key(kind == CertKind::RsaLeaf ? EVP_RSA_gen(2048)
                                                                  : EVP_EC_gen("P-256"));
    std::unique_ptr<X509, Free> cert;
    switch (kind) {
    case CertKind::Leaf:
    case CertKind::RsaLeaf:
        cert = MakeCertificate(key.get(), "localhost", ca.get(), caKey.get(), -kDay, 10 * kDay,
                               kNames, false);
        break;
    case CertKind::SelfSigned:
        cert = MakeCertificate(key.get(), "localhost", nullptr, nullptr, -kDay, 10 * kDay, kNames,
                               false);
        break;
    case CertKind::WrongName:
        cert = MakeCertificate(key.get(), "other.invalid", ca.get(), caKey.get(), -kDay, 10 * kDay,
                               "DNS:other.invalid", false);
        break;
    case CertKind::Expired:
        cert = MakeCertificate(key.get(), "localhost", ca.get(), caKey.get(), -10 * kDay, -kDay,
                               kNames, false);
        break;
    }
    const std::string path = dir_ + "/" + name + ".pem";
    WriteText(path, CertPem(cert.get()));
    WriteText(KeyOf(path), KeyPem(key.get()));
    return path;
}

ClientFiles TestPki::MakeClient(const std::string &name, const std::string &passphrase,
                                bool selfSigned) {
    std::unique_ptr<BIO, Free> caCertBio(BIO_new_mem_buf(caCertPem_.data(), -1));
    std::unique_ptr<BIO, Free> caKeyBio(BIO_new_mem_buf(caKeyPem_.data(), -1));
    std::unique_ptr<X509, Free> ca(PEM_read_bio_X509(caCertBio.get(), nullptr, nullptr, nullptr));
    std::unique_ptr<EVP_PKEY, Free> caKey(
        PEM_read_bio_PrivateKey(caKeyBio.get(), nullptr, nullptr, nullptr));
    std::unique_ptr<EVP_PKEY, Free> key(EVP_EC_gen("P-256"));
    auto cert = MakeCertificate(key.get(), "tarvotcpc client", selfSigned ? nullptr : ca.get(),
                                selfSigned ? nullptr : caKey.get(), -kDay, 10 * kDay, nullptr,
                                false, "clientAuth");
    ClientFiles files;
    files.certificate = dir_ + "/" + name + ".pem";
    files.key = dir_ + "/" + name + ".key";
    files.combined = dir_ + "/" + name + "-both.pem";
    files.pkcs12 = dir_ + "/" + name + ".p12";
    const std::string keyPem = KeyPem(key.get(), passphrase);
    WriteText(files.certificate, CertPem(cert.get()));
    WriteText(files.key, keyPem);
    WriteText(files.combined, CertPem(cert.get()) + keyPem);
    STACK_OF(X509) *chain = sk_X509_new_null();
    sk_X509_push(chain, ca.get());
    PKCS12 *p12 = PKCS12_create(passphrase.empty() ? nullptr : passphrase.c_str(),
                                "tarvotcpc client", key.get(), cert.get(), chain, 0, 0, 0, 0, 0);
    sk_X509_free(chain);
    std::unique_ptr<BIO, Free> out(BIO_new(BIO_s_mem()));
    i2d_PKCS12_bio(out.get(), p12);
    PKCS12_free(p12);
    WriteText(files.pkcs12, Pem(out.get()));
    return files;
}

} // namespace tarvotcpc::testing
