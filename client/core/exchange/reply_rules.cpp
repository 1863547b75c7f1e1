#define PCRE2_CODE_UNIT_WIDTH 8
#include "exchange/reply_rules.hpp"

#include <pcre2.h>

#include <algorithm>
#include <climits>

#include "text/utf8_char.hpp"
#include "vornhash.h"

namespace tarvotcpc {

namespace {

constexpr const char *kKindNames[] = {"contains", "starts", "regex"};

std::string EncodeField(std::string_view text) {
    if (text.size() > (static_cast<std::size_t>(INT32_MAX) - 1) / 3) return {};
    const std::string source(text);
    // Every byte becomes at most three, so this holds the whole encoded text.
    std::string encoded(source.size() * 3 + 1, '\0');
    const int32_t length =
        VornEncodeUrl(encoded.data(), static_cast<int32_t>(encoded.size()), source.c_str());
    encoded.resize(length > 0 ? static_cast<std::size_t>(length) : 0);
    return encoded;
}

std::optional<std::string> DecodeField(std::string_view stored) {
    if (stored.size() >= static_cast<std::size_t>(INT32_MAX)) return std::nullopt;
    const std::string source(stored);
    // Decoding never lengthens a text.
    std::string decoded(source.size() + 1, '\0');
    const int32_t length =
        VornDecodeUrl(decoded.data(), static_cast<int32_t>(decoded.size()), source.c_str());
    if (length < 0 || (length == 0 && !source.empty())) return std::nullopt;
    decoded.resize(static_cast<std::size_t>(length));
    return decoded;
}

bool IsUtf8(std::string_view text) {
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t length = Utf8CharLength(text, at);
        if (length == 0) return false;
        at += length;
    }
    return true;
}

std::string Quoted(const ReplyRule &rule) {
    return "自動応答の規則「" + rule.name + "」";
}

} // namespace

std::string FormatReplyRule(const ReplyRule &rule) {
    return rule.name + "=" + kKindNames[static_cast<std::size_t>(rule.match)] + "," +
           EncodeField(rule.pattern) + "," + EncodeField(rule.reply);
}

std::optional<ReplyRule> ParseReplyRule(std::string_view entry) {
    const std::size_t equals = entry.find('=');
    if (equals == std::string_view::npos || equals == 0) return std::nullopt;
    ReplyRule rule;
    rule.name = std::string(entry.substr(0, equals));
    const std::string_view value = entry.substr(equals + 1);
    const std::size_t first = value.find(',');
    const std::size_t second = first == std::string_view::npos ? first : value.find(',', first + 1);
    if (second == std::string_view::npos || value.find(',', second + 1) != std::string_view::npos)
        return std::nullopt;
    const std::string_view kind = value.substr(0, first);
    bool known = false;
    for (std::size_t k = 0; k < std::size(kKindNames); ++k) {
        if (kind == kKindNames[k]) {
            rule.match = static_cast<ReplyMatch>(k);
            known = true;
        }
    }
    if (!known) return std::nullopt;
    std::optional<std::string> pattern = DecodeField(value.substr(first + 1, second - first - 1));
    std::optional<std::string> reply = DecodeField(value.substr(second + 1));
    if (!pattern || !reply) return std::nullopt;
    rule.pattern = std::move(*pattern);
    rule.reply = std::move(*reply);
    return rule;
}

namespace {

struct Problem {
    ReplyRuleField field = ReplyRuleField::Name;
    std::string text;
};

Problem Check(const ReplyRule &rule) {
    const std::string_view name = rule.name;
    if (name.empty()) return {ReplyRuleField::Name, "自動応答の規則の名前を入力してください"};
    if (name.size() > kReplyRuleNameLimit)
        return {ReplyRuleField::Name, Quoted(rule) + "の名前が長すぎます (" +
                                          std::to_string(kReplyRuleNameLimit) + "バイトまで)"};
    const auto blank = [](char c) { return c == ' ' || c == '\t'; };
    const bool usable =
        IsUtf8(name) && name.find_first_of(std::string_view("=\r\n\0", 4)) == name.npos &&
        name.front() != ';' && name.front() != '[' && !blank(name.front()) && !blank(name.back());
    if (!usable)
        return {ReplyRuleField::Name, Quoted(rule) + "の名前に使えない文字が含まれています"};
    const auto usableText = [](std::string_view text) {
        return IsUtf8(text) && text.find('\0') == text.npos;
    };
    const std::string unusable = "に使えない文字 (NULまたはUTF-8でないバイト) が含まれています";
    if (rule.pattern.empty())
        return {ReplyRuleField::Pattern, Quoted(rule) + "の照合する文字列を入力してください"};
    if (!usableText(rule.pattern)) return {ReplyRuleField::Pattern, Quoted(rule) + unusable};
    if (!usableText(rule.reply)) return {ReplyRuleField::Reply, Quoted(rule) + unusable};
    const ReplyPattern pattern(rule.match, rule.pattern);
    if (!pattern.ok()) return {ReplyRuleField::Pattern, Quoted(rule) + ": " + pattern.Error()};
    return {ReplyRuleField::Name, {}};
}

} // namespace

std::string ReplyRuleProblem(const ReplyRule &rule) {
    return Check(rule).text;
}

std::optional<ReplyRulesProblem> FindReplyRulesProblem(const std::vector<ReplyRule> &rules) {
    for (std::size_t i = 0; i < rules.size(); ++i) {
        if (Problem problem = Check(rules[i]); !problem.text.empty())
            return ReplyRulesProblem{i, problem.field, std::move(problem.text)};
        for (std::size_t k = 0; k < i; ++k)
            if (rules[k].name == rules[i].name)
                return ReplyRulesProblem{i, ReplyRuleField::Name,
                                         "同じ名前の自動応答の規則がすでにあります: " +
                                             rules[i].name};
    }
    return std::nullopt;
}

std::string NewReplyRuleName(const std::vector<ReplyRule> &rules) {
    for (std::size_t n = 1;; ++n) {
        std::string name = "規則" + std::to_string(n);
        bool taken = false;
        for (const ReplyRule &rule : rules)
            taken = taken || rule.name == name;
        if (!taken) return name;
    }
}

namespace {

// A search runs on the window's thread for every rule after each step of received bytes: the
// limits are far beyond what a protocol's pattern needs, and far below what a person would notice.
constexpr uint32_t kMatchLimit = 1'000'000;
constexpr uint32_t kDepthLimit = 10'000;
constexpr uint32_t kHeapLimitKiB = 16 * 1024;

pcre2_code *Code(void *code) {
    return static_cast<pcre2_code *>(code);
}

// Plain text as a pattern: every ASCII byte that is not a letter or digit stands for itself
// after a backslash, whatever PCRE2 would make of it; other bytes are literal already.
std::string Literal(std::string_view text) {
    std::string out;
    out.reserve(text.size() * 2);
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        const bool alnum = (byte >= '0' && byte <= '9') || (byte >= 'a' && byte <= 'z') ||
                           (byte >= 'A' && byte <= 'Z');
        if (byte < 0x80 && !alnum) out += '\\';
        out += c;
    }
    return out;
}

} // namespace

ReplyPattern::ReplyPattern(ReplyMatch match, std::string_view pattern) {
    const std::string source = match == ReplyMatch::Regex ? std::string(pattern) : Literal(pattern);
    pcre2_compile_context *compile = pcre2_compile_context_create(nullptr);
    if (compile == nullptr) {
        error_ = "正規表現の準備に失敗しました";
        return;
    }
    // Protocols end their lines with CRLF as often as LF.
    pcre2_set_newline(compile, PCRE2_NEWLINE_ANYCRLF);
    uint32_t options = PCRE2_UTF | PCRE2_MATCH_INVALID_UTF;
    if (match == ReplyMatch::StartsWith) options |= PCRE2_MULTILINE;
    const std::string anchored = match == ReplyMatch::StartsWith ? "^" + source : source;
    int error = 0;
    PCRE2_SIZE offset = 0;
    pcre2_code *code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(anchored.data()), anchored.size(),
                                     options, &error, &offset, compile);
    pcre2_compile_context_free(compile);
    if (code == nullptr) {
        PCRE2_UCHAR message[256] = {};
        pcre2_get_error_message(error, message, sizeof message);
        error_ = "正規表現の " + std::to_string(offset + 1) +
                 " バイト目に誤りがあります: " + reinterpret_cast<const char *>(message);
        return;
    }
    pcre2_match_context *context = pcre2_match_context_create(nullptr);
    pcre2_match_data *data = pcre2_match_data_create_from_pattern(code, nullptr);
    if (context == nullptr || data == nullptr) {
        pcre2_match_context_free(context);
        pcre2_match_data_free(data);
        pcre2_code_free(code);
        error_ = "正規表現の準備に失敗しました";
        return;
    }
    pcre2_set_match_limit(context, kMatchLimit);
    pcre2_set_depth_limit(context, kDepthLimit);
    pcre2_set_heap_limit(context, kHeapLimitKiB);
    code_ = code;
    context_ = context;
    data_ = data;
}

ReplyPattern::~ReplyPattern() {
    pcre2_match_data_free(static_cast<pcre2_match_data *>(data_));
    pcre2_match_context_free(static_cast<pcre2_match_context *>(context_));
    pcre2_code_free(Code(code_));
}

ReplyPattern::Result ReplyPattern::Find(std::string_view text, std::size_t from,
                                        bool textStart) const {
    Result result;
    if (code_ == nullptr || from > text.size()) return result;
    // Hard partial matching prefers a match that more text could change to a shorter whole one,
    // so a match is taken only once nothing that follows could make it another.
    uint32_t options = PCRE2_PARTIAL_HARD | PCRE2_NOTEMPTY;
    if (!textStart) options |= PCRE2_NOTBOL;
    auto *data = static_cast<pcre2_match_data *>(data_);
    const int rc = pcre2_match(Code(code_), reinterpret_cast<PCRE2_SPTR>(text.data()), text.size(),
                               from, options, data, static_cast<pcre2_match_context *>(context_));
    const PCRE2_SIZE *ovector = pcre2_get_ovector_pointer(data);
    if (rc == PCRE2_ERROR_NOMATCH) return result;
    if (rc == PCRE2_ERROR_PARTIAL) {
        result.outcome = Outcome::Partial;
        result.start = std::max<std::size_t>(from, ovector[0]);
        return result;
    }
    if (rc < 0) {
        result.outcome = Outcome::TooHard;
        return result;
    }
    result.outcome = Outcome::Found;
    result.start = ovector[0];
    // \K may leave the start after the end; the end is where the match stopped.
    result.end = std::max(ovector[0], ovector[1]);
    const uint32_t pairs = pcre2_get_ovector_count(data);
    for (uint32_t g = 0; g <= 9; ++g) {
        const bool set = g < pairs && static_cast<int>(g) < rc && ovector[2 * g] != PCRE2_UNSET &&
                         ovector[2 * g + 1] >= ovector[2 * g];
        result.groups.emplace_back(
            set ? text.substr(ovector[2 * g], ovector[2 * g + 1] - ovector[2 * g])
                : std::string_view());
    }
    return result;
}

} // namespace tarvotcpc
