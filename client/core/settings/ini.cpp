#include "settings/ini.hpp"
#include "files/file_replace.hpp"
#include "text/text.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace tarvotcpc {

namespace {

constexpr char kFileName[] = "tarvotcpc.ini";
constexpr std::string_view kBlanks = " \t\r\n\v\f";
constexpr std::string_view kBom = "\xEF\xBB\xBF";

std::atomic<bool (*)(IniWriteStep)> faultHook{nullptr};

bool StepAllowed(IniWriteStep step) {
    auto *hook = faultHook.load();
    if (hook == nullptr || hook(step)) return true;
    errno = EIO;
    return false;
}

std::string_view Trim(std::string_view text) {
    const std::size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) return {};
    const std::size_t last = text.find_last_not_of(kBlanks);
    return text.substr(first, last - first + 1);
}

struct Line {
    std::size_t begin;        // first byte
    std::size_t end;          // one past its line break, or the end of the text
    std::string_view content; // without the line break
};

std::vector<Line> SplitLines(std::string_view text) {
    std::vector<Line> lines;
    std::size_t begin = 0;
    while (begin < text.size()) {
        const std::size_t newline = text.find('\n', begin);
        const std::size_t end = newline == std::string_view::npos ? text.size() : newline + 1;
        std::string_view content = text.substr(begin, end - begin);
        if (!content.empty() && content.back() == '\n') content.remove_suffix(1);
        if (!content.empty() && content.back() == '\r') content.remove_suffix(1);
        lines.push_back({begin, end, content});
        begin = end;
    }
    return lines;
}

// Whether a line heads a section, and which.
bool HeaderName(std::string_view content, bool firstLine, std::string_view &name) {
    if (firstLine && content.substr(0, kBom.size()) == kBom) content.remove_prefix(kBom.size());
    const std::size_t first = content.find_first_not_of(" \t");
    if (first == std::string_view::npos || content[first] != '[') return false;
    std::string_view rest = content.substr(first + 1);
    const std::size_t close = rest.find(']');
    name = Trim(close == std::string_view::npos ? rest : rest.substr(0, close));
    return true;
}

// Index of the header line of the first section called section, or lines.size().
std::size_t FindSection(const std::vector<Line> &lines, std::string_view section) {
    for (std::size_t i = 0; i < lines.size(); ++i) {
        std::string_view name;
        if (HeaderName(lines[i].content, i == 0, name) && EqualsIgnoringAsciiCase(name, section))
            return i;
    }
    return lines.size();
}

bool IsHeader(const std::vector<Line> &lines, std::size_t i) {
    std::string_view name;
    return HeaderName(lines[i].content, i == 0, name);
}

std::string_view LineBreakOf(std::string_view text) {
    const std::size_t newline = text.find('\n');
    if (newline != std::string_view::npos && newline > 0 && text[newline - 1] == '\r')
        return "\r\n";
    return "\n";
}

bool MakeFolders(const std::string &folder) {
    struct stat info {};
    if (stat(folder.c_str(), &info) == 0) return S_ISDIR(info.st_mode);
    const std::string parent = FolderOfPath(folder);
    if (parent != folder && !MakeFolders(parent)) return false;
    return mkdir(folder.c_str(), 0700) == 0 || errno == EEXIST;
}

bool WriteAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

bool FileExists(const std::string &path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

} // namespace

void SetIniWriteFaultHook(bool (*hook)(IniWriteStep step)) {
    faultHook.store(hook);
}

std::vector<std::string> IniSectionEntries(std::string_view text, std::string_view section) {
    const std::vector<Line> lines = SplitLines(text);
    std::vector<std::string> entries;
    for (std::size_t i = FindSection(lines, section) + 1; i < lines.size() && !IsHeader(lines, i);
         ++i) {
        const std::string_view entry = Trim(lines[i].content);
        if (entry.empty() || entry.front() == ';') continue;
        entries.emplace_back(entry);
    }
    return entries;
}

std::string ReplaceIniSection(std::string_view text, std::string_view section,
                              const std::vector<std::string> &entries) {
    const std::string_view lineBreak = LineBreakOf(text);
    std::string body;
    for (const std::string &entry : entries) {
        body += entry;
        body += lineBreak;
    }

    const std::vector<Line> lines = SplitLines(text);
    const std::size_t header = FindSection(lines, section);
    std::string out;
    if (header == lines.size()) {
        out.reserve(text.size() + section.size() + body.size() + 8);
        out += text;
        if (!out.empty() && out.back() != '\n') out += lineBreak;
        out += '[';
        out += section;
        out += ']';
        out += lineBreak;
        out += body;
        return out;
    }

    std::size_t next = header + 1;
    while (next < lines.size() && !IsHeader(lines, next))
        ++next;
    // Blank lines at the section's end set it apart from the next one; they stay.
    std::size_t keep = next;
    while (keep > header + 1 && Trim(lines[keep - 1].content).empty())
        --keep;

    const Line &head = lines[header];
    const std::size_t keepFrom = keep < lines.size() ? lines[keep].begin : text.size();
    out.reserve(text.size() + body.size());
    out.append(text.substr(0, head.end));
    if (head.end == text.size() && (text.empty() || text.back() != '\n')) out += lineBreak;
    out += body;
    out.append(text.substr(keepFrom));
    return out;
}

bool IsStorableIniEntry(std::string_view entry) {
    if (entry.empty() ||
        entry.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos)
        return false;
    if (Trim(entry) != entry) return false;
    return entry.front() != ';' && entry.front() != '[';
}

namespace {

// The rest of a regular file's bytes from fd; false when it cannot be read.
bool ReadAll(int fd, std::string &text) {
    text.clear();
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return false;
    char buffer[64 * 1024];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            text.clear();
            return false;
        }
        if (n == 0) return true;
        text.append(buffer, static_cast<std::size_t>(n));
    }
}

} // namespace

bool ReadWholeFile(const std::string &path, std::string &text, bool *missing) {
    text.clear();
    if (missing != nullptr) *missing = false;
    // Not blocking: a FIFO under the settings file's name must not hold up the program.
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        if (errno == ENOENT && missing != nullptr) {
            *missing = true;
            return true;
        }
        return false;
    }
    const bool ok = ReadAll(fd, text);
    close(fd);
    return ok;
}

std::string_view IniEntryName(std::string_view entry) {
    return entry.substr(0, entry.find_first_of(std::string_view("=\0", 2)));
}

namespace {

// Temporaries are ".<name>.tmp-XXXXXX" beside the file: hidden, and a name no user gives a copy
// of their own. A writer holds a lock on its temporary from creating it until it is renamed or
// removed, so one without a lock was left by a writer that died.
std::string TemporaryPrefix(const std::string &target) {
    const std::size_t slash = target.rfind('/');
    const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
    return "." + name + ".tmp-";
}

void RemoveAbandonedTemporaries(const std::string &folder, const std::string &prefix) {
    DIR *dir = opendir(folder.c_str());
    if (dir == nullptr) return;
    while (const dirent *entry = readdir(dir)) {
        const std::string_view name(entry->d_name);
        if (name.size() != prefix.size() + 6 || name.substr(0, prefix.size()) != prefix) continue;
        const std::string path = folder + "/" + std::string(name);
        const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
        if (fd < 0) continue;
        struct stat info {};
        // Removed while locked, so that a writer that locks it only now sees it gone (below).
        if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && flock(fd, LOCK_EX | LOCK_NB) == 0)
            unlink(path.c_str());
        close(fd);
    }
    closedir(dir);
}

// Creates and locks a new temporary; -1 when that cannot be done.
int CreateLockedTemporary(std::string &temporary, const std::string &pattern) {
    // A writer cleaning up may take a temporary between its creation and its lock; it is then
    // gone, and another is made.
    for (int attempt = 0; attempt < 8; ++attempt) {
        temporary = pattern;
        const int fd = mkostemp(temporary.data(), O_CLOEXEC);
        if (fd < 0) return -1;
        struct stat held {
        }, named{};
        if (flock(fd, LOCK_EX) == 0 && fstat(fd, &held) == 0 &&
            stat(temporary.c_str(), &named) == 0 && held.st_ino == named.st_ino &&
            held.st_dev == named.st_dev)
            return fd;
        close(fd);
    }
    return -1;
}

} // namespace

namespace {

// Opens and locks the file at target, creating it empty (and private) when missing. Another
// writer may rename its new file over target between the open and the lock; the lock is then on
// a file no longer in use, and the new one is taken instead. -1 when that cannot be done.
int LockFile(const std::string &target) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        const int fd = open(target.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0600);
        if (fd < 0) return -1;
        int locked;
        while ((locked = flock(fd, LOCK_EX)) != 0 && errno == EINTR) {
        }
        struct stat held {
        }, named{};
        if (locked == 0 && fstat(fd, &held) == 0 && S_ISREG(held.st_mode) &&
            stat(target.c_str(), &named) == 0 && held.st_ino == named.st_ino &&
            held.st_dev == named.st_dev)
            return fd;
        close(fd);
        if (locked != 0 || !S_ISREG(held.st_mode)) return -1;
    }
    return -1;
}

class LockedFile {
  public:
    explicit LockedFile(const std::string &target) : fd_(LockFile(target)) {}
    ~LockedFile() {
        if (fd_ >= 0) close(fd_);
    }
    LockedFile(const LockedFile &) = delete;
    LockedFile &operator=(const LockedFile &) = delete;
    int fd() const { return fd_; }

  private:
    int fd_;
};

// entries with each one the file cannot hold replaced by the file's own entry of that name.
std::vector<std::string> StorableEntries(const std::vector<std::string> &entries,
                                         const std::vector<std::string> &current,
                                         std::vector<std::string> *refused) {
    std::vector<std::string> kept;
    kept.reserve(entries.size());
    for (const std::string &entry : entries) {
        if (IsStorableIniEntry(entry)) {
            kept.push_back(entry);
            continue;
        }
        if (refused != nullptr) refused->push_back(entry);
        const std::string_view name = IniEntryName(entry);
        for (const std::string &old : current) {
            if (IniEntryName(old) == name) {
                kept.push_back(old);
                break;
            }
        }
    }
    return kept;
}

} // namespace

bool UpdateIniSection(const std::string &path, std::string_view section,
                      const IniSectionChange &change, std::vector<std::string> *refused) {
    if (section.empty() ||
        section.find_first_of(std::string_view("]\r\n\0", 4)) != std::string_view::npos)
        return false;

    const std::string target = ReplacementTarget(path);
    const std::string folder = FolderOfPath(target);
    if (!MakeFolders(folder)) return false;
    const LockedFile lock(target);
    std::string old;
    if (lock.fd() < 0 || !ReadAll(lock.fd(), old)) return false;
    struct stat info {};
    if (fstat(lock.fd(), &info) != 0) return false;

    const std::vector<std::string> current = IniSectionEntries(old, section);
    std::vector<std::string> entries = current;
    change(entries);
    std::vector<std::string> left;
    entries = StorableEntries(entries, current, &left);
    if (refused != nullptr) refused->insert(refused->end(), left.begin(), left.end());
    const bool whole = left.empty();
    const std::string text = ReplaceIniSection(old, section, entries);
    if (text == old) return whole;

    const std::string prefix = TemporaryPrefix(target);
    RemoveAbandonedTemporaries(folder, prefix);
    std::string temporary;
    int fd = -1;
    if (StepAllowed(IniWriteStep::CreateTemporary))
        fd = CreateLockedTemporary(temporary, folder + "/" + prefix + "XXXXXX");
    if (fd < 0) return false;

    bool ok = fchmod(fd, info.st_mode & 07777) == 0 && StepAllowed(IniWriteStep::Write) &&
              WriteAll(fd, text) && StepAllowed(IniWriteStep::Flush) && fsync(fd) == 0;
    // Renamed while still locked: until then no other writer may take it for abandoned, nor
    // read the file it replaces.
    ok = ok && StepAllowed(IniWriteStep::Rename) && rename(temporary.c_str(), target.c_str()) == 0;
    if (!ok) unlink(temporary.c_str());
    close(fd);
    if (!ok) return false;
    // The rename itself is made durable by flushing the folder; failing that changes nothing.
    const int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        fsync(dir);
        close(dir);
    }
    return whole;
}

bool WriteIniSection(const std::string &path, std::string_view section,
                     const std::vector<std::string> &entries, std::vector<std::string> *refused) {
    return UpdateIniSection(
        path, section, [&](std::vector<std::string> &current) { current = entries; }, refused);
}

std::string SettingsPathFor(const std::string &exeDir, const char *xdgConfigHome,
                            const char *home) {
    const std::string beside = exeDir + "/" + kFileName;
    if (!exeDir.empty() && FileExists(beside)) return beside;
    if (xdgConfigHome != nullptr && xdgConfigHome[0] == '/')
        return std::string(xdgConfigHome) + "/tarvotcpc/" + kFileName;
    if (home != nullptr && home[0] != '\0')
        return std::string(home) + "/.config/tarvotcpc/" + kFileName;
    return beside;
}

const std::string &SettingsPath() {
    static const std::string path = [] {
        std::string exeDir;
        char exe[PATH_MAX];
        const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
        if (n > 0) exeDir = FolderOfPath(std::string(exe, static_cast<std::size_t>(n)));
        const char *home = std::getenv("HOME");
        if (home == nullptr || home[0] == '\0') {
            const passwd *user = getpwuid(getuid());
            if (user != nullptr) home = user->pw_dir;
        }
        return SettingsPathFor(exeDir, std::getenv("XDG_CONFIG_HOME"), home);
    }();
    return path;
}

} // namespace tarvotcpc
