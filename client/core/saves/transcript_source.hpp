// The transcript as saves and logs read it.
#pragma once

#include "saves/saving.hpp"
#include "transcript/text_decoder.hpp"
#include "transcript/transcript.hpp"

namespace tarvotcpc {

// Reads a Transcript through the SavedTranscript interface, its notes among the chunks (each
// before the chunk that starts at its offset). It holds a reference: the transcript must outlive
// it and must not be cleared while a save reads it; what is added meanwhile comes after every
// index that was there before.
class TranscriptSource : public SavedTranscript {
  public:
    explicit TranscriptSource(const Transcript &transcript) : transcript_(transcript) {}
    std::size_t ChunkCount() const override;
    SavedChunkInfo Chunk(std::size_t index) const override;
    std::size_t Read(std::size_t index, uint64_t offset, std::span<char> out) const override;

  private:
    struct Place {
        bool note = false;
        std::size_t index = 0; // in Notes() or Chunks()
    };
    Place Locate(std::size_t index) const;

    const Transcript &transcript_;
};

// Text saves and logs decode in the encoding the receive page shows, so that what is kept reads
// as what was seen.
ChunkDecoderFactory ChunkDecodersFor(Encoding encoding);

} // namespace tarvotcpc
