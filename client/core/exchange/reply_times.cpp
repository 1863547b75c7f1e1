#include "exchange/reply_times.hpp"

#include <algorithm>

#include "saves/saving.hpp"

namespace tarvotcpc {

namespace {

// The value at nearest rank ceil(percent / 100 * n), 1-based, of sorted values.
int64_t Rank(const std::vector<int64_t> &sorted, std::size_t percent) {
    const std::size_t rank = (percent * sorted.size() + 99) / 100;
    return sorted[std::max<std::size_t>(rank, 1) - 1];
}

} // namespace

ReplySummary SummarizeReplies(std::vector<int64_t> us) {
    ReplySummary summary;
    if (us.empty()) return summary;
    std::sort(us.begin(), us.end());
    summary.count = us.size();
    summary.medianUs = Rank(us, 50);
    summary.p95Us = Rank(us, 95);
    summary.maxUs = us.back();
    return summary;
}

std::string ReplySummaryText(const ReplySummary &summary) {
    if (summary.count == 0) return "この接続では、送信への応答をまだ受信していません";
    return "この接続の応答時間 (" + std::to_string(summary.count) +
           "回)\n中央値: " + ReplyTimeText(summary.medianUs) +
           "\n95パーセンタイル: " + ReplyTimeText(summary.p95Us) +
           "\n最大: " + ReplyTimeText(summary.maxUs);
}

} // namespace tarvotcpc
