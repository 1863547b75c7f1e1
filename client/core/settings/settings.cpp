#include "settings/settings.hpp"

#include <climits>
#include <cstring>

#include "settings/ini.hpp"

namespace tarvotcpc {

namespace {

// The block libvornhash reads: each entry NUL-terminated, the whole ended by one more NUL. A NUL
// inside a line would end the block early and drop the section's later entries, so each entry
// ends at its first NUL instead; entries with nothing left, or with an empty name, are dropped.
std::string EntriesToBlock(const std::vector<std::string> &entries) {
    std::string block;
    for (const std::string &entry : entries) {
        const std::string_view text(entry.c_str()); // up to the first NUL
        if (text.empty() || text.front() == '=') continue;
        block += text;
        block += '\0';
    }
    block += '\0';
    return block;
}

bool MakeEmpty(Hash &hash) {
    if (!VornAllocHash(&hash, 0, 0)) return false;
    return VornReAllocHash(&hash, 0) != 0;
}

bool LoadSection(Hash &hash, const std::string &fileText, const char *section) {
    if (!MakeEmpty(hash)) return false;
    const std::string block = EntriesToBlock(IniSectionEntries(fileText, section));
    return VornEnvToHash(&hash, block.c_str()) != 0;
}

bool WriteSection(const Hash &hash, const char *section, const std::string &path) {
    std::vector<std::string> entries;
    return HashToEntries(hash, entries) && WriteIniSection(path, section, entries);
}

} // namespace

bool LoadSettings(SettingsHashes &settings, const std::string &path) {
    std::string text;
    if (!ReadWholeFile(path, text)) text.clear();
    bool ok = LoadSection(settings.options, text, kSectionOptions);
    ok = LoadSection(settings.hosts, text, kSectionHosts) && ok;
    ok = LoadSection(settings.templates, text, kSectionTemplates) && ok;
    return ok;
}

void FreeSettings(SettingsHashes &settings) {
    VornFreeHash(&settings.options);
    VornFreeHash(&settings.hosts);
    VornFreeHash(&settings.templates);
}

int32_t ReadOption(const SettingsHashes &settings, const char *key) {
    return VornGetHashInt(&settings.options, key, 0, 1);
}

bool SetOption(SettingsHashes &settings, const char *key, int32_t value) {
    return VornSetHashInt(&settings.options, key, 0, value, 1) != 0;
}

bool WriteOptionsSection(const SettingsHashes &settings, const std::string &path) {
    return WriteSection(settings.options, kSectionOptions, path);
}

bool WriteHostsSection(const SettingsHashes &settings, const std::string &path) {
    return WriteSection(settings.hosts, kSectionHosts, path);
}

bool WriteTemplatesSection(const SettingsHashes &settings, const std::string &path) {
    return WriteSection(settings.templates, kSectionTemplates, path);
}

bool HashToEntries(const Hash &hash, std::vector<std::string> &entries) {
    entries.clear();
    // Exactly what the block needs: every key, "=", the value as text, its NUL; one NUL more.
    std::size_t needed = 1;
    for (int32_t i = 0; i < hash.count; ++i) {
        const std::size_t valueLength =
            strnlen(hash.values[i], static_cast<std::size_t>(hash.sizes[i]));
        needed += std::strlen(hash.keys[i]) + valueLength + 2;
    }
    if (needed > static_cast<std::size_t>(INT32_MAX)) return false;
    std::string block(needed, '\0');
    const int32_t used = VornHashToEnv(block.data(), static_cast<int32_t>(needed), &hash);
    if (used != static_cast<int32_t>(needed)) return false;
    for (std::size_t at = 0; at < needed - 1;) {
        const std::size_t end = block.find('\0', at);
        entries.emplace_back(block, at, end - at);
        at = end + 1;
    }
    return true;
}

OwnedHash::OwnedHash() {
    live_ = VornAllocHash(&hash_, 0, 0) != 0 && VornReAllocHash(&hash_, 0) != 0;
}

OwnedHash::~OwnedHash() {
    VornFreeHash(&hash_);
}

} // namespace tarvotcpc
