// The user's variables for the send page's "%name%" markers, in a section of the settings file of
// their own: one "name=value" line each, the value URL-encoded as a template's text is, so that
// any value fits on its line. Read from the file when a send starts, as the trust store is at a
// connect, so that another instance's change counts at once.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace tarvotcpc {

inline constexpr char kSectionVariables[] = "VARIABLES";

using Variables = std::vector<std::pair<std::string, std::string>>;

// The variables in the file's order; a line without "=" or with an empty name is left out, and
// so is a name again after its first line. A missing file or section gives none.
Variables LoadVariables(const std::string &path);
// Replaces the section with variables; false when the file cannot be written (it is then as
// before) or a name cannot be stored (the others are).
bool SaveVariables(const std::string &path, const Variables &variables);

} // namespace tarvotcpc
