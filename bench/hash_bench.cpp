// Side-by-side figures for the library's hot paths: each library benchmark has a standard-library
// baseline over the same data in the same run, so ratios do not depend on the machine's speed.
// GCC 12 at -O3 reports a false overlap inside libstdc++'s std::string assignment.
#pragma GCC diagnostic ignored "-Wrestrict"

#include <absl/container/flat_hash_map.h>
#include <absl/strings/string_view.h>
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <cstdio>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include <vornhash.h>

#include "support/model.hpp"

namespace {

std::vector<std::string> make_keys(std::int64_t n) {
    std::vector<std::string> keys;
    keys.reserve(std::size_t(n));
    char buf[32];
    for (std::int64_t i = 0; i < n; ++i) {
        // Spread the numbers so that keys do not arrive in sorted order.
        std::snprintf(buf, sizeof buf, "key%07lld", (long long)((i * 7919) % (n * 10 + 7)));
        keys.emplace_back(buf);
    }
    return keys;
}

std::vector<std::string> make_values(std::int64_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> letter('a', 'z');
    std::vector<std::string> values(static_cast<std::size_t>(n));
    for (auto &v : values) {
        v.resize(10);
        for (auto &c : v)
            c = char(letter(rng));
    }
    return values;
}

// An empty record made the plainest way a caller makes one. Unit 16 is what the library's own
// readers use; unit 0 (taken as 1) is what a caller who leaves it alone gets.
struct Record {
    Hash h{};
    explicit Record(std::int32_t unit = 16) { VornAllocHash(&h, 0, unit), VornReAllocHash(&h, 0); }
    ~Record() { VornFreeHash(&h); }
};

// ---- build by key -------------------------------------------------------------------------

void build_by_key(benchmark::State &state, std::int32_t unit) {
    const auto keys = make_keys(state.range(0));
    const auto values = make_values(state.range(0), 1);
    for (auto _ : state) {
        Record r(unit);
        for (std::size_t i = 0; i < keys.size(); ++i)
            VornSetHash(&r.h, keys[i].c_str(), 0, values[i].c_str(), -1);
        benchmark::DoNotOptimize(r.h.count);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_BuildByKey_Vorn(benchmark::State &state) {
    build_by_key(state, 16);
}

void BM_BuildByKey_VornUnit0(benchmark::State &state) {
    build_by_key(state, 0);
}

void BM_BuildByKey_UnorderedMap(benchmark::State &state) {
    const auto keys = make_keys(state.range(0));
    const auto values = make_values(state.range(0), 1);
    for (auto _ : state) {
        std::unordered_map<std::string, std::string> m;
        for (std::size_t i = 0; i < keys.size(); ++i)
            m[keys[i]] = values[i];
        benchmark::DoNotOptimize(m.size());
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_BuildByKey_Absl(benchmark::State &state) {
    const auto keys = make_keys(state.range(0));
    const auto values = make_values(state.range(0), 1);
    for (auto _ : state) {
        absl::flat_hash_map<std::string, std::string> m;
        for (std::size_t i = 0; i < keys.size(); ++i)
            m[keys[i]] = values[i];
        benchmark::DoNotOptimize(m.size());
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_BuildByKey_Model(benchmark::State &state) {
    const auto keys = make_keys(state.range(0));
    const auto values = make_values(state.range(0), 1);
    for (auto _ : state) {
        model::Model m;
        model::AllocHash(&m, 0, 16);
        model::ReAllocHash(&m, 0);
        for (std::size_t i = 0; i < keys.size(); ++i)
            model::SetHash(&m, keys[i].c_str(), 0, values[i].c_str(), -1);
        benchmark::DoNotOptimize(m.cells.size());
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

// ---- lookup: every key once, half of them present -----------------------------------------

std::vector<std::string> probe_keys(const std::vector<std::string> &keys) {
    std::vector<std::string> probes;
    probes.reserve(keys.size());
    for (std::size_t i = 0; i < keys.size(); ++i) {
        probes.push_back(i % 2 ? keys[(i * 31) % keys.size()] : keys[i]);
        if (i % 2 == 0) probes.back().push_back('x'); // a miss
    }
    return probes;
}

void lookup(benchmark::State &state, std::int32_t unit) {
    const auto keys = make_keys(state.range(0));
    const auto probes = probe_keys(keys);
    Record r(unit);
    for (const auto &k : keys)
        VornSetHash(&r.h, k.c_str(), 0, "v", -1);
    for (auto _ : state)
        for (const auto &p : probes)
            benchmark::DoNotOptimize(VornGetHashIndex(&r.h, p.c_str()));
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_Lookup_Vorn(benchmark::State &state) {
    lookup(state, 16);
}

void BM_Lookup_VornUnit0(benchmark::State &state) {
    lookup(state, 0);
}

void BM_Lookup_UnorderedMap(benchmark::State &state) {
    const auto keys = make_keys(state.range(0));
    const auto probes = probe_keys(keys);
    std::unordered_map<std::string, std::string> m;
    for (const auto &k : keys)
        m[k] = "v";
    for (auto _ : state)
        for (const auto &p : probes)
            benchmark::DoNotOptimize(m.find(p));
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_Lookup_Absl(benchmark::State &state) {
    const auto keys = make_keys(state.range(0));
    const auto probes = probe_keys(keys);
    absl::flat_hash_map<std::string, std::string> m;
    for (const auto &k : keys)
        m[k] = "v";
    for (auto _ : state)
        for (const auto &p : probes)
            benchmark::DoNotOptimize(m.find(p));
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

// absl behind the interface vornhash has to offer: a call that is not inlined into the caller
// and a NUL-terminated key whose length must be found first.
using AbslMap = absl::flat_hash_map<std::string, std::string>;
__attribute__((noinline)) bool find_c_string(const AbslMap &m, const char *key) {
    return m.find(absl::string_view(key)) != m.end();
}

void BM_Lookup_AbslCString(benchmark::State &state) {
    const auto keys = make_keys(state.range(0));
    const auto probes = probe_keys(keys);
    AbslMap m;
    for (const auto &k : keys)
        m[k] = "v";
    for (auto _ : state)
        for (const auto &p : probes)
            benchmark::DoNotOptimize(find_c_string(m, p.c_str()));
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_Lookup_Model(benchmark::State &state) {
    const auto keys = make_keys(state.range(0));
    const auto probes = probe_keys(keys);
    model::Model m;
    model::AllocHash(&m, 0, 16);
    model::ReAllocHash(&m, 0);
    for (const auto &k : keys)
        model::SetHash(&m, k.c_str(), 0, "v", -1);
    for (auto _ : state)
        for (const auto &p : probes)
            benchmark::DoNotOptimize(model::GetHashIndex(&m, p.c_str()));
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

// ---- reading a key=value block ------------------------------------------------------------

std::string make_block(std::int64_t n) {
    const auto keys = make_keys(n);
    const auto values = make_values(n, 2);
    std::string block;
    for (std::size_t i = 0; i < keys.size(); ++i) {
        block += keys[i];
        block += '=';
        block += values[i];
        block += '\0';
    }
    block += '\0';
    return block;
}

void env_to_hash(benchmark::State &state, std::int32_t unit) {
    const std::string block = make_block(state.range(0));
    Record r(unit);
    for (auto _ : state) {
        VornEnvToHash(&r.h, block.data());
        benchmark::DoNotOptimize(r.h.count);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_EnvToHash_Vorn(benchmark::State &state) {
    env_to_hash(state, 16);
}

void BM_EnvToHash_VornUnit0(benchmark::State &state) {
    env_to_hash(state, 0);
}

// The block is split as VornEnvToHash splits it: first "=" ends the name, the rest is the value.
template <class Map> void split_block(const std::string &block, Map &m) {
    const char *p = block.data();
    while (*p) {
        const std::size_t len = std::char_traits<char>::length(p);
        const char *eq = static_cast<const char *>(std::memchr(p, '=', len));
        const std::size_t klen = eq ? std::size_t(eq - p) : len;
        m.insert_or_assign(std::string(p, klen), eq ? std::string(eq + 1) : std::string());
        p += len + 1;
    }
}

void BM_EnvToHash_UnorderedMap(benchmark::State &state) {
    const std::string block = make_block(state.range(0));
    for (auto _ : state) {
        std::unordered_map<std::string, std::string> m;
        split_block(block, m);
        benchmark::DoNotOptimize(m.size());
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_EnvToHash_Absl(benchmark::State &state) {
    const std::string block = make_block(state.range(0));
    for (auto _ : state) {
        absl::flat_hash_map<std::string, std::string> m;
        split_block(block, m);
        benchmark::DoNotOptimize(m.size());
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

// ---- memory: heap bytes per cell of a record built by key ---------------------------------

// Everything the allocator hands out, its own per-block overhead included.
std::int64_t heap_in_use() {
    const struct mallinfo2 mi = mallinfo2();
    return std::int64_t(mi.uordblks) + std::int64_t(mi.hblkhd);
}

// Small records are built many times over, so that the figure is not one allocation's noise.
template <class Map, class Insert> void bytes_per_cell(benchmark::State &state, Insert insert) {
    const auto keys = make_keys(state.range(0));
    const auto values = make_values(state.range(0), 1);
    const std::size_t copies = std::max<std::size_t>(1, 100000 / keys.size());
    double perCell = 0;
    for (auto _ : state) {
        const std::int64_t before = heap_in_use();
        std::vector<Map> maps(copies);
        for (auto &m : maps)
            for (std::size_t i = 0; i < keys.size(); ++i)
                insert(m, keys[i], values[i]);
        // The vector holding the maps is not theirs to count.
        perCell = double(heap_in_use() - before - std::int64_t(copies * sizeof(Map))) /
                  double(keys.size() * copies);
    }
    state.counters["bytes_per_cell"] = perCell;
}

void BM_Memory_Vorn(benchmark::State &state) {
    bytes_per_cell<Record>(state, [](Record &r, const std::string &k, const std::string &v) {
        VornSetHash(&r.h, k.c_str(), 0, v.c_str(), -1);
    });
}

template <class Map> void insert_into(Map &m, const std::string &k, const std::string &v) {
    m[k] = v;
}

void BM_Memory_UnorderedMap(benchmark::State &state) {
    bytes_per_cell<std::unordered_map<std::string, std::string>>(
        state, insert_into<std::unordered_map<std::string, std::string>>);
}

void BM_Memory_Absl(benchmark::State &state) {
    bytes_per_cell<absl::flat_hash_map<std::string, std::string>>(
        state, insert_into<absl::flat_hash_map<std::string, std::string>>);
}

// ---- sorting by value ---------------------------------------------------------------------

void BM_Sort_Vorn(benchmark::State &state) {
    const auto values = make_values(state.range(0), 3);
    std::unique_ptr<Record> r;
    for (auto _ : state) {
        state.PauseTiming();
        r.reset();
        r = std::make_unique<Record>();
        for (const auto &v : values)
            VornSetHash(&r->h, nullptr, -1, v.c_str(), -1);
        state.ResumeTiming();
        VornSortHash(&r->h, 0, 1, 0);
        benchmark::DoNotOptimize(r->h.values[0]);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_Sort_StableSort(benchmark::State &state) {
    const auto values = make_values(state.range(0), 3);
    std::vector<std::string> copy;
    for (auto _ : state) {
        state.PauseTiming();
        copy = values;
        state.ResumeTiming();
        std::stable_sort(copy.begin(), copy.end());
        benchmark::DoNotOptimize(copy.front());
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_Sort_Model(benchmark::State &state) {
    const auto values = make_values(state.range(0), 3);
    model::Model m;
    for (auto _ : state) {
        state.PauseTiming();
        m = model::Model{};
        model::AllocHash(&m, 0, 16);
        model::ReAllocHash(&m, 0);
        for (const auto &v : values)
            model::SetHash(&m, nullptr, -1, v.c_str(), -1);
        state.ResumeTiming();
        model::SortHash(&m, 0, 1, 0);
        benchmark::DoNotOptimize(m.cells.size());
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

// The sizes callers use (a header block, a settings section) and the large end.
#define SIZES                                                                                      \
    ->Arg(100)                                                                                     \
        ->Arg(1000)                                                                                \
        ->Arg(10000)                                                                               \
        ->Arg(1000000)                                                                             \
        ->Unit(benchmark::kMicrosecond)                                                            \
        ->ComputeStatistics("min", [](const std::vector<double> &v) {                              \
            return *std::min_element(v.begin(), v.end());                                          \
        })
BENCHMARK(BM_BuildByKey_Vorn) SIZES;
BENCHMARK(BM_BuildByKey_VornUnit0) SIZES;
BENCHMARK(BM_BuildByKey_UnorderedMap) SIZES;
BENCHMARK(BM_BuildByKey_Absl) SIZES;
BENCHMARK(BM_Lookup_Vorn) SIZES;
BENCHMARK(BM_Lookup_VornUnit0) SIZES;
BENCHMARK(BM_Lookup_UnorderedMap) SIZES;
BENCHMARK(BM_Lookup_Absl) SIZES;
BENCHMARK(BM_Lookup_AbslCString) SIZES;
BENCHMARK(BM_EnvToHash_Vorn) SIZES;
BENCHMARK(BM_EnvToHash_VornUnit0) SIZES;
BENCHMARK(BM_EnvToHash_UnorderedMap) SIZES;
BENCHMARK(BM_EnvToHash_Absl) SIZES;
BENCHMARK(BM_Sort_Vorn) SIZES;
BENCHMARK(BM_Sort_StableSort) SIZES;
// One pass is a measurement: the heap figure does not vary between runs.
#define ONCE ->Arg(100)->Arg(1000)->Arg(10000)->Arg(1000000)->Iterations(1)->Repetitions(1)
BENCHMARK(BM_Memory_Vorn) ONCE;
BENCHMARK(BM_Memory_UnorderedMap) ONCE;
BENCHMARK(BM_Memory_Absl) ONCE;
// The plain linear model is slow; one repetition at one size shows what indexing gained.
BENCHMARK(BM_BuildByKey_Model)->Arg(10000)->Repetitions(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Lookup_Model)->Arg(10000)->Repetitions(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Sort_Model)->Arg(10000)->Repetitions(1)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
