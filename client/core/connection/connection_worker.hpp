// The connection's worker: everything that runs on the connection's own thread.
#pragma once

#include <poll.h>

#include <cstddef>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "connection/connection.hpp"
#include "tls/tls_transport.hpp"

namespace tarvotcpc {

class Connection::Worker {
  public:
    explicit Worker(Connection &owner) : c_(owner) {}
    ~Worker();

    // Gets the connected socket, then reads and writes until the connection ends.
    void Run();

  private:
    // What is to be written, in order; a swap of the transport waits its turn among the bytes.
    struct Outgoing {
        std::string bytes;
        TransportSwap swap;
        std::string note; // told before the first byte written, then emptied
    };
    enum class Flow { Going, Ended };

    // The one wait: blocks until the wake-up descriptor or one of waits is ready (their revents
    // are filled in) and takes the commands that came. Ended when a command ended the connection.
    Flow Wait(std::vector<pollfd> &waits, int timeoutMs = -1);
    Flow TakeCommands();
    Flow Establish();
    // The TLS handshake on the current transport when it is one still to finish (after the
    // connect, the accept or a STARTTLS swap); Ended when it failed.
    Flow Handshake();
    void Loop();
    Flow ReceivePass();
    void EmitReceived(std::string bytes);
    void EmitEvent(ConnectionEvent::Type type, std::string data);
    // STARTTLS: gives the switch's note once, before anything that came through TLS.
    void MarkTlsStart();
    // The one send routine: writes until everything went out or the transport would block.
    // Ended never; a failure is kept for the end (see sendError_).
    void SendPending();
    bool BytesToSend() const { return !outgoing_.empty() && !outgoing_.front().swap; }
    // Forgets every send still queued, counting its bytes as settled.
    void DropOutgoing();
    Flow ApplySwaps();

    // The ends: the only place an end event is made, the user's Disconnect, and the quiet Quit.
    void EndWithEvent(EndReason reason, const std::string &systemText = {});
    void EndOnDisconnect();
    void EndQuietly();

    Connection &c_;
    std::unique_ptr<Transport> transport_;
    std::deque<Outgoing> outgoing_;
    std::size_t sentOfFront_ = 0;
    // A write failed (the peer is gone). Nothing more is sent, but reading goes on: what the peer
    // sent before it went away is still in the socket and reaches the user first.
    std::string sendError_;
    std::string buffer_;
    std::string peer_;               // the address reached
    TlsSession *deciding_ = nullptr; // the session whose certificate awaits the user's answer
    bool handshaking_ = false;       // nothing is written before the handshake is done
    bool marking_ = false;           // STARTTLS: the note of the switch is still to be given
};

} // namespace tarvotcpc
