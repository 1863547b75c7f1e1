#include "transcript/protocol_shapes.hpp"

#include <algorithm>
#include <cstring>

namespace tarvotcpc {

namespace {

// The readers' states. Each protocol uses its own few; they share one field.
enum : int {
    // HTTP
    kLine,
    kMatch,
    kVersion,
    kSpace,
    kCode,
    kReason,
    kHeaderStart,
    kHeaderCr,
    kHeaderName,
    kHeaderValue,
    kHeaderSkip,
    kBody,
    kToClose,
    kChunkStart,
    kChunkSize,
    kChunkData,
    kChunkEnd,
    kSkipLine,
    // RESP
    kType,
    kSimple,
    kRespHeader,
    kBulk,
    kBulkEnd,
    // SMTP, FTP
    kDigits,
    kSeparator,
    kCodedRest,
    kPlain,
    // IMAP
    kTag,
    kAfterTag,
    kWord,
    kRest,
    kLiteral,
};

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

int HexValue(char c) {
    if (IsDigit(c)) return c - '0';
    c = Lower(c);
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// Bytes up to and including the next LF (all of them when there is none).
std::size_t ToLineEnd(const char *p, std::size_t n, bool &ended) {
    const void *lf = std::memchr(p, '\n', n);
    ended = lf != nullptr;
    return ended ? std::size_t(static_cast<const char *>(lf) - p) + 1 : n;
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

} // namespace

std::optional<Protocol> ProtocolForPort(int32_t port) {
    switch (port) {
    case 80:
    case 8080:
        return Protocol::Http;
    case 6379:
        return Protocol::Resp;
    case 25:
    case 587:
        return Protocol::Smtp;
    case 21:
        return Protocol::Ftp;
    case 143:
        return Protocol::Imap;
    default:
        return std::nullopt;
    }
}

const char *ProtocolLabel(Protocol protocol) {
    switch (protocol) {
    case Protocol::Http:
        return "HTTP";
    case Protocol::Resp:
        return "RESP (Redis)";
    case Protocol::Smtp:
        return "SMTP";
    case Protocol::Ftp:
        return "FTP";
    case Protocol::Imap:
        return "IMAP";
    }
    return "";
}

ProtocolShapes::ProtocolShapes(Protocol protocol) : protocol_(protocol) {
    state_ = protocol == Protocol::Resp ? kType : kLine;
}

void ProtocolShapes::Feed(std::string_view bytes, uint64_t offset) {
    std::size_t i = 0;
    while (i < bytes.size() && !finished_ && !stopped_) {
        const std::size_t used = Step(bytes.data() + i, bytes.size() - i, offset + i);
        if (used > 0 && (inReply_ || closed_)) replies_.back().end = offset + i + used;
        closed_ = false;
        i += used;
    }
}

void ProtocolShapes::Finish() {
    if (finished_) return;
    if (!stopped_ && protocol_ == Protocol::Http && state_ == kToClose) {
        EndBody();
        CloseReply();
    }
    finished_ = true;
}

std::pair<std::size_t, std::size_t> ProtocolShapes::MarksIn(uint64_t from, uint64_t to) const {
    // The marks never overlap, so their ends rise with their beginnings.
    const auto first = std::partition_point(marks_.begin(), marks_.end(),
                                            [&](const Mark &m) { return m.end <= from; });
    const auto last =
        std::partition_point(first, marks_.end(), [&](const Mark &m) { return m.begin < to; });
    return {std::size_t(first - marks_.begin()), std::size_t(last - marks_.begin())};
}

void ProtocolShapes::Stop(uint64_t at) {
    stopped_ = true;
    stoppedAt_ = at;
}

void ProtocolShapes::OpenReply(uint64_t at) {
    if (replies_.size() >= kMaxKept) return Stop(at);
    replies_.push_back(Reply{at, at, false});
    inReply_ = true;
}

void ProtocolShapes::CloseReply() {
    if (!inReply_) return;
    replies_.back().complete = true;
    inReply_ = false;
    closed_ = true;
}

void ProtocolShapes::AddMark(uint64_t begin, uint64_t end, MarkKind kind) {
    if (stopped_) return;
    if (marks_.size() >= kMaxKept) return Stop(begin);
    marks_.push_back(Mark{begin, end, kind, std::nullopt, 0});
}

std::size_t ProtocolShapes::TakeBody(std::size_t n, uint64_t at, bool bounded) {
    const std::size_t take = bounded ? std::size_t(std::min<uint64_t>(n, bodyLeft_)) : n;
    if (!bodyOpen_) {
        AddMark(at, at, MarkKind::Body);
        if (stopped_) return take;
        marks_.back().declared = declared_;
        bodyMark_ = marks_.size() - 1;
        bodyOpen_ = true;
    }
    Mark &body = marks_[bodyMark_];
    body.end = at + take;
    body.arrived += take;
    if (bounded) bodyLeft_ -= take;
    return take;
}

void ProtocolShapes::StartNumber() {
    number_ = 0;
    negative_ = false;
    digits_ = false;
    overflow_ = false;
}

void ProtocolShapes::Digit(char c, unsigned base) {
    const int value = base == 16 ? HexValue(c) : c - '0';
    digits_ = true;
    if (number_ > (uint64_t{1} << 56)) overflow_ = true;
    if (!overflow_) number_ = number_ * base + uint64_t(value);
}

std::size_t ProtocolShapes::Step(const char *p, std::size_t n, uint64_t at) {
    switch (protocol_) {
    case Protocol::Http:
        return StepHttp(p, n, at);
    case Protocol::Resp:
        return StepResp(p, n, at);
    case Protocol::Smtp:
    case Protocol::Ftp:
        return StepCoded(p, n, at);
    case Protocol::Imap:
        return StepImap(p, n, at);
    }
    return n;
}

// ---------------------------------------------------------------------------------------------
// HTTP

void ProtocolShapes::TakeHeader() {
    const std::string_view value = Trim(value_);
    if (word_ == "content-length") {
        StartNumber();
        bool clean = !value.empty();
        for (const char c : value) {
            if (!IsDigit(c)) clean = false;
            if (clean) Digit(c);
        }
        if (clean && !overflow_) contentLength_ = number_;
    } else if (word_ == "transfer-encoding") {
        std::string lower;
        for (const char c : value)
            lower += Lower(c);
        if (lower.find("chunked") != std::string::npos) chunked_ = true;
    }
}

void ProtocolShapes::EndHeaders() {
    if (trailers_ || (code_ >= 100 && code_ < 200) || code_ == 204 || code_ == 304) {
        CloseReply();
        state_ = kLine;
    } else if (chunked_) {
        state_ = kChunkStart;
    } else if (contentLength_) {
        declared_ = contentLength_;
        bodyLeft_ = *contentLength_;
        if (bodyLeft_ == 0) {
            CloseReply();
            state_ = kLine;
        } else {
            state_ = kBody;
        }
    } else {
        declared_.reset();
        state_ = kToClose;
    }
}

std::size_t ProtocolShapes::StepHttp(const char *p, std::size_t n, uint64_t at) {
    static constexpr std::string_view kHttp = "HTTP/";
    const char c = *p;
    bool ended = false;
    switch (state_) {
    case kLine:
        begin_ = at;
        word_.clear();
        state_ = kMatch;
        return 0;
    case kMatch:
        if (c != kHttp[word_.size()]) {
            state_ = kSkipLine;
            return 0;
        }
        word_ += c;
        if (word_.size() == kHttp.size()) {
            OpenReply(begin_);
            code_ = 0;
            contentLength_.reset();
            chunked_ = false;
            trailers_ = false;
            state_ = kVersion;
        }
        return 1;
    case kSkipLine: {
        const std::size_t used = ToLineEnd(p, n, ended);
        if (ended) state_ = kLine;
        return used;
    }
    case kVersion:
        if (c == ' ') state_ = kSpace;
        if (c == '\n') state_ = kHeaderStart;
        return 1;
    case kSpace:
        if (c == ' ') return 1;
        if (IsDigit(c)) {
            begin_ = at;
            code_ = 0;
            state_ = kCode;
        } else {
            state_ = kReason;
        }
        return 0;
    case kCode:
        if (IsDigit(c)) {
            code_ = std::min(code_ * 10 + (c - '0'), 100000);
            return 1;
        }
        AddMark(begin_, at, MarkKind::Code);
        state_ = kReason;
        return 0;
    case kReason: {
        const std::size_t used = ToLineEnd(p, n, ended);
        if (ended) state_ = kHeaderStart;
        return used;
    }
    case kHeaderStart:
        if (c == '\r') {
            state_ = kHeaderCr;
        } else if (c == '\n') {
            EndHeaders();
        } else if (c == ' ' || c == '\t' || c == ':') {
            state_ = kHeaderSkip; // a folded line continues the value before; no name here
        } else {
            begin_ = at;
            word_.assign(1, Lower(c));
            state_ = kHeaderName;
        }
        return 1;
    case kHeaderCr:
        if (c == '\n') {
            EndHeaders();
            return 1;
        }
        state_ = kHeaderSkip;
        return 0;
    case kHeaderName:
        if (c == ':') {
            AddMark(begin_, at, MarkKind::HeaderName);
            value_.clear();
            state_ = kHeaderValue;
        } else if (c == '\n') {
            state_ = kHeaderStart;
        } else if (word_.size() < 32) {
            word_ += Lower(c);
        }
        return 1;
    case kHeaderValue:
        if (c == '\n') {
            if (!trailers_) TakeHeader();
            state_ = kHeaderStart;
        } else if (value_.size() < 128) {
            value_ += c;
        }
        return 1;
    case kHeaderSkip: {
        const std::size_t used = ToLineEnd(p, n, ended);
        if (ended) state_ = kHeaderStart;
        return used;
    }
    case kBody: {
        const std::size_t used = TakeBody(n, at, true);
        if (bodyLeft_ == 0) {
            EndBody();
            CloseReply();
            state_ = kLine;
        }
        return used;
    }
    case kToClose:
        return TakeBody(n, at, false);
    case kChunkStart:
        begin_ = at;
        contentEnd_ = at;
        StartNumber();
        state_ = kChunkSize;
        return 0;
    case kChunkSize:
        Track(c, at);
        if (c == '\n') {
            if (contentEnd_ > begin_) AddMark(begin_, contentEnd_, MarkKind::Prefix);
            if (!digits_ || overflow_) {
                state_ = kChunkStart; // a blank line where a size belongs: read on
            } else if (number_ == 0) {
                trailers_ = true;
                state_ = kHeaderStart;
            } else {
                declared_ = number_;
                bodyLeft_ = number_;
                state_ = kChunkData;
            }
        } else if (!negative_ && HexValue(c) >= 0) {
            Digit(c, 16);
        } else if (c != '\r') {
            negative_ = true; // an extension (";name=value") or junk: the size is read
        }
        return 1;
    case kChunkData: {
        const std::size_t used = TakeBody(n, at, true);
        if (bodyLeft_ == 0) {
            EndBody();
            state_ = kChunkEnd;
        }
        return used;
    }
    case kChunkEnd:
        if (c == '\r') return 1;
        state_ = kChunkStart;
        return c == '\n' ? 1 : 0;
    }
    state_ = kLine;
    return 0;
}

// ---------------------------------------------------------------------------------------------
// RESP

void ProtocolShapes::RespValueDone() {
    state_ = kType;
    while (true) {
        if (stack_.empty()) {
            CloseReply();
            return;
        }
        Aggregate &top = stack_.back();
        if (--top.remaining > 0) return;
        const bool attribute = top.attribute;
        stack_.pop_back();
        if (attribute) return; // the value it describes is still to come
    }
}

void ProtocolShapes::RespBroken() {
    // The reply is left incomplete; reading starts again at the top level.
    inReply_ = false;
    stack_.clear();
    EndBody();
    state_ = kType;
}

std::size_t ProtocolShapes::StepResp(const char *p, std::size_t n, uint64_t at) {
    const char c = *p;
    bool ended = false;
    switch (state_) {
    case kType:
        switch (c) {
        case '+':
        case '-':
        case ':':
        case '_':
        case ',':
        case '#':
        case '(':
            if (!inReply_) OpenReply(at);
            AddMark(at, at + 1, MarkKind::Prefix);
            state_ = kSimple;
            return 1;
        case '$':
        case '!':
        case '=':
        case '*':
        case '~':
        case '>':
        case '%':
        case '|':
            if (!inReply_) OpenReply(at);
            respType_ = c;
            begin_ = at;
            contentEnd_ = at + 1;
            StartNumber();
            state_ = kRespHeader;
            return 1;
        default:
            if (inReply_) {
                RespBroken();
                return 0;
            }
            state_ = kSkipLine; // no value starts so: not a reply
            return 0;
        }
    case kSkipLine: {
        const std::size_t used = ToLineEnd(p, n, ended);
        if (ended) state_ = kType;
        return used;
    }
    case kSimple: {
        const std::size_t used = ToLineEnd(p, n, ended);
        if (ended) RespValueDone();
        return used;
    }
    case kRespHeader:
        Track(c, at);
        if (c != '\n') {
            if (c == '-' && !digits_ && !negative_) {
                negative_ = true;
            } else if (IsDigit(c)) {
                Digit(c);
            } else if (c != '\r') {
                overflow_ = true; // not a length: the reply is broken at its end
            }
            return 1;
        }
        AddMark(begin_, contentEnd_, MarkKind::Prefix);
        if (!digits_ || overflow_) {
            RespBroken();
        } else if (negative_) {
            RespValueDone(); // RESP2's null bulk string or array
        } else if (respType_ == '$' || respType_ == '!' || respType_ == '=') {
            declared_ = number_;
            bodyLeft_ = number_;
            state_ = number_ == 0 ? kBulkEnd : kBulk;
        } else if (number_ == 0) {
            RespValueDone();
        } else if (stack_.size() >= kMaxDepth) {
            RespBroken();
        } else {
            const bool pairs = respType_ == '%' || respType_ == '|';
            stack_.push_back({pairs ? number_ * 2 : number_, respType_ == '|'});
            state_ = kType;
        }
        return 1;
    case kBulk: {
        const std::size_t used = TakeBody(n, at, true);
        if (bodyLeft_ == 0) {
            EndBody();
            state_ = kBulkEnd;
        }
        return used;
    }
    case kBulkEnd:
        if (c == '\r') return 1;
        RespValueDone();
        return c == '\n' ? 1 : 0; // without its CRLF the next value starts here
    }
    state_ = kType;
    return 0;
}

// ---------------------------------------------------------------------------------------------
// SMTP and FTP

std::size_t ProtocolShapes::StepCoded(const char *p, std::size_t n, uint64_t at) {
    const char c = *p;
    bool ended = false;
    switch (state_) {
    case kLine:
        begin_ = at;
        code_ = 0;
        number_ = 0;
        state_ = kDigits;
        return 0;
    case kDigits:
        if (!IsDigit(c)) {
            state_ = kPlain;
            return 0;
        }
        code_ = code_ * 10 + (c - '0');
        if (++number_ == 3) state_ = kSeparator;
        return 1;
    case kSeparator:
        if (c != ' ' && c != '-' && c != '\r' && c != '\n') {
            state_ = kPlain;
            return 0;
        }
        if (!inReply_) {
            OpenReply(begin_);
            replyCode_ = code_;
        }
        AddMark(begin_, at, MarkKind::Code);
        // A multi-line reply ends with its own code and a space (or nothing) after it.
        lastLine_ = c != '-' && code_ == replyCode_;
        state_ = kCodedRest;
        return 0;
    case kCodedRest:
    case kPlain: {
        const std::size_t used = ToLineEnd(p, n, ended);
        if (ended) {
            if (state_ == kCodedRest && lastLine_) {
                CloseReply();
                replyCode_ = 0;
            }
            state_ = kLine;
        }
        return used;
    }
    }
    state_ = kLine;
    return 0;
}

// ---------------------------------------------------------------------------------------------
// IMAP

std::size_t ProtocolShapes::StepImap(const char *p, std::size_t n, uint64_t at) {
    const char c = *p;
    switch (state_) {
    case kLine:
        if (c == '\r' || c == '\n') return 1; // an empty line: nothing to shape
        OpenReply(at);
        begin_ = at;
        contentEnd_ = at;
        literalPhase_ = 0;
        state_ = kTag;
        return 0;
    case kTag:
        if (c == ' ' || c == '\n') {
            if (contentEnd_ > begin_) AddMark(begin_, contentEnd_, MarkKind::Tag);
            state_ = c == ' ' ? kAfterTag : kRest;
            return c == ' ' ? 1 : 0;
        }
        Track(c, at);
        return 1;
    case kAfterTag:
        begin_ = at;
        word_.clear();
        state_ = kWord;
        return 0;
    case kWord:
        if (c == ' ' || c == '\r' || c == '\n') {
            if (word_ == "ok" || word_ == "no" || word_ == "bad" || word_ == "preauth" ||
                word_ == "bye")
                AddMark(begin_, at, MarkKind::Code);
            state_ = kRest;
            return 0;
        }
        if (word_.size() <= 8) word_ += Lower(c);
        if (c == '{') { // a literal in place of a word
            state_ = kRest;
            return 0;
        }
        return 1;
    case kRest:
        if (c == '\n') {
            if (literalPhase_ == 3) {
                AddMark(braceBegin_, braceEnd_, MarkKind::Prefix);
                literalPhase_ = 0;
                if (number_ > 0) {
                    declared_ = number_;
                    bodyLeft_ = number_;
                    state_ = kLiteral;
                }
                return 1; // the response goes on after the literal
            }
            CloseReply();
            state_ = kLine;
            return 1;
        }
        if (c == '{') {
            literalPhase_ = 1;
            braceBegin_ = at;
            StartNumber();
        } else if (literalPhase_ == 1 && IsDigit(c)) {
            Digit(c);
        } else if (literalPhase_ == 1 && c == '+' && digits_) {
            literalPhase_ = 2;
        } else if ((literalPhase_ == 1 || literalPhase_ == 2) && c == '}' && digits_ &&
                   !overflow_) {
            literalPhase_ = 3;
            braceEnd_ = at + 1;
        } else if (!(literalPhase_ == 3 && c == '\r')) {
            literalPhase_ = 0;
        }
        return 1;
    case kLiteral: {
        const std::size_t used = TakeBody(n, at, true);
        if (bodyLeft_ == 0) {
            EndBody();
            state_ = kRest;
        }
        return used;
    }
    }
    state_ = kLine;
    return 0;
}

} // namespace tarvotcpc
