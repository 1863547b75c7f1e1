#!/usr/bin/env bash
# Builds the libFuzzer targets and runs each for the given number of seconds (default 20). Each
# run starts from the committed corpus (fuzz/corpus/TARGET) and the hand-written seeds
# (fuzz/seeds/TARGET), which it only reads; what it finds goes to build/fuzz-corpus/TARGET, and a
# crashing input to build/fuzz-corpus/. A longer hunt: scripts/fuzz.sh 600; keeping its finds:
# scripts/fuzz-corpus.sh. TARGETS (names, space-separated) runs only those.
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
out=build/fuzz-corpus
mkdir -p "$out"
for t in "${targets[@]}"; do
  name=$(basename "$t")
  if [ -n "${TARGETS:-}" ] && [[ " $TARGETS " != *" $name "* ]]; then continue; fi
  mkdir -p "$out/$name"
  # libFuzzer writes new inputs into the first directory only; the others are read.
  inputs=("$out/$name")
  for d in "fuzz/corpus/$name" "fuzz/seeds/$name"; do
    [ -d "$d" ] && inputs+=("$d")
  done
  echo "fuzz: $name for ${seconds}s"
  "$t" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$out/$name-" \
    "${inputs[@]}" 2>"$out/$name.log" ||
    { tail -n 60 "$out/$name.log"; echo "fuzz: $name found a fault"; exit 1; }
  grep -E "stat::number_of_executed_units" "$out/$name.log" || true
done
