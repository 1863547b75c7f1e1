#include "replay/exchange_compare.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "capture/capture_reader.hpp"
#include "saves/text_save_read.hpp"

namespace tarvotcpc {

namespace {

// Control bytes as the text save shows them; LF ends the line.
void AppendLines(std::string_view text, ReceivedLines &out, bool &atLineStart) {
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (atLineStart) {
            out.lines.emplace_back();
            atLineStart = false;
        }
        std::string &line = out.lines.back();
        if (byte == '\n') {
            line += "\xE2\x90\x8A"; // ␊
            atLineStart = true;
        } else if (byte < 0x20 && byte != '\t') {
            line += "\xE2\x90";
            line += static_cast<char>(0x80 + byte);
        } else if (byte == 0x7F) {
            line += "\xE2\x90\xA1"; // ␡
        } else {
            line += c;
        }
    }
}

} // namespace

ReceivedLines ReceivedLinesOf(const SavedTranscript &record, ChunkDecoderFactory decoders,
                              std::size_t limit) {
    if (!decoders) decoders = MakeUtf8ChunkDecoder;
    ReceivedLines out;
    std::unique_ptr<ChunkDecoder> decoder;
    std::optional<uint64_t> connection;
    bool atLineStart = true;
    std::size_t taken = 0;
    std::vector<char> buffer(1u << 16);
    const auto finish = [&] {
        if (decoder) AppendLines(decoder->Finish(), out, atLineStart);
    };
    for (std::size_t index = 0; index < record.ChunkCount(); ++index) {
        const SavedChunkInfo chunk = record.Chunk(index);
        if (chunk.isNote || chunk.direction != SavedDirection::Received) continue;
        if (connection != chunk.connection) {
            // Each connection's text is its own, from a line of its own.
            finish();
            decoder = decoders();
            connection = chunk.connection;
            atLineStart = true;
        }
        for (uint64_t offset = 0; offset < chunk.size;) {
            const std::size_t got = record.Read(index, offset, buffer);
            if (got == 0) break;
            const std::string text = decoder->Decode(std::string_view(buffer.data(), got));
            AppendLines(text, out, atLineStart);
            offset += got;
            taken += text.size();
            if (taken > limit) {
                out.cut = true;
                return out;
            }
        }
    }
    finish();
    return out;
}

ExchangeFileJob::ExchangeFileJob(std::string path, Transcript &into)
    : path_(std::move(path)), into_(into) {
    file_.open(path_, std::ios::binary);
    if (!file_) {
        Fail("「" + path_ + "」を開けません: " + std::strerror(errno));
        return;
    }
    std::error_code ignored;
    size_ = std::filesystem::file_size(path_, ignored);
    if (ignored) size_ = 0;
    unsigned char magic[4] = {};
    file_.read(reinterpret_cast<char *>(magic), sizeof magic);
    const auto got = static_cast<std::size_t>(file_.gcount());
    file_.clear();
    file_.seekg(0);
    const auto is = [&](unsigned char a, unsigned char b, unsigned char c, unsigned char d) {
        return got == 4 && magic[0] == a && magic[1] == b && magic[2] == c && magic[3] == d;
    };
    // pcap in either byte order, with microseconds or nanoseconds, and pcapng.
    if (is(0xD4, 0xC3, 0xB2, 0xA1) || is(0xA1, 0xB2, 0xC3, 0xD4) || is(0x4D, 0x3C, 0xB2, 0xA1) ||
        is(0xA1, 0xB2, 0x3C, 0x4D) || is(0x0A, 0x0D, 0x0D, 0x0A)) {
        kind_ = Kind::Capture;
        file_.close();
        capture_ = std::make_unique<CaptureReadJob>(path_, into_);
    } else {
        text_ = std::make_unique<TextSaveReader>(into_);
    }
}

ExchangeFileJob::~ExchangeFileJob() = default;

bool ExchangeFileJob::Fail(std::string error) {
    if (error_.empty()) error_ = std::move(error);
    finished_ = true;
    return false;
}

bool ExchangeFileJob::Step() {
    if (finished_) return false;
    if (capture_) {
        if (capture_->Step()) return true;
        if (!capture_->Succeeded()) return Fail(capture_->Error());
        finished_ = true;
        return false;
    }
    std::string buffer(1u << 20, '\0');
    file_.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    const auto got = static_cast<std::size_t>(file_.gcount());
    read_ += got;
    if (got > 0 && !text_->Feed(std::string_view(buffer.data(), got)))
        return Fail("「" + path_ + "」: " + text_->Error());
    if (file_.bad()) return Fail("「" + path_ + "」を読めません");
    if (file_) return true;
    if (!text_->Finish()) return Fail("「" + path_ + "」: " + text_->Error());
    finished_ = true;
    return false;
}

int ExchangeFileJob::Progress() const {
    if (finished_) return 1000;
    if (capture_) return capture_->Progress();
    if (size_ == 0) return 0;
    return static_cast<int>(std::min<uint64_t>(1000, read_ * 1000 / size_));
}

} // namespace tarvotcpc
