// One TCP connection of the client, run by a thread of its own that owns the socket.
//
// The user-interface side never touches the socket: it hands commands to the connection
// (send, disconnect, quit, pause or resume reading), each of which wakes the worker at once,
// and it takes the worker's events (received bytes, then one end event) from a queue. The
// worker calls the wake-up callback when the queue goes from empty to non-empty, so a window
// can post itself a notice and drain the queue on its own thread.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tarvotcpc {

// Why a connection ended. The first three happen before the connection is up.
enum class EndReason {
    SocketFailed,  // "ソケットの作成に失敗しました"
    HostNotFound,  // "ホスト%sが見つかりません"
    ConnectFailed, // "接続に失敗しました"
    Disconnected,  // "切断しました": the user asked for it
    PeerClosed,    // "切断しました": the peer closed its side
    Error,         // "エラー: %s": receiving or sending failed, with the system's text
};

// The texts the user sees for an end; host goes into HostNotFound, systemText into Error.
std::string EndText(EndReason reason, const std::string &host, const std::string &systemText);

// The three failures before a connection is up are warnings; the others are plain notices.
bool IsStartFailure(EndReason reason);

struct ConnectionEvent {
    enum class Type { Received, Ended };
    Type type = Type::Received;
    std::string data; // Received: the bytes as they came. Ended: the text for the user.
    EndReason reason = EndReason::Disconnected; // Ended only
};

// Finds the IPv4 address of a host name; false when there is none. Runs on a thread of its own,
// so it may block as long as it likes.
using Resolver = std::function<bool(const std::string &host, in_addr &address)>;

// The system's lookup: getaddrinfo for IPv4 stream addresses, first result.
bool ResolveIPv4(const std::string &host, in_addr &address);

struct ConnectionOptions {
    // Called on the worker's thread when events become available; must not block.
    std::function<void()> wake;
    // Name lookup for hosts that are not dotted IPv4 addresses; empty means ResolveIPv4.
    Resolver resolver;
    // When non-zero, reading stops while this many received bytes wait to be taken, and goes on
    // once TakeEvents has taken them: a consumer that falls behind holds the peer back through
    // TCP itself, however fast the peer sends, instead of the queue growing without bound. The
    // queue may pass the limit by what one read brings.
    std::size_t queueLimit = 0;
};

class Connection {
  public:
    // Starts the worker at once: it creates the socket, finds the address of host (a dotted
    // IPv4 address as inet_aton reads it, else through the resolver) and connects to the low
    // 16 bits of port.
    Connection(std::string host, int32_t port, ConnectionOptions options = {});

    // Quits when still running.
    ~Connection();

    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    // Queues bytes to be sent; sends are written whole and in the order given. Bytes handed over
    // before the connection is up are sent once it is.
    void Send(std::string bytes);

    // Ends the connection with the end event "切断しました", whatever stage it is in. Bytes the
    // socket takes at once still go out; the rest of what was queued, and anything queued while
    // the connection was not yet up, is dropped rather than waited for.
    void Disconnect();

    // Ends the connection without any further event and waits for the worker to finish. It
    // returns at once in every stage: a name lookup still running is left to finish on its own
    // and then frees what it holds.
    void Quit();

    // While paused the worker reads nothing more from the socket, so that a user interface with a
    // large backlog of text to show can catch up; the peer is then held back by TCP itself.
    void PauseReading();
    void ResumeReading();

    // Takes every event queued so far, oldest first.
    std::vector<ConnectionEvent> TakeEvents();

    // Bytes of received data queued and not yet taken.
    std::size_t QueuedBytes() const;

    // True once the end event has been queued or the connection was quit.
    bool Finished() const { return finished_.load(std::memory_order_acquire); }

    const std::string &Host() const { return host_; }
    int32_t Port() const { return port_; }

  private:
    struct Command {
        enum class Type { Send, Disconnect, Quit } type;
        std::string bytes;
    };

    class Worker;

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
    std::atomic<bool> paused_{false};

    mutable std::mutex eventsMutex_;
    std::vector<ConnectionEvent> events_;
    std::size_t queuedBytes_ = 0;
    std::atomic<bool> finished_{false};

    std::thread thread_;
};

} // namespace tarvotcpc
