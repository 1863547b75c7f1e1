#include "session/receive_flow.hpp"

#include "capture/capture_writer.hpp"

#include <algorithm>
#include <limits>
#include <utility>
#include <vector>

namespace tarvotcpc {

namespace {

// Keeping bytes is a copy and a scan for line breaks; a step aims at a few milliseconds so that
// the event loop turns far more often than a frame even while a flood lasts.
constexpr auto kStepTarget = std::chrono::milliseconds(4);
constexpr std::size_t kMinStep = 64 * 1024;
constexpr std::size_t kMaxStep = 8 * 1024 * 1024;
constexpr std::size_t kFirstStep = 256 * 1024;

} // namespace

ReceiveFlow::ReceiveFlow() : stepBytes_(kFirstStep) {}

std::string PeerChangedNote(const std::string &peer) {
    // The capture file reads the datagrams' new peer from this note.
    return kPeerNotePrefix + peer;
}

void ReceiveFlow::Restart() {
    end_.reset();
    sentTaken_ = 0;
    sentKept_ = 0;
    marks_.clear();
    awaitingReply_ = false;
}

void ReceiveFlow::MarkSent(uint64_t sentOffset, std::string text) {
    marks_.push_back({sentOffset, std::move(text)});
}

void ReceiveFlow::DropBacklog() {
    waiting_.clear();
    frontKept_ = 0;
    backlog_ = 0;
    keepError_ = 0;
}

bool ReceiveFlow::Take(ConnectionEvent &event) {
    switch (event.type) {
    case ConnectionEvent::Type::Received:
    case ConnectionEvent::Type::Sent: {
        const bool sent = event.type == ConnectionEvent::Type::Sent;
        if (event.data.empty()) {
            // An empty datagram went or came all the same: the record tells so.
            if (event.datagram)
                waiting_.push_back({Item::Kind::Note, event.timeUs,
                                    sent ? kEmptyDatagramSentNote : kEmptyDatagramReceivedNote});
            return true;
        }
        if (sent) sentTaken_ += event.data.size();
        backlog_ += event.data.size();
        waiting_.push_back({sent ? Item::Kind::Sent : Item::Kind::Received, event.timeUs,
                            std::move(event.data), std::max(event.lastTimeUs, event.timeUs),
                            event.datagram});
        return true;
    }
    case ConnectionEvent::Type::TlsStarting:
        waiting_.push_back({Item::Kind::Note, event.timeUs, kTlsStartsNote, event.timeUs});
        return true;
    case ConnectionEvent::Type::Marked:
        waiting_.push_back({Item::Kind::Note, event.timeUs, std::move(event.data)});
        return true;
    case ConnectionEvent::Type::Notice:
    case ConnectionEvent::Type::PeerChanged:
        // In the record where it happened, and (as progress) told at once in the window.
        waiting_.push_back({Item::Kind::Note, event.timeUs,
                            event.type == ConnectionEvent::Type::Notice
                                ? event.data
                                : PeerChangedNote(event.data)});
        return false;
    default:
        return false;
    }
}

void ReceiveFlow::Fill(Connection &connection) {
    if (end_ || backlog_ >= kBacklogHigh) return;
    if (!connection.HasEvents()) return;
    for (ConnectionEvent &event : connection.TakeEvents()) {
        if (Take(event)) continue;
        if (event.type != ConnectionEvent::Type::Ended) {
            progress_.push_back(std::move(event));
        } else {
            end_ = std::move(event);
            break;
        }
    }
}

void ReceiveFlow::FillRecordOnly(Connection &connection) {
    if (end_) return;
    for (ConnectionEvent &event : connection.TakeEvents())
        Take(event);
}

std::size_t ReceiveFlow::Keep(std::size_t budget, std::chrono::steady_clock::time_point deadline) {
    std::size_t kept = 0;
    lastReceived_ = 0;
    while (!waiting_.empty() && kept < budget) {
        // A keeper slower than the sizes promised (a disk the kernel throttles) ends the step
        // early rather than hold the window.
        if (kept > 0 && std::chrono::steady_clock::now() > deadline) break;
        const Item &front = waiting_.front();
        if (front.kind == Item::Kind::Note) {
            if (notes_) notes_(front.timeUs, front.bytes, NoteKind::Stream);
            waiting_.pop_front();
            continue;
        }
        // A datagram is kept whole, so that it stays one chunk of the record.
        std::size_t n = front.datagram ? front.bytes.size()
                                       : std::min(front.bytes.size() - frontKept_, budget - kept);
        const Direction direction =
            front.kind == Item::Kind::Sent ? Direction::Sent : Direction::Received;
        if (direction == Direction::Sent) {
            n = UpToMark(n);
        } else if (awaitingReply_) {
            awaitingReply_ = false;
            if (replies_) replies_(std::max<int64_t>(0, front.timeUs - lastSentUs_));
        }
        if (keeper_) {
            keepError_ =
                keeper_(direction, front.timeUs,
                        std::string_view(front.bytes).substr(frontKept_, n), front.datagram);
            if (keepError_ != 0) break;
        }
        kept += n;
        if (direction == Direction::Received) lastReceived_ += n;
        if (direction == Direction::Sent) {
            sentKept_ += n;
            awaitingReply_ = true;
            lastSentUs_ = frontKept_ + n == front.bytes.size() ? front.lastTimeUs : front.timeUs;
        }
        backlog_ -= n;
        frontKept_ += n;
        if (frontKept_ == front.bytes.size()) {
            waiting_.pop_front();
            frontKept_ = 0;
        }
    }
    return kept;
}

std::size_t ReceiveFlow::UpToMark(std::size_t n) {
    while (!marks_.empty() && marks_.front().offset <= sentKept_) {
        if (notes_) notes_(waiting_.front().timeUs, marks_.front().text, NoteKind::Automatic);
        marks_.pop_front();
    }
    if (!marks_.empty() && marks_.front().offset - sentKept_ < n)
        n = static_cast<std::size_t>(marks_.front().offset - sentKept_);
    return n;
}

std::size_t ReceiveFlow::KeepStep() {
    lastStep_ = Keep(stepBytes_, std::chrono::steady_clock::now() + kStepTarget);
    return lastStep_;
}

void ReceiveFlow::KeepAll() {
    Keep(std::numeric_limits<std::size_t>::max(), std::chrono::steady_clock::time_point::max());
}

void ReceiveFlow::StepTook(std::chrono::steady_clock::duration took) {
    if (took > kStepTarget) {
        stepBytes_ = std::max(kMinStep, stepBytes_ / 2);
    } else if (took < kStepTarget / 3 && lastStep_ >= stepBytes_) {
        stepBytes_ = std::min(kMaxStep, stepBytes_ * 2);
    }
}

std::optional<ConnectionEvent> ReceiveFlow::TakeEnd() {
    if (!waiting_.empty() || !end_) return std::nullopt;
    return std::exchange(end_, std::nullopt);
}

} // namespace tarvotcpc
