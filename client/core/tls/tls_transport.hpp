// TLS over a connected socket as a transport: the socket's owner, with the session that encrypts
// on it. The worker runs the handshake (TlsSession::Handshake) before it reads or writes.
#pragma once

#include <memory>
#include <string>

#include "tls/tls_session.hpp"
#include "net/transport.hpp"

namespace tarvotcpc {

class TlsTransport final : public Transport {
  public:
    TlsTransport(UniqueFd socket, std::unique_ptr<TlsSession> session)
        : socket_(std::move(socket)), session_(std::move(session)) {}
    ~TlsTransport() override { Close(); }

    // A client session on socket; null with error set when OpenSSL cannot set it up.
    static std::unique_ptr<TlsTransport> Client(UniqueFd socket, const TlsClientOptions &options,
                                                std::string &error);
    static std::unique_ptr<TlsTransport> Server(UniqueFd socket,
                                                std::shared_ptr<const TlsServerIdentity> identity,
                                                std::chrono::milliseconds handshakeTimeout,
                                                std::string &error);

    TlsSession &Session() { return *session_; }

    // STARTTLS: until the peer's first record, what it sends is still the clear-text exchange
    // before the switch (the rest of its answer, a line sent late, its reply to our hello), which
    // must not reach OpenSSL: the session's reading is held until then.
    void ExpectClearTextFirst();
    // While clear text may still come: moves what the socket holds ahead of the first record
    // (at most limit bytes) to the end of out and returns true. False from the moment the head of
    // the socket is the start of a record, or the stream ended: from then on, all is TLS and the
    // session reads again.
    bool TakeClearText(std::string &out, std::size_t limit);

    int Fd() const override { return socket_.Get(); }
    short PollEvents(bool wantRead, bool wantWrite) const override;
    IoResult Read(char *buffer, std::size_t size) override;
    IoResult Write(const char *bytes, std::size_t size) override;
    void Close() override;
    bool HasPendingInput() const override;

  private:
    UniqueFd socket_;
    std::unique_ptr<TlsSession> session_;
    // A read that must write first (or the reverse) waits for the other readiness.
    bool readWantsWrite_ = false;
    bool writeWantsRead_ = false;
    bool clearFirst_ = false;
};

} // namespace tarvotcpc
