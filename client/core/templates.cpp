#include "templates.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <new>

#include "text.hpp"

namespace tarvotcpc {

namespace {

constexpr std::string_view kNameBlanks = " \t\v\f";

std::string_view TrimName(std::string_view name) {
    const std::size_t first = name.find_first_not_of(kNameBlanks);
    if (first == std::string_view::npos) return {};
    return name.substr(first, name.find_last_not_of(kNameBlanks) - first + 1);
}

bool UsableName(std::string_view name) {
    if (name.find_first_of(std::string_view("=\r\n\0", 4)) != std::string_view::npos) return false;
    return name.front() != ';' && name.front() != '[';
}

} // namespace

std::string EncodeTemplateText(std::string_view pageText) {
    const std::string text = ToCrlf(pageText);
    if (text.size() > (static_cast<std::size_t>(INT32_MAX) - 1) / 3) return {};
    // Every byte becomes at most three, so this holds the whole encoded text.
    std::string encoded(text.size() * 3 + 1, '\0');
    const int32_t length =
        VornEncodeUrl(encoded.data(), static_cast<int32_t>(encoded.size()), text.c_str());
    encoded.resize(length > 0 ? static_cast<std::size_t>(length) : 0);
    return encoded;
}

std::string DecodeTemplateText(const char *stored) {
    const std::size_t size = std::strlen(stored) + 1;
    if (size > static_cast<std::size_t>(INT32_MAX)) return {};
    // Decoding never lengthens a text.
    std::string decoded(size, '\0');
    const int32_t length = VornDecodeUrl(decoded.data(), static_cast<int32_t>(size), stored);
    decoded.resize(length > 0 ? static_cast<std::size_t>(length) : 0);
    return ToLf(decoded);
}

std::vector<std::string> TemplateNames(const Hash &templates) {
    std::vector<std::string> names;
    for (int32_t i = 0; i < VornCountHash(&templates); ++i)
        names.emplace_back(templates.keys[i]);
    return names;
}

std::optional<std::string> TemplateInsertionText(const Hash &templates, int32_t index) {
    const char *stored = VornGetHashPtr(&templates, nullptr, index);
    if (stored == nullptr) return std::nullopt;
    return DecodeTemplateText(stored);
}

std::optional<std::string> LoadFileText(const std::string &path) {
    FileLoadResult result = LoadFileText(path, FileLoadProgress());
    if (result.status != FileLoadStatus::Loaded) return std::nullopt;
    return std::move(result.text);
}

FileLoadResult LoadFileText(const std::string &path, const FileLoadProgress &progress) {
    FileLoadResult result;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return result;
    struct Closer {
        int fd;
        ~Closer() { close(fd); }
    } closer{fd};
    struct stat info {};
    if (fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) return result;
    const uint64_t size =
        S_ISREG(info.st_mode) && info.st_size > 0 ? static_cast<uint64_t>(info.st_size) : 0;
    try {
        // Reading stops at the first NUL: the page holds text, and a device that never ends (or
        // a huge binary file) costs no more than its first NUL.
        std::string bytes;
        // One allocation for an ordinary file; a size that cannot be had shows up at once as a
        // failed load rather than half way through.
        if (size > 0 && size < bytes.max_size()) bytes.reserve(static_cast<std::size_t>(size));
        std::string block(256 * 1024, '\0');
        uint64_t read = 0;
        for (;;) {
            const ssize_t n = ::read(fd, block.data(), block.size());
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno != EAGAIN) return result;
            if (n <= 0) break;
            read += static_cast<uint64_t>(n);
            const void *nul = std::memchr(block.data(), '\0', static_cast<std::size_t>(n));
            const std::size_t keep =
                nul != nullptr
                    ? static_cast<std::size_t>(static_cast<const char *>(nul) - block.data())
                    : static_cast<std::size_t>(n);
            bytes.append(block.data(), keep);
            if (progress && !progress(read, size)) {
                result.status = FileLoadStatus::Stopped;
                return result;
            }
            if (nul != nullptr) break;
        }
        result.text = ToLf(bytes);
    } catch (const std::bad_alloc &) {
        result.text.clear();
        return result;
    }
    result.status = FileLoadStatus::Loaded;
    return result;
}

OptionSwitches ReadSwitches(const SettingsHashes &settings) {
    OptionSwitches switches;
    switches.hostsave = ReadOption(settings, kOptionHostSave) != 0;
    switches.consend = ReadOption(settings, kOptionConSend) != 0;
    switches.conreclear = ReadOption(settings, kOptionConReClear) != 0;
    switches.consenclear = ReadOption(settings, kOptionConSenClear) != 0;
    return switches;
}

OptionsSession::OptionsSession(SettingsHashes &settings, std::string path)
    : settings_(settings), path_(std::move(path)), switches_(ReadSwitches(settings)) {
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
    cleanName = Utf8Cut(TrimName(name), kTemplateNameLimit);
    // Cutting may leave blanks at the new end.
    cleanName = std::string(TrimName(cleanName));
    if (cleanName.empty()) {
        result.warning = kMissingTemplateNameText;
    } else if (!UsableName(cleanName)) {
        result.warning = kUnusableTemplateNameText;
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

bool OptionsSession::Ok(const OptionSwitches &switches) {
    SetOption(settings_, kOptionHostSave, switches.hostsave ? 1 : 0);
    SetOption(settings_, kOptionConSend, switches.consend ? 1 : 0);
    SetOption(settings_, kOptionConReClear, switches.conreclear ? 1 : 0);
    SetOption(settings_, kOptionConSenClear, switches.consenclear ? 1 : 0);
    switches_ = switches;
    bool written = WriteOptionsSection(settings_, path_);
    const bool copied = copied_ && VornCopyHash(&settings_.templates, copy_.get()) != 0;
    written = copied && WriteTemplatesSection(settings_, path_) && written;
    return written;
}

} // namespace tarvotcpc
