#!/usr/bin/env python3
"""TLS peers for the client's tests, built on Python's ssl module (an implementation other than
the client's own use of OpenSSL's API), on loopback only.

  tls_peer.py server CERT KEY [VERSION]  accept one client, say the name it asked for (SNI),
                                        echo each line back; VERSION tls12 caps the protocol at
                                        TLS 1.2, tls1 and tls1_1 offer only that old version (an
                                        RSA key's CERT: those ciphers need it at SECLEVEL=0)
  tls_peer.py alpn CERT KEY PROTOCOLS  accept one client choosing from PROTOCOLS ("h2,http/1.1", or
                                        "-" for no ALPN at all), say the name it asked for (SNI)
                                        and the protocol chosen ("ALPN None": none), echo lines
  tls_peer.py truncate CERT KEY SIZE [notify]
                                        accept one client, send SIZE bytes, then close the TCP
                                        stream without close_notify (with notify: with it)
  tls_peer.py starttls CERT KEY [late]  answer like SMTP, upgrade on STARTTLS, then echo a line;
                                        late: a clear-text line after the client's hello came
  tls_peer.py pinclient PORT SHA256     connect, require the certificate's fingerprint, ping
"""
import hashlib
import socket
import ssl
import sys
import warnings

# The old versions are offered on purpose; Python's warning about them would mix with the output.
warnings.filterwarnings("ignore", category=DeprecationWarning)


def listen():
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.bind(("127.0.0.1", 0))
    s.listen(1)
    print("PORT 127.0.0.1:%d" % s.getsockname()[1], flush=True)
    return s


OLD_VERSIONS = {"tls1": ssl.TLSVersion.TLSv1, "tls1_1": ssl.TLSVersion.TLSv1_1}


def server_context(cert, key, version=""):
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(cert, key)
    if version == "tls12":
        ctx.maximum_version = ssl.TLSVersion.TLSv1_2
    elif version in OLD_VERSIONS:
        ctx.minimum_version = OLD_VERSIONS[version]
        ctx.maximum_version = OLD_VERSIONS[version]
        ctx.set_ciphers("AES128-SHA:@SECLEVEL=0")
    return ctx


def echo_lines(conn):
    f = conn.makefile("rwb")
    for line in f:
        print("GOT " + line.decode(errors="replace").rstrip(), flush=True)
        f.write(line)
        f.flush()


def server(cert, key, version):
    ctx = server_context(cert, key, version)
    ctx.sni_callback = lambda tls, name, context: print("SNI %s" % name, flush=True)
    s = listen()
    conn, _ = s.accept()
    try:
        tls = ctx.wrap_socket(conn, server_side=True)
    except (ssl.SSLError, OSError) as e:
        print("REFUSED %s" % e, flush=True)
        return
    with tls:
        print("VERSION " + tls.version(), flush=True)
        echo_lines(tls)


def alpn(cert, key, protocols):
    ctx = server_context(cert, key)
    if protocols != "-":
        ctx.set_alpn_protocols(protocols.split(","))
    ctx.sni_callback = lambda tls, name, context: print("SNI %s" % name, flush=True)
    s = listen()
    conn, _ = s.accept()
    try:
        tls = ctx.wrap_socket(conn, server_side=True)
    except (ssl.SSLError, OSError) as e:
        print("REFUSED %s" % e, flush=True)
        return
    with tls:
        print("ALPN %s" % tls.selected_alpn_protocol(), flush=True)
        echo_lines(tls)


def truncate(cert, key, size, notify):
    ctx = server_context(cert, key)
    s = listen()
    conn, _ = s.accept()
    tls = ctx.wrap_socket(conn, server_side=True)
    pattern = bytes(range(256))
    data = (pattern * (size // 256 + 1))[:size]
    tls.sendall(data)
    if notify:
        tls.unwrap().close()
    else:
        # The socket's own shutdown, under the TLS layer: a FIN with no close_notify before it.
        socket.socket.shutdown(tls, socket.SHUT_RDWR)
        tls.close()
    print("SENT %d" % size, flush=True)


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
        server(sys.argv[2], sys.argv[3], sys.argv[4] if len(sys.argv) > 4 else "")
    elif mode == "alpn":
        alpn(sys.argv[2], sys.argv[3], sys.argv[4])
    elif mode == "truncate":
        truncate(sys.argv[2], sys.argv[3], int(sys.argv[4]), len(sys.argv) > 5)
    elif mode == "starttls":
        starttls(sys.argv[2], sys.argv[3], len(sys.argv) > 4 and sys.argv[4] == "late")
    elif mode == "pinclient":
        sys.exit(pinclient(int(sys.argv[2]), sys.argv[3]))
