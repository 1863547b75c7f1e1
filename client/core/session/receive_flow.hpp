// The connection's bytes on their way from its queue into the transcript, owned in one place:
// what was received and what the socket took of the sends, in the order of the wire, with the
// notes that mark the stream (the switch to TLS, a send the client made by itself) where they
// happened.
//
// The bytes are handed to a keeper (the controller's transcript) in steps sized to take a few
// milliseconds each, so that the window's event loop keeps turning under a flood; the page then
// draws what is on screen from the transcript. While the backlog is high the connection's events
// are left in its queue; the queue then fills and the connection stops reading, which holds the
// peer back through TCP. The same happens while the keeper refuses bytes (a full disk): nothing is
// dropped, every step tries again, and nothing behind refused bytes goes ahead of them. The end of
// a connection is handed on only once everything before it has been kept.
#pragma once

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "connection/connection.hpp"
#include "transcript/transcript.hpp"

namespace tarvotcpc {

// Received bytes that may wait in a connection's queue before it stops reading from the peer.
inline constexpr std::size_t kReceiveQueueLimit = 1024 * 1024;

// The note of a new sender (UDP, listening).
std::string PeerChangedNote(const std::string &peer);

class ReceiveFlow {
  public:
    ReceiveFlow();

    // While this many bytes wait for the keeper, the connection's events are left in its queue.
    static constexpr std::size_t kBacklogHigh = 1024 * 1024;

    // Takes bytes of one direction exactly as they came or went, with when; 0 when they were
    // kept, else an errno and nothing of them was kept. A datagram comes whole, in one call.
    using Keeper = std::function<int(Direction direction, int64_t timeUs, std::string_view bytes,
                                     bool datagram)>;
    // Takes a note; a note is never refused.
    using NoteKeeper = std::function<void(int64_t timeUs, const std::string &text, NoteKind kind)>;
    // Told, just before the keeper is first handed the bytes of an answer (the first received
    // bytes after bytes sent), how long the answer took: from the last sent byte's write to the
    // answer's first read, in microseconds (never below 0, should the clock step back).
    using ReplyKeeper = std::function<void(int64_t us)>;
    void SetKeeper(Keeper keeper, NoteKeeper notes = {}, ReplyKeeper replies = {}) {
        keeper_ = std::move(keeper);
        notes_ = std::move(notes);
        replies_ = std::move(replies);
    }

    // The sent bytes from `sentOffset` on (counted as SentTaken counts them, since Restart) are
    // the client's own send: an Automatic note with text stands before them once the socket has
    // taken them. Marks are given in the order of their offsets; one for bytes never sent is
    // dropped with the connection.
    void MarkSent(uint64_t sentOffset, std::string text);

    // A new connection: the end the last one brought is forgotten, and its count of bytes sent.
    // Its bytes still waiting must be kept (KeepAll) or dropped (DropBacklog) first, so they are
    // not taken for the new one's.
    void Restart();
    // The page was emptied: nothing waiting is kept.
    void DropBacklog();

    // Takes the connection's events when the backlog has room for them.
    void Fill(Connection &connection);
    // Takes whatever bytes and notes the connection still has queued, leaving out its progress
    // and its end: for a connection that is being dropped.
    void FillRecordOnly(Connection &connection);

    // Bytes taken from the connection and not yet kept.
    std::size_t Backlog() const { return backlog_; }
    bool Idle() const { return waiting_.empty() && !end_; }
    // Bytes or notes wait to be kept.
    bool Waiting() const { return !waiting_.empty(); }
    // The bytes the connection told as sent since Restart.
    uint64_t SentTaken() const { return sentTaken_; }
    // Whether bytes were sent since the last received ones (since Restart): their answer has
    // not come yet.
    bool AwaitingAnswer() const { return awaitingReply_; }
    // The errno of the keeper's last refusal while bytes wait; 0 otherwise. EAGAIN (the keeper is
    // busy and says when it can take more) is no error to tell.
    int KeepError() const { return backlog_ > 0 && keepError_ != EAGAIN ? keepError_ : 0; }
    // Whether the keeper refused the last step, for whatever reason.
    bool Refused() const { return backlog_ > 0 && keepError_ != 0; }

    // Hands the keeper the next step of what waits; returns the bytes it kept. Then how long the
    // step (with what the page did for it) took, which sizes the next one.
    std::size_t KeepStep();
    // Of the bytes the last step kept, those received.
    std::size_t LastStepReceived() const { return lastReceived_; }
    void StepTook(std::chrono::steady_clock::duration took);
    // Hands the keeper everything waiting, as far as it takes it.
    void KeepAll();

    // The events that tell how the connection is going (address reached, TLS, a datagram's
    // notice or new sender, which also stand in the record as notes), in order.
    std::vector<ConnectionEvent> TakeProgress() { return std::exchange(progress_, {}); }

    // The end event, once everything before it has been kept.
    std::optional<ConnectionEvent> TakeEnd();

  private:
    struct Item {
        enum class Kind : uint8_t { Received, Sent, Note } kind;
        int64_t timeUs = 0;
        std::string bytes;      // a note's text
        int64_t lastTimeUs = 0; // of the last piece read or written
        bool datagram = false;
    };
    struct Mark {
        uint64_t offset = 0;
        std::string text;
    };

    // Whether the event was one of bytes or a note, now waiting, and nothing more (a datagram's
    // notice waits as a note and is progress too).
    bool Take(ConnectionEvent &event);
    // Of the front item (sent bytes), how many may go before the next mark; emits the mark's note
    // when it stands at the next byte.
    std::size_t UpToMark(std::size_t n);
    std::size_t Keep(std::size_t budget, std::chrono::steady_clock::time_point deadline);

    Keeper keeper_;
    NoteKeeper notes_;
    ReplyKeeper replies_;
    std::deque<Mark> marks_;
    uint64_t sentKept_ = 0;      // sent bytes handed to the keeper since Restart
    bool awaitingReply_ = false; // sent bytes were kept after the last received ones
    int64_t lastSentUs_ = 0;     // when the last sent byte kept was written
    std::deque<Item> waiting_;   // oldest first
    std::size_t frontKept_ = 0;  // bytes of waiting_.front() already kept
    std::size_t backlog_ = 0;
    std::size_t lastStep_ = 0;
    std::size_t lastReceived_ = 0;
    std::size_t stepBytes_;
    uint64_t sentTaken_ = 0;
    int keepError_ = 0;
    std::optional<ConnectionEvent> end_;
    std::vector<ConnectionEvent> progress_;
};

} // namespace tarvotcpc
