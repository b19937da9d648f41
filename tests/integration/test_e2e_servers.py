#!/usr/bin/env python3
"""Destination servers of the end-to-end test, run in the destination
network namespace. Every request is logged on stdout with the address it
came from, so the test can tell which relay (or nobody) carried it:
    http peer=ADDR path=PATH
    udp peer=ADDR
    dns peer=ADDR name=NAME type=N
Prints "ready" once every socket listens.

Usage: test_e2e_servers.py ADDRESS
  HTTP port 8000: /bytes/N answers N bytes, anything else a short text
  UDP  port 7000: answers "echo:<payload>"
  DNS  port 53 (UDP): web.test A ADDRESS; other names NXDOMAIN
"""
import http.server
import socket
import struct
import sys
import threading

ADDRESS = sys.argv[1]
LOCK = threading.Lock()
CHUNK = bytes(i % 251 for i in range(1 << 16))


def log(text):
    with LOCK:
        print(text, flush=True)


def peer(addr):
    return addr[0][7:] if addr[0].startswith("::ffff:") else addr[0]


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_GET(self):
        log("http peer=%s path=%s" % (peer(self.client_address), self.path))
        size = 0
        if self.path.startswith("/bytes/"):
            try:
                size = max(0, min(int(self.path[7:]), 64 << 20))
            except ValueError:
                size = 0
            body = None
        else:
            body = b"hello from the destination\n"
            size = len(body)
        self.send_response(200)
        self.send_header("Content-Length", str(size))
        self.end_headers()
        if body is not None:
            self.wfile.write(body)
            return
        while size > 0:
            part = CHUNK[:min(size, len(CHUNK))]
            self.wfile.write(part)
            size -= len(part)

    def log_message(self, *args):
        pass


class Http(http.server.ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True


def dns_reply(query):
    if len(query) < 17:
        return None
    pos, labels = 12, []
    while pos < len(query) and query[pos] != 0:
        n = query[pos]
        labels.append(query[pos + 1:pos + 1 + n].decode(errors="replace"))
        pos += 1 + n
    if pos + 5 > len(query):
        return None
    name = ".".join(labels).lower()
    qtype = struct.unpack("!H", query[pos + 1:pos + 3])[0]
    answers = []
    rcode = 3
    if name == "web.test":
        rcode = 0
        if qtype == 1:
            answers.append(b"\xc0\x0c" + struct.pack("!HHIH", 1, 1, 60, 4) + socket.inet_aton(ADDRESS))
    head = query[:2] + bytes([0x81, 0x80 | rcode]) + struct.pack("!HHHH", 1, len(answers), 0, 0)
    return head + query[12:pos + 5] + b"".join(answers), name, qtype


def serve_dns(sock):
    while True:
        data, addr = sock.recvfrom(2048)
        reply = dns_reply(data)
        if reply:
            log("dns peer=%s name=%s type=%d" % (peer(addr), reply[1], reply[2]))
            sock.sendto(reply[0], addr)


def serve_echo(sock):
    while True:
        data, addr = sock.recvfrom(65535)
        log("udp peer=%s" % peer(addr))
        sock.sendto(b"echo:" + data, addr)


def udp(port):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind((ADDRESS, port))
    return s


def main():
    web = Http((ADDRESS, 8000), Handler)
    threading.Thread(target=web.serve_forever, daemon=True).start()
    threading.Thread(target=serve_echo, args=(udp(7000),), daemon=True).start()
    threading.Thread(target=serve_dns, args=(udp(53),), daemon=True).start()
    log("ready")
    threading.Event().wait()


if __name__ == "__main__":
    main()
