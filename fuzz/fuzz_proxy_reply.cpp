// The proxies' answers on any bytes: the SOCKS5 reply and HTTP CONNECT response scanners, and a
// whole conversation fed those bytes. A reply found complete is the same whatever follows it and
// every shorter prefix of it is only incomplete; the conversation takes no byte it was not shown,
// and takes the same bytes to the same verdict however the bytes are cut.
#include "formats_check.hpp"

#include <string>
#include <string_view>

#include "proxy/proxy.hpp"

namespace {

using tarvotcpc::ReplyScan;

void CheckScanner(ReplyScan (*scan)(std::string_view), std::string_view bytes) {
    const ReplyScan whole = scan(bytes);
    if (whole.status == ReplyScan::Status::Incomplete) {
        FUZZ_CHECK(bytes.size() <= tarvotcpc::kMaxProxyHeader);
        return;
    }
    if (whole.status == ReplyScan::Status::Malformed) {
        FUZZ_CHECK(!whole.text.empty());
        return;
    }
    FUZZ_CHECK(whole.length > 0 && whole.length <= bytes.size());
    const ReplyScan own = scan(bytes.substr(0, whole.length));
    FUZZ_CHECK(own.status == ReplyScan::Status::Complete && own.length == whole.length &&
               own.code == whole.code && own.text == whole.text);
    FUZZ_CHECK(scan(bytes.substr(0, whole.length - 1)).status == ReplyScan::Status::Incomplete);
}

struct Outcome {
    std::size_t taken = 0;
    tarvotcpc::ProxyDialogue::State state;
    tarvotcpc::ProxyFailure failure;
};

// Shows the dialogue what is left, at most piece bytes at a time (0: all of it).
Outcome Converse(const tarvotcpc::ProxyUrl &proxy, std::string_view bytes, std::size_t piece) {
    tarvotcpc::ProxyDialogue dialogue(proxy, {"example.org", 443});
    Outcome outcome;
    while (dialogue.Status() == tarvotcpc::ProxyDialogue::State::Talking &&
           outcome.taken < bytes.size()) {
        dialogue.Sent(dialogue.Output().size());
        const std::string_view shown =
            bytes.substr(outcome.taken, piece == 0 ? std::string_view::npos : piece);
        const std::size_t taken = dialogue.Take(shown);
        FUZZ_CHECK(taken <= shown.size());
        if (dialogue.Status() == tarvotcpc::ProxyDialogue::State::Talking)
            FUZZ_CHECK(taken == shown.size());
        outcome.taken += taken;
        if (taken == 0) break;
    }
    outcome.state = dialogue.Status();
    outcome.failure = dialogue.Failure();
    return outcome;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    // The first byte picks the proxy and how the rest is cut.
    const uint8_t choice = data[0];
    const std::string_view bytes(reinterpret_cast<const char *>(data) + 1, size - 1);
    CheckScanner(tarvotcpc::ScanSocks5Reply, bytes);
    CheckScanner(tarvotcpc::ScanConnectResponse, bytes);

    static const char *const kProxies[] = {"socks5h://p", "socks5h://u:pw@p", "http://p",
                                           "http://u:pw@p"};
    std::string error;
    const auto proxy = tarvotcpc::ParseProxyUrl(kProxies[choice & 3], error);
    FUZZ_CHECK(proxy);
    const Outcome whole = Converse(*proxy, bytes, 0);
    const Outcome cut = Converse(*proxy, bytes, 1 + (choice >> 2) % 13);
    // Ended on a verdict, the two agree on it and on the bytes it took.
    if (whole.state != tarvotcpc::ProxyDialogue::State::Talking &&
        cut.state != tarvotcpc::ProxyDialogue::State::Talking) {
        FUZZ_CHECK(whole.state == cut.state && whole.failure == cut.failure);
        if (whole.state == tarvotcpc::ProxyDialogue::State::Open)
            FUZZ_CHECK(whole.taken == cut.taken);
    }
    FUZZ_CHECK(whole.state == cut.state);
    return 0;
}
