// The controller's automatic replies and reply times: the rules switched on for a connection,
// each reply sent as the page is and marked as the client's own, and how long answers took.
#include "session/controller.hpp"

#include <chrono>

#include "exchange/reply_times.hpp"
#include "session/reply_settings.hpp"
#include "text/send_encoding.hpp"

namespace tarvotcpc {

namespace {

int64_t WallUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string NoRulesText(const StoredReplyRules &stored, const std::vector<std::string> &problems) {
    if (!stored.readable) return "設定ファイルを読めないため、自動応答の規則がありません";
    std::string text = "使える自動応答の規則がありません。送信メニューの「自動応答の規則...」で"
                       "作ってください";
    for (const std::string &problem : problems)
        text += "\n" + problem;
    return text;
}

} // namespace

bool MainController::SetAutoReplies(bool on) {
    if (!on) {
        StopAutoReplies();
        return true;
    }
    if (!connection_ || !connectedLook_) {
        view_.SetAutoRepliesOn(false);
        return false;
    }
    const StoredReplyRules stored = LoadReplyRules(settingsPath_);
    auto replier = std::make_unique<AutoReplier>(stored.rules, replyLimit_);
    if (replier->RuleCount() == 0) {
        view_.ShowWarning(NoRulesText(stored, replier->Problems()));
        StopAutoReplies();
        return false;
    }
    if (!replier->Problems().empty()) {
        std::string text = "使えない自動応答の規則は除きました:";
        for (const std::string &problem : replier->Problems())
            text += "\n" + problem;
        view_.ShowWarning(text);
    }
    replier_ = std::move(replier);
    view_.SetAutoRepliesOn(true);
    return true;
}

void MainController::ReloadReplyRules() {
    if (replier_) SetAutoReplies(true);
}

void MainController::StopAutoReplies() {
    const bool wasOn = replier_ != nullptr;
    replier_.reset();
    if (wasOn) view_.SetAutoRepliesOn(false);
}

void MainController::RunAutoReplies() {
    if (!replier_ || !connection_ || !connectedLook_) return;
    const OptionValues values = ReadOptions(settings_);
    AutoReplier::Outcome outcome = replier_->Take(WallUs(), values[Option::SendEscapes]);
    for (const AutoReplier::Due &due : outcome.replies)
        SendAutomatic(due.rule, due.text);
    for (const std::string &note : outcome.notes)
        KeepNote(WallUs(), note);
    if (outcome.stopped) {
        StopAutoReplies();
        view_.ShowWarning(ReplyLimitText(replyLimit_));
    }
}

// As Send sends the page: the same encoding, line ending and escapes, kept as sent once the
// socket took the bytes, behind a mark that they were the client's own.
void MainController::SendAutomatic(const std::string &rule, const std::string &text) {
    const OptionValues values = ReadOptions(settings_);
    const SendEncoding encoding = SendEncodingSetApart(values).value_or(pageEncoding_.InForce());
    SendBytes out =
        EncodeForSend(text, encoding, SendLineEndingOf(values), values[Option::SendEscapes]);
    if (!out.ok) {
        KeepNote(WallUs(), "自動応答「" + rule + "」を送れません: " + out.error);
        return;
    }
    if (out.bytes.empty()) return;
    flow_.MarkSent(handedOver_, "自動応答: " + rule);
    handedOver_ += out.bytes.size();
    connection_->Send(std::move(out.bytes));
}

void MainController::KeepReplyTime(uint64_t offset, int64_t us) {
    transcript_.AddReplyTime(offset, us);
    replyTimes_.push_back(us);
    view_.SetReplyTimeText("応答 " + ReplyTimeText(us));
}

std::string MainController::ReplyTimesSummary() const {
    return ReplySummaryText(SummarizeReplies(replyTimes_));
}

} // namespace tarvotcpc
