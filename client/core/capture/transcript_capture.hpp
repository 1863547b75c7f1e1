// The page's record as a capture's input: its chunks and notes as items, in the record's order,
// with what the session knows of each connection's addresses.
#pragma once

#include <functional>
#include <optional>

#include "capture/capture_writer.hpp"
#include "saves/transcript_source.hpp"
#include "transcript/transcript.hpp"

namespace tarvotcpc {

using CaptureConnections = std::function<std::optional<CaptureConnection>(uint32_t connection)>;

// Holds a reference: the transcript must outlive it and must not be cleared while a job reads it.
class TranscriptCapture : public CaptureInput {
  public:
    TranscriptCapture(const Transcript &transcript, CaptureConnections connections)
        : source_(transcript), connections_(std::move(connections)) {}

    std::size_t ItemCount() const override;
    CaptureItem Item(std::size_t index) const override;
    std::size_t Read(std::size_t index, uint64_t offset, std::span<char> out) const override;
    std::optional<CaptureConnection> Connection(uint32_t connection) const override;

  private:
    TranscriptSource source_; // the notes among the chunks, as the saves read them
    CaptureConnections connections_;
};

} // namespace tarvotcpc
