// The options: each is declared once, in kOptionTable, with its key in the settings file, its
// default, and what the options dialog shows for it. Loading, the dialog's controls, the working
// copy and saving all go through the table; adding an option is one enumerator and one row, plus
// the code that acts on it.
//
// A row is one of five kinds: a switch (stored "0" or "1", a check box), a choice among stored
// values (a combo box showing each value's label), a text (a line edit), or a folder or a file (a
// line edit with a browse button beside it).
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "text/send_encoding.hpp"
#include "settings/settings.hpp"

namespace tarvotcpc {

enum class Option {
    HostSave,     // keep the destination history
    ConSend,      // send the send page on connecting
    ConReClear,   // empty the receive page on connecting
    ConSenClear,  // empty the send page after sending
    SendEncoding, // the send page's encoding, or following the view's
    SendLineEnding,
    SendEscapes,   // escape mode of the send page
    LogFolder,     // where every connection's transcript is logged; empty: not logged
    KeepListening, // listen again for the next peer once a peer goes
    Proxy,         // the proxy for every destination without one of its own (net/proxy_choice.hpp)
    ViewEncoding,  // the receive page's encoding
    ViewMode,      // the receive page as text or hex
    ViewLineEndMarks, // CR and LF drawn as marks
    ViewTimes,        // each chunk's time in a margin
    ViewSent,         // sent bytes shown among the received ones
    ViewAutoDetect,   // every connection starts with the page's encoding detected
    Placeholders,     // "%name%" markers of the send page replaced at send time
    RepeatInterval,   // the repeat dialog's last interval, in milliseconds
    RepeatCount,      // and its last count (0: until stopped)
    ViewProtocol,     // the replies' shapes marked on the page (session/page_protocol.hpp)
    KeyLogFile,       // where TLS secrets are appended; empty: SSLKEYLOGFILE's file, if any
    Count,
};

inline constexpr std::size_t kOptionCount = static_cast<std::size_t>(Option::Count);

enum class OptionKind { Switch, Choice, Folder, Text, File };

// One value of a choice: as stored, and as the dialog shows it (UTF-8).
struct OptionChoice {
    const char *value;
    const char *label;
};

// A row's default in its stored form. A switch's row gives it as true or false.
struct OptionDefault {
    constexpr OptionDefault(bool on) : text(on ? "1" : "0") {}
    constexpr OptionDefault(const char *stored) : text(stored) {}
    const char *text;
};

struct OptionRow {
    Option option;
    const char *key;         // in the options section of the settings file
    OptionDefault byDefault; // when the file does not hold the key (or holds no usable value)
    const char *label;       // the dialog's text for it, UTF-8
    const char *objectName;  // the dialog control's object name
    OptionKind kind = OptionKind::Switch;
    std::span<const OptionChoice> choices = {}; // a choice's values, in the dialog's order
};

// The send encoding's stored value that follows the view's encoding instead of setting it apart.
inline constexpr char kFollowViewEncoding[] = "view";

// The encodings' choices, from the encodings' table (text/encoding.hpp); the send page's may
// also follow the view's. In the table's order, which is the dialog's.
inline constexpr auto kViewEncodingChoices = [] {
    std::array<OptionChoice, kEncodingCount> choices{};
    for (std::size_t i = 0; i < kEncodingCount; ++i)
        choices[i] = {kEncodingTable[i].stored, kEncodingTable[i].label};
    return choices;
}();
inline constexpr auto kSendEncodingChoices = [] {
    std::array<OptionChoice, kEncodingCount + 1> choices{};
    choices[0] = {kFollowViewEncoding, "表示と同じ"};
    for (std::size_t i = 0; i < kEncodingCount; ++i)
        choices[i + 1] = kViewEncodingChoices[i];
    return choices;
}();
inline constexpr OptionChoice kLineEndingChoices[] = {
    {"crlf", "CR+LF"},
    {"lf", "LF"},
    {"cr", "CR"},
    {"none", "なし (改行を送らない)"},
};

// The receive page's encoding may also be left to detection (text/detect.hpp): its stored value,
// then the encodings.
inline constexpr char kViewEncodingAuto[] = "auto";
inline constexpr auto kViewEncodingOrAutoChoices = [] {
    std::array<OptionChoice, std::size(kViewEncodingChoices) + 1> choices{};
    choices[0] = {kViewEncodingAuto, "自動判別"};
    for (std::size_t i = 0; i + 1 < choices.size(); ++i)
        choices[i + 1] = kViewEncodingChoices[i];
    return choices;
}();

inline constexpr char kViewModeText[] = "text";
inline constexpr char kViewModeHex[] = "hex";
inline constexpr OptionChoice kViewModeChoices[] = {
    {kViewModeText, "テキスト"},
    {kViewModeHex, "16進"},
};

// The protocol the receive page reads replies as: none, the one of each connection's port, or
// one for every connection. Stored values only: session/page_protocol.hpp reads them.
inline constexpr char kViewProtocolNone[] = "none";
inline constexpr char kViewProtocolFromPort[] = "auto";
inline constexpr OptionChoice kViewProtocolChoices[] = {
    {kViewProtocolNone, "なし"},
    {kViewProtocolFromPort, "自動 (ポートから)"},
    {"http", "HTTP"},
    {"resp", "RESP (Redis)"},
    {"smtp", "SMTP"},
    {"ftp", "FTP"},
    {"imap", "IMAP"},
};

// In the order of the dialog's controls and of a new settings file's lines.
inline constexpr std::array<OptionRow, kOptionCount> kOptionTable{{
    {Option::HostSave, "hostsave", false, "接続先を保存", "hostSaveCheckBox"},
    {Option::ConSend, "consend", false, "接続と同時に送信", "conSendCheckBox"},
    {Option::ConReClear, "conreclear", false, "接続時に受信データをクリア", "conReClearCheckBox"},
    {Option::ConSenClear, "consenclear", false, "送信時に送信データをクリア",
     "conSenClearCheckBox"},
    {Option::SendEncoding, "sendencoding", kFollowViewEncoding,
     "送信の文字コード:", "sendEncodingComboBox", OptionKind::Choice, kSendEncodingChoices},
    {Option::SendLineEnding, "sendlineending", "crlf", "送信の改行:", "sendLineEndingComboBox",
     OptionKind::Choice, kLineEndingChoices},
    {Option::SendEscapes, "sendescapes", false,
     "送信データのエスケープ (\\r \\n \\t \\\\ \\0 \\xNN)", "sendEscapesCheckBox"},
    {Option::LogFolder, "logfolder", "", "ログの保存先 (空欄: 保存しない):", "logFolderLineEdit",
     OptionKind::Folder},
    {Option::KeepListening, "keeplisten", false, "相手の切断後も待ち受けを続ける",
     "keepListeningCheckBox"},
    {Option::Proxy, "proxy", "",
     "プロキシ (空欄: 環境変数に従う、なし: 使わない):", "proxyLineEdit", OptionKind::Text},
    {Option::ViewEncoding, "viewencoding", "utf-8", "受信データの文字コード:",
     "viewEncodingComboBox", OptionKind::Choice, kViewEncodingOrAutoChoices},
    {Option::ViewMode, "viewmode", kViewModeText, "受信データの表示:", "viewModeComboBox",
     OptionKind::Choice, kViewModeChoices},
    {Option::ViewLineEndMarks, "viewlineends", false, "改行を記号で表示 (CR / LF)",
     "viewLineEndMarksCheckBox"},
    {Option::ViewTimes, "viewtimes", false, "受信時刻を表示", "viewTimesCheckBox"},
    {Option::ViewSent, "viewsent", false, "送信データも受信データの間に表示", "viewSentCheckBox"},
    {Option::ViewAutoDetect, "viewautodetect", false, "接続ごとに受信データの文字コードを自動判別",
     "viewAutoDetectCheckBox"},
    {Option::Placeholders, "placeholders", false, "送信時に %名前% を置き換える",
     "placeholdersCheckBox"},
    {Option::RepeatInterval, "repeatinterval", "1000",
     "繰り返し送信の間隔 (ミリ秒):", "repeatIntervalLineEdit", OptionKind::Text},
    {Option::RepeatCount, "repeatcount", "10",
     "繰り返し送信の回数 (0: 停止するまで):", "repeatCountLineEdit", OptionKind::Text},
    {Option::ViewProtocol, "viewprotocol", kViewProtocolNone, "受信データのプロトコル表示:",
     "viewProtocolComboBox", OptionKind::Choice, kViewProtocolChoices},
    {Option::KeyLogFile, "keylogfile", "",
     "TLSの鍵ログファイル (空欄: 環境変数SSLKEYLOGFILE):", "keyLogFileLineEdit", OptionKind::File},
}};

constexpr const OptionRow &RowOf(Option option) {
    return kOptionTable[static_cast<std::size_t>(option)];
}
constexpr const char *OptionKey(Option option) {
    return RowOf(option).key;
}

// Every option's value, as the program uses it: a switch as a bool (operator[]), a choice as its
// stored value and a text as it is (Text).
class OptionValues {
  public:
    OptionValues(); // every option at its default

    bool operator[](Option option) const { return switches_[Index(option)]; }
    bool &operator[](Option option) { return switches_[Index(option)]; }

    const std::string &Text(Option option) const { return texts_[Index(option)]; }
    // A text is taken as CleanOptionText leaves it. A choice's value not among its choices, or a
    // text CleanOptionText refuses, leaves the option as it was; result whether it was taken.
    bool SetText(Option option, std::string_view text);

  private:
    static constexpr std::size_t Index(Option option) { return static_cast<std::size_t>(option); }
    std::array<bool, kOptionCount> switches_{};
    std::array<std::string, kOptionCount> texts_{};
};

// A text option's value as the settings file keeps it: blanks at its ends trimmed (the file
// would lose them anyway). None when it holds a line break or NUL, which no line of the file can.
std::optional<std::string> CleanOptionText(std::string_view text);
// Follows the field's name in OptionTextProblem's message.
inline constexpr char kUnstorableOptionText[] = "に使えない文字 (改行またはNUL) が含まれています";
// Follows the field's name when a number's field holds something else.
inline constexpr char kNotANumberOptionText[] = "には数字だけを入力してください";
// Why the options dialog cannot take text for a text option, naming the field; empty when it can.
// The repeat's interval and count take decimal digits only.
std::string OptionTextProblem(Option option, std::string_view text);

// The options record as values: a key the record does not hold gives the option's default. A
// switch's value that does not start with digits is off, any other is on unless it reads as 0. A
// choice's value is matched ignoring ASCII case; one that matches none gives the default.
OptionValues ReadOptions(const SettingsHashes &settings);
// Sets every option in the record (switches as "0" or "1"); the file is written separately. Keys
// the table does not know stay as they are.
bool StoreOptions(SettingsHashes &settings, const OptionValues &values);
// Sets every option in the record and writes the options' section of the file at path: what
// every change of an option made in the window does. The record holds the values even when the
// file cannot be written, so the choice stays in force for the session; result whether the file
// now holds them.
bool SaveOptions(SettingsHashes &settings, const OptionValues &values, const std::string &path);

// The send page's encoding set apart from the view's; none when it follows the view.
std::optional<SendEncoding> SendEncodingSetApart(const OptionValues &values);
// The encoding the send page goes out in: the one set apart, else the receive page's.
SendEncoding SendEncodingOf(const OptionValues &values);
// The receive page's encoding, and whether it shows hex.
Encoding ViewEncodingOf(const OptionValues &values);
void SetViewEncoding(OptionValues &values, Encoding encoding);
bool ViewIsHex(const OptionValues &values);
// The receive page's encoding as the user chose it; none for 自動判別.
std::optional<Encoding> ViewEncodingChosen(const OptionValues &values);
LineEnding SendLineEndingOf(const OptionValues &values);
void SetSendLineEnding(OptionValues &values, LineEnding ending);

} // namespace tarvotcpc
