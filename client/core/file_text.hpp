// Loading a file's text into the send page.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace tarvotcpc {

inline constexpr char kFileOpenFailedText[] = "ファイルのオープンに失敗しました";

// The text that loading the file at path appends to the send page: its bytes up to the first NUL,
// line breaks as LF. None when it cannot be opened or read (kFileOpenFailedText is shown then).
std::optional<std::string> LoadFileText(const std::string &path);

// The same for a window that must stay responsive while a large file loads: progress is called
// after each block read (on the caller's thread) with the bytes read so far and the file's size
// (0 when the size is not known in advance, as for a pipe); its false stops the load.
enum class FileLoadStatus {
    Loaded,
    Failed,  // could not be opened or read, or memory ran out: kFileOpenFailedText
    Stopped, // progress asked to stop; nothing is to be appended
};
struct FileLoadResult {
    FileLoadStatus status = FileLoadStatus::Failed;
    std::string text; // with Loaded only
};
using FileLoadProgress = std::function<bool(uint64_t bytesRead, uint64_t fileSize)>;
FileLoadResult LoadFileText(const std::string &path, const FileLoadProgress &progress);

} // namespace tarvotcpc
