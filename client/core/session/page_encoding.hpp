// Which encoding the receive page reads the record in: the one the user chose, or, with 自動判別,
// what the received bytes of the current connection were detected as. A choice of the user's is
// never switched away by a detection; a detection counts only while the page is automatic.
#pragma once

#include "text/detect.hpp"
#include "text/encoding.hpp"

#include <optional>
#include <string>
#include <string_view>

namespace tarvotcpc {

class PageEncoding {
  public:
    // The user's choice; none is 自動判別.
    void Choose(std::optional<Encoding> chosen) { chosen_ = chosen; }
    const std::optional<Encoding> &Chosen() const { return chosen_; }
    bool Automatic() const { return !chosen_; }

    // A connection starts: its own bytes are looked at afresh. Until they give a guess the one
    // from earlier bytes stays in force, so the page does not flicker back to UTF-8 between them.
    void BeginConnection() { detector_.Reset(); }
    // Received bytes of the current connection (all of them; the detector keeps what it needs).
    // True when the detection in force changed (and with it, when automatic, the label and
    // perhaps the encoding in force).
    bool Received(std::string_view bytes);

    // What the page uses: the choice, else the detection in force, else UTF-8.
    Encoding InForce() const;
    // The detection in force (automatic or not), as the toolbar may show it.
    const Detection &Detected() const { return detected_; }

    // For the view's toolbar: the chosen encoding's name; when automatic, "検出: Shift_JIS" for a
    // strong guess, "推定: Latin-1" for a weak one and "自動判別 (UTF-8)" before any guess.
    std::string Label() const;

  private:
    EncodingDetector detector_;
    std::optional<Encoding> chosen_ = Encoding::Utf8;
    Detection detected_;
};

} // namespace tarvotcpc
