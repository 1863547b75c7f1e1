// Whole sections of an INI file, read and replaced the way the client's settings need them.
//
// A section starts at a line whose first non-blank byte is "[" and runs to the next such line;
// its name is what stands between the "[" and the first "]", blanks trimmed, and matches without
// regard to ASCII case. When a name occurs more than once, the first section of that name is the
// one read and replaced; the others are kept as they are. Entries are the section's lines that
// are neither blank nor comments (";"), trimmed. LF and CRLF files are both read; bytes that are
// not valid text are carried through untouched.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace tarvotcpc {

// The entries of the section named section in text; none when there is no such section.
std::vector<std::string> IniSectionEntries(std::string_view text, std::string_view section);

// text with the named section's lines replaced by entries, each a line of its own: the header
// line and every other byte of text stay as they were, and so do the blank lines that end the
// section. A missing section is added at the end. Line breaks follow text's first line break
// (LF when it has none).
std::string ReplaceIniSection(std::string_view text, std::string_view section,
                              const std::vector<std::string> &entries);

// Whether entry can be stored as a line and read back unchanged: no line break or NUL inside,
// no blanks at its ends, and not mistaken for a comment or a section header.
bool IsStorableIniEntry(std::string_view entry);

// Reads a whole file. A missing file gives true and an empty text with *missing set; any other
// failure gives false.
bool ReadWholeFile(const std::string &path, std::string &text, bool *missing = nullptr);

// What an update makes of a section: given its entries as the file holds them now, leaves the
// entries it is to hold. It runs under the file's lock, so it must not write the file itself.
using IniSectionChange = std::function<void(std::vector<std::string> &entries)>;

// Changes one section of the file at path, creating the file (private to the user) and its folder
// when missing. Other writers of the file, in this process or another, wait: the file is read,
// changed and replaced under a lock on it, so that what another writer wrote meanwhile is what
// change sees and what stays in the other sections. The new file is written beside the old one
// (where a symbolic link leads), flushed to disk and then renamed over it with the old one's
// permissions, so the old file stays whole whatever happens.
//
// An entry that IsStorableIniEntry rejects is left out, and goes to *refused when given; the
// file's own entry of that name (the text before the first "="), if any, stays in its place, so
// that one bad value loses neither the others nor the value it was to replace. A file that cannot
// be read is never replaced (its other sections would be lost). Result: true when the file holds
// every entry change left; false when some were refused (the rest are then written) or the file
// could not be written (it is then as before).
bool UpdateIniSection(const std::string &path, std::string_view section,
                      const IniSectionChange &change, std::vector<std::string> *refused = nullptr);

// UpdateIniSection that replaces the section's entries with entries, whatever they were.
bool WriteIniSection(const std::string &path, std::string_view section,
                     const std::vector<std::string> &entries,
                     std::vector<std::string> *refused = nullptr);

// The name of an entry: the text before its first "=" (or NUL), or all of it without one.
std::string_view IniEntryName(std::string_view entry);

// The settings file: tarvotcpc.ini in exeDir when one exists there (portable use), otherwise
// tarvotcpc/tarvotcpc.ini in xdgConfigHome when that is an absolute path, otherwise in
// home/.config.
std::string SettingsPathFor(const std::string &exeDir, const char *xdgConfigHome, const char *home);

// SettingsPathFor for this program: the executable's folder and the environment, worked out on
// the first call and kept.
const std::string &SettingsPath();

// Test seam: the steps of WriteIniSection at which a fault can be injected. The hook returns
// false to make that step fail as the system would (with EIO).
enum class IniWriteStep { CreateTemporary, Write, Flush, Rename };
void SetIniWriteFaultHook(bool (*hook)(IniWriteStep step));

} // namespace tarvotcpc
