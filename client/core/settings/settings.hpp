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

// Each writes its record as the whole section of the file at path. Every entry is written,
// however large the section grows. Result true when the file now holds the section.
bool WriteOptionsSection(const SettingsHashes &settings, const std::string &path);
bool WriteHostsSection(const SettingsHashes &settings, const std::string &path);
bool WriteTemplatesSection(const SettingsHashes &settings, const std::string &path);

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
