#!/usr/bin/env python3
"""Peers for the automatic reply and reply time tests, on loopback.

  reply_peer.py device PORT CODEC ENDING [tls]
      Plays a device under test against the listening client (with tls: over TLS, trusting any
      certificate). For each word of the codec's list it sends "PING <word>" and CRLF in CODEC,
      cut into three writes (inside "PING" and inside the word's first character), and checks
      that the answer is exactly ("PONG " + word + ENDING) in CODEC, Python's own encoding:
      prints "ok <hex>" or "bad <hex> want <hex>". Then it checks that nothing more comes
      ("extra <hex>" if it does) and prints "done".
  reply_peer.py delay MS...
      Listens, prints "listening 127.0.0.1:<port>", accepts one client and answers each line it
      reads with "pong <n>" CRLF after the next delay of the list, printing "answered <n> <ms>",
      the time it really took from the line's last byte read to the answer written.
"""
import socket
import ssl
import sys
import time

WORDS = {
    "utf-8": ["日本語", "x\\y"],
    "shift_jis": ["日本語", "ｱｲ"],
    "euc-jp": ["日本語", "x\\y"],
    "iso2022_jp": ["日本語"],
    "latin-1": ["café", "x\\y"],
}
ENDINGS = {"crlf": "\r\n", "lf": "\n", "cr": "\r", "none": ""}


def read_exactly(conn, size, timeout):
    conn.settimeout(timeout)
    data = b""
    try:
        while len(data) < size:
            piece = conn.recv(size - len(data))
            if not piece:
                break
            data += piece
    except socket.timeout:
        pass
    return data


def device(port, codec, ending, tls):
    conn = socket.create_connection(("127.0.0.1", port))
    if tls:
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
        ctx.check_hostname = False
        ctx.verify_mode = ssl.CERT_NONE
        conn = ctx.wrap_socket(conn, server_hostname="localhost")
    conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    for word in WORDS[codec]:
        encoded = word.encode(codec)
        conn.sendall(b"PI")
        time.sleep(0.05)
        conn.sendall(b"NG " + encoded[:1])
        time.sleep(0.05)
        conn.sendall(encoded[1:] + b"\r\n")
        want = ("PONG " + word + ENDINGS[ending]).encode(codec)
        got = read_exactly(conn, len(want), 10)
        if got == want:
            print("ok " + got.hex(), flush=True)
        else:
            print("bad %s want %s" % (got.hex(), want.hex()), flush=True)
    extra = read_exactly(conn, 1, 0.3)
    if extra:
        print("extra " + extra.hex(), flush=True)
    print("done", flush=True)
    conn.close()


def delay(delays):
    server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    server.bind(("127.0.0.1", 0))
    server.listen(1)
    print("listening 127.0.0.1:%d" % server.getsockname()[1], flush=True)
    conn, _ = server.accept()
    conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    pending = b""
    for n, ms in enumerate(delays, 1):
        while b"\n" not in pending:
            piece = conn.recv(4096)
            if not piece:
                return
            pending += piece
        read = time.monotonic()
        pending = pending[pending.index(b"\n") + 1:]
        time.sleep(ms / 1000)
        conn.sendall(b"pong %d\r\n" % n)
        print("answered %d %.3f" % (n, (time.monotonic() - read) * 1000), flush=True)
    while conn.recv(4096):
        pass


if __name__ == "__main__":
    if sys.argv[1] == "device":
        device(int(sys.argv[2]), sys.argv[3], sys.argv[4], len(sys.argv) > 5)
    elif sys.argv[1] == "delay":
        delay([int(ms) for ms in sys.argv[2:]])
