// The controller's way out for text: the page's send, each send of a repeat, and what the client
// sends by itself all go through SendText, so that placeholders, the send options and the record
// treat them alike.
#include "session/controller.hpp"

#include <cstdio>
#include <utility>

#include "hosts/host_field.hpp"
#include "settings/variables.hpp"

namespace tarvotcpc {

namespace {

int64_t WallClockUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// Sixteen bytes a row: the offset, the bytes in hex, and those that are printable ASCII.
std::string HexRows(std::string_view bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (std::size_t row = 0; row < bytes.size(); row += 16) {
        char offset[24];
        std::snprintf(offset, sizeof offset, "%08zX  ", row);
        out += offset;
        std::string shown;
        for (std::size_t i = row; i < row + 16; ++i) {
            if (i < bytes.size()) {
                const auto byte = static_cast<unsigned char>(bytes[i]);
                out += digits[byte >> 4];
                out += digits[byte & 15];
                out += ' ';
                shown += byte >= 0x20 && byte < 0x7F ? static_cast<char>(byte) : '.';
            } else {
                out += "   ";
            }
            if (i == row + 7) out += ' ';
        }
        out += ' ' + shown + '\n';
    }
    return out;
}

std::string_view EndingLabel(LineEnding ending) {
    for (const OptionChoice &choice : kLineEndingChoices)
        if (FormatLineEnding(ending) == choice.value) return choice.label;
    return {};
}

} // namespace

PlaceholderValues MainController::ValuesNow() {
    PlaceholderValues values;
    if (!settingsPath_.empty()) values.variables = LoadVariables(settingsPath_);
    if (listening_) {
        // Over UDP the peer is whoever sent the last datagram.
        const HostFieldDecision latest = DecideHostField(datagramPeer_, {});
        values.host = datagrams_ && !datagramPeer_.empty() ? latest.host : peerHost_;
        values.port = datagrams_ && !datagramPeer_.empty() ? latest.port : peerPort_;
    } else {
        values.host = destination_.host;
        values.port = destination_.port;
    }
    values.counter = sendCounter_ + 1;
    values.timeUs = WallClockUs();
    values.random = static_cast<uint32_t>(random_());
    return values;
}

std::optional<PreparedSend> MainController::Prepare(const std::string &text, SendAnswers &answers,
                                                    bool atKeyboard, std::string *refusal) {
    const OptionValues options = ReadOptions(settings_);
    TakeStoredViewChoice(options);
    const SendEncoding encoding = SendEncodingSetApart(options).value_or(pageEncoding_.InForce());
    std::optional<PlaceholderValues> values;
    if (options[Option::Placeholders]) {
        values = ValuesNow();
        const PlaceholderScan scan = ScanPlaceholders(text, *values);
        if (atKeyboard && !scan.unknown.empty() && !answers.unknownAccepted) {
            if (!view_.ConfirmSend(UnknownMarkersText(scan.unknown))) return std::nullopt;
            answers.unknownAccepted = true;
        }
        std::vector<std::string> missing;
        for (const std::string &name : scan.asked)
            if (answers.values.count(name) == 0) missing.push_back(name);
        if (atKeyboard && !missing.empty()) {
            const auto given = view_.AskPlaceholderValues(missing);
            if (!given || given->size() != missing.size()) return std::nullopt;
            for (std::size_t i = 0; i < missing.size(); ++i)
                answers.values[missing[i]] = (*given)[i];
        }
        values->answers = answers.values;
    }
    PreparedSend prepared = PrepareSend(text, values ? &*values : nullptr, encoding,
                                        SendLineEndingOf(options), options[Option::SendEscapes]);
    if (!prepared.bytes.ok) {
        if (refusal != nullptr) {
            *refusal = prepared.bytes.error;
        } else {
            view_.ShowWarning(prepared.bytes.error);
        }
        return std::nullopt;
    }
    return prepared;
}

bool MainController::SendText(const OutgoingText &out, SendAnswers &answers) {
    if (!connection_ || !connectedLook_) return false;
    if (datagrams_ && !CanSendDatagram()) return false;
    const uint64_t generation = generation_;
    std::optional<PreparedSend> prepared = Prepare(out.text, answers, out.atKeyboard);
    // A question runs the window's event loop: the connection may have ended meanwhile.
    if (!prepared || generation != generation_ || !connection_ || !connectedLook_) return false;
    std::string &bytes = prepared->bytes.bytes;
    // An empty datagram is a datagram; an empty piece of a stream is nothing.
    if (bytes.empty() && !datagrams_) return true;
    if (datagrams_ && !DatagramFits(bytes.size())) return false;
    ++sendCounter_;
    // Kept once the connection has written them (its Sent events), so that bytes that never
    // go out are never shown as sent.
    handedOver_ += bytes.size();
    connection_->Send(std::move(bytes), out.note);
    showOnNextData_ = true;
    return true;
}

void MainController::Send() {
    if (!connection_ || !connectedLook_) return;
    SendAnswers answers;
    if (!SendText(OutgoingText{view_.SendPageText(), {}, true}, answers)) return;
    if (ReadOptions(settings_)[Option::ConSenClear]) view_.ClearSendPage();
}

SendPreview MainController::Preview() {
    SendPreview preview;
    SendAnswers answers;
    // Markers that stay are listed beside the bytes rather than asked about.
    answers.unknownAccepted = true;
    std::optional<PreparedSend> prepared =
        Prepare(view_.SendPageText(), answers, true, &preview.error);
    if (!prepared) {
        if (preview.error.empty()) preview.error = "値の入力が取り消されました";
        return preview;
    }
    const OptionValues options = ReadOptions(settings_);
    const SendEncoding encoding = SendEncodingSetApart(options).value_or(pageEncoding_.InForce());
    preview.ok = true;
    preview.bytes = std::move(prepared->bytes.bytes);
    preview.text = EscapedLines(preview.bytes, encoding);
    preview.hex = HexRows(preview.bytes);
    preview.summary = std::to_string(preview.bytes.size()) + "バイト  " +
                      std::string(EncodingLabel(encoding)) + "  改行 " +
                      std::string(EndingLabel(SendLineEndingOf(options)));
    preview.unknown = std::move(prepared->scan.unknown);
    return preview;
}

bool MainController::StartRepeat(const RepeatParams &params) {
    if (!connection_ || !connectedLook_ || repeater_.Running()) return false;
    std::string text = view_.SendPageText();
    if (text.empty()) {
        view_.ShowWarning("送信データが空です");
        return false;
    }
    const uint64_t generation = generation_;
    SendAnswers answers;
    // Everything is asked and checked before the first send, so that the run never stops to ask.
    if (!Prepare(text, answers, true) || generation != generation_ || !connection_ ||
        !connectedLook_)
        return false;
    repeatText_ = std::move(text);
    repeatAnswers_ = std::move(answers);
    repeatBytes_ = 0;
    repeater_.Start(params);
    if (ReadOptions(settings_)[Option::ConSenClear]) view_.ClearSendPage();
    view_.RepeatChanged(repeater_.StatusText(), true);
    return true;
}

std::optional<std::chrono::steady_clock::time_point> MainController::RepeatTick() {
    if (!repeater_.Running()) return std::nullopt;
    if (!connection_ || !connectedLook_) {
        StopRepeatWith("接続していません");
        return std::nullopt;
    }
    const auto now = std::chrono::steady_clock::now();
    const auto interval = std::chrono::milliseconds(repeater_.Params().intervalMs);
    // Sends queued before the peer is there would all go at once when it comes.
    if (!peerReached_)
        return now + std::min<std::chrono::milliseconds>(interval, std::chrono::milliseconds(20));
    if (!repeater_.Due(now)) return repeater_.NextDue(now);
    const std::size_t unsent = connection_->UnsentBytes();
    if (unsent > RepeatUnsentLimit(repeatBytes_)) {
        StopRepeatWith("相手が受信していません (" + std::to_string(unsent) +
                       "バイトが送信されずに待っています)");
        return std::nullopt;
    }
    const uint64_t handed = handedOver_;
    if (!SendText(OutgoingText{repeatText_, repeater_.NoteForNext(), false}, repeatAnswers_)) {
        StopRepeatWith("送信データを送れません");
        return std::nullopt;
    }
    repeatBytes_ = static_cast<std::size_t>(handedOver_ - handed);
    repeater_.Sent(now);
    view_.RepeatChanged(repeater_.StatusText(), repeater_.Running());
    if (!repeater_.Running()) return std::nullopt;
    return repeater_.NextDue(now);
}

void MainController::StopRepeat() {
    if (!repeater_.Running()) return;
    repeater_.Stop(std::string());
    view_.RepeatChanged(repeater_.StatusText(), false);
}

void MainController::StopRepeatWith(const std::string &why) {
    if (!repeater_.Running()) return;
    repeater_.Stop(why);
    view_.RepeatChanged(repeater_.StatusText(), false);
}

} // namespace tarvotcpc
