# A UDP peer for the datagram tests. Every line it prints is flushed at once.
#   echo HOST [PORT]  binds HOST (127.0.0.1 or ::1) on PORT or one of the system's choice, prints
#                     "listening <address>:<port>", and answers each datagram with the same
#                     bytes, after printing "got <length> <sha256 of the bytes>"
#   talk HOST PORT    binds a port of its own on HOST, prints "bound <address>:<port>", then for
#                     each line "send <hex>" read from its standard input sends those bytes as one
#                     datagram to HOST:PORT and prints "sent <length>"; each datagram that comes
#                     back prints "reply <hex>"
#   flood HOST PORT COUNT SIZE
#                     sends COUNT datagrams of SIZE bytes, each starting with its number, prints
#                     "flooded <count>", then for each line "send <hex>" sends it as talk does
import hashlib
import select
import socket
import sys


def bind(host, port=0):
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    sock = socket.socket(family, socket.SOCK_DGRAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
    sock.bind((host, port))
    return sock


def shown(sock):
    address = sock.getsockname()
    return ("[%s]:%d" if sock.family == socket.AF_INET6 else "%s:%d") % address[:2]


def echo(host, port):
    sock = bind(host, port)
    print("listening " + shown(sock), flush=True)
    while True:
        data, sender = sock.recvfrom(70000)
        print("got %d %s" % (len(data), hashlib.sha256(data).hexdigest()), flush=True)
        sock.sendto(data, sender)


def talk(sock, target):
    stdin = sys.stdin.buffer
    while True:
        ready, _, _ = select.select([sock, stdin], [], [])
        if sock in ready:
            data, _ = sock.recvfrom(70000)
            print("reply " + data.hex(), flush=True)
        if stdin in ready:
            line = stdin.readline()
            if not line:
                return
            words = line.split()
            if len(words) >= 1 and words[0] == b"send":
                data = bytes.fromhex(words[1].decode()) if len(words) > 1 else b""
                sock.sendto(data, target)
                print("sent %d" % len(data), flush=True)


mode = sys.argv[1]
if mode == "echo":
    echo(sys.argv[2], int(sys.argv[3]) if len(sys.argv) > 3 else 0)
elif mode == "talk":
    sock = bind(sys.argv[2])
    print("bound " + shown(sock), flush=True)
    talk(sock, (sys.argv[2], int(sys.argv[3])))
elif mode == "flood":
    sock = bind(sys.argv[2])
    target = (sys.argv[2], int(sys.argv[3]))
    count, size = int(sys.argv[4]), int(sys.argv[5])
    for i in range(count):
        sock.sendto(b"%08d" % i + b"." * (size - 8), target)
    print("flooded %d" % count, flush=True)
    talk(sock, target)
