// Proxies a connection can go through: SOCKS5 (RFC 1928, with the user and password of RFC 1929)
// and HTTP CONNECT (with Basic authentication). What is here is pure: the proxy URL, the two
// conversations as step machines over bytes, and the texts of their refusals. The endpoint that
// drives a conversation over a socket is in proxy_endpoint.hpp.
//
// The one rule every piece keeps: nothing of the peer's stream is ever taken as the proxy's. The
// proxy's last answer is followed at once by the peer's first bytes (a greeting, a TLS record),
// often in the same segment, so a conversation says exactly how many bytes of what it was shown
// were the proxy's, and the rest stays in the socket for the connection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tarvotcpc {

enum class ProxyScheme {
    Socks5,  // socks5://: the client looks the destination's name up and sends its address
    Socks5h, // socks5h://: the proxy looks the name up
    Http,    // http://: HTTP CONNECT
};

struct ProxyUrl {
    ProxyScheme scheme = ProxyScheme::Http;
    std::string host; // an IPv6 literal without brackets
    uint16_t port = 0;
    std::string user;                    // percent-decoded; empty: no authentication offered
    std::optional<std::string> password; // percent-decoded; none with a user: still to be asked
};

// "scheme://[user[:password]@]host[:port][/]" as curl takes it: the schemes socks5, socks5h and
// http (ASCII case ignored; no scheme means http), the port 1080 when none is given, user and
// password percent-decoded, an IPv6 literal in brackets. On failure nullopt, with the reason (a
// text for the user) in error.
std::optional<ProxyUrl> ParseProxyUrl(std::string_view text, std::string &error);

// The URL again, user and password percent-encoded; the password only when asked for, so that a
// text kept or shown never holds it by accident.
std::string FormatProxyUrl(const ProxyUrl &proxy, bool withPassword = false);

// "host:port" of the proxy, "[v6]:port" for an IPv6 literal: how messages name it.
std::string ProxyAddressText(const ProxyUrl &proxy);

// Why a proxy did not open the tunnel.
enum class ProxyFailure {
    None,
    ProxyNotFound,     // the proxy's own name has no address
    ProxyUnreachable,  // no connection to the proxy
    AuthRequired,      // it wants a user and password and none was given
    AuthFailed,        // the user or password was refused: SOCKS5's answer, HTTP 407 (or 401)
    NotAllowed,        // its rules forbid the destination: SOCKS5 reply 2, HTTP 403
    TargetUnreachable, // it could not reach the destination: SOCKS5 3 to 6, HTTP 502 and 504
    Refused,           // any other refusal (the detail says which)
    Garbage,           // what came back is not the protocol
    Closed,            // it closed the connection before the tunnel was open
    TimedOut,          // no tunnel within the time allowed
};

// The text the user sees for a failure. proxy is the proxy's address (ProxyAddressText), target
// the destination as "host:port"; detail is the failure's own part (the HTTP status line, the
// SOCKS5 reply, the system's text), shown in parentheses when not empty.
std::string ProxyFailureText(ProxyFailure failure, const std::string &proxy,
                             const std::string &target, const std::string &detail);

// Where a reply stands in the bytes received so far, which start with it.
struct ReplyScan {
    enum class Status {
        Incomplete, // every byte seen so far belongs to the reply, and more are needed
        Complete,   // the first length bytes are the reply; the rest are not its own
        Malformed,  // not a reply of the protocol
    };
    Status status = Status::Incomplete;
    std::size_t length = 0; // Complete
    int code = 0;           // Complete: SOCKS5's REP field or the HTTP status
    std::string text;       // Complete, HTTP: the status line; Malformed: what is wrong
};

// SOCKS5's answer to a CONNECT request: VER 5, REP, RSV, then the bound address after its ATYP
// (1: four bytes, 3: a length byte and a name, 4: sixteen bytes) and the port.
ReplyScan ScanSocks5Reply(std::string_view bytes);

// The proxy's answer to CONNECT: a status line "HTTP/x.y NNN reason", header lines, and the empty
// line that ends them (CRLF, or bare LF as some servers write). The header may be at most
// kMaxProxyHeader bytes.
inline constexpr std::size_t kMaxProxyHeader = 64 * 1024;
ReplyScan ScanConnectResponse(std::string_view bytes);

// The destination as it goes to the proxy.
struct ProxyTarget {
    std::string host; // a name, or an address (IPv6 without brackets)
    uint16_t port = 0;
};

// One conversation with a proxy, from the first byte sent to the open tunnel or a failure. No
// I/O of its own: the caller writes Output() and shows it what came back.
class ProxyDialogue {
  public:
    enum class State { Talking, Open, Failed };

    // A SOCKS5 dialogue sends target.host as a name unless it is a numeric address (or the
    // scheme is socks5 and the caller resolved it into one).
    ProxyDialogue(const ProxyUrl &proxy, ProxyTarget target);

    // The bytes still to be sent; Sent(n) drops the first n once written.
    const std::string &Output() const { return output_; }
    void Sent(std::size_t n) { output_.erase(0, n); }

    // bytes: what can be read now, not yet taken from the socket. Result: how many of them are
    // the proxy's (the caller takes exactly these from the socket). Once the tunnel is open the
    // rest are the peer's.
    std::size_t Take(std::string_view bytes);

    // The proxy ended the stream before the tunnel was open.
    void ProxyClosed();

    State Status() const { return state_; }
    ProxyFailure Failure() const { return failure_; }
    const std::string &Detail() const { return detail_; }

  private:
    enum class Step { SocksMethod, SocksAuth, SocksReply, HttpResponse };

    void Fail(ProxyFailure failure, std::string detail = {});
    void SendSocksRequest();
    std::size_t TakeSocks(std::string_view bytes);
    std::size_t TakeHttp(std::string_view bytes);

    ProxyUrl proxy_;
    ProxyTarget target_;
    Step step_;
    State state_ = State::Talking;
    ProxyFailure failure_ = ProxyFailure::None;
    std::string detail_;
    std::string output_;
    std::string reply_; // the part of the current reply taken so far
};

} // namespace tarvotcpc
