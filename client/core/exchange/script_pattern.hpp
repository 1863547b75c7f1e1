// The regular expressions of expect_re: PCRE2 over the received text (UTF-8, where a byte that is
// no character stays as it came), with limits on the work one match may do, so that a pattern
// that backtracks without end fails instead of holding the script.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarvotcpc {

struct PatternMatch {
    std::size_t end = 0; // just after the match
    // Each capture group; nullopt for a group that took no part in the match.
    std::vector<std::optional<std::string>> groups;
};

class ScriptPattern {
  public:
    // Compiles pattern (UTF-8); ok() tells whether it did, Error() why not, with the place.
    explicit ScriptPattern(std::string_view pattern);
    ~ScriptPattern();
    ScriptPattern(const ScriptPattern &) = delete;
    ScriptPattern &operator=(const ScriptPattern &) = delete;

    bool ok() const { return code_ != nullptr; }
    const std::string &Error() const { return error_; }

    enum class Outcome { Found, NotFound, TooHard };
    // The first match in subject; TooHard when the match limits were reached.
    Outcome Find(std::string_view subject, PatternMatch &match) const;

  private:
    void *code_ = nullptr;    // pcre2_code_8
    void *context_ = nullptr; // pcre2_match_context_8
    std::string error_;
};

} // namespace tarvotcpc
