#!/usr/bin/env bash
# Folds what fuzzing found (build/fuzz-corpus/TARGET, from scripts/fuzz.sh) into the committed
# corpus fuzz/corpus/TARGET, minimised with libFuzzer's -merge=1: the result is the smallest set
# of inputs, among the committed ones, the seeds, the tests' inputs (seed_dirs below) and the
# new finds, that keeps every feature any of them reached. Inputs under fuzz/corpus/*/regress-*
# (inputs that once crashed) are kept as they are. Run it after a longer scripts/fuzz.sh and
# commit the result. TARGETS (names, space-separated) merges only those.
set -euo pipefail
cd "$(dirname "$0")/.."

shopt -s nullglob
targets=(build/fuzz/bin/fuzz_*)
[ ${#targets[@]} -gt 0 ] || { echo "fuzz-corpus: build the targets first (scripts/fuzz.sh)"; exit 1; }

# Inputs of the unit tests that a target reads as it stands.
seed_dirs() {
  case "$1" in
    fuzz_header | fuzz_note | fuzz_env) echo hash/tests/testdata/python_http_200.http \
      hash/tests/testdata/python_http_404.http ;;
  esac
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for t in "${targets[@]}"; do
  name=$(basename "$t")
  if [ -n "${TARGETS:-}" ] && [[ " $TARGETS " != *" $name "* ]]; then continue; fi
  dest=fuzz/corpus/$name
  mkdir -p "$dest" "$work/$name/from" "$work/$name/merged"
  for f in "$dest"/* "fuzz/seeds/$name"/* "build/fuzz-corpus/$name"/* $(seed_dirs "$name"); do
    [[ "$(basename "$f")" == regress-* ]] && continue
    cp "$f" "$work/$name/from/"
  done
  # The query strings of the tests, one input each.
  if [ "$name" = fuzz_query ]; then
    grep '^? ' hash/tests/testdata/query_strings.txt | cut -c3- |
      split -l 1 - "$work/$name/from/test-query-"
  fi
  "$t" -merge=1 "$work/$name/merged" "$work/$name/from" 2>"$work/$name.log" ||
    { tail -n 20 "$work/$name.log"; exit 1; }
  find "$dest" -maxdepth 1 -type f ! -name 'regress-*' -delete
  cp "$work/$name/merged"/* "$dest/" 2>/dev/null || true
  echo "fuzz-corpus: $name: $(find "$dest" -type f | wc -l) inputs," \
    "$(find "$dest" -type f -printf '%s\n' | awk '{s += $1} END {print s + 0}') bytes"
done
