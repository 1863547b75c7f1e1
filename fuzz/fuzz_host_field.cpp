// The connect dialog's host field and the history entries: any text is read without harm,
// text without brackets or an IPv6 literal splits as it always did, entries written now read
// back as written, and entries earlier versions wrote read as they did there (plain).
#include "formats_check.hpp"

#include <fuzzer/FuzzedDataProvider.h>

#include <string>

#include "hosts/host_field.hpp"
#include "text/text.hpp"

namespace {

// The rule before IPv6: the first colon ends the host.
struct Split {
    std::string host;
    std::string port;
    bool colon = false;
};

Split FirstColon(const std::string &text) {
    Split s;
    const std::size_t colon = text.find(':');
    s.colon = colon != std::string::npos;
    s.host = text.substr(0, colon);
    if (s.colon) s.port = text.substr(colon + 1);
    return s;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    const std::string portText = in.ConsumeRandomLengthString(12);
    const int32_t port = in.ConsumeIntegral<int32_t>();
    const bool tls = in.ConsumeBool();
    const std::string text = in.ConsumeRemainingBytesAsString();

    const tarvotcpc::HostFieldDecision d = tarvotcpc::DecideHostField(text, portText);
    const std::string cut = tarvotcpc::Utf8Cut(text, 255);
    if (d.problem == tarvotcpc::HostFieldProblem::None) FUZZ_CHECK(!d.host.empty());
    if ((cut.empty() || cut.front() != '[') && !tarvotcpc::IsIpv6Literal(cut)) {
        const Split old = FirstColon(cut);
        if (old.colon && !old.host.empty()) {
            FUZZ_CHECK(d.problem == tarvotcpc::HostFieldProblem::None);
            FUZZ_CHECK(d.host == old.host);
            FUZZ_CHECK(d.port == tarvotcpc::ParseDecimal(old.port));
        }
    }

    // Whatever the history holds reads without harm.
    const tarvotcpc::HistoryEntryParts any = tarvotcpc::ParseHistoryEntry(text);
    if (any.valid) FUZZ_CHECK(!any.host.empty());

    // An entry written now, for a host the dialog can give (no "]" inside, no leading "["),
    // reads back as written.
    const std::string host = cut;
    if (!host.empty() && host.front() != '[' && host.find(']') == std::string::npos) {
        const std::string entry = tarvotcpc::FormatHistoryEntry(host, port, tls);
        if (entry.size() <= 255) {
            const tarvotcpc::HistoryEntryParts back = tarvotcpc::ParseHistoryEntry(entry);
            FUZZ_CHECK(back.valid && back.host == host && back.port == port && back.tls == tls);
        }
    }

    // An entry an earlier version wrote ("host:number", no ":" in the host) is plain and names
    // the same host and port.
    const Split old = FirstColon(cut);
    if (!old.host.empty()) {
        const std::string entry = old.host + ":" + std::to_string(port);
        if (entry.size() <= 255) {
            const tarvotcpc::HistoryEntryParts back = tarvotcpc::ParseHistoryEntry(entry);
            FUZZ_CHECK(back.valid && !back.tls && back.host == old.host && back.port == port);
        }
    }
    return 0;
}
