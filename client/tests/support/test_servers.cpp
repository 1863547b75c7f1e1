#include "support/test_servers.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>
#include <vector>

#include <gtest/gtest.h>

namespace tarvotcpc::testing {

namespace {

int ListenOnLoopback(uint16_t &port, bool listening) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::runtime_error("socket");
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        (listening && listen(fd, 16) != 0)) {
        close(fd);
        throw std::runtime_error("bind or listen");
    }
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
    port = ntohs(address.sin_port);
    return fd;
}

bool WriteAll(int fd, const char *data, std::size_t length) {
    while (length > 0) {
        const ssize_t n = send(fd, data, length, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace

namespace {

constexpr std::size_t kPatternPeriod = 65521;

const std::string &PatternBlock() {
    static const std::string block = [] {
        std::string bytes(kPatternPeriod, '\0');
        uint32_t state = 0x9E3779B9u;
        for (char &byte : bytes) {
            state = state * 1664525u + 1013904223u;
            byte = static_cast<char>(state >> 24);
        }
        return bytes;
    }();
    return block;
}

} // namespace

std::string Pattern(std::size_t offset, std::size_t length) {
    const std::string &block = PatternBlock();
    std::string text;
    text.reserve(length);
    while (text.size() < length) {
        const std::size_t at = (offset + text.size()) % kPatternPeriod;
        text.append(block, at, std::min(kPatternPeriod - at, length - text.size()));
    }
    return text;
}

bool MatchesPattern(std::size_t offset, const std::string &bytes) {
    const std::string &block = PatternBlock();
    for (std::size_t done = 0; done < bytes.size();) {
        const std::size_t at = (offset + done) % kPatternPeriod;
        const std::size_t length = std::min(kPatternPeriod - at, bytes.size() - done);
        if (bytes.compare(done, length, block, at, length) != 0) return false;
        done += length;
    }
    return true;
}

TestServer::TestServer(Behaviour behaviour) {
    listenFd_ = ListenOnLoopback(port_, true);
    stopFd_ = eventfd(0, EFD_CLOEXEC);
    thread_ = std::thread([this, behaviour = std::move(behaviour)] {
        pollfd fds[2] = {{listenFd_, POLLIN, 0}, {stopFd_, POLLIN, 0}};
        while (poll(fds, 2, -1) < 0) {
        }
        if (fds[1].revents != 0) return;
        const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) return;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            clientFd_ = fd;
        }
        behaviour(fd, *this);
        std::lock_guard<std::mutex> lock(mutex_);
        close(fd);
        clientFd_ = -1;
    });
}

TestServer::~TestServer() {
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t ignored = write(stopFd_, &one, sizeof one);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (clientFd_ >= 0) shutdown(clientFd_, SHUT_RDWR);
    }
    thread_.join();
    close(listenFd_);
    close(stopFd_);
}

std::string TestServer::Recorded() {
    std::lock_guard<std::mutex> lock(mutex_);
    return recorded_;
}

void TestServer::Record(const char *bytes, std::size_t length) {
    std::lock_guard<std::mutex> lock(mutex_);
    recorded_.append(bytes, length);
}

void TestServer::WaitStop() {
    pollfd fd = {stopFd_, POLLIN, 0};
    while (poll(&fd, 1, -1) <= 0) {
    }
}

TestServer::Behaviour Echo() {
    return [](int fd, TestServer &) {
        // Reads and writes in turn without ever reading ahead: a client that does not read
        // while it sends would stall this peer and so itself.
        std::vector<char> buffer(64 * 1024);
        for (;;) {
            const ssize_t n = recv(fd, buffer.data(), buffer.size(), 0);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return;
            if (!WriteAll(fd, buffer.data(), static_cast<std::size_t>(n))) return;
        }
    };
}

TestServer::Behaviour SendThenClose(std::string bytes, std::chrono::milliseconds delay) {
    return [bytes = std::move(bytes), delay](int fd, TestServer &) {
        std::this_thread::sleep_for(delay);
        WriteAll(fd, bytes.data(), bytes.size());
    };
}

TestServer::Behaviour Reset() {
    return [](int fd, TestServer &) {
        // Closing with a zero linger time sends a reset instead of the orderly end.
        linger hard{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    };
}

TestServer::Behaviour Flood(std::size_t bytes) {
    return [bytes](int fd, TestServer &) {
        constexpr std::size_t kChunk = 1024 * 1024;
        for (std::size_t offset = 0; offset < bytes;) {
            const std::size_t length = std::min(kChunk, bytes - offset);
            const std::string chunk = Pattern(offset, length);
            if (!WriteAll(fd, chunk.data(), chunk.size())) return;
            offset += length;
        }
    };
}

TestServer::Behaviour Silent() {
    return [](int, TestServer &server) { server.WaitStop(); };
}

TestServer::Behaviour Sink() {
    return [](int fd, TestServer &server) {
        char buffer[16 * 1024];
        for (;;) {
            const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return;
            server.Record(buffer, static_cast<std::size_t>(n));
        }
    };
}

RefusedPort::RefusedPort() {
    fd_ = ListenOnLoopback(port_, false);
}

RefusedPort::~RefusedPort() {
    close(fd_);
}

Collector::Collector(std::string host, int32_t port, Resolver resolver, std::size_t queueLimit)
    : connection_(std::move(host), port,
                  ConnectionOptions{[this] {
                                        std::lock_guard<std::mutex> lock(mutex_);
                                        notified_ = true;
                                        ++wakes_;
                                        cv_.notify_all();
                                    },
                                    std::move(resolver),
                                    queueLimit,
                                    {},
                                    {},
                                    {},
                                    {}}) {}

int Collector::Wakes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return wakes_;
}

bool Collector::Take(const std::function<void(const std::string &)> &onBytes,
                     std::optional<ConnectionEvent> &end) {
    for (ConnectionEvent &event : connection_.TakeEvents()) {
        if (event.type == ConnectionEvent::Type::Received) {
            EXPECT_EQ(endEvents_, 0) << "bytes after the end event";
            if (onBytes)
                onBytes(event.data);
            else
                received_ += event.data;
        } else if (event.type == ConnectionEvent::Type::Sent) {
            EXPECT_EQ(endEvents_, 0) << "sent bytes after the end event";
            sent_ += event.data;
        } else if (event.type == ConnectionEvent::Type::Marked) {
            marks_.emplace_back(event.data, sent_.size());
        } else if (event.type == ConnectionEvent::Type::Ended) {
            ++endEvents_;
            if (!end) end = std::move(event);
        }
    }
    return end.has_value();
}

bool Collector::WaitNotice(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    const bool woken = cv_.wait_until(lock, deadline, [this] { return notified_; });
    notified_ = false;
    return woken;
}

std::optional<ConnectionEvent>
Collector::WaitEnd(std::chrono::milliseconds timeout,
                   const std::function<void(const std::string &)> &onBytes) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::optional<ConnectionEvent> end;
    for (;;) {
        if (Take(onBytes, end)) return end;
        if (!WaitNotice(deadline) && std::chrono::steady_clock::now() >= deadline) {
            Take(onBytes, end);
            return end;
        }
    }
}

bool Collector::WaitBytes(std::size_t n, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::optional<ConnectionEvent> end;
    for (;;) {
        Take({}, end);
        if (received_.size() >= n) return true;
        if (end) return false;
        if (!WaitNotice(deadline) && std::chrono::steady_clock::now() >= deadline) {
            Take({}, end);
            return received_.size() >= n;
        }
    }
}

bool Collector::DrainNow() {
    std::optional<ConnectionEvent> end;
    return Take({}, end);
}

} // namespace tarvotcpc::testing
