// Reading a file for the send page: its bytes up to the first NUL, line breaks as LF.
#include "files/file_text.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "text/text.hpp"

namespace tarvotcpc {

std::optional<std::string> LoadFileText(const std::string &path) {
    FileLoadResult result = LoadFileText(path, FileLoadProgress());
    if (result.status != FileLoadStatus::Loaded) return std::nullopt;
    return std::move(result.text);
}

namespace {

// The file's bytes; up to the first NUL unless whole is set and the file is a regular one.
FileLoadResult ReadFileBytes(const std::string &path, const FileLoadProgress &progress,
                             bool whole) {
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
    const bool stopAtNul = !whole || !S_ISREG(info.st_mode);
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
            const void *nul =
                stopAtNul ? std::memchr(block.data(), '\0', static_cast<std::size_t>(n)) : nullptr;
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
        result.text = std::move(bytes);
    } catch (const std::bad_alloc &) {
        result.text.clear();
        return result;
    }
    result.status = FileLoadStatus::Loaded;
    return result;
}

} // namespace

FileLoadResult LoadFileText(const std::string &path, const FileLoadProgress &progress) {
    FileLoadResult result = ReadFileBytes(path, progress, false);
    if (result.status != FileLoadStatus::Loaded) return result;
    try {
        result.text = ToLf(result.text);
    } catch (const std::bad_alloc &) {
        return FileLoadResult{};
    }
    return result;
}

FileLoadResult LoadFileForPage(const std::string &path, const PageTextOptions &options,
                               const FileLoadProgress &progress) {
    FileLoadResult result = ReadFileBytes(path, progress, true);
    if (result.status != FileLoadStatus::Loaded) return result;
    try {
        PageTextForFile page =
            PageTextFromFile(result.text, options.encoding, options.ending, options.escapeMode);
        result.text = std::move(page.text);
        if (!page.isText) result.notice = std::move(page.notice);
    } catch (const std::bad_alloc &) {
        return FileLoadResult{};
    }
    return result;
}

} // namespace tarvotcpc
