#include "saves/session_log.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <utility>

namespace tarvotcpc {

namespace {

// Past this much text waiting for the disk, the disk is not keeping up with the connection:
// logging stops rather than letting memory grow without bound.
constexpr std::size_t kMaxPending = 64u << 20;
// The writer wakes early once this much is waiting.
constexpr std::size_t kEarlyWrite = 1u << 20;

ssize_t PlainWrite(int fd, const void *data, std::size_t size) {
    return ::write(fd, data, size);
}

} // namespace

std::string SessionLogFileName(std::string_view destination, int64_t timeUs) {
    const time_t when = static_cast<time_t>(timeUs / 1000000);
    struct tm local {};
    localtime_r(&when, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
    std::string safe;
    for (const char c : destination.substr(0, 100)) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '.' || c == '-';
        safe += plain ? c : '_';
    }
    if (safe.empty()) safe = "_";
    return std::string(stamp) + "_" + safe + ".log";
}

SessionLog::SessionLog(std::string folder, ChunkDecoderFactory decoders, WriteSeam seam)
    : folder_(std::move(folder)), decoders_(std::move(decoders)),
      seam_(seam ? std::move(seam) : WriteSeam(PlainWrite)), format_(decoders_),
      lastSync_(std::chrono::steady_clock::now()), writer_([this] { Run(); }) {}

SessionLog::~SessionLog() {
    {
        std::lock_guard lock(mutex_);
        quit_ = true;
    }
    wake_.notify_one();
    writer_.join();
}

void SessionLog::StartConnection(std::string_view destination, int64_t timeUs,
                                 uint64_t connection) {
    format_ = TranscriptTextFormat(decoders_);
    connection_ = connection;
    std::lock_guard lock(mutex_);
    if (stopped_) return;
    pending_.push_back({Item::Open, SessionLogFileName(destination, timeUs)});
    std::string first =
        "接続 #" + std::to_string(connection) + " " + std::string(destination) + "\n";
    pendingBytes_ += first.size();
    pending_.push_back({Item::Text, std::move(first)});
}

void SessionLog::Append(SavedDirection direction, int64_t timeUs, std::string_view bytes,
                        bool datagram) {
    if (Stopped()) return;
    SavedChunkInfo chunk(direction, timeUs, connection_, bytes.size());
    chunk.datagram = datagram;
    std::string text = format_.Header(chunk);
    text += format_.Body(direction, bytes);
    text += datagram ? format_.EndDatagram(direction) : format_.EndChunk();
    Hand(std::move(text));
}

void SessionLog::Note(int64_t timeUs, std::string_view text) {
    if (Stopped()) return;
    Hand(format_.Note(SavedChunkInfo::Note(timeUs, connection_, std::string(text))));
}

void SessionLog::Hand(std::string text) {
    bool early = false;
    {
        std::lock_guard lock(mutex_);
        if (stopped_) return;
        if (pendingBytes_ + text.size() > kMaxPending) {
            stopped_ = true;
            error_ = "ログの書き込みが受信に追いつかないため、ログを止めました (" + folder_ + ")";
            pending_.clear();
            pendingBytes_ = 0;
        } else {
            pendingBytes_ += text.size();
            pending_.push_back({Item::Text, std::move(text)});
            early = pendingBytes_ >= kEarlyWrite;
        }
    }
    if (early) wake_.notify_one();
}

void SessionLog::EndConnection() {
    std::string rest = format_.Finish();
    std::lock_guard lock(mutex_);
    if (stopped_) return;
    if (!rest.empty()) pending_.push_back({Item::Text, std::move(rest)});
    pending_.push_back({Item::Close, {}});
}

std::string SessionLog::TakeError() {
    std::lock_guard lock(mutex_);
    return std::exchange(error_, {});
}

bool SessionLog::Stopped() const {
    std::lock_guard lock(mutex_);
    return stopped_;
}

void SessionLog::StopWith(std::string message) {
    {
        std::lock_guard lock(mutex_);
        if (!stopped_) error_ = std::move(message) + "。ログを止めました (接続は続きます)";
        stopped_ = true;
        pending_.clear();
        pendingBytes_ = 0;
    }
    CloseFile();
}

void SessionLog::CloseFile() {
    if (fd_ < 0) return;
    if (dirty_) ::fdatasync(fd_);
    ::close(fd_);
    fd_ = -1;
    dirty_ = false;
}

void SessionLog::Run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait_for(lock, kWriteInterval,
                       [this] { return quit_ || pendingBytes_ >= kEarlyWrite; });
        std::vector<Item> items = std::move(pending_);
        pending_.clear();
        pendingBytes_ = 0;
        const bool quit = quit_;
        lock.unlock();
        Process(items);
        if (quit) break;
        lock.lock();
    }
    CloseFile();
}

void SessionLog::Process(std::vector<Item> &items) {
    for (auto &item : items) {
        if (Stopped()) {
            CloseFile();
            return;
        }
        switch (item.kind) {
        case Item::Open: {
            CloseFile();
            // A second connection within the same second gets a file of its own.
            const std::string base = item.text.substr(0, item.text.size() - 4);
            for (int n = 1; n < 100 && fd_ < 0; ++n) {
                path_ = folder_ + "/" + (n == 1 ? base : base + "-" + std::to_string(n)) + ".log";
                fd_ =
                    ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC, 0666);
                if (fd_ < 0 && errno != EEXIST) break;
            }
            if (fd_ < 0) StopWith(FileErrorMessage(path_, errno));
            break;
        }
        case Item::Text: {
            std::string_view rest = item.text;
            while (fd_ >= 0 && !rest.empty()) {
                const ssize_t n = seam_(fd_, rest.data(), rest.size());
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) {
                    StopWith(FileErrorMessage(path_, n < 0 ? errno : EIO));
                    return;
                }
                rest.remove_prefix(static_cast<std::size_t>(n));
                dirty_ = true;
            }
            break;
        }
        case Item::Close:
            CloseFile();
            break;
        }
    }
    const auto now = std::chrono::steady_clock::now();
    if (fd_ >= 0 && dirty_ && now - lastSync_ >= kSyncInterval) {
        if (::fdatasync(fd_) != 0) {
            StopWith(FileErrorMessage(path_, errno));
            return;
        }
        dirty_ = false;
        lastSync_ = now;
    }
}

} // namespace tarvotcpc
