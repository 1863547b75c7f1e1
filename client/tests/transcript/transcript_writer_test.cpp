// The transcript's file written from a thread of its own, as the window uses it: every byte reads
// back exactly whatever the writer is doing at the time (busy, slow, failing and trying again),
// and emptying the transcript in the middle of a write leaves the next one whole. Built with the
// connection code, so that the thread-sanitizer run covers it too.
#include "transcript/transcript.hpp"

#include "support/temp_dir.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>

namespace tarvotcpc {
namespace {

using namespace std::chrono_literals;

// A disk that is slow, now and then full, and writes at most half of what it is given.
struct UnsteadyDisk {
    std::atomic<bool> full{false};
    std::atomic<int> writes{0};
    ssize_t operator()(int fd, const void *data, std::size_t size, off_t offset) {
        const int n = ++writes;
        std::this_thread::sleep_for(std::chrono::microseconds(n % 5 * 40));
        if (full) {
            errno = ENOSPC;
            return -1;
        }
        return ::pwrite(fd, data, size > 1 ? size / 2 : size, offset);
    }
};

// Counts the writer's "written" calls, as a window would be woken by them.
class Written {
  public:
    void Tell() {
        std::lock_guard<std::mutex> lock(mutex_);
        ++count_;
        changed_.notify_all();
    }
    int Count() {
        std::lock_guard<std::mutex> lock(mutex_);
        return count_;
    }
    // Until a call after the seen-th one; a failed write calls nothing, hence the time limit.
    void WaitBeyond(int seen) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait_for(lock, 20ms, [&] { return count_ > seen; });
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int count_ = 0;
};

uint64_t BreaksOf(const std::string &bytes) {
    uint64_t n = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i)
        n += bytes[i] == '\n' || (bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] != '\n');
    return n;
}

TEST(TranscriptInBackground, EveryByteReadsBackWhateverTheWriterIsDoing) {
    testing::TempDir dir;
    auto disk = std::make_shared<UnsteadyDisk>();
    auto written = std::make_shared<Written>();
    TranscriptOptions options;
    options.directory = dir.Path();
    options.memoryLimit = 3000; // and so the write buffers: many writes, often busy
    options.background = true;
    options.write = [disk](int fd, const void *p, std::size_t n, off_t o) {
        return (*disk)(fd, p, n, o);
    };
    options.written = [written] { written->Tell(); };
    Transcript t(options);

    std::mt19937 rng(11);
    std::string expected;
    int busy = 0, failed = 0;
    for (int i = 0; i < 2500; ++i) {
        std::string piece(1 + rng() % (i % 5 == 0 ? 9000 : 200), '\0');
        for (char &c : piece) {
            const unsigned r = rng() % 40;
            c = r == 0 ? '\n' : r == 1 ? '\r' : static_cast<char>(rng());
        }
        disk->full = rng() % 13 == 0;
        for (;;) {
            const uint64_t size = t.Size();
            const int seen = written->Count();
            const int error = t.Append(Direction::Received, piece.data(), piece.size(), i);
            if (error == 0) break;
            ASSERT_TRUE(error == EAGAIN || error == ENOSPC) << error;
            ASSERT_EQ(t.Size(), size) << "a refused piece was taken in part";
            (error == EAGAIN ? busy : failed) += 1;
            disk->full = false; // the disk has room again; the failed write is tried again
            written->WaitBeyond(seen);
        }
        expected += piece;
        if (i % 7 == 0) {
            // Any range, so reads reach into the buffer being written and the one filling.
            const uint64_t from = rng() % expected.size();
            const std::size_t n = std::size_t(rng() % (expected.size() - from + 1));
            std::string got;
            ASSERT_TRUE(t.Read(from, n, got));
            ASSERT_EQ(got, expected.substr(std::size_t(from), n)) << "at " << from;
        }
    }
    EXPECT_GT(busy, 0);
    EXPECT_GT(failed, 0);
    EXPECT_TRUE(t.InFile());
    std::string all;
    ASSERT_TRUE(t.Read(0, t.Size(), all));
    EXPECT_EQ(all, expected);
    EXPECT_EQ(t.LineCount(Shown::Received), BreaksOf(expected) + 1);

    // Emptied while a write is under way: the next transcript starts from nothing and is whole.
    disk->full = false;
    const std::string big(20000, 'b');
    while (t.Append(Direction::Received, big.data(), big.size(), 0) == 0) {
    }
    t.Clear();
    EXPECT_EQ(t.Size(), 0u);
    std::string next;
    for (int i = 0; next.size() < 50000;) {
        const std::string piece = std::to_string(i) + "\n";
        const int seen = written->Count();
        if (t.Append(Direction::Received, piece.data(), piece.size(), i) != 0) {
            written->WaitBeyond(seen);
            continue;
        }
        next += piece;
        ++i;
    }
    std::string got;
    ASSERT_TRUE(t.Read(0, t.Size(), got));
    EXPECT_EQ(got, next);
}

} // namespace
} // namespace tarvotcpc
