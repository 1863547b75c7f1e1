#include "tls/key_log.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "net/transport.hpp"

namespace tarvotcpc {

std::shared_ptr<KeyLog> KeyLog::Open(const std::string &path, std::string &error) {
    const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0600);
    if (fd < 0) {
        error = "TLSの鍵ログファイルを開けません: " + path + " (" + SystemErrorText(errno) + ")";
        return nullptr;
    }
    return std::shared_ptr<KeyLog>(new KeyLog(UniqueFd(fd), path));
}

int KeyLog::Append(std::string_view line) {
    std::string text(line);
    text.push_back('\n');
    std::size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = write(fd_.Get(), text.data() + written, text.size() - written);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (n == 0) return EIO;
        written += static_cast<std::size_t>(n);
    }
    return 0;
}

std::string KeyLogPath(const std::string &option, const char *environment) {
    if (!option.empty()) return option;
    return environment != nullptr ? std::string(environment) : std::string();
}

} // namespace tarvotcpc
