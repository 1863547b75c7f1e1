#!/usr/bin/env bash
# Builds the Debian packages and checks them as a user and a packager would: lintian; the desktop
# entry, metainfo and manual page through their validators; then the three packages installed with
# dpkg into a scratch root (the system itself is never touched), the program run, a consumer built
# against libvornhash-dev with find_package and with pkg-config and run, the packages purged and
# the root checked for anything left behind. A missing tool is reported as a named skip.
set -euo pipefail
cd "$(dirname "$0")/.."

failures=0
skips=0
pass() { echo "package-test: PASS $1"; }
fail() { echo "package-test: FAIL $1" >&2; failures=$((failures + 1)); }
skip() { echo "package-test: SKIP $1 ($2 is not installed)"; skips=$((skips + 1)); }
have() { command -v "$1" >/dev/null 2>&1; }

scripts/package.sh >/dev/null
debs=(build/package/packages/*.deb)
for package in tarvotcpc libvornhash-dev; do
  [ -f build/package/packages/${package}_*.deb ] || { fail "no $package package was built"; exit 1; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# --- lintian: no error (warnings are printed for the record) ---
if have lintian; then
  if lintian --fail-on error "${debs[@]}" >"$work/lintian" 2>&1; then
    pass "lintian ($(grep -c '^W: ' "$work/lintian" || true) warnings)"
  else
    fail "lintian"
  fi
  grep -E '^[EW]: ' "$work/lintian" || true
else
  skip "lintian" lintian
fi

# --- the desktop files, as the tarvotcpc package ships them ---
dpkg-deb -x build/package/packages/tarvotcpc_*.deb "$work/tarvotcpc"
share="$work/tarvotcpc/usr/share"
if have desktop-file-validate; then
  if desktop-file-validate "$share/applications/tarvotcpc.desktop"; then
    pass "desktop-file-validate"
  else
    fail "desktop-file-validate"
  fi
else
  skip "desktop entry validation" desktop-file-validate
fi
if have appstreamcli; then
  if appstreamcli validate --no-net "$share"/metainfo/*.metainfo.xml; then
    pass "appstreamcli validate"
  else
    fail "appstreamcli validate"
  fi
else
  skip "metainfo validation" appstreamcli
fi
if have man; then
  warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 \
    man --warnings -E UTF-8 -l -Tutf8 -Z "$share/man/man1/tarvotcpc.1.gz" 2>&1 >/dev/null)
  if [ -z "$warnings" ]; then pass "man --warnings"; else echo "$warnings"; fail "man --warnings"; fi
else
  skip "manual page check" man
fi
ls "$share/icons/hicolor/scalable/apps/tarvotcpc.svg" >/dev/null || fail "no scalable icon"
if have rsvg-convert; then
  for size in 16 24 32 48 64 128 256; do
    ls "$share/icons/hicolor/${size}x${size}/apps/tarvotcpc.png" >/dev/null || fail "no ${size}px icon"
  done
  pass "icons"
else
  skip "bitmap icons" rsvg-convert
fi

# --- install, use and purge in a scratch root ---
root="$work/root"
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$root/var/lib/dpkg/triggers"
touch "$root/var/lib/dpkg/status" "$root/var/lib/dpkg/available"
# The maintainer scripts run outside the scratch root (it has no shell); the ldconfig they call is
# a stand-in, so that the system's own cache is left alone.
mkdir -p "$work/bin"
printf '#!/bin/sh\nexit 0\n' >"$work/bin/ldconfig"
chmod +x "$work/bin/ldconfig"
dpkg_root() {
  PATH="$work/bin:$PATH" dpkg --root="$root" --force-script-chrootless --force-depends \
    --force-not-root --log=/dev/null "$@"
}
if dpkg_root -i "${debs[@]}" >"$work/dpkg.log" 2>&1; then
  pass "dpkg --install (scratch root)"
else
  cat "$work/dpkg.log"
  fail "dpkg --install (scratch root)"
  exit 1
fi

multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || gcc -print-multiarch)
libdir="$root/usr/lib/$multiarch"
version=$(dpkg-deb -f build/package/packages/tarvotcpc_*.deb Version)
if [ "$(LD_LIBRARY_PATH="$libdir" "$root/usr/bin/tarvotcpc" --version)" = "tarvotcpc $version" ]; then
  pass "installed tarvotcpc --version"
else
  fail "installed tarvotcpc --version"
fi

if PKG_CONFIG_PATH="$libdir/pkgconfig" cmake -S hash/tests/install -B "$work/consumer" -G Ninja \
     -DCMAKE_PREFIX_PATH="$root/usr" -DCMAKE_BUILD_TYPE=Release >"$work/consumer.log" 2>&1 &&
   cmake --build "$work/consumer" >>"$work/consumer.log" 2>&1 &&
   LD_LIBRARY_PATH="$libdir" "$work/consumer/consumer_cmake" &&
   LD_LIBRARY_PATH="$libdir" "$work/consumer/consumer_pkgconfig"; then
  pass "consumer built against libvornhash-dev (find_package and pkg-config) and run"
else
  cat "$work/consumer.log"
  fail "consumer against libvornhash-dev"
fi

packages=()
for deb in "${debs[@]}"; do packages+=("$(dpkg-deb -f "$deb" Package)"); done
if dpkg_root --purge "${packages[@]}" >"$work/dpkg.log" 2>&1; then
  pass "dpkg --purge (scratch root)"
else
  cat "$work/dpkg.log"
  fail "dpkg --purge (scratch root)"
fi
left=$(cd "$root" && find . -mindepth 1 -not -path './var' -not -path './var/lib' \
  -not -path './var/lib/dpkg' -not -path './var/lib/dpkg/*')
if [ -z "$left" ]; then
  pass "nothing left after purge"
else
  echo "$left"
  fail "files left after purge"
fi

echo "package-test: $failures failed, $skips skipped"
[ "$failures" -eq 0 ]
