// The transcript's decoders: the units are the same however the bytes are cut into pieces and
// wherever a decoder hands over to a fresh one through its saved state, they cover every byte once
// and in order, the bulk count (UTF-8, Latin-1) matches the count of each character piece by
// piece, and the text and hex renderings take any of them.
#include "formats_check.hpp"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "transcript/text_decoder.hpp"
#include "transcript/transcript_render.hpp"

using namespace tarvotcpc;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    const Encoding encoding =
        kEncodings[in.ConsumeIntegralInRange<size_t>(0, kEncodings.size() - 1)];
    const std::string cuts = in.ConsumeBytesAsString(in.ConsumeIntegralInRange<size_t>(0, 16));
    const size_t handOver = in.ConsumeIntegral<uint8_t>();
    const std::string stream = in.ConsumeRemainingBytesAsString();

    std::vector<Unit> expected;
    {
        Decoder whole(encoding);
        whole.Feed(stream, 0, expected);
        whole.Finish(expected);
    }

    std::vector<Unit> got;
    auto decoder = std::make_unique<Decoder>(encoding);
    auto bulk = std::make_unique<Decoder>(encoding), each = std::make_unique<Decoder>(encoding);
    size_t at = 0;
    for (size_t i = 0; at < stream.size(); ++i) {
        const size_t len = i < cuts.size()
                               ? std::min<size_t>(uint8_t(cuts[i]) % 16, stream.size() - at)
                               : stream.size() - at;
        const std::string_view piece = std::string_view(stream).substr(at, len);
        decoder->Feed(piece, at, got);
        FUZZ_CHECK(bulk->Count(piece, at) == each->CountEach(piece, at));
        FUZZ_CHECK(bulk->State() == each->State());
        at += len;
        if (i == handOver % 17) {
            for (auto *d : {&decoder, &bulk, &each}) {
                const DecoderState state = (*d)->State();
                *d = std::make_unique<Decoder>(encoding);
                (*d)->Restore(state, at);
            }
        }
    }
    decoder->Finish(got);
    FUZZ_CHECK(got == expected);

    uint64_t next = 0;
    for (const Unit &u : got) {
        FUZZ_CHECK(u.offset == next && u.length > 0);
        next += u.length;
    }
    FUZZ_CHECK(next == stream.size());

    std::vector<Glyph> glyphs;
    RenderText(got, true, glyphs);
    for (size_t row = 0; row < stream.size(); row += kHexRowBytes) {
        const HexRow hex =
            FormatHexRow(row, std::string_view(stream).substr(row, kHexRowBytes), got);
        FUZZ_CHECK(hex.hex.size() == 3 * kHexRowBytes);
    }
    return 0;
}
