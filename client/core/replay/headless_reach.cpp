#include "replay/headless_reach.hpp"

#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>

#include "hosts/proxy_passwords.hpp"
#include "hosts/destination.hpp"
#include "hosts/tls_reach.hpp"
#include "hosts/trust_store.hpp"
#include "proxy/proxy_endpoint.hpp"
#include "tls/trust_pins.hpp"

namespace tarvotcpc {

namespace {

// Answers a terminal may give before a run gives up asking for a key's passphrase.
constexpr int kPassphraseTries = 3;

uint16_t Port16(int32_t port) {
    return static_cast<uint16_t>(static_cast<uint32_t>(port));
}

// Whether SIGINT or SIGTERM waits for the run: the user stopped it while a question was open.
bool StopPending() {
    sigset_t pending;
    sigemptyset(&pending);
    return sigpending(&pending) == 0 &&
           (sigismember(&pending, SIGINT) == 1 || sigismember(&pending, SIGTERM) == 1);
}

} // namespace

std::optional<std::string> AskTerminal(const std::string &prompt) {
    if (isatty(STDIN_FILENO) != 1) return std::nullopt;
    termios before{};
    if (tcgetattr(STDIN_FILENO, &before) != 0) return std::nullopt;
    termios quiet = before;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    std::fprintf(stderr, "%s: ", prompt.c_str());
    std::fflush(stderr);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    std::optional<std::string> answer = std::string();
    // The run takes SIGINT and SIGTERM itself, so they are blocked here: the wait looks for them
    // now and then, and a stop cancels the question with the terminal as it was.
    for (;;) {
        pollfd in{STDIN_FILENO, POLLIN, 0};
        if (StopPending()) {
            answer.reset();
            break;
        }
        if (poll(&in, 1, 100) <= 0) continue;
        char c = 0;
        const ssize_t got = read(STDIN_FILENO, &c, 1);
        if (got <= 0) {
            if (answer->empty()) answer.reset();
            break;
        }
        if (c == '\n' || c == '\r') break;
        answer->push_back(c);
    }
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &before);
    std::fputc('\n', stderr);
    std::fflush(stderr);
    return answer;
}

HeadlessReach::HeadlessReach(std::optional<HeadlessDestination> own, std::string settingsPath,
                             std::string proxyForAll, std::string keyLogOption,
                             Environment environment, SecretAsker ask)
    : own_(std::move(own)), settingsPath_(std::move(settingsPath)),
      proxyForAll_(std::move(proxyForAll)), keyLogOption_(std::move(keyLogOption)),
      environment_(std::move(environment)), ask_(std::move(ask)) {}

const HeadlessDestination *HeadlessReach::OwnFor(const std::string &host, int32_t port) const {
    return own_ && own_->host == host && own_->port == port ? &*own_ : nullptr;
}

std::string HeadlessReach::Secure(const std::string &host, int32_t port, TlsClientOptions &tls) {
    const TrustPins pins = LoadTrustPins(settingsPath_);
    if (const auto it = pins.find(PinKey(host, Port16(port))); it != pins.end())
        tls.pinnedSha256 = it->second;
    if (const HeadlessDestination *own = OwnFor(host, port)) {
        const std::optional<std::string> variable = environment_(kPassphraseVariable);
        std::optional<std::string> passphrase;
        for (int asked = 0;;) {
            const TlsReachOutcome outcome =
                PrepareTlsReach(own->tlsDetails, settingsPath_, passphrase);
            if (outcome.status == TlsReachOutcome::Status::Refused) return outcome.text;
            if (outcome.status == TlsReachOutcome::Status::Ready) {
                tls.serverName = outcome.reach.serverName;
                tls.alpn = outcome.reach.alpn;
                tls.identity = outcome.reach.identity;
                break;
            }
            // The file's key is locked: the environment's passphrase is tried once, a terminal
            // is asked a few times; none of them opening it refuses the connect.
            const std::string &file = outcome.text;
            if (variable && !passphrase) {
                passphrase = variable;
                continue;
            }
            if (variable)
                return "「" + file + "」の鍵を開けません: " + kPassphraseVariable +
                       "のパスフレーズが違います";
            std::optional<std::string> answer;
            if (asked < kPassphraseTries && ask_)
                answer = ask_((asked > 0 ? std::string(kWrongPassphraseText) + "\n" : "") + "「" +
                              file + "」の鍵のパスフレーズ");
            if (!answer)
                return "「" + file + "」の鍵にはパスフレーズが要ります。環境変数" +
                       kPassphraseVariable + "で渡すか、端末から実行してください";
            ++asked;
            passphrase = std::move(answer);
        }
    }
    if (!keyLogOpened_) {
        keyLogOpened_ = true;
        const std::optional<std::string> environmentPath = environment_("SSLKEYLOGFILE");
        const std::string path =
            KeyLogPath(keyLogOption_, environmentPath ? environmentPath->c_str() : nullptr);
        std::string error;
        if (!path.empty() && !(keyLog_ = KeyLog::Open(path, error)))
            keyLogWarning_ = error + "。鍵を記録せずに接続します";
    }
    tls.keyLog = keyLog_;
    return {};
}

std::string HeadlessReach::Route(const std::string &host, int32_t port,
                                 ConnectionOptions &options) {
    const HeadlessDestination *own = OwnFor(host, port);
    const bool tls = options.tlsClient.has_value();
    const ProxyChoice choice = ChooseProxy(own ? own->proxy : std::string(), proxyForAll_,
                                           environment_, host, Port16(port), tls);
    if (choice.kind == ProxyChoice::Kind::Invalid)
        return choice.source + "を使えません: " + choice.error;
    if (own && own->udp) {
        if (tls) return kUdpTlsText;
        // As in the window: a proxy meant for every destination is not gone around unasked.
        if (choice.kind != ProxyChoice::Kind::Direct)
            return "UDPはプロキシを通せません(" + choice.source +
                   "が設定されています)。直接送るには --proxy none を付けてください";
        options.datagrams = true;
        return {};
    }
    if (choice.kind == ProxyChoice::Kind::Direct) return {};
    ProxyUrl proxy = choice.proxy;
    if (!proxy.user.empty() && !proxy.password) {
        proxy.password = LoadProxyPassword(settingsPath_, proxy);
        if (!proxy.password) proxy.password = environment_(kProxyPasswordVariable);
        if (!proxy.password && ask_)
            proxy.password = ask_("プロキシ" + FormatProxyUrl(proxy) + "のパスワード");
        if (!proxy.password)
            return "プロキシ" + FormatProxyUrl(proxy) + "のパスワードがありません。環境変数" +
                   kProxyPasswordVariable + "で渡すか、端末から実行してください";
    }
    options.endpoint = [proxy, host, port] { return MakeProxyEndpoint(proxy, host, port); };
    return {};
}

std::string HeadlessReach::TakeKeyLogWarning() {
    return std::exchange(keyLogWarning_, std::string());
}

} // namespace tarvotcpc
