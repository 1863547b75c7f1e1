// A script run without a window (tarvotcpc --run): for a CI job, a cron job, a shell. It connects
// when given a destination, runs the script to its end, keeps the exchange in a record as the
// window would, and writes it as the text save does (to standard output or a file), and as a
// capture when asked. It never waits without end: every expect has a time (10 s unless the script
// gives one), every wait of the run is capped, and SIGINT or SIGTERM stop the script at once and
// still write what was recorded.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "hosts/tls_details.hpp"

namespace tarvotcpc {

// Exit statuses of a run: the script ended; an expect timed out or the script raised an error (or
// was stopped by the run's time limit); the command line or the script file could not be used;
// the connection could not be made. A run stopped by a signal exits 128 + the signal's number.
inline constexpr int kRunPassed = 0;
inline constexpr int kRunFailed = 1;
inline constexpr int kRunUsage = 2;
inline constexpr int kRunUnreachable = 3;

struct HeadlessRequest {
    std::string scriptPath;
    // The destination to connect to before the script starts; none: the script connects itself.
    std::optional<std::string> host;
    int32_t port = 0;
    bool tls = false;
    // The destination's own way there: UDP datagrams; a proxy ("" for the options' or the
    // environment's, "なし" for none, or a URL); its client certificate, server name and ALPN.
    bool udp = false;
    std::string proxy;
    TlsDetails tlsDetails;
    std::string settingsPath;    // the send encoding, line ending and escapes, the text's encoding
    std::string caFile;          // trust anchors in place of the system's
    std::string outPath;         // empty: standard output
    std::string capturePath;     // empty: no capture
    double timeoutSeconds = 600; // the whole run
};

// Runs the request on the calling thread; out takes the exchange (when no outPath), err the
// messages. SIGINT and SIGTERM are blocked for the process while it runs and taken as a stop.
// Secrets come as headless_reach.hpp says.
int RunHeadless(const HeadlessRequest &request, std::FILE *out, std::FILE *err);

} // namespace tarvotcpc
