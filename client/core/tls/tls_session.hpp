// TLS over a connected non-blocking socket, for both sides, driven by the connection's poll loop:
// every call returns at once and says which readiness it waits for. The session never owns the
// socket; the transport that holds the socket closes it.
#pragma once

#include <openssl/ssl.h>

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tls/announce.hpp"

namespace tarvotcpc {

class KeyLog;
class TlsClientIdentity;

enum class TlsStatus {
    Done,             // handshake finished / bytes moved (see TlsIo::bytes) / shutdown sent
    WantRead,         // call again when the socket is readable
    WantWrite,        // call again when the socket is writable
    AwaitingDecision, // the certificate did not verify: Accept() or Decline() first
    Closed,           // the peer ended the stream with close_notify
    // The stream stopped without close_notify: anyone on the path can cut it so, and what came
    // before cannot be known to be all the peer sent.
    ClosedWithoutNotify,
    Error, // text says why; the session is finished
};

struct TlsIo {
    TlsStatus status = TlsStatus::Done;
    std::size_t bytes = 0; // with Done
    std::string text;      // with Error
};

// The poll events a status waits for (0 for the others).
short PollEventsFor(TlsStatus status);

struct CertificateInfo {
    std::string subject; // RFC 2253 form, UTF-8
    std::string issuer;
    std::string notBefore; // "2026-12-08 22:45:00 UTC"
    std::string notAfter;
    std::string sha256; // "AB:CD:..." (32 bytes, upper-case hex)
    std::string pem;
};

enum class VerifyFailure { None, UnknownIssuer, Expired, NotYetValid, WrongName, Other };

struct VerifyOutcome {
    VerifyFailure failure = VerifyFailure::None;
    std::string reason;  // Japanese, for the dialog; empty when verified
    std::string detail;  // OpenSSL's own words for it
    bool pinned = false; // accepted because the leaf matched the pin given
    // The pin given for this host and port when the leaf did not carry it: the certificate
    // trusted there before was another one.
    std::string pinnedSha256;
    std::vector<CertificateInfo> chain; // the peer's certificates, leaf first
    const CertificateInfo *Leaf() const { return chain.empty() ? nullptr : &chain.front(); }
};

// The Japanese sentence for a failure kind, as VerifyOutcome::reason holds it.
std::string VerifyFailureText(VerifyFailure failure);

// Both sides speak TLS 1.2 and 1.3 only, and neither renegotiates: a second handshake in the
// middle of a stream could bring a certificate nobody checked while the one shown stays the first.
struct TlsClientOptions {
    // The name the certificate must carry: a host name (also sent as SNI) or an address without
    // brackets, in any form connecting takes ("127.1" too), checked as that address. Required.
    std::string host;
    // Trust anchors instead of the system's store, when either is set (tests, private CAs).
    std::string caFile;
    std::string caPath;
    // A fingerprint the user chose to trust for this host and port: a leaf that fails
    // verification but carries it is accepted without asking.
    std::string pinnedSha256;
    std::chrono::milliseconds handshakeTimeout{10000};
    // The server name sent. One the user named is also the name the certificate must carry in
    // place of host: the server was asked for that name's certificate.
    ServerNameChoice serverName = {};
    // The application protocols offered (ALPN), the most wanted first; none: no ALPN.
    std::vector<std::string> alpn = {};
    // The certificate shown to a server that asks for one; without it the client shows none.
    std::shared_ptr<const TlsClientIdentity> identity = {};
    // Where the session's secrets are appended; none: nowhere.
    std::shared_ptr<KeyLog> keyLog = {};
};

inline constexpr std::chrono::milliseconds kDefaultTlsHandshakeTimeout{10000};

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

class TlsSession {
  public:
    // Both return nullptr with error set when OpenSSL cannot set the session up (bad CA file...).
    // fd must be connected and non-blocking; bytes already exchanged in clear text on it (a
    // STARTTLS exchange) are no concern of the session.
    static std::unique_ptr<TlsSession> Client(int fd, const TlsClientOptions &options,
                                              std::string &error);
    static std::unique_ptr<TlsSession> Server(int fd, std::shared_ptr<const TlsServerIdentity> id,
                                              std::chrono::milliseconds handshakeTimeout,
                                              std::string &error);
    ~TlsSession();
    TlsSession(const TlsSession &) = delete;
    TlsSession &operator=(const TlsSession &) = delete;

    int Fd() const { return fd_; }

    // One handshake step. AwaitingDecision: the client sent nothing past its certificate check;
    // Verification() says why, and the handshake stays paused (its deadline too) until Accept()
    // or Decline().
    TlsIo Handshake();
    void Accept();  // connect this once: the next Handshake() goes on
    void Decline(); // the next Handshake() ends with an Error, sending nothing more
    bool HandshakeDone() const { return state_ == State::Open; }
    const VerifyOutcome &Verification() const { return outcome_; }

    // The deadline of the handshake, for the loop's poll timeout; none once the handshake is
    // done or while the user decides. Past it, TimedOut() gives the text to end with.
    std::optional<std::chrono::steady_clock::time_point> Deadline() const;
    int PollTimeoutMs(std::chrono::steady_clock::time_point now) const; // -1: no deadline
    std::optional<std::string> TimedOut(std::chrono::steady_clock::time_point now);

    TlsIo Read(char *buffer, std::size_t size);
    // Decrypted bytes wait inside the session: read again before polling.
    bool HasPendingInput() const;
    // While held, the session takes nothing from the socket and waits as on an empty one; its
    // writes go on. STARTTLS holds reading until the peer's first record is at the head of the
    // socket, so that clear text sent before it never reaches OpenSSL.
    void HoldReading(bool hold);
    TlsIo Write(const char *bytes, std::size_t size);
    // Sends close_notify (without waiting for the peer's). Done also when nothing was open.
    TlsIo Shutdown();

    std::string Protocol() const; // "TLSv1.3"
    std::string Cipher() const;   // "TLS_AES_256_GCM_SHA384"
    // The protocol the server chose from the ALPN list; empty when it chose none.
    std::string Alpn() const;
    bool AlpnOffered() const { return alpnOffered_; }
    // The server asked for a client certificate, and this side showed one (not an empty list).
    bool CertificateRequested() const { return certificateRequested_; }
    bool CertificateSent() const { return certificateSent_; }

    // The listening side's key log (the client's comes with its options).
    void SetKeyLog(std::shared_ptr<KeyLog> keyLog) { keyLog_ = std::move(keyLog); }
    // How many of this session's secrets went to the key log, and why the first that did not
    // failed (empty when none failed).
    int KeyLogLines() const { return keyLogLines_; }
    const std::string &KeyLogError() const { return keyLogError_; }
    // The peer's chain once the handshake is done (the client side's view).
    std::vector<CertificateInfo> PeerChain() const;

  private:
    enum class State { Handshaking, AwaitingDecision, Declined, Open, Failed };
    TlsSession() = default;
    bool Setup(std::string &error);
    static int VerifyCallback(X509_STORE_CTX *store, void *arg);
    int Verify(X509_STORE_CTX *store);
    static void MessageCallback(int writing, int version, int contentType, const void *bytes,
                                std::size_t length, SSL *ssl, void *arg);
    static void KeyLogCallback(const SSL *ssl, const char *line);
    // The peer's alert read as its answer to this client's certificate (or to the lack of one);
    // none when it is about something else.
    std::optional<std::string> ClientCertificateRefusal() const;
    TlsIo Fail(std::string text);
    TlsIo IoFailure(int ret, const char *what);
    std::string VersionRefusal() const;

    int fd_ = -1;
    bool client_ = true;
    State state_ = State::Handshaking;
    bool accepted_ = false;
    std::string pinnedSha256_;
    std::chrono::milliseconds timeout_{kDefaultTlsHandshakeTimeout};
    std::chrono::steady_clock::time_point deadline_;
    VerifyOutcome outcome_;
    std::shared_ptr<const TlsServerIdentity> identity_;
    SSL_CTX *ctx_ = nullptr;
    SSL *ssl_ = nullptr;
    BIO_METHOD *method_ = nullptr;
    int helloVersion_ = 0;            // the version the peer's hello named, during the handshake
    bool renegotiationAsked_ = false; // the peer asked for a second handshake, and was refused
    bool readsHeld_ = false;
    bool alpnOffered_ = false;
    bool certificateRequested_ = false;
    bool certificateSent_ = false;
    int peerAlert_ = 0; // the last alert the peer sent that ends a session (its description)
    std::shared_ptr<KeyLog> keyLog_;
    int keyLogLines_ = 0;
    std::string keyLogError_;
};

// Certificate details of a certificate (for the dialog and the listening side's fingerprint).
CertificateInfo DescribeCertificate(X509 *certificate);

} // namespace tarvotcpc
