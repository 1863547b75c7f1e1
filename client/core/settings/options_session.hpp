// The options dialog's working copy: the switches and a private copy of the templates, kept from
// opening the dialog to its OK or Cancel.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "settings/options.hpp"
#include "settings/settings.hpp"
#include "settings/templates.hpp"

namespace tarvotcpc {

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

    const OptionValues &Switches() const { return switches_; }

    int32_t TemplateCount() const;
    std::vector<std::string> Names() const;

    // The editor's contents for entry index; none for an index outside the copy.
    std::optional<TemplateDraft> Draft(int32_t index) const;

    TemplateEditResult Add(std::string_view name, std::string_view text);
    TemplateEditResult Edit(int32_t index, std::string_view name, std::string_view text);
    bool Delete(int32_t index);

    // Stores the switches and the templates in memory and writes both sections. Result: whether
    // both sections were written; memory holds the new state either way.
    bool Ok(const OptionValues &switches);

  private:
    TemplateEditResult Check(std::string_view name, int32_t editing, std::string &cleanName) const;

    SettingsHashes &settings_;
    std::string path_;
    OptionValues switches_;
    OwnedHash copy_;
    bool copied_ = false; // without a whole copy, OK must not replace the stored templates
};

} // namespace tarvotcpc
