// The settings file's section reader and writer on any file text: replacing one section reads
// back as exactly the entries written, and every other section reads as before.
#include "formats_check.hpp"

#include <fuzzer/FuzzedDataProvider.h>

#include <string>
#include <vector>

#include "settings/ini.hpp"
#include "text/text.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    static const char *const kSections[] = {"TARVOTCPC", "HOSTS", "TEMPLATES", "hosts", "X"};
    const std::string section = kSections[in.ConsumeIntegralInRange<int>(0, 4)];
    std::vector<std::string> entries;
    const int n = in.ConsumeIntegralInRange<int>(0, 6);
    for (int i = 0; i < n; ++i) {
        std::string e = in.ConsumeRandomLengthString(40);
        if (tarvotcpc::IsStorableIniEntry(e)) entries.push_back(e);
    }
    const std::string text = in.ConsumeRemainingBytesAsString();

    const std::string written = tarvotcpc::ReplaceIniSection(text, section, entries);
    FUZZ_CHECK(tarvotcpc::IniSectionEntries(written, section) == entries);
    for (const char *other : kSections) {
        if (tarvotcpc::EqualsIgnoringAsciiCase(other, section)) continue;
        FUZZ_CHECK(tarvotcpc::IniSectionEntries(written, other) ==
                   tarvotcpc::IniSectionEntries(text, other));
    }
    // Writing the same entries again keeps them (a file whose only line break is a lone CR may
    // gain a line feed the first time, so the bytes are not compared).
    FUZZ_CHECK(tarvotcpc::IniSectionEntries(tarvotcpc::ReplaceIniSection(written, section, entries),
                                            section) == entries);
    return 0;
}
