#include "saves/transcript_source.hpp"

#include "transcript/transcript_render.hpp"

#include <algorithm>

namespace tarvotcpc {

std::size_t TranscriptSource::ChunkCount() const {
    return transcript_.Chunks().size() + transcript_.Notes().size();
}

// Note k stands at k + the chunks that start before its offset, which grows with k: the notes
// before an index are found by halving, as few or as many as there are.
TranscriptSource::Place TranscriptSource::Locate(std::size_t index) const {
    const std::vector<tarvotcpc::Chunk> &chunks = transcript_.Chunks();
    const std::vector<tarvotcpc::Note> &notes = transcript_.Notes();
    const auto placeOf = [&](std::size_t k) {
        const auto before = std::lower_bound(
            chunks.begin(), chunks.end(), notes[k].offset,
            [](const tarvotcpc::Chunk &c, uint64_t offset) { return c.offset < offset; });
        return k + std::size_t(before - chunks.begin());
    };
    std::size_t lo = 0, hi = notes.size();
    while (lo < hi) {
        const std::size_t mid = lo + (hi - lo) / 2;
        if (placeOf(mid) < index)
            lo = mid + 1;
        else
            hi = mid;
    }
    if (lo < notes.size() && placeOf(lo) == index) return {true, lo};
    return {false, index - lo};
}

SavedChunkInfo TranscriptSource::Chunk(std::size_t index) const {
    const Place place = Locate(index);
    if (place.note) {
        const tarvotcpc::Note &note = transcript_.Notes().at(place.index);
        return SavedChunkInfo::Note(note.timeUs, note.connection, note.text);
    }
    const tarvotcpc::Chunk &chunk = transcript_.Chunks().at(place.index);
    SavedChunkInfo info(chunk.direction == Direction::Received ? SavedDirection::Received
                                                               : SavedDirection::Sent,
                        chunk.timeUs, chunk.connection, chunk.size);
    if (chunk.direction == Direction::Received)
        info.replyUs = transcript_.ReplyTimeAt(chunk.offset);
    info.datagram = chunk.datagram;
    return info;
}

std::size_t TranscriptSource::Read(std::size_t at, uint64_t offset, std::span<char> out) const {
    const Place place = Locate(at);
    const std::vector<tarvotcpc::Chunk> &chunks = transcript_.Chunks();
    const std::size_t index = place.index;
    if (place.note || index >= chunks.size() || offset >= chunks[index].size) return 0;
    const std::size_t n =
        static_cast<std::size_t>(std::min<uint64_t>(out.size(), chunks[index].size - offset));
    return transcript_.Read(chunks[index].offset + offset, n, out.data()) ? n : 0;
}

namespace {

class TranscriptChunkDecoder : public ChunkDecoder {
  public:
    explicit TranscriptChunkDecoder(Encoding encoding) : encoding_(encoding), decoder_(encoding) {}

    std::string Decode(std::string_view bytes) override {
        units_.clear();
        decoder_.Feed(bytes, offset_, units_);
        offset_ += bytes.size();
        return Shown();
    }

    std::string Finish() override {
        units_.clear();
        decoder_.Finish(units_);
        return Shown();
    }

    // Whether the held start completes is tried on a copy, so that this decoder goes on as if
    // nothing had been looked at; finishing keeps the character set a shift chose.
    std::string EndChunk(const std::function<std::string()> &next) override {
        const DecoderState state = decoder_.State();
        if (state.heldLength == 0) return {};
        const std::string following = next();
        if (!following.empty()) {
            Decoder probe(encoding_);
            probe.Restore(state, offset_);
            std::vector<Unit> units;
            probe.Feed(following, offset_, units);
            // A character, or an ISO-2022-JP shift, that began in what is held.
            if (!units.empty() && units.front().kind != UnitKind::Invalid &&
                units.front().offset < offset_)
                return {};
        }
        return Finish();
    }

  private:
    std::string Shown() const {
        std::string out;
        for (const Unit &unit : units_) {
            if (unit.kind == UnitKind::Char)
                AppendUtf8(out, unit.codepoint);
            else if (unit.kind == UnitKind::Invalid)
                AppendInvalidByte(static_cast<unsigned char>(unit.codepoint), out);
        }
        return out;
    }

    Encoding encoding_;
    Decoder decoder_;
    uint64_t offset_ = 0;
    std::vector<Unit> units_;
};

} // namespace

ChunkDecoderFactory ChunkDecodersFor(Encoding encoding) {
    if (encoding == Encoding::Utf8) return MakeUtf8ChunkDecoder;
    return [encoding]() -> std::unique_ptr<ChunkDecoder> {
        return std::make_unique<TranscriptChunkDecoder>(encoding);
    };
}

} // namespace tarvotcpc
