#include "text/send_encoding.hpp"

#include "text/text.hpp"
#include "text/utf8_char.hpp"

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

namespace tarvotcpc {

namespace {

constexpr std::size_t kNoFailure = std::string_view::npos;

// One iconv conversion descriptor, closed on every path.
class Iconv {
  public:
    Iconv(const char *to, const char *from) : cd_(iconv_open(to, from)) {}
    ~Iconv() {
        if (ok()) iconv_close(cd_);
    }
    Iconv(const Iconv &) = delete;
    Iconv &operator=(const Iconv &) = delete;

    bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

    // Converts all of in, appending to out. Returns kNoFailure, or the offset in `in` of the first
    // byte that could not be converted (or that starts an incomplete sequence at the end).
    std::size_t Convert(std::string_view in, std::string &out) {
        char *inPtr = const_cast<char *>(in.data());
        std::size_t inLeft = in.size();
        while (inLeft > 0) {
            const std::size_t before = out.size();
            // Bounded, so that a long text never asks for four times its size at once.
            const std::size_t room = std::min<std::size_t>(inLeft, 1u << 20) * 4 + 16;
            out.resize(before + room);
            char *outPtr = out.data() + before;
            std::size_t outLeft = room;
            const std::size_t rc = iconv(cd_, &inPtr, &inLeft, &outPtr, &outLeft);
            out.resize(before + (room - outLeft));
            if (rc == static_cast<std::size_t>(-1) && errno != E2BIG)
                return static_cast<std::size_t>(inPtr - in.data());
        }
        return kNoFailure;
    }

    // Back to the initial shift state, appending what that takes (ISO-2022-JP's ESC ( B).
    void Finish(std::string &out) {
        char buffer[16];
        char *outPtr = buffer;
        std::size_t outLeft = sizeof buffer;
        iconv(cd_, nullptr, nullptr, &outPtr, &outLeft);
        out.append(buffer, sizeof buffer - outLeft);
    }

    void Reset() { iconv(cd_, nullptr, nullptr, nullptr, nullptr); }

  private:
    iconv_t cd_;
};

bool IsControl(char32_t cp) {
    return cp < 0x20 || (cp >= 0x7F && cp <= 0x9F);
}

std::string CodeText(char32_t cp) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "U+%04X", static_cast<unsigned>(cp));
    return buffer;
}

std::string Place(std::size_t line, std::size_t column) {
    return std::to_string(line) + "行" + std::to_string(column) + "列目";
}

// The character at text[at] as the user would recognise it in a message.
std::string ShownChar(std::string_view text, std::size_t at) {
    char32_t cp = 0;
    const std::size_t length = Utf8CharLength(text, at, &cp);
    if (length == 0) return "?";
    if (IsControl(cp)) return CodeText(cp);
    return "「" + std::string(text.substr(at, length)) + "」(" + CodeText(cp) + ")";
}

std::string_view EndingBytes(LineEnding ending) {
    switch (ending) {
    case LineEnding::Crlf:
        return "\r\n";
    case LineEnding::Lf:
        return "\n";
    case LineEnding::Cr:
        return "\r";
    case LineEnding::None:
        break;
    }
    return {};
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Walks the page's text, keeping the line and the start of the line for messages.
class SendEncoder {
  public:
    SendEncoder(std::string_view text, SendEncoding encoding, LineEnding ending, bool escapes)
        : text_(text), encoding_(encoding), ending_(EndingBytes(ending)), escapes_(escapes),
          iconv_(EncodingName(encoding), "UTF-8") {}

    SendBytes Run() {
        if (!iconv_.ok()) return Fail(1, 1, "文字コード " + Label() + " が使えません");
        if (!CheckUtf8()) return result_;
        std::size_t literal = 0;
        std::size_t i = 0;
        while (i < text_.size()) {
            const char c = text_[i];
            if (c == '\r' || c == '\n') {
                if (!Literal(literal, i)) return result_;
                if (!Literal(ending_, i)) return result_;
                i += (c == '\r' && i + 1 < text_.size() && text_[i + 1] == '\n') ? 2 : 1;
                ++line_;
                lineStart_ = i;
                literal = i;
            } else if (c == '\\' && escapes_) {
                if (!Literal(literal, i)) return result_;
                if (encoding_ == SendEncoding::Iso2022Jp) iconv_.Finish(result_.bytes);
                const std::size_t length = Escape(i);
                if (length == 0) return result_;
                i += length;
                literal = i;
            } else {
                ++i;
            }
        }
        if (!Literal(literal, text_.size())) return result_;
        iconv_.Finish(result_.bytes);
        result_.ok = true;
        return std::move(result_);
    }

  private:
    std::string Label() const { return std::string(EncodingLabel(encoding_)); }

    std::size_t Column(std::size_t at) const {
        std::size_t column = 1;
        for (std::size_t k = lineStart_; k < at; ++k)
            if ((static_cast<unsigned char>(text_[k]) & 0xC0) != 0x80) ++column;
        return column;
    }

    SendBytes Fail(std::size_t line, std::size_t column, std::string message) {
        result_ = SendBytes{};
        result_.error = std::move(message);
        result_.line = line;
        result_.column = column;
        return result_;
    }

    bool FailAt(std::size_t at, const std::string &what) {
        const std::size_t column = Column(at);
        Fail(line_, column, Place(line_, column) + what);
        return false;
    }

    // Every byte is checked before anything is converted, so that a later failure of iconv can
    // only mean a character the encoding does not have.
    bool CheckUtf8() {
        for (std::size_t i = 0; i < text_.size();) {
            const std::size_t length = Utf8CharLength(text_, i);
            if (length == 0) {
                char hex[8];
                std::snprintf(hex, sizeof hex, "0x%02X", static_cast<unsigned char>(text_[i]));
                FailAt(i, "に UTF-8 として正しくないバイト (" + std::string(hex) + ") があります");
                line_ = 1;
                lineStart_ = 0;
                return false;
            }
            if (text_[i] == '\n' ||
                (text_[i] == '\r' && !(i + 1 < text_.size() && text_[i + 1] == '\n'))) {
                ++line_;
                lineStart_ = i + 1;
            }
            i += length;
        }
        line_ = 1;
        lineStart_ = 0;
        return true;
    }

    bool Literal(std::size_t from, std::size_t to) {
        if (from == to) return true;
        const std::size_t failed = iconv_.Convert(text_.substr(from, to - from), result_.bytes);
        if (failed == kNoFailure) return true;
        return FailAt(from + failed, "の " + ShownChar(text_, from + failed) + " は " + Label() +
                                         " で表せない文字です");
    }

    // The line ending, given as text so that a stateful encoding shifts back for it.
    bool Literal(std::string_view ending, std::size_t at) {
        if (ending.empty()) return true;
        if (iconv_.Convert(ending, result_.bytes) == kNoFailure) return true;
        return FailAt(at, "の改行を " + Label() + " で表せません");
    }

    // The escape at text[at] (a backslash): appends its byte and returns its length, or fails.
    std::size_t Escape(std::size_t at) {
        if (at + 1 >= text_.size()) {
            FailAt(at, "の「\\」の後に文字がありません (\\\\ で「\\」を送れます)");
            return 0;
        }
        const char kind = text_[at + 1];
        char byte;
        switch (kind) {
        case 'r':
            byte = '\r';
            break;
        case 'n':
            byte = '\n';
            break;
        case 't':
            byte = '\t';
            break;
        case '0':
            byte = '\0';
            break;
        case '\\':
            byte = '\\';
            break;
        case 'x': {
            const int high = at + 2 < text_.size() ? HexValue(text_[at + 2]) : -1;
            const int low = at + 3 < text_.size() ? HexValue(text_[at + 3]) : -1;
            if (high < 0 || low < 0) {
                FailAt(at, "の「\\x」の後には16進数2桁 (00 から FF) が必要です");
                return 0;
            }
            result_.bytes += static_cast<char>(high * 16 + low);
            return 4;
        }
        default:
            FailAt(at, "のエスケープ「\\" + (ShownChar(text_, at + 1)) +
                           "」は使えません (使えるのは \\r \\n \\t \\0 \\\\ \\xNN)");
            return 0;
        }
        result_.bytes += byte;
        return 2;
    }

    std::string_view text_;
    SendEncoding encoding_;
    std::string_view ending_;
    bool escapes_;
    Iconv iconv_;
    SendBytes result_;
    std::size_t line_ = 1;
    std::size_t lineStart_ = 0;
};

void AppendEscapedByte(unsigned char byte, LineEnding ending, std::string &out) {
    switch (byte) {
    case '\t':
        out += "\\t";
        return;
    case '\r':
        out += "\\r";
        return;
    case '\n':
        out += "\\n";
        if (ending == LineEnding::None) out += '\n';
        return;
    case '\0':
        out += "\\0";
        return;
    case '\\':
        out += "\\\\";
        return;
    default:
        break;
    }
    static const char digits[] = "0123456789ABCDEF";
    out += "\\x";
    out += digits[byte >> 4];
    out += digits[byte & 15];
}

// The next character of bytes at `at` in a stateless multi-byte encoding, when it is one that is
// printable and encodes back to exactly these bytes: its length, and its UTF-8 in `utf8`.
std::size_t ExactCharLength(std::string_view bytes, std::size_t at, Iconv &decoder, Iconv &encoder,
                            std::string &utf8) {
    for (std::size_t length = 1; length <= 3 && at + length <= bytes.size(); ++length) {
        utf8.clear();
        decoder.Reset();
        const std::string_view piece = bytes.substr(at, length);
        const std::size_t failed = decoder.Convert(piece, utf8);
        if (failed != kNoFailure) {
            if (errno == EINVAL) continue; // the start of a longer character
            return 0;
        }
        char32_t cp = 0;
        if (utf8.empty() || Utf8CharLength(utf8, 0, &cp) != utf8.size() || IsControl(cp)) return 0;
        std::string back;
        encoder.Reset();
        if (encoder.Convert(utf8, back) != kNoFailure || back != piece) return 0;
        return length;
    }
    return 0;
}

std::string EscapeForm(std::string_view bytes, SendEncoding encoding, LineEnding ending) {
    std::string out;
    Iconv decoder("UTF-8", EncodingName(encoding));
    Iconv encoder(EncodingName(encoding), "UTF-8");
    std::string utf8;
    for (std::size_t i = 0; i < bytes.size();) {
        const auto byte = static_cast<unsigned char>(bytes[i]);
        std::size_t length = 0;
        if (byte == '\\') {
            length = 0;
        } else if (encoding == SendEncoding::Utf8) {
            char32_t cp = 0;
            length = Utf8CharLength(bytes, i, &cp);
            if (length > 0 && IsControl(cp)) length = 0;
            if (length > 0) out.append(bytes.substr(i, length));
        } else if (encoding == SendEncoding::Latin1 || encoding == SendEncoding::Iso2022Jp) {
            if (byte >= 0x20 && byte < 0x7F) {
                length = 1;
                out += static_cast<char>(byte);
            } else if (encoding == SendEncoding::Latin1 && byte >= 0xA0) {
                length = 1;
                out += static_cast<char>(0xC0 | (byte >> 6));
                out += static_cast<char>(0x80 | (byte & 0x3F));
            }
        } else if (byte >= 0x20 && byte < 0x7F) {
            // Printable ASCII is itself in both multi-byte encodings: no need to ask iconv.
            length = 1;
            out += static_cast<char>(byte);
        } else if (decoder.ok() && encoder.ok()) {
            length = ExactCharLength(bytes, i, decoder, encoder, utf8);
            if (length > 0) out += utf8;
        }
        if (length == 0) {
            AppendEscapedByte(byte, ending, out);
            length = 1;
        }
        i += length;
    }
    return out;
}

// Text in the encoding that survives the way to the page and back unchanged.
bool DecodeExactly(std::string_view bytes, SendEncoding encoding, std::string &text) {
    if (bytes.find('\0') != std::string_view::npos) return false;
    Iconv decoder("UTF-8", EncodingName(encoding));
    Iconv encoder(EncodingName(encoding), "UTF-8");
    if (!decoder.ok() || !encoder.ok()) return false;
    if (decoder.Convert(bytes, text) != kNoFailure) return false;
    decoder.Finish(text);
    std::string back;
    if (encoder.Convert(text, back) != kNoFailure) return false;
    encoder.Finish(back);
    return back == bytes;
}

} // namespace

std::optional<LineEnding> ParseLineEnding(std::string_view stored) {
    for (auto ending : {LineEnding::Crlf, LineEnding::Lf, LineEnding::Cr, LineEnding::None})
        if (EqualsIgnoringAsciiCase(stored, FormatLineEnding(ending))) return ending;
    return std::nullopt;
}

std::string_view FormatLineEnding(LineEnding ending) {
    switch (ending) {
    case LineEnding::Crlf:
        return "crlf";
    case LineEnding::Lf:
        return "lf";
    case LineEnding::Cr:
        return "cr";
    case LineEnding::None:
        return "none";
    }
    return "crlf";
}

SendBytes EncodeForSend(std::string_view text, SendEncoding encoding, LineEnding ending,
                        bool escapeMode) {
    return SendEncoder(text, encoding, ending, escapeMode).Run();
}

std::string EscapedLines(std::string_view bytes, SendEncoding encoding) {
    return EscapeForm(bytes, encoding, LineEnding::None);
}

PageTextForFile PageTextFromFile(std::string_view bytes, SendEncoding encoding, LineEnding ending,
                                 bool escapeMode) {
    PageTextForFile page;
    std::string decoded;
    if (DecodeExactly(bytes, encoding, decoded)) {
        page.isText = true;
        page.text = ToLf(decoded);
        if (escapeMode) {
            std::string doubled;
            doubled.reserve(page.text.size());
            for (const char c : page.text) {
                doubled += c;
                if (c == '\\') doubled += '\\';
            }
            page.text = std::move(doubled);
        }
        return page;
    }
    page.text = EscapeForm(bytes, encoding, ending);
    page.notice = "このファイルは " + std::string(EncodingLabel(encoding)) +
                  " のテキストではありません (正しくないバイトか NUL を含みます)。\n"
                  "エスケープ形式 (\\xNN など) で読み込みますか? エスケープモードで送信すると、"
                  "ファイルのバイトがそのまま送られます。";
    return page;
}

} // namespace tarvotcpc
