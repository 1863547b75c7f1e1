// A script run from the window against the window's own connection. The script runs on its own
// thread; its requests wait here until the window's next turn (ProcessEvents), which carries them
// out as the user's commands would be: a send goes out through the controller's connection and
// is kept once the socket took it, a connect is the connect dialog's, a note and each step that
// waits (expect, sleep) stand in the record's margin. What the record keeps of the peer reaches
// the script in the same order, so the script awaits exactly what the page shows.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "exchange/exchange_channel.hpp"
#include "exchange/script_run.hpp"

namespace tarvotcpc {

class MainController;

class ScriptSession : public ExchangeChannel {
  public:
    // wake: the controller's, called from the script's thread so that the window takes a
    // request soon.
    ScriptSession(MainController &controller, std::function<void()> wake);
    ~ScriptSession() override; // stops the script and waits for its thread
    ScriptSession(const ScriptSession &) = delete;
    ScriptSession &operator=(const ScriptSession &) = delete;

    void Start(std::string source, std::string name, ScriptOptions options);
    void Stop();
    bool Running() const { return running_; }

    // The window's turn: carries out what the script asked, in order; false once the run has
    // ended (its outcome told), so that the controller lets the session go.
    bool Pump();

    // What happened on the controller's connection, on the window's thread.
    void Received(std::string_view bytes, int64_t timeUs);
    void Connected(const std::string &peer);
    void Secured(const std::string &description);
    void Ended(const std::string &reason);

    // ExchangeChannel, on the script's thread: each only queues the request.
    std::string Send(std::string bytes) override;
    std::string Connect(const std::string &host, int32_t port, bool tls) override;
    std::string StartTls() override;
    void Close() override;
    void Note(const std::string &text) override;

  private:
    struct Request {
        enum class Kind { Send, Connect, StartTls, Close, Note, Step, Finished } kind;
        std::string text; // Send: the bytes; Connect: the host; Note, Step: the line
        std::string function;
        int32_t port = 0;
        bool tls = false;
    };
    void Queue(Request request);
    void Finish();

    MainController &controller_;
    std::function<void()> wake_;
    std::mutex mutex_;
    std::deque<Request> requests_;
    std::unique_ptr<ScriptRun> run_;
    bool running_ = false;
};

} // namespace tarvotcpc
