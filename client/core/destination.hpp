// The connect dialog's rules: reading a destination from the two fields, and the history of the
// destinations used last.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "settings.hpp"

namespace tarvotcpc {

// Where the next connection goes: a host and a port, nothing more. port is kept as the user gave
// it; only its low 16 bits are used when connecting.
struct Destination {
    std::string host;
    int32_t port = 0;
};

inline constexpr std::size_t kHostTextLimit = 255; // bytes
inline constexpr std::size_t kHistoryLimit = 20;   // entries

inline constexpr char kMissingPortText[] = "ポート番号を入力してください";
inline constexpr char kMissingHostText[] = "接続先IPアドレスまたはホスト名を入力してください";

enum class ConnectField { Host, Port };

struct ConnectDecision {
    bool accepted = false;
    Destination params;                      // when accepted
    std::string warning;                     // when not: the text to show; the dialog stays open
    ConnectField field = ConnectField::Host; // the field the warning concerns
};

// The dialog's OK. The host text is cut to 255 bytes (never inside a UTF-8 character); when it
// holds a ":", the host ends there and the rest is the port text, and the port field is not
// looked at. Otherwise an empty port field is refused. The port text is read as an optional sign
// and decimal digits, anything after them ignored ("12ab" is 12, "abc" is 0), with no range
// check. Last, an empty host is refused.
ConnectDecision DecideConnect(std::string_view hostText, std::string_view portText);

// The history as the dialog lists it, newest first.
std::vector<std::string> HostHistory(const SettingsHashes &settings);

// "host:port" with the port in plain decimal.
std::string HistoryEntry(const Destination &params);

// With the option "hostsave" on, puts params at the top of the history, dropping an earlier entry
// equal to it without regard to ASCII case, keeps at most 20 entries, renumbers the record as
// "host0", "host1", ... and writes the section. Nothing changes with the option off or missing,
// nor for a host that cannot be kept on one line of the file. Result: whether the history in
// memory changed (the file is rewritten then, and a failed write leaves the old file).
bool RememberDestination(SettingsHashes &settings, const Destination &params,
                         const std::string &path);

// Empties the history in memory and in the file at once (the options dialog's clear button).
bool ClearHostHistory(SettingsHashes &settings, const std::string &path);

inline constexpr char kClearHostsQuestion[] = "接続先ホストをクリアします\nよろしいですか?";
inline constexpr char kClearHostsDone[] = "接続先ホストをクリアしました";

} // namespace tarvotcpc
