#include "settings/options_session.hpp"

#include <utility>

namespace tarvotcpc {

OptionsSession::OptionsSession(SettingsHashes &settings, std::string path)
    : settings_(settings), path_(std::move(path)), switches_(ReadOptions(settings)) {
    copied_ = copy_.Live() && VornCopyHash(copy_.get(), &settings_.templates) != 0;
}

int32_t OptionsSession::TemplateCount() const {
    return VornCountHash(copy_.get());
}

std::vector<std::string> OptionsSession::Names() const {
    return TemplateNames(*copy_.get());
}

std::optional<TemplateDraft> OptionsSession::Draft(int32_t index) const {
    if (!VornIndexIsEffective(copy_.get(), index)) return std::nullopt;
    return TemplateDraft{copy_.get()->keys[index],
                         DecodeTemplateText(VornGetHashPtrSafe(copy_.get(), nullptr, index))};
}

TemplateEditResult OptionsSession::Check(std::string_view name, int32_t editing,
                                         std::string &cleanName) const {
    TemplateEditResult result;
    cleanName = CleanTemplateName(name);
    if (const char *problem = TemplateNameProblem(cleanName)) {
        result.warning = problem;
    } else if (editing >= 0) {
        const int32_t other = VornGetHashIndex(copy_.get(), cleanName.c_str());
        if (other >= 0 && other != editing) result.warning = kDuplicateTemplateNameText;
    }
    result.accepted = result.warning.empty();
    return result;
}

TemplateEditResult OptionsSession::Add(std::string_view name, std::string_view text) {
    std::string cleanName;
    TemplateEditResult result = Check(name, -1, cleanName);
    if (!result.accepted) return result;
    const std::string stored = EncodeTemplateText(text);
    const int32_t existing = VornGetHashIndex(copy_.get(), cleanName.c_str());
    if (!VornSetHash(copy_.get(), cleanName.c_str(), 0, stored.c_str(), -1)) {
        result.accepted = false;
        return result;
    }
    result.newRow = existing < 0;
    result.row = existing >= 0 ? existing : TemplateCount() - 1;
    return result;
}

TemplateEditResult OptionsSession::Edit(int32_t index, std::string_view name,
                                        std::string_view text) {
    TemplateEditResult result;
    if (!VornIndexIsEffective(copy_.get(), index)) return result;
    std::string cleanName;
    result = Check(name, index, cleanName);
    if (!result.accepted) return result;
    const std::string stored = EncodeTemplateText(text);
    // The value first: should renaming then fail, the entry keeps its old name and the new text
    // rather than losing either.
    if (!VornSetHash(copy_.get(), nullptr, index, stored.c_str(), -1) ||
        !VornSetHashKey(copy_.get(), index, cleanName.c_str())) {
        result.accepted = false;
        return result;
    }
    result.row = index;
    return result;
}

bool OptionsSession::Delete(int32_t index) {
    return VornDeleteHash(copy_.get(), nullptr, index) != 0;
}

bool OptionsSession::Ok(const OptionValues &switches) {
    bool written = SaveOptions(settings_, switches, path_);
    switches_ = switches;
    const bool copied = copied_ && VornCopyHash(&settings_.templates, copy_.get()) != 0;
    written = copied && WriteTemplatesSection(settings_, path_) && written;
    return written;
}

} // namespace tarvotcpc
