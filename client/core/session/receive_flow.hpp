// Received bytes on their way from a connection's queue into the transcript, owned in one place.
//
// The bytes are handed to a keeper (the controller's transcript) in steps sized to take a few
// milliseconds each, so that the window's event loop keeps turning under a flood; the page then
// draws what is on screen from the transcript. While the backlog is high the connection's events
// are left in its queue; the queue then fills and the connection stops reading, which holds the
// peer back through TCP. The same happens while the keeper refuses bytes (a full disk): nothing is
// dropped, every step tries again. The end of a connection is handed on only once every byte
// before it has been kept.
#pragma once

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "connection/connection.hpp"

namespace tarvotcpc {

// Received bytes that may wait in a connection's queue before it stops reading from the peer.
inline constexpr std::size_t kReceiveQueueLimit = 1024 * 1024;

class ReceiveFlow {
  public:
    ReceiveFlow();

    // While this many bytes wait for the keeper, the connection's events are left in its queue.
    static constexpr std::size_t kBacklogHigh = 1024 * 1024;

    // Takes bytes exactly as they came; 0 when they were kept, else an errno and nothing of them
    // was kept.
    using Keeper = std::function<int(std::string_view bytes)>;
    void SetKeeper(Keeper keeper) { keeper_ = std::move(keeper); }

    // A new connection: the end the last one brought is forgotten. Its bytes still waiting must
    // be kept (KeepAll) or dropped (DropBacklog) first, so they are not taken for the new one's.
    void Restart();
    // The page was emptied: nothing waiting is kept.
    void DropBacklog();

    // Takes the connection's events when the backlog has room for them.
    void Fill(Connection &connection);

    // Received bytes taken from the connection and not yet kept.
    std::size_t Backlog() const { return backlog_; }
    bool Idle() const { return backlog_ == 0 && !end_; }
    // The errno of the keeper's last refusal while bytes wait; 0 otherwise. EAGAIN (the keeper is
    // busy and says when it can take more) is no error to tell.
    int KeepError() const { return backlog_ > 0 && keepError_ != EAGAIN ? keepError_ : 0; }
    // Whether the keeper refused the last step, for whatever reason.
    bool Refused() const { return backlog_ > 0 && keepError_ != 0; }

    // Hands the keeper the next step of the backlog; returns the bytes it kept. Then how long the
    // step (with what the page did for it) took, which sizes the next one.
    std::size_t KeepStep();
    void StepTook(std::chrono::steady_clock::duration took);
    // Hands the keeper everything waiting, as far as it takes it.
    void KeepAll();

    // The events that tell how the connection is going (address reached, TLS), in order.
    std::vector<ConnectionEvent> TakeProgress() { return std::exchange(progress_, {}); }

    // The end event, once everything before it has been kept.
    std::optional<ConnectionEvent> TakeEnd();

  private:
    std::size_t Keep(std::size_t budget, std::chrono::steady_clock::time_point deadline);

    Keeper keeper_;
    std::deque<std::string> waiting_; // received events' bytes, oldest first
    std::size_t frontKept_ = 0;       // bytes of waiting_.front() already kept
    std::size_t backlog_ = 0;
    std::size_t lastStep_ = 0;
    std::size_t stepBytes_;
    int keepError_ = 0;
    std::optional<ConnectionEvent> end_;
    std::vector<ConnectionEvent> progress_;
};

} // namespace tarvotcpc
