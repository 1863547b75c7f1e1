// A text save is whatever file the user opens to compare: any bytes, cut anywhere, must read into
// a record or a message naming the line, never a crash. What reads is a text save of its own: the
// record's text save reads back into a record whose text save is that text again.
#include "formats_check.hpp"

#include <string>
#include <string_view>

#include "saves/saving.hpp"
#include "saves/text_save_read.hpp"
#include "saves/transcript_source.hpp"

namespace {

bool Read(std::string_view text, std::size_t cut, tarvotcpc::Transcript &into) {
    tarvotcpc::TextSaveReader reader(into);
    for (std::size_t at = 0; at < text.size(); at += cut)
        if (!reader.Feed(text.substr(at, cut))) break;
    const bool ok = reader.Finish();
    FUZZ_CHECK(ok == reader.Error().empty());
    return ok;
}

std::string TextOf(const tarvotcpc::Transcript &record) {
    std::string text;
    FUZZ_CHECK(tarvotcpc::WriteTranscriptText(tarvotcpc::TranscriptSource(record), {},
                                              [&](std::string_view piece) {
                                                  text.append(piece);
                                                  return true;
                                              }));
    return text;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    // The first byte chooses where the pieces are cut.
    const std::size_t cut = 1 + data[0] % 64;
    const std::string_view input(reinterpret_cast<const char *>(data) + 1, size - 1);
    tarvotcpc::Transcript first;
    if (!Read(input, cut, first)) return 0;
    const std::string text = TextOf(first);
    tarvotcpc::Transcript second;
    FUZZ_CHECK(Read(text, 1 + cut % 7, second));
    FUZZ_CHECK(TextOf(second) == text);
    return 0;
}
