// What the connection's worker reads from and writes to once a peer is connected: a byte stream
// driven by poll, never blocking. The plain socket is the first kind; a kind that encrypts wraps a
// connected socket after its handshake and may need to write in order to read (or the reverse),
// which is why it, not the worker, says which poll events it is waiting for.
#pragma once

#include <poll.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "net/unique_fd.hpp"

namespace tarvotcpc {

struct IoResult {
    enum class Status {
        Done,      // bytes were moved
        WantRead,  // nothing can move until the descriptor is readable
        WantWrite, // nothing can move until the descriptor is writable
        Closed,    // the peer ended the stream in order (reads only)
        Error,     // the stream failed; errorText says why, as the system words it
        // Nothing moved, but something happened to earlier datagrams that ends nothing (an ICMP
        // error, datagrams lost); errorText tells it. The same call goes on when made again.
        Notice,
    };
    Status status = Status::Done;
    std::size_t bytes = 0;
    std::string errorText;
    // With Closed: an encrypted stream that stopped without its own end mark (TLS close_notify),
    // as anyone on the path can cut it.
    bool withoutCloseNotify = false;
    // With Done from a datagram socket that answers whoever sent last: the datagram's sender.
    std::string from = {};
};

class Transport {
  public:
    virtual ~Transport() = default;

    // The descriptor to wait on, and the poll events that let a wanted read or write go on.
    virtual int Fd() const = 0;
    virtual short PollEvents(bool wantRead, bool wantWrite) const = 0;

    virtual IoResult Read(char *buffer, std::size_t size) = 0;
    virtual IoResult Write(const char *bytes, std::size_t size) = 0;

    // Ends the stream at once; reads and writes fail afterwards.
    virtual void Close() = 0;

    // Received bytes already taken from the descriptor wait inside the transport (decrypted
    // records): poll will not tell of them, so the worker reads again before it waits.
    virtual bool HasPendingInput() const { return false; }

    // Each read is one datagram and each write sends one (net/datagram.hpp): the boundaries are
    // the peer's, an empty datagram is one too, and there is no stream to end.
    virtual bool Datagrams() const { return false; }
};

// A connected, non-blocking TCP socket as it is.
class PlainTransport final : public Transport {
  public:
    explicit PlainTransport(UniqueFd socket) : socket_(std::move(socket)) {}
    ~PlainTransport() override { Close(); }

    int Fd() const override { return socket_.Get(); }
    short PollEvents(bool wantRead, bool wantWrite) const override;
    IoResult Read(char *buffer, std::size_t size) override;
    IoResult Write(const char *bytes, std::size_t size) override;
    void Close() override;

    // Hands the socket on (to a transport that wraps it); this transport is closed afterwards.
    UniqueFd TakeSocket() { return std::move(socket_); }

  private:
    UniqueFd socket_;
};

// Replaces the worker's transport between two passes of its loop (a switch to an encrypted
// stream in the middle of a connection); it gets the current one and returns its successor, or
// null to keep the current one.
using TransportSwap =
    std::function<std::unique_ptr<Transport>(std::unique_ptr<Transport> &current)>;

// The system's text for an errno value.
std::string SystemErrorText(int error);

} // namespace tarvotcpc
