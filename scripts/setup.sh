#!/usr/bin/env bash
# Installs the Debian 12 packages that building, running and testing need. Idempotent: when
# everything is present it only checks, and it runs apt-get update only when something is missing.
set -euo pipefail

packages=(
  cmake ninja-build g++ clang libclang-rt-14-dev pkg-config
  clang-format # the test command checks the sources' layout
  libgtest-dev libgmock-dev libbenchmark-dev python3
  qt6-base-dev qt6-base-dev-tools qt6-svg-dev libqt6svg6 libgl-dev fonts-noto-cjk xvfb xauth
  redis-server
  dpkg-dev # Debian packages: dpkg-shlibdeps computes their dependencies
  file # Debian packages: CPack tells shared libraries from other files with it
  lintian # Debian packages: checked for errors
  desktop-file-utils # desktop-file-validate checks the menu entry
  appstream # appstreamcli validates the software centre's metainfo
  man-db # man --warnings checks the manual page
  librsvg2-bin # rsvg-convert renders the icon's bitmap sizes at build time
  libssl-dev # TLS for the client: OpenSSL 3
  openssl    # the TLS tests' server peer (openssl s_server)
  tcpdump tshark # the key log's test captures a TLS session and decrypts it with the log
  # Qt's own texts in Japanese (qtbase_ja: file dialog, context menus)
  qt6-translations-l10n
  # the title-bar test reads X11 window properties through xcb
  libxcb1-dev
  libabsl-dev # absl::flat_hash_map, the lookup anchor of the benchmarks
  linux-perf # profiling the benchmarks (perf record / perf report)
  fonts-noto-core # Noto Sans Symbols 2: the control pictures (␍ ␊ ␀) the receive page draws
  microsocks   # the proxy tests' SOCKS5 proxy, with and without user and password
  dante-server # the proxy tests' SOCKS5 proxy with rules (danted, run in the foreground)
  tinyproxy    # the proxy tests' HTTP CONNECT proxy with Basic authentication and a filter
  libuchardet-dev # guessing the encoding of received text (the page's 自動判別)
  python3-aiosmtpd # the protocol shapes' tests read a real SMTP server's replies
  libpcap-dev # capture files (pcap and pcapng) are read through libpcap
  liblua5.4-dev # scripts run in Lua 5.4
  libpcre2-dev # expect_re in scripts matches with PCRE2
  tshark # the capture tests' independent reader: it follows the streams written here
  tcpdump # the capture tests take a live capture of a loopback exchange
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "setup: installing ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
