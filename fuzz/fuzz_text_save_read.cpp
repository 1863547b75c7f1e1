// A text save is whatever file the user opens to compare: any bytes, cut anywhere, must read into
// a record or a message naming the line, never a crash, and into the same record wherever the
// pieces are cut. What reads is a text save of its own: the record's text save reads back into a
// record whose text save is that text again. The text is the fixed point, not the bytes of the
// first record: a save cannot tell what came as text from what it shows ("␊" received as text at
// a line's end reads back as LF, "⟨E3⟩" as the byte), and a character cut between two chunks goes
// whole with the later one; after that first round the record is a fixed point too.
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

// Everything a record holds, to compare two.
std::string Contents(const tarvotcpc::Transcript &record) {
    std::string out;
    for (const tarvotcpc::Chunk &chunk : record.Chunks()) {
        std::string bytes;
        FUZZ_CHECK(record.Read(chunk.offset, chunk.size, bytes));
        const auto reply = record.ReplyTimeAt(chunk.offset);
        out += std::to_string(static_cast<int>(chunk.direction)) + " " +
               std::to_string(chunk.connection) + " " + std::to_string(chunk.timeUs) + " " +
               std::to_string(chunk.datagram) + " " + std::to_string(reply ? *reply : -1) + " " +
               std::to_string(bytes.size()) + ":" + bytes + "\n";
    }
    for (const tarvotcpc::Note &note : record.Notes())
        out += std::to_string(note.offset) + " " + std::to_string(note.timeUs) + " " +
               std::to_string(note.connection) + " " + note.text + "\n";
    return out;
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
    tarvotcpc::Transcript whole;
    FUZZ_CHECK(Read(text, text.size() + 1, whole));
    FUZZ_CHECK(Contents(whole) == Contents(second));
    return 0;
}
