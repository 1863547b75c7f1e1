#include "net/transport.hpp"

#include <sys/socket.h>

#include <cerrno>
#include <cstring>

namespace tarvotcpc {

namespace {

// strerror_r comes in two flavours depending on the C library; both are handled here.
[[maybe_unused]] const char *PickErrorText(int result, const char *buffer) {
    return result == 0 ? buffer : "unknown error";
}
[[maybe_unused]] const char *PickErrorText(const char *result, const char *) {
    return result;
}

IoResult Failure(int error) {
    IoResult result;
    result.status = IoResult::Status::Error;
    result.errorText = SystemErrorText(error);
    return result;
}

} // namespace

std::string SystemErrorText(int error) {
    char buffer[256] = {};
    return PickErrorText(strerror_r(error, buffer, sizeof buffer), buffer);
}

short PlainTransport::PollEvents(bool wantRead, bool wantWrite) const {
    return static_cast<short>((wantRead ? POLLIN : 0) | (wantWrite ? POLLOUT : 0));
}

IoResult PlainTransport::Read(char *buffer, std::size_t size) {
    if (!socket_.Valid()) return Failure(EBADF);
    for (;;) {
        const ssize_t n = recv(socket_.Get(), buffer, size, 0);
        if (n > 0) return {IoResult::Status::Done, static_cast<std::size_t>(n), {}};
        if (n == 0) return {IoResult::Status::Closed, 0, {}};
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return {IoResult::Status::WantRead, 0, {}};
        return Failure(errno);
    }
}

IoResult PlainTransport::Write(const char *bytes, std::size_t size) {
    if (!socket_.Valid()) return Failure(EBADF);
    for (;;) {
        // MSG_NOSIGNAL: a peer that is gone gives EPIPE here rather than SIGPIPE to the process.
        const ssize_t n = send(socket_.Get(), bytes, size, MSG_NOSIGNAL);
        if (n >= 0) return {IoResult::Status::Done, static_cast<std::size_t>(n), {}};
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return {IoResult::Status::WantWrite, 0, {}};
        return Failure(errno);
    }
}

void PlainTransport::Close() {
    if (!socket_.Valid()) return;
    shutdown(socket_.Get(), SHUT_RDWR);
    socket_.Reset();
}

} // namespace tarvotcpc
