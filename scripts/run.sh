#!/usr/bin/env bash
# Builds everything in release mode and launches the client (or, without a display, the library demo).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)"
if [ -x build/release/bin/tarvotcpc ] &&
  [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}${QT_QPA_PLATFORM:-}" ]; then
  exec build/release/bin/tarvotcpc "$@"
fi
exec build/release/bin/vornhash_demo "$@"
