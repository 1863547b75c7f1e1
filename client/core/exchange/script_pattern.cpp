#define PCRE2_CODE_UNIT_WIDTH 8
#include "exchange/script_pattern.hpp"

#include <pcre2.h>

namespace tarvotcpc {

namespace {

// Backtracking steps, nested calls and heap (KiB) one match may use: far beyond what a protocol's
// pattern needs, well below what would hold the script for long.
constexpr uint32_t kMatchLimit = 5'000'000;
constexpr uint32_t kDepthLimit = 100'000;
constexpr uint32_t kHeapLimitKiB = 64 * 1024;

pcre2_code *Code(void *code) {
    return static_cast<pcre2_code *>(code);
}

} // namespace

ScriptPattern::ScriptPattern(std::string_view pattern) {
    int error = 0;
    PCRE2_SIZE offset = 0;
    // Received text need not be valid UTF-8: PCRE2 then matches only within its valid stretches.
    pcre2_code *code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(),
                                     PCRE2_UTF | PCRE2_MATCH_INVALID_UTF, &error, &offset, nullptr);
    if (code == nullptr) {
        PCRE2_UCHAR message[256] = {};
        pcre2_get_error_message(error, message, sizeof message);
        error_ = "正規表現の " + std::to_string(offset + 1) +
                 " バイト目に誤りがあります: " + reinterpret_cast<const char *>(message);
        return;
    }
    pcre2_match_context *context = pcre2_match_context_create(nullptr);
    if (context == nullptr) {
        pcre2_code_free(code);
        error_ = "正規表現の準備に失敗しました";
        return;
    }
    pcre2_set_match_limit(context, kMatchLimit);
    pcre2_set_depth_limit(context, kDepthLimit);
    pcre2_set_heap_limit(context, kHeapLimitKiB);
    code_ = code;
    context_ = context;
}

ScriptPattern::~ScriptPattern() {
    pcre2_code_free(Code(code_));
    pcre2_match_context_free(static_cast<pcre2_match_context *>(context_));
}

ScriptPattern::Outcome ScriptPattern::Find(std::string_view subject, PatternMatch &match) const {
    if (code_ == nullptr) return Outcome::NotFound;
    pcre2_match_data *data = pcre2_match_data_create_from_pattern(Code(code_), nullptr);
    if (data == nullptr) return Outcome::TooHard;
    const int rc =
        pcre2_match(Code(code_), reinterpret_cast<PCRE2_SPTR>(subject.data()), subject.size(), 0, 0,
                    data, static_cast<pcre2_match_context *>(context_));
    Outcome outcome = Outcome::NotFound;
    if (rc > 0 || rc == 0) {
        const PCRE2_SIZE *ovector = pcre2_get_ovector_pointer(data);
        uint32_t groups = 0;
        pcre2_pattern_info(Code(code_), PCRE2_INFO_CAPTURECOUNT, &groups);
        match.end = ovector[1];
        match.groups.clear();
        for (uint32_t g = 1; g <= groups; ++g) {
            const PCRE2_SIZE from = ovector[2 * g];
            const PCRE2_SIZE to = ovector[2 * g + 1];
            if (static_cast<int>(g) < (rc == 0 ? 0 : rc) && from != PCRE2_UNSET && to >= from)
                match.groups.emplace_back(std::string(subject.substr(from, to - from)));
            else
                match.groups.emplace_back(std::nullopt);
        }
        // \K may put the start after the end; the end is still where the match stopped.
        if (match.end < ovector[0]) match.end = ovector[0];
        outcome = Outcome::Found;
    } else if (rc != PCRE2_ERROR_NOMATCH) {
        outcome = Outcome::TooHard;
    }
    pcre2_match_data_free(data);
    return outcome;
}

} // namespace tarvotcpc
