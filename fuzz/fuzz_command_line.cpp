// The program's command line on any arguments: a refusal always says why on one line, in UTF-8
// without a control character a terminal would act on; an accepted destination is usable and
// reads back the same when written out again, listening is on loopback unless an address was
// written, and the TLS details taken can be sent.
#include "formats_check.hpp"

#include <string>
#include <string_view>
#include <vector>

#include "net/addresses.hpp"
#include "session/command_line.hpp"
#include "text/utf8_char.hpp"
#include "tls/announce.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // Arguments are separated by NUL bytes, as they are in the process's memory.
    const std::string bytes(reinterpret_cast<const char *>(data), size);
    std::vector<std::string_view> args;
    for (std::size_t start = 0; start <= bytes.size();) {
        std::size_t end = bytes.find('\0', start);
        if (end == std::string::npos) end = bytes.size();
        args.emplace_back(bytes.data() + start, end - start);
        start = end + 1;
    }

    using Action = tarvotcpc::CommandLine::Action;
    const tarvotcpc::CommandLine line = tarvotcpc::ParseCommandLine(args);
    if (line.action == Action::Error) {
        FUZZ_CHECK(!line.error.empty());
        for (std::size_t at = 0; at < line.error.size();) {
            char32_t code = 0;
            const std::size_t length = tarvotcpc::Utf8CharLength(line.error, at, &code);
            FUZZ_CHECK(length > 0 && code >= 0x20 && !(code >= 0x7f && code <= 0x9f));
            at += length;
        }
        return 0;
    }
    FUZZ_CHECK(line.error.empty());
    if (line.settingsPath) FUZZ_CHECK(!line.settingsPath->empty());
    if (line.listenPort) {
        FUZZ_CHECK(*line.listenPort >= 1 && *line.listenPort <= 65535 && !line.destination);
        // Every address only when one was written: a port alone stays on loopback.
        FUZZ_CHECK(line.listenBind == tarvotcpc::BindChoice::Loopback
                       ? line.listenAddress.empty()
                       : !tarvotcpc::LiteralAddressText(line.listenAddress).empty());
    }
    // TLS details taken are ones a connection can announce, and a key comes with its certificate
    // (--help and --version end the reading where they stand).
    std::string reason;
    FUZZ_CHECK(tarvotcpc::ParseServerName(line.tlsDetails.serverName, reason).has_value());
    FUZZ_CHECK(tarvotcpc::ParseAlpnList(line.tlsDetails.alpn, reason).has_value());
    if (line.action == Action::Run) {
        FUZZ_CHECK(line.tlsDetails.keyFile.empty() || !line.tlsDetails.certificateFile.empty());
        if (line.listenPort) FUZZ_CHECK(line.tlsDetails.Empty());
    }
    if (!line.destination) return 0;

    const tarvotcpc::StartDestination &d = *line.destination;
    FUZZ_CHECK(!d.host.empty() && d.host.size() <= 255);
    if (d.port) FUZZ_CHECK(*d.port >= 1 && *d.port <= 65535);
    const bool v6 = d.host.find(':') != std::string::npos;
    std::string text = v6 ? "[" + d.host + "]" : d.host;
    if (d.port) text += ":" + std::to_string(*d.port);
    std::string error;
    const auto again = tarvotcpc::ParseStartDestination(text, error);
    FUZZ_CHECK(again && again->host == d.host && again->port == d.port);
    return 0;
}
