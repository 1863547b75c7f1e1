// The automatic replies' rules on any stored entry and any received bytes: a rule that parses
// reads back from its own stored form; a rule that cannot be used says why and is left out; and
// the replies do not depend on where the received bytes were cut, for the literal rules and for
// regular expressions without constructs that see where a search starts (\G, verbs, options,
// lookarounds), as long as no search ran into the limits.
#include "formats_check.hpp"

#include <fuzzer/FuzzedDataProvider.h>

#include <map>
#include <string>
#include <vector>

#include "exchange/auto_reply.hpp"
#include "exchange/reply_rules.hpp"

using tarvotcpc::AutoReplier;
using tarvotcpc::ReplyMatch;
using tarvotcpc::ReplyRule;

namespace {

using Replies = std::map<std::string, std::vector<std::string>>;

bool Collect(AutoReplier &replier, Replies &replies, bool escapes) {
    const AutoReplier::Outcome outcome = replier.Take(0, escapes);
    for (const AutoReplier::Due &due : outcome.replies)
        replies[due.rule].push_back(due.text);
    return outcome.notes.empty();
}

bool CutsCannotMatter(const ReplyRule &rule) {
    if (rule.match != ReplyMatch::Regex) return true;
    for (const char *construct : {"(?", "(*", "\\G", "\\K", "\\C"})
        if (rule.pattern.find(construct) != std::string::npos) return false;
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    const auto encoding = tarvotcpc::kEncodings[in.ConsumeIntegralInRange<std::size_t>(
        0, tarvotcpc::kEncodingCount - 1)];
    const bool escapes = in.ConsumeBool();
    const auto cut = in.ConsumeIntegralInRange<std::size_t>(1, 16);
    const std::string entry = in.ConsumeRandomLengthString(256);
    const std::string stream = in.ConsumeRemainingBytesAsString();

    std::vector<ReplyRule> rules;
    if (std::optional<ReplyRule> parsed = tarvotcpc::ParseReplyRule(entry)) {
        FUZZ_CHECK(tarvotcpc::ParseReplyRule(tarvotcpc::FormatReplyRule(*parsed)) == *parsed ||
                   parsed->pattern.find('\0') != std::string::npos ||
                   parsed->reply.find('\0') != std::string::npos);
        rules.push_back(*parsed);
    }
    // The entry as each kind of pattern, with a reply that uses every group.
    for (const ReplyMatch match : {ReplyMatch::Contains, ReplyMatch::StartsWith, ReplyMatch::Regex})
        rules.push_back({"r" + std::to_string(int(match)), match, entry, "%0%|%1%|%9%\\"});
    const auto problem = tarvotcpc::FindReplyRulesProblem(rules);
    if (problem) FUZZ_CHECK(problem->index < rules.size() && !problem->text.empty());

    AutoReplier whole(rules, tarvotcpc::ReplyLimit{1u << 20, 1'000'000});
    FUZZ_CHECK(whole.RuleCount() + whole.Problems().size() == rules.size());
    whole.Feed(stream, encoding);
    Replies expected;
    bool clean = Collect(whole, expected, escapes);

    AutoReplier pieces(rules, tarvotcpc::ReplyLimit{1u << 20, 1'000'000});
    Replies got;
    for (std::size_t at = 0; at < stream.size(); at += cut) {
        pieces.Feed(std::string_view(stream).substr(at, cut), encoding);
        clean = Collect(pieces, got, escapes) && clean;
    }
    if (!clean) return 0;
    for (const ReplyRule &rule : rules)
        if (CutsCannotMatter(rule)) FUZZ_CHECK(got[rule.name] == expected[rule.name]);
    return 0;
}
