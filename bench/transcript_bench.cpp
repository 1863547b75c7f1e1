// How fast the transcript takes bytes in: appends (store and line index) beside a plain memchr
// pass over the same bytes, which is as fast as counting line breaks can be. Also the character
// index's background pass, per encoding, beside the count of every character one by one that
// UTF-8 and Latin-1 went through before they were counted in bulk.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <string>

#include "transcript/text_decoder.hpp"
#include "transcript/transcript.hpp"

namespace {

// Mixed lines: mostly short text, now and then a long line or binary bytes.
std::string MakeStream(std::size_t size) {
    std::mt19937 rng(17);
    std::string s;
    s.reserve(size);
    while (s.size() < size) {
        const unsigned kind = rng() % 16;
        const std::size_t len = kind == 0 ? 20000 : 10 + rng() % 120;
        for (std::size_t i = 0; i < len; ++i)
            s += kind == 1 ? char(rng()) : char('a' + rng() % 26);
        s += rng() % 2 ? "\r\n" : "\n";
    }
    s.resize(size);
    return s;
}

const std::string &Stream() {
    static const std::string s = MakeStream(std::size_t{64} << 20);
    return s;
}

// Lines as a Japanese peer sends them (stream_bench's): about 100 bytes with two- and three-byte
// characters, every 101st line binary.
const std::string &JapaneseStream() {
    static const std::string s = [] {
        std::string out;
        uint32_t seed = 12345;
        for (std::size_t number = 0; out.size() < (std::size_t{16} << 20); ++number) {
            std::string line = std::to_string(number) + " ";
            if (number % 101 == 100) {
                for (int i = 0; i < 60; ++i) {
                    seed = seed * 1103515245u + 12345u;
                    line += char(seed >> 24);
                }
            } else {
                line += "payload ü 受信データ 長い行 ";
                while (line.size() < 99)
                    line += char('a' + (number + line.size()) % 26);
            }
            out += line + (number % 3 == 0 ? "\r\n" : "\n");
        }
        return out;
    }();
    return s;
}

const std::string &Content(int64_t which) {
    return which == 0 ? Stream() : JapaneseStream();
}

// The baseline: one memchr pass for LF, as the index's own counting does.
void BM_MemchrBaseline(benchmark::State &state) {
    const std::string &s = Stream();
    for (auto _ : state) {
        std::size_t lines = 0;
        for (const char *p = s.data(), *end = s.data() + s.size();
             (p = static_cast<const char *>(std::memchr(p, '\n', std::size_t(end - p)))); ++p)
            ++lines;
        benchmark::DoNotOptimize(lines);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(s.size()));
}
BENCHMARK(BM_MemchrBaseline)->Unit(benchmark::kMillisecond);

// Appends in reads of the given size; the memory limit decides memory or file.
void BM_TranscriptAppend(benchmark::State &state) {
    const std::string &s = Stream();
    const std::size_t read = std::size_t(state.range(0));
    for (auto _ : state) {
        tarvotcpc::TranscriptOptions options;
        options.memoryLimit = std::size_t(state.range(1));
        tarvotcpc::Transcript t(options);
        for (std::size_t at = 0; at < s.size(); at += read)
            if (t.Append(tarvotcpc::Direction::Received, s.data() + at,
                         std::min(read, s.size() - at), int64_t(at)) != 0)
                state.SkipWithError("append failed");
        benchmark::DoNotOptimize(t.LineCount(tarvotcpc::Shown::Received));
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(s.size()));
}
BENCHMARK(BM_TranscriptAppend)
    ->ArgNames({"read", "memoryLimit"})
    ->Args({64 << 10, 1 << 30})
    ->Args({64 << 10, 8 << 20})
    ->Args({4 << 10, 8 << 20})
    ->Unit(benchmark::kMillisecond);

// The background pass that counts characters per block after the user picks an encoding, on
// the mixed stream (content 0) and on Japanese lines (content 1).
void BM_CharIndexPass(benchmark::State &state) {
    const std::string &s = Content(state.range(1));
    const std::size_t size = std::size_t{16} << 20;
    tarvotcpc::Transcript t;
    t.Append(tarvotcpc::Direction::Received, s.data(), size, 0);
    const auto encoding = tarvotcpc::kEncodings[std::size_t(state.range(0))];
    for (auto _ : state) {
        tarvotcpc::CharIndex index(t, encoding, tarvotcpc::Shown::Received);
        while (!index.Advance(1 << 20)) {
        }
        benchmark::DoNotOptimize(index.CharsBeforeExact(size));
    }
    state.SetLabel(tarvotcpc::EncodingName(encoding));
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(size));
}
BENCHMARK(BM_CharIndexPass)
    ->ArgNames({"encoding", "content"})
    ->ArgsProduct({{0, 1, 2, 3, 4}, {0, 1}})
    ->Unit(benchmark::kMillisecond);

// The same count as the pass made it before UTF-8 and Latin-1 were counted in bulk: every
// character through the decoder's general path, block by block.
void BM_CountEachCharacter(benchmark::State &state) {
    const std::string &s = Content(state.range(1));
    const std::size_t size = std::size_t{16} << 20;
    const auto encoding = tarvotcpc::kEncodings[std::size_t(state.range(0))];
    for (auto _ : state) {
        tarvotcpc::Decoder decoder(encoding);
        uint64_t count = 0;
        for (std::size_t at = 0; at < size; at += tarvotcpc::Transcript::kBlockSize)
            count += decoder.CountEach(
                std::string_view(s).substr(at, std::min<std::size_t>(size - at, 64 << 10)), at);
        benchmark::DoNotOptimize(count);
    }
    state.SetLabel(tarvotcpc::EncodingName(encoding));
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(size));
}
BENCHMARK(BM_CountEachCharacter)
    ->ArgNames({"encoding", "content"})
    ->ArgsProduct({{0, 4}, {0, 1}})
    ->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
