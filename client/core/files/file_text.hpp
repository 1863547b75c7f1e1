// Loading a file's text into the send page.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "text/send_encoding.hpp"

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
    // LoadFileForPage only: a file that is not text in the encoding; text is then its escape
    // form, and this the question to put to the user before it goes into the page.
    std::string notice;
};
using FileLoadProgress = std::function<bool(uint64_t bytesRead, uint64_t fileSize)>;
FileLoadResult LoadFileText(const std::string &path, const FileLoadProgress &progress);

// How the send page would send a file's bytes.
struct PageTextOptions {
    SendEncoding encoding = SendEncoding::Utf8;
    LineEnding ending = LineEnding::Crlf;
    bool escapeMode = false;
};
// The whole of a regular file (a device or pipe up to its first NUL, as it may never end), as
// PageTextFromFile makes it: text in the encoding as text, anything else in the escape form that
// sends its bytes exactly, with the notice set. Nothing is dropped or changed silently.
FileLoadResult LoadFileForPage(const std::string &path, const PageTextOptions &options,
                               const FileLoadProgress &progress);

} // namespace tarvotcpc
