#include "exchange/repeat.hpp"

#include <utility>

namespace tarvotcpc {

namespace {

constexpr uint64_t kRepeatMaxCount = 1000000000;

// Decimal digits only, blanks around them allowed; none when it is no number or passes limit.
std::optional<uint64_t> Number(std::string_view text, uint64_t limit) {
    const std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) return std::nullopt;
    text = text.substr(first, text.find_last_not_of(" \t") - first + 1);
    uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<uint64_t>(c - '0');
        if (value > limit) return std::nullopt;
    }
    return value;
}

std::string Progress(uint64_t done, uint64_t count) {
    return count == 0 ? std::to_string(done) + "回"
                      : std::to_string(done) + "/" + std::to_string(count);
}

} // namespace

std::optional<RepeatParams> ParseRepeatParams(std::string_view intervalMs, std::string_view count,
                                              std::string &error) {
    const auto interval = Number(intervalMs, kRepeatMaxIntervalMs);
    if (!interval || *interval < static_cast<uint64_t>(kRepeatMinIntervalMs)) {
        error = "間隔はミリ秒の整数で入力してください (" + std::to_string(kRepeatMinIntervalMs) +
                " から " + std::to_string(kRepeatMaxIntervalMs) + ")";
        return std::nullopt;
    }
    const auto times = Number(count, kRepeatMaxCount);
    if (!times) {
        error = "回数は 0 (停止するまで) から " + std::to_string(kRepeatMaxCount) +
                " までの整数で入力してください";
        return std::nullopt;
    }
    return RepeatParams{static_cast<int64_t>(*interval), *times};
}

void Repeater::Start(const RepeatParams &params) {
    params_ = params;
    running_ = true;
    done_ = 0;
    ended_.clear();
}

void Repeater::Stop(std::string why) {
    if (!running_) return;
    running_ = false;
    ended_ = "繰り返し送信を停止しました (" + Progress(done_, params_.count) + ")";
    if (!why.empty()) ended_ += ": " + why;
}

void Repeater::Sent(Clock::time_point now) {
    if (!running_) return;
    ++done_;
    if (params_.count != 0 && done_ >= params_.count) {
        running_ = false;
        ended_ = "繰り返し送信 " + Progress(done_, params_.count) + " 完了";
        return;
    }
    const auto interval = std::chrono::milliseconds(params_.intervalMs);
    // next_ was this send's due time; one interval late or more, the grid starts again here.
    if (done_ == 1 || now - next_ >= interval) {
        next_ = now + interval;
    } else {
        next_ += interval;
    }
}

std::string Repeater::NoteForNext() const {
    const uint64_t number = done_ + 1;
    if (params_.count == 0) return "繰り返し送信 " + std::to_string(number);
    return "繰り返し送信 " + std::to_string(number) + "/" + std::to_string(params_.count);
}

std::string Repeater::StatusText() const {
    if (!running_) return ended_;
    std::string text = "繰り返し送信中 " + Progress(done_, params_.count);
    if (params_.count == 0) text += " (停止するまで)";
    return text;
}

} // namespace tarvotcpc
