#include "settings/templates.hpp"

#include <climits>
#include <cstring>

#include "text/text.hpp"

namespace tarvotcpc {

namespace {

constexpr std::string_view kNameBlanks = " \t\v\f";

std::string_view TrimName(std::string_view name) {
    const std::size_t first = name.find_first_not_of(kNameBlanks);
    if (first == std::string_view::npos) return {};
    return name.substr(first, name.find_last_not_of(kNameBlanks) - first + 1);
}

} // namespace

std::string CleanTemplateName(std::string_view name) {
    // Cutting may leave blanks at the new end.
    return std::string(TrimName(Utf8Cut(TrimName(name), kTemplateNameLimit)));
}

const char *TemplateNameProblem(std::string_view cleanName) {
    if (cleanName.empty()) return kMissingTemplateNameText;
    const bool usable =
        cleanName.find_first_of(std::string_view("=\r\n\0", 4)) == std::string_view::npos &&
        cleanName.front() != ';' && cleanName.front() != '[';
    return usable ? nullptr : kUnusableTemplateNameText;
}

std::string EncodeTemplateText(std::string_view pageText) {
    const std::string text = ToCrlf(pageText);
    if (text.size() > (static_cast<std::size_t>(INT32_MAX) - 1) / 3) return {};
    // Every byte becomes at most three, so this holds the whole encoded text.
    std::string encoded(text.size() * 3 + 1, '\0');
    const int32_t length =
        VornEncodeUrl(encoded.data(), static_cast<int32_t>(encoded.size()), text.c_str());
    encoded.resize(length > 0 ? static_cast<std::size_t>(length) : 0);
    return encoded;
}

std::string DecodeTemplateText(const char *stored) {
    const std::size_t size = std::strlen(stored) + 1;
    if (size > static_cast<std::size_t>(INT32_MAX)) return {};
    // Decoding never lengthens a text.
    std::string decoded(size, '\0');
    const int32_t length = VornDecodeUrl(decoded.data(), static_cast<int32_t>(size), stored);
    decoded.resize(length > 0 ? static_cast<std::size_t>(length) : 0);
    return ToLf(decoded);
}

std::vector<std::string> TemplateNames(const Hash &templates) {
    std::vector<std::string> names;
    for (int32_t i = 0; i < VornCountHash(&templates); ++i)
        names.emplace_back(templates.keys[i]);
    return names;
}

std::optional<std::string> TemplateInsertionText(const Hash &templates, int32_t index) {
    const char *stored = VornGetHashPtr(&templates, nullptr, index);
    if (stored == nullptr) return std::nullopt;
    return DecodeTemplateText(stored);
}

} // namespace tarvotcpc
