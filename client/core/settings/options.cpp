#include "settings/options.hpp"

#include <algorithm>
#include <utility>

namespace tarvotcpc {

namespace {

static_assert(
    [] {
        for (std::size_t i = 0; i < kOptionCount; ++i)
            if (kOptionTable[i].option != static_cast<Option>(i)) return false;
        return true;
    }(),
    "kOptionTable lists the options in the order of their enumerators");

static_assert(
    [] {
        for (const OptionRow &row : kOptionTable) {
            if ((row.kind == OptionKind::Choice) == row.choices.empty()) return false;
            if (row.kind == OptionKind::Choice &&
                std::none_of(row.choices.begin(), row.choices.end(), [&](const OptionChoice &c) {
                    return std::string_view(c.value) == row.byDefault.text;
                }))
                return false;
        }
        return true;
    }(),
    "every choice row has choices, its default among them; no other row has any");

bool SameIgnoringAsciiCase(std::string_view a, std::string_view b) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [&](char x, char y) { return lower(x) == lower(y); });
}

// The choice's own spelling of stored, or null when it is none of them.
const char *MatchChoice(const OptionRow &row, std::string_view stored) {
    for (const OptionChoice &choice : row.choices)
        if (SameIgnoringAsciiCase(choice.value, stored)) return choice.value;
    return nullptr;
}

} // namespace

OptionValues::OptionValues() {
    for (const OptionRow &row : kOptionTable) {
        if (row.kind == OptionKind::Switch) {
            switches_[Index(row.option)] = std::string_view(row.byDefault.text) != "0";
        } else {
            texts_[Index(row.option)] = row.byDefault.text;
        }
    }
}

bool OptionValues::SetText(Option option, std::string_view text) {
    const OptionRow &row = RowOf(option);
    if (row.kind == OptionKind::Choice) {
        const char *value = MatchChoice(row, text);
        if (value == nullptr) return false;
        texts_[Index(option)] = value;
        return true;
    }
    std::optional<std::string> clean = CleanOptionText(text);
    if (!clean) return false;
    texts_[Index(option)] = std::move(*clean);
    return true;
}

std::optional<std::string> CleanOptionText(std::string_view text) {
    // The blanks the settings file trims from its lines.
    constexpr std::string_view kBlanks = " \t\v\f\r\n";
    const std::size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) return std::string();
    text = text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
    if (text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos)
        return std::nullopt;
    return std::string(text);
}

std::string OptionTextProblem(Option option, std::string_view text) {
    if (RowOf(option).kind == OptionKind::Choice) return {};
    // The field as its label names it, without the hint in brackets and the colon.
    std::string_view field = RowOf(option).label;
    field = field.substr(0, std::min(field.find(" ("), field.find(':')));
    const std::optional<std::string> clean = CleanOptionText(text);
    if (!clean) return std::string(field) + kUnstorableOptionText;
    const bool number = option == Option::RepeatInterval || option == Option::RepeatCount;
    if (number && (clean->empty() || clean->find_first_not_of("0123456789") != std::string::npos))
        return std::string(field) + kNotANumberOptionText;
    return {};
}

OptionValues ReadOptions(const SettingsHashes &settings) {
    OptionValues values;
    for (const OptionRow &row : kOptionTable) {
        if (VornGetHashIndex(&settings.options, row.key) < 0) continue;
        if (row.kind == OptionKind::Switch) {
            values[row.option] = ReadOption(settings, row.key) != 0;
        } else {
            values.SetText(row.option, VornGetHashPtrSafe(&settings.options, row.key, 0));
        }
    }
    return values;
}

bool StoreOptions(SettingsHashes &settings, const OptionValues &values) {
    bool stored = true;
    for (const OptionRow &row : kOptionTable) {
        if (row.kind == OptionKind::Switch) {
            stored = SetOption(settings, row.key, values[row.option] ? 1 : 0) && stored;
        } else {
            const std::string &text = values.Text(row.option);
            stored = VornSetHash(&settings.options, row.key, 0, text.c_str(), -1) != 0 && stored;
        }
    }
    return stored;
}

bool SaveOptions(SettingsHashes &settings, const OptionValues &values, const std::string &path) {
    // What could be stored is written all the same: a key that failed keeps its old value.
    const bool stored = StoreOptions(settings, values);
    return WriteOptionsSection(settings, path) && stored;
}

std::optional<SendEncoding> SendEncodingSetApart(const OptionValues &values) {
    return ParseEncoding(values.Text(Option::SendEncoding));
}

SendEncoding SendEncodingOf(const OptionValues &values) {
    if (const auto apart = SendEncodingSetApart(values)) return *apart;
    return ParseEncoding(values.Text(Option::ViewEncoding)).value_or(SendEncoding::Utf8);
}

Encoding ViewEncodingOf(const OptionValues &values) {
    return ParseEncoding(values.Text(Option::ViewEncoding)).value_or(Encoding::Utf8);
}

void SetViewEncoding(OptionValues &values, Encoding encoding) {
    values.SetText(Option::ViewEncoding, FormatEncoding(encoding));
}

bool ViewIsHex(const OptionValues &values) {
    return values.Text(Option::ViewMode) == kViewModeHex;
}

LineEnding SendLineEndingOf(const OptionValues &values) {
    return ParseLineEnding(values.Text(Option::SendLineEnding)).value_or(LineEnding::Crlf);
}

void SetSendLineEnding(OptionValues &values, LineEnding ending) {
    values.SetText(Option::SendLineEnding, FormatLineEnding(ending));
}

std::optional<Encoding> ViewEncodingChosen(const OptionValues &values) {
    if (values.Text(Option::ViewEncoding) == kViewEncodingAuto) return std::nullopt;
    return ViewEncodingOf(values);
}

} // namespace tarvotcpc
