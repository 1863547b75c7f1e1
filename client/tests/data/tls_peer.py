#!/usr/bin/env python3
"""TLS peers for the client's tests, built on Python's ssl module (an implementation other than
the client's own use of OpenSSL's API), on loopback only.

  tls_peer.py server CERT KEY [tls12]   accept one client, echo each line back
  tls_peer.py starttls CERT KEY [late]  answer like SMTP, upgrade on STARTTLS, then echo a line;
                                        late: a clear-text line after the client's hello came
  tls_peer.py pinclient PORT SHA256     connect, require the certificate's fingerprint, ping
"""
import hashlib
import socket
import ssl
import sys


def listen():
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.bind(("127.0.0.1", 0))
    s.listen(1)
    print("PORT 127.0.0.1:%d" % s.getsockname()[1], flush=True)
    return s


def server_context(cert, key, tls12=False):
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(cert, key)
    if tls12:
        ctx.maximum_version = ssl.TLSVersion.TLSv1_2
    return ctx


def echo_lines(conn):
    f = conn.makefile("rwb")
    for line in f:
        print("GOT " + line.decode(errors="replace").rstrip(), flush=True)
        f.write(line)
        f.flush()


def server(cert, key, tls12):
    ctx = server_context(cert, key, tls12)
    s = listen()
    conn, _ = s.accept()
    with ctx.wrap_socket(conn, server_side=True) as tls:
        print("VERSION " + tls.version(), flush=True)
        echo_lines(tls)


def starttls(cert, key, late):
    ctx = server_context(cert, key)
    s = listen()
    conn, _ = s.accept()
    conn.sendall(b"220 tarvotcpc.test ESMTP\r\n")
    line = b""
    while not line.endswith(b"\n"):
        part = conn.recv(1)
        if not part:
            return
        line += part
    if line.strip().upper() != b"STARTTLS":
        conn.sendall(b"500 unknown\r\n")
        return
    conn.sendall(b"220 ready\r\n")
    if late:
        # Only peeked: the handshake below still reads the hello.
        conn.recv(1, socket.MSG_PEEK)
        conn.sendall(b"250 late clear text\r\n")
    with ctx.wrap_socket(conn, server_side=True) as tls:
        print("UPGRADED " + tls.version(), flush=True)
        echo_lines(tls)


def pinclient(port, fingerprint):
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    # The pin replaces the CA check: the fingerprint is compared below.
    ctx.check_hostname = False
    ctx.verify_mode = ssl.CERT_NONE
    with socket.create_connection(("127.0.0.1", port)) as raw:
        with ctx.wrap_socket(raw, server_hostname="localhost") as tls:
            der = tls.getpeercert(binary_form=True)
            seen = hashlib.sha256(der).hexdigest()
            want = fingerprint.replace(":", "").lower()
            if seen != want:
                print("MISMATCH " + seen, flush=True)
                return 2
            tls.sendall(b"ping\n")
            answer = tls.makefile("rb").readline()
            print("ANSWER " + answer.decode().strip() + " " + tls.version(), flush=True)
            return 0 if answer == b"pong\n" else 3


if __name__ == "__main__":
    mode = sys.argv[1]
    if mode == "server":
        server(sys.argv[2], sys.argv[3], len(sys.argv) > 4 and sys.argv[4] == "tls12")
    elif mode == "starttls":
        starttls(sys.argv[2], sys.argv[3], len(sys.argv) > 4 and sys.argv[4] == "late")
    elif mode == "pinclient":
        sys.exit(pinclient(int(sys.argv[2]), sys.argv[3]))
