#!/usr/bin/env bash
# Builds the benchmarks optimised and prints the library's figures beside their anchors
# (std::unordered_map, absl::flat_hash_map, std::stable_sort), as the tables in
# docs/benchmarks.md. Extra arguments go to Google Benchmark.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset bench >/dev/null
# The machine is shared: build politely, but never run the benchmark itself under nice.
nice cmake --build --preset bench -j "$(nproc)"
out=build/bench/results.json
# Repetitions run in random order, so load from other work falls on the library and its anchors
# alike; each figure is reported as the median and the best of them.
build/bench/bin/vornhash_bench --benchmark_repetitions=10 --benchmark_enable_random_interleaving=true \
  --benchmark_report_aggregates_only=true --benchmark_min_time=0.1 \
  --benchmark_out="$out" --benchmark_out_format=json "$@"
python3 bench/ratios.py "$out"
