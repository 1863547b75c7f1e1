#include "tls/tls_session.hpp"

#include "tls/client_identity.hpp"
#include "tls/key_log.hpp"
#include "tls/trust_pins.hpp"

#include "net/addresses.hpp"
#include "text/utf8_char.hpp"

#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

namespace tarvotcpc {

namespace {

using Clock = std::chrono::steady_clock;

struct BioFree {
    void operator()(BIO *b) const { BIO_free(b); }
};
using BioPtr = std::unique_ptr<BIO, BioFree>;

std::string BioText(BIO *bio) {
    char *data = nullptr;
    const long length = BIO_get_mem_data(bio, &data);
    return length > 0 ? std::string(data, static_cast<std::size_t>(length)) : std::string();
}

struct OpenSslError {
    unsigned long code = 0;
    std::string text;
    bool Is(int reason) const {
        return code != 0 && ERR_GET_LIB(code) == ERR_LIB_SSL && ERR_GET_REASON(code) == reason;
    }
};

// The first error queued on this thread, and the queue emptied.
OpenSslError TakeOpenSslError() {
    OpenSslError first;
    unsigned long code;
    while ((code = ERR_get_error()) != 0) {
        if (first.code != 0) continue;
        first.code = code;
        const char *text = ERR_reason_error_string(code);
        char buffer[256];
        if (text == nullptr) {
            ERR_error_string_n(code, buffer, sizeof buffer);
            text = buffer;
        }
        first.text = text;
    }
    return first;
}

std::string OpenSslReason() {
    return TakeOpenSslError().text;
}

std::string VersionName(int version) {
    switch (version) {
    case SSL3_VERSION:
        return "SSL 3.0";
    case TLS1_VERSION:
        return "TLS 1.0";
    case TLS1_1_VERSION:
        return "TLS 1.1";
    case TLS1_2_VERSION:
        return "TLS 1.2";
    case TLS1_3_VERSION:
        return "TLS 1.3";
    default:
        return "不明な版";
    }
}

bool IsVersionRefusal(const OpenSslError &error) {
    return error.Is(SSL_R_UNSUPPORTED_PROTOCOL) || error.Is(SSL_R_TLSV1_ALERT_PROTOCOL_VERSION) ||
           error.Is(SSL_R_WRONG_SSL_VERSION) || error.Is(SSL_R_VERSION_TOO_LOW);
}

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

// The socket BIO writes with write(2), which raises SIGPIPE on a connection the peer reset and
// ends the whole program; this one sends with MSG_NOSIGNAL like the clear-text path.
int BioWrite(BIO *bio, const char *data, int length) {
    const int fd = static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(bio)));
    BIO_clear_retry_flags(bio);
    const ssize_t sent = send(fd, data, static_cast<std::size_t>(length), MSG_NOSIGNAL);
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        BIO_set_retry_write(bio);
    }
    return static_cast<int>(sent);
}

int BioRead(BIO *bio, char *data, int length) {
    const int fd = static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(bio)));
    BIO_clear_retry_flags(bio);
    if (fd < 0) { // reads held (HoldReading): as an empty socket
        BIO_set_retry_read(bio);
        return -1;
    }
    const ssize_t got = recv(fd, data, static_cast<std::size_t>(length), 0);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        BIO_set_retry_read(bio);
    }
    return static_cast<int>(got);
}

long BioCtrl(BIO *, int command, long, void *) {
    return command == BIO_CTRL_FLUSH ? 1 : 0;
}

int BioPuts(BIO *bio, const char *text) {
    return BioWrite(bio, text, static_cast<int>(std::strlen(text)));
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

VerifyFailure Classify(int error) {
    switch (error) {
    case X509_V_OK:
        return VerifyFailure::None;
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_CERT_UNTRUSTED:
        return VerifyFailure::UnknownIssuer;
    case X509_V_ERR_CERT_HAS_EXPIRED:
        return VerifyFailure::Expired;
    case X509_V_ERR_CERT_NOT_YET_VALID:
        return VerifyFailure::NotYetValid;
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
        return VerifyFailure::WrongName;
    default:
        return VerifyFailure::Other;
    }
}

// What both sides share. An SSL takes the context's settings when it is made, so the context is
// complete before SSL_new.
bool SetCommon(SSL_CTX *ctx) {
    // No SSL_OP_IGNORE_UNEXPECTED_EOF: a stream cut without close_notify must not read as closed.
    SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION);
    SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    return SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION) == 1 &&
           SSL_CTX_set_max_proto_version(ctx, TLS1_3_VERSION) == 1;
}

} // namespace

short PollEventsFor(TlsStatus status) {
    if (status == TlsStatus::WantRead) return POLLIN;
    if (status == TlsStatus::WantWrite) return POLLOUT;
    return 0;
}

std::string VerifyFailureText(VerifyFailure failure) {
    switch (failure) {
    case VerifyFailure::None:
        return {};
    case VerifyFailure::UnknownIssuer:
        return "証明書の発行者が信頼されていません(自己署名証明書または不明な認証局)";
    case VerifyFailure::Expired:
        return "証明書の有効期限が切れています";
    case VerifyFailure::NotYetValid:
        return "証明書の有効期間がまだ始まっていません";
    case VerifyFailure::WrongName:
        return "証明書が接続先の名前と一致しません";
    case VerifyFailure::Other:
        break;
    }
    return "証明書を検証できませんでした";
}

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

// ---------------------------------------------------------------------------------------------

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

// ---------------------------------------------------------------------------------------------

TlsSession::~TlsSession() {
    SSL_free(ssl_); // frees the BIO too
    SSL_CTX_free(ctx_);
    BIO_meth_free(method_);
}

// The context is complete by now: the SSL made here takes its settings from it.
bool TlsSession::Setup(std::string &error) {
    deadline_ = Clock::now() + timeout_;
    // A method of this session's own rather than one shared by all: nothing global to set up.
    method_ = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "tarvotcpc socket");
    if (method_ == nullptr || BIO_meth_set_write(method_, BioWrite) != 1 ||
        BIO_meth_set_read(method_, BioRead) != 1 || BIO_meth_set_puts(method_, BioPuts) != 1 ||
        BIO_meth_set_ctrl(method_, BioCtrl) != 1) {
        error = "TLSを準備できませんでした: " + OpenSslReason();
        return false;
    }
    // Read when a secret is made: a session without a key log writes nothing.
    SSL_CTX_set_keylog_callback(ctx_, &TlsSession::KeyLogCallback);
    ssl_ = SSL_new(ctx_);
    BIO *bio = BIO_new(method_);
    if (ssl_ == nullptr || bio == nullptr) {
        BIO_free(bio);
        error = "TLSを準備できませんでした: " + OpenSslReason();
        return false;
    }
    BIO_set_data(bio, reinterpret_cast<void *>(static_cast<intptr_t>(fd_)));
    BIO_set_init(bio, 1);
    SSL_set_bio(ssl_, bio, bio);
    SSL_set_msg_callback(ssl_, &TlsSession::MessageCallback);
    SSL_set_msg_callback_arg(ssl_, this);
    SSL_set_app_data(ssl_, this);
    return true;
}

std::unique_ptr<TlsSession> TlsSession::Client(int fd, const TlsClientOptions &options,
                                               std::string &error) {
    if (options.host.empty()) {
        // Without a name any certificate from a trusted CA would pass for this peer.
        error = "TLSの接続先の名前がありません";
        return nullptr;
    }
    std::unique_ptr<TlsSession> session(new TlsSession());
    session->fd_ = fd;
    session->client_ = true;
    session->timeout_ = options.handshakeTimeout;
    session->pinnedSha256_ = options.pinnedSha256;
    ERR_clear_error();
    SSL_CTX *ctx = session->ctx_ = SSL_CTX_new(TLS_client_method());
    if (ctx == nullptr || !SetCommon(ctx)) {
        error = "TLSを準備できませんでした: " + OpenSslReason();
        return nullptr;
    }
    const bool ownAnchors = !options.caFile.empty() || !options.caPath.empty();
    const int loaded = ownAnchors
                           ? SSL_CTX_load_verify_locations(
                                 ctx, options.caFile.empty() ? nullptr : options.caFile.c_str(),
                                 options.caPath.empty() ? nullptr : options.caPath.c_str())
                           : SSL_CTX_set_default_verify_paths(ctx);
    if (loaded != 1) {
        error = "信頼する証明書を読み込めませんでした: " + OpenSslReason();
        return nullptr;
    }
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    SSL_CTX_set_cert_verify_callback(ctx, &TlsSession::VerifyCallback, session.get());
    if (options.identity) {
        const TlsClientIdentity &id = *options.identity;
        bool ok = SSL_CTX_use_certificate(ctx, id.leaf_.get()) == 1 &&
                  SSL_CTX_use_PrivateKey(ctx, id.key_.get()) == 1;
        for (const auto &extra : id.chain_)
            ok = ok && SSL_CTX_add1_chain_cert(ctx, extra.get()) == 1;
        if (!ok) {
            error = "クライアント証明書を設定できませんでした: " + OpenSslReason();
            return nullptr;
        }
    }
    if (!options.alpn.empty()) {
        const std::string wire = AlpnWire(options.alpn);
        // 0 is success here, unlike the rest of the API.
        if (SSL_CTX_set_alpn_protos(ctx, reinterpret_cast<const unsigned char *>(wire.data()),
                                    static_cast<unsigned>(wire.size())) != 0) {
            error = "ALPNを設定できませんでした: " + OpenSslReason();
            return nullptr;
        }
        session->alpnOffered_ = true;
    }
    session->keyLog_ = options.keyLog;
    if (!session->Setup(error)) return nullptr;
    SSL *ssl = session->ssl_;
    // A name the user chose is both sent and checked: the server was asked for its certificate.
    // Otherwise a host connected to as an address ("127.1" too) is checked as that address, with
    // no SNI, as a server name is never an address.
    const ServerNameChoice &named = options.serverName;
    const std::string address = LiteralAddressText(options.host);
    bool ok = true;
    if (named.kind == ServerNameChoice::Kind::Name) {
        ok = SSL_set1_host(ssl, named.name.c_str()) == 1 &&
             SSL_set_tlsext_host_name(ssl, named.name.c_str()) == 1;
    } else if (!address.empty()) {
        ok = X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), address.c_str()) == 1;
    } else {
        ok = SSL_set1_host(ssl, options.host.c_str()) == 1 &&
             (named.kind == ServerNameChoice::Kind::None ||
              SSL_set_tlsext_host_name(ssl, options.host.c_str()) == 1);
    }
    if (!ok) {
        error = "TLSを準備できませんでした: " + OpenSslReason();
        return nullptr;
    }
    SSL_set_connect_state(ssl);
    return session;
}

std::unique_ptr<TlsSession> TlsSession::Server(int fd,
                                               std::shared_ptr<const TlsServerIdentity> identity,
                                               std::chrono::milliseconds handshakeTimeout,
                                               std::string &error) {
    std::unique_ptr<TlsSession> session(new TlsSession());
    session->fd_ = fd;
    session->client_ = false;
    session->timeout_ = handshakeTimeout;
    session->identity_ = std::move(identity);
    ERR_clear_error();
    SSL_CTX *ctx = session->ctx_ = SSL_CTX_new(TLS_server_method());
    if (ctx == nullptr || !SetCommon(ctx)) {
        error = "TLSを準備できませんでした: " + OpenSslReason();
        return nullptr;
    }
    const TlsServerIdentity &id = *session->identity_;
    bool ok = SSL_CTX_use_certificate(ctx, id.leaf_.get()) == 1 &&
              SSL_CTX_use_PrivateKey(ctx, id.key_.get()) == 1;
    for (const auto &extra : id.chain_)
        ok = ok && SSL_CTX_add1_chain_cert(ctx, extra.get()) == 1;
    if (!ok) {
        error = "TLSの証明書を設定できませんでした: " + OpenSslReason();
        return nullptr;
    }
    if (!session->Setup(error)) return nullptr;
    SSL_set_accept_state(session->ssl_);
    return session;
}

int TlsSession::VerifyCallback(X509_STORE_CTX *store, void *arg) {
    return static_cast<TlsSession *>(arg)->Verify(store);
}

int TlsSession::Verify(X509_STORE_CTX *store) {
    // Called again when a paused handshake goes on.
    if (accepted_) return 1;
    const int verified = X509_verify_cert(store);
    const int error = X509_STORE_CTX_get_error(store);
    outcome_ = VerifyOutcome();
    STACK_OF(X509) *shown =
        verified == 1 ? X509_STORE_CTX_get0_chain(store) : X509_STORE_CTX_get0_untrusted(store);
    for (int i = 0; shown != nullptr && i < sk_X509_num(shown); ++i) {
        outcome_.chain.push_back(DescribeCertificate(sk_X509_value(shown, i)));
    }
    if (outcome_.chain.empty()) {
        outcome_.chain.push_back(DescribeCertificate(X509_STORE_CTX_get0_cert(store)));
    }
    if (verified == 1) return 1;
    outcome_.failure = Classify(error);
    if (outcome_.failure == VerifyFailure::None) outcome_.failure = VerifyFailure::Other;
    outcome_.reason = VerifyFailureText(outcome_.failure);
    outcome_.detail = X509_verify_cert_error_string(error);
    if (!pinnedSha256_.empty() && outcome_.Leaf() != nullptr &&
        SameFingerprint(pinnedSha256_, outcome_.Leaf()->sha256)) {
        outcome_.pinned = true;
        accepted_ = true;
        return 1;
    }
    outcome_.pinnedSha256 = pinnedSha256_;
    // Pause here: the handshake stops before the client's next flight, and SSL_connect returns
    // with SSL_ERROR_WANT_RETRY_VERIFY until it is called again.
    SSL *ssl =
        static_cast<SSL *>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    if (ssl != nullptr && SSL_set_retry_verify(ssl)) {
        state_ = State::AwaitingDecision;
        return 1;
    }
    return 0;
}

namespace {

// Whether a Certificate message this side wrote carries a certificate: a client without one
// answers a request with an empty list. TLS 1.3 puts a request context before the list.
bool CarriesCertificate(const unsigned char *message, std::size_t length, bool tls13) {
    std::size_t at = 4;
    if (tls13) {
        if (length < at + 1) return false;
        at += 1 + message[at];
    }
    if (length < at + 3) return false;
    return (message[at] | message[at + 1] | message[at + 2]) != 0;
}

} // namespace

void TlsSession::MessageCallback(int writing, int, int contentType, const void *bytes,
                                 std::size_t length, SSL *ssl, void *arg) {
    auto *session = static_cast<TlsSession *>(arg);
    const auto *message = static_cast<const unsigned char *>(bytes);
    // An alert is its level, then its description; close_notify and user_canceled end nothing.
    if (contentType == SSL3_RT_ALERT && writing == 0 && length >= 2) {
        if (message[1] != SSL3_AD_CLOSE_NOTIFY && message[1] != SSL_AD_USER_CANCELLED)
            session->peerAlert_ = message[1];
        return;
    }
    if (contentType != SSL3_RT_HANDSHAKE || length < 1) return;
    if (writing != 0) {
        if (session->client_ && message[0] == SSL3_MT_CERTIFICATE && session->state_ != State::Open)
            session->certificateSent_ =
                CarriesCertificate(message, length, SSL_version(ssl) >= TLS1_3_VERSION);
        return;
    }
    if (message[0] == SSL3_MT_CERTIFICATE_REQUEST && session->state_ != State::Open)
        session->certificateRequested_ = true;
    if (session->state_ == State::Open) {
        // A server's HelloRequest or a client's new ClientHello: a second handshake asked for,
        // which OpenSSL refuses (SSL_OP_NO_RENEGOTIATION); the peer may end the stream for it.
        if (message[0] == SSL3_MT_HELLO_REQUEST || message[0] == SSL3_MT_CLIENT_HELLO)
            session->renegotiationAsked_ = true;
        return;
    }
    // The version a hello names comes after its 4-byte header.
    if ((message[0] == SSL3_MT_CLIENT_HELLO || message[0] == SSL3_MT_SERVER_HELLO) && length >= 6)
        session->helloVersion_ = (message[4] << 8) | message[5];
}

void TlsSession::KeyLogCallback(const SSL *ssl, const char *line) {
    auto *session = static_cast<TlsSession *>(SSL_get_app_data(ssl));
    if (session == nullptr || !session->keyLog_) return;
    const int error = session->keyLog_->Append(line);
    if (error == 0) {
        ++session->keyLogLines_;
    } else if (session->keyLogError_.empty()) {
        session->keyLogError_ = "TLSの鍵ログファイルに書き込めません: " + session->keyLog_->Path() +
                                " (" + std::strerror(error) + ")";
    }
}

std::optional<std::string> TlsSession::ClientCertificateRefusal() const {
    if (!client_ || !certificateRequested_ || peerAlert_ == 0) return std::nullopt;
    const std::string alert = SSL_alert_desc_string_long(peerAlert_);
    if (!certificateSent_) {
        return "相手がクライアント証明書を求めて接続を拒否しました。接続先の「TLSの詳細」でクライ"
               "アント証明書を指定してください (" +
               alert + ")";
    }
    switch (peerAlert_) {
    case SSL_AD_BAD_CERTIFICATE:
    case SSL_AD_UNSUPPORTED_CERTIFICATE:
    case SSL_AD_CERTIFICATE_REVOKED:
    case SSL_AD_CERTIFICATE_EXPIRED:
    case SSL_AD_CERTIFICATE_UNKNOWN:
    case SSL_AD_UNKNOWN_CA:
    case SSL_AD_ACCESS_DENIED:
    case SSL_AD_DECRYPT_ERROR:
        return "相手がクライアント証明書を受け入れず、接続を拒否しました (" + alert + ")";
    default:
        return std::nullopt;
    }
}

std::string TlsSession::VersionRefusal() const {
    if (helloVersion_ != 0 && helloVersion_ < TLS1_2_VERSION) {
        return "相手は" + VersionName(helloVersion_) +
               "で接続しようとしました。TLS 1.2より古い版は安全でないため使いません";
    }
    return "相手はTLS 1.2にもTLS 1.3にも応じませんでした。TLS 1.2より古い版(TLS 1.0、TLS "
           "1.1)は安全でないため使いません";
}

TlsIo TlsSession::Fail(std::string text) {
    state_ = State::Failed;
    return TlsIo{TlsStatus::Error, 0, std::move(text)};
}

TlsIo TlsSession::IoFailure(int ret, const char *what) {
    const int savedErrno = errno;
    const int error = SSL_get_error(ssl_, ret);
    switch (error) {
    case SSL_ERROR_WANT_READ:
        return {TlsStatus::WantRead, 0, {}};
    case SSL_ERROR_WANT_WRITE:
        return {TlsStatus::WantWrite, 0, {}};
    case SSL_ERROR_ZERO_RETURN:
        OpenSslReason();
        return {TlsStatus::Closed, 0, {}};
    case SSL_ERROR_SYSCALL: {
        OpenSslReason();
        if (savedErrno == 0) return {TlsStatus::ClosedWithoutNotify, 0, {}};
        state_ = State::Failed;
        return {TlsStatus::Error, 0, std::string(what) + ": " + std::strerror(savedErrno)};
    }
    default: {
        const OpenSslError reason = TakeOpenSslError();
        if (reason.Is(SSL_R_UNEXPECTED_EOF_WHILE_READING))
            return {TlsStatus::ClosedWithoutNotify, 0, {}};
        state_ = State::Failed;
        // TLS 1.3 ends the client's handshake before the server has looked at its
        // certificate: a refusal arrives with the first read.
        if (std::optional<std::string> refused = ClientCertificateRefusal())
            return {TlsStatus::Error, 0, *refused};
        if (renegotiationAsked_) {
            return {TlsStatus::Error, 0,
                    std::string(what) +
                        ": 相手がTLSの再ネゴシエーションを求めました。再ネゴシエーションには応じ"
                        "ないため、接続は終わりました (" +
                        reason.text + ")"};
        }
        return {TlsStatus::Error, 0, std::string(what) + ": " + reason.text};
    }
    }
}

TlsIo TlsSession::Handshake() {
    switch (state_) {
    case State::Open:
        return {TlsStatus::Done, 0, {}};
    case State::AwaitingDecision:
        return {TlsStatus::AwaitingDecision, 0, {}};
    case State::Failed:
        return {TlsStatus::Error, 0, "TLSの接続は既に終わっています"};
    case State::Declined:
        // Going on would finish the handshake: a paused verification that fails when retried
        // does not stop OpenSSL 3.0. The session ends here instead, having sent nothing more.
        return Fail("証明書が信頼されなかったため、接続を中止しました");
    case State::Handshaking:
        break;
    }
    ERR_clear_error();
    errno = 0;
    const int ret = SSL_do_handshake(ssl_);
    if (ret == 1) {
        state_ = State::Open;
        return {TlsStatus::Done, 0, {}};
    }
    const int savedErrno = errno;
    const int error = SSL_get_error(ssl_, ret);
    if (error == SSL_ERROR_WANT_RETRY_VERIFY || state_ == State::AwaitingDecision) {
        state_ = State::AwaitingDecision;
        return {TlsStatus::AwaitingDecision, 0, {}};
    }
    if (error == SSL_ERROR_WANT_READ) return {TlsStatus::WantRead, 0, {}};
    if (error == SSL_ERROR_WANT_WRITE) return {TlsStatus::WantWrite, 0, {}};
    const OpenSslError failure = TakeOpenSslError();
    const std::string &reason = failure.text;
    if (error == SSL_ERROR_ZERO_RETURN ||
        (error == SSL_ERROR_SYSCALL && (savedErrno == 0 || savedErrno == EPIPE)) ||
        failure.Is(SSL_R_UNEXPECTED_EOF_WHILE_READING)) {
        return Fail("TLSのハンドシェイクの途中で相手が接続を閉じました");
    }
    if (error == SSL_ERROR_SYSCALL && savedErrno == ECONNRESET) {
        return Fail("TLSのハンドシェイクの途中で相手が接続をリセットしました");
    }
    if (error == SSL_ERROR_SYSCALL) {
        return Fail(std::string("TLSのハンドシェイクに失敗しました: ") + std::strerror(savedErrno));
    }
    if (outcome_.failure != VerifyFailure::None && !accepted_) {
        return Fail("TLSのハンドシェイクに失敗しました: " + outcome_.reason + " (" +
                    outcome_.detail + ")");
    }
    if (std::optional<std::string> refused = ClientCertificateRefusal())
        return Fail("TLSのハンドシェイクに失敗しました: " + *refused);
    if (IsVersionRefusal(failure)) {
        return Fail("TLSのハンドシェイクに失敗しました: " + VersionRefusal() + " (" + reason + ")");
    }
    return Fail("TLSのハンドシェイクに失敗しました: " +
                (reason.empty() ? std::string("不明な理由") : reason));
}

void TlsSession::Accept() {
    if (state_ != State::AwaitingDecision) return;
    accepted_ = true;
    state_ = State::Handshaking;
    deadline_ = Clock::now() + timeout_;
}

void TlsSession::Decline() {
    if (state_ == State::AwaitingDecision) state_ = State::Declined;
}

std::optional<Clock::time_point> TlsSession::Deadline() const {
    if (state_ != State::Handshaking) return std::nullopt;
    return deadline_;
}

int TlsSession::PollTimeoutMs(Clock::time_point now) const {
    const auto deadline = Deadline();
    if (!deadline) return -1;
    if (*deadline <= now) return 0;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - now).count();
    return left > 1000000 ? 1000000 : static_cast<int>(left);
}

std::optional<std::string> TlsSession::TimedOut(Clock::time_point now) {
    const auto deadline = Deadline();
    if (!deadline || now < *deadline) return std::nullopt;
    const auto seconds = std::chrono::duration_cast<std::chrono::duration<double>>(timeout_);
    char text[160];
    std::snprintf(text, sizeof text,
                  "TLSのハンドシェイクが%.0f秒以内に終わりませんでした(相手が応答しません)",
                  seconds.count());
    state_ = State::Failed;
    return std::string(text);
}

TlsIo TlsSession::Read(char *buffer, std::size_t size) {
    if (state_ != State::Open) return {TlsStatus::Error, 0, "TLSの接続が確立していません"};
    ERR_clear_error();
    errno = 0;
    std::size_t got = 0;
    const int ret = SSL_read_ex(ssl_, buffer, size, &got);
    if (ret == 1) return {TlsStatus::Done, got, {}};
    return IoFailure(ret, "TLSの受信に失敗しました");
}

void TlsSession::HoldReading(bool hold) {
    if (ssl_ == nullptr || hold == readsHeld_) return;
    BIO *next = BIO_new(method_);
    if (next == nullptr) return;
    BIO_set_data(next, reinterpret_cast<void *>(static_cast<intptr_t>(hold ? -1 : fd_)));
    BIO_set_init(next, 1);
    // The writing side keeps its own reference to the BIO both sides shared.
    SSL_set0_rbio(ssl_, next);
    readsHeld_ = hold;
}

bool TlsSession::HasPendingInput() const {
    return ssl_ != nullptr && SSL_has_pending(ssl_) == 1;
}

TlsIo TlsSession::Write(const char *bytes, std::size_t size) {
    if (state_ != State::Open) return {TlsStatus::Error, 0, "TLSの接続が確立していません"};
    if (size == 0) return {TlsStatus::Done, 0, {}};
    ERR_clear_error();
    errno = 0;
    std::size_t sent = 0;
    const int ret = SSL_write_ex(ssl_, bytes, size, &sent);
    if (ret == 1) return {TlsStatus::Done, sent, {}};
    return IoFailure(ret, "TLSの送信に失敗しました");
}

TlsIo TlsSession::Shutdown() {
    if (state_ != State::Open) return {TlsStatus::Done, 0, {}};
    ERR_clear_error();
    errno = 0;
    const int ret = SSL_shutdown(ssl_);
    if (ret >= 0) return {TlsStatus::Done, 0, {}};
    const TlsIo io = IoFailure(ret, "TLSの終了に失敗しました");
    if (io.status == TlsStatus::Closed || io.status == TlsStatus::ClosedWithoutNotify)
        return {TlsStatus::Done, 0, {}};
    return io;
}

std::string TlsSession::Protocol() const {
    return state_ == State::Open ? SSL_get_version(ssl_) : std::string();
}

std::string TlsSession::Cipher() const {
    const char *name = state_ == State::Open ? SSL_get_cipher_name(ssl_) : nullptr;
    return name != nullptr ? name : std::string();
}

std::string TlsSession::Alpn() const {
    const unsigned char *chosen = nullptr;
    unsigned length = 0;
    if (state_ == State::Open) SSL_get0_alpn_selected(ssl_, &chosen, &length);
    return chosen != nullptr ? std::string(reinterpret_cast<const char *>(chosen), length)
                             : std::string();
}

std::vector<CertificateInfo> TlsSession::PeerChain() const {
    std::vector<CertificateInfo> chain;
    STACK_OF(X509) *peer = ssl_ != nullptr ? SSL_get_peer_cert_chain(ssl_) : nullptr;
    for (int i = 0; peer != nullptr && i < sk_X509_num(peer); ++i) {
        chain.push_back(DescribeCertificate(sk_X509_value(peer, i)));
    }
    return chain;
}

} // namespace tarvotcpc
