#!/usr/bin/env python3
"""Creates and holds the proxy data block ("GlobalVEILNOX_DATA") as the
client would, for the module benchmark: connected, every program, TCP, UDP
and DNS diverted, through the relay at ADDR:PORT with the private protocol.
Follows the named-object rules: /dev/shm/NAME.UID, mode 0600, created under
an exclusive lock of /dev/shm/veilnox.UID.lock, held with a shared lock for
as long as this process runs. Prints "ready" once the block is filled, then
waits until its standard input closes.

Usage: module_block.py RELAY_ADDR RELAY_PORT MASK(0|1) [RULES]
RULES: comma-separated program names; with them only those programs are
diverted (redirect_all_apps 0), without them every program is.
"""
import fcntl
import mmap
import os
import struct
import sys

SIZE = 33276


def main():
    addr, port, mask = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    rules = [r for r in (sys.argv[4] if len(sys.argv) > 4 else "").split(",") if r]
    uid = os.getuid()
    lock = os.open("/dev/shm/veilnox.%d.lock" % uid, os.O_RDWR | os.O_CREAT, 0o600)
    fcntl.flock(lock, fcntl.LOCK_EX)
    path = "/dev/shm/GlobalVEILNOX_DATA.%d" % uid
    fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_NOFOLLOW, 0o600)
    os.fchmod(fd, 0o600)
    os.ftruncate(fd, 0)
    os.ftruncate(fd, SIZE)
    fcntl.flock(fd, fcntl.LOCK_SH)
    os.close(lock)
    block = mmap.mmap(fd, SIZE)
    block[0:6] = bytes([2, 0, 1, 1, 1, 0])           # mark, connected (set last), dns, udp, tcp, debug
    block[8:12] = struct.pack("<I", 1)                 # client_window
    block[12:68] = addr.encode().ljust(56, b"\0")[:56]
    block[68:70] = struct.pack("<H", port)
    block[188:244] = b"private".ljust(56, b"\0")
    block[244] = mask                                  # encrypt_data
    block[245] = 0 if rules else 1                     # redirect_all_apps
    for i, rule in enumerate(rules[:128]):             # ProgramRule: UTF-16LE name[128], enabled
        at = 252 + 258 * i
        block[at:at + 256] = rule.encode("utf-16-le")[:254].ljust(256, b"\0")
        block[at + 256] = 1
    block[248:252] = struct.pack("<i", min(len(rules), 128))
    block[1] = 1                                       # connected
    print("ready", flush=True)
    sys.stdin.read()


if __name__ == "__main__":
    main()
