#!/usr/bin/env python3
"""Destination servers of the module topology tests, run inside the
destination namespace. Every request logs the peer address it came from
("http peer=...", "udp peer=...", "dns peer=...") so a test can tell whether
traffic came through the relay or directly. Prints "ready" once every
socket listens.

Usage: test_module_servers.py ADDR4 ADDR6
  HTTP     port 8000: /small (a short text), /big (100 MiB, its sha256 is
           printed at start as "big sha256=...")
  UDP echo port 7000: answers "echo:<payload>"
  TCP line port 9000: answers each line with "DST <addr>:<port> <line>"
  DNS      port 53 (UDP and TCP): web.test A ADDR4, AAAA ADDR6
"""
import hashlib
import http.server
import socket
import socketserver
import struct
import sys
import threading

ADDR4, ADDR6 = sys.argv[1], sys.argv[2]
BLOCK = bytes((i * 7 + 3) % 256 for i in range(1 << 20))
BIG_BLOCKS = 100
LOG = threading.Lock()


def log(text):
    with LOG:
        print(text, flush=True)


def peer_text(addr):
    host = addr[0]
    return host[7:] if host.startswith("::ffff:") else host


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_GET(self):
        log("http peer=%s path=%s" % (peer_text(self.client_address), self.path))
        if self.path == "/big":
            self.send_response(200)
            self.send_header("Content-Length", str(len(BLOCK) * BIG_BLOCKS))
            self.end_headers()
            for _ in range(BIG_BLOCKS):
                self.wfile.write(BLOCK)
            return
        body = b"hello from the destination\n"
        self.send_response(200)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


class Http4(http.server.ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True


class Http6(Http4):
    address_family = socket.AF_INET6


class LineHandler(socketserver.StreamRequestHandler):
    def handle(self):
        own = self.connection.getsockname()
        where = ("[%s]" % own[0]) if ":" in own[0] else own[0]
        for line in self.rfile:
            reply = "DST %s:%d %s\n" % (where, own[1], line.decode(errors="replace").rstrip("\n"))
            self.wfile.write(reply.encode())


class Line4(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 1024


class Line6(Line4):
    address_family = socket.AF_INET6


def dns_answer(query):
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
    question = query[12:pos + 5]
    answers = []
    if name == "web.test":
        if qtype == 1:
            answers.append((1, socket.inet_pton(socket.AF_INET, ADDR4)))
        elif qtype == 28:
            answers.append((28, socket.inet_pton(socket.AF_INET6, ADDR6)))
        rcode = 0
    elif name == ".".join(reversed(ADDR4.split("."))) + ".in-addr.arpa" and qtype == 12:
        answers.append((12, b"\x03web\x04test\x00"))
        rcode = 0
    else:
        rcode = 3
    head = query[:2] + bytes([0x81, 0x80 | rcode]) + struct.pack("!HHHH", 1, len(answers), 0, 0)
    body = b"".join(b"\xc0\x0c" + struct.pack("!HHIH", t, 1, 60, len(d)) + d for t, d in answers)
    return head + question + body, name, qtype


def dns_udp(sock):
    while True:
        data, addr = sock.recvfrom(2048)
        r = dns_answer(data)
        if r:
            log("dns peer=%s name=%s type=%d" % (peer_text(addr), r[1], r[2]))
            sock.sendto(r[0], addr)


def udp_echo(sock):
    while True:
        data, addr = sock.recvfrom(65535)
        log("udp peer=%s" % peer_text(addr))
        sock.sendto(b"echo:" + data, addr)


def bound(family, kind, addr, port):
    s = socket.socket(family, kind)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    if family == socket.AF_INET6:
        s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
    s.bind((addr, port))
    return s


def main():
    digest = hashlib.sha256()
    for _ in range(BIG_BLOCKS):
        digest.update(BLOCK)
    log("big sha256=%s" % digest.hexdigest())
    servers = [Http4((ADDR4, 8000), Handler), Http6((ADDR6, 8000), Handler),
               Line4((ADDR4, 9000), LineHandler), Line6((ADDR6, 9000), LineHandler)]
    for s in servers:
        threading.Thread(target=s.serve_forever, daemon=True).start()
    for family, addr in ((socket.AF_INET, ADDR4), (socket.AF_INET6, ADDR6)):
        threading.Thread(target=udp_echo, args=(bound(family, socket.SOCK_DGRAM, addr, 7000),), daemon=True).start()
        threading.Thread(target=dns_udp, args=(bound(family, socket.SOCK_DGRAM, addr, 53),), daemon=True).start()
    tcp_dns = bound(socket.AF_INET, socket.SOCK_STREAM, ADDR4, 53)
    tcp_dns.listen(16)
    log("ready")

    def serve_tcp_dns():
        while True:
            c, addr = tcp_dns.accept()
            with c:
                size = c.recv(2)
                if len(size) == 2:
                    q = c.recv(struct.unpack("!H", size)[0])
                    r = dns_answer(q)
                    if r:
                        log("dns peer=%s name=%s type=%d tcp" % (peer_text(addr), r[1], r[2]))
                        c.sendall(struct.pack("!H", len(r[0])) + r[0])
    threading.Thread(target=serve_tcp_dns, daemon=True).start()
    threading.Event().wait()


if __name__ == "__main__":
    main()
