// The options: each is declared once, in kOptionTable, with its key in the settings file, its
// default, and what the options dialog shows for it. Loading, the dialog's check boxes, the
// working copy and saving all go through the table; adding an option is one enumerator and one
// row, plus the code that acts on it.
#pragma once

#include <array>
#include <cstddef>

#include "settings.hpp"

namespace tarvotcpc {

enum class Option {
    HostSave,    // keep the destination history
    ConSend,     // send the send page on connecting
    ConReClear,  // empty the receive page on connecting
    ConSenClear, // empty the send page after sending
    KeepListening, // listen again for the next peer once a peer goes
    Count,
};

inline constexpr std::size_t kOptionCount = static_cast<std::size_t>(Option::Count);

struct OptionRow {
    Option option;
    const char *key;        // in the options section of the settings file
    bool byDefault;         // when the file does not hold the key
    const char *label;      // the dialog's check box, UTF-8
    const char *objectName; // the check box's object name
};

// In the order of the dialog's check boxes and of a new settings file's lines.
inline constexpr std::array<OptionRow, kOptionCount> kOptionTable{{
    {Option::HostSave, "hostsave", false, "接続先を保存", "hostSaveCheckBox"},
    {Option::ConSend, "consend", false, "接続と同時に送信", "conSendCheckBox"},
    {Option::ConReClear, "conreclear", false, "接続時に受信データをクリア", "conReClearCheckBox"},
    {Option::ConSenClear, "consenclear", false, "送信時に送信データをクリア",
     "conSenClearCheckBox"},
    {Option::KeepListening, "keeplisten", false, "相手の切断後も待ち受けを続ける",
     "keepListeningCheckBox"},
}};

constexpr const OptionRow &RowOf(Option option) {
    return kOptionTable[static_cast<std::size_t>(option)];
}
constexpr const char *OptionKey(Option option) {
    return RowOf(option).key;
}

// Every option's value, as the program uses it.
class OptionValues {
  public:
    bool operator[](Option option) const { return values_[static_cast<std::size_t>(option)]; }
    bool &operator[](Option option) { return values_[static_cast<std::size_t>(option)]; }

  private:
    std::array<bool, kOptionCount> values_{};
};

// The options record as values: a key the record does not hold gives the option's default, a
// value that does not start with digits is off, any other is on unless it reads as 0.
OptionValues ReadOptions(const SettingsHashes &settings);
// Sets every option in the record (as "0" or "1"); the file is written separately.
bool StoreOptions(SettingsHashes &settings, const OptionValues &values);

} // namespace tarvotcpc
