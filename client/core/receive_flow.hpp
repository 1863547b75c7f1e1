// Received bytes on their way from a connection's queue to the receive page, owned in one place.
//
// Text arrives far faster than an edit control can take it, so the page is handed the backlog in
// steps sized to take a few tens of milliseconds each (the size adapts to how long the last steps
// took). While the backlog is high the connection's events are left in its queue; the queue then
// fills and the connection stops reading, which holds the peer back through TCP. The end of a
// connection is handed on only once every byte before it has been taken by the page.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "connection.hpp"
#include "text.hpp"

namespace tarvotcpc {

// Received bytes that may wait in a connection's queue before it stops reading from the peer.
inline constexpr std::size_t kReceiveQueueLimit = 2 * 1024 * 1024;

class ReceiveFlow {
  public:
    ReceiveFlow();

    // While this much text waits for the page, the connection's events are left in its queue.
    static constexpr std::size_t kBacklogHigh = 2 * 1024 * 1024;

    // A new connection: a character it split is dropped, the end it brought forgotten; the text
    // of the last one still goes to the page.
    void Restart();
    // The page was emptied: nothing waiting is shown.
    void DropBacklog();

    // Called with each received event's bytes, exactly as they came, before they are decoded.
    // A result other than 0 (an errno: the transcript could not take them) holds that event and
    // every later one here; each Fill tries again from the held event, and no new event is taken
    // from the connection meanwhile, so its queue fills and it stops reading from the peer.
    using Keeper = std::function<int(std::string_view bytes)>;
    void SetKeeper(Keeper keeper) { keeper_ = std::move(keeper); }
    // The errno of the last refusal while events are held; 0 when none are.
    int KeepError() const { return held_.empty() ? 0 : keepError_; }

    // Takes the connection's events when the backlog has room for them.
    void Fill(Connection &connection);

    std::size_t Backlog() const { return text_.size() - start_; }
    bool Idle() const { return Backlog() == 0 && !end_ && held_.empty(); }

    // The next part of the backlog for the page (empty when there is none), never splitting a
    // character; then how long the page took for it.
    std::string NextStep();
    void StepTook(std::chrono::steady_clock::duration took);

    // The end event, once the page has taken everything before it.
    std::optional<ConnectionEvent> TakeEnd();

  private:
    ReceivedText decoder_;
    std::string text_;
    std::size_t start_ = 0;
    std::size_t lastStep_ = 0;
    std::size_t stepBytes_;
    std::optional<ConnectionEvent> end_;
    Keeper keeper_;
    std::vector<ConnectionEvent> held_; // taken from the connection, not yet kept
    std::size_t heldFrom_ = 0;
    int keepError_ = 0;
};

} // namespace tarvotcpc
