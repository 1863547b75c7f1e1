#include "session/command_line.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "net/addresses.hpp"
#include "hosts/destination.hpp"
#include "proxy/proxy.hpp"
#include "proxy/proxy_choice.hpp"
#include "tls/announce.hpp"
#include "text/text.hpp"
#include "text/utf8_char.hpp"

namespace tarvotcpc {

namespace {

std::optional<int32_t> ParsePort(std::string_view text) {
    if (text.empty() || text.size() > 5) return std::nullopt;
    int32_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
    }
    if (value < 1 || value > 65535) return std::nullopt;
    return value;
}

// Takes "udp://" (in any ASCII case) off the front of text; whether it was there.
bool TakeUdpScheme(std::string_view &text) {
    constexpr std::string_view kScheme = "udp://";
    if (text.size() < kScheme.size() ||
        !EqualsIgnoringAsciiCase(text.substr(0, kScheme.size()), kScheme))
        return false;
    text.remove_prefix(kScheme.size());
    return true;
}

// An argument as the messages show it: control characters (C0, DEL and the C1 range U+0080 to
// U+009F) and bytes that are not UTF-8 escaped byte by byte, so that a stray line break or
// terminal escape in an argument cannot garble or fake the message, and a long one shortened.
std::string Quoted(std::string_view text) {
    constexpr std::size_t kShown = 80; // bytes
    const std::string shown = Utf8Cut(text, kShown);
    std::string quoted = "'";
    for (std::size_t at = 0; at < shown.size();) {
        char32_t code = 0;
        const std::size_t length = Utf8CharLength(shown, at, &code);
        const bool control = code < 0x20 || (code >= 0x7f && code <= 0x9f);
        if (length > 0 && !control) {
            quoted.append(shown, at, length);
            at += length;
            continue;
        }
        for (const std::size_t end = at + std::max<std::size_t>(length, 1); at < end; ++at) {
            constexpr char kHex[] = "0123456789abcdef";
            const auto byte = static_cast<unsigned char>(shown[at]);
            quoted += {'\\', 'x', kHex[byte >> 4], kHex[byte & 0xf]};
        }
    }
    return quoted + (shown.size() < text.size() ? "...'" : "'");
}

std::string TakeFile(std::optional<std::string> &field, std::string_view name,
                     std::string_view value) {
    if (field) return std::string(name) + " is given more than once";
    if (value.empty()) return std::string(name) + " needs a file name";
    field = std::string(value);
    return {};
}

// One entry per option: a new option is one more line here and, when it carries a setting, one
// more field in CommandLine.
struct OptionSpec {
    std::string_view name;      // with its dashes
    std::string_view valueName; // empty for an option without a value
    std::string_view help;
    // Records the option; the result is an error text, empty when it was taken.
    std::string (*apply)(CommandLine &line, std::string_view value);
};

constexpr OptionSpec kOptions[] = {
    {"--settings", "FILE", "keep options, history and templates in FILE",
     [](CommandLine &line, std::string_view value) -> std::string {
         if (line.settingsPath) return "--settings is given more than once";
         if (value.empty()) return "--settings needs a file name";
         line.settingsPath = std::string(value);
         return {};
     }},
    {"--tls", "", "connect to the destination with TLS",
     [](CommandLine &line, std::string_view) -> std::string {
         line.tls = true;
         return {};
     }},
    {"--listen", "[udp://][ADDRESS:]PORT",
     "wait for a peer on PORT instead of connecting, on 127.0.0.1\n"
     "(this computer only) unless ADDRESS names another: [::1],\n"
     "0.0.0.0 (every IPv4 address), [::] (every address);\n"
     "with udp://, for datagrams on a UDP port, answering\n"
     "whoever sent the last one",
     [](CommandLine &line, std::string_view value) -> std::string {
         if (line.listenPort) return "--listen is given more than once";
         line.listenUdp = TakeUdpScheme(value);
         std::string_view port = value;
         if (const std::size_t colon = value.rfind(':'); colon != std::string_view::npos) {
             std::string_view address = value.substr(0, colon);
             port = value.substr(colon + 1);
             if (address.size() >= 2 && address.front() == '[' && address.back() == ']') {
                 address = address.substr(1, address.size() - 2);
             } else if (address.find(':') != std::string_view::npos) {
                 return "an IPv6 address of --listen goes in brackets, as in [::1]:7";
             }
             if (LiteralAddressText(std::string(address)).empty())
                 return "the address of --listen must be written as an address, such as "
                        "127.0.0.1, [::1], 0.0.0.0 or [::] (" +
                        Quoted(address) + ")";
             line.listenBind = BindChoice::Address;
             line.listenAddress = std::string(address);
         }
         line.listenPort = ParsePort(port);
         if (!line.listenPort) return "the port of --listen must be a number from 1 to 65535";
         return {};
     }},
    {"--proxy", "URL",
     "connect through the proxy at URL (socks5h://, socks5:// or http://), or 'none'",
     [](CommandLine &line, std::string_view value) -> std::string {
         if (line.proxy) return "--proxy is given more than once";
         if (IsProxyNone(value)) {
             line.proxy = kProxyNone;
             return {};
         }
         std::string error;
         const std::optional<ProxyUrl> proxy = ParseProxyUrl(value, error);
         if (!proxy)
             return "--proxy needs a URL such as socks5h://HOST:1080 or http://USER@HOST:3128, "
                    "or 'none'";
         line.proxy = FormatProxyUrl(*proxy, true);
         return {};
     }},
    {"--cert", "FILE",
     "show the server the client certificate in FILE, PEM (with\n"
     "the key unless --key names it) or PKCS#12; a passphrase is\n"
     "asked for when connecting",
     [](CommandLine &line, std::string_view value) -> std::string {
         if (!line.tlsDetails.certificateFile.empty()) return "--cert is given more than once";
         if (value.empty()) return "--cert needs a file name";
         line.tlsDetails.certificateFile = std::string(value);
         return {};
     }},
    {"--key", "FILE", "the PEM private key of --cert's certificate",
     [](CommandLine &line, std::string_view value) -> std::string {
         if (!line.tlsDetails.keyFile.empty()) return "--key is given more than once";
         if (value.empty()) return "--key needs a file name";
         line.tlsDetails.keyFile = std::string(value);
         return {};
     }},
    {"--sni", "NAME",
     "send NAME as the TLS server name and check the certificate\n"
     "for it (none: send no name); by default the host's name",
     [](CommandLine &line, std::string_view value) -> std::string {
         std::string error;
         if (value.empty()) return "--sni needs a name (or none)";
         if (!ParseServerName(value, error))
             return "--sni takes a host name of ASCII letters, digits, '-' and '.' (not an "
                    "address), or none (" +
                    Quoted(value) + ")";
         line.tlsDetails.serverName = value == "none" ? "なし" : std::string(value);
         return {};
     }},
    {"--alpn", "LIST", "offer the protocols of LIST by ALPN, such as h2,http/1.1",
     [](CommandLine &line, std::string_view value) -> std::string {
         std::string error;
         const auto protocols = ParseAlpnList(value, error);
         if (!protocols)
             return "--alpn takes protocol names of printable ASCII apart by commas, such as "
                    "h2,http/1.1 (" +
                    Quoted(value) + ")";
         if (protocols->empty()) return "--alpn needs at least one protocol";
         line.tlsDetails.alpn = std::string(value);
         return {};
     }},
    {"--run", "SCRIPT",
     "run the Lua script SCRIPT without a window, connected to the\n"
     "destination when one is given, and print the exchange",
     [](CommandLine &line, std::string_view value) -> std::string {
         return TakeFile(line.runScript, "--run", value);
     }},
    {"--out", "FILE", "with --run: write the exchange to FILE instead",
     [](CommandLine &line, std::string_view value) -> std::string {
         return TakeFile(line.outPath, "--out", value);
     }},
    {"--capture", "FILE", "with --run: also write the exchange as a pcapng capture",
     [](CommandLine &line, std::string_view value) -> std::string {
         return TakeFile(line.capturePath, "--capture", value);
     }},
    {"--ca", "FILE", "with --run: trust the CA certificates of FILE (PEM) for TLS",
     [](CommandLine &line, std::string_view value) -> std::string {
         return TakeFile(line.caFile, "--ca", value);
     }},
    {"--timeout", "SECONDS", "with --run: stop the script after SECONDS (600 by default)",
     [](CommandLine &line, std::string_view value) -> std::string {
         if (line.runTimeout) return "--timeout is given more than once";
         double seconds = 0;
         const std::string text(value);
         std::size_t used = 0;
         try {
             seconds = std::stod(text, &used);
         } catch (const std::exception &) {
             used = 0;
         }
         if (used == 0 || used != text.size() || !(seconds > 0) || seconds > 86400)
             return "--timeout takes a number of seconds above 0, at most 86400";
         line.runTimeout = seconds;
         return {};
     }},
    {"--compare", "OLD NEW",
     "compare what two exchange files (text saves or captures)\n"
     "received, without a window: print a unified diff of the\n"
     "received lines; exit 0 when they are the same, 1 when not",
     [](CommandLine &line, std::string_view value) -> std::string {
         if (line.compareFiles) return "--compare is given more than once";
         if (value.empty()) return "--compare needs two file names";
         line.compareFiles = std::make_pair(std::string(value), std::string());
         return {};
     }},
    {"--help", "", "show this help and exit",
     [](CommandLine &line, std::string_view) -> std::string {
         line.action = CommandLine::Action::Help;
         return {};
     }},
    {"--version", "", "show the version and exit",
     [](CommandLine &line, std::string_view) -> std::string {
         line.action = CommandLine::Action::Version;
         return {};
     }},
};

const OptionSpec *FindOption(std::string_view name) {
    for (const OptionSpec &option : kOptions)
        if (option.name == name) return &option;
    return nullptr;
}

bool IsHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

CommandLine Failed(std::string error) {
    CommandLine line;
    line.action = CommandLine::Action::Error;
    line.error = std::move(error);
    return line;
}

} // namespace

std::optional<StartDestination> ParseStartDestination(std::string_view text, std::string &error) {
    StartDestination destination;
    std::string_view rest;
    const std::string_view whole = text;
    destination.udp = TakeUdpScheme(text);
    if (text.find("://") != std::string_view::npos) {
        error = "give HOST:PORT (or udp://HOST:PORT) rather than a URL (" + Quoted(whole) + ")";
        return std::nullopt;
    }
    if (!text.empty() && text.front() == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string_view::npos) {
            error = "missing ']' after the IPv6 address in " + Quoted(text);
            return std::nullopt;
        }
        const std::string_view address = text.substr(1, close - 1);
        bool sound = address.find(':') != std::string_view::npos;
        for (const char c : address)
            sound = sound && (IsHexDigit(c) || c == ':' || c == '.');
        if (!sound) {
            error = Quoted(address) + " in brackets is not an IPv6 address";
            return std::nullopt;
        }
        destination.host = std::string(address);
        rest = text.substr(close + 1);
        if (!rest.empty() && rest.front() != ':') {
            error = "only ':PORT' may follow the ']' in " + Quoted(text);
            return std::nullopt;
        }
    } else {
        const std::size_t colon = text.find(':');
        destination.host = std::string(text.substr(0, colon));
        if (colon != std::string_view::npos) rest = text.substr(colon);
        if (rest.find(':', 1) != std::string_view::npos) {
            error = "an IPv6 address goes in brackets, as in [::1]:7 (" + Quoted(text) + ")";
            return std::nullopt;
        }
        if (destination.host.empty()) {
            error = "no host in " + Quoted(text);
            return std::nullopt;
        }
        // No host name starts with a dash; such an argument was meant as an option after "--".
        if (destination.host.front() == '-') {
            error = Quoted(text) + " is not a host name";
            return std::nullopt;
        }
        for (const char c : destination.host) {
            const auto byte = static_cast<unsigned char>(c);
            if (byte <= ' ' || byte == 0x7f || c == '[' || c == ']' || c == '/') {
                error = Quoted(text) + " is not a host name";
                return std::nullopt;
            }
        }
    }
    if (destination.host.size() > kHostTextLimit) {
        error = "the host is longer than 255 bytes";
        return std::nullopt;
    }
    if (!rest.empty()) {
        destination.port = ParsePort(rest.substr(1));
        if (!destination.port) {
            error = "the port in " + Quoted(text) + " must be a number from 1 to 65535";
            return std::nullopt;
        }
    }
    return destination;
}

CommandLine ParseCommandLine(const std::vector<std::string_view> &args) {
    CommandLine line;
    bool optionsEnded = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        if (!optionsEnded && arg == "--") {
            optionsEnded = true;
            continue;
        }
        if (!optionsEnded && !arg.empty() && arg.front() == '-') {
            const std::size_t equals = arg.find('=');
            const std::string_view name = arg.substr(0, equals);
            const OptionSpec *option = FindOption(name);
            if (option == nullptr) return Failed("unknown option " + Quoted(name));
            std::string_view value;
            if (option->valueName.empty()) {
                if (equals != std::string_view::npos)
                    return Failed(std::string(name) + " takes no value");
            } else if (equals != std::string_view::npos) {
                value = arg.substr(equals + 1);
            } else if (i + 1 < args.size()) {
                value = args[++i];
            } else {
                return Failed(std::string(name) + " needs " + std::string(option->valueName));
            }
            if (std::string error = option->apply(line, value); !error.empty())
                return Failed(std::move(error));
            // The one option with two values: the second follows as an argument of its own.
            if (option->name == "--compare") {
                if (i + 1 >= args.size() || args[i + 1].empty())
                    return Failed("--compare needs two file names: OLD NEW");
                line.compareFiles->second = std::string(args[++i]);
            }
            if (line.action != CommandLine::Action::Run) return line;
            continue;
        }
        if (line.destination) return Failed("more than one destination: " + Quoted(arg));
        std::string error;
        line.destination = ParseStartDestination(arg, error);
        if (!line.destination) return Failed(std::move(error));
    }
    if (line.compareFiles && (line.destination || line.listenPort || line.runScript || line.tls ||
                              line.proxy || !line.tlsDetails.Empty() || line.outPath ||
                              line.capturePath || line.caFile || line.runTimeout))
        return Failed("--compare takes two files and at most --settings besides");
    if (line.listenPort && line.destination)
        return Failed("--listen waits for a peer: give no destination with it");
    const bool udp = line.listenUdp || (line.destination && line.destination->udp);
    if (udp && line.tls) return Failed("--tls does not apply to UDP (DTLS is not supported)");
    if (udp && line.proxy && !IsProxyNone(*line.proxy))
        return Failed("--proxy does not apply to UDP: proxies carry TCP streams only");
    if (line.listenPort && line.proxy)
        return Failed("--proxy is for connecting, not with --listen");
    if (line.proxy && !line.destination) return Failed("--proxy needs a destination to connect to");
    if (line.listenPort && !line.tlsDetails.Empty())
        return Failed(
            "--cert, --key, --sni and --alpn are for connecting: give none with --listen");
    if (udp && !line.tlsDetails.Empty())
        return Failed("--cert, --key, --sni and --alpn are for TLS, which does not apply to UDP");
    if (!line.tlsDetails.keyFile.empty() && line.tlsDetails.certificateFile.empty())
        return Failed("--key needs --cert, the certificate of the key");
    if (!line.runScript && (line.outPath || line.capturePath || line.caFile || line.runTimeout))
        return Failed("--out, --capture, --ca and --timeout go with --run");
    if (line.runScript) {
        if (line.listenPort) return Failed("--run connects: give no --listen with it");
        if (line.destination && !line.destination->port)
            return Failed("--run needs the destination's port (HOST:PORT)");
        if (line.tls && !line.destination)
            return Failed("--tls needs a destination: the script's connect() takes its own");
    }
    return line;
}

std::string UsageText(std::string_view program) {
    std::string text = "Usage: " + std::string(program) + " [OPTIONS] [[udp://]HOST[:PORT]]\n" +
                       "A TCP/IP client for trying out text protocols by hand.\n\n" +
                       "HOST:PORT (or [IPv6]:PORT) connects at start; HOST alone opens the "
                       "connect dialog with it.\nudp://HOST:PORT sends and receives UDP "
                       "datagrams instead: each send is one datagram.\n\nOptions:\n";
    for (const OptionSpec &option : kOptions) {
        std::string left = "  " + std::string(option.name);
        if (!option.valueName.empty()) left += " " + std::string(option.valueName);
        // A long option stands on a line of its own, its help under it.
        left = left.size() + 2 > 20 ? left + "\n" + std::string(20, ' ')
                                    : left + std::string(20 - left.size(), ' ');
        // A help of several lines goes on under its first.
        std::string help;
        for (const char c : option.help)
            help += c == '\n' ? "\n" + std::string(20, ' ') : std::string(1, c);
        text += left + help + "\n";
    }
    text += "\nA proxy URL is scheme://[USER[:PASSWORD]@]HOST[:PORT] (port 1080 by default); "
            "socks5h lets the\nproxy look the destination's name up. Without --proxy the "
            "proxy of the options is used,\nelse the environment's as curl reads it: "
            "https_proxy (TLS only), then all_proxy, unless\nno_proxy names the destination.\nWith "
            "--run, a key's passphrase and a proxy's "
            "password that the settings file does not keep\ncome from TARVOTCPC_KEY_PASSPHRASE "
            "and TARVOTCPC_PROXY_PASSWORD, else from the terminal.\n";
    return text;
}

} // namespace tarvotcpc
