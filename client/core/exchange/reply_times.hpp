// How long a connection's answers took, summed up on request: how many, their median, the 95th
// percentile and the longest.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tarvotcpc {

struct ReplySummary {
    std::size_t count = 0;
    // By nearest rank: the smallest time that at least half (95 %) of the answers did not exceed.
    int64_t medianUs = 0;
    int64_t p95Us = 0;
    int64_t maxUs = 0;
};

ReplySummary SummarizeReplies(std::vector<int64_t> us);

// The summary as the window shows it; a connection without any answer to a send says so.
std::string ReplySummaryText(const ReplySummary &summary);

} // namespace tarvotcpc
