#include "files/file_replace.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>

namespace tarvotcpc {

namespace {

// As the kernel allows when it resolves a path itself.
constexpr int kLinkLimit = 40;

} // namespace

std::string FolderOfPath(const std::string &path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string ReplacementTarget(const std::string &path) {
    std::string at = path;
    for (int hop = 0; hop < kLinkLimit; ++hop) {
        struct stat info {};
        if (lstat(at.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return at;
        char link[PATH_MAX];
        const ssize_t n = readlink(at.c_str(), link, sizeof link);
        if (n <= 0 || static_cast<std::size_t>(n) >= sizeof link) return path;
        const std::string leadsTo(link, static_cast<std::size_t>(n));
        if (leadsTo.front() == '/') {
            at = leadsTo;
        } else {
            const std::string folder = FolderOfPath(at);
            at = (folder == "/" ? folder : folder + "/") + leadsTo;
        }
    }
    return path;
}

std::optional<mode_t> ExistingFileMode(const std::string &target) {
    struct stat info {};
    if (stat(target.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
    return info.st_mode & 07777;
}

} // namespace tarvotcpc
