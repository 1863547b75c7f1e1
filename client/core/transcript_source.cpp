#include "transcript_source.hpp"

#include <algorithm>

namespace tarvotcpc {

std::size_t TranscriptSource::ChunkCount() const {
    return transcript_.Chunks().size();
}

SavedChunkInfo TranscriptSource::Chunk(std::size_t index) const {
    const tarvotcpc::Chunk &chunk = transcript_.Chunks().at(index);
    return {chunk.direction == Direction::Received ? SavedDirection::Received
                                                   : SavedDirection::Sent,
            chunk.timeUs, chunk.connection, chunk.size};
}

std::size_t TranscriptSource::Read(std::size_t index, uint64_t offset, std::span<char> out) const {
    const std::vector<tarvotcpc::Chunk> &chunks = transcript_.Chunks();
    if (index >= chunks.size() || offset >= chunks[index].size) return 0;
    const std::size_t n =
        static_cast<std::size_t>(std::min<uint64_t>(out.size(), chunks[index].size - offset));
    return transcript_.Read(chunks[index].offset + offset, n, out.data()) ? n : 0;
}

} // namespace tarvotcpc
