#!/usr/bin/env bash
# Builds and runs every test: the sanitized unit and integration suites, the Debian packages, the
# connection tests under ThreadSanitizer, and a short run of every fuzz target. FUZZ_SECONDS sets
# the time per target.
set -euo pipefail
cd "$(dirname "$0")/.."

# The result must not depend on the caller's shell: variables such as PYTHONUNBUFFERED, a
# DISPLAY, a locale, a Python or compiler of one's own early in PATH can make a suite pass here
# and fail on a new machine. So the suites run in the environment a new Debian login has, with
# only the time per fuzz target passed on.
if [ -z "${TARVOTCPC_TEST_CLEAN:-}" ]; then
  exec env -i TARVOTCPC_TEST_CLEAN=1 HOME="${HOME:-/root}" TERM=dumb \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    ${FUZZ_SECONDS:+FUZZ_SECONDS="$FUZZ_SECONDS"} "$0" "$@"
fi

scripts/setup.sh

# The sources' layout and the client's layers, before anything is built.
find hash csv client bench fuzz test_support \( -name '*.c' -o -name '*.h' -o -name '*.cpp' \
  -o -name '*.hpp' \) -print0 | xargs -0 clang-format --dry-run --Werror
scripts/check-layers.py

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
