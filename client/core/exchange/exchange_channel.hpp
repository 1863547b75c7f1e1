// What a script acts on, and how what happens on the connection reaches it. The engine knows only
// these two seams, so the window's controller and a run without a window drive it the same way:
// the channel carries the script's requests out, the sink takes the connection's events in.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace tarvotcpc {

// What happened on the connection, told to a running script. Thread-safe: any thread may call.
class ExchangeSink {
  public:
    virtual ~ExchangeSink() = default;
    virtual void Received(std::string_view bytes, int64_t timeUs) = 0;
    // The connection reached its peer (the address), and a TLS handshake is done (its protocol
    // and cipher).
    virtual void Connected(const std::string &peer) = 0;
    virtual void Secured(const std::string &description) = 0;
    // The connection is over (the text for the user: why).
    virtual void Ended(const std::string &reason) = 0;
};

// The script's requests. Called on the script's thread only; none may wait for the network: the
// outcome comes back through the sink.
class ExchangeChannel {
  public:
    virtual ~ExchangeChannel() = default;

    // Called once, before anything else, with the sink the channel reports to and a wake-up that
    // makes the script call Poll soon (thread-safe, never blocking). Both belong to the run: once
    // it is destroyed, neither may be called again.
    virtual void Bind(ExchangeSink &sink, std::function<void()> wake) {
        (void)sink;
        (void)wake;
    }
    // Takes what waits and tells the sink; a channel whose driver tells the sink itself does
    // nothing here.
    virtual void Poll() {}

    // Each returns an empty string when the request was taken, else why not (a message).
    virtual std::string Send(std::string bytes) = 0;
    virtual std::string Connect(const std::string &host, int32_t port, bool tls) = 0;
    virtual std::string StartTls() = 0;
    virtual void Close() = 0;
    // A line for the record, marked as the script's.
    virtual void Note(const std::string &text) = 0;
};

} // namespace tarvotcpc
