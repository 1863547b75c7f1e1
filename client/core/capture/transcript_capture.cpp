#include "capture/transcript_capture.hpp"

namespace tarvotcpc {

std::size_t TranscriptCapture::ItemCount() const {
    return source_.ChunkCount();
}

CaptureItem TranscriptCapture::Item(std::size_t index) const {
    SavedChunkInfo chunk = source_.Chunk(index);
    CaptureItem item;
    item.kind = chunk.isNote                              ? CaptureItemKind::Note
                : chunk.direction == SavedDirection::Sent ? CaptureItemKind::Sent
                                                          : CaptureItemKind::Received;
    item.timeUs = chunk.timeUs;
    item.connection = static_cast<uint32_t>(chunk.connection);
    item.size = chunk.size;
    item.note = std::move(chunk.note);
    return item;
}

std::size_t TranscriptCapture::Read(std::size_t index, uint64_t offset, std::span<char> out) const {
    return source_.Read(index, offset, out);
}

std::optional<CaptureConnection> TranscriptCapture::Connection(uint32_t connection) const {
    return connections_ ? connections_(connection) : std::nullopt;
}

} // namespace tarvotcpc
