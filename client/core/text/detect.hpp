// Guessing the encoding of what a peer sends, from the first bytes of a connection, through
// uchardet. Only the encodings the receive page can show are ever offered; anything else, and
// text that is plain ASCII, gives no guess, so that an English reply never raises a false alarm.
//
// A guess is weak while the bytes behind it are few (uchardet reads ten bytes of Shift_JIS as
// Windows-1252) or when the encoding reads any bytes at all (Latin-1); the detector then looks
// again as more bytes come, up to kSampleLimit. A strong guess (enough non-ASCII bytes, all of
// them decoding cleanly) is final for the connection.
#pragma once

#include "text/encoding.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace tarvotcpc {

enum class DetectStrength : uint8_t { None, Weak, Strong };

struct Detection {
    std::optional<Encoding> encoding; // none: no guess
    DetectStrength strength = DetectStrength::None;
    bool operator==(const Detection &) const = default;
};

// The page's encoding for a name uchardet gives (any case); none for the others, ASCII included.
std::optional<Encoding> EncodingForDetectedName(std::string_view name);

class EncodingDetector {
  public:
    // Bytes of the connection looked at, at most.
    static constexpr std::size_t kSampleLimit = 16 * 1024;
    // Bytes that only the guessed encoding explains (above ASCII, or inside ISO-2022-JP's
    // two-byte sets) that make a clean guess strong.
    static constexpr std::size_t kStrongEvidence = 64;
    // Below this many such bytes there is no guess at all.
    static constexpr std::size_t kLeastEvidence = 2;

    EncodingDetector();
    ~EncodingDetector();
    EncodingDetector(const EncodingDetector &) = delete;
    EncodingDetector &operator=(const EncodingDetector &) = delete;

    // The connection's next received bytes. Looks again when the bytes taken have doubled since
    // the last look (so a stream of tiny reads costs little) or the sample is full; true when the
    // guess changed.
    bool Feed(std::string_view bytes);
    const Detection &Guess() const { return guess_; }
    // Nothing fed from now on can change the guess: it is strong, or the sample is full.
    bool Settled() const;
    // A new connection: everything forgotten.
    void Reset();

  private:
    Detection Look() const;

    struct Handle;
    std::unique_ptr<Handle> handle_;
    std::string sample_;
    std::size_t lookedAt_ = 0; // sample size at the last look
    Detection guess_;
};

} // namespace tarvotcpc
