#include "replay/script_maker.hpp"

#include <cstdio>
#include <vector>

#include "transcript/text_decoder.hpp"
#include "transcript/transcript_render.hpp"

namespace tarvotcpc {

namespace {

constexpr std::size_t kLiteralLine = 96; // characters of a literal before it goes on below

// What a script's expect sees of received bytes: the text decoded from the encoding into UTF-8,
// a byte that starts no character as it came.
std::string AsScriptSees(std::string_view bytes, SendEncoding encoding) {
    if (encoding == SendEncoding::Utf8) return std::string(bytes);
    Decoder decoder(encoding);
    std::vector<Unit> units;
    decoder.Feed(bytes, 0, units);
    decoder.Finish(units);
    std::string text;
    for (const Unit &unit : units) {
        if (unit.kind == UnitKind::Char)
            AppendUtf8(text, unit.codepoint);
        else if (unit.kind == UnitKind::Invalid)
            text += static_cast<char>(unit.codepoint);
    }
    return text;
}

// One line of a comment: whatever a note holds, it cannot end the comment.
std::string CommentText(std::string_view text) {
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        out += byte < 0x20 || byte == 0x7F ? ' ' : c;
    }
    return out;
}

class Maker {
  public:
    explicit Maker(const ScriptMakerOptions &options) : options_(options) {}

    void Connection(uint64_t connection) {
        if (started_ && connection == connection_) return;
        Flush();
        const std::optional<ScriptTarget> target =
            options_.target ? options_.target(connection) : std::nullopt;
        if (started_) out_ += "\n-- 接続 #" + std::to_string(connection) + "\n";
        if (!target) {
            out_ += "-- 接続 #" + std::to_string(connection) +
                    "の接続先はわかりません。接続してから実行してください\n";
        } else {
            const std::string connect = "connect(" + LuaLiteral(target->host) + ", " +
                                        std::to_string(target->port) +
                                        (target->tls ? ", {tls = true})" : ")");
            if (!started_)
                out_ += "if not connected() then " + connect + " end\n";
            else
                out_ += "close()\n" + connect + "\n";
        }
        started_ = true;
        connection_ = connection;
    }

    void Received(std::string_view bytes) { answer_.append(bytes); }

    void Sent(std::string_view bytes) {
        Flush();
        sending_.append(bytes);
    }

    void Note(const std::string &text) {
        FlushSend();
        // The record switched to TLS here, after the answer to the protocol's STARTTLS.
        if (text.rfind("STARTTLS", 0) == 0) {
            Flush();
            out_ += "starttls()\n";
            return;
        }
        out_ += "-- 注記: " + CommentText(text) + "\n";
    }

    std::string Finish() {
        Flush();
        return std::move(out_);
    }

  private:
    void FlushSend() {
        if (sending_.empty()) return;
        out_ += "send_bytes(" + LuaLiteral(sending_, 11) + ")\n";
        sending_.clear();
    }

    // The answer that came since the last send: its first line is what the script awaits.
    void Flush() {
        FlushSend();
        if (answer_.empty()) return;
        const std::string text = AsScriptSees(answer_, options_.encoding);
        answer_.clear();
        std::size_t end = text.find('\n');
        end = end == std::string::npos ? text.size() : end + 1;
        const bool cut = end > options_.longestExpect;
        out_ +=
            "expect(" +
            LuaLiteral(std::string_view(text).substr(0, std::min(end, options_.longestExpect)), 7) +
            ")";
        out_ += cut ? " -- 長い行の先頭だけを待ちます\n" : "\n";
    }

    const ScriptMakerOptions &options_;
    std::string out_;
    bool started_ = false;
    uint64_t connection_ = 0;
    std::string answer_;
    std::string sending_;
};

} // namespace

std::string LuaLiteral(std::string_view bytes, std::size_t indent) {
    std::string out = "\"";
    std::size_t lineLength = 0;
    bool afterBreak = false; // whitespace here would be taken by \z: it is escaped
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const auto byte = static_cast<unsigned char>(bytes[i]);
        std::string piece;
        if (byte == '\r') {
            piece = "\\r";
        } else if (byte == '\n') {
            piece = "\\n";
        } else if (byte == '\t') {
            piece = "\\t";
        } else if (byte == '"') {
            piece = "\\\"";
        } else if (byte == '\\') {
            piece = "\\\\";
        } else if (byte > 0x20 && byte < 0x7F) {
            piece = static_cast<char>(byte);
        } else if (byte == ' ' && !afterBreak) {
            piece = " ";
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", byte);
            piece = hex;
        }
        out += piece;
        lineLength += piece.size();
        afterBreak = false;
        const bool more = i + 1 < bytes.size();
        if (more && (byte == '\n' || lineLength >= kLiteralLine)) {
            out += "\\z\n" + std::string(indent, ' ');
            lineLength = 0;
            afterBreak = true;
        }
    }
    return out + "\"";
}

std::string ScriptFromRecord(const SavedTranscript &record, const ScriptMakerOptions &options) {
    std::string script =
        "-- tarvotcpc: 記録から作ったスクリプト\n"
        "-- 送信はそのままのバイト列で送り、応答はその最初の行を expect で待ちます\n\n";
    Maker maker(options);
    std::vector<char> buffer(1u << 16);
    const std::size_t count = record.ChunkCount();
    for (std::size_t index = 0; index < count; ++index) {
        const SavedChunkInfo chunk = record.Chunk(index);
        maker.Connection(chunk.connection);
        if (chunk.isNote) {
            maker.Note(chunk.note);
            continue;
        }
        for (uint64_t offset = 0; offset < chunk.size;) {
            const std::size_t got = record.Read(index, offset, buffer);
            if (got == 0) break;
            const std::string_view bytes(buffer.data(), got);
            if (chunk.direction == SavedDirection::Sent)
                maker.Sent(bytes);
            else
                maker.Received(bytes);
            offset += got;
        }
    }
    return script + maker.Finish();
}

} // namespace tarvotcpc
