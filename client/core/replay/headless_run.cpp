#include "replay/headless_run.hpp"

#include <signal.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "capture/transcript_capture.hpp"
#include "exchange/connection_channel.hpp"
#include "exchange/script_run.hpp"
#include "replay/headless_reach.hpp"
#include "saves/transcript_source.hpp"
#include "settings/options.hpp"
#include "settings/settings.hpp"
#include "transcript/transcript.hpp"

namespace tarvotcpc {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Received bytes that may wait for the script before the peer is held back.
constexpr std::size_t kQueueLimit = std::size_t{16} << 20;

int64_t NowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// The script's channel, with every event also kept in the record as the window keeps it: sent
// bytes as the socket took them, notes where the script logged or the connection switched.
// Every call comes from whichever thread polls: the run's before the script starts and after it
// ends, the script's own while it runs, never two at once.
class RecordingChannel : public ExchangeChannel {
  public:
    // tell takes what the user may want to know on the way: how a TLS handshake settled.
    RecordingChannel(const std::string &caFile, HeadlessReach &reach, Transcript &record,
                     std::function<void(const std::string &)> tell)
        : record_(record), tell_(std::move(tell)) {
        ConnectionChannelOptions options;
        options.caFile = caFile;
        options.secure = [&reach](const std::string &host, int32_t port, TlsClientOptions &tls) {
            return reach.Secure(host, port, tls);
        };
        options.route = [this, &reach](const std::string &host, int32_t port,
                                       ConnectionOptions &connection) {
            std::string refused = reach.Route(host, port, connection);
            datagrams_ = connection.datagrams;
            return refused;
        };
        options.queueLimit = kQueueLimit;
        options.keep = false;
        options.observe = [this](const ConnectionEvent &event) { Observe(event); };
        inner_ = std::make_unique<ConnectionChannel>(std::move(options));
    }

    void Bind(ExchangeSink &sink, std::function<void()> wake) override {
        inner_->Bind(sink, std::move(wake));
    }
    void Poll() override { inner_->Poll(); }
    std::string Send(std::string bytes) override { return inner_->Send(std::move(bytes)); }
    std::string Connect(const std::string &host, int32_t port, bool tls) override {
        // A way refused (a locked key, a proxy without its password) connects nothing: the
        // record has no connection for it.
        std::string refused = inner_->Connect(host, port, tls);
        if (!refused.empty()) return refused;
        record_.BeginConnection(++connection_);
        reached_ = secured_ = ended_ = false;
        tls_ = tls;
        return {};
    }
    std::string StartTls() override { return inner_->StartTls(); }
    void Close() override { inner_->Close(); }
    void Note(const std::string &text) override { Keep(text, NowUs()); }

    bool Open() const { return inner_->Open(); }
    void Quit() { inner_->Quit(); }
    // The connection made before the script started is up (and secured, for TLS) or is over.
    bool Settled() const { return ended_ || (reached_ && (!tls_ || secured_)); }
    bool Up() const { return reached_ && (!tls_ || secured_) && !ended_; }
    const std::string &EndText() const { return endText_; }
    const std::string &KeepError() const { return keepError_; }

    std::optional<CaptureConnection> Ends(uint32_t connection) const {
        for (const auto &[number, ends] : ends_)
            if (number == connection) return ends;
        return std::nullopt;
    }

  private:
    void Observe(const ConnectionEvent &event) {
        switch (event.type) {
        case ConnectionEvent::Type::Received:
        case ConnectionEvent::Type::Sent: {
            const bool sent = event.type == ConnectionEvent::Type::Sent;
            const Direction direction = sent ? Direction::Sent : Direction::Received;
            if (event.data.empty()) {
                // An empty datagram went or came all the same: the record tells so.
                if (event.datagram)
                    Keep(sent ? kEmptyDatagramSentNote : kEmptyDatagramReceivedNote, event.timeUs);
                break;
            }
            if (const int err = record_.Append(direction, event.data.data(), event.data.size(),
                                               event.timeUs, event.datagram);
                err != 0 && keepError_.empty())
                keepError_ = std::string("記録できませんでした: ") + std::strerror(err);
            break;
        }
        case ConnectionEvent::Type::TlsStarting:
            Keep(kTlsStartsNote, event.timeUs);
            break;
        case ConnectionEvent::Type::Reached:
            reached_ = true;
            if (const auto peer = ParseCaptureAddress(event.data),
                local = ParseCaptureAddress(event.local);
                peer && local) {
                CaptureConnection ends;
                ends.local = *local;
                ends.peer = *peer;
                ends.udp = datagrams_;
                ends_.emplace_back(connection_, ends);
            }
            break;
        case ConnectionEvent::Type::Secured:
            secured_ = true;
            tell_(SecuredPeerText(event));
            if (!event.keyLogError.empty()) tell_(event.keyLogError);
            break;
        case ConnectionEvent::Type::Notice:
            // What befell a datagram (an ICMP error from where it went) stands where it happened.
            Keep(event.data, event.timeUs);
            break;
        case ConnectionEvent::Type::Ended:
            ended_ = true;
            endText_ = event.data;
            for (auto &[number, ends] : ends_) {
                if (number != connection_) continue;
                ends.ended = true;
                ends.closedByPeer = event.reason == EndReason::PeerClosed ||
                                    event.reason == EndReason::PeerClosedWithoutNotify;
            }
            break;
        default:
            break;
        }
    }

    void Keep(const std::string &text, int64_t timeUs) { record_.AddNote(text, timeUs); }

    Transcript &record_;
    std::function<void(const std::string &)> tell_;
    std::unique_ptr<ConnectionChannel> inner_;
    uint32_t connection_ = 0;
    bool reached_ = false;
    bool secured_ = false;
    bool ended_ = false;
    bool tls_ = false;
    bool datagrams_ = false;
    std::string endText_;
    std::string keepError_;
    std::vector<std::pair<uint32_t, CaptureConnection>> ends_;
};

// SIGINT and SIGTERM, blocked in every thread the run starts, so that only the waiting loop
// below takes them; the mask the process had comes back when the run is over.
class BlockedStops {
  public:
    BlockedStops() {
        sigemptyset(&set_);
        sigaddset(&set_, SIGINT);
        sigaddset(&set_, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &set_, &before_);
    }
    ~BlockedStops() {
        // A signal that came after the run ended is still the user's wish to stop: it acts on
        // the process as it would have without the run.
        pthread_sigmask(SIG_SETMASK, &before_, nullptr);
    }
    BlockedStops(const BlockedStops &) = delete;
    BlockedStops &operator=(const BlockedStops &) = delete;

    // Waits at most `wait` for one of them; its number, 0 when none came.
    int Take(std::chrono::milliseconds wait) const {
        timespec time{};
        time.tv_sec = static_cast<time_t>(wait.count() / 1000);
        time.tv_nsec = static_cast<long>((wait.count() % 1000) * 1000000);
        const int taken = sigtimedwait(&set_, nullptr, &time);
        return taken > 0 ? taken : 0;
    }

  private:
    sigset_t set_{};
    sigset_t before_{};
};

bool ReadWhole(const std::string &path, std::string &text, std::string &error) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        error = "「" + path + "」を開けません: " + std::strerror(errno);
        return false;
    }
    std::ostringstream whole;
    whole << file.rdbuf();
    if (file.bad()) {
        error = "「" + path + "」を読めません";
        return false;
    }
    text = std::move(whole).str();
    return true;
}

std::string BaseName(const std::string &path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

void Say(std::FILE *err, const std::string &text) {
    std::fprintf(err, "tarvotcpc: %s\n", text.c_str());
    std::fflush(err);
}

} // namespace

int RunHeadless(const HeadlessRequest &request, std::FILE *out, std::FILE *err) {
    std::string source;
    std::string error;
    if (!ReadWhole(request.scriptPath, source, error)) {
        Say(err, error);
        return kRunUsage;
    }
    OptionValues values;
    if (!request.settingsPath.empty()) {
        SettingsHashes settings;
        LoadSettings(settings, request.settingsPath);
        values = ReadOptions(settings);
        FreeSettings(settings);
    }

    // The record lives in memory until it grows, then in a file of the cache folder, as the
    // window's does.
    Transcript record;
    std::optional<HeadlessDestination> own;
    if (request.host)
        own = HeadlessDestination{*request.host, request.port, request.udp, request.proxy,
                                  request.tlsDetails};
    HeadlessReach reach(std::move(own), request.settingsPath, values.Text(Option::Proxy),
                        values.Text(Option::KeyLogFile));
    RecordingChannel channel(request.caFile, reach, record,
                             [err](const std::string &text) { Say(err, text); });
    ScriptOptions options;
    options.encoding = SendEncodingOf(values);
    options.lineEnding = SendLineEndingOf(values);
    options.escapes = values[Option::SendEscapes];
    options.longestWait = request.timeoutSeconds;
    if (request.host) {
        options.vars = {{"host", *request.host}, {"port", std::to_string(request.port)}};
    }

    int status = kRunPassed;
    // Blocked until the record is written: a stop during the writing must not cut it short.
    const BlockedStops stops;
    {
        ScriptRun run(std::move(source), BaseName(request.scriptPath), channel, options);
        const Clock::time_point deadline =
            Clock::now() + std::chrono::duration_cast<Clock::duration>(
                               std::chrono::duration<double>(request.timeoutSeconds));
        int signal = 0;
        if (request.host) {
            // The destination of the command line is reached before the script's first line, as
            // the window's connection is there before a script starts.
            const std::string refused = channel.Connect(*request.host, request.port, request.tls);
            const Clock::time_point connectBy = std::min(deadline, Clock::now() + 30s);
            // A stop while a secret was asked for cancelled the question: it is taken here.
            if (!refused.empty()) signal = stops.Take(0ms);
            while (refused.empty() && !channel.Settled() && signal == 0 &&
                   Clock::now() < connectBy) {
                channel.Poll();
                if (!channel.Settled()) signal = stops.Take(20ms);
            }
            if (const std::string warning = reach.TakeKeyLogWarning(); !warning.empty())
                Say(err, warning);
            if (!channel.Up() && signal == 0) {
                const std::string target = request.host->find(':') != std::string::npos
                                               ? "[" + *request.host + "]"
                                               : *request.host;
                const std::string why = !refused.empty() ? refused : channel.EndText();
                Say(err, target + ":" + std::to_string(request.port) + "に接続できませんでした" +
                             (why.empty() ? std::string("") : ": " + why));
                status = kRunUnreachable;
            }
        }
        if (status == kRunPassed && signal == 0) {
            run.Start();
            bool stopping = false;
            while (!run.Finished()) {
                if (const int taken = stops.Take(100ms); taken != 0 && !stopping) {
                    signal = taken;
                    stopping = true;
                    run.Stop();
                } else if (Clock::now() >= deadline && !stopping) {
                    stopping = true;
                    run.Stop();
                    Say(err, "実行時間の上限 (" + std::to_string(request.timeoutSeconds) +
                                 "秒) を過ぎたため止めました");
                }
            }
            const ScriptOutcome outcome = run.Outcome();
            if (signal != 0) {
                Say(err, std::string(strsignal(signal)) + "のため止めました");
            } else if (outcome.state == ScriptOutcome::State::Failed) {
                Say(err, outcome.message);
                status = outcome.connectFailed ? kRunUnreachable : kRunFailed;
            } else if (outcome.state == ScriptOutcome::State::Stopped) {
                status = kRunFailed;
            }
        }
        // What the peer still sends and what the socket still takes belong to the record: the
        // connection ends the way close() ends it, and the record takes its last events.
        if (channel.Open()) {
            channel.Close();
            const Clock::time_point endBy = Clock::now() + 2s;
            while (channel.Open() && Clock::now() < endBy) {
                channel.Poll();
                std::this_thread::sleep_for(10ms);
            }
            channel.Poll();
        }
        channel.Quit();
        if (const std::string warning = reach.TakeKeyLogWarning(); !warning.empty())
            Say(err, warning);
        if (signal != 0) status = 128 + signal;
    }
    if (!channel.KeepError().empty()) {
        Say(err, channel.KeepError());
        if (status == kRunPassed) status = kRunFailed;
    }

    const TranscriptSource saved(record);
    const ChunkDecoderFactory decoders = ChunkDecodersFor(ViewEncodingOf(values));
    if (request.outPath.empty()) {
        const bool written = WriteTranscriptText(saved, decoders, [out](std::string_view piece) {
            return std::fwrite(piece.data(), 1, piece.size(), out) == piece.size();
        });
        if (!written || std::fflush(out) != 0) {
            Say(err, "記録を標準出力に書けませんでした");
            if (status == kRunPassed) status = kRunFailed;
        }
    } else {
        AtomicFile file(request.outPath);
        const bool written =
            file.ok() &&
            WriteTranscriptText(saved, decoders,
                                [&file](std::string_view piece) { return file.Write(piece); }) &&
            file.Commit();
        if (!written) {
            Say(err,
                file.ok() ? "「" + request.outPath + "」に記録を書けませんでした" : file.error());
            if (status == kRunPassed) status = kRunFailed;
        }
    }
    if (!request.capturePath.empty()) {
        const TranscriptCapture input(
            record, [&channel](uint32_t connection) { return channel.Ends(connection); });
        CaptureJob job(input, request.capturePath);
        while (job.Step()) {
        }
        if (!job.Succeeded()) {
            Say(err, job.Error());
            if (status == kRunPassed) status = kRunFailed;
        }
    }
    return status;
}

} // namespace tarvotcpc
