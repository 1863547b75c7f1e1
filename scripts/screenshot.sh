#!/usr/bin/env bash
# Takes docs/screenshot.png, the README's picture of the client, and beside it
# docs/screenshot-marks.png (line-ending marks, times and sent lines shown), docs/screenshot-hex.png
# (the hex view), docs/screenshot-repeat.png and docs/screenshot-preview.png (a repeated send with
# placeholders, and the send preview): builds the release tree, starts a virtual X display and a
# small local peer, and lets the window connect to it, send requests and show the answers. It also
# takes docs/reading.md's pictures: docs/line-ends.png (the line-end badges at 10, 12 and 16 pt)
# and, with redis-server installed, docs/protocol-resp.png (Redis's replies marked); SCALE=2 takes
# them all at twice the size, as on a high-resolution screen. Usage: scripts/screenshot.sh
# [output.png]; BUILD_DIR picks another build folder for the release preset (default
# build/release).
set -euo pipefail
cd "$(dirname "$0")/.."
output="${1:-docs/screenshot.png}"
marks="${output%.png}-marks.png"
hex="${output%.png}-hex.png"
scripts/setup.sh
build="${BUILD_DIR:-build/release}"
cmake --preset release -B "$build" >/dev/null
cmake --build "$build" -j "$(nproc)" --target tarvotcpc_screenshot tarvotcpc_screenshot_sending \
  tarvotcpc_reading_screenshot

workdir=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$workdir"
}
trap cleanup EXIT

# The peer: greets, then answers every line it is sent, the way a text protocol would.
cat >"$workdir/peer.py" <<'PY'
import socket, sys
server = socket.socket()
server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
server.bind(("127.0.0.1", 0))
server.listen(1)
print(server.getsockname()[1], flush=True)
conn, _ = server.accept()
conn.sendall("220 tarvo test peer ready / テスト用サーバ\r\n".encode())
buffer = b""
while True:
    data = conn.recv(4096)
    if not data:
        break
    buffer += data
    while b"\r\n" in buffer:
        line, buffer = buffer.split(b"\r\n", 1)
        text = line.decode("utf-8", "replace")
        if text == "MIXED":
            # Every kind of line break, a tab and a NUL: what the marks and the hex view tell apart.
            conn.sendall("bare LF\nbare CR\rtab\there NUL\0 end\r\nShift_JIS: ".encode()
                         + "日本語".encode("cp932") + b"\r\n")
        elif text == "ENDS":
            # A CRLF, a lone LF and a lone CR, as the line-end badges tell them apart.
            conn.sendall(b"CRLF ends here\r\nLF alone\nCR alone\rafter them\r\n")
        elif text.startswith("GET"):
            conn.sendall("200 OK\r\nstatus: 接続中\r\nclients: 1\r\nuptime: 42 s\r\n.\r\n".encode())
        else:
            conn.sendall(("250 " + text + "\r\n").encode())
PY
python3 "$workdir/peer.py" >"$workdir/port" &
pids+=($!)
for _ in $(seq 100); do [ -s "$workdir/port" ] && break; sleep 0.05; done
port=$(cat "$workdir/port")

# A display of its own, the first free number from 90 on.
display=90
while [ -e "/tmp/.X11-unix/X$display" ] || [ -e "/tmp/.X$display-lock" ]; do display=$((display + 1)); done
Xvfb ":$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -e "/tmp/.X11-unix/X$display" ] && break; sleep 0.05; done

mkdir -p "$(dirname "$output")"
export DISPLAY=":$display" QT_QPA_PLATFORM=xcb QT_SCALE_FACTOR="${SCALE:-1}"
"$build/bin/tarvotcpc_screenshot" "$port" "$output" "$marks" "$hex"
echo "screenshots: $output $marks $hex"

# The peer serves one connection: a fresh one for the reading pictures.
python3 "$workdir/peer.py" >"$workdir/port2" &
pids+=($!)
for _ in $(seq 100); do [ -s "$workdir/port2" ] && break; sleep 0.05; done
ends="$(dirname "$output")/line-ends.png"
if command -v redis-server >/dev/null; then
  redis_port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
  redis-server --port "$redis_port" --bind 127.0.0.1 --save '' --appendonly no --dir "$workdir" \
    >/dev/null &
  pids+=($!)
  for _ in $(seq 100); do (echo >"/dev/tcp/127.0.0.1/$redis_port") 2>/dev/null && break; sleep 0.05; done
  resp="$(dirname "$output")/protocol-resp.png"
  "$build/bin/tarvotcpc_reading_screenshot" "$(cat "$workdir/port2")" "$ends" "$redis_port" resp \
    'SET greeting hello\nGET greeting\nRPUSH list one two three\nLRANGE list 0 -1\nGET missing\nHSET\n' \
    "$resp"
  echo "screenshots: $ends $resp"
else
  "$build/bin/tarvotcpc_reading_screenshot" "$(cat "$workdir/port2")" "$ends"
  echo "screenshots: $ends"
fi
# Sends without retyping: a repeat with placeholders against a peer of the tool's own, and the
# preview.
repeat="$(dirname "$output")/screenshot-repeat.png"
preview="$(dirname "$output")/screenshot-preview.png"
"$build/bin/tarvotcpc_screenshot_sending" "$repeat" "$preview"
echo "screenshots: $repeat $preview"
