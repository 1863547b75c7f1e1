#include "connection/connection_worker.hpp"

#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <utility>

namespace tarvotcpc {

namespace {

// Bytes taken from the transport per read, and at most per pass of the loop before commands are
// looked at again, so that a peer flooding the connection never delays a Disconnect.
constexpr std::size_t kReceiveChunk = 256 * 1024;
constexpr std::size_t kReceivePerPass = 4 * 1024 * 1024;

int64_t NowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string LocalAddress(int fd) {
    SocketAddress local;
    local.length = sizeof local.storage;
    if (getsockname(fd, reinterpret_cast<sockaddr *>(&local.storage), &local.length) != 0)
        return {};
    return FormatAddress(local);
}

} // namespace

Connection::Worker::~Worker() {
    EndQuietly();
}

void Connection::Worker::Run() {
    if (Establish() == Flow::Ended) return;
    Loop();
}

Connection::Worker::Flow Connection::Worker::Wait(std::vector<pollfd> &waits, int timeoutMs) {
    waits.insert(waits.begin(), pollfd{c_.wakeFd_, POLLIN, 0});
    while (poll(waits.data(), waits.size(), timeoutMs) < 0) {
        // EINTR: wait again.
    }
    const bool woken = waits.front().revents != 0;
    waits.erase(waits.begin());
    return woken ? TakeCommands() : Flow::Going;
}

Connection::Worker::Flow Connection::Worker::TakeCommands() {
    uint64_t count = 0;
    [[maybe_unused]] ssize_t ignored = read(c_.wakeFd_, &count, sizeof count);
    std::deque<Command> commands;
    {
        std::lock_guard<std::mutex> lock(c_.commandsMutex_);
        commands.swap(c_.commands_);
    }
    for (Command &command : commands) {
        switch (command.type) {
        case Command::Type::Send:
            if (sendError_.empty()) outgoing_.push_back({std::move(command.bytes), {}});
            break;
        case Command::Type::Swap:
            outgoing_.push_back({{}, std::move(command.swap)});
            break;
        case Command::Type::Disconnect:
            EndOnDisconnect();
            return Flow::Ended;
        case Command::Type::Quit:
            EndQuietly();
            return Flow::Ended;
        case Command::Type::Accept:
        case Command::Type::Decline:
            if (deciding_ != nullptr) {
                if (command.type == Command::Type::Accept) {
                    deciding_->Accept();
                } else {
                    deciding_->Decline();
                }
                deciding_ = nullptr;
            }
            break;
        }
    }
    return Flow::Going;
}

Connection::Worker::Flow Connection::Worker::Establish() {
    std::unique_ptr<Endpoint> endpoint = c_.options_.endpoint();
    for (;;) {
        EndpointStep step = endpoint->Advance();
        if (step.state == EndpointStep::State::Connected) {
            peer_ = step.peer;
            ConnectionEvent reached;
            reached.type = ConnectionEvent::Type::Reached;
            reached.data = peer_;
            reached.local = LocalAddress(step.socket.Get());
            c_.Emit(std::move(reached));
            std::string error;
            if (c_.options_.tlsClient) {
                transport_ =
                    TlsTransport::Client(std::move(step.socket), *c_.options_.tlsClient, error);
            } else if (c_.options_.tlsServer) {
                auto server = TlsTransport::Server(std::move(step.socket), c_.options_.tlsServer,
                                                   c_.options_.handshakeTimeout, error);
                if (server) server->Session().SetKeyLog(c_.options_.serverKeyLog);
                transport_ = std::move(server);
            } else {
                transport_ = std::make_unique<PlainTransport>(std::move(step.socket));
            }
            if (!transport_) {
                EndWithEvent(EndReason::Error, error);
                return Flow::Ended;
            }
            return Handshake();
        }
        if (step.state == EndpointStep::State::Failed) {
            EndWithEvent(step.reason, step.systemText);
            return Flow::Ended;
        }
        std::vector<pollfd> waits = endpoint->Waits();
        // drops the endpoint: no waiting on it
        if (Wait(waits, endpoint->TimeoutMs()) == Flow::Ended) return Flow::Ended;
    }
}

void Connection::Worker::Loop() {
    for (;;) {
        if (ApplySwaps() == Flow::Ended) return;
        // Reading stops while the queue is full; the socket is then left out of the wait unless
        // there is something to write, so a hang-up seen meanwhile does not spin the loop. The
        // data before a hang-up or a reset stays in the socket until reading goes on.
        const bool wantRead = !c_.QueueFull();
        const bool wantWrite = BytesToSend();
        std::vector<pollfd> waits;
        if (wantRead || wantWrite)
            waits.push_back({transport_->Fd(), transport_->PollEvents(wantRead, wantWrite), 0});
        // Bytes decrypted and waiting inside the transport: poll would not tell of them.
        const bool pending = wantRead && transport_->HasPendingInput();
        if (Wait(waits, pending ? 0 : -1) == Flow::Ended) return;
        if (!pending && (waits.empty() || waits.front().revents == 0)) continue;
        if (wantRead && ReceivePass() == Flow::Ended) return;
        if (wantWrite) SendPending();
    }
}

Connection::Worker::Flow Connection::Worker::ReceivePass() {
    if (buffer_.size() != kReceiveChunk) buffer_.resize(kReceiveChunk);
    std::size_t taken = 0;
    while (taken < kReceivePerPass && !c_.QueueFull()) {
        const IoResult result = transport_->Read(buffer_.data(), buffer_.size());
        switch (result.status) {
        case IoResult::Status::Done:
            taken += result.bytes;
            EmitReceived(buffer_.substr(0, result.bytes));
            break;
        case IoResult::Status::WantRead:
        case IoResult::Status::WantWrite:
            return Flow::Going;
        case IoResult::Status::Closed:
            // A peer that went away while we were writing ends with the write's failure.
            if (sendError_.empty()) {
                EndWithEvent(result.withoutCloseNotify ? EndReason::PeerClosedWithoutNotify
                                                       : EndReason::PeerClosed);
            } else {
                EndWithEvent(EndReason::Error, sendError_);
            }
            return Flow::Ended;
        case IoResult::Status::Error:
            EndWithEvent(EndReason::Error, result.errorText);
            return Flow::Ended;
        }
    }
    return Flow::Going;
}

void Connection::Worker::EmitReceived(std::string bytes) {
    ConnectionEvent event;
    event.type = ConnectionEvent::Type::Received;
    event.data = std::move(bytes);
    event.timeUs = NowUs();
    c_.Emit(std::move(event));
}

void Connection::Worker::MarkTlsStart() {
    if (!marking_) return;
    marking_ = false;
    ConnectionEvent starting;
    starting.type = ConnectionEvent::Type::TlsStarting;
    starting.timeUs = NowUs();
    c_.Emit(std::move(starting));
}

void Connection::Worker::SendPending() {
    while (transport_ && !handshaking_ && BytesToSend()) {
        const std::string &front = outgoing_.front().bytes;
        const IoResult result =
            transport_->Write(front.data() + sentOfFront_, front.size() - sentOfFront_);
        if (result.status == IoResult::Status::Error) {
            sendError_ = result.errorText;
            outgoing_.clear();
            sentOfFront_ = 0;
            return;
        }
        if (result.status != IoResult::Status::Done) return;
        if (result.bytes > 0) {
            // Told as taken, and only what was taken: the rest may never go out.
            ConnectionEvent sent;
            sent.type = ConnectionEvent::Type::Sent;
            sent.data.assign(front, sentOfFront_, result.bytes);
            sent.timeUs = NowUs();
            c_.Emit(std::move(sent));
        }
        sentOfFront_ += result.bytes;
        if (sentOfFront_ >= front.size()) {
            outgoing_.pop_front();
            sentOfFront_ = 0;
        }
    }
}

Connection::Worker::Flow Connection::Worker::ApplySwaps() {
    while (!outgoing_.empty() && outgoing_.front().swap) {
        TransportSwap swap = std::move(outgoing_.front().swap);
        outgoing_.pop_front();
        if (std::unique_ptr<Transport> next = swap(transport_)) {
            transport_ = std::move(next);
            // TLS in the middle of a connection: what the peer sends before its first record
            // still belongs to the clear-text exchange.
            if (auto *tls = dynamic_cast<TlsTransport *>(transport_.get())) {
                tls->ExpectClearTextFirst();
                marking_ = true;
            }
            if (Handshake() == Flow::Ended) return Flow::Ended;
        }
    }
    return Flow::Going;
}

Connection::Worker::Flow Connection::Worker::Handshake() {
    auto *tls = dynamic_cast<TlsTransport *>(transport_.get());
    if (tls == nullptr || tls->Session().HandshakeDone()) return Flow::Going;
    TlsSession &session = tls->Session();
    handshaking_ = true;
    {
        ConnectionEvent started;
        started.type = ConnectionEvent::Type::Handshaking;
        started.data = peer_;
        const int ms = session.PollTimeoutMs(std::chrono::steady_clock::now());
        started.timeout = std::chrono::milliseconds(ms < 0 ? 0 : ms);
        c_.Emit(std::move(started));
    }
    bool asked = false;
    for (;;) {
        if (std::optional<std::string> late = session.TimedOut(std::chrono::steady_clock::now())) {
            EndWithEvent(EndReason::Error, *late);
            return Flow::Ended;
        }
        std::vector<pollfd> waits;
        if (marking_) {
            // Clear text ahead of the peer's first record is received bytes; the session reads
            // nothing before that record. Clear text the queue has no room for waits for it.
            if (c_.QueueFull()) {
                const int timeout = session.PollTimeoutMs(std::chrono::steady_clock::now());
                if (Wait(waits, timeout) == Flow::Ended) return Flow::Ended;
                continue;
            }
            std::string clear;
            const bool more = tls->TakeClearText(clear, kReceiveChunk);
            if (!clear.empty()) EmitReceived(std::move(clear));
            if (!more) MarkTlsStart();
        }
        const TlsIo io = session.Handshake();
        switch (io.status) {
        case TlsStatus::Done: {
            MarkTlsStart();
            ConnectionEvent secured;
            secured.type = ConnectionEvent::Type::Secured;
            secured.data = peer_;
            secured.protocol = session.Protocol();
            secured.cipher = session.Cipher();
            secured.certificate = session.Verification();
            if (secured.certificate.chain.empty()) secured.certificate.chain = session.PeerChain();
            secured.alpn = session.Alpn();
            secured.alpnOffered = session.AlpnOffered();
            secured.certificateSent = session.CertificateSent();
            secured.keyLogLines = session.KeyLogLines();
            secured.keyLogError = session.KeyLogError();
            c_.Emit(std::move(secured));
            handshaking_ = false;
            return Flow::Going;
        }
        case TlsStatus::WantRead:
        case TlsStatus::WantWrite:
            waits.push_back({session.Fd(), PollEventsFor(io.status), 0});
            break;
        case TlsStatus::AwaitingDecision:
            // Nothing is sent meanwhile: the user's sends wait in outgoing_ behind the handshake.
            if (!asked) {
                asked = true;
                deciding_ = &session;
                ConnectionEvent question;
                question.type = ConnectionEvent::Type::Question;
                question.data = peer_;
                question.certificate = session.Verification();
                c_.Emit(std::move(question));
            }
            break;
        case TlsStatus::Closed:
        case TlsStatus::ClosedWithoutNotify:
        case TlsStatus::Error:
            deciding_ = nullptr;
            EndWithEvent(EndReason::Error, io.text.empty() ? "TLSの接続が閉じられました" : io.text);
            return Flow::Ended;
        }
        const int timeout = session.PollTimeoutMs(std::chrono::steady_clock::now());
        if (Wait(waits, timeout) == Flow::Ended) {
            deciding_ = nullptr;
            return Flow::Ended;
        }
    }
}

void Connection::Worker::EndWithEvent(EndReason reason, const std::string &systemText) {
    MarkTlsStart(); // a handshake that failed had started all the same
    EndQuietly();
    ConnectionEvent event;
    event.type = ConnectionEvent::Type::Ended;
    event.reason = reason;
    event.data = EndText(reason, c_.host_, systemText);
    c_.Emit(std::move(event));
}

void Connection::Worker::EndOnDisconnect() {
    // What the socket takes now still goes out; a peer that does not read is not waited for.
    SendPending();
    EndWithEvent(EndReason::Disconnected);
}

void Connection::Worker::EndQuietly() {
    deciding_ = nullptr;
    if (transport_) transport_->Close();
    transport_.reset();
    outgoing_.clear();
}

} // namespace tarvotcpc
