#include "tls/tls_transport.hpp"

#include <sys/socket.h>

namespace tarvotcpc {

namespace {

IoResult FromTls(const TlsIo &io) {
    IoResult result;
    result.bytes = io.bytes;
    switch (io.status) {
    case TlsStatus::Done:
        result.status = IoResult::Status::Done;
        break;
    case TlsStatus::WantRead:
        result.status = IoResult::Status::WantRead;
        break;
    case TlsStatus::WantWrite:
        result.status = IoResult::Status::WantWrite;
        break;
    case TlsStatus::Closed:
        result.status = IoResult::Status::Closed;
        break;
    case TlsStatus::ClosedWithoutNotify:
        result.status = IoResult::Status::Closed;
        result.withoutCloseNotify = true;
        break;
    case TlsStatus::AwaitingDecision: // not after the handshake
    case TlsStatus::Error:
        result.status = IoResult::Status::Error;
        result.errorText = io.text;
        break;
    }
    return result;
}

} // namespace

std::unique_ptr<TlsTransport> TlsTransport::Client(UniqueFd socket, const TlsClientOptions &options,
                                                   std::string &error) {
    std::unique_ptr<TlsSession> session = TlsSession::Client(socket.Get(), options, error);
    if (!session) return nullptr;
    return std::make_unique<TlsTransport>(std::move(socket), std::move(session));
}

std::unique_ptr<TlsTransport>
TlsTransport::Server(UniqueFd socket, std::shared_ptr<const TlsServerIdentity> identity,
                     std::chrono::milliseconds handshakeTimeout, std::string &error) {
    std::unique_ptr<TlsSession> session =
        TlsSession::Server(socket.Get(), std::move(identity), handshakeTimeout, error);
    if (!session) return nullptr;
    return std::make_unique<TlsTransport>(std::move(socket), std::move(session));
}

short TlsTransport::PollEvents(bool wantRead, bool wantWrite) const {
    short events = 0;
    if (wantRead) events |= readWantsWrite_ ? POLLOUT : POLLIN;
    if (wantWrite) events |= writeWantsRead_ ? POLLIN : POLLOUT;
    return events;
}

IoResult TlsTransport::Read(char *buffer, std::size_t size) {
    const IoResult result = FromTls(session_->Read(buffer, size));
    readWantsWrite_ = result.status == IoResult::Status::WantWrite;
    // The worker waits only for a read's readiness while reading.
    if (readWantsWrite_) return {IoResult::Status::WantRead, 0, {}};
    return result;
}

IoResult TlsTransport::Write(const char *bytes, std::size_t size) {
    const IoResult result = FromTls(session_->Write(bytes, size));
    writeWantsRead_ = result.status == IoResult::Status::WantRead;
    if (writeWantsRead_) return {IoResult::Status::WantWrite, 0, {}};
    return result;
}

bool TlsTransport::HasPendingInput() const {
    return session_ && session_->HasPendingInput();
}

void TlsTransport::Close() {
    if (!socket_.Valid()) return;
    // close_notify when the socket takes it at once; a peer that does not read is not waited for.
    if (session_ && session_->HandshakeDone()) session_->Shutdown();
    shutdown(socket_.Get(), SHUT_RDWR);
    socket_.Reset();
}

} // namespace tarvotcpc
