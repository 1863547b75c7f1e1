// The program's command line: tarvotcpc [OPTIONS] [HOST[:PORT]]. Read before any window exists,
// so that --help, --version and a bad argument never need a display.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "net/listener.hpp"
#include "hosts/tls_details.hpp"

namespace tarvotcpc {

// Exit status for arguments that cannot be used (the usual one for a usage error).
inline constexpr int kUsageExitStatus = 2;

// Where to go at start. With a port the window connects at once; without one the connect dialog
// opens with the host filled in. An IPv6 address is written in brackets on the command line
// ("[::1]:7") and kept here without them. "udp://" before it makes it a UDP destination.
struct StartDestination {
    std::string host;
    std::optional<int32_t> port;
    bool udp = false;
};

struct CommandLine {
    enum class Action { Run, Help, Version, Error };
    Action action = Action::Run;
    std::optional<std::string> settingsPath; // --settings FILE
    std::optional<StartDestination> destination;
    bool tls = false;                  // --tls: the destination speaks TLS
    std::optional<int32_t> listenPort; // --listen [ADDRESS:]PORT: wait for a peer instead
    bool listenUdp = false;            // --listen udp://[ADDRESS:]PORT: datagrams on a UDP port
    BindChoice listenBind = BindChoice::Loopback; // Address when ADDRESS was given
    std::string listenAddress;                    // ADDRESS, without brackets
    // --proxy URL: the destination's own proxy, in its full form, or "なし" (--proxy none)
    std::optional<std::string> proxy;
    // --cert, --key, --sni, --alpn: the destination's TLS details, for TLS and STARTTLS
    TlsDetails tlsDetails;
    // --run SCRIPT: run the script without a window; --out, --capture, --ca and --timeout belong
    // to it (the exchange's text and capture files, trust anchors, the whole run's seconds).
    std::optional<std::string> runScript;
    std::optional<std::string> outPath;
    std::optional<std::string> capturePath;
    std::optional<std::string> caFile;
    std::optional<double> runTimeout;
    // --compare OLD NEW: two exchange files compared by what they received, without a window.
    std::optional<std::pair<std::string, std::string>> compareFiles;
    std::string error; // with Action::Error: what is wrong, in one line
};

// args are the arguments after the program's name. Options come in any order before or after the
// destination; "--" ends them; a value is given as "--name VALUE" or "--name=VALUE". --help and
// --version take effect where they stand (a bad argument before them is still reported).
CommandLine ParseCommandLine(const std::vector<std::string_view> &args);

// HOST, HOST:PORT, [IPv6] or [IPv6]:PORT, each also after "udp://" (ASCII case ignored). The port
// is decimal, 1 to 65535; the host is at most 255 bytes with no blank or control byte. On failure
// nullopt, with the reason in error.
std::optional<StartDestination> ParseStartDestination(std::string_view text, std::string &error);

// The text of --help.
std::string UsageText(std::string_view program);

} // namespace tarvotcpc
