// A text save read back: random records come back chunk for chunk from their text save, any text
// save is a fixed point of reading and writing again, the text printed without a window is the
// text save's file, and a file that is no text save is refused naming its line.
#include "saves/saving.hpp"
#include "saves/text_save_read.hpp"
#include "saves/transcript_source.hpp"

#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <random>

namespace tarvotcpc {
namespace {

using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

std::string TextOf(const Transcript &transcript) {
    std::string text;
    EXPECT_TRUE(WriteTranscriptText(TranscriptSource(transcript), {}, [&](std::string_view piece) {
        text.append(piece);
        return true;
    }));
    return text;
}

std::string ReadBack(const std::string &text, Transcript &into, std::mt19937 &random) {
    TextSaveReader reader(into);
    // Cut anywhere, as a file read in blocks is.
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t piece = std::uniform_int_distribution<std::size_t>(1, 40)(random);
        if (!reader.Feed(std::string_view(text).substr(at, piece))) break;
        at += piece;
    }
    reader.Finish();
    return reader.Error();
}

// Pieces a chunk is made of. Each stands for its bytes without doubt in a text save, and none
// leaves a character unfinished at a chunk's end.
const std::vector<std::string> kPlain = {
    "PING", " ",    "+OK",   "\r\n",      "\n", "\r", "\t", "日本語", "\x01", "\x1b[0m", "\x7f",
    "\xff", "\x80", "\xc3(", "\xe3\x81z", "[",  "]",  "#1", "⟨",      "⟩",    "g",
};
// Pieces a text save cannot tell from others: control pictures, ⟨XX⟩ boxes written as text.
const std::vector<std::string> kLookalikes = {"␍", "␊", "␉", "␀", "␡", "⟨41⟩", "⟨FF⟩", "⟨fe⟩"};

struct Generated {
    Transcript transcript;
    std::vector<std::string> notes;
};

void Generate(Transcript &transcript, std::mt19937 &random, bool lookalikes) {
    std::vector<std::string> pieces = kPlain;
    if (lookalikes) pieces.insert(pieces.end(), kLookalikes.begin(), kLookalikes.end());
    std::uniform_int_distribution<std::size_t> pick(0, pieces.size() - 1);
    // Around the present, and before 1970 too.
    int64_t timeUs = std::uniform_int_distribution<int64_t>(-100'000'000'000'000LL,
                                                            2'000'000'000'000'000LL)(random);
    uint32_t connection = std::uniform_int_distribution<uint32_t>(0, 3)(random);
    transcript.BeginConnection(connection);
    const int items = std::uniform_int_distribution<int>(0, 12)(random);
    for (int i = 0; i < items; ++i) {
        timeUs += std::uniform_int_distribution<int64_t>(0, 5000)(random);
        const int what = std::uniform_int_distribution<int>(0, 9)(random);
        if (what == 0) {
            connection += 1 + std::uniform_int_distribution<uint32_t>(0, 1000)(random);
            transcript.BeginConnection(connection);
        } else if (what == 1) {
            std::string note = "STARTTLS: ここからTLS";
            if (lookalikes) note += pieces[pick(random)] + "\n\x02\t" + pieces[pick(random)];
            transcript.AddNote(note, timeUs);
        } else {
            std::string bytes;
            const int count = std::uniform_int_distribution<int>(1, 8)(random);
            for (int k = 0; k < count; ++k)
                bytes += pieces[pick(random)];
            const Direction direction = what % 2 ? Direction::Sent : Direction::Received;
            // The headers of a save also carry an answer's time and a datagram's size.
            const uint64_t offset = transcript.Size();
            // (A datagram's size in its header tells bytes apart that look alike as text.)
            const bool datagram = what == 4 && !lookalikes;
            ASSERT_EQ(transcript.Append(direction, bytes.data(), bytes.size(), timeUs, datagram),
                      0);
            if (direction == Direction::Received && what == 6)
                transcript.AddReplyTime(offset, 1000 + i * 777);
        }
    }
}

std::string Bytes(const Transcript &transcript, const Chunk &chunk) {
    std::string bytes;
    EXPECT_TRUE(transcript.Read(chunk.offset, chunk.size, bytes));
    return bytes;
}

void UseZone(const char *zone) {
    setenv("TZ", zone, 1);
    tzset();
}

TEST(TextSaveRead, ARecordComesBackChunkForChunkFromItsTextSave) {
    std::mt19937 random(20240611);
    // Offsets west and east of Greenwich, by half hours, with summer time.
    for (const char *zone : {"UTC", "America/St_Johns", "Asia/Kolkata", "Australia/Lord_Howe"}) {
        UseZone(zone);
        for (int round = 0; round < 150; ++round) {
            Transcript original;
            Generate(original, random, false);
            const std::string text = TextOf(original);
            Transcript read;
            ASSERT_EQ(ReadBack(text, read, random), "") << text;
            ASSERT_EQ(read.Chunks().size(), original.Chunks().size()) << text;
            for (std::size_t i = 0; i < original.Chunks().size(); ++i) {
                const Chunk &a = original.Chunks()[i];
                const Chunk &b = read.Chunks()[i];
                EXPECT_EQ(b.direction, a.direction) << text;
                EXPECT_EQ(b.connection, a.connection) << text;
                EXPECT_EQ(b.timeUs, a.timeUs) << zone << "\n" << text;
                EXPECT_EQ(Bytes(read, b), Bytes(original, a)) << text;
            }
            ASSERT_EQ(read.Notes().size(), original.Notes().size()) << text;
            for (std::size_t i = 0; i < original.Notes().size(); ++i) {
                EXPECT_EQ(read.Notes()[i].text, original.Notes()[i].text);
                EXPECT_EQ(read.Notes()[i].offset, original.Notes()[i].offset);
                EXPECT_EQ(read.Notes()[i].timeUs, original.Notes()[i].timeUs);
            }
        }
    }
    UseZone("UTC");
}

// What a text save cannot tell apart is read one way, so that writing again gives the same text;
// and the text made for standard output is the text save's file, byte for byte.
TEST(TextSaveRead, AnyTextSaveIsTheSameTextOnceReadAndWrittenAgain) {
    TempDir dir;
    std::mt19937 random(7);
    UseZone("Europe/Berlin");
    for (int round = 0; round < 300; ++round) {
        Transcript original;
        Generate(original, random, true);
        const std::string text = TextOf(original);
        Transcript read;
        ASSERT_EQ(ReadBack(text, read, random), "") << text;
        ASSERT_EQ(TextOf(read), text);
        if (round % 50 == 0) {
            TranscriptSource source(original);
            SaveJob job(source, SaveKind::Text, dir.Path("save.txt"));
            while (job.Step(7)) {
            }
            ASSERT_TRUE(job.Succeeded()) << job.Error();
            EXPECT_EQ(ReadFile(dir.Path("save.txt")), text);
        }
    }
    UseZone("UTC");
}

TEST(TextSaveRead, AFileThatIsNoTextSaveIsRefusedNamingItsLine) {
    TempDir dir;
    Transcript into;
    EXPECT_NE(ReadTextSave(dir.Path("missing.txt"), into).error.find("missing.txt」を開けません"),
              std::string::npos);
    WriteFile(dir.Path("notes.txt"), "meeting notes\n[2024-01-01 00:00:00.000000 +0000] 受信 #1\n");
    const TextSaveReadOutcome outcome = ReadTextSave(dir.Path("notes.txt"), into);
    EXPECT_FALSE(outcome.ok);
    EXPECT_NE(outcome.error.find("1行目が「[時刻] 受信 #1」の形ではありません"), std::string::npos)
        << outcome.error;
    EXPECT_EQ(into.Size(), 0u);
    // A header with a month 13 is text, not a header: the file has none before it.
    WriteFile(dir.Path("bad.txt"), "[2024-13-01 00:00:00.000000 +0000] 受信 #1\nx\n");
    EXPECT_FALSE(ReadTextSave(dir.Path("bad.txt"), into).ok);
    // An empty file is an empty record.
    WriteFile(dir.Path("empty.txt"), "");
    EXPECT_TRUE(ReadTextSave(dir.Path("empty.txt"), into).ok);
}

} // namespace
} // namespace tarvotcpc
