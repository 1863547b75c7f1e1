#include "tls/tls_transport.hpp"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

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

// How many leading bytes of what the peer sent cannot begin a TLS record (a handshake or an
// alert record of SSL 3.0 to TLS 1.3, all the peer may answer a hello with); the rest, if any,
// may. A start cut off at the end counts as a start, so that a record is never split.
std::size_t ClearTextLead(const unsigned char *bytes, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
        if (bytes[i] != 0x15 && bytes[i] != 0x16) continue; // alert, handshake
        if (i + 1 < size && bytes[i + 1] != 0x03) continue;
        if (i + 2 < size && bytes[i + 2] > 0x04) continue;
        return i;
    }
    return size;
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

void TlsTransport::ExpectClearTextFirst() {
    clearFirst_ = true;
    session_->HoldReading(true);
}

bool TlsTransport::TakeClearText(std::string &out, std::size_t limit) {
    if (!clearFirst_) return false;
    unsigned char head[4096];
    for (std::size_t moved = 0; moved < limit;) {
        const ssize_t seen = recv(socket_.Get(), head, std::min(sizeof head, limit - moved),
                                  MSG_PEEK | MSG_DONTWAIT);
        if (seen < 0 && errno == EINTR) continue;
        if (seen < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
        // A record at the head; or the end of the stream or its failure, which OpenSSL meets
        // and tells.
        const std::size_t lead = seen > 0 ? ClearTextLead(head, std::size_t(seen)) : 0;
        if (lead == 0) {
            clearFirst_ = false;
            session_->HoldReading(false);
            return false;
        }
        const std::size_t before = out.size();
        out.resize(before + lead);
        // Peeked already: the same bytes, at once.
        const ssize_t got = recv(socket_.Get(), out.data() + before, lead, MSG_DONTWAIT);
        out.resize(before + std::size_t(std::max<ssize_t>(got, 0)));
        if (got <= 0) return true; // told again by the next call
        moved += std::size_t(got);
    }
    return true;
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
