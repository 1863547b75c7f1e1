#include "capture/transcript_capture.hpp"

#include <algorithm>

namespace tarvotcpc {

std::size_t TranscriptCapture::ItemCount() const {
    return transcript_.Chunks().size();
}

CaptureItem TranscriptCapture::Item(std::size_t index) const {
    const Chunk &chunk = transcript_.Chunks().at(index);
    CaptureItem item;
    item.kind =
        chunk.direction == Direction::Sent ? CaptureItemKind::Sent : CaptureItemKind::Received;
    item.timeUs = chunk.timeUs;
    item.connection = chunk.connection;
    item.size = chunk.size;
    return item;
}

std::size_t TranscriptCapture::Read(std::size_t index, uint64_t offset, std::span<char> out) const {
    const std::vector<Chunk> &chunks = transcript_.Chunks();
    if (index >= chunks.size() || offset >= chunks[index].size) return 0;
    const std::size_t n =
        static_cast<std::size_t>(std::min<uint64_t>(out.size(), chunks[index].size - offset));
    return transcript_.Read(chunks[index].offset + offset, n, out.data()) ? n : 0;
}

std::optional<CaptureConnection> TranscriptCapture::Connection(uint32_t connection) const {
    return connections_ ? connections_(connection) : std::nullopt;
}

} // namespace tarvotcpc
