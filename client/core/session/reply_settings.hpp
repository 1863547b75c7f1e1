// The automatic replies' rules as the settings file keeps them, in a section of their own.
#pragma once

#include <string>
#include <vector>

#include "exchange/reply_rules.hpp"

namespace tarvotcpc {

struct StoredReplyRules {
    std::vector<ReplyRule> rules;
    // Entries of the section that are no rule (written by hand, or by a later version): they
    // stay in the file when the rules are written.
    std::size_t unreadable = 0;
    bool readable = true; // false: the file exists but could not be read
};

StoredReplyRules LoadReplyRules(const std::string &path);

// Replaces the rules of the section with rules, in their order, keeping its unreadable entries
// after them; other sections stay as they are (the file is changed under its lock). False when
// the file could not be written, or a rule could not be stored (the others then are).
bool SaveReplyRules(const std::string &path, const std::vector<ReplyRule> &rules);

} // namespace tarvotcpc
