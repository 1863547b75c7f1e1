// The protocol shapes of a whole record: each connection's received bytes read as the protocol
// chosen for that connection, one ProtocolShapes per part of the record. It reads the record
// itself, as far as each step is allowed, so that a protocol chosen after a GiB arrived is applied
// without holding the window; a connection read as no protocol costs a look at its chunks and
// nothing more.
//
// A part is the run of chunks of one connection (Transcript::BeginConnection); it ends where the
// next begins, and its shapes are then finished (a body read until the connection ends is over).
// Emptying the transcript (its generation) starts the reading over.
#pragma once

#include "transcript/protocol_shapes.hpp"
#include "transcript/transcript.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace tarvotcpc {

class RecordShapes {
  public:
    // The protocol a connection's replies are read as; none: not read.
    using ProtocolOf = std::function<std::optional<Protocol>(uint32_t connection)>;

    RecordShapes(const Transcript &transcript, ProtocolOf protocolOf);

    // Reads on, up to about `bytes` received bytes of the parts read as a protocol; true once
    // everything in the transcript so far is read.
    bool Advance(uint64_t bytes);
    // The transcript offset read up to (where a read of the record failed, if one did).
    uint64_t Reached() const { return reached_; }

    struct Part {
        uint32_t connection = 0;
        uint64_t begin = 0;                     // its first chunk's offset
        std::unique_ptr<ProtocolShapes> shapes; // null: read as no protocol
    };
    const std::vector<Part> &Parts() const { return parts_; }

    // Over [from, to), in order: the marks that overlap it, and the replies that begin in it after
    // an earlier reply of their part (where one reply gives way to the next).
    std::vector<Mark> MarksIn(uint64_t from, uint64_t to) const;
    std::vector<uint64_t> NextRepliesIn(uint64_t from, uint64_t to) const;
    // Where a part stopped shaping (too many replies or marks), when that is in [from, to).
    std::vector<uint64_t> StopsIn(uint64_t from, uint64_t to) const;

  private:
    void Restart();
    // Parts overlapping [from, to), as a range of indexes.
    std::pair<std::size_t, std::size_t> PartsIn(uint64_t from, uint64_t to) const;

    const Transcript &transcript_;
    ProtocolOf protocolOf_;
    uint64_t generation_ = 0;
    static constexpr std::size_t kNone = ~std::size_t{0};
    std::size_t chunk_ = 0;      // the chunk being read
    std::size_t opened_ = kNone; // the chunk whose part was looked for
    bool failed_ = false;        // a read of the record failed: nothing more is read
    uint64_t reached_ = 0;
    std::vector<Part> parts_;
    std::string buffer_;
};

} // namespace tarvotcpc
