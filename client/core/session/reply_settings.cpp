#include "session/reply_settings.hpp"

#include "settings/ini.hpp"

namespace tarvotcpc {

StoredReplyRules LoadReplyRules(const std::string &path) {
    StoredReplyRules stored;
    std::string text;
    if (!ReadWholeFile(path, text)) {
        stored.readable = false;
        return stored;
    }
    for (const std::string &entry : IniSectionEntries(text, kSectionReplies)) {
        if (std::optional<ReplyRule> rule = ParseReplyRule(entry))
            stored.rules.push_back(std::move(*rule));
        else
            ++stored.unreadable;
    }
    return stored;
}

bool SaveReplyRules(const std::string &path, const std::vector<ReplyRule> &rules) {
    return UpdateIniSection(path, kSectionReplies, [&rules](std::vector<std::string> &entries) {
        std::vector<std::string> kept;
        for (std::string &entry : entries)
            if (!ParseReplyRule(entry)) kept.push_back(std::move(entry));
        entries.clear();
        for (const ReplyRule &rule : rules)
            entries.push_back(FormatReplyRule(rule));
        entries.insert(entries.end(), kept.begin(), kept.end());
    });
}

} // namespace tarvotcpc
