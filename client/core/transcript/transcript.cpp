#include "transcript/transcript.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

namespace tarvotcpc {

namespace {

// Once in a file, small appends gather here so that a flood of small reads costs few writes.
constexpr std::size_t kWriteBuffer = std::size_t{512} << 10;
// How long an append waits for a busy writer before it answers EAGAIN.
constexpr auto kBriefWait = std::chrono::milliseconds(2);

int WriteAll(const TranscriptOptions &options, int fd, const char *data, std::size_t size,
             uint64_t offset) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = options.write
                              ? options.write(fd, data + done, size - done, off_t(offset + done))
                              : ::pwrite(fd, data + done, size - done, off_t(offset + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno != 0 ? errno : EIO;
        }
        if (n == 0) return EIO;
        done += std::size_t(n);
    }
    return 0;
}

int OpenUnlinkedIn(const std::string &dir) {
#ifdef O_TMPFILE
    const int fd = ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0) return fd;
#endif
    std::string pattern = dir + "/tarvotcpc-transcript-XXXXXX";
    const int tmp = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (tmp < 0) return -1;
    ::unlink(pattern.c_str());
    return tmp;
}

} // namespace

// One write at a time, either at once on the caller's thread or on a thread of its own.
class Transcript::Writer {
  public:
    explicit Writer(const TranscriptOptions &options) : options_(options) {
        if (options_.background) thread_ = std::thread([this] { Run(); });
    }
    ~Writer() {
        if (!thread_.joinable()) return;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            quit_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }
    Writer(const Writer &) = delete;
    Writer &operator=(const Writer &) = delete;

    // data stays untouched by the caller until Result answers.
    void Start(int fd, const char *data, std::size_t size, uint64_t offset) {
        if (!thread_.joinable()) {
            result_ = WriteAll(options_, fd, data, size, offset);
            return;
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            job_ = Job{fd, data, size, offset};
            busy_ = true;
        }
        wake_.notify_all();
    }
    // The last write's errno (0: written), or nothing while it goes on.
    std::optional<int> Result() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (busy_) return std::nullopt;
        return result_;
    }
    void Wait() {
        std::unique_lock<std::mutex> lock(mutex_);
        done_.wait(lock, [this] { return !busy_; });
    }
    void WaitFor(std::chrono::steady_clock::duration span) {
        std::unique_lock<std::mutex> lock(mutex_);
        done_.wait_for(lock, span, [this] { return !busy_; });
    }

  private:
    struct Job {
        int fd;
        const char *data;
        std::size_t size;
        uint64_t offset;
    };

    void Run() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            wake_.wait(lock, [this] { return quit_ || job_; });
            if (!job_) return;
            const Job job = *std::exchange(job_, std::nullopt);
            lock.unlock();
            const int result = WriteAll(options_, job.fd, job.data, job.size, job.offset);
            lock.lock();
            result_ = result;
            busy_ = false;
            done_.notify_all();
            // Only a success is told: a failure is tried again at the caller's pace.
            if (result == 0 && options_.written) {
                lock.unlock();
                options_.written();
                lock.lock();
            }
        }
    }

    const TranscriptOptions &options_;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable wake_, done_;
    std::optional<Job> job_;
    bool busy_ = false;
    bool quit_ = false;
    int result_ = 0;
};

Transcript::Transcript(TranscriptOptions options) : options_(std::move(options)) {}

Transcript::~Transcript() {
    Clear();
}

void Transcript::Clear() {
    if (writer_) writer_->Wait(); // its buffer and file go next
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    fileSize_ = 0;
    std::string().swap(flying_);
    writeError_ = 0;
    std::string().swap(tail_);
    size_ = 0;
    std::vector<Chunk>().swap(chunks_);
    std::vector<Block>().swap(blocks_);
    std::vector<Note>().swap(notes_);
    afterNote_ = false;
    pendingCr_ = false;
    newPart_ = true;
    ++generation_;
}

void Transcript::BeginConnection(uint32_t connection) {
    if (pendingCr_) CountBreak(size_ - 1, chunks_.back().direction);
    pendingCr_ = false;
    connection_ = connection;
    newPart_ = true;
}

void Transcript::AddNote(std::string text, int64_t timeUs) {
    notes_.push_back(Note{size_, timeUs, connection_, std::move(text)});
    afterNote_ = true;
}

int Transcript::OpenFile() {
    std::vector<std::string> dirs;
    if (!options_.directory.empty()) {
        dirs.push_back(options_.directory);
    } else {
        if (const char *cache = std::getenv("XDG_CACHE_HOME"); cache != nullptr && *cache != 0)
            dirs.emplace_back(cache);
        dirs.emplace_back("/tmp");
    }
    int error = ENOENT;
    for (const auto &dir : dirs) {
        fd_ = OpenUnlinkedIn(dir);
        if (fd_ >= 0) return 0;
        error = errno;
    }
    return error;
}

int Transcript::Reap() {
    if (flying_.empty()) return 0;
    std::optional<int> result = writer_->Result();
    if (!result) return writeError_; // still writing; a retry still counts as the failure
    if (*result != 0) {
        writeError_ = *result;
        writer_->Start(fd_, flying_.data(), flying_.size(), fileSize_);
        result = writer_->Result(); // known at once when not in the background
        if (!result) return writeError_;
        if (*result != 0) return writeError_ = *result;
    }
    fileSize_ += flying_.size();
    flying_.clear();
    writeError_ = 0;
    return 0;
}

void Transcript::Launch() {
    std::swap(flying_, tail_);
    if (!writer_) writer_ = std::make_unique<Writer>(options_);
    writer_->Start(fd_, flying_.data(), flying_.size(), fileSize_);
}

int Transcript::Store(const char *bytes, std::size_t size) {
    if (const int error = Reap()) return error;
    const std::size_t buffer = std::min(options_.memoryLimit, kWriteBuffer);
    const std::size_t limit = fd_ < 0 ? options_.memoryLimit : buffer;
    if (tail_.size() + size <= limit) {
        // The whole buffer at once: growing it by doubling would free a large block at each
        // step, which makes the allocator keep large blocks rather than hand them back. Pages
        // not written yet take no memory.
        if (tail_.capacity() < limit && limit <= kWriteBuffer) tail_.reserve(limit);
        tail_.append(bytes, size);
        return 0;
    }
    if (fd_ < 0)
        if (const int error = OpenFile()) return error;
    if (!tail_.empty()) {
        if (!flying_.empty()) {
            // The writer has not finished the last buffer; mostly it has only not been given a
            // processor yet, and a brief wait here hands it this thread's. Only a writer that is
            // really behind (a disk the kernel throttles) makes the caller come back later.
            writer_->WaitFor(kBriefWait);
            if (const int error = Reap()) return error;
            if (!flying_.empty()) return EAGAIN;
        }
        Launch();
        if (tail_.capacity() < buffer) tail_.reserve(buffer);
        // Written at once and failed: the bytes wait in flying_, and the next call tries again.
        if (const std::optional<int> result = writer_->Result(); result && *result != 0)
            return writeError_ = *result;
    }
    // A piece larger than the buffer is held whole until the next call hands it on.
    tail_.append(bytes, size);
    return 0;
}

int Transcript::Append(Direction direction, const void *data, std::size_t size, int64_t timeUs,
                       bool datagram) {
    if (size == 0) return 0;
    const char *bytes = static_cast<const char *>(data);
    if (const int error = Store(bytes, size)) return error;

    if (pendingCr_) {
        const Chunk &last = chunks_.back();
        if (newPart_ || last.direction != direction || datagram || bytes[0] != '\n')
            CountBreak(size_ - 1, last.direction);
        pendingCr_ = false;
    }
    // A peer that drips its answer in tiny segments would otherwise cost a chunk per read, and
    // the chunks' index would outgrow the bytes. A note stands between what came before and after.
    // A datagram keeps its own bounds, however close in time the next one comes.
    if (!newPart_ && !afterNote_ && !datagram && !chunks_.empty() && !chunks_.back().datagram &&
        chunks_.back().direction == direction && timeUs >= chunks_.back().timeUs &&
        timeUs - chunks_.back().timeUs <= kMergeWindowUs) {
        chunks_.back().size += size;
    } else {
        chunks_.push_back(Chunk{size_, size, timeUs, connection_, direction, newPart_, datagram});
    }
    newPart_ = false;
    afterNote_ = false;
    Index(direction, bytes, size, timeUs, datagram);
    size_ += size;
    return 0;
}

void Transcript::CountBreak(uint64_t at, Direction direction) {
    ++blocks_[at / kBlockSize].breaks[static_cast<int>(direction)];
}

void Transcript::Index(Direction direction, const char *bytes, std::size_t size, int64_t timeUs,
                       bool datagram) {
    const int d = static_cast<int>(direction);
    std::size_t i = 0;
    while (i < size) {
        const uint64_t at = size_ + i;
        const std::size_t block = at / kBlockSize;
        if (block == blocks_.size()) {
            Block next{};
            if (!blocks_.empty()) {
                const Block &prev = blocks_.back();
                for (int k = 0; k < 2; ++k)
                    next.breaksBefore[k] = prev.breaksBefore[k] + prev.breaks[k];
            }
            next.firstTimeUs = timeUs;
            blocks_.push_back(next);
        }
        const std::size_t end = std::min<std::size_t>(size, i + ((block + 1) * kBlockSize - at));
        uint32_t breaks = 0;
        for (const char *p = bytes + i, *stop = bytes + end;
             (p = static_cast<const char *>(std::memchr(p, '\n', std::size_t(stop - p))));)
            ++breaks, ++p;
        for (const char *p = bytes + i, *stop = bytes + end;
             (p = static_cast<const char *>(std::memchr(p, '\r', std::size_t(stop - p)))); ++p) {
            if (p + 1 == bytes + size && datagram)
                ++breaks; // the datagram is whole: nothing can follow its CR
            else if (p + 1 == bytes + size)
                pendingCr_ = true;
            else if (p[1] != '\n')
                ++breaks;
        }
        blocks_[block].breaks[d] += breaks;
        i = end;
    }
}

bool Transcript::Read(uint64_t offset, std::size_t size, char *out) const {
    if (offset > size_ || size > size_ - offset) return false;
    std::size_t done = 0;
    while (done < size && offset + done < fileSize_) {
        const std::size_t want =
            std::size_t(std::min<uint64_t>(size - done, fileSize_ - offset - done));
        const ssize_t n = ::pread(fd_, out + done, want, off_t(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += std::size_t(n);
    }
    const uint64_t flyingEnd = fileSize_ + flying_.size();
    if (done < size && offset + done < flyingEnd) {
        const std::size_t n =
            std::size_t(std::min<uint64_t>(size - done, flyingEnd - offset - done));
        std::memcpy(out + done, flying_.data() + (offset + done - fileSize_), n);
        done += n;
    }
    if (done < size)
        std::memcpy(out + done, tail_.data() + (offset + done - flyingEnd), size - done);
    return true;
}

bool Transcript::Read(uint64_t offset, std::size_t size, std::string &out) const {
    out.resize(size);
    return Read(offset, size, out.data());
}

std::size_t Transcript::ChunkAt(uint64_t offset) const {
    const auto it = std::upper_bound(chunks_.begin(), chunks_.end(), offset,
                                     [](uint64_t o, const Chunk &c) { return o < c.offset; });
    return it == chunks_.begin() ? 0 : std::size_t(it - chunks_.begin() - 1);
}

bool Transcript::CrIsBreak(uint64_t at, Direction direction) const {
    if (at >= size_) return false;
    const Chunk &here = chunks_[ChunkAt(at)];
    if (here.datagram && at + 1 == here.End()) return true;
    if (at + 1 >= size_) return false; // not known yet
    const Chunk &next = chunks_[ChunkAt(at + 1)];
    if (next.offset == at + 1 && (next.startsPart || next.direction != direction || next.datagram))
        return true;
    char c = 0;
    return !Read(at + 1, 1, &c) || c != '\n';
}

bool Transcript::ScanBreaks(uint64_t from, uint64_t to, Shown shown,
                            const std::function<bool(uint64_t)> &f) const {
    std::string buffer;
    for (std::size_t ci = from < size_ ? ChunkAt(from) : chunks_.size(); ci < chunks_.size();
         ++ci) {
        const Chunk &c = chunks_[ci];
        if (c.offset >= to) break;
        if (!Shows(shown, c.direction)) continue;
        const uint64_t start = std::max(from, c.offset), end = std::min(to, c.End());
        if (!Read(start, std::size_t(end - start), buffer)) return false;
        // The next LF and the next CR, each found by memchr, taken in order.
        const char *const begin = buffer.data(), *const stop = begin + buffer.size();
        const auto next = [&](const char *at, char byte) {
            if (at >= stop) return stop;
            const void *p = std::memchr(at, byte, std::size_t(stop - at));
            return p != nullptr ? static_cast<const char *>(p) : stop;
        };
        const char *lf = next(begin, '\n'), *cr = next(begin, '\r');
        while (lf != stop || cr != stop) {
            const char *p = std::min(lf, cr);
            const bool isBreak =
                p == lf || (p + 1 < stop ? p[1] != '\n'
                                         : CrIsBreak(start + std::size_t(p - begin), c.direction));
            if (isBreak && f(start + std::size_t(p - begin))) return true;
            (p == lf ? lf : cr) = next(p + 1, *p);
        }
    }
    return false;
}

uint64_t Transcript::BreaksBefore(std::size_t block, Shown shown) const {
    if (blocks_.empty()) return 0;
    uint64_t n = 0;
    for (int d = 0; d < 2; ++d) {
        if (!Shows(shown, Direction(d))) continue;
        if (block < blocks_.size())
            n += blocks_[block].breaksBefore[d];
        else
            n += blocks_.back().breaksBefore[d] + blocks_.back().breaks[d];
    }
    return n;
}

uint64_t Transcript::LineCount(Shown shown) const {
    return BreaksBefore(blocks_.size(), shown) + 1;
}

uint64_t Transcript::LineStart(Shown shown, uint64_t line) const {
    if (line == 0) return 0;
    if (line >= LineCount(shown)) return size_;
    // The block holding the line's preceding break: the last whose earlier breaks fall short.
    std::size_t lo = 0, hi = blocks_.size();
    while (hi - lo > 1) {
        const std::size_t mid = lo + (hi - lo) / 2;
        if (BreaksBefore(mid, shown) < line)
            lo = mid;
        else
            hi = mid;
    }
    uint64_t left = line - BreaksBefore(lo, shown), found = size_;
    ScanBreaks(lo * kBlockSize, std::min(size_, (lo + 1) * kBlockSize), shown, [&](uint64_t at) {
        if (--left != 0) return false;
        found = at + 1;
        return true;
    });
    return found;
}

uint64_t Transcript::LineAt(Shown shown, uint64_t offset) const {
    offset = std::min(offset, size_);
    const std::size_t block = std::size_t(offset / kBlockSize);
    uint64_t line = BreaksBefore(block, shown);
    ScanBreaks(block * kBlockSize, offset, shown, [&](uint64_t) {
        ++line;
        return false;
    });
    return line;
}

uint64_t Transcript::OffsetAtTime(int64_t timeUs) const {
    // The first block that starts at or after the time; the answer is in the block before it.
    const auto it = std::lower_bound(blocks_.begin(), blocks_.end(), timeUs,
                                     [](const Block &b, int64_t t) { return b.firstTimeUs < t; });
    const std::size_t block = it == blocks_.begin() ? 0 : std::size_t(it - blocks_.begin() - 1);
    for (std::size_t ci = ChunkAt(block * kBlockSize); ci < chunks_.size(); ++ci)
        if (chunks_[ci].timeUs >= timeUs) return chunks_[ci].offset;
    return size_;
}

} // namespace tarvotcpc
