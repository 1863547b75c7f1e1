#include "receive_flow.hpp"

#include <algorithm>
#include <utility>
#include <vector>

namespace tarvotcpc {

namespace {

// A step aims at this much time: with the conversion and the repaint that follow it the event loop
// still turns well within 100 ms, and at 20 steps a second the page takes about 10 MiB/s.
constexpr auto kStepTarget = std::chrono::milliseconds(30);
constexpr std::size_t kMinStep = 16 * 1024;
constexpr std::size_t kMaxStep = 2 * 1024 * 1024;
constexpr std::size_t kFirstStep = 128 * 1024;

} // namespace

ReceiveFlow::ReceiveFlow() : stepBytes_(kFirstStep) {}

void ReceiveFlow::Restart() {
    decoder_ = ReceivedText();
    end_.reset();
    held_.clear();
    heldFrom_ = 0;
}

void ReceiveFlow::DropBacklog() {
    text_.clear();
    text_.shrink_to_fit();
    start_ = 0;
}

void ReceiveFlow::Fill(Connection &connection) {
    if (end_ || Backlog() >= kBacklogHigh) return;
    if (held_.empty()) {
        if (connection.QueuedBytes() == 0 && !connection.Finished()) return;
        held_ = connection.TakeEvents();
        heldFrom_ = 0;
    }
    // Drop what was already shown before the backlog grows, so it never holds more than it must.
    if (start_ > 0 && start_ >= text_.size() / 2) {
        text_.erase(0, start_);
        start_ = 0;
    }
    for (; heldFrom_ < held_.size(); ++heldFrom_) {
        ConnectionEvent &event = held_[heldFrom_];
        if (event.type == ConnectionEvent::Type::Received) {
            if (keeper_) {
                keepError_ = keeper_(event.data);
                if (keepError_ != 0) return;
            }
            text_ += decoder_.Feed(event.data);
        } else {
            text_ += decoder_.Flush();
            end_ = std::move(event);
            break;
        }
    }
    held_.clear();
    heldFrom_ = 0;
}

std::string ReceiveFlow::NextStep() {
    const std::string_view rest = std::string_view(text_).substr(start_);
    std::size_t n = Utf8CutLength(rest, stepBytes_);
    if (n == 0) n = std::min<std::size_t>(rest.size(), 4);
    std::string step(rest.substr(0, n));
    start_ += n;
    if (start_ == text_.size()) {
        text_.clear();
        start_ = 0;
    }
    lastStep_ = n;
    return step;
}

void ReceiveFlow::StepTook(std::chrono::steady_clock::duration took) {
    if (took > kStepTarget) {
        stepBytes_ = std::max(kMinStep, stepBytes_ / 2);
    } else if (took < kStepTarget / 3 && lastStep_ + 3 >= stepBytes_) {
        stepBytes_ = std::min(kMaxStep, stepBytes_ * 2);
    }
}

std::optional<ConnectionEvent> ReceiveFlow::TakeEnd() {
    if (Backlog() > 0 || !end_) return std::nullopt;
    return std::exchange(end_, std::nullopt);
}

} // namespace tarvotcpc
