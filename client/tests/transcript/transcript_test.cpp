#include "transcript/transcript.hpp"

#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace tarvotcpc {
namespace {

// The transcript as a plain list of bytes, each with its direction, whether a new connection
// starts at it and the datagram it belongs to (-1: none), and the line rule applied byte by byte.
struct Plain {
    std::string bytes;
    std::vector<Direction> dirs;
    std::vector<bool> partStarts;
    std::vector<int64_t> times;
    std::vector<int> datagrams;

    bool IsBreak(std::size_t p) const {
        if (bytes[p] == '\n') return true;
        if (bytes[p] != '\r') return false;
        const bool datagramEnds =
            datagrams[p] >= 0 && (p + 1 == bytes.size() || datagrams[p + 1] != datagrams[p]);
        if (datagramEnds) return true;
        if (p + 1 >= bytes.size()) return false;
        const bool datagramStarts = datagrams[p + 1] >= 0 && datagrams[p + 1] != datagrams[p];
        return partStarts[p + 1] || dirs[p + 1] != dirs[p] || datagramStarts ||
               bytes[p + 1] != '\n';
    }
    std::vector<uint64_t> Breaks(Shown shown) const {
        std::vector<uint64_t> out;
        for (std::size_t p = 0; p < bytes.size(); ++p)
            if (Shows(shown, dirs[p]) && IsBreak(p)) out.push_back(p);
        return out;
    }
};

std::string RandomBytes(std::mt19937 &rng, std::size_t n) {
    static const char alphabet[] = "ab\r\n\r\n\0\x80\xff  ";
    std::string s(n, 'x');
    // Mostly short lines, now and then a run far longer than a block.
    const bool longRun = rng() % 8 == 0;
    for (auto &c : s)
        c = longRun && rng() % 4096 != 0 ? 'y' : alphabet[rng() % (sizeof alphabet - 1)];
    return s;
}

const Shown kShown[] = {Shown::Received, Shown::Sent, Shown::Both};

TEST(Transcript, KeepsExactBytesAndFindsLinesWhateverTheChunking) {
    std::mt19937 rng(1234);
    testing::TempDir dir;
    for (int round = 0; round < 12; ++round) {
        TranscriptOptions options;
        options.directory = dir.Path();
        const std::size_t limits[] = {0, 1000, 200000, std::size_t{8} << 20};
        options.memoryLimit = limits[round % 4]; // nothing, little, several blocks, all in memory
        Transcript t(options);
        Plain plain;
        const std::size_t total = 1000 + rng() % 400000;
        int64_t now = 1'700'000'000'000'000;
        uint32_t connection = 1;
        bool newPart = true;
        int datagramCount = 0;
        while (plain.bytes.size() < total) {
            if (rng() % 50 == 0) {
                t.BeginConnection(++connection);
                newPart = true;
            }
            const Direction d = rng() % 4 == 0 ? Direction::Sent : Direction::Received;
            const std::size_t n = rng() % 3 == 0 ? 1 + rng() % 4 : 1 + rng() % 30000;
            const std::string piece = RandomBytes(rng, n);
            // Mostly close together, so that chunks merge, now and then well apart.
            now += rng() % 8 == 0 ? int64_t(rng() % 3000) : int64_t(rng() % 3);
            // Now and then a datagram, which keeps its bounds however soon the next comes.
            const int datagram = rng() % 5 == 0 ? datagramCount++ : -1;
            ASSERT_EQ(t.Append(d, piece.data(), piece.size(), now, datagram >= 0), 0);
            for (std::size_t i = 0; i < n; ++i) {
                plain.dirs.push_back(d);
                plain.partStarts.push_back(newPart && i == 0);
                plain.times.push_back(now);
                plain.datagrams.push_back(datagram);
            }
            plain.bytes += piece;
            newPart = false;
        }
        ASSERT_EQ(t.Size(), plain.bytes.size());
        EXPECT_EQ(t.InFile(), plain.bytes.size() > options.memoryLimit);
        std::string all;
        ASSERT_TRUE(t.Read(0, plain.bytes.size(), all));
        ASSERT_EQ(all, plain.bytes);
        for (int k = 0; k < 50; ++k) {
            const uint64_t a = rng() % t.Size(), n = rng() % (t.Size() - a + 1);
            std::string part;
            ASSERT_TRUE(t.Read(a, n, part));
            ASSERT_EQ(part, plain.bytes.substr(a, n));
        }
        std::string past;
        EXPECT_FALSE(t.Read(t.Size(), 1, past));

        // Chunks cover the transcript in order with the right metadata: one direction and
        // connection each, at the time of their first byte, holding what came within the merge
        // window of it; a datagram is a chunk of its own, exactly.
        uint64_t covered = 0;
        for (const Chunk &c : t.Chunks()) {
            ASSERT_EQ(c.offset, covered);
            EXPECT_EQ(c.timeUs, plain.times[c.offset]);
            EXPECT_EQ(c.startsPart, bool(plain.partStarts[c.offset]));
            const int datagram = plain.datagrams[c.offset];
            ASSERT_EQ(c.datagram, datagram >= 0);
            ASSERT_TRUE(c.End() == t.Size() || plain.datagrams[c.End()] < 0 ||
                        plain.datagrams[c.End()] != datagram);
            for (uint64_t p = c.offset; p < c.End(); ++p) {
                ASSERT_EQ(c.direction, plain.dirs[p]);
                ASSERT_TRUE(p == c.offset || !plain.partStarts[p]);
                ASSERT_LE(plain.times[p] - c.timeUs, Transcript::kMergeWindowUs);
                ASSERT_EQ(plain.datagrams[p], datagram);
            }
            covered = c.End();
        }
        EXPECT_EQ(covered, t.Size());

        for (const Shown shown : kShown) {
            const auto breaks = plain.Breaks(shown);
            ASSERT_EQ(t.LineCount(shown), breaks.size() + 1);
            EXPECT_EQ(t.LineStart(shown, 0), 0u);
            EXPECT_EQ(t.LineStart(shown, breaks.size() + 1), t.Size());
            for (int k = 0; k < 60 && !breaks.empty(); ++k) {
                const std::size_t line = 1 + rng() % breaks.size();
                ASSERT_EQ(t.LineStart(shown, line), breaks[line - 1] + 1) << line;
                const uint64_t offset = rng() % (t.Size() + 1);
                const auto expected =
                    std::lower_bound(breaks.begin(), breaks.end(), offset) - breaks.begin();
                ASSERT_EQ(t.LineAt(shown, offset), uint64_t(expected)) << offset;
            }
        }
        // Times are told to the chunk: what came before the answer came before the time (or
        // within the window of a chunk that began before it), the byte at it at or after.
        for (int k = 0; k < 30; ++k) {
            const int64_t when = plain.times[rng() % plain.times.size()] + int64_t(rng() % 2);
            const uint64_t at = t.OffsetAtTime(when);
            ASSERT_LE(at, t.Size());
            if (at < t.Size()) {
                EXPECT_EQ(t.Chunks()[t.ChunkAt(at)].offset, at);
                EXPECT_GE(plain.times[at], when);
            }
            if (at > 0) {
                EXPECT_LT(plain.times[t.Chunks()[t.ChunkAt(at - 1)].offset], when);
            }
        }

        const uint64_t generation = t.Generation();
        t.Clear();
        EXPECT_EQ(t.Size(), 0u);
        EXPECT_FALSE(t.InFile());
        EXPECT_TRUE(t.Chunks().empty());
        EXPECT_EQ(t.LineCount(Shown::Both), 1u);
        EXPECT_NE(t.Generation(), generation);
    }
}

// A peer that drips its answer in tiny segments, read as fast as they come: the index stays a
// small fraction of the bytes, and the bytes read back whole.
TEST(Transcript, DrippedBytesCostLittleIndex) {
    Transcript t;
    std::string sent;
    int64_t now = 1'700'000'000'000'000;
    for (int i = 0; i < 10000; ++i) {
        const std::string piece(40, char('a' + i % 26));
        now += 5 + i % 10;
        ASSERT_EQ(t.Append(Direction::Received, piece.data(), piece.size(), now), 0);
        sent += piece;
    }
    EXPECT_LT(t.IndexBytes(), t.Size() / 20) << t.Chunks().size() << " chunks";
    std::string back;
    ASSERT_TRUE(t.Read(0, t.Size(), back));
    EXPECT_EQ(back, sent);
}

TEST(Transcript, CrLfSplitBetweenAppendsIsOneBreakButNotAcrossDirectionsOrConnections) {
    Transcript t;
    const auto append = [&](Direction d, const char *s) {
        ASSERT_EQ(t.Append(d, s, std::strlen(s), 0), 0);
    };
    append(Direction::Received, "a\r");
    EXPECT_EQ(t.LineCount(Shown::Received), 1u) << "a trailing CR waits";
    append(Direction::Received, "\nb\r");
    EXPECT_EQ(t.LineCount(Shown::Received), 2u);
    append(Direction::Sent, "\n");
    EXPECT_EQ(t.LineCount(Shown::Received), 3u) << "the LF belongs to the other side";
    append(Direction::Received, "c\r");
    t.BeginConnection(2);
    append(Direction::Received, "\n");
    EXPECT_EQ(t.LineCount(Shown::Received), 5u) << "a new connection ends the CR's line";
    EXPECT_EQ(t.LineStart(Shown::Received, 4), t.Size());
}

// A writer that fails with ENOSPC while the disk is "full" and writes for real otherwise.
struct FullDisk {
    bool full = false;
    int calls = 0;
    ssize_t operator()(int fd, const void *data, std::size_t size, off_t offset) {
        ++calls;
        if (full) {
            errno = ENOSPC;
            return -1;
        }
        // Half of each write first, to show that short writes are carried on.
        return ::pwrite(fd, data, size > 1 ? size / 2 : size, offset);
    }
};

TEST(Transcript, AFullDiskRefusesAppendsWithoutLosingAnything) {
    testing::TempDir dir;
    auto disk = std::make_shared<FullDisk>();
    TranscriptOptions options;
    options.directory = dir.Path();
    options.memoryLimit = 5000;
    options.write = [disk](int fd, const void *p, std::size_t n, off_t o) {
        return (*disk)(fd, p, n, o);
    };
    Transcript t(options);
    std::mt19937 rng(7);
    std::string expected;
    int refused = 0;
    for (int i = 0; i < 400; ++i) {
        const std::string piece = RandomBytes(rng, 1 + rng() % (i % 3 == 0 ? 3000 : 40));
        disk->full = rng() % 3 == 0;
        const uint64_t size = t.Size(), lines = t.LineCount(Shown::Both);
        const std::size_t chunks = t.Chunks().size();
        int error = t.Append(Direction::Received, piece.data(), piece.size(), i);
        if (error != 0) {
            ++refused;
            EXPECT_EQ(error, ENOSPC);
            EXPECT_EQ(t.Size(), size);
            EXPECT_EQ(t.LineCount(Shown::Both), lines);
            EXPECT_EQ(t.Chunks().size(), chunks);
            disk->full = false; // space comes back; the caller offers the same bytes again
            error = t.Append(Direction::Received, piece.data(), piece.size(), i);
        }
        ASSERT_EQ(error, 0);
        expected += piece;
    }
    EXPECT_GT(refused, 10);
    EXPECT_TRUE(t.InFile());
    std::string all;
    ASSERT_TRUE(t.Read(0, t.Size(), all));
    EXPECT_EQ(all, expected);
    Plain plain{expected,
                std::vector<Direction>(expected.size(), Direction::Received),
                std::vector<bool>(expected.size(), false),
                {},
                std::vector<int>(expected.size(), -1)};
    EXPECT_EQ(t.LineCount(Shown::Received), plain.Breaks(Shown::Received).size() + 1);
}

TEST(Transcript, UnwritableFolderIsReportedAndTheBytesStayOffered) {
    TranscriptOptions options;
    options.directory = "/nonexistent-folder-for-the-transcript";
    options.memoryLimit = 10;
    Transcript t(options);
    ASSERT_EQ(t.Append(Direction::Received, "0123456789", 10, 0), 0);
    EXPECT_NE(t.Append(Direction::Received, "x", 1, 0), 0);
    EXPECT_EQ(t.Size(), 10u);
}

uint64_t RssAnonKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("RssAnon:", 0) == 0) return std::stoull(line.substr(8));
    return 0;
}

// 2^32 bytes through the store. The file stays sparse: the writer writes only the sampled
// stretches and reports the rest as written, so the disk is spared; the index still sees every
// byte.
TEST(Transcript, FourGibibytesPassWithSmallAnonymousMemory) {
    constexpr std::size_t kPiece = std::size_t{1} << 20;
    constexpr uint64_t kTotal = uint64_t{1} << 32, kPieces = kTotal / kPiece;
    std::string piece(kPiece, 'z');
    std::mt19937 rng(99);
    for (std::size_t i = 16; i + 1 < kPiece; i += 1 + rng() % 400) {
        piece[i] = rng() % 3 == 0 ? '\r' : '\n';
        if (piece[i] == '\r' && rng() % 2 == 0) piece[i + 1] = '\n';
    }
    piece.back() = '\n';
    uint64_t breaksPerPiece = 0; // the next piece starts with its stamp, never with an LF
    for (std::size_t i = 0; i < kPiece; ++i)
        breaksPerPiece += piece[i] == '\n' || (piece[i] == '\r' && piece[i + 1] != '\n');
    const uint64_t sampled[] = {0, 1, 777, 2048, kPieces - 1};
    const auto isSampled = [&](uint64_t from, uint64_t to) {
        for (uint64_t s : sampled)
            if (from < (s + 1) * kPiece && s * kPiece < to) return true;
        return false;
    };

    // Each piece a chunk of its own.
    const auto PieceTime = [](uint64_t i) { return int64_t(i) * (Transcript::kMergeWindowUs + 1); };

    testing::TempDir dir;
    TranscriptOptions options;
    options.directory = dir.Path();
    options.write = [&](int fd, const void *p, std::size_t n, off_t o) -> ssize_t {
        if (!isSampled(uint64_t(o), uint64_t(o) + n)) return ssize_t(n);
        return ::pwrite(fd, p, n, o);
    };
    const uint64_t before = RssAnonKiB();
    Transcript t(options);
    char stamp[17];
    for (uint64_t i = 0; i < kPieces; ++i) {
        std::snprintf(stamp, sizeof stamp, "%016llx", static_cast<unsigned long long>(i));
        piece.replace(0, 16, stamp);
        ASSERT_EQ(t.Append(Direction::Received, piece.data(), piece.size(), PieceTime(i)), 0);
    }
    const uint64_t growth = RssAnonKiB() - before;
    EXPECT_LT(growth, 48u * 1024) << "KiB of anonymous memory for 4 GiB";
    ASSERT_EQ(t.Size(), kTotal);
    EXPECT_EQ(t.LineCount(Shown::Received), kPieces * breaksPerPiece + 1);
    std::string got;
    for (uint64_t s : sampled) {
        std::snprintf(stamp, sizeof stamp, "%016llx", static_cast<unsigned long long>(s));
        piece.replace(0, 16, stamp);
        ASSERT_TRUE(t.Read(s * kPiece, kPiece, got));
        EXPECT_EQ(got, piece) << s;
        EXPECT_EQ(t.LineAt(Shown::Received, s * kPiece), s * breaksPerPiece);
        EXPECT_EQ(t.LineStart(Shown::Received, s * breaksPerPiece + 1),
                  s * kPiece + piece.find_first_of("\r\n") + 1);
        EXPECT_EQ(t.OffsetAtTime(PieceTime(s)), s * kPiece);
    }
    std::printf("anonymous memory grew by %llu KiB for 4 GiB\n",
                static_cast<unsigned long long>(growth));
}

} // namespace
} // namespace tarvotcpc
