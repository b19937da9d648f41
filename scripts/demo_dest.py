#!/usr/bin/env python3
"""The destination web server of the demonstration (scripts/demo), run in
the destination network namespace. Every request is logged with the address
it came from, one line per request in LOG_FILE:
    peer=<address> path=<path>
Prints "ready" on stdout once it listens.

Usage: demo_dest.py ADDRESS PORT LOG_FILE
  /            a short greeting
  /bytes/N     N bytes (at most 256 MiB) as fast as they go
  /paced/N     N bytes at 2 MB/s, so that a transfer lasts long enough to
               be watched
"""
import http.server
import sys
import threading
import time

ADDRESS, PORT, LOG_FILE = sys.argv[1], int(sys.argv[2]), sys.argv[3]
CHUNK = bytes(i % 251 for i in range(1 << 16))
MAX_BYTES = 256 << 20
PACE = 2000000  # bytes per second of /paced/
LOCK = threading.Lock()


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_GET(self):
        host = self.client_address[0]
        if host.startswith("::ffff:"):
            host = host[7:]
        with LOCK, open(LOG_FILE, "a") as log:
            log.write("peer=%s path=%s\n" % (host, self.path))
        paced = self.path.startswith("/paced/")
        if self.path.startswith("/bytes/") or paced:
            try:
                size = max(0, min(int(self.path.split("/")[2]), MAX_BYTES))
            except ValueError:
                size = 0
            self.send_response(200)
            self.send_header("Content-Type", "application/octet-stream")
            self.send_header("Content-Length", str(size))
            self.end_headers()
            left = size
            start = time.monotonic()
            while left > 0:
                part = CHUNK[:min(left, len(CHUNK))]
                self.wfile.write(part)
                left -= len(part)
                if paced:
                    ahead = (size - left) / PACE - (time.monotonic() - start)
                    if ahead > 0:
                        time.sleep(ahead)
            return
        body = ("Hello from the destination. You came from %s.\n" % host).encode()
        self.send_response(200)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True


def main():
    server = Server((ADDRESS, PORT), Handler)
    print("ready", flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
