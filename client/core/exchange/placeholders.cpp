#include "exchange/placeholders.hpp"

#include <ctime>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <unordered_map>

#include "vornhash.h"

namespace tarvotcpc {

namespace {

constexpr std::string_view kBuiltins[] = {"host",     "port",    "date",   "time",
                                          "unixtime", "counter", "random", "bodylength"};
constexpr std::string_view kDateFormat = "yyyy-MM-dd";
constexpr std::string_view kTimeFormat = "HH:mm:ss";
constexpr std::size_t kNameLimit = 63;
// Rounds of "%bodylength%" standing in its own body: the digits settle in two or three.
constexpr int kBodyLengthRounds = 8;

bool IsBuiltin(std::string_view name) {
    return std::find(std::begin(kBuiltins), std::end(kBuiltins), name) != std::end(kBuiltins);
}

// The names that carry an argument of their own: a format, or the question's name.
bool IsDate(std::string_view name) {
    return name.starts_with("date:");
}
bool IsTime(std::string_view name) {
    return name.starts_with("time:");
}
bool IsAsked(std::string_view name) {
    return name.size() > 1 && name[0] == '?';
}

// What looks like a name the user meant, for the warning about markers that stay.
bool LooksLikeName(std::string_view name) {
    if (name.empty() || name.size() > 64) return false;
    return std::all_of(name.begin(), name.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u >= 0x80 || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
               (c >= '0' && c <= '9') || c == '_' || c == '-' || c == '.' || c == ':' || c == '?';
    });
}

// VornExpandHash's scan: at each "%" the marker's name is the text up to the next "%" (no key
// holds one), a known name is replaced and skipped whole, and any other "%" is copied with the
// scan going on after it. NUL ends the library's text, so a name holding one is no name.
// visit(at, name, known) is called at each "%" reached that has a "%" after it.
template <typename Known, typename Visit>
void Walk(std::string_view text, Known known, Visit visit) {
    std::size_t i = 0;
    while (i < text.size()) {
        if (text[i] != '%') {
            ++i;
            continue;
        }
        const std::size_t close = text.find('%', i + 1);
        if (close == std::string_view::npos) return;
        const std::string_view name = text.substr(i + 1, close - i - 1);
        const bool ok = name.find('\0') == std::string_view::npos && known(name);
        visit(i, name, ok);
        i = ok ? close + 1 : i + 1;
    }
}

void AddOnce(std::vector<std::string> &list, std::string_view name) {
    if (std::find(list.begin(), list.end(), name) == list.end()) list.emplace_back(name);
}

bool UsableVariable(const std::string &name) {
    return VariableNameProblem(name).empty();
}

// A record of libvornhash, freed on every path.
class ValueRecord {
  public:
    ValueRecord() { live_ = VornAllocHash(&hash_, 0, 16) != 0 && VornReAllocHash(&hash_, 0) != 0; }
    ~ValueRecord() { VornFreeHash(&hash_); }
    ValueRecord(const ValueRecord &) = delete;
    ValueRecord &operator=(const ValueRecord &) = delete;

    // A named cell, or with an empty name the unnamed one. Values are texts: the library reads
    // them up to their first NUL, and so does the length kept here.
    void Set(const std::string &name, const std::string &value) {
        if (!live_) return;
        const std::size_t length = std::string_view(value.c_str()).size();
        if (length >= INT32_MAX) {
            live_ = false;
            return;
        }
        live_ = VornSetHash(&hash_, name.empty() ? nullptr : name.c_str(), name.empty() ? -1 : 0,
                            value.c_str(), -1) != 0;
        if (live_) known_[name] = length;
    }

    bool Live() const { return live_; }
    const Hash *get() const { return &hash_; }
    // The length of name's value, or -1 when no cell has that name.
    int64_t ValueLength(std::string_view name) const {
        const auto it = known_.find(std::string(name));
        return it == known_.end() ? -1 : static_cast<int64_t>(it->second);
    }

  private:
    Hash hash_{};
    bool live_ = false;
    std::unordered_map<std::string, std::size_t> known_;
};

std::string TimeValue(std::string_view name, const PlaceholderValues &values) {
    std::string_view format = name.substr(5);
    if (format.empty()) format = name.starts_with("date") ? kDateFormat : kTimeFormat;
    return FormatLocalTime(format, values.timeUs);
}

// Expands one stretch without NUL: a value holding NUL would be cut by the library, so the
// values are texts too (the user's cannot hold one; built-ins never do).
bool ExpandPiece(std::string_view piece, const ValueRecord &record, std::string &out,
                 bool &bodyLength) {
    if (piece.size() >= INT32_MAX) return false;
    // The exact length the library will write: the size of its buffer, and a check of its work.
    uint64_t length = 0;
    std::size_t copiedFrom = 0;
    Walk(
        piece, [&](std::string_view name) { return record.ValueLength(name) >= 0; },
        [&](std::size_t at, std::string_view name, bool known) {
            if (!known) return;
            if (name == "bodylength") bodyLength = true;
            length += at - copiedFrom + static_cast<uint64_t>(record.ValueLength(name));
            copiedFrom = at + name.size() + 2;
        });
    length += piece.size() - copiedFrom;
    if (length >= INT32_MAX) return false;
    const std::string pattern(piece);
    const std::size_t before = out.size();
    out.resize(before + static_cast<std::size_t>(length) + 1);
    const int32_t written = VornExpandHash(out.data() + before, static_cast<int32_t>(length) + 1,
                                           pattern.c_str(), record.get(), 0);
    out.resize(before + static_cast<std::size_t>(length));
    return static_cast<uint64_t>(written) == length;
}

std::string Digits(uint64_t value) {
    return std::to_string(value);
}

} // namespace

PlaceholderScan ScanPlaceholders(std::string_view text, const PlaceholderValues &values) {
    PlaceholderScan scan;
    std::unordered_map<std::string_view, bool> variables;
    for (const auto &[name, value] : values.variables)
        if (UsableVariable(name)) variables[name] = true;
    Walk(
        text,
        [&](std::string_view name) {
            return name.empty() || IsBuiltin(name) || IsDate(name) || IsTime(name) ||
                   IsAsked(name) || variables.count(name) > 0;
        },
        [&](std::size_t, std::string_view name, bool known) {
            if (!known) {
                if (LooksLikeName(name)) AddOnce(scan.unknown, name);
            } else if (IsAsked(name)) {
                AddOnce(scan.asked, name.substr(1));
            }
        });
    return scan;
}

Expanded ExpandPlaceholders(std::string_view text, const PlaceholderValues &values,
                            std::string_view bodyLength) {
    Expanded result;
    ValueRecord record;
    for (const auto &[name, value] : values.variables)
        if (UsableVariable(name)) record.Set(name, value);
    record.Set("host", values.host);
    record.Set("port", Digits(static_cast<uint32_t>(values.port)));
    record.Set("date", FormatLocalTime(kDateFormat, values.timeUs));
    record.Set("time", FormatLocalTime(kTimeFormat, values.timeUs));
    record.Set("unixtime", std::to_string(values.timeUs / 1000000));
    record.Set("counter", Digits(values.counter));
    record.Set("random", Digits(values.random));
    record.Set("bodylength", std::string(bodyLength));
    // The names with an argument, as the scan reaches them: each gets its cell.
    Walk(
        text,
        [&](std::string_view name) {
            if (IsDate(name) || IsTime(name)) return true;
            return IsAsked(name) && values.answers.count(std::string(name.substr(1))) > 0;
        },
        [&](std::size_t, std::string_view name, bool known) {
            if (!known || record.ValueLength(name) >= 0) return;
            if (IsAsked(name)) {
                record.Set(std::string(name), values.answers.at(std::string(name.substr(1))));
            } else {
                record.Set(std::string(name), TimeValue(name, values));
            }
        });
    record.Set(std::string(), "%");
    if (!record.Live()) {
        result.error = "%名前% の値を用意できません (メモリが足りません)";
        return result;
    }
    // NUL ends a text for the library: each stretch between NULs is expanded on its own.
    std::size_t from = 0;
    for (;;) {
        const std::size_t nul = text.find('\0', from);
        const std::string_view piece =
            text.substr(from, nul == std::string_view::npos ? std::string_view::npos : nul - from);
        if (!ExpandPiece(piece, record, result.text, result.bodyLength)) {
            result.text.clear();
            result.error = "送信データが大きすぎるため %名前% を置き換えられません (2GiB 未満まで)";
            return result;
        }
        if (nul == std::string_view::npos) break;
        result.text += '\0';
        from = nul + 1;
    }
    result.ok = true;
    return result;
}

std::string_view BodyAfterEmptyLine(std::string_view bytes) {
    std::size_t lineStart = 0;
    for (std::size_t i = 0; i < bytes.size();) {
        const char c = bytes[i];
        if (c != '\r' && c != '\n') {
            ++i;
            continue;
        }
        const std::size_t length =
            (c == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') ? 2 : 1;
        if (i == lineStart) return bytes.substr(i + length);
        i += length;
        lineStart = i;
    }
    return {};
}

PreparedSend PrepareSend(std::string_view pageText, const PlaceholderValues *values,
                         SendEncoding encoding, LineEnding ending, bool escapes) {
    PreparedSend prepared;
    if (values == nullptr) {
        prepared.text = std::string(pageText);
        prepared.bytes = EncodeForSend(pageText, encoding, ending, escapes);
        return prepared;
    }
    prepared.scan = ScanPlaceholders(pageText, *values);
    std::string bodyLength = "0";
    for (int round = 0; round < kBodyLengthRounds; ++round) {
        Expanded expanded = ExpandPlaceholders(pageText, *values, bodyLength);
        if (!expanded.ok) {
            prepared.bytes = SendBytes{};
            prepared.bytes.error = expanded.error;
            prepared.bytes.line = 1;
            prepared.bytes.column = 1;
            return prepared;
        }
        prepared.text = std::move(expanded.text);
        prepared.bytes = EncodeForSend(prepared.text, encoding, ending, escapes);
        if (!prepared.bytes.ok) {
            if (prepared.text != pageText)
                prepared.bytes.error = "置き換え後の" + prepared.bytes.error;
            return prepared;
        }
        // Whether the length stands in the text as the library read it (a question left
        // unanswered changes where markers begin).
        if (!expanded.bodyLength) return prepared;
        const std::string body = Digits(BodyAfterEmptyLine(prepared.bytes.bytes).size());
        if (body == bodyLength) return prepared;
        bodyLength = body;
    }
    prepared.bytes = SendBytes{};
    prepared.bytes.error =
        "%bodylength% の値が定まりません (本文の中の %bodylength% で長さが変わり続けます)";
    prepared.bytes.line = 1;
    prepared.bytes.column = 1;
    return prepared;
}

std::string VariableNameProblem(std::string_view name) {
    if (name.empty()) return "変数名を入力してください";
    if (name.size() > kNameLimit) return "変数名は63バイトまでです";
    if (name.find_first_of(std::string_view("%=\r\n\0", 5)) != std::string_view::npos)
        return "変数名に使えない文字 (% = 改行) が含まれています";
    if (name.front() == ' ' || name.front() == '\t' || name.back() == ' ' || name.back() == '\t')
        return "変数名の前後に空白は使えません";
    if (name.front() == '?' || name.front() == ';' || name.front() == '[')
        return "変数名の先頭に「?」「;」「[」は使えません";
    if (IsBuiltin(name)) return "「" + std::string(name) + "」は組み込みの名前です";
    if (IsDate(name) || IsTime(name))
        return "「date:」「time:」で始まる名前は日時の書式に使われます";
    return {};
}

std::string UnknownMarkersText(const std::vector<std::string> &unknown) {
    std::string names;
    for (const std::string &name : unknown) {
        if (!names.empty()) names += "、";
        names += "%" + name + "%";
    }
    return "置き換える値のない %名前% があります: " + names +
           "\nこれらは書いたまま送られます。送信しますか?";
}

std::string FormatLocalTime(std::string_view format, int64_t timeUs) {
    const std::time_t seconds = static_cast<std::time_t>(timeUs / 1000000);
    const int millis = static_cast<int>((timeUs % 1000000) / 1000);
    std::tm local{};
    localtime_r(&seconds, &local);
    struct Token {
        std::string_view letters;
        int value;
        int width;
    };
    const Token tokens[] = {
        {"yyyy", local.tm_year + 1900, 4},
        {"yy", (local.tm_year + 1900) % 100, 2},
        {"MM", local.tm_mon + 1, 2},
        {"M", local.tm_mon + 1, 1},
        {"dd", local.tm_mday, 2},
        {"d", local.tm_mday, 1},
        {"HH", local.tm_hour, 2},
        {"H", local.tm_hour, 1},
        {"mm", local.tm_min, 2},
        {"m", local.tm_min, 1},
        {"ss", local.tm_sec, 2},
        {"s", local.tm_sec, 1},
        {"zzz", millis < 0 ? 0 : millis, 3},
    };
    std::string out;
    for (std::size_t i = 0; i < format.size();) {
        const Token *found = nullptr;
        for (const Token &token : tokens) {
            if (format.substr(i).starts_with(token.letters)) {
                found = &token;
                break;
            }
        }
        if (found == nullptr) {
            out += format[i++];
            continue;
        }
        char digits[16];
        std::snprintf(digits, sizeof digits, "%0*d", found->width, found->value);
        out += digits;
        i += found->letters.size();
    }
    return out;
}

} // namespace tarvotcpc
