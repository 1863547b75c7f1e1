// Saving what was exchanged: the raw save is the received bytes exactly, the text save of a known
// exchange is the checked-in file, a save that fails leaves nothing behind, and the log of a
// program killed mid-connection holds everything but the last moment.
#include "saves/saving.hpp"
#include "text/send_encoding.hpp"
#include "saves/session_log.hpp"
#include "saves/transcript_source.hpp"

#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <thread>

namespace tarvotcpc {
namespace {

using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

constexpr char kEmptyNote[] = "空のデータグラムを受信";

// A transcript held in memory, standing in for the page's own.
class ChunkList : public SavedTranscript {
  public:
    void Add(SavedDirection direction, int64_t timeUs, uint64_t connection, std::string bytes) {
        chunks_.push_back({{direction, timeUs, connection, bytes.size()}, std::move(bytes)});
    }
    void AddNote(int64_t timeUs, uint64_t connection, std::string text) {
        chunks_.push_back({SavedChunkInfo::Note(timeUs, connection, std::move(text)), {}});
    }
    std::size_t ChunkCount() const override { return chunks_.size(); }
    SavedChunkInfo Chunk(std::size_t index) const override { return chunks_[index].first; }
    std::size_t Read(std::size_t index, uint64_t offset, std::span<char> out) const override {
        const std::string &bytes = chunks_[index].second;
        const std::size_t n = std::min<std::size_t>(out.size(), bytes.size() - offset);
        std::memcpy(out.data(), bytes.data() + offset, n);
        return n;
    }

  private:
    std::vector<std::pair<SavedChunkInfo, std::string>> chunks_;
};

std::vector<std::string> Listing(const std::string &folder) {
    std::vector<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Runs a save to the end in small steps, checking that progress only grows.
SaveJob &RunSteps(SaveJob &job, int *steps = nullptr) {
    uint64_t before = 0;
    int count = 0;
    while (job.Step(64 * 1024)) {
        EXPECT_GE(job.BytesDone(), before);
        before = job.BytesDone();
        ++count;
    }
    if (steps) *steps = count;
    return job;
}

void UseUtc() {
    setenv("TZ", "UTC", 1);
    tzset();
}

TEST(Saving, RawSaveIsTheReceivedBytesExactly) {
    TempDir dir;
    std::mt19937 rng(3);
    ChunkList transcript;
    std::string received;
    // Every byte value, in chunks of every size, across two connections, with sent bytes between.
    for (int k = 0; received.size() < (5u << 20); ++k) {
        std::string chunk(1 + rng() % 70000, '\0');
        for (std::size_t i = 0; i < chunk.size(); ++i)
            chunk[i] = static_cast<char>((received.size() + i) * 7 + (i >> 8));
        received += chunk;
        transcript.Add(SavedDirection::Received, k, k < 40 ? 1 : 2, std::move(chunk));
        if (k % 3 == 0) transcript.Add(SavedDirection::Sent, k, k < 40 ? 1 : 2, "SENT\r\n");
    }
    WriteFile(dir.Path("out.bin"), "an older file of the same name");
    SaveJob job(transcript, SaveKind::RawReceived, dir.Path("out.bin"));
    int steps = 0;
    RunSteps(job, &steps);
    ASSERT_TRUE(job.Succeeded()) << job.Error();
    EXPECT_GT(steps, 50); // the window gets its turn between steps
    EXPECT_EQ(job.BytesDone(), received.size());
    EXPECT_EQ(job.BytesTotal(), received.size());
    EXPECT_TRUE(ReadFile(dir.Path("out.bin")) == received);
    EXPECT_EQ(Listing(dir.Path()), std::vector<std::string>{"out.bin"});
}

TEST(Saving, TextSaveOfAKnownExchangeMatchesTheExpectedFile) {
    UseUtc();
    TempDir dir;
    ChunkList t;
    const int64_t t0 = 1765200000123456; // 2025-12-08 13:20:00.123456 UTC
    t.Add(SavedDirection::Sent, t0, 1, "GET / HTTP/1.0\r\n\r\n");
    t.Add(SavedDirection::Received, t0 + 1500, 1, "HTTP/1.0 200 OK\r\nServer: x\r\n\r\n");
    // A note is one line, whatever its text holds.
    t.AddNote(t0 + 1600, 1, "STARTTLS: ここからTLS\r\n");
    // A character cut between two chunks comes out whole with the second.
    t.Add(SavedDirection::Received, t0 + 2000, 1, "こん\xE3\x81");
    t.Add(SavedDirection::Received, t0 + 2500, 1, "\xABちは\nbare LF, then a lone CR\r");
    t.Add(SavedDirection::Received, t0 + 3000, 1, std::string("\0\x01\x7F\tbad \xFF end", 13));
    t.Add(SavedDirection::Sent, t0 + 9000000, 2, "PING\n");
    t.Add(SavedDirection::Received, t0 + 9000001, 2, "cut \xE3\x81");
    SaveJob job(t, SaveKind::Text, dir.Path("exchange.txt"));
    RunSteps(job);
    ASSERT_TRUE(job.Succeeded()) << job.Error();
    EXPECT_EQ(ReadFile(dir.Path("exchange.txt")),
              ReadFile(TARVOTCPC_TEST_DATA "/exchange_expected.txt"));
}

// Saves and logs read back in the page's encoding what the send page wrote in it, wherever a
// chunk boundary cuts a character, and show a byte no character starts with as its box.
TEST(Saving, TextDecodesInThePagesEncodingAcrossAnyCut) {
    const std::string text = "住所: 東京都 カタカナ ABC、終わり";
    const std::pair<Encoding, SendEncoding> encodings[] = {
        {Encoding::ShiftJis, SendEncoding::ShiftJis},
        {Encoding::EucJp, SendEncoding::EucJp},
        {Encoding::Iso2022Jp, SendEncoding::Iso2022Jp},
        {Encoding::Utf8, SendEncoding::Utf8}};
    for (const auto &[view, send] : encodings) {
        const SendBytes bytes = EncodeForSend(text, send, LineEnding::None, false);
        ASSERT_TRUE(bytes.ok) << bytes.error;
        for (std::size_t cut = 0; cut <= bytes.bytes.size(); ++cut) {
            const std::string_view first = std::string_view(bytes.bytes).substr(0, cut);
            const std::string_view rest = std::string_view(bytes.bytes).substr(cut);
            // The cut a chunk's end: the next chunk completes what it cut.
            const std::unique_ptr<ChunkDecoder> decoder = ChunkDecodersFor(view)();
            std::string shown = decoder->Decode(first);
            shown += decoder->EndChunk([&] { return std::string(rest.substr(0, 8)); });
            shown += decoder->Decode(rest);
            shown += decoder->Finish();
            ASSERT_EQ(shown, text) << EncodingName(view) << " cut at " << cut;
            // With nothing after the chunk, its end shows what it holds as the record's end does.
            const std::unique_ptr<ChunkDecoder> ended = ChunkDecodersFor(view)();
            const std::unique_ptr<ChunkDecoder> finished = ChunkDecodersFor(view)();
            EXPECT_EQ(ended->Decode(first) + ended->EndChunk([] { return std::string(); }),
                      finished->Decode(first) + finished->Finish())
                << EncodingName(view) << " cut at " << cut;
        }
    }
    const std::unique_ptr<ChunkDecoder> sjis = ChunkDecodersFor(Encoding::ShiftJis)();
    EXPECT_EQ(sjis->Decode("a\xFF"
                           "b") +
                  sjis->Finish(),
              "a\xE2\x9F\xA8"
              "FF\xE2\x9F\xA9"
              "b");
}

// A transcript with notes added among random appends, read through TranscriptSource: the bytes of
// each direction and the notes come out in the order they were added, each note between the
// bytes before and after it, and a raw save leaves the notes out.
TEST(Saving, NotesStandAmongTheChunksWhereTheyWereAdded) {
    std::mt19937 rng(7);
    Transcript transcript;
    using Token = std::pair<std::string, std::string>; // "R", "S" or "N", and bytes or text
    std::vector<Token> added;
    std::string received;
    const auto addToken = [](std::vector<Token> &tokens, const std::string &kind,
                             const std::string &bytes) {
        if (kind != "N" && !tokens.empty() && tokens.back().first == kind)
            tokens.back().second += bytes;
        else
            tokens.emplace_back(kind, bytes);
    };
    for (int k = 0; k < 400; ++k) {
        const int64_t time = k / 3; // appends at one time merge into one chunk
        if (k % 50 == 25) transcript.BeginConnection(uint32_t(k));
        if (rng() % 5 == 0) {
            const std::string text = "note " + std::to_string(k);
            transcript.AddNote(text, time);
            added.emplace_back("N", text);
            continue;
        }
        const bool sent = rng() % 3 == 0;
        const std::string bytes(1 + rng() % 300, char('a' + k % 26));
        ASSERT_EQ(transcript.Append(sent ? Direction::Sent : Direction::Received, bytes.data(),
                                    bytes.size(), time),
                  0);
        addToken(added, sent ? "S" : "R", bytes);
        if (!sent) received += bytes;
    }
    TranscriptSource source(transcript);
    std::vector<Token> read;
    for (std::size_t i = 0; i < source.ChunkCount(); ++i) {
        const SavedChunkInfo chunk = source.Chunk(i);
        if (chunk.isNote) {
            EXPECT_EQ(chunk.size, 0u);
            addToken(read, "N", chunk.note);
            continue;
        }
        std::string bytes(chunk.size, '\0');
        ASSERT_EQ(source.Read(i, 0, bytes), bytes.size());
        addToken(read, chunk.direction == SavedDirection::Sent ? "S" : "R", bytes);
    }
    EXPECT_EQ(read, added);

    TempDir dir;
    SaveJob raw(source, SaveKind::RawReceived, dir.Path("raw.bin"));
    RunSteps(raw);
    ASSERT_TRUE(raw.Succeeded()) << raw.Error();
    EXPECT_TRUE(ReadFile(dir.Path("raw.bin")) == received);
}

// Datagrams that came within a microsecond of each other stay apart in the record: the text save
// writes a header for each with its size and decodes each on its own (a character cut between two
// shows as the bytes each holds), and the raw save is the received bytes as they are.
TEST(Saving, EachDatagramHasItsOwnHeaderInTheTextSave) {
    UseUtc();
    Transcript transcript;
    const int64_t t0 = 1765200000123456; // 2025-12-08 13:20:00.123456 UTC
    const std::pair<Direction, std::string> datagrams[] = {
        {Direction::Sent, "ping"},       {Direction::Received, "pong\r"},
        {Direction::Received, "\nnext"}, {Direction::Received, "こ\xE3\x82"},
        {Direction::Received, "\x93!"},
    };
    std::string received;
    for (const auto &[direction, bytes] : datagrams) {
        ASSERT_EQ(transcript.Append(direction, bytes.data(), bytes.size(), t0, true), 0);
        if (direction == Direction::Received) received += bytes;
    }
    transcript.AddNote(kEmptyNote, t0);
    TranscriptSource source(transcript);
    TempDir dir;
    SaveJob text(source, SaveKind::Text, dir.Path("udp.txt"));
    RunSteps(text);
    ASSERT_TRUE(text.Succeeded()) << text.Error();
    const std::string header = "[2025-12-08 13:20:00.123456 +0000] ";
    EXPECT_EQ(ReadFile(dir.Path("udp.txt")),
              header + "送信 #0 (データグラム 4バイト)\nping\n" +      //
                  header + "受信 #0 (データグラム 5バイト)\npong␍\n" + //
                  header + "受信 #0 (データグラム 5バイト)\n␊\nnext\n" + header +
                  "受信 #0 (データグラム 5バイト)\nこ⟨E3⟩⟨82⟩\n" + header +
                  "受信 #0 (データグラム 2バイト)\n⟨93⟩!\n" + header + "注記 #0 " + kEmptyNote +
                  "\n");
    SaveJob raw(source, SaveKind::RawReceived, dir.Path("udp.bin"));
    RunSteps(raw);
    ASSERT_TRUE(raw.Succeeded()) << raw.Error();
    EXPECT_EQ(ReadFile(dir.Path("udp.bin")), received);
}

TEST(Saving, FailedSaveLeavesNoFileAndSaysWhy) {
    TempDir dir;
    ChunkList t;
    t.Add(SavedDirection::Received, 0, 1, std::string(3u << 20, 'x'));
    WriteFile(dir.Path("plain"), "a regular file");

    // A path under a regular file.
    SaveJob under(t, SaveKind::RawReceived, dir.Path("plain/out.bin"));
    EXPECT_FALSE(under.Step());
    EXPECT_FALSE(under.Succeeded());
    EXPECT_NE(under.Error().find("フォルダーではない"), std::string::npos) << under.Error();

    // A full disk part way through, over an older file that must survive.
    WriteFile(dir.Path("out.txt"), "kept");
    std::size_t written = 0;
    const WriteSeam full = [&](int fd, const void *data, std::size_t size) -> ssize_t {
        if (written > (1u << 20)) {
            errno = ENOSPC;
            return -1;
        }
        const ssize_t n = ::write(fd, data, std::min<std::size_t>(size, 100000));
        written += n;
        return n;
    };
    for (const auto kind : {SaveKind::RawReceived, SaveKind::Text}) {
        written = 0;
        SaveJob job(t, kind, dir.Path("out.txt"), {}, full);
        RunSteps(job);
        EXPECT_FALSE(job.Succeeded());
        EXPECT_NE(job.Error().find("空きがありません"), std::string::npos) << job.Error();
    }
    EXPECT_EQ(ReadFile(dir.Path("out.txt")), "kept");

    // Cancelled half way.
    SaveJob cancelled(t, SaveKind::RawReceived, dir.Path("new.bin"));
    EXPECT_TRUE(cancelled.Step(1000));
    cancelled.Cancel();
    EXPECT_FALSE(cancelled.Step());
    EXPECT_EQ(Listing(dir.Path()), (std::vector<std::string>{"out.txt", "plain"}));
}

// A save over a file the user keeps private stays private, and one over a symbolic link replaces
// the file the link leads to (in that file's folder), the link kept; a new file follows the umask.
TEST(Saving, ReplacedFilesKeepTheirPermissionsAndLinks) {
    TempDir dir;
    ChunkList t;
    t.Add(SavedDirection::Received, 0, 1, "secret");
    std::filesystem::create_directory(dir.Path("real"));
    WriteFile(dir.Path("real/out.bin"), "old");
    chmod(dir.Path("real/out.bin").c_str(), 0600);
    ASSERT_EQ(symlink("real/out.bin", dir.Path("link.bin").c_str()), 0);
    for (const auto kind : {SaveKind::RawReceived, SaveKind::Text}) {
        for (const char *name : {"real/out.bin", "link.bin"}) {
            SaveJob job(t, kind, dir.Path(name));
            ASSERT_TRUE(RunSteps(job).Succeeded()) << job.Error();
            struct stat info {};
            ASSERT_EQ(stat(dir.Path("real/out.bin").c_str(), &info), 0);
            EXPECT_EQ(info.st_mode & 0777, 0600u) << name;
            EXPECT_TRUE(std::filesystem::is_symlink(dir.Path("link.bin"))) << name;
        }
    }
    EXPECT_NE(ReadFile(dir.Path("link.bin")).find("secret"), std::string::npos);
    EXPECT_EQ(Listing(dir.Path("real")), (std::vector<std::string>{"out.bin"}));

    const mode_t umaskBefore = umask(027);
    SaveJob fresh(t, SaveKind::RawReceived, dir.Path("new.bin"));
    const bool saved = RunSteps(fresh).Succeeded();
    umask(umaskBefore);
    ASSERT_TRUE(saved);
    struct stat info {};
    ASSERT_EQ(stat(dir.Path("new.bin").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u);
}

TEST(SessionLog, FileNamesAreSafeAndTimed) {
    UseUtc();
    EXPECT_EQ(SessionLogFileName("example.com:80", 1765200000123456),
              "20251208-132000_example.com_80.log");
    EXPECT_EQ(SessionLogFileName("[::1]:7/../x", 0), "19700101-000000____1__7_.._x.log");
}

TEST(SessionLog, UnwritableFolderOrFullDiskStopsLoggingWithAMessage) {
    TempDir dir;
    WriteFile(dir.Path("plain"), "x");
    const auto waitStopped = [](SessionLog &log) {
        for (int k = 0; k < 100 && !log.Stopped(); ++k)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return log.Stopped();
    };
    {
        SessionLog log(dir.Path("plain/logs"));
        log.StartConnection("host:1", 0, 1);
        log.Append(SavedDirection::Received, 0, "data");
        ASSERT_TRUE(waitStopped(log));
        const std::string error = log.TakeError();
        EXPECT_NE(error.find("フォルダーではない"), std::string::npos) << error;
        EXPECT_TRUE(log.TakeError().empty()); // said once
        log.Append(SavedDirection::Received, 0, "more, after the stop");
    }
    {
        const WriteSeam full = [](int, const void *, std::size_t) -> ssize_t {
            errno = ENOSPC;
            return -1;
        };
        SessionLog log(dir.Path(), {}, full);
        log.StartConnection("host:2", 0, 1);
        ASSERT_TRUE(waitStopped(log));
        EXPECT_NE(log.TakeError().find("空きがありません"), std::string::npos);
        log.Append(SavedDirection::Sent, 0, "the connection goes on");
        log.EndConnection();
    }
}

// A child logs a numbered line every 10 ms and is killed with SIGKILL; every line it handed to
// the log more than two seconds before the kill is in the file, in order, and nothing else is.
TEST(SessionLog, KilledProgramLosesOnlyTheLastMoment) {
    TempDir dir;
    int report[2];
    ASSERT_EQ(pipe(report), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(report[0]);
        SessionLog log(dir.Path());
        log.StartConnection("127.0.0.1:7000", 0, 1);
        for (uint32_t n = 1;; ++n) {
            log.Append(SavedDirection::Received, n, "line " + std::to_string(n) + "\n");
            if (write(report[1], &n, sizeof n) != sizeof n) _exit(1);
            usleep(10000);
        }
    }
    close(report[1]);
    using Clock = std::chrono::steady_clock;
    std::map<uint32_t, Clock::time_point> handed; // line number → when the child had logged it
    const auto end = Clock::now() + std::chrono::milliseconds(3500);
    while (Clock::now() < end) {
        pollfd p{report[0], POLLIN, 0};
        if (poll(&p, 1, 50) > 0) {
            uint32_t n;
            if (read(report[0], &n, sizeof n) == sizeof n) handed[n] = Clock::now();
        }
    }
    kill(child, SIGKILL);
    const auto killed = Clock::now();
    waitpid(child, nullptr, 0);
    close(report[0]);

    const auto files = Listing(dir.Path());
    ASSERT_EQ(files.size(), 1u);
    const std::string log = ReadFile(dir.Path(files[0]));
    // Bodies are "line N␊"; headers start with '['.
    uint32_t last = 0;
    std::size_t at = log.find('\n') + 1;
    while (at < log.size()) {
        const std::size_t eol = log.find('\n', at);
        ASSERT_NE(eol, std::string::npos) << "a torn record at the end";
        const std::string line = log.substr(at, eol - at);
        at = eol + 1;
        if (line.rfind("[", 0) == 0) continue;
        ASSERT_EQ(line, "line " + std::to_string(last + 1) + "\xE2\x90\x8A");
        ++last;
    }
    ASSERT_FALSE(handed.empty());
    EXPECT_GT(last, 0u);
    for (const auto &[n, when] : handed)
        if (n > last) {
            EXPECT_LT(killed - when, std::chrono::seconds(2)) << "line " << n << " was lost";
            break;
        }
}

} // namespace
} // namespace tarvotcpc
