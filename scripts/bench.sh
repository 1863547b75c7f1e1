#!/usr/bin/env bash
# Builds the benchmarks optimised and prints the library's figures beside their standard-library
# baselines, as the table in docs/benchmarks.md. Extra arguments go to Google Benchmark.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset bench >/dev/null
cmake --build --preset bench -j "$(nproc)"
out=build/bench/results.json
build/bench/bin/vornhash_bench --benchmark_out="$out" --benchmark_out_format=json "$@"
python3 bench/ratios.py "$out"
