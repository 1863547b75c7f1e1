// Automatic replies without a connection: the same replies however the peer's bytes are cut,
// against a plain search for the literal rules; groups that go back exactly as they came through
// the send page's encoder; the limit that stops a reply loop; a pattern that backtracks without
// end; the rules' stored form.
#include "exchange/auto_reply.hpp"
#include "exchange/reply_rules.hpp"
#include "exchange/reply_times.hpp"
#include "text/send_encoding.hpp"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

namespace tarvotcpc {
namespace {

using namespace std::string_literals;
using Replies = std::map<std::string, std::vector<std::string>>; // rule → its replies, in order

ReplyRule Rule(std::string name, ReplyMatch match, std::string pattern, std::string reply) {
    return ReplyRule{std::move(name), match, std::move(pattern), std::move(reply)};
}

void Collect(AutoReplier &replier, Replies &replies) {
    const AutoReplier::Outcome outcome = replier.Take(0, false);
    EXPECT_TRUE(outcome.notes.empty());
    for (const AutoReplier::Due &due : outcome.replies)
        replies[due.rule].push_back(due.text);
}

// The decoded text's lines that start with prefix, and prefix's occurrences, each counted from
// where the last one ended, as a plain search finds them.
std::size_t Occurrences(const std::string &text, const std::string &literal, bool lineStart) {
    std::size_t n = 0;
    for (std::size_t at = text.find(literal); at != std::string::npos;
         at = text.find(literal, at + (lineStart ? 1 : literal.size()))) {
        if (!lineStart || at == 0 || text[at - 1] == '\n' || text[at - 1] == '\r') ++n;
    }
    return n;
}

// Each rule gives the same replies whether the peer's bytes come whole or cut anywhere (inside a
// character, a line break or a match), and the literal rules fire exactly where a plain search
// finds their text.
TEST(AutoReply, CutsAnywhereGiveTheRepliesOfTheWholeText) {
    struct Case {
        Encoding encoding;
        std::vector<std::string> pieces; // what a peer writes, in the encoding
        std::string name;                // "名前" in the encoding
    };
    const std::vector<Case> cases = {
        {Encoding::Utf8,
         {"PING", "PI", "NG", "\r\n", "\n", "\r", "GET /", "ECHO abc\r\n", "ECHO d\n",
          "12+34=", "1+2+3=", "名前:", "太郎", " ", "x", "\xff", "GET"},
         "名前"},
        {Encoding::ShiftJis,
         {"PING", "NG", "\r\n", "\r", "GET /", "ECHO abc\r\n",
          "12+34=", "\x96\xbc\x91\x4f:", "\x91\xbe\x98\x59", " ", "\x81"},
         "\x96\xbc\x91\x4f"},
    };
    const std::vector<ReplyRule> rules = {
        Rule("ping", ReplyMatch::Contains, "PING", "PONG %0%"),
        Rule("get", ReplyMatch::StartsWith, "GET ", "got"),
        Rule("echo", ReplyMatch::Regex, "ECHO (\\w+)\\r?\\n", "%1%"),
        Rule("sum", ReplyMatch::Regex, "(\\d+)\\+(\\d+)=", "%2%+%1%"),
        Rule("name", ReplyMatch::Regex, "名前:(\\S+)\\s", "<%1%>"),
    };
    std::mt19937 random(20240611);
    for (const Case &c : cases) {
        for (int round = 0; round < 60; ++round) {
            std::string stream;
            const auto pieceCount = std::uniform_int_distribution<int>(1, 80)(random);
            for (int i = 0; i < pieceCount; ++i)
                stream += c.pieces[std::uniform_int_distribution<std::size_t>(0, c.pieces.size() -
                                                                                     1)(random)];

            AutoReplier whole(rules, ReplyLimit{1u << 20, 1'000'000});
            whole.Feed(stream, c.encoding);
            Replies expected;
            Collect(whole, expected);

            AutoReplier cut(rules, ReplyLimit{1u << 20, 1'000'000});
            Replies got;
            for (std::size_t at = 0; at < stream.size();) {
                const std::size_t n = std::uniform_int_distribution<std::size_t>(1, 7)(random);
                cut.Feed(std::string_view(stream).substr(at, n), c.encoding);
                Collect(cut, got);
                at += n;
            }
            ASSERT_EQ(got, expected) << "stream: " << stream;

            // A plain search for the literal rules, where no byte joins the next one in a
            // character (UTF-8's 0xFF starts none).
            if (c.encoding == Encoding::Utf8) {
                EXPECT_EQ(got["ping"].size(), Occurrences(stream, "PING", false)) << stream;
                EXPECT_EQ(got["get"].size(), Occurrences(stream, "GET ", true)) << stream;
            }
            for (const std::string &reply : got["ping"])
                EXPECT_EQ(reply, "PONG PING");
        }
    }
}

// What a group holds goes back byte for byte: the reply, expanded and encoded as the send page
// is, gives the group's bytes exactly, whatever backslashes, percent signs and NULs it holds, and
// in escape mode its line breaks too (otherwise they take the line ending, as the page's do).
TEST(AutoReply, GroupsGoBackAsTheyCame) {
    const std::vector<std::string> alphabet = {"a",    "\\", "%", "%1%", "\\x41", "\\n", "\0"s,
                                               "日本", "é",  " ", "\t",  "\r\n",  "\r"};
    std::mt19937 random(7);
    for (int round = 0; round < 300; ++round) {
        std::string group;
        const auto length = std::uniform_int_distribution<int>(0, 12)(random);
        for (int i = 0; i < length; ++i)
            group += alphabet[std::uniform_int_distribution<std::size_t>(0, alphabet.size() -
                                                                                1)(random)];
        const bool breaks = group.find_first_of("\r\n") != std::string::npos;
        for (const bool escapes : {false, true}) {
            if (breaks && !escapes) continue;
            std::string error;
            const std::string page =
                ExpandReply("<%1%|%0%>%%x%10%", {"whole", group}, escapes, &error);
            ASSERT_TRUE(error.empty()) << error;
            const SendBytes bytes = EncodeForSend(page, Encoding::Utf8, LineEnding::None, escapes);
            ASSERT_TRUE(bytes.ok) << bytes.error;
            EXPECT_EQ(bytes.bytes, "<" + group + "|whole>%%x%10%")
                << "escapes " << escapes << " group " << group;
        }
    }
    std::string error;
    EXPECT_EQ(ExpandReply("a\xff", {}, false, &error), "");
    EXPECT_FALSE(error.empty());
}

// A peer that answers every reply with the text the rule answers makes a loop: it stops at the
// limit, for good, and says so; the replies before it went out.
TEST(AutoReply, TheLimitStopsALoopForGood) {
    AutoReplier replier({Rule("loop", ReplyMatch::Contains, "ping", "ping")},
                        ReplyLimit{100, 1'000'000});
    int64_t now = 1'000'000'000;
    std::size_t replies = 0;
    bool stopped = false;
    for (int turn = 0; turn < 500 && !stopped; ++turn) {
        replier.Feed("ping", Encoding::Utf8);
        const AutoReplier::Outcome outcome = replier.Take(now, false);
        replies += outcome.replies.size();
        stopped = outcome.stopped;
        if (stopped) {
            ASSERT_EQ(outcome.notes.size(), 1u);
            EXPECT_EQ(outcome.notes[0], ReplyLimitText(ReplyLimit{100, 1'000'000}));
        }
        now += 2'000; // 500 a second
    }
    EXPECT_TRUE(stopped);
    EXPECT_EQ(replies, 100u);
    replier.Feed("ping", Encoding::Utf8);
    EXPECT_TRUE(replier.Take(now + 10'000'000, false).replies.empty());

    // Below the limit nothing stops: 100 a second, each second.
    AutoReplier steady({Rule("steady", ReplyMatch::Contains, "x", "y")},
                       ReplyLimit{100, 1'000'000});
    for (int second = 0; second < 3; ++second) {
        steady.Feed(std::string(100, 'x'), Encoding::Utf8);
        const AutoReplier::Outcome outcome = steady.Take(int64_t(second) * 1'000'000, false);
        EXPECT_EQ(outcome.replies.size(), 100u);
        EXPECT_FALSE(outcome.stopped);
    }
}

// A pattern that backtracks without end against what the peer sends gives up on that text with
// a note, once, and goes on with what comes after.
TEST(AutoReply, APatternPastItsLimitsGivesUpOnThatText) {
    AutoReplier replier({Rule("hard", ReplyMatch::Regex, "(a|aa)+$", "never"),
                         Rule("easy", ReplyMatch::Contains, "ok", "fine")});
    replier.Feed(std::string(4000, 'a') + "b ok", Encoding::Utf8);
    const AutoReplier::Outcome first = replier.Take(0, false);
    ASSERT_EQ(first.notes.size(), 1u);
    EXPECT_NE(first.notes[0].find("「hard」"), std::string::npos);
    ASSERT_EQ(first.replies.size(), 1u);
    EXPECT_EQ(first.replies[0].text, "fine");
    replier.Feed(std::string(4000, 'a') + "b ok", Encoding::Utf8);
    const AutoReplier::Outcome second = replier.Take(0, false);
    EXPECT_TRUE(second.notes.empty());
    EXPECT_EQ(second.replies.size(), 1u);
}

// Rules read back from their stored form as they were written; what cannot be used says which
// rule, and which field, and why.
TEST(AutoReply, RulesKeepTheirFormAndTellWhatIsWrong) {
    const std::vector<ReplyRule> rules = {
        Rule("a,b", ReplyMatch::Regex, "x=(.*),y%", "1,2\n%1% +\r\n"),
        Rule("日本", ReplyMatch::StartsWith, " \t", ""),
        Rule("c", ReplyMatch::Contains, "=", "a=b"),
    };
    for (const ReplyRule &rule : rules) {
        const std::string entry = FormatReplyRule(rule);
        EXPECT_EQ(ParseReplyRule(entry), rule) << entry;
        EXPECT_EQ(entry.find('\n'), std::string::npos);
    }
    for (const char *broken : {"", "=contains,a,b", "x=maybe,a,b", "x=regex,a", "x=regex,a,b,c"})
        EXPECT_FALSE(ParseReplyRule(broken)) << broken;

    EXPECT_FALSE(FindReplyRulesProblem(rules));
    std::vector<ReplyRule> twice = {rules[2], rules[2]};
    ASSERT_TRUE(FindReplyRulesProblem(twice));
    EXPECT_EQ(FindReplyRulesProblem(twice)->index, 1u);
    const auto bad = FindReplyRulesProblem({Rule("r", ReplyMatch::Regex, "a(b", "")});
    ASSERT_TRUE(bad);
    EXPECT_EQ(bad->field, ReplyRuleField::Pattern);
    EXPECT_NE(bad->text.find("4 バイト目"), std::string::npos) << bad->text;
    EXPECT_EQ(FindReplyRulesProblem({Rule("[x", ReplyMatch::Contains, "a", "")})->field,
              ReplyRuleField::Name);
    EXPECT_EQ(FindReplyRulesProblem({Rule("x", ReplyMatch::Contains, "", "")})->field,
              ReplyRuleField::Pattern);
    EXPECT_EQ(FindReplyRulesProblem({Rule("x", ReplyMatch::Contains, "a", "\xfe")})->field,
              ReplyRuleField::Reply);
    EXPECT_EQ(NewReplyRuleName({Rule("規則1", ReplyMatch::Contains, "a", "")}), "規則2");
}

TEST(AutoReply, SummaryByNearestRank) {
    std::vector<int64_t> us;
    for (int64_t i = 20; i >= 1; --i)
        us.push_back(i * 1000);
    const ReplySummary summary = SummarizeReplies(us);
    EXPECT_EQ(summary.count, 20u);
    EXPECT_EQ(summary.medianUs, 10'000);
    EXPECT_EQ(summary.p95Us, 19'000);
    EXPECT_EQ(summary.maxUs, 20'000);
    EXPECT_EQ(SummarizeReplies({}).count, 0u);
}

} // namespace
} // namespace tarvotcpc
