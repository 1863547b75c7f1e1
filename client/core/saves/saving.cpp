#include "saves/saving.hpp"

#include "files/file_replace.hpp"
#include "saves/text_save_read.hpp"
#include "text/utf8_char.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <optional>
#include <vector>

namespace tarvotcpc {

namespace {

class Utf8ChunkDecoder : public ChunkDecoder {
  public:
    std::string Decode(std::string_view bytes) override {
        held_.append(bytes);
        std::string out;
        std::size_t i = 0;
        while (i < held_.size()) {
            const std::size_t length = Utf8CharLength(held_, i);
            if (length > 0) {
                out.append(held_, i, length);
                i += length;
            } else if (MayComplete(i)) {
                break;
            } else {
                AppendInvalidByte(static_cast<unsigned char>(held_[i]), out);
                ++i;
            }
        }
        held_.erase(0, i);
        return out;
    }

    std::string Finish() override {
        std::string out;
        for (const char c : held_)
            AppendInvalidByte(static_cast<unsigned char>(c), out);
        held_.clear();
        return out;
    }

    std::string EndChunk(const std::function<std::string()> &next) override {
        if (held_.empty()) return {};
        const std::string joined = held_ + next();
        if (Utf8CharLength(joined, 0) > held_.size()) return {};
        return Finish();
    }

  private:
    // The bytes from i on are the start of a character that the next piece may complete.
    bool MayComplete(std::size_t i) const {
        const auto lead = static_cast<unsigned char>(held_[i]);
        const std::size_t need = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
        if (lead < 0xC2 || lead > 0xF4 || held_.size() - i >= need) return false;
        for (std::size_t k = i + 1; k < held_.size(); ++k)
            if ((static_cast<unsigned char>(held_[k]) & 0xC0) != 0x80) return false;
        return true;
    }

    std::string held_;
};

// Control bytes as visible marks; each LF also ends the line of the file.
void AppendShown(std::string_view text, std::string &out, bool &atLineStart) {
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == '\n') {
            out += "\xE2\x90\x8A\n"; // ␊
        } else if (byte < 0x20 && byte != '\t') {
            out += "\xE2\x90";
            out += static_cast<char>(0x80 + byte); // ␀ .. ␟, ␍ among them
        } else if (byte == 0x7F) {
            out += "\xE2\x90\xA1"; // ␡
        } else {
            out += c;
        }
    }
    if (!text.empty()) atLineStart = text.back() == '\n';
}

std::string TimeText(int64_t timeUs) {
    int64_t seconds = timeUs / 1000000;
    int64_t micros = timeUs % 1000000;
    if (micros < 0) {
        micros += 1000000;
        --seconds;
    }
    const time_t when = static_cast<time_t>(seconds);
    struct tm local {};
    localtime_r(&when, &local);
    char date[32];
    std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S", &local);
    char zone[16];
    std::strftime(zone, sizeof zone, "%z", &local);
    char text[64];
    std::snprintf(text, sizeof text, "%s.%06lld %s", date, static_cast<long long>(micros), zone);
    return text;
}

ssize_t PlainWrite(int fd, const void *data, std::size_t size) {
    return ::write(fd, data, size);
}

} // namespace

void AppendInvalidByte(unsigned char byte, std::string &out) {
    char box[16];
    std::snprintf(box, sizeof box, "\xE2\x9F\xA8%02X\xE2\x9F\xA9", byte);
    out += box;
}

std::string ReplyTimeText(int64_t us) {
    const int64_t tenths = (std::max<int64_t>(us, 0) + 50) / 100;
    return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + "ms";
}

std::unique_ptr<ChunkDecoder> MakeUtf8ChunkDecoder() {
    return std::make_unique<Utf8ChunkDecoder>();
}

TranscriptTextFormat::TranscriptTextFormat(ChunkDecoderFactory decoders)
    : factory_(decoders ? std::move(decoders) : ChunkDecoderFactory(MakeUtf8ChunkDecoder)) {}

std::string TranscriptTextFormat::Header(const SavedChunkInfo &chunk) {
    std::string out = "[" + TimeText(chunk.timeUs) + "] ";
    out += chunk.direction == SavedDirection::Received ? "受信" : "送信";
    out += " #" + std::to_string(chunk.connection);
    if (chunk.replyUs) out += " 応答時間 " + ReplyTimeText(*chunk.replyUs);
    if (chunk.datagram) out += " (データグラム " + std::to_string(chunk.size) + "バイト)";
    out += "\n";
    atLineStart_ = true;
    shown_ = false;
    return out;
}

std::string TranscriptTextFormat::Note(const SavedChunkInfo &note) {
    std::string out = HeldLine();
    out += atLineStart_ ? "[" : "\n[";
    out += TimeText(note.timeUs) + "] 注記 #" + std::to_string(note.connection) + " ";
    // Whatever the text holds, the note stays one line.
    bool atLineStart = false;
    for (const char c : note.note) {
        if (c == '\n') {
            out += "\xE2\x90\x8A"; // ␊
        } else {
            AppendShown(std::string_view(&c, 1), out, atLineStart);
        }
    }
    out += "\n";
    atLineStart_ = true;
    return out;
}

std::string TranscriptTextFormat::Body(SavedDirection direction, std::string_view bytes) {
    auto &decoder = decoders_[direction == SavedDirection::Received ? 0 : 1];
    if (!decoder) decoder = factory_();
    std::string out;
    const std::string text = decoder->Decode(bytes);
    if (!text.empty()) shown_ = true;
    Show(text, out);
    return out;
}

void TranscriptTextFormat::Show(std::string_view text, std::string &out) {
    std::string shown;
    bool lineStart = atLineStart_;
    AppendShown(text, shown, atLineStart_);
    // A body line that reads as a header would come back as a chunk or a note of its own: its
    // "[" is written as ⟨5B⟩, which the reader takes back only on such a line. Whether it reads
    // as one is known from its first kHeldLine bytes, longer than any header but a note's.
    constexpr std::size_t kHeldLine = 256;
    std::size_t i = 0;
    while (i < shown.size()) {
        if (heldLine_.empty() && !(lineStart && shown[i] == '[')) {
            const std::size_t end = shown.find('\n', i);
            if (end == std::string::npos) {
                out.append(shown, i);
                break;
            }
            out.append(shown, i, end + 1 - i);
            i = end + 1;
            lineStart = true;
            continue;
        }
        const std::size_t end = std::min(shown.find('\n', i), shown.size());
        const std::size_t take = std::min(end - i, kHeldLine - heldLine_.size());
        heldLine_.append(shown, i, take);
        i += take;
        lineStart = false;
        if (i < shown.size() && shown[i] == '\n') {
            out += HeldLine() + "\n";
            ++i;
            lineStart = true;
        } else if (heldLine_.size() >= kHeldLine) {
            out += HeldLine();
        }
    }
}

std::string TranscriptTextFormat::HeldLine() {
    std::string line = std::move(heldLine_);
    heldLine_.clear();
    if (ReadsAsHeader(line))
        line.replace(0, 1,
                     "\xE2\x9F\xA8"
                     "5B\xE2\x9F\xA9");
    return line;
}

std::string TranscriptTextFormat::EndChunk() {
    std::string out = HeldLine();
    if (atLineStart_) return out;
    atLineStart_ = true;
    return out + "\n";
}

std::string TranscriptTextFormat::EndChunk(const SavedChunkInfo &chunk,
                                           const std::function<std::string()> &next) {
    if (chunk.datagram) return EndDatagram(chunk.direction);
    auto &decoder = decoders_[chunk.direction == SavedDirection::Received ? 0 : 1];
    std::string out;
    // A chunk that would show nothing shows what it holds: read back, a header without text
    // would be no chunk at all.
    if (decoder) Show(decoder->EndChunk(shown_ ? next : [] { return std::string(); }), out);
    return out + EndChunk();
}

std::string FollowingBytes(const SavedTranscript &transcript, std::size_t index,
                           std::size_t lastIndex, uint64_t lastSize) {
    const SavedChunkInfo chunk = transcript.Chunk(index);
    for (std::size_t i = index + 1; i <= lastIndex; ++i) {
        const SavedChunkInfo next = transcript.Chunk(i);
        if (next.isNote || next.direction != chunk.direction) continue;
        if (next.connection != chunk.connection || next.datagram) return {};
        char bytes[8];
        const std::size_t want =
            i == lastIndex ? static_cast<std::size_t>(std::min<uint64_t>(lastSize, 8)) : 8;
        return std::string(bytes, transcript.Read(i, 0, {bytes, want}));
    }
    return {};
}

std::string TranscriptTextFormat::EndDatagram(SavedDirection direction) {
    auto &decoder = decoders_[direction == SavedDirection::Received ? 0 : 1];
    std::string out;
    if (decoder) {
        Show(decoder->Finish(), out);
        decoder.reset(); // a stateful encoding starts over with the next datagram
    }
    return out + EndChunk();
}

std::string TranscriptTextFormat::Finish() {
    std::string out;
    for (auto &decoder : decoders_) {
        if (!decoder) continue;
        Show(decoder->Finish(), out);
        out += EndChunk();
    }
    return out;
}

bool WriteTranscriptText(const SavedTranscript &transcript, ChunkDecoderFactory decoders,
                         const std::function<bool(std::string_view)> &write) {
    TranscriptTextFormat format(std::move(decoders));
    constexpr std::size_t kPiece = 1u << 20;
    std::vector<char> buffer(kPiece);
    std::string out;
    const std::size_t count = transcript.ChunkCount();
    const uint64_t lastSize = count ? transcript.Chunk(count - 1).size : 0;
    for (std::size_t index = 0; index < count; ++index) {
        const SavedChunkInfo chunk = transcript.Chunk(index);
        if (chunk.isNote) {
            out += format.Note(chunk);
            continue;
        }
        out += format.Header(chunk);
        for (uint64_t offset = 0; offset < chunk.size;) {
            const std::size_t got = transcript.Read(index, offset, buffer);
            if (got == 0) return false;
            out += format.Body(chunk.direction, std::string_view(buffer.data(), got));
            offset += got;
            if (out.size() >= kPiece) {
                if (!write(out)) return false;
                out.clear();
            }
        }
        out += format.EndChunk(
            chunk, [&] { return FollowingBytes(transcript, index, count - 1, lastSize); });
    }
    out += format.Finish();
    return out.empty() || write(out);
}

std::string FileErrorMessage(const std::string &path, int err) {
    const char *reason;
    switch (err) {
    case ENOTDIR:
        reason = "パスの途中にフォルダーではないファイルがあります";
        break;
    case ENOENT:
        reason = "フォルダーがありません";
        break;
    case ENOSPC:
    case EDQUOT:
        reason = "ディスクに空きがありません";
        break;
    case EACCES:
    case EPERM:
        reason = "書き込みが許可されていません";
        break;
    case EROFS:
        reason = "読み取り専用の場所です";
        break;
    case EISDIR:
        reason = "同じ名前のフォルダーがあります";
        break;
    case ENAMETOOLONG:
        reason = "名前が長すぎます";
        break;
    case EIO:
        reason = "ディスクの読み書きに失敗しました";
        break;
    default:
        reason = std::strerror(err);
        break;
    }
    return "「" + path + "」に書き込めません: " + reason;
}

AtomicFile::AtomicFile(std::string path, WriteSeam seam)
    : path_(std::move(path)), seam_(seam ? std::move(seam) : WriteSeam(PlainWrite)) {
    if (path_.empty() || path_.back() == '/') {
        Fail(EISDIR);
        return;
    }
    // A file the user keeps behind a link is replaced where it is, with the permissions it had; a
    // new one gets those the umask gives.
    target_ = ReplacementTarget(path_);
    const std::optional<mode_t> mode = ExistingFileMode(target_);
    // A short name of our own, so that a target name near the length limit still has room.
    static std::atomic<unsigned> counter{0};
    const std::string folder = FolderOfPath(target_);
    for (int attempt = 0; attempt < 100; ++attempt) {
        temporary_ = folder + "/.tarvotcpc-save-" + std::to_string(getpid()) + "-" +
                     std::to_string(counter++) + ".tmp";
        fd_ =
            ::open(temporary_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode ? 0600 : 0666);
        if (fd_ >= 0) {
            if (mode && ::fchmod(fd_, *mode) != 0) Fail(errno); // removes the temporary
            return;
        }
        if (errno != EEXIST) break;
    }
    const int err = errno;
    temporary_.clear();
    Fail(err);
}

AtomicFile::~AtomicFile() {
    Abandon();
}

bool AtomicFile::Fail(int err) {
    if (error_.empty()) error_ = FileErrorMessage(path_, err);
    Abandon();
    return false;
}

bool AtomicFile::Write(std::string_view bytes) {
    if (fd_ < 0) return false;
    while (!bytes.empty()) {
        const ssize_t n = seam_(fd_, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return Fail(n < 0 ? errno : EIO);
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

bool AtomicFile::Commit() {
    if (fd_ < 0) return false;
    if (::fsync(fd_) != 0) return Fail(errno);
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) return Fail(errno);
    if (::rename(temporary_.c_str(), target_.c_str()) != 0) return Fail(errno);
    temporary_.clear();
    // The rename itself must survive a crash too.
    const int folder = ::open(FolderOfPath(target_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        ::fsync(folder);
        ::close(folder);
    }
    return true;
}

void AtomicFile::Abandon() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    if (!temporary_.empty()) ::unlink(temporary_.c_str());
    temporary_.clear();
}

SaveJob::SaveJob(const SavedTranscript &transcript, SaveKind kind, std::string path,
                 ChunkDecoderFactory decoders, WriteSeam seam)
    : transcript_(transcript), kind_(kind), file_(std::move(path), std::move(seam)),
      format_(std::move(decoders)), chunkCount_(transcript.ChunkCount()) {
    for (std::size_t i = 0; i < chunkCount_; ++i) {
        const SavedChunkInfo chunk = transcript_.Chunk(i);
        if (Wanted(chunk)) total_ += chunk.size;
        if (i + 1 == chunkCount_) lastChunkSize_ = chunk.size;
    }
    if (!file_.ok()) {
        error_ = file_.error();
        finished_ = true;
    }
}

bool SaveJob::Wanted(const SavedChunkInfo &chunk) const {
    return kind_ == SaveKind::Text ||
           (!chunk.isNote && chunk.direction == SavedDirection::Received);
}

bool SaveJob::Step(std::size_t budget) {
    if (finished_) return false;
    budget = std::max<std::size_t>(budget, 1);
    constexpr std::size_t kPiece = 1u << 20;
    std::vector<char> buffer(std::clamp<std::size_t>(budget, 1, kPiece));
    std::string out;
    std::size_t spent = 0;
    const auto flush = [&] {
        if (out.empty() || file_.Write(out)) {
            out.clear();
            return true;
        }
        error_ = file_.error();
        finished_ = true;
        return false;
    };
    while (spent < budget && chunk_ < chunkCount_) {
        const SavedChunkInfo chunk = transcript_.Chunk(chunk_);
        const uint64_t size = chunk_ + 1 == chunkCount_ ? lastChunkSize_ : chunk.size;
        ++spent; // skipping chunks costs something too, so a step always ends
        if (!Wanted(chunk)) {
            ++chunk_;
            continue;
        }
        if (chunk.isNote) {
            out += format_.Note(chunk);
            ++chunk_;
            continue;
        }
        if (kind_ == SaveKind::Text && offset_ == 0) out += format_.Header(chunk);
        if (offset_ < size) {
            const std::size_t want =
                static_cast<std::size_t>(std::min<uint64_t>(buffer.size(), size - offset_));
            const std::size_t got = transcript_.Read(chunk_, offset_, {buffer.data(), want});
            if (got == 0) {
                file_.Abandon();
                error_ = "記録を読み出せないため保存できませんでした";
                finished_ = true;
                return false;
            }
            const std::string_view piece(buffer.data(), got);
            if (kind_ == SaveKind::Text)
                out += format_.Body(chunk.direction, piece);
            else
                out.append(piece);
            offset_ += got;
            done_ += got;
            spent += got;
        }
        if (offset_ >= size) {
            if (kind_ == SaveKind::Text)
                out += format_.EndChunk(chunk, [&] {
                    return FollowingBytes(transcript_, chunk_, chunkCount_ - 1, lastChunkSize_);
                });
            ++chunk_;
            offset_ = 0;
        }
        if (out.size() >= kPiece && !flush()) return false;
    }
    if (!flush()) return false;
    if (chunk_ < chunkCount_) return true;
    return Finish();
}

bool SaveJob::Finish() {
    finished_ = true;
    if (kind_ == SaveKind::Text && !file_.Write(format_.Finish())) {
        error_ = file_.error();
        return false;
    }
    if (!file_.Commit()) error_ = file_.error();
    return false;
}

void SaveJob::Cancel() {
    if (finished_) return;
    file_.Abandon();
    error_ = "保存を取り消しました";
    finished_ = true;
}

} // namespace tarvotcpc
