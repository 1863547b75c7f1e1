#!/usr/bin/env bash
# Builds and runs every test: the sanitized unit and integration suites, the Debian packages, the
# connection tests under ThreadSanitizer, and a short run of every fuzz target. FUZZ_SECONDS sets
# the time per target.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

jobs=$(nproc)

cmake --preset dev >/dev/null
cmake --build --preset dev -j "$jobs"
ctest --preset dev -j "$jobs"

# The Debian packages: built (only the targets they hold), linted, validated, installed into a
# scratch root with a consumer built against them, and purged.
scripts/package-test.sh

if [ -f client/CMakeLists.txt ]; then
  cmake --preset tsan >/dev/null
  cmake --build --preset tsan -j "$jobs"
  ctest --preset tsan -j "$jobs"
fi

scripts/fuzz.sh "${FUZZ_SECONDS:-20}"
