#include "transcript/record_shapes.hpp"

#include <algorithm>
#include <utility>

namespace tarvotcpc {

namespace {

// Read at once: bounds the buffer, whatever step the caller allows.
constexpr uint64_t kReadPiece = 256 * 1024;

} // namespace

RecordShapes::RecordShapes(const Transcript &transcript, ProtocolOf protocolOf)
    : transcript_(transcript), protocolOf_(std::move(protocolOf)),
      generation_(transcript.Generation()) {}

void RecordShapes::Restart() {
    generation_ = transcript_.Generation();
    chunk_ = 0;
    opened_ = kNone;
    reached_ = 0;
    failed_ = false;
    parts_.clear();
}

bool RecordShapes::Advance(uint64_t bytes) {
    if (generation_ != transcript_.Generation() || reached_ > transcript_.Size()) Restart();
    const std::vector<Chunk> &chunks = transcript_.Chunks();
    uint64_t read = 0;
    while (chunk_ < chunks.size() && !failed_) {
        const Chunk &c = chunks[chunk_];
        if (opened_ != chunk_) {
            opened_ = chunk_;
            if (parts_.empty() || parts_.back().connection != c.connection || c.startsPart) {
                if (!parts_.empty() && parts_.back().shapes) parts_.back().shapes->Finish();
                Part part;
                part.connection = c.connection;
                part.begin = c.offset;
                if (const auto protocol = protocolOf_ ? protocolOf_(c.connection) : std::nullopt)
                    part.shapes = std::make_unique<ProtocolShapes>(*protocol);
                parts_.push_back(std::move(part));
            }
        }
        if (reached_ >= c.End()) {
            // The last chunk may still grow: it is left only for a later one.
            if (chunk_ + 1 == chunks.size()) break;
            ++chunk_;
            continue;
        }
        ProtocolShapes *shapes = parts_.back().shapes.get();
        if (!shapes || c.direction != Direction::Received || shapes->Stopped()) {
            reached_ = c.End();
            continue;
        }
        if (read >= bytes) return false;
        const uint64_t n = std::min({c.End() - reached_, kReadPiece, bytes - read});
        if (!transcript_.Read(reached_, std::size_t(n), buffer_)) {
            // The record cannot be read back: the shapes end here rather than guess past a gap.
            failed_ = true;
            break;
        }
        shapes->Feed(buffer_, reached_);
        reached_ += n;
        read += n;
    }
    return failed_ || reached_ == transcript_.Size();
}

std::pair<std::size_t, std::size_t> RecordShapes::PartsIn(uint64_t from, uint64_t to) const {
    // A part runs to the next one's beginning.
    auto first = std::partition_point(parts_.begin(), parts_.end(),
                                      [from](const Part &p) { return p.begin <= from; });
    if (first != parts_.begin()) --first;
    const auto last =
        std::partition_point(first, parts_.end(), [to](const Part &p) { return p.begin < to; });
    return {std::size_t(first - parts_.begin()), std::size_t(last - parts_.begin())};
}

std::vector<Mark> RecordShapes::MarksIn(uint64_t from, uint64_t to) const {
    std::vector<Mark> out;
    const auto [first, last] = PartsIn(from, to);
    for (std::size_t i = first; i < last; ++i) {
        const ProtocolShapes *shapes = parts_[i].shapes.get();
        if (!shapes) continue;
        const auto [a, b] = shapes->MarksIn(from, to);
        out.insert(out.end(), shapes->Marks().begin() + std::ptrdiff_t(a),
                   shapes->Marks().begin() + std::ptrdiff_t(b));
    }
    return out;
}

std::vector<uint64_t> RecordShapes::NextRepliesIn(uint64_t from, uint64_t to) const {
    std::vector<uint64_t> out;
    const auto [first, last] = PartsIn(from, to);
    for (std::size_t i = first; i < last; ++i) {
        const ProtocolShapes *shapes = parts_[i].shapes.get();
        if (!shapes) continue;
        const std::vector<Reply> &replies = shapes->Replies();
        auto it = std::partition_point(replies.begin(), replies.end(),
                                       [from](const Reply &r) { return r.begin < from; });
        if (it == replies.begin() && it != replies.end()) ++it; // the part's first reply
        for (; it != replies.end() && it->begin < to; ++it)
            out.push_back(it->begin);
    }
    return out;
}

std::vector<uint64_t> RecordShapes::StopsIn(uint64_t from, uint64_t to) const {
    std::vector<uint64_t> out;
    const auto [first, last] = PartsIn(from, to);
    for (std::size_t i = first; i < last; ++i) {
        const ProtocolShapes *shapes = parts_[i].shapes.get();
        if (shapes && shapes->Stopped() && shapes->StoppedAt() >= from && shapes->StoppedAt() < to)
            out.push_back(shapes->StoppedAt());
    }
    return out;
}

} // namespace tarvotcpc
