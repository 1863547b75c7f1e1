// Loopback peers for the connection tests, and a client side that collects a connection's events.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "connection/connection.hpp"

namespace tarvotcpc::testing {

// The test streams repeat a block of pseudo-random bytes whose length is prime, so that a lost,
// doubled or reordered piece of the stream shows up anywhere in it.
std::string Pattern(std::size_t offset, std::size_t length);
// Whether bytes are the pattern's bytes from offset on.
bool MatchesPattern(std::size_t offset, const std::string &bytes);

// A server on 127.0.0.1 that accepts one connection and runs a behaviour on it in a thread of
// its own; the accepted socket is closed when the behaviour returns. Destroying the server
// shuts that socket down, so a behaviour blocked on it returns.
class TestServer {
  public:
    using Behaviour = std::function<void(int fd, TestServer &server)>;

    explicit TestServer(Behaviour behaviour);
    ~TestServer();

    TestServer(const TestServer &) = delete;
    TestServer &operator=(const TestServer &) = delete;

    uint16_t Port() const { return port_; }
    // Every byte the behaviour chose to record (see Sink).
    std::string Recorded();
    void Record(const char *bytes, std::size_t length);
    // Blocks until the server is being destroyed.
    void WaitStop();

  private:
    int listenFd_ = -1;
    int stopFd_ = -1;
    uint16_t port_ = 0;
    std::mutex mutex_;
    int clientFd_ = -1;
    std::string recorded_;
    std::thread thread_;
};

// Behaviours.
TestServer::Behaviour Echo();
// Sends bytes, after waiting for delay, and closes.
TestServer::Behaviour SendThenClose(std::string bytes,
                                    std::chrono::milliseconds delay = std::chrono::milliseconds(0));
TestServer::Behaviour Reset();
TestServer::Behaviour Flood(std::size_t bytes);
// Reads nothing and keeps the connection open until the server is destroyed.
TestServer::Behaviour Silent();
// Reads everything until the client closes and records it on the server.
TestServer::Behaviour Sink();

// A port on which nothing listens: bound, so that no one else takes it, but not listening.
class RefusedPort {
  public:
    RefusedPort();
    ~RefusedPort();
    uint16_t Port() const { return port_; }

  private:
    int fd_ = -1;
    uint16_t port_ = 0;
};

// Owns a connection and gathers its events as a window would: woken by the callback, it drains
// the queue.
class Collector {
  public:
    // queueLimit as in ConnectionOptions.
    Collector(std::string host, int32_t port, Resolver resolver = {}, std::size_t queueLimit = 0);

    Connection &Conn() { return connection_; }

    // Drains events until the end event or the time-out; received bytes go to onBytes, or are
    // kept in Received() when it is empty.
    std::optional<ConnectionEvent>
    WaitEnd(std::chrono::milliseconds timeout,
            const std::function<void(const std::string &)> &onBytes = {});
    // Drains events until at least n bytes were received (kept in Received()) or the time-out.
    bool WaitBytes(std::size_t n, std::chrono::milliseconds timeout);
    // Drains whatever is queued now; true when an end event was among it.
    bool DrainNow();

    const std::string &Received() const { return received_; }
    // Every byte the connection told as sent, in order.
    const std::string &Sent() const { return sent_; }
    // The notes of Marked events, each with the count of sent bytes before it.
    const std::vector<std::pair<std::string, std::size_t>> &Marks() const { return marks_; }
    int EndEvents() const { return endEvents_; }
    int Wakes();

  private:
    bool Take(const std::function<void(const std::string &)> &onBytes,
              std::optional<ConnectionEvent> &end);
    bool WaitNotice(std::chrono::steady_clock::time_point deadline);

    std::mutex mutex_;
    std::condition_variable cv_;
    bool notified_ = false;
    int wakes_ = 0;
    std::string received_;
    std::string sent_;
    std::vector<std::pair<std::string, std::size_t>> marks_;
    int endEvents_ = 0;
    Connection connection_; // last: its worker may call back at once
};

} // namespace tarvotcpc::testing
