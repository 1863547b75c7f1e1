// Whole sections of an INI file, read and replaced the way the client's settings need them.
//
// A section starts at a line whose first non-blank byte is "[" and runs to the next such line;
// its name is what stands between the "[" and the first "]", blanks trimmed, and matches without
// regard to ASCII case. When a name occurs more than once, the first section of that name is the
// one read and replaced; the others are kept as they are. Entries are the section's lines that
// are neither blank nor comments (";"), trimmed. LF and CRLF files are both read; bytes that are
// not valid text are carried through untouched.
#pragma once

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

// Replaces one section of the file at path, creating the file and its folder when missing. The
// new file is written beside the old one, flushed to disk and then renamed over it, so the old
// file stays whole whatever happens. Refuses entries that IsStorableIniEntry rejects and a file
// it cannot read (it would otherwise lose that file's other sections). Result: true when the
// new file is in place.
bool WriteIniSection(const std::string &path, std::string_view section,
                     const std::vector<std::string> &entries);

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
