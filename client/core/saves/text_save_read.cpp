#include "saves/text_save_read.hpp"

#include <algorithm>
#include <utility>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <vector>

#include "saves/saving.hpp"

namespace tarvotcpc {

namespace {

constexpr std::string_view kLineFeedPicture = "\xE2\x90\x8A"; // ␊
constexpr std::string_view kReceivedWord = "受信";
constexpr std::string_view kSentWord = "送信";
constexpr std::string_view kNoteWord = "注記";

// Reads `count` decimal digits at `at`.
bool Digits(std::string_view text, std::size_t &at, std::size_t count, int64_t &value) {
    if (at + count > text.size()) return false;
    value = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const char c = text[at + i];
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    at += count;
    return true;
}

bool Expect(std::string_view text, std::size_t &at, std::string_view what) {
    if (text.substr(at, what.size()) != what) return false;
    at += what.size();
    return true;
}

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar.
int64_t DaysFromCivil(int64_t year, int64_t month, int64_t day) {
    year -= month <= 2 ? 1 : 0;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const int64_t yearOfEra = year - era * 400;
    const int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

} // namespace

std::string TextSaveBytes(std::string_view text, bool note) {
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const auto byte = static_cast<unsigned char>(text[i]);
        // ⟨XX⟩: E2 9F A8, two hex digits, E2 9F A9.
        if (!note && byte == 0xE2 && text.substr(i, 3) == "\xE2\x9F\xA8" && i + 8 <= text.size() &&
            text.substr(i + 5, 3) == "\xE2\x9F\xA9") {
            const int high = HexValue(text[i + 3]);
            const int low = HexValue(text[i + 4]);
            // Only a byte from 80 up can be one that starts no character; ⟨41⟩ is text.
            if (high >= 8 && low >= 0) {
                out += static_cast<char>(high * 16 + low);
                i += 8;
                continue;
            }
        }
        // Control pictures U+2400 to U+241F (E2 90 80..9F) and U+2421 (E2 90 A1). A tab is
        // written as itself, so ␉ is only ever a character of the text; ␊ is LF in a note, and
        // in a chunk only before the line's end, which the caller takes.
        if (byte == 0xE2 && i + 2 < text.size() &&
            static_cast<unsigned char>(text[i + 1]) == 0x90) {
            const auto last = static_cast<unsigned char>(text[i + 2]);
            const bool tab = last == 0x89;
            const bool lineFeed = last == 0x8A;
            if (last >= 0x80 && last <= 0x9F && !tab && (!lineFeed || note)) {
                out += static_cast<char>(last - 0x80);
                i += 3;
                continue;
            }
            if (last == 0xA1) {
                out += '\x7F';
                i += 3;
                continue;
            }
        }
        out += static_cast<char>(byte);
        ++i;
    }
    return out;
}

bool ReadsAsHeader(std::string_view line) {
    return TextSaveReader::ParseHeader(line).has_value();
}

TextSaveReader::TextSaveReader(Transcript &into) : into_(into) {}

bool TextSaveReader::Fail(std::string error) {
    failed_ = true;
    if (error_.empty()) error_ = std::move(error);
    return false;
}

// "[YYYY-MM-DD hh:mm:ss.uuuuuu +zzzz] 受信 #N", or 注記 with " text" after the number.
std::optional<TextSaveReader::Header> TextSaveReader::ParseHeader(std::string_view line) {
    std::size_t at = 0;
    if (!Expect(line, at, "[")) return std::nullopt;
    // The year as strftime writes it, a minus sign before the year 0; the times a record can
    // hold span about 292000 years either way.
    bool negativeYear = Expect(line, at, "-");
    std::size_t yearDigits = 0;
    while (at + yearDigits < line.size() && yearDigits < 7 && line[at + yearDigits] >= '0' &&
           line[at + yearDigits] <= '9')
        ++yearDigits;
    int64_t year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, micros = 0;
    int64_t zoneHours = 0, zoneMinutes = 0;
    if (yearDigits == 0 || !Digits(line, at, yearDigits, year)) return std::nullopt;
    if (negativeYear) year = -year;
    if (!Expect(line, at, "-") || !Digits(line, at, 2, month) || !Expect(line, at, "-") ||
        !Digits(line, at, 2, day) || !Expect(line, at, " ") || !Digits(line, at, 2, hour) ||
        !Expect(line, at, ":") || !Digits(line, at, 2, minute) || !Expect(line, at, ":") ||
        !Digits(line, at, 2, second) || !Expect(line, at, ".") || !Digits(line, at, 6, micros) ||
        !Expect(line, at, " "))
        return std::nullopt;
    const bool east = Expect(line, at, "+");
    if (!east && !Expect(line, at, "-")) return std::nullopt;
    if (!Digits(line, at, 2, zoneHours) || !Digits(line, at, 2, zoneMinutes) ||
        !Expect(line, at, "] "))
        return std::nullopt;
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60 ||
        zoneMinutes > 59)
        return std::nullopt;
    Header header;
    if (Expect(line, at, kReceivedWord))
        header.kind = Header::Kind::Received;
    else if (Expect(line, at, kSentWord))
        header.kind = Header::Kind::Sent;
    else if (Expect(line, at, kNoteWord))
        header.kind = Header::Kind::Note;
    else
        return std::nullopt;
    if (!Expect(line, at, " #")) return std::nullopt;
    std::size_t digits = 0;
    while (at + digits < line.size() && line[at + digits] >= '0' && line[at + digits] <= '9')
        ++digits;
    int64_t connection = 0;
    if (digits == 0 || digits > 10 || !Digits(line, at, digits, connection) ||
        connection > int64_t{UINT32_MAX})
        return std::nullopt;
    header.connection = static_cast<uint32_t>(connection);
    if (header.kind == Header::Kind::Note) {
        if (!Expect(line, at, " ")) return std::nullopt;
        header.note = TextSaveBytes(line.substr(at), true);
    } else {
        // What the save adds after the number: the answer's time, and a datagram's size (its
        // bytes are the lines that follow, as for any chunk).
        if (Expect(line, at, " 応答時間 ")) {
            std::size_t wholeDigits = 0;
            while (at + wholeDigits < line.size() && line[at + wholeDigits] >= '0' &&
                   line[at + wholeDigits] <= '9')
                ++wholeDigits;
            int64_t whole = 0, tenth = 0;
            if (wholeDigits == 0 || wholeDigits > 12 || !Digits(line, at, wholeDigits, whole) ||
                !Expect(line, at, ".") || !Digits(line, at, 1, tenth) || !Expect(line, at, "ms"))
                return std::nullopt;
            header.replyUs = whole * 1000 + tenth * 100;
        }
        if (Expect(line, at, " (データグラム ")) {
            std::size_t sizeDigits = 0;
            while (at + sizeDigits < line.size() && line[at + sizeDigits] >= '0' &&
                   line[at + sizeDigits] <= '9')
                ++sizeDigits;
            int64_t size = 0;
            if (sizeDigits == 0 || sizeDigits > 6 || !Digits(line, at, sizeDigits, size) ||
                !Expect(line, at, "バイト)"))
                return std::nullopt;
            header.datagram = true;
        }
        if (at != line.size()) return std::nullopt;
    }
    const int64_t zone = (zoneHours * 3600 + zoneMinutes * 60) * (east ? 1 : -1);
    const int64_t seconds =
        DaysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second - zone;
    constexpr int64_t kLatest = INT64_MAX / 1000000 - 1;
    if (seconds > kLatest || seconds < -kLatest) return std::nullopt;
    header.timeUs = seconds * 1000000 + micros;
    return header;
}

bool TextSaveReader::Append(std::string_view bytes) {
    if (chunk_->datagram) {
        datagram_.append(bytes);
        return true;
    }
    if (bytes.empty()) return true;
    const Direction direction =
        chunk_->kind == Header::Kind::Received ? Direction::Received : Direction::Sent;
    const uint64_t offset = into_.Size();
    if (const int err = into_.Append(direction, bytes.data(), bytes.size(), chunk_->timeUs))
        return Fail(std::string("記録に書き込めません: ") + std::strerror(err));
    if (chunk_->replyUs) into_.AddReplyTime(offset, *std::exchange(chunk_->replyUs, std::nullopt));
    return true;
}

bool TextSaveReader::EndChunk() {
    if (!chunk_ || !chunk_->datagram) return true;
    const std::string bytes = std::move(datagram_);
    datagram_.clear();
    const Direction direction =
        chunk_->kind == Header::Kind::Received ? Direction::Received : Direction::Sent;
    const uint64_t offset = into_.Size();
    if (const int err = into_.Append(direction, bytes.data(), bytes.size(), chunk_->timeUs, true))
        return Fail(std::string("記録に書き込めません: ") + std::strerror(err));
    if (chunk_->replyUs) into_.AddReplyTime(offset, *chunk_->replyUs);
    // Text after a note that follows (a save never writes any) goes on as plain bytes.
    chunk_->datagram = false;
    chunk_->replyUs.reset();
    return true;
}

bool TextSaveReader::Line(std::string_view line) {
    ++lineNumber_;
    if (std::optional<Header> header = ParseHeader(line)) {
        if (!EndChunk()) return false;
        if (!connection_ || *connection_ != header->connection) {
            into_.BeginConnection(header->connection);
            connection_ = header->connection;
        }
        if (header->kind == Header::Kind::Note) {
            into_.AddNote(std::move(header->note), header->timeUs);
            ++notes_;
            // Text after a note (a save never writes any) is the chunk's above it.
            return true;
        }
        chunk_ = std::move(header);
        ++chunks_;
        return true;
    }
    if (!chunk_)
        return Fail(std::to_string(lineNumber_) +
                    "行目が「[時刻] 受信 #1」の形ではありません。送受信の記録をテキストで保存した"
                    "ファイルではないようです");
    // Text that would read as a header has its "[" written as ⟨5B⟩.
    constexpr std::string_view kEscapedBracket = "\xE2\x9F\xA8"
                                                 "5B\xE2\x9F\xA9";
    std::string unescaped;
    if (line.substr(0, kEscapedBracket.size()) == kEscapedBracket) {
        unescaped = "[" + std::string(line.substr(kEscapedBracket.size()));
        if (ParseHeader(unescaped)) line = unescaped;
    }
    // A line that ends with ␊ ended with LF; any other ended where its chunk did.
    const bool lineFeed = line.size() >= kLineFeedPicture.size() &&
                          line.substr(line.size() - kLineFeedPicture.size()) == kLineFeedPicture;
    std::string bytes = TextSaveBytes(
        lineFeed ? line.substr(0, line.size() - kLineFeedPicture.size()) : line, false);
    if (lineFeed) bytes += '\n';
    return Append(bytes);
}

bool TextSaveReader::Feed(std::string_view piece) {
    if (failed_) return false;
    while (!piece.empty()) {
        const std::size_t end = piece.find('\n');
        if (end == std::string_view::npos) {
            partial_.append(piece);
            return true;
        }
        bool ok = false;
        if (partial_.empty()) {
            ok = Line(piece.substr(0, end));
        } else {
            partial_.append(piece.substr(0, end));
            ok = Line(partial_);
            partial_.clear();
        }
        if (!ok) return false;
        piece.remove_prefix(end + 1);
    }
    return true;
}

bool TextSaveReader::Finish() {
    if (failed_) return false;
    if (!partial_.empty()) {
        const std::string last = std::move(partial_);
        partial_.clear();
        if (!Line(last)) return false;
    }
    return EndChunk();
}

TextSaveReadOutcome ReadTextSave(const std::string &path, Transcript &into) {
    TextSaveReadOutcome outcome;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        outcome.error = "「" + path + "」を開けません: " + std::strerror(errno);
        return outcome;
    }
    TextSaveReader reader(into);
    std::vector<char> buffer(1u << 20);
    while (in) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        const auto got = static_cast<std::size_t>(in.gcount());
        if (got > 0 && !reader.Feed(std::string_view(buffer.data(), got))) break;
    }
    if (in.bad()) {
        outcome.error = "「" + path + "」を読めません";
        return outcome;
    }
    if (!reader.Finish() || !reader.Error().empty()) {
        outcome.error = "「" + path + "」: " + reader.Error();
        return outcome;
    }
    outcome.ok = true;
    return outcome;
}

} // namespace tarvotcpc
