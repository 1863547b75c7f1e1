// A capture file (pcap or pcapng, through libpcap) opened back into a record: the bytes of one TCP
// stream, each direction put back in order by its sequence numbers, with the times the packets
// were captured. A capture is a file the user chose, so everything in it is hostile input: any
// length, link type or header may be wrong, and a file that ends early still gives what it holds.
//
// Which stream: the first that carries bytes (the first TCP stream at all when none does); the
// others are counted. Reassembly drops retransmitted and overlapping bytes, waits for segments
// that came early, and skips (and counts) bytes the capture never had: a segment cut short by
// the capture's snapshot length, a gap that is never filled.
//
// Which side is this one (its bytes shown as sent): the side whose packets the capture marks as
// outgoing (Linux cooked headers, as this program writes them) when only one side's are; else the
// side that sent the SYN; else the side with the higher port (an ephemeral one); else the source
// of the first packet.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "capture/capture_writer.hpp"
#include "transcript/transcript.hpp"

namespace tarvotcpc {

struct CaptureSummary {
    std::string local; // "127.0.0.1:40000"
    std::string peer;
    uint64_t packets = 0; // of the stream read
    uint64_t sent = 0;    // bytes of each direction put into the record
    uint64_t received = 0;
    uint64_t missing = 0;           // bytes the capture lacks, skipped
    std::size_t otherStreams = 0;   // TCP streams besides the one read
    uint64_t unreadablePackets = 0; // IP fragments and packets cut inside their headers
    std::string fileProblem;        // the file ends early or breaks off: what libpcap said
    // How the stream began and ended, as far as the capture shows it.
    bool localOpened = true; // no SYN from the peer (this side's, or none captured)
    bool ended = false;      // a FIN or RST was captured
    bool closedByPeer = false;
};

// The stream's ends as a capture written from the record names them again.
std::optional<CaptureConnection> CaptureConnectionOf(const CaptureSummary &summary);

// Reads in steps, so that the window stays responsive over a large capture. The transcript must
// be empty; it gets the stream as connection 1.
class CaptureReadJob {
  public:
    CaptureReadJob(std::string path, Transcript &into);
    ~CaptureReadJob();
    CaptureReadJob(const CaptureReadJob &) = delete;
    CaptureReadJob &operator=(const CaptureReadJob &) = delete;

    // A capture held in memory (the fuzz target).
    static std::unique_ptr<CaptureReadJob> FromBytes(std::string bytes, Transcript &into);

    // Reads about `packets` more packets; true while there is more to do.
    bool Step(std::size_t packets = 20000);

    bool Succeeded() const { return finished_ && error_.empty(); }
    const std::string &Error() const { return error_; }
    const CaptureSummary &Summary() const { return summary_; }
    // Progress through the file's two readings, 0 to 1000.
    int Progress() const;

  private:
    struct State;
    struct Opener;

    CaptureReadJob(std::unique_ptr<Opener> opener, Transcript &into);
    bool Fail(std::string error);
    // Into the record; false (and failed) when it refuses.
    bool Deliver(bool sent, std::string_view bytes, int64_t timeUs);
    // The end of a reading: the first chooses the stream and starts the second.
    bool EndPass();

    std::unique_ptr<Opener> opener_;
    std::unique_ptr<State> state_;
    Transcript &into_;
    CaptureSummary summary_;
    bool finished_ = false;
    std::string error_;
};

struct CaptureReadOutcome {
    bool ok = false;
    std::string error;
    CaptureSummary summary;
};

// The whole file at once (tests, small files).
CaptureReadOutcome ReadCapture(const std::string &path, Transcript &into);

} // namespace tarvotcpc
