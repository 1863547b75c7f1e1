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
    for (const OptionSpec &spec : kOptionTable) {
        const bool held = VornGetHashIndex(&settings.options, spec.key) >= 0;
        values[spec.option] = held ? ReadOption(settings, spec.key) != 0 : spec.byDefault;
    }
    return values;
}

bool StoreOptions(SettingsHashes &settings, const OptionValues &values) {
    bool stored = true;
    for (const OptionSpec &spec : kOptionTable)
        stored = SetOption(settings, spec.key, values[spec.option] ? 1 : 0) && stored;
    return stored;
}

} // namespace tarvotcpc
