// Asking an independent implementation, a Python script beside the tests, for its answers:
// one request per line in, one answer per line out, bytes carried as lower-case hex.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace oracle {

inline std::string to_hex(const std::string &s) {
    static const char digits[] = "0123456789abcdef";
    std::string h;
    for (unsigned char c : s) {
        h += digits[c >> 4];
        h += digits[c & 15];
    }
    return h;
}

inline std::string from_hex(const std::string &h) {
    std::string s;
    for (std::size_t i = 0; i + 1 < h.size(); i += 2)
        s += char(std::stoi(h.substr(i, 2), nullptr, 16));
    return s;
}

// Runs python3 on script (a path) with the request lines as its input and returns its output
// lines; empty when python3 cannot be run or fails.
inline std::vector<std::string> ask_python(const std::string &script,
                                           const std::vector<std::string> &requests) {
    char path[] = "/tmp/vorn_oracle_XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) return {};
    close(fd);
    {
        std::ofstream in(path, std::ios::binary);
        for (const auto &r : requests)
            in << r << '\n';
    }
    const std::string cmd = "python3 '" + script + "' < " + path;
    std::vector<std::string> answers;
    if (FILE *p = popen(cmd.c_str(), "r")) {
        std::string line;
        for (int c; (c = std::fgetc(p)) != EOF;) {
            if (c != '\n') {
                line += char(c);
                continue;
            }
            answers.push_back(line);
            line.clear();
        }
        if (pclose(p) != 0) answers.clear();
    }
    std::remove(path);
    return answers;
}

} // namespace oracle
