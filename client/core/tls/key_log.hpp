// The TLS key log: each session's secrets appended to a file in the NSS key log format
// ("CLIENT_RANDOM ...", "CLIENT_TRAFFIC_SECRET_0 ..."), so that Wireshark can decrypt a capture
// of the connection. Anyone who reads the file can read the connections logged in it.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "net/unique_fd.hpp"

namespace tarvotcpc {

class KeyLog {
  public:
    // Opens path for appending, creating it readable by its owner only; null with the reason in
    // error when it cannot be opened.
    static std::shared_ptr<KeyLog> Open(const std::string &path, std::string &error);

    // Appends line and a line break in one write on a descriptor opened with O_APPEND, so that
    // lines of sessions on other threads, or of other programs logging to the same file, never
    // interleave with it. 0, or the errno of the failure.
    int Append(std::string_view line);

    const std::string &Path() const { return path_; }

  private:
    KeyLog(UniqueFd fd, std::string path) : fd_(std::move(fd)), path_(std::move(path)) {}
    UniqueFd fd_;
    std::string path_;
};

// The file to log to: the option's when it names one, else SSLKEYLOGFILE's as other programs
// read it; empty for none.
std::string KeyLogPath(const std::string &option, const char *environment);

} // namespace tarvotcpc
