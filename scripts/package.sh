#!/usr/bin/env bash
# Builds the Debian packages tarvotcpc, libvornhash<N> and libvornhash-dev from the install rules,
# into build/package/packages/. Only what the packages hold is compiled.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

cmake --preset package >/dev/null
cmake --build --preset package -j "${JOBS:-$(nproc)}"
rm -f build/package/packages/*.deb
(cd build/package && cpack -G DEB >/dev/null)
ls build/package/packages/*.deb
