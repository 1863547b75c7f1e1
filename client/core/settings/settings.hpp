// The client's settings: options, destination history and templates, each kept in a Hash of
// libvornhash for the life of the main window and stored as a whole section of the settings file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "vornhash.h"

namespace tarvotcpc {

// Section names of the settings file; the options' keys are in options.hpp.
inline constexpr char kSectionOptions[] = "TARVOTCPC";
inline constexpr char kSectionHosts[] = "HOSTS";
inline constexpr char kSectionTemplates[] = "TEMPLATES";

// Options ("key" → "0" or "1"), hosts ("host0", "host1", ... → "host:port", newest first) and
// templates (name → URL-encoded text), side by side in this order.
struct SettingsHashes {
    Hash options;
    Hash hosts;
    Hash templates;
    // The options' and templates' cells ("key=value") as last read from the file or written to
    // it, so that a write changes in the file only the cells changed here since.
    std::vector<std::string> storedOptions;
    std::vector<std::string> storedTemplates;
};

// Fills the three records from the file at path; they are live afterwards whatever happens. A
// missing, unreadable or empty file, or a missing section, gives empty records, and nothing is
// reported. Entries with an empty name cannot be told apart from damage and are left out.
// Result false only when memory ran out (the records then hold what could be stored).
bool LoadSettings(SettingsHashes &settings, const std::string &path);

// Frees the three records; they must be loaded again before any further use.
void FreeSettings(SettingsHashes &settings);

// An option read as decimal text; a missing option or one that does not start with digits is 0.
int32_t ReadOption(const SettingsHashes &settings, const char *key);
bool SetOption(SettingsHashes &settings, const char *key, int32_t value);

// Each writes its record to its section of the file at path, however large the section grows.
// The options and the templates are cells another instance of the program may change in the
// meantime: only the cells added, changed or removed here since the last load or write are
// changed in the file, and the others stay as the file holds them (the section in the record's
// order, with the names only the file has where it has them). The hosts are one list, written
// whole. Result true when the file now holds the record's cells (a cell the file cannot hold is
// left as it was there, and the rest are written).
bool WriteOptionsSection(SettingsHashes &settings, const std::string &path);
bool WriteHostsSection(const SettingsHashes &settings, const std::string &path);
bool WriteTemplatesSection(SettingsHashes &settings, const std::string &path);

// A section's entries as the cells of a live record (its earlier cells replaced): what
// LoadSettings makes of them.
bool EntriesToHash(Hash &hash, const std::vector<std::string> &entries);

// A record's cells as "key=value" lines, through libvornhash's block writer with a block sized
// to hold them all.
bool HashToEntries(const Hash &hash, std::vector<std::string> &entries);

// A record that frees itself; for working copies.
class OwnedHash {
  public:
    OwnedHash(); // an empty, live record (no cells)
    ~OwnedHash();
    OwnedHash(const OwnedHash &) = delete;
    OwnedHash &operator=(const OwnedHash &) = delete;

    bool Live() const { return live_; }
    Hash *get() { return &hash_; }
    const Hash *get() const { return &hash_; }

  private:
    Hash hash_{};
    bool live_ = false;
};

} // namespace tarvotcpc
