// A text save read back: random records come back chunk for chunk from their text save, any text
// save is a fixed point of reading and writing again, a character cut between chunks moves only
// when the next chunk completes it, the text printed without a window is the
// text save's file, and a file that is no text save is refused naming its line.
#include "saves/saving.hpp"
#include "saves/text_save_read.hpp"
#include "saves/transcript_source.hpp"
#include "text/utf8_char.hpp"

#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
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
// Text that looks like a header or a note where a line starts.
const std::vector<std::string> kHeaderLike = {
    "\n[2024-01-01 00:00:00.000000 +0000] 受信 #7",
    "\n[-1-12-31 23:59:59.000000 -0330] 注記 #2 x\n",
};
// Pieces a text save cannot tell from others: control pictures, ⟨XX⟩ boxes written as text.
const std::vector<std::string> kLookalikes = {"␍", "␊", "␉", "␀", "␡", "⟨41⟩", "⟨FF⟩", "⟨fe⟩"};

struct Generated {
    Transcript transcript;
    std::vector<std::string> notes;
};

void Generate(Transcript &transcript, std::mt19937 &random, bool lookalikes) {
    std::vector<std::string> pieces = kPlain;
    pieces.insert(pieces.end(), kHeaderLike.begin(), kHeaderLike.end());
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

// The bytes of one connection's direction, in order, and where its chunks begin in them.
struct Stream {
    std::string bytes;
    std::vector<std::size_t> starts;
};

std::map<std::pair<uint32_t, Direction>, Stream> Streams(const Transcript &transcript) {
    std::map<std::pair<uint32_t, Direction>, Stream> streams;
    for (const Chunk &chunk : transcript.Chunks()) {
        Stream &stream = streams[{chunk.connection, chunk.direction}];
        stream.starts.push_back(stream.bytes.size());
        stream.bytes += Bytes(transcript, chunk);
    }
    return streams;
}

// Chunks that end inside a character: a lead byte or two, and what may or may not continue them.
// No byte may change its direction or chunk unless it is a character that truly spans two chunks
// of one stream, which the save shows whole with the later chunk; once read back, the record and
// its text are fixed points, and the text without a window is the saved file.
TEST(TextSaveRead, ACharacterCutBetweenChunksMovesOnlyWhenTheNextChunkCompletesIt) {
    TempDir dir;
    std::mt19937 random(11);
    const std::vector<std::string> pieces = {"\xe3",     "\xe3\x81", "\x81", "\x81\x82",
                                             "\xe2\x80", "\xd7",     "\x8a", "\xf0\x9f",
                                             "\x98\x80", "A",        "\n",   "\xe0"};
    std::uniform_int_distribution<std::size_t> pick(0, pieces.size() - 1);
    for (int round = 0; round < 400; ++round) {
        Transcript original;
        int64_t timeUs = 1'700'000'000'000'000LL;
        uint32_t connection = 1;
        original.BeginConnection(connection);
        const int items = std::uniform_int_distribution<int>(1, 10)(random);
        for (int i = 0; i < items; ++i) {
            // Apart by more than the merging window, so that every append is a chunk.
            timeUs += 1'000'000;
            const int what = std::uniform_int_distribution<int>(0, 12)(random);
            if (what == 0) {
                original.BeginConnection(++connection);
            } else if (what == 1) {
                original.AddNote("n", timeUs);
            } else {
                std::string bytes;
                for (int k = std::uniform_int_distribution<int>(1, 3)(random); k > 0; --k)
                    bytes += pieces[pick(random)];
                ASSERT_EQ(original.Append(what % 2 ? Direction::Sent : Direction::Received,
                                          bytes.data(), bytes.size(), timeUs, what == 4),
                          0);
            }
        }
        const std::string text = TextOf(original);
        Transcript read;
        ASSERT_EQ(ReadBack(text, read, random), "") << text;
        ASSERT_EQ(read.Chunks().size(), original.Chunks().size()) << text;
        for (std::size_t i = 0; i < read.Chunks().size(); ++i) {
            EXPECT_EQ(read.Chunks()[i].connection, original.Chunks()[i].connection) << text;
            EXPECT_EQ(read.Chunks()[i].direction, original.Chunks()[i].direction) << text;
            EXPECT_EQ(read.Chunks()[i].datagram, original.Chunks()[i].datagram) << text;
            // A datagram is decoded on its own: nothing moves into it or out of it.
            if (original.Chunks()[i].datagram) {
                EXPECT_EQ(Bytes(read, read.Chunks()[i]), Bytes(original, original.Chunks()[i]))
                    << text;
            }
        }
        const auto before = Streams(original);
        const auto after = Streams(read);
        ASSERT_EQ(after.size(), before.size()) << text;
        for (const auto &[key, stream] : before) {
            const Stream &moved = after.at(key);
            ASSERT_EQ(moved.bytes, stream.bytes) << text;
            for (std::size_t k = 0; k < stream.starts.size(); ++k) {
                const std::size_t from = stream.starts[k], to = moved.starts[k];
                if (to == from) continue;
                // Only back to the start of a whole character that runs past the old start.
                const std::size_t length = Utf8CharLength(stream.bytes, to);
                EXPECT_TRUE(to < from && length > 0 && to + length > from) << text;
            }
        }
        const std::string again = TextOf(read);
        EXPECT_EQ(again, text);
        Transcript third;
        ASSERT_EQ(ReadBack(again, third, random), "");
        ASSERT_EQ(third.Chunks().size(), read.Chunks().size());
        for (std::size_t i = 0; i < read.Chunks().size(); ++i)
            EXPECT_EQ(Bytes(third, third.Chunks()[i]), Bytes(read, read.Chunks()[i])) << again;
        if (round % 4 == 0) {
            TranscriptSource source(original);
            SaveJob job(source, SaveKind::Text, dir.Path("save.txt"));
            while (job.Step(3)) {
            }
            ASSERT_TRUE(job.Succeeded()) << job.Error();
            EXPECT_EQ(ReadFile(dir.Path("save.txt")), text);
        }
    }
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
