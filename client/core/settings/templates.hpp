// Named templates ("定型文"): their stored form, their names' rules and insertion into the send
// page. The options dialog's working copy is in options_session.hpp.
//
// Template texts are stored URL-encoded so that each fits on one line of the settings file, with
// their line breaks as CRLF; the pages hold text with LF line breaks.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "settings/settings.hpp"

namespace tarvotcpc {

inline constexpr std::size_t kTemplateNameLimit = 63; // bytes

inline constexpr char kMissingTemplateNameText[] = "定型文名を入力してください";
inline constexpr char kUnusableTemplateNameText[] = "定型文名に使えない文字が含まれています";
inline constexpr char kDuplicateTemplateNameText[] = "同じ名前の定型文がすでにあります";

// The stored form of a page text, whole however long; empty when memory runs out.
std::string EncodeTemplateText(std::string_view pageText);
// The page text of a stored form; a decoded NUL ends it.
std::string DecodeTemplateText(const char *stored);

// The names of the templates in a record, in its order (row i of a list is entry i).
std::vector<std::string> TemplateNames(const Hash &templates);

// The text the template dialog's OK appends to the send page for entry index; none for an index
// outside the record.
std::optional<std::string> TemplateInsertionText(const Hash &templates, int32_t index);

// Names are trimmed of blanks and cut to 63 bytes without splitting a character.
std::string CleanTemplateName(std::string_view name);
// Why a cleaned name cannot be used, or null. A name must not be empty, and must not hold "=" or
// a line break nor start with ";" or "[", since such a name would read back from the settings file
// as something else.
const char *TemplateNameProblem(std::string_view cleanName);

// What the template editor shows when it opens.
struct TemplateDraft {
    std::string name;
    std::string text; // page text
};

// The result of the template editor's OK.
struct TemplateEditResult {
    bool accepted = false;
    std::string warning; // when refused: the editor stays open with it
    int32_t row = -1;    // the list row that shows the template
    bool newRow = false; // a row is to be added at row (an add under a new name)
};

} // namespace tarvotcpc
