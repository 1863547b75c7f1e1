// One run of a Lua 5.4 script against a connection (docs/scripts.md has the functions a script
// sees). The script runs on a thread of its own, so the window never waits for it: its requests
// go out through an ExchangeChannel, and what happens on the connection comes back through this
// run's ExchangeSink side, from whichever thread drives the connection.
//
// Sandbox: only string, table, math, utf8 and a restricted os (time, clock, date) beside the safe
// base functions; nothing loads code from files or binary chunks, runs programs or writes files.
// A script is stopped between any two of its instructions and in any of its waits once Stop is
// called, and cannot catch that; its memory is limited.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "exchange/exchange_channel.hpp"
#include "exchange/placeholders.hpp"
#include "text/send_encoding.hpp"

struct lua_State;

namespace tarvotcpc {

class Decoder;

// A step of a script as it begins: which function, on which line of the script, and a line for
// the user naming it ("login.lua:12: expect: 「+OK\r\n」を待ちます (10秒まで)").
struct ScriptStep {
    std::string function;
    int line = 0;
    std::string text;
};

struct ScriptOptions {
    // send() encodes as the send page does; received text is decoded from the same encoding.
    SendEncoding encoding = SendEncoding::Utf8;
    LineEnding lineEnding = LineEnding::Crlf;
    bool escapes = false;
    // The placeholders, as the table `vars`.
    std::vector<std::pair<std::string, std::string>> vars;
    // With values, send() replaces "%name%" markers as the send page does when its switch is
    // on; "%counter%" goes up by one with each send() from the value given.
    std::optional<PlaceholderValues> placeholders;
    double expectSeconds = 10;  // expect and expect_re without a time of their own
    double connectSeconds = 30; // connect, starttls and close
    double longestWait = 86400; // no wait is longer, whatever the script asks
    std::size_t memoryLimit = std::size_t{256} << 20;
    // Received text expect searches; older text not yet taken by an expect leaves its view (it
    // stays in the record).
    std::size_t receiveWindow = std::size_t{8} << 20;
    bool connected = false; // a connection is up when the run starts
    // Called on the script's thread once the run has ended; must not block.
    std::function<void()> finished;
    // Called on the script's thread as each function of the script's begins; must not block.
    std::function<void(const ScriptStep &)> step;
};

struct ScriptOutcome {
    enum class State { Running, Succeeded, Failed, Stopped };
    State state = State::Running;
    // Failed: the error as "name:line: text"; Stopped: why.
    std::string message;
    int line = 0; // of the failure, when the script's text has one
    // Failed because connect() could not reach its peer (the error came from connect and the
    // script did not catch it).
    bool connectFailed = false;
};

class ScriptRun : public ExchangeSink {
  public:
    // name: how messages name the script (its file name).
    ScriptRun(std::string source, std::string name, ExchangeChannel &channel,
              ScriptOptions options = {});
    // Stops the run and waits for its thread.
    ~ScriptRun() override;
    ScriptRun(const ScriptRun &) = delete;
    ScriptRun &operator=(const ScriptRun &) = delete;

    // Runs the script on a thread of its own.
    void Start();
    // Runs it on the caller's thread, to its end.
    void RunHere();
    // Asks the script to stop: it ends at its next instruction or wait. Any thread; returns at
    // once.
    void Stop();

    bool Finished() const;
    // Waits for the end at most `timeout`; whether it came.
    bool WaitFinished(std::chrono::milliseconds timeout);
    ScriptOutcome Outcome() const;

    // ExchangeSink: any thread.
    void Received(std::string_view bytes, int64_t timeUs) override;
    void Connected(const std::string &peer) override;
    void Secured(const std::string &description) override;
    void Ended(const std::string &reason) override;

  private:
    friend struct ScriptLua;
    using Clock = std::chrono::steady_clock;
    enum class Waited { Done, TimedOut, Stopped };

    void Finish(ScriptOutcome outcome);
    // Pumps the channel and waits until ready() (called with the lock held), the deadline or a
    // stop.
    Waited WaitUntil(const std::function<bool()> &ready, Clock::time_point deadline);
    void Wake();
    // The last bytes received, escaped for a message.
    std::string LastBytesText() const;
    std::string NotDone(const std::string &what, Waited waited, double seconds,
                        const std::string &ended) const;

    // What the channel's wake-up calls: the channel (and a connection it made) may outlive the
    // run, so the run is cut from it when destroyed rather than woken after.
    struct WakeTarget {
        std::mutex mutex;
        ScriptRun *run = nullptr;
    };
    const std::shared_ptr<WakeTarget> wakeTarget_ = std::make_shared<WakeTarget>();

    const std::string source_;
    const std::string name_;
    ExchangeChannel &channel_;
    const ScriptOptions options_;
    std::atomic<bool> stop_{false};
    std::thread thread_;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool woken_ = false;
    std::string pending_;         // received text no expect has taken yet
    uint64_t pendingVersion_ = 0; // bumped as text comes
    std::string lastBytes_;       // the last bytes received, as they came
    std::unique_ptr<Decoder> decoder_;
    uint64_t decoded_ = 0;
    bool connected_ = false;
    uint64_t connects_ = 0; // counts the events, so a wait knows one came after it began
    uint64_t secures_ = 0;
    uint64_t ends_ = 0;
    std::string endReason_;
    ScriptOutcome outcome_;
    bool finished_ = false;
    std::condition_variable finishedChanged_;

    // Used by the script's functions on its thread only: the memory in use, the message of the
    // error being raised and the values being returned, kept here rather than on the stack that a
    // Lua error unwinds without destructors.
    std::size_t memoryUsed_ = 0;
    std::string error_;
    std::vector<std::optional<std::string>> results_;
    std::optional<PlaceholderValues> placeholders_; // send()'s, counting on
    bool unreachable_ = false; // the error being raised is connect() not reaching its peer
    std::string connectError_; // the last such error, as the script saw it
};

} // namespace tarvotcpc
