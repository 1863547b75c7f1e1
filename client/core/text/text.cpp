#include "text/text.hpp"

#include <algorithm>

namespace tarvotcpc {

namespace {

bool IsContinuation(unsigned char byte) {
    return (byte & 0xC0) == 0x80;
}

// The length of the UTF-8 sequence a lead byte announces, or 0 for a byte that leads none.
std::size_t SequenceLength(unsigned char byte) {
    if (byte >= 0xC2 && byte <= 0xDF) return 2;
    if (byte >= 0xE0 && byte <= 0xEF) return 3;
    if (byte >= 0xF0 && byte <= 0xF4) return 4;
    return 0;
}

// Where the incomplete character at the end of text starts, or text.size() when it ends whole.
std::size_t IncompleteTailStart(std::string_view text) {
    const std::size_t size = text.size();
    for (std::size_t back = 1; back <= 3 && back <= size; ++back) {
        const auto byte = static_cast<unsigned char>(text[size - back]);
        if (IsContinuation(byte)) continue;
        const std::size_t length = SequenceLength(byte);
        return length > back ? size - back : size;
    }
    return size;
}

char FoldAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

template <typename Emit> void ForEachLine(std::string_view text, Emit emitBreak, std::string &out) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\r') {
            emitBreak(out);
            if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
        } else if (c == '\n') {
            emitBreak(out);
        } else {
            out += c;
        }
    }
}

} // namespace

std::size_t Utf8CutLength(std::string_view text, std::size_t maxBytes) {
    if (text.size() <= maxBytes) return text.size();
    // Find the start of the character that holds byte maxBytes, the first one cut off.
    std::size_t start = maxBytes;
    while (start > 0 && maxBytes - start < 3 &&
           IsContinuation(static_cast<unsigned char>(text[start])))
        --start;
    const std::size_t length = SequenceLength(static_cast<unsigned char>(text[start]));
    if (start < maxBytes && length > maxBytes - start) return start;
    return maxBytes;
}

std::string Utf8Cut(std::string_view text, std::size_t maxBytes) {
    return std::string(text.substr(0, Utf8CutLength(text, maxBytes)));
}

int32_t ParseDecimal(std::string_view text) {
    std::size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
    uint32_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
        value = value * 10u + static_cast<uint32_t>(text[i] - '0');
    if (negative) value = 0u - value;
    return static_cast<int32_t>(value);
}

bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
    return true;
}

std::string ToCrlf(std::string_view text) {
    std::string out;
    out.reserve(text.size() + text.size() / 16);
    ForEachLine(
        text, [](std::string &o) { o += "\r\n"; }, out);
    return out;
}

std::string ToLf(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    ForEachLine(
        text, [](std::string &o) { o += '\n'; }, out);
    return out;
}

std::string ReceivedText::Feed(std::string_view bytes) {
    std::string out;
    out.reserve(held_.size() + bytes.size() + bytes.size() / 64);
    out += held_;
    held_.clear();
    // column_ already counts the held bytes: they were counted when they came.
    const std::size_t size = bytes.size();
    std::size_t i = 0;
    while (i < size) {
        const char c = bytes[i];
        if (c == '\r' || c == '\n') {
            const bool secondHalf = c == '\n' && afterCr_;
            afterCr_ = c == '\r';
            if (!secondHalf) out += '\n';
            column_ = 0;
            ++i;
            continue;
        }
        afterCr_ = false;
        const auto byte = static_cast<unsigned char>(c);
        // Cut before a character starts, never inside one; a run of stray continuation bytes
        // is no character and is cut a little later rather than never.
        if (column_ >= kDisplayLineLimit &&
            (!IsContinuation(byte) || column_ >= kDisplayLineLimit + 3)) {
            out += kDisplayBreakMark;
            out += '\n';
            column_ = 0;
        }
        if (c == '\0') {
            out += kNulSymbol;
            ++column_;
            ++i;
            continue;
        }
        // The bytes up to the next one that needs a look of its own go out in one piece: a
        // stream arrives megabytes at a time.
        const std::size_t stop =
            column_ < kDisplayLineLimit ? std::min(size, i + (kDisplayLineLimit - column_)) : i + 1;
        std::size_t end = i + 1;
        while (end < stop && bytes[end] != '\r' && bytes[end] != '\n' && bytes[end] != '\0')
            ++end;
        out.append(bytes.data() + i, end - i);
        column_ += end - i;
        i = end;
    }
    const std::size_t tail = IncompleteTailStart(out);
    held_.assign(out, tail, std::string::npos);
    out.resize(tail);
    return out;
}

std::string ReceivedText::Flush() {
    std::string rest;
    rest.swap(held_);
    afterCr_ = false;
    column_ = 0;
    return rest;
}

} // namespace tarvotcpc
