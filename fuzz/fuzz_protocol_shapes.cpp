// Protocol shapes on any bytes, cut anywhere: the same replies and marks as in one piece, replies
// and marks in order without overlapping and inside the bytes fed, and each body's arrived count
// never past what it declared.
#include "formats_check.hpp"

#include <fuzzer/FuzzedDataProvider.h>

#include <string>
#include <vector>

#include "transcript/protocol_shapes.hpp"

using tarvotcpc::Mark;
using tarvotcpc::MarkKind;
using tarvotcpc::Protocol;
using tarvotcpc::ProtocolShapes;
using tarvotcpc::Reply;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    const auto protocol = static_cast<Protocol>(in.ConsumeIntegralInRange<int>(0, 4));
    std::vector<std::size_t> cuts;
    for (int i = in.ConsumeIntegralInRange<int>(0, 8); i > 0; --i)
        cuts.push_back(in.ConsumeIntegralInRange<std::size_t>(1, 64));
    const std::string bytes = in.ConsumeRemainingBytesAsString();

    ProtocolShapes whole(protocol);
    whole.Feed(bytes, 0);
    ProtocolShapes cut(protocol);
    std::size_t at = 0;
    for (std::size_t k = 0; at < bytes.size(); ++k) {
        const std::size_t n = cuts.empty() ? 1 : cuts[k % cuts.size()];
        cut.Feed(std::string_view(bytes).substr(at, n), at);
        at += std::min(n, bytes.size() - at);
    }
    FUZZ_CHECK(cut.Replies() == whole.Replies() && cut.Marks() == whole.Marks());

    whole.Finish();
    uint64_t end = 0;
    for (const Reply &r : whole.Replies()) {
        FUZZ_CHECK(r.begin >= end && r.begin < r.end && r.end <= bytes.size());
        end = r.end;
    }
    end = 0;
    for (const Mark &m : whole.Marks()) {
        FUZZ_CHECK(m.begin >= end && m.begin <= m.end && m.end <= bytes.size());
        if (m.kind == MarkKind::Body) {
            FUZZ_CHECK(m.arrived == m.end - m.begin);
            FUZZ_CHECK(!m.declared || m.arrived <= *m.declared);
        } else {
            FUZZ_CHECK(m.begin < m.end);
        }
        end = m.end;
    }
    return 0;
}
