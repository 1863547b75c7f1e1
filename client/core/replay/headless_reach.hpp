// How a run without a window reaches its destinations. The command line's destination goes with
// its own TLS details (client certificate, server name, protocols), its own proxy and UDP, as the
// window's destination does; any other a script connects to goes with the options' proxy or the
// environment's. Both log TLS secrets where the options or SSLKEYLOGFILE say, and trust the
// fingerprints the user pinned in the window.
//
// A secret the way needs (a key's passphrase, a proxy's password) comes from the settings file
// where the user chose to keep it, else from the environment (TARVOTCPC_KEY_PASSPHRASE,
// TARVOTCPC_PROXY_PASSWORD), else from the terminal, asked without echo when the run has one on
// its standard input. A run with none of them is told how to give it, and connects nothing:
// a CI job never hangs on a question no one sees.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "connection/connection.hpp"
#include "hosts/tls_details.hpp"
#include "proxy/proxy_choice.hpp"
#include "tls/key_log.hpp"

namespace tarvotcpc {

inline constexpr char kPassphraseVariable[] = "TARVOTCPC_KEY_PASSPHRASE";
inline constexpr char kProxyPasswordVariable[] = "TARVOTCPC_PROXY_PASSWORD";

// Asks the user for a secret (prompt says which); none when there is no one to ask.
using SecretAsker = std::function<std::optional<std::string>(const std::string &prompt)>;
// The terminal's: only when standard input is a terminal, read from it with echo off.
std::optional<std::string> AskTerminal(const std::string &prompt);

struct HeadlessDestination {
    std::string host;
    int32_t port = 0;
    bool udp = false;
    std::string proxy; // as --proxy gave it: empty for the options', "なし" for none, or a URL
    TlsDetails tlsDetails;
};

class HeadlessReach {
  public:
    // own: the command line's destination, when there is one; settingsPath: where kept secrets
    // and pins are read; proxyForAll and keyLogOption: the options' texts.
    HeadlessReach(std::optional<HeadlessDestination> own, std::string settingsPath,
                  std::string proxyForAll, std::string keyLogOption,
                  Environment environment = SystemEnvironment, SecretAsker ask = AskTerminal);

    // For ConnectionChannelOptions::secure and ::route: an empty text, or why the destination
    // cannot be reached as asked.
    std::string Secure(const std::string &host, int32_t port, TlsClientOptions &tls);
    std::string Route(const std::string &host, int32_t port, ConnectionOptions &options);

    // What the key log could not do (once), for the run to tell.
    std::string TakeKeyLogWarning();

  private:
    const HeadlessDestination *OwnFor(const std::string &host, int32_t port) const;
    std::optional<std::string> Secret(const char *variable, const std::string &prompt);

    std::optional<HeadlessDestination> own_;
    std::string settingsPath_;
    std::string proxyForAll_;
    std::string keyLogOption_;
    Environment environment_;
    SecretAsker ask_;
    bool keyLogOpened_ = false;
    std::shared_ptr<KeyLog> keyLog_;
    std::string keyLogWarning_;
};

} // namespace tarvotcpc
