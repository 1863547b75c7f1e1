// The page's record as a capture's input: its chunks as items, with what the session knows of each
// connection's addresses.
#pragma once

#include <functional>
#include <optional>

#include "capture/capture_writer.hpp"
#include "transcript/transcript.hpp"

namespace tarvotcpc {

using CaptureConnections = std::function<std::optional<CaptureConnection>(uint32_t connection)>;

// Holds a reference: the transcript must outlive it and must not be cleared while a job reads it.
class TranscriptCapture : public CaptureInput {
  public:
    TranscriptCapture(const Transcript &transcript, CaptureConnections connections)
        : transcript_(transcript), connections_(std::move(connections)) {}

    std::size_t ItemCount() const override;
    CaptureItem Item(std::size_t index) const override;
    std::size_t Read(std::size_t index, uint64_t offset, std::span<char> out) const override;
    std::optional<CaptureConnection> Connection(uint32_t connection) const override;

  private:
    const Transcript &transcript_;
    CaptureConnections connections_;
};

} // namespace tarvotcpc
