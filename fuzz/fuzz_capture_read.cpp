// A capture file is whatever the user opens: any bytes must open into a record or a message, never
// a crash or a hang. What opens holds exactly the bytes the summary counts, each direction's in
// the record's chunks.
#include "formats_check.hpp"

#include <string>

#include "capture/capture_reader.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    tarvotcpc::Transcript record;
    auto job = tarvotcpc::CaptureReadJob::FromBytes(
        std::string(reinterpret_cast<const char *>(data), size), record);
    int steps = 0;
    while (job->Step(7)) {
        FUZZ_CHECK(job->Progress() >= 0 && job->Progress() <= 1000);
        FUZZ_CHECK(++steps < 1000000);
    }
    if (!job->Succeeded()) {
        FUZZ_CHECK(!job->Error().empty());
        return 0;
    }
    const tarvotcpc::CaptureSummary &summary = job->Summary();
    FUZZ_CHECK(record.Size() == summary.sent + summary.received);
    uint64_t sent = 0;
    for (const tarvotcpc::Chunk &chunk : record.Chunks())
        if (chunk.direction == tarvotcpc::Direction::Sent) sent += chunk.size;
    FUZZ_CHECK(sent == summary.sent);
    FUZZ_CHECK(!summary.local.empty() && !summary.peer.empty());
    return 0;
}
