#include "settings/variables.hpp"

#include <algorithm>

#include "settings/ini.hpp"
#include "settings/templates.hpp"

namespace tarvotcpc {

Variables LoadVariables(const std::string &path) {
    Variables variables;
    std::string text;
    if (!ReadWholeFile(path, text)) return variables;
    for (const std::string &entry : IniSectionEntries(text, kSectionVariables)) {
        const std::size_t equals = entry.find('=');
        if (equals == std::string::npos || equals == 0) continue;
        std::string name = entry.substr(0, equals);
        if (std::any_of(variables.begin(), variables.end(),
                        [&](const auto &kept) { return kept.first == name; }))
            continue;
        variables.emplace_back(std::move(name), DecodeTemplateText(entry.c_str() + equals + 1));
    }
    return variables;
}

bool SaveVariables(const std::string &path, const Variables &variables) {
    std::vector<std::string> lines;
    for (const auto &[name, value] : variables)
        lines.push_back(name + "=" + EncodeTemplateText(value));
    return WriteIniSection(path, kSectionVariables, lines);
}

} // namespace tarvotcpc
