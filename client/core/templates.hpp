// Named templates ("定型文"): their stored form, the options dialog's working copy with the
// template editor's rules, insertion into the send page, and loading a file into it.
//
// Template texts are stored URL-encoded so that each fits on one line of the settings file, with
// their line breaks as CRLF; the pages hold text with LF line breaks.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "settings.hpp"

namespace tarvotcpc {

inline constexpr std::size_t kTemplateNameLimit = 63; // bytes

inline constexpr char kMissingTemplateNameText[] = "定型文名を入力してください";
inline constexpr char kUnusableTemplateNameText[] = "定型文名に使えない文字が含まれています";
inline constexpr char kDuplicateTemplateNameText[] = "同じ名前の定型文がすでにあります";
inline constexpr char kFileOpenFailedText[] = "ファイルのオープンに失敗しました";

// The stored form of a page text, whole however long; empty when memory runs out.
std::string EncodeTemplateText(std::string_view pageText);
// The page text of a stored form; a decoded NUL ends it.
std::string DecodeTemplateText(const char *stored);

// The names of the templates in a record, in its order (row i of a list is entry i).
std::vector<std::string> TemplateNames(const Hash &templates);

// The text the template dialog's OK appends to the send page for entry index; none for an index
// outside the record.
std::optional<std::string> TemplateInsertionText(const Hash &templates, int32_t index);

// The text that loading the file at path appends to the send page: its bytes up to the first NUL,
// line breaks as LF. None when it cannot be opened or read (kFileOpenFailedText is shown then).
std::optional<std::string> LoadFileText(const std::string &path);

// The same for a window that must stay responsive while a large file loads: progress is called
// after each block read (on the caller's thread) with the bytes read so far and the file's size
// (0 when the size is not known in advance, as for a pipe); its false stops the load.
enum class FileLoadStatus {
    Loaded,
    Failed,  // could not be opened or read, or memory ran out: kFileOpenFailedText
    Stopped, // progress asked to stop; nothing is to be appended
};
struct FileLoadResult {
    FileLoadStatus status = FileLoadStatus::Failed;
    std::string text; // with Loaded only
};
using FileLoadProgress = std::function<bool(uint64_t bytesRead, uint64_t fileSize)>;
FileLoadResult LoadFileText(const std::string &path, const FileLoadProgress &progress);

// The four switches of the options dialog.
struct OptionSwitches {
    bool hostsave = false;
    bool consend = false;
    bool conreclear = false;
    bool consenclear = false;
};

OptionSwitches ReadSwitches(const SettingsHashes &settings);

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

// The options dialog's state from opening to OK or Cancel: a private copy of the templates that
// add, edit and delete work on. OK stores the switches and the copy in memory and in the file;
// dropping the session without OK is Cancel and changes nothing.
//
// Names are trimmed of blanks and cut to 63 bytes without splitting a character. A name must not
// be empty, and must not hold "=" or a line break nor start with ";" or "[", since such a name
// would read back from the settings file as something else. Adding under an existing name
// replaces that template's text. Renaming a template to the name that another template has is
// refused with kDuplicateTemplateNameText, so that neither is lost.
class OptionsSession {
  public:
    OptionsSession(SettingsHashes &settings, std::string path);

    const OptionSwitches &Switches() const { return switches_; }

    int32_t TemplateCount() const;
    std::vector<std::string> Names() const;

    // The editor's contents for entry index; none for an index outside the copy.
    std::optional<TemplateDraft> Draft(int32_t index) const;

    TemplateEditResult Add(std::string_view name, std::string_view text);
    TemplateEditResult Edit(int32_t index, std::string_view name, std::string_view text);
    bool Delete(int32_t index);

    // Stores the switches and the templates in memory and writes both sections. Result: whether
    // both sections were written; memory holds the new state either way.
    bool Ok(const OptionSwitches &switches);

  private:
    TemplateEditResult Check(std::string_view name, int32_t editing, std::string &cleanName) const;

    SettingsHashes &settings_;
    std::string path_;
    OptionSwitches switches_;
    OwnedHash copy_;
    bool copied_ = false; // without a whole copy, OK must not replace the stored templates
};

} // namespace tarvotcpc
