#!/usr/bin/env bash
# Takes docs/screenshot-replies.png (the window listening with automatic replies on while a device
# greets, pings and reports, the margin showing which sends were automatic and how long each
# answer took) and docs/screenshot-reply-rules.png (the rules dialog): builds the tool, starts a
# virtual X display and the window listening, then a small device that connects to it.
# Usage: scripts/screenshot-replies.sh; PRESET picks the CMake preset (default release).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
preset="${PRESET:-release}"
build="build/$preset"
cmake --preset "$preset" >/dev/null
cmake --build "$build" -j "$(nproc)" --target tarvotcpc_replies_screenshot

workdir=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$workdir"
}
trap cleanup EXIT

port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')

# The device: greets, then pings and reports a reading some time after each answer.
cat >"$workdir/device.py" <<'PY'
import socket, sys, time
port = int(sys.argv[1])
for _ in range(200):
    try:
        conn = socket.create_connection(("127.0.0.1", port))
        break
    except OSError:
        time.sleep(0.05)
conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
f = conn.makefile("rb")
conn.sendall(b"HELLO device-01\r\n")
f.readline()
for n, (wait, report) in enumerate([(0.08, 0.15), (0.25, 0.04), (0.12, 0.31)], 1):
    time.sleep(wait)
    conn.sendall(b"PING %d\r\n" % n)
    f.readline()
    time.sleep(report)
    conn.sendall(("DATA %d temp=21.%d℃\r\n" % (n, n)).encode())
time.sleep(0.2)
conn.sendall(b"bye\r\n")
time.sleep(2)
PY

display=90
while [ -e "/tmp/.X11-unix/X$display" ] || [ -e "/tmp/.X$display-lock" ]; do display=$((display + 1)); done
Xvfb ":$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -e "/tmp/.X11-unix/X$display" ] && break; sleep 0.05; done

python3 "$workdir/device.py" "$port" &
pids+=($!)
DISPLAY=":$display" QT_QPA_PLATFORM=xcb "$build/bin/tarvotcpc_replies_screenshot" "$port" \
  docs/screenshot-replies.png docs/screenshot-reply-rules.png
echo "screenshots: docs/screenshot-replies.png docs/screenshot-reply-rules.png"
