// The same page sent again and again: every interval, a number of times or until stopped. This is
// the schedule and the count; the controller sends (placeholders afresh each time) and a timer of
// the window's asks when the next send is due.
//
// The schedule keeps to the grid of the first send (send k is due at first + k * interval), so a
// late timer does not make the whole run drift; a send that comes more than one interval late
// starts the grid afresh from itself rather than sending a burst to catch up.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tarvotcpc {

inline constexpr int64_t kRepeatMinIntervalMs = 1;
inline constexpr int64_t kRepeatMaxIntervalMs = 24LL * 60 * 60 * 1000;
// Bytes that may wait unsent in the connection before a repeat of sends of pageBytes each stops:
// beyond what the system's socket buffers hold, the peer is not reading, and the queue must not
// grow in memory. Two sends' worth, so a large page at a short interval is not stopped while the
// socket takes it.
constexpr std::size_t RepeatUnsentLimit(std::size_t pageBytes) {
    constexpr std::size_t kLeast = std::size_t{64} << 10;
    return pageBytes > kLeast / 2 ? 2 * pageBytes : kLeast;
}

struct RepeatParams {
    int64_t intervalMs = 1000;
    uint64_t count = 10; // 0: until stopped
};

// The repeat dialog's two fields (and the options' stored values): an interval of 1 ms to a day
// and a count of 0 (until stopped) to 10^9, as decimal digits. none, with why in error, otherwise.
std::optional<RepeatParams> ParseRepeatParams(std::string_view intervalMs, std::string_view count,
                                              std::string &error);

class Repeater {
  public:
    using Clock = std::chrono::steady_clock;

    void Start(const RepeatParams &params);
    // Ends the run; why stays for the status (empty: the user stopped it).
    void Stop(std::string why);
    bool Running() const { return running_; }

    // Whether a send is due at now; the first is due at once.
    bool Due(Clock::time_point now) const { return running_ && (done_ == 0 || now >= next_); }
    // When the next send is due (the first: now).
    Clock::time_point NextDue(Clock::time_point now) const { return done_ == 0 ? now : next_; }
    // The send that was due went out at now: counted, and the run ends when it was the last.
    void Sent(Clock::time_point now);

    uint64_t Done() const { return done_; }
    const RepeatParams &Params() const { return params_; }
    // The record's note for the next send: "繰り返し送信 3/100", or "繰り返し送信 3" without end.
    std::string NoteForNext() const;
    // The status bar's field: the count while running, then how the run ended.
    std::string StatusText() const;

  private:
    RepeatParams params_;
    bool running_ = false;
    uint64_t done_ = 0;
    Clock::time_point next_{};
    std::string ended_; // why the run ended, once it has
};

} // namespace tarvotcpc
