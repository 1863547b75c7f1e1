#include "settings/settings.hpp"

#include <algorithm>
#include <climits>
#include <cstring>
#include <map>
#include <optional>
#include <set>

#include "settings/ini.hpp"
#include "settings/options.hpp"

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
    return EntriesToHash(hash, IniSectionEntries(fileText, section));
}

// The section to write: this program's cells in its order, each as this program set it when it
// changed it since stored, else as the file holds it now (another instance may have changed or
// removed it meanwhile); then, where the file has them, the entries of names this program never
// had (another instance added them, or a newer version of the program). A cell that was not
// stored and holds what the program assumes without it (an option's default) changes nothing
// either: it was only filled in.
std::vector<std::string> Merged(const std::vector<std::string> &file,
                                const std::vector<std::string> &stored,
                                const std::vector<std::string> &mine,
                                const std::set<std::string> &assumed) {
    std::map<std::string_view, std::string_view> before, now, inFile;
    for (const std::string &cell : stored)
        before.emplace(IniEntryName(cell), cell);
    for (const std::string &cell : mine)
        now.emplace(IniEntryName(cell), cell);
    for (const std::string &entry : file)
        inFile[IniEntryName(entry)] = entry; // the last of a name is the one read

    std::vector<std::string_view> kept; // this program's cells, in its order
    for (const std::string &cell : mine) {
        const std::string_view name = IniEntryName(cell);
        const auto was = before.find(name);
        const auto there = inFile.find(name);
        if (was != before.end() ? was->second == cell : assumed.contains(cell)) {
            if (there != inFile.end()) {
                kept.push_back(there->second);
            } else if (was == before.end()) {
                kept.push_back(cell);
            } // else removed by another instance meanwhile
        } else {
            kept.push_back(cell);
        }
    }
    std::set<std::string_view> placed;
    for (const std::string_view cell : kept)
        placed.insert(IniEntryName(cell));
    // Each name not known here goes after the file's nearest earlier entry that is kept.
    std::vector<std::string_view> front;
    std::map<std::string_view, std::vector<std::string_view>> after;
    std::optional<std::string_view> anchor;
    for (const std::string &entry : file) {
        const std::string_view name = IniEntryName(entry);
        if (placed.contains(name)) {
            anchor = name;
        } else if (!before.contains(name) && !now.contains(name)) {
            (anchor ? after[*anchor] : front).push_back(entry);
        }
    }
    std::vector<std::string> out(front.begin(), front.end());
    for (const std::string_view cell : kept) {
        out.emplace_back(cell);
        if (const auto group = after.find(IniEntryName(cell)); group != after.end())
            out.insert(out.end(), group->second.begin(), group->second.end());
    }
    return out;
}

bool WriteChangedCells(const Hash &hash, std::vector<std::string> &stored, const char *section,
                       const std::string &path, const std::set<std::string> &assumed = {}) {
    std::vector<std::string> mine;
    if (!HashToEntries(hash, mine)) return false;
    const bool written = UpdateIniSection(path, section, [&](std::vector<std::string> &entries) {
        entries = Merged(entries, stored, mine, assumed);
    });
    // A cell the file did not take stays a change, to be tried again with the next write.
    if (written) stored = std::move(mine);
    return written;
}

// What this program holds as stored: the cells of the record as loaded.
void Remember(const Hash &hash, std::vector<std::string> &stored) {
    if (!HashToEntries(hash, stored)) stored.clear();
}

} // namespace

bool EntriesToHash(Hash &hash, const std::vector<std::string> &entries) {
    const std::string block = EntriesToBlock(entries);
    return VornEnvToHash(&hash, block.c_str()) != 0;
}

bool LoadSettings(SettingsHashes &settings, const std::string &path) {
    std::string text;
    if (!ReadWholeFile(path, text)) text.clear();
    bool ok = LoadSection(settings.options, text, kSectionOptions);
    ok = LoadSection(settings.hosts, text, kSectionHosts) && ok;
    ok = LoadSection(settings.templates, text, kSectionTemplates) && ok;
    Remember(settings.options, settings.storedOptions);
    Remember(settings.templates, settings.storedTemplates);
    return ok;
}

void FreeSettings(SettingsHashes &settings) {
    VornFreeHash(&settings.options);
    VornFreeHash(&settings.hosts);
    VornFreeHash(&settings.templates);
    settings.storedOptions.clear();
    settings.storedTemplates.clear();
}

int32_t ReadOption(const SettingsHashes &settings, const char *key) {
    return VornGetHashInt(&settings.options, key, 0, 1);
}

bool SetOption(SettingsHashes &settings, const char *key, int32_t value) {
    return VornSetHashInt(&settings.options, key, 0, value, 1) != 0;
}

bool WriteOptionsSection(SettingsHashes &settings, const std::string &path) {
    static const std::set<std::string> defaults = [] {
        std::set<std::string> cells;
        for (const OptionRow &row : kOptionTable)
            cells.insert(std::string(row.key) + "=" + row.byDefault.text);
        return cells;
    }();
    return WriteChangedCells(settings.options, settings.storedOptions, kSectionOptions, path,
                             defaults);
}

bool WriteHostsSection(const SettingsHashes &settings, const std::string &path) {
    std::vector<std::string> entries;
    return HashToEntries(settings.hosts, entries) && WriteIniSection(path, kSectionHosts, entries);
}

bool WriteTemplatesSection(SettingsHashes &settings, const std::string &path) {
    return WriteChangedCells(settings.templates, settings.storedTemplates, kSectionTemplates, path);
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
