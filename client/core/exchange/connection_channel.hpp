// A script's channel over a Connection of its own: what a run without a window uses, and the
// tests. The connection's events are taken on the script's thread, when the run polls.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "connection/connection.hpp"
#include "exchange/exchange_channel.hpp"

namespace tarvotcpc {

struct ConnectionChannelOptions {
    std::string caFile; // trust anchors for TLS in place of the system's (tests, private CAs)
    Resolver resolver;
    // Received bytes that may wait in the connection's queue (ConnectionOptions::queueLimit): a
    // script busy elsewhere then holds the peer back rather than the queue growing.
    std::size_t queueLimit = 0;
    // Called on the polling thread with each event as it is taken, before the channel acts on
    // it: for a driver that keeps a record of its own, with times and addresses.
    std::function<void(const ConnectionEvent &)> observe;
    // Record() keeps what went through; a driver with a record of its own need not keep it twice.
    bool keep = true;
    // What a destination needs beyond its host, port and trust anchors: its TLS details (for a
    // TLS connect and STARTTLS alike; tls comes with the name and anchors), then its way there
    // (UDP, a proxy's endpoint). A text refuses the connect or the STARTTLS, and is what the
    // script is told: nothing is connected or switched then.
    std::function<std::string(const std::string &host, int32_t port, TlsClientOptions &tls)> secure;
    std::function<std::string(const std::string &host, int32_t port, ConnectionOptions &options)>
        route;
};

class ConnectionChannel : public ExchangeChannel {
  public:
    explicit ConnectionChannel(ConnectionChannelOptions options = {});
    ~ConnectionChannel() override;

    void Bind(ExchangeSink &sink, std::function<void()> wake) override;
    void Poll() override;
    std::string Send(std::string bytes) override;
    std::string Connect(const std::string &host, int32_t port, bool tls) override;
    std::string StartTls() override;
    void Close() override;
    void Note(const std::string &text) override;

    // Whether the connection is there and has not ended yet.
    bool Open() const { return connection_ && !connection_->Finished(); }
    // Ends the connection without any further event; nothing wakes the run after it.
    void Quit();

    // What went through the channel, in order: for a caller that keeps a record of its own.
    struct Entry {
        enum class Kind { Sent, Received, Note, Ended };
        Kind kind;
        std::string text;
    };
    std::vector<Entry> Record() const;

  private:
    void Keep(Entry::Kind kind, std::string text);
    TlsClientOptions ClientOptions(const std::string &host) const;

    ConnectionChannelOptions options_;
    ExchangeSink *sink_ = nullptr;
    std::function<void()> wake_;
    std::unique_ptr<Connection> connection_;
    std::string host_;
    int32_t port_ = 0;
    mutable std::mutex recordMutex_;
    std::vector<Entry> record_;
};

} // namespace tarvotcpc
