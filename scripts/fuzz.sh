#!/usr/bin/env bash
# Builds the libFuzzer targets and runs each for the given number of seconds (default 20), with the
# corpus kept under build/fuzz-corpus. A longer hunt: scripts/fuzz.sh 600
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-20}

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)"

shopt -s nullglob
targets=(build/fuzz/bin/fuzz_*)
if [ ${#targets[@]} -eq 0 ]; then
  echo "fuzz: no targets yet"
  exit 0
fi
for t in "${targets[@]}"; do
  name=$(basename "$t")
  corpus=build/fuzz-corpus/$name
  mkdir -p "$corpus"
  seeds=()
  [ -d "fuzz/seeds/$name" ] && seeds=("fuzz/seeds/$name")
  echo "fuzz: $name for ${seconds}s"
  "$t" -max_total_time="$seconds" -print_final_stats=1 "$corpus" "${seeds[@]}" 2>"build/fuzz-corpus/$name.log" ||
    { tail -n 60 "build/fuzz-corpus/$name.log"; echo "fuzz: $name found a fault"; exit 1; }
  grep -E "stat::number_of_executed_units" "build/fuzz-corpus/$name.log" || true
done
