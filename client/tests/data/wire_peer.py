# A loopback peer for the send and save tests. It listens on 127.0.0.1, prints
# "listening 127.0.0.1:<port>", and serves one connection after another:
#   sink          prints "accepted <n>", reads until the client closes, then prints
#                 "got <n> <hex of the bytes>"
#   blast <size>  sends size pseudo-random bytes (every byte value), prints "sha <sha256>", closes
#   lines <count> sends "line <i>\r\n" every 50 ms, prints "sent", then waits for the client to close
import hashlib
import random
import socket
import sys
import time

mode = sys.argv[1]
server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
server.bind(("127.0.0.1", 0))
server.listen(8)
print("listening 127.0.0.1:%d" % server.getsockname()[1], flush=True)
served = 0
while True:
    conn, _ = server.accept()
    served += 1
    if mode == "sink":
        print("accepted %d" % served, flush=True)
        data = b""
        while True:
            piece = conn.recv(65536)
            if not piece:
                break
            data += piece
        print("got %d %s" % (served, data.hex()), flush=True)
    elif mode == "blast":
        data = random.Random(14).randbytes(int(sys.argv[2]))
        conn.sendall(data)
        print("sha " + hashlib.sha256(data).hexdigest(), flush=True)
    elif mode == "lines":
        for i in range(1, int(sys.argv[2]) + 1):
            conn.sendall(b"line %d\r\n" % i)
            time.sleep(0.05)
        print("sent", flush=True)
        while conn.recv(65536):
            pass
    conn.close()
