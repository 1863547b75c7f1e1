// Logging every connection's transcript to a folder as it happens: one file per connection, in
// the text form of the transcript saves. The disk is touched only by a thread of the log's own,
// so a slow or full disk never holds up the window or the connection; what was handed over is
// written within kWriteInterval (a crash of the program loses no more than that) and synced to
// the disk every kSyncInterval (a crash of the machine loses no more than about that).
#pragma once

#include "saves/saving.hpp"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace tarvotcpc {

// "YYYYMMDD-hhmmss_destination.log" (local time), with every byte of the destination that is not
// a letter, a digit, '.' or '-' turned into '_', so that any host or address names a file.
std::string SessionLogFileName(std::string_view destination, int64_t timeUs);

class SessionLog {
  public:
    static constexpr std::chrono::milliseconds kWriteInterval{200};
    static constexpr std::chrono::milliseconds kSyncInterval{1000};

    explicit SessionLog(std::string folder, ChunkDecoderFactory decoders = {}, WriteSeam seam = {});
    ~SessionLog(); // writes and syncs what is left
    SessionLog(const SessionLog &) = delete;
    SessionLog &operator=(const SessionLog &) = delete;

    // A new connection: the following chunks go to a new file in the folder.
    void StartConnection(std::string_view destination, int64_t timeUs, uint64_t connection);
    // Bytes as they were kept; a datagram comes whole, in one call.
    void Append(SavedDirection direction, int64_t timeUs, std::string_view bytes,
                bool datagram = false);
    // A note between the chunks, as the text save writes it.
    void Note(int64_t timeUs, std::string_view text);
    void EndConnection();

    // Once the log has failed (the folder cannot be written, the disk is full), logging stops
    // for good; the connection goes on. The reason, given once, for the window to show.
    std::string TakeError();
    bool Stopped() const;

  private:
    struct Item {
        enum Kind { Open, Text, Close } kind;
        std::string text; // the file name for Open, the formatted text for Text
    };
    void Run();
    void Process(std::vector<Item> &items);
    void Hand(std::string text);
    void StopWith(std::string message);
    void CloseFile();

    const std::string folder_;
    ChunkDecoderFactory decoders_;
    WriteSeam seam_;
    // The calling thread's own.
    TranscriptTextFormat format_;
    uint64_t connection_ = 0;

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::vector<Item> pending_;
    std::size_t pendingBytes_ = 0;
    bool quit_ = false;
    bool stopped_ = false;
    std::string error_;

    // The writer thread's own.
    int fd_ = -1;
    std::string path_;
    bool dirty_ = false;
    std::chrono::steady_clock::time_point lastSync_;

    std::thread writer_;
};

} // namespace tarvotcpc
