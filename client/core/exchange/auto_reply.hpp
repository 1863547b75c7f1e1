// Automatic replies on a connection: the received bytes, decoded as the page reads them, are
// matched against the rules as they come, and each match of a rule gives that rule's reply once.
//
// A match is looked for in the text as the peer sent it, across reads and across lines: one that
// more text could still complete or change waits for that text, so what fires is the same however
// the peer's writes were cut. Each rule goes on after its last match, so a match fires once. The
// text a match may span is the last kWindow bytes; older text is dropped. Replies are limited to
// `count` within any `window`: the first one past that stops the replier for good (a peer and a
// rule answering each other would otherwise go on at the speed of the network).
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "exchange/reply_rules.hpp"
#include "text/encoding.hpp"
#include "transcript/text_decoder.hpp"

namespace tarvotcpc {

struct ReplyLimit {
    std::size_t count = 100;
    int64_t windowUs = 1'000'000;
};

// The reply of a rule with its groups put in: the send page's form, to be sent as the page is.
// In escape mode a group's backslashes are doubled and its NUL, CR and LF written \0 \r \n, so
// that what the peer sent goes back byte for byte; otherwise a group's line breaks are the page's
// and take the line ending. Empty with *error set when it cannot be made.
std::string ExpandReply(std::string_view reply, const std::vector<std::string> &groups,
                        bool escapes, std::string *error);

class AutoReplier {
  public:
    static constexpr std::size_t kWindow = 64 * 1024;

    // Rules that cannot be used are left out, each with a line in Problems().
    explicit AutoReplier(const std::vector<ReplyRule> &rules, ReplyLimit limit = {});
    ~AutoReplier();
    AutoReplier(const AutoReplier &) = delete;
    AutoReplier &operator=(const AutoReplier &) = delete;

    const std::vector<std::string> &Problems() const { return problems_; }
    std::size_t RuleCount() const { return rules_.size(); }

    // A new connection: its text starts afresh, and so does the count of replies.
    void Restart();
    // Received bytes, in the encoding the page reads them in; a change of encoding starts the
    // decoding afresh at these bytes.
    void Feed(std::string_view bytes, Encoding encoding);

    struct Due {
        std::string rule; // its name
        std::string text; // the reply (ExpandReply)
    };
    struct Outcome {
        std::vector<Due> replies; // in the order their matches end in the text
        // What the record should tell: a reply that could not be made, a rule that gave up, the
        // stop at the limit.
        std::vector<std::string> notes;
        bool stopped = false; // this call stopped the replier
    };
    // The replies that the text fed so far gives, at nowUs (wall clock, for the limit).
    Outcome Take(int64_t nowUs, bool escapes);
    bool Stopped() const { return stopped_; }

  private:
    struct Rule {
        ReplyRule rule;
        std::unique_ptr<ReplyPattern> pattern;
        uint64_t next = 0; // where its next search starts, in the connection's text
        bool gaveUp = false;
    };
    void Trim();

    std::vector<Rule> rules_;
    std::vector<std::string> problems_;
    ReplyLimit limit_;
    std::unique_ptr<Decoder> decoder_;
    uint64_t fed_ = 0;         // bytes fed to the decoder
    std::string text_;         // the connection's text from base_ on
    uint64_t base_ = 0;        // of text_[0] in the connection's text
    std::deque<int64_t> sent_; // when the replies within the limit's window were given
    bool stopped_ = false;
};

// The text the limit's stop leaves in the record and in the window's warning.
std::string ReplyLimitText(const ReplyLimit &limit);

} // namespace tarvotcpc
