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
};

} // namespace tarvotcpc
