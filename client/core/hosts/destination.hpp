// The connect dialog's rules: reading a destination from the two fields, and the history of the
// destinations used last.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "settings/settings.hpp"
#include "hosts/tls_details.hpp"

namespace tarvotcpc {

// Where the next connection goes: a host (an IPv6 literal without brackets) and a port, whether
// it speaks TLS, and its own proxy. port is kept as the user gave it; only its low 16 bits are
// used when connecting. proxy: empty to follow the options and the environment, "なし"
// (kProxyNone) for a direct connection, or a proxy URL (with a password typed in it, which the
// history never keeps).
struct Destination {
    std::string host;
    int32_t port = 0;
    bool tls = false;
    std::string proxy = {};
    // Its own client certificate, server name and protocols, for TLS and STARTTLS alike.
    TlsDetails tlsDetails = {};
};

inline constexpr std::size_t kHostTextLimit = 255; // bytes
inline constexpr std::size_t kHistoryLimit = 20;   // entries

inline constexpr char kMissingPortText[] = "ポート番号を入力してください";
inline constexpr char kMissingHostText[] = "接続先IPアドレスまたはホスト名を入力してください";

enum class ConnectField { Host, Port, Proxy };

struct ConnectDecision {
    bool accepted = false;
    Destination params;                      // when accepted
    std::string warning;                     // when not: the text to show; the dialog stays open
    ConnectField field = ConnectField::Host; // the field the warning concerns
};

// The dialog's OK, read as DecideHostField reads the two fields ("[::1]:8080", a bare IPv6
// literal with the port apart, else "host:port" split at the first ":"). A host text that is a
// history entry keeps its TLS and proxy marks out of the host; tls and proxy are as given (the
// dialog's check box and proxy field, which follow the entry chosen), or without them as the
// entry's marks say. A proxy text that is neither empty, "なし" (or "none") nor a proxy URL is
// refused with the reason; a URL is kept in its full form ("socks5h://h" as
// "socks5h://h:1080").
ConnectDecision DecideConnect(std::string_view hostText, std::string_view portText,
                              std::optional<bool> tls = std::nullopt,
                              std::optional<std::string_view> proxy = std::nullopt);

// The history as the dialog lists it, newest first.
std::vector<std::string> HostHistory(const SettingsHashes &settings);

// "host:port" with the port in plain decimal ("[v6]:port"), the TLS mark for TLS and the proxy's
// mark for a proxy of its own (FormatHistoryEntry).
std::string HistoryEntry(const Destination &params);

// With the option "hostsave" on, puts params at the top of the history, dropping an earlier entry
// equal to it without regard to ASCII case, keeps at most 20 entries, renumbers the record as
// "host0", "host1", ... and writes the section. Nothing changes with the option off or missing,
// nor for a host that cannot be kept on one line of the file. Result: whether the history in
// memory changed (the file is rewritten then, and a failed write leaves the old file).
bool RememberDestination(SettingsHashes &settings, const Destination &params,
                         const std::string &path);

// Empties the history in memory and in the file at once (the options dialog's clear button),
// and the TLS details kept with it.
bool ClearHostHistory(SettingsHashes &settings, const std::string &path);

inline constexpr char kClearHostsQuestion[] = "接続先ホストをクリアします\nよろしいですか?";
inline constexpr char kClearHostsDone[] = "接続先ホストをクリアしました";

} // namespace tarvotcpc
