// The rules of automatic replies: when the received text contains a text, has a line that starts
// with one, or matches a regular expression, the rule's reply goes out by itself. Rules are kept
// in a section of their own of the settings file, one entry each, in the order they are tried.
// Their patterns are compiled here too, for the replier and for the rules dialog's check.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarvotcpc {

inline constexpr char kSectionReplies[] = "AUTOREPLY";
inline constexpr std::size_t kReplyRuleNameLimit = 63; // bytes

enum class ReplyMatch : uint8_t {
    Contains,   // the text anywhere
    StartsWith, // the text at the start of a line (after CR, LF or CRLF, or of the connection)
    Regex,      // a PCRE2 regular expression; its groups are %1% to %9% of the reply
};

struct ReplyRule {
    std::string name;
    ReplyMatch match = ReplyMatch::Contains;
    std::string pattern; // UTF-8
    // The send page's form (UTF-8, LF line breaks), sent as the page is: %0% is the whole match,
    // %1% to %9% the regular expression's groups (empty when a group took no part).
    std::string reply;
    bool operator==(const ReplyRule &) const = default;
};

// The stored form: "name=kind,pattern,reply" with kind "contains", "starts" or "regex" and the
// pattern and reply URL-encoded, so that each rule is one line whatever it holds.
std::string FormatReplyRule(const ReplyRule &rule);
// The rule of a stored entry; nullopt for one that is not in that form.
std::optional<ReplyRule> ParseReplyRule(std::string_view entry);

// The kinds' labels for the rules dialog, in the order of ReplyMatch.
inline constexpr const char *kReplyMatchLabels[] = {"を含む", "で始まる行", "正規表現"};

// Why the rule cannot be used (a Japanese sentence naming it), or empty: a name that is empty,
// longer than kReplyRuleNameLimit bytes, holds "=" or a line break or starts with ";" or "[" (it
// would read back from the settings file as something else), an empty pattern, a regular
// expression that does not compile, a pattern or reply that is not UTF-8 or holds a NUL.
std::string ReplyRuleProblem(const ReplyRule &rule);

// The first rule of a list that cannot be used, or whose name an earlier rule has already, and
// the field that is wrong.
enum class ReplyRuleField : uint8_t { Name, Pattern, Reply };
struct ReplyRulesProblem {
    std::size_t index = 0;
    ReplyRuleField field = ReplyRuleField::Name;
    std::string text;
};
std::optional<ReplyRulesProblem> FindReplyRulesProblem(const std::vector<ReplyRule> &rules);

// The name a rule added to the list starts with: "規則N", N the smallest that no rule has.
std::string NewReplyRuleName(const std::vector<ReplyRule> &rules);

// A rule's pattern compiled for text that arrives piece by piece: PCRE2 with partial matching,
// so that a match the next piece could still complete or lengthen waits for it, and what fires
// does not depend on where the peer's writes were cut. Limits on the work one search may do keep
// a pattern that backtracks without end from holding the window.
class ReplyPattern {
  public:
    // Contains and StartsWith take the pattern as plain text; CR, LF and CRLF all end a line.
    ReplyPattern(ReplyMatch match, std::string_view pattern);
    ~ReplyPattern();
    ReplyPattern(const ReplyPattern &) = delete;
    ReplyPattern &operator=(const ReplyPattern &) = delete;

    bool ok() const { return code_ != nullptr; }
    // Why it did not compile, with the place.
    const std::string &Error() const { return error_; }

    enum class Outcome {
        Found,    // a whole match in [start, end), which more text cannot change
        Partial,  // more text may complete a match starting at start: search again from there
        NotFound, // no match starts before the end of the text
        TooHard,  // the limits were reached
    };
    struct Result {
        Outcome outcome = Outcome::NotFound;
        std::size_t start = 0;
        std::size_t end = 0;
        // Found: the whole match, then groups 1 to 9 (empty when a group took no part).
        std::vector<std::string> groups;
    };
    // Searches text (valid UTF-8) from byte from, which starts a character; what stands before it
    // is seen by lookbehinds and line starts. textStart: text[0] starts the connection's text (a
    // line starts there). An empty match never counts.
    Result Find(std::string_view text, std::size_t from, bool textStart) const;

  private:
    void *code_ = nullptr;    // pcre2_code_8
    void *context_ = nullptr; // pcre2_match_context_8
    void *data_ = nullptr;    // pcre2_match_data_8
    std::string error_;
};

} // namespace tarvotcpc
