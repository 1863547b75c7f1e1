#include "files/file_name.hpp"

#include <filesystem>
#include <system_error>

namespace tarvotcpc {

std::string WithDefaultExtension(const std::string &path) {
    const std::filesystem::path typed(path);
    const std::string name = typed.filename().string();
    if (name.empty() || name.find('.') != std::string::npos) return path;
    const std::string withExtension = path + "." + kDefaultExtension;
    std::error_code error;
    return std::filesystem::is_regular_file(withExtension, error) ? withExtension : path;
}

} // namespace tarvotcpc
