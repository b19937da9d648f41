#!/usr/bin/env python3
"""Destination servers of the tests and the demonstration, run in a network
namespace that the test (or scripts/demo) made. Each service is started by
its option; nothing listens on anything else. Prints "ready" on stdout once
every socket listens.

Every request is logged with the address it came from, so that the caller
can tell which relay (or nobody) carried it, on stdout:
    http peer=ADDR path=PATH
    udp peer=ADDR
    dns peer=ADDR name=NAME type=N        (" tcp" added for DNS over TCP)
With --access-log FILE the HTTP lines go to FILE instead, as
    peer=ADDR path=PATH

Usage: servers.py [options] ADDR4 [ADDR6]
  --http PORT     HTTP: /bytes/N answers N bytes (at most 64 MiB), anything
                  else "hello from the destination"
  --big           HTTP also serves /big (100 MiB); its sha256 is printed
                  first as "big sha256=..."
  --demo          HTTP as the demonstration shows it: a greeting naming the
                  visitor's address, /bytes/N up to 256 MiB, /paced/N at
                  2 MB/s so that a transfer lasts long enough to be watched
  --access-log F  the HTTP log lines go to file F
  --echo PORT     UDP echo: answers "echo:<payload>"
  --line PORT     TCP: answers each line with "DST <addr>:<port> <line>",
                  and logs "line peer=ADDR text=LINE"
  --dns PORT      DNS over UDP: web.test A ADDR4 (AAAA ADDR6), the reverse
                  name of ADDR4 PTR web.test; anything else NXDOMAIN
  --dns-tcp       DNS over TCP too (on ADDR4, the same port)
Services listen on ADDR4, and on ADDR6 too when it is given.
"""
import argparse
import hashlib
import http.server
import socket
import socketserver
import struct
import sys
import threading
import time

LOCK = threading.Lock()
CHUNK = bytes(i % 251 for i in range(1 << 16))
BLOCK = bytes((i * 7 + 3) % 256 for i in range(1 << 20))
BIG_BLOCKS = 100
PACE = 2000000  # bytes per second of /paced/
OPTS = None


def log(text):
    with LOCK:
        print(text, flush=True)


def peer_text(addr):
    host = addr[0]
    return host[7:] if host.startswith("::ffff:") else host


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_GET(self):
        host = peer_text(self.client_address)
        if OPTS.access_log:
            with LOCK, open(OPTS.access_log, "a") as f:
                f.write("peer=%s path=%s\n" % (host, self.path))
        else:
            log("http peer=%s path=%s" % (host, self.path))
        if OPTS.big and self.path == "/big":
            self.send_response(200)
            self.send_header("Content-Length", str(len(BLOCK) * BIG_BLOCKS))
            self.end_headers()
            for _ in range(BIG_BLOCKS):
                self.wfile.write(BLOCK)
            return
        paced = OPTS.demo and self.path.startswith("/paced/")
        if self.path.startswith("/bytes/") or paced:
            self.send_bytes(paced)
            return
        if OPTS.demo:
            body = ("Hello from the destination. You came from %s.\n" % host).encode()
        else:
            body = b"hello from the destination\n"
        self.send_response(200)
        if OPTS.demo:
            self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def send_bytes(self, paced):
        limit = (256 if OPTS.demo else 64) << 20
        try:
            size = max(0, min(int(self.path.split("/")[2]), limit))
        except ValueError:
            size = 0
        self.send_response(200)
        if OPTS.demo:
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
            log("line peer=%s text=%s" % (peer_text(self.client_address), line.decode(errors="replace").strip()))
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
            answers.append((1, socket.inet_pton(socket.AF_INET, OPTS.addr4)))
        elif qtype == 28 and OPTS.addr6:
            answers.append((28, socket.inet_pton(socket.AF_INET6, OPTS.addr6)))
        rcode = 0
    elif name == ".".join(reversed(OPTS.addr4.split("."))) + ".in-addr.arpa" and qtype == 12:
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


def dns_tcp(listener):
    while True:
        c, addr = listener.accept()
        with c:
            size = c.recv(2)
            if len(size) == 2:
                q = c.recv(struct.unpack("!H", size)[0])
                r = dns_answer(q)
                if r:
                    log("dns peer=%s name=%s type=%d tcp" % (peer_text(addr), r[1], r[2]))
                    c.sendall(struct.pack("!H", len(r[0])) + r[0])


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


def parse(argv):
    p = argparse.ArgumentParser(description="Destination servers of the tests and the demonstration.")
    p.add_argument("--http", type=int)
    p.add_argument("--big", action="store_true")
    p.add_argument("--demo", action="store_true")
    p.add_argument("--access-log")
    p.add_argument("--echo", type=int)
    p.add_argument("--line", type=int)
    p.add_argument("--dns", type=int)
    p.add_argument("--dns-tcp", action="store_true")
    p.add_argument("addr4")
    p.add_argument("addr6", nargs="?")
    return p.parse_args(argv)


def start(target, *args):
    threading.Thread(target=target, args=args, daemon=True).start()


def main():
    global OPTS
    OPTS = parse(sys.argv[1:])
    if OPTS.big:
        digest = hashlib.sha256()
        for _ in range(BIG_BLOCKS):
            digest.update(BLOCK)
        log("big sha256=%s" % digest.hexdigest())
    families = [(socket.AF_INET, OPTS.addr4)]
    if OPTS.addr6:
        families.append((socket.AF_INET6, OPTS.addr6))
    for family, addr in families:
        v6 = family == socket.AF_INET6
        if OPTS.http is not None:
            start((Http6 if v6 else Http4)((addr, OPTS.http), Handler).serve_forever)
        if OPTS.line is not None:
            start((Line6 if v6 else Line4)((addr, OPTS.line), LineHandler).serve_forever)
        if OPTS.echo is not None:
            start(udp_echo, bound(family, socket.SOCK_DGRAM, addr, OPTS.echo))
        if OPTS.dns is not None:
            start(dns_udp, bound(family, socket.SOCK_DGRAM, addr, OPTS.dns))
    if OPTS.dns is not None and OPTS.dns_tcp:
        listener = bound(socket.AF_INET, socket.SOCK_STREAM, OPTS.addr4, OPTS.dns)
        listener.listen(16)
        start(dns_tcp, listener)
    log("ready")
    threading.Event().wait()


if __name__ == "__main__":
    main()
