# Python's http.server on a loopback port for POST requests. It prints
# "listening 127.0.0.1:<port>", then for each POST "post <path> <Content-Length> <hex of the body>"
# (flushed), having read exactly Content-Length bytes of body, and answers "200 OK" with the text
# "got <n> bytes". Connections are kept alive (HTTP/1.1), so a Content-Length that is too short
# leaves bytes that make the next request a bad one, and one too long keeps the server waiting.
import http.server


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_POST(self):
        length = int(self.headers["Content-Length"])
        body = self.rfile.read(length)
        print("post %s %d %s" % (self.path, length, body.hex()), flush=True)
        reply = b"got %d bytes" % len(body)
        self.send_response(200)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(reply)))
        self.end_headers()
        self.wfile.write(reply)

    def log_message(self, *args):
        pass


server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
print("listening 127.0.0.1:%d" % server.server_address[1], flush=True)
server.serve_forever()
