// One TCP connection of the client, run by a thread of its own that owns the socket.
//
// The user-interface side never touches the socket: it hands commands to the connection (send,
// disconnect, quit), each of which wakes the worker at once, and it takes the worker's events
// (received bytes and the bytes the socket took, in the order of the wire, then one end event)
// from a queue. The worker calls the wake-up callback when the queue goes from empty to
// non-empty, so a window can post itself a notice and drain the queue on its own thread.
//
// The files: endpoint.* gets the connected socket (lookup and connect), transport.* reads and
// writes it, connection_worker.cpp is the worker's loop, and this class is what the other
// threads see.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "net/end_reason.hpp"
#include "net/endpoint.hpp"
#include "tls/tls_session.hpp"
#include "net/transport.hpp"

namespace tarvotcpc {

struct ConnectionEvent {
    enum class Type {
        Received,
        Sent, // data: bytes the transport took from a send (for TLS: the plaintext it accepted)
        Ended,
        Reached,     // data: the peer's address ("[::1]:8080"); a TLS handshake may follow
        Handshaking, // data: the peer's address; the handshake's deadline is in timeout
        Question,    // the certificate did not verify: nothing more happens until Decide
        Secured,     // the handshake is done: protocol, cipher and the peer's chain
        // STARTTLS: every byte before this event went in clear text, every byte after goes
        // through TLS; a Handshaking event follows.
        TlsStarting,
        // data: the note a send carried (a send the client made by itself), told just before the
        // first of its bytes the socket took; never for a send none of whose bytes went out.
        Marked,
        // UDP: something happened to datagrams that ends nothing (an ICMP error from where they
        // went, datagrams lost to a full buffer, one the socket refused); data: the text.
        Notice,
        // UDP, listening: a datagram came from another sender than the one before, and sends
        // now go there; data: its address, as Reached gives it.
        PeerChanged,
    };
    Type type = Type::Received;
    std::string data; // Received: the bytes as they came. Ended: the text for the user.
    // Received, Sent, TlsStarting, Marked: when the bytes were read or written, or the switch was
    // made (wall clock, microseconds since the epoch); a merged event keeps its first piece's.
    int64_t timeUs = 0;
    // Received, Sent: when the last piece merged into the event was read or written (a large send
    // goes out in many writes, and the time an answer took counts from its last).
    int64_t lastTimeUs = 0;
    EndReason reason = EndReason::Disconnected; // Ended only
    std::chrono::milliseconds timeout{0};       // Handshaking
    std::string protocol;                       // Secured
    std::string cipher;                         // Secured
    VerifyOutcome certificate;                  // Question; Secured: the chain

    // Reached: this side's address, in the form of data (a capture file names both ends).
    std::string local;
    // Received, Sent: one whole datagram (possibly empty), never merged with another.
    bool datagram = false;
    // Secured: what the handshake settled besides the cipher. alpn is the protocol the server
    // chose, empty when it chose none (alpnOffered: whether a list was offered at all).
    std::string alpn = {};
    bool alpnOffered = false;
    bool certificateSent = false; // a client certificate was shown to the server
    int keyLogLines = 0;          // the session's secrets written to the key log
    std::string keyLogError = {}; // why one could not be, when one could not
};

struct ConnectionOptions {
    // Called on the worker's thread when events become available; must not block.
    std::function<void()> wake;
    // Name lookup for hosts that are not numeric addresses; empty means ResolveHost.
    Resolver resolver;
    // When non-zero, reading stops while this many received bytes wait to be taken, and goes on
    // once TakeEvents has taken them: a consumer that falls behind holds the peer back through
    // TCP itself, however fast the peer sends, instead of the queue growing without bound. The
    // queue may pass the limit by what one read brings.
    std::size_t queueLimit = 0;
    // Where the connected socket comes from; empty means MakeHostEndpoint(host, port, resolver).
    EndpointFactory endpoint;
    // TLS on the connected socket as a client (the name to check and the trust anchors), or, for
    // an accepted peer, as a server with this identity. Neither: clear text.
    std::optional<TlsClientOptions> tlsClient;
    std::shared_ptr<const TlsServerIdentity> tlsServer;
    std::chrono::milliseconds handshakeTimeout = kDefaultTlsHandshakeTimeout;
    // UDP (net/datagram.hpp): each Send is one datagram, an empty one too, and each datagram
    // received one Received event. The default endpoint is then MakeDatagramEndpoint; TLS does
    // not apply and ends the connection at once.
    bool datagrams = false;
    // Where the listening side's TLS secrets go (the client's come with tlsClient).
    std::shared_ptr<KeyLog> serverKeyLog = {};
};

// A Secured event as the user reads it (the window's status field, a run's progress): the
// address, protocol and cipher, then "ALPN: h2" (or "ALPN: なし" when a list was offered and none
// chosen), whether a client certificate was shown, and "鍵を記録中" while the secrets go to the
// key log.
std::string SecuredPeerText(const ConnectionEvent &secured);

class Connection {
  public:
    // Starts the worker at once: it gets a connected socket from the endpoint (by default: it
    // creates the socket, finds the address of host and connects to the low 16 bits of port).
    Connection(std::string host, int32_t port, ConnectionOptions options = {});

    // Quits when still running.
    ~Connection();

    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    // Queues bytes to be sent; sends are written whole and in the order given (with datagrams:
    // each one datagram, which the socket takes whole or not at all). Bytes handed over
    // before the connection is up are sent once it is. What the socket takes is told by Sent
    // events; bytes dropped (a Disconnect, a failed write, the end) never appear in one. A note
    // is told by a Marked event right before the first Sent event of these bytes.
    void Send(std::string bytes, std::string note = {});

    // Bytes handed to Send that the socket has not taken and that were not dropped: what waits
    // unsent, in this object and in the worker's queue. It grows while the peer does not read.
    std::size_t UnsentBytes() const {
        return static_cast<std::size_t>(handed_.load(std::memory_order_acquire) -
                                        settled_.load(std::memory_order_acquire));
    }

    // Replaces the transport between two passes of the worker, after the sends queued before it
    // were handed to the current one (the switch to an encrypted stream on the same socket).
    void SwapTransport(TransportSwap swap);

    // STARTTLS: after the sends queued before it, the connection goes on as a TLS client on the
    // same socket, with the same handshake, question and events as a connection made with TLS.
    // What the peer sends before its first TLS record (clear text after its answer) is given as
    // received bytes and never handed to OpenSSL; a TlsStarting event then marks the switch.
    void StartTls(TlsClientOptions options);

    // The answer to a Question event: go on with this certificate, or end the connection.
    void Decide(bool accept);

    // Ends the connection with the end event "切断しました", whatever stage it is in. Bytes the
    // socket takes at once still go out; the rest of what was queued, and anything queued while
    // the connection was not yet up, is dropped rather than waited for.
    void Disconnect();

    // Ends the connection without any further event and waits for the worker to finish. It
    // returns at once in every stage: a name lookup still running is left to finish on its own
    // and then frees what it holds.
    void Quit();

    // Takes every event queued so far, oldest first.
    std::vector<ConnectionEvent> TakeEvents();

    // Whether any event waits to be taken.
    bool HasEvents() const;

    // Bytes of received data queued and not yet taken.
    std::size_t QueuedBytes() const;

    // True once the end event has been queued or the connection was quit.
    bool Finished() const { return finished_.load(std::memory_order_acquire); }

    const std::string &Host() const { return host_; }
    int32_t Port() const { return port_; }

  private:
    struct Command {
        enum class Type { Send, Swap, Disconnect, Quit, Accept, Decline } type;
        std::string bytes;
        TransportSwap swap;
        std::string note; // Send: see Send
    };

    class Worker; // connection_worker.cpp

    void Push(Command command);
    void Wake();
    bool QueueFull() const;
    void Emit(ConnectionEvent event);

    const std::string host_;
    const int32_t port_;
    ConnectionOptions options_;
    int wakeFd_ = -1;

    std::mutex commandsMutex_;
    std::deque<Command> commands_;

    mutable std::mutex eventsMutex_;
    std::vector<ConnectionEvent> events_;
    std::size_t queuedBytes_ = 0;
    std::atomic<bool> finished_{false};
    // Bytes handed to Send, and those of them the worker wrote or dropped.
    std::atomic<uint64_t> handed_{0};
    std::atomic<uint64_t> settled_{0};

    std::thread thread_;
};

} // namespace tarvotcpc
