#include "options.hpp"

namespace tarvotcpc {

namespace {

static_assert(
    [] {
        for (std::size_t i = 0; i < kOptionCount; ++i)
            if (kOptionTable[i].option != static_cast<Option>(i)) return false;
        return true;
    }(),
    "kOptionTable lists the options in the order of their enumerators");

} // namespace

OptionValues ReadOptions(const SettingsHashes &settings) {
    OptionValues values;
    for (const OptionRow &row : kOptionTable) {
        const bool held = VornGetHashIndex(&settings.options, row.key) >= 0;
        values[row.option] = held ? ReadOption(settings, row.key) != 0 : row.byDefault;
    }
    return values;
}

bool StoreOptions(SettingsHashes &settings, const OptionValues &values) {
    bool stored = true;
    for (const OptionRow &row : kOptionTable)
        stored = SetOption(settings, row.key, values[row.option] ? 1 : 0) && stored;
    return stored;
}

} // namespace tarvotcpc
