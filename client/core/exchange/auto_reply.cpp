#include "exchange/auto_reply.hpp"

#include <algorithm>
#include <climits>

#include "transcript/transcript_render.hpp"
#include "vornhash.h"

namespace tarvotcpc {

namespace {

// A reply may be long (a group repeated), but not without end.
constexpr std::size_t kReplyLimitBytes = 16u << 20;

// VornExpandHash reads its values as texts, which end at a NUL: a NUL of a group goes in as a
// byte no UTF-8 text holds, and comes back afterwards.
constexpr char kNulStandIn = '\xFF';

class ScopedHash {
  public:
    ScopedHash() { live_ = VornAllocHash(&hash_, 0, 0) != 0 && VornReAllocHash(&hash_, 0) != 0; }
    ~ScopedHash() { VornFreeHash(&hash_); }
    ScopedHash(const ScopedHash &) = delete;
    ScopedHash &operator=(const ScopedHash &) = delete;
    bool Live() const { return live_; }
    Hash *get() { return &hash_; }

  private:
    Hash hash_{};
    bool live_ = false;
};

std::string GroupValue(std::string_view group, bool escapes) {
    std::string value;
    value.reserve(group.size());
    for (const char c : group) {
        if (escapes && c == '\\') {
            value += "\\\\";
        } else if (escapes && (c == '\r' || c == '\n')) {
            value += c == '\r' ? "\\r" : "\\n";
        } else if (c == '\0') {
            value += escapes ? std::string("\\0") : std::string(1, kNulStandIn);
        } else {
            value += c;
        }
    }
    return value;
}

std::string WindowText(int64_t us) {
    if (us % 1'000'000 == 0) return std::to_string(us / 1'000'000) + "秒間";
    return std::to_string(us / 1000) + "ミリ秒間";
}

} // namespace

std::string ExpandReply(std::string_view reply, const std::vector<std::string> &groups,
                        bool escapes, std::string *error) {
    const auto fail = [error](std::string text) {
        if (error) *error = std::move(text);
        return std::string();
    };
    if (reply.find('\0') != reply.npos || reply.find(kNulStandIn) != reply.npos)
        return fail("応答文にNULまたはUTF-8でないバイトが含まれています");
    ScopedHash hash;
    if (!hash.Live()) return fail("メモリが足りません");
    std::vector<std::string> values;
    for (std::size_t g = 0; g <= 9; ++g) {
        values.push_back(GroupValue(g < groups.size() ? groups[g] : std::string(), escapes));
        const std::string key(1, char('0' + g));
        if (!VornSetHash(hash.get(), key.c_str(), 0, values.back().c_str(), -1))
            return fail("メモリが足りません");
    }
    // Room for every marker that could be replaced, so that nothing is ever cut.
    std::size_t size = reply.size() + 1;
    for (std::size_t i = 0; i + 2 < reply.size(); ++i) {
        if (reply[i] == '%' && reply[i + 1] >= '0' && reply[i + 1] <= '9' && reply[i + 2] == '%')
            size += values[static_cast<std::size_t>(reply[i + 1] - '0')].size();
        if (size > kReplyLimitBytes) break;
    }
    if (size > kReplyLimitBytes || size > static_cast<std::size_t>(INT32_MAX))
        return fail("応答文が長くなりすぎます (" + std::to_string(kReplyLimitBytes >> 20) +
                    "MiBまで)");
    const std::string pattern(reply);
    std::string out(size, '\0');
    const int32_t length =
        VornExpandHash(out.data(), static_cast<int32_t>(size), pattern.c_str(), hash.get(), 0);
    out.resize(length > 0 ? static_cast<std::size_t>(length) : 0);
    if (!escapes) std::replace(out.begin(), out.end(), kNulStandIn, '\0');
    return out;
}

std::string ReplyLimitText(const ReplyLimit &limit) {
    return "自動応答を止めました: " + WindowText(limit.windowUs) + "に" +
           std::to_string(limit.count) + "回を超えて応答しようとしたためです (相手との応答の" +
           "繰り返しを防ぎます)";
}

AutoReplier::AutoReplier(const std::vector<ReplyRule> &rules, ReplyLimit limit) : limit_(limit) {
    for (const ReplyRule &rule : rules) {
        if (std::string problem = ReplyRuleProblem(rule); !problem.empty()) {
            problems_.push_back(std::move(problem));
            continue;
        }
        rules_.push_back(Rule{rule, std::make_unique<ReplyPattern>(rule.match, rule.pattern)});
    }
}

AutoReplier::~AutoReplier() = default;

void AutoReplier::Restart() {
    decoder_.reset();
    fed_ = 0;
    text_.clear();
    base_ = 0;
    sent_.clear();
    for (Rule &rule : rules_) {
        rule.next = 0;
        rule.gaveUp = false;
    }
}

void AutoReplier::Feed(std::string_view bytes, Encoding encoding) {
    if (stopped_ || rules_.empty()) return;
    if (!decoder_ || decoder_->encoding() != encoding)
        decoder_ = std::make_unique<Decoder>(encoding);
    std::vector<Unit> units;
    decoder_->Feed(bytes, fed_, units);
    fed_ += bytes.size();
    for (const Unit &unit : units) {
        if (unit.kind == UnitKind::Char)
            AppendUtf8(text_, unit.codepoint);
        else if (unit.kind == UnitKind::Invalid)
            AppendUtf8(text_, U'\uFFFD');
    }
}

AutoReplier::Outcome AutoReplier::Take(int64_t nowUs, bool escapes) {
    Outcome outcome;
    if (stopped_) return outcome;
    struct Match {
        uint64_t end;
        std::size_t rule;
        std::vector<std::string> groups;
    };
    std::vector<Match> matches;
    const uint64_t textEnd = base_ + text_.size();
    // One more than the limit lets through is enough to know that it stops.
    const std::size_t budget = limit_.count + 1;
    for (std::size_t i = 0; i < rules_.size(); ++i) {
        Rule &rule = rules_[i];
        for (std::size_t found = 0; found < budget;) {
            const auto from = static_cast<std::size_t>(rule.next - base_);
            ReplyPattern::Result result = rule.pattern->Find(text_, from, base_ == 0);
            if (result.outcome == ReplyPattern::Outcome::Found) {
                std::size_t end = result.end;
                if (end <= from) { // cannot happen with NOTEMPTY; step a character all the same
                    end = from + 1;
                    while (end < text_.size() &&
                           (static_cast<unsigned char>(text_[end]) & 0xC0) == 0x80)
                        ++end;
                }
                rule.next = base_ + end;
                matches.push_back({base_ + result.end, i, std::move(result.groups)});
                ++found;
                continue;
            }
            if (result.outcome == ReplyPattern::Outcome::Partial) {
                rule.next = base_ + result.start;
            } else {
                rule.next = textEnd;
                if (result.outcome == ReplyPattern::Outcome::TooHard && !rule.gaveUp) {
                    rule.gaveUp = true;
                    outcome.notes.push_back("自動応答「" + rule.rule.name +
                                            "」: 照合の手間が限度を超えたため、ここまでの受信"
                                            "データでは照合しません");
                }
            }
            break;
        }
    }
    std::stable_sort(matches.begin(), matches.end(),
                     [](const Match &a, const Match &b) { return a.end < b.end; });
    for (Match &match : matches) {
        while (!sent_.empty() && sent_.front() <= nowUs - limit_.windowUs)
            sent_.pop_front();
        if (sent_.size() >= limit_.count) {
            stopped_ = true;
            outcome.stopped = true;
            outcome.notes.push_back(ReplyLimitText(limit_));
            text_.clear();
            return outcome;
        }
        sent_.push_back(nowUs);
        const Rule &rule = rules_[match.rule];
        std::string error;
        std::string text = ExpandReply(rule.rule.reply, match.groups, escapes, &error);
        if (!error.empty())
            outcome.notes.push_back("自動応答「" + rule.rule.name + "」を送れません: " + error);
        else
            outcome.replies.push_back({rule.rule.name, std::move(text)});
    }
    Trim();
    return outcome;
}

void AutoReplier::Trim() {
    if (text_.size() <= 2 * kWindow) return;
    std::size_t cut = text_.size() - kWindow;
    while (cut < text_.size() && (static_cast<unsigned char>(text_[cut]) & 0xC0) == 0x80)
        ++cut;
    text_.erase(0, cut);
    base_ += cut;
    for (Rule &rule : rules_)
        rule.next = std::max(rule.next, base_);
}

} // namespace tarvotcpc
