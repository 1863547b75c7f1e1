#include "session/page_encoding.hpp"

#include "text/send_encoding.hpp"

namespace tarvotcpc {

bool PageEncoding::Received(std::string_view bytes) {
    if (detector_.Settled() || !detector_.Feed(bytes)) return false;
    const Detection &guess = detector_.Guess();
    // No guess from this connection (yet) leaves the earlier one in force.
    if (!guess.encoding || guess == detected_) return false;
    detected_ = guess;
    return true;
}

Encoding PageEncoding::InForce() const {
    if (chosen_) return *chosen_;
    return detected_.encoding.value_or(Encoding::Utf8);
}

std::string PageEncoding::Label() const {
    const std::string name(EncodingLabel(InForce()));
    if (chosen_) return name;
    if (!detected_.encoding) return "自動判別 (" + name + ")";
    return (detected_.strength == DetectStrength::Strong ? "検出: " : "推定: ") + name;
}

} // namespace tarvotcpc
