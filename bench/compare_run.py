#!/usr/bin/env python3
"""The measuring half of bench/compare: runs inside a private network and
mount namespace (bench/compare enters it) and prints the chains' table, then
the kernel capture service's memory: idle, with CAPTURE_PROCS processes in
its cgroup folder, with CAPTURE_CONNS captured TCP connections open, idle again.

Namespaces (made here, nothing leaves them):
  app     192.0.2.2     the measuring programs; veilnoxsvr, ss-local and the
                        first socat of each pair (all on this side, like the
                        program that carries the network-stack module)
  relay   192.0.2.1     veilnox-relay, microsocks, ss-server, the second socat
          198.51.100.1  of each pair; also the router for direct traffic
  dest    198.51.100.2  iperf3 server, connection-rate server, TCP/UDP echo

Usage: compare_run.py BIN_DIR WORK_DIR TOOLS_DIR
"""
import ctypes
import json
import os
import re
import resource
import shutil
import signal
import statistics
import subprocess
import sys
import time

BIN, WORK, TOOLS = sys.argv[1:4]
HERE = os.path.dirname(os.path.abspath(__file__))
QUICK = os.environ.get("VNX_COMPARE_QUICK", "") not in ("", "0")
REPS = int(os.environ.get("REPS", "1" if QUICK else "3"))
SECS = float(os.environ.get("SECS", "2" if QUICK else "5"))
HOLD_N = int(os.environ.get("HOLD_N", "1000"))
CAP_PROCS = int(os.environ.get("CAPTURE_PROCS", "10000"))
CAP_CONNS = CAP_CONNS_ASKED = int(os.environ.get("CAPTURE_CONNS", "20000"))
ONLY = [x.strip().lower() for x in os.environ.get("VNX_COMPARE_ONLY", "").split(",") if x.strip()]
CLK = os.sysconf("SC_CLK_TCK")
PYTHON = "/usr/bin/python3" if os.path.exists("/usr/bin/python3") else sys.executable

DEST, RELAY = "198.51.100.2", "192.0.2.1"
P_IPERF, P_ECHO, P_RATE, P_VNX, P_SOCKS, P_SS, P_SSLOCAL = 5201, 9000, 9001, 7443, 1080, 8388, 1081
# socat pairs: service -> (first hop port on 127.0.0.1, second hop port on RELAY)
SOCAT = {"iperf": (7001, 7101, P_IPERF), "echo": (7002, 7102, P_ECHO), "rate": (7003, 7103, P_RATE)}
SOCAT_UDP = (7004, 7104, P_ECHO)
SS_KEY, SS_METHOD = "veilnox-bench", "aes-256-gcm"

started = []  # Popen objects, ended by pid at exit
# The programs Veilnox diverts (both modes); copies under other names are
# outside the rules.
RULES = "iperf3,connrate,compare_load"
capture = {}  # the kernel capture's cgroup folder and pin folder, removed at exit
capture_rows = []  # the capture service's memory, one dict per state measured


def selected(name):
    """Whether a chain is measured (direct always is: the base of every ratio)."""
    return not ONLY or name == "direct" or any(o in name.lower() for o in ONLY)


# The capture's memory table comes with its rows.
CAPTURE_MEMORY = selected("Veilnox, kernel capture, plain")


def log(text):
    print(text, file=sys.stderr, flush=True)


def sh(argv, **kw):
    subprocess.run(argv, check=True, **kw)


def start(name, argv, ns=None, stdin=subprocess.DEVNULL, env=None):
    if ns:
        argv = ["nsenter", "-t", str(ns), "-n"] + argv
    out = open(os.path.join(WORK, name + ".log"), "wb")
    p = subprocess.Popen(argv, stdout=out, stderr=subprocess.STDOUT, stdin=stdin, env=env)
    p.name = name
    started.append(p)
    return p


def wait_text(name, text, seconds=20):
    path = os.path.join(WORK, name + ".log")
    end = time.time() + seconds
    while time.time() < end:
        with open(path, "rb") as f:
            if text.encode() in f.read():
                return
        time.sleep(0.05)
    raise RuntimeError("%s never printed %r; see %s" % (name, text, path))


def wait_listen(holder, addr_hex_port, proto="tcp", seconds=20):
    """Until a socket listens in the namespace of `holder` (a pid)."""
    path = "/proc/%d/net/%s" % (holder, proto)
    end = time.time() + seconds
    while time.time() < end:
        with open(path) as f:
            for line in f.readlines()[1:]:
                c = line.split()
                if c[1] == addr_hex_port and (proto == "udp" or c[3] == "0A"):
                    return
        time.sleep(0.05)
    raise RuntimeError("nothing listens on %s in %s" % (addr_hex_port, path))


def hexaddr(ip, port):
    return "%s:%04X" % ("".join("%02X" % int(x) for x in reversed(ip.split("."))), port)


# ------------------------------------------------------------------ process accounting
def proc_stat(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            s = f.read()
    except OSError:
        return None
    f = s[s.rindex(")") + 2:].split()
    return dict(ppid=int(f[1]), cpu=sum(int(x) for x in f[11:15]) / CLK)


def tree(roots):
    kids = {}
    for d in os.listdir("/proc"):
        if d.isdigit():
            st = proc_stat(int(d))
            if st:
                kids.setdefault(st["ppid"], []).append(int(d))
    out, todo = [], list(roots)
    while todo:
        p = todo.pop()
        out.append(p)
        todo.extend(kids.get(p, []))
    return out


def cpu_of(roots):
    """CPU seconds of the processes and their living children (user+system,
    children already reaped included)."""
    return sum((proc_stat(p) or {"cpu": 0})["cpu"] for p in tree(roots))


def pss_of(pids):
    total = 0
    for p in pids:
        try:
            with open("/proc/%d/smaps_rollup" % p) as f:
                for line in f:
                    if line.startswith("Pss:"):
                        total += int(line.split()[1]) * 1024
        except OSError:
            pass
    return total


# ------------------------------------------------------------------ set-up
def setup():
    sh(["mount", "-t", "tmpfs", "-o", "mode=1777", "tmpfs", "/dev/shm"])
    sh(["ip", "link", "set", "lo", "up"])
    global CAP_CONNS
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if CAPTURE_MEMORY:  # the held connections: the local server and the relay hold two descriptors each
        with open("/proc/sys/fs/nr_open") as f:
            want = max(hard, min(int(f.read()), 2 * CAP_CONNS + 4096))
        try:
            resource.setrlimit(resource.RLIMIT_NOFILE, (want, want))
            hard = want
        except (ValueError, OSError):  # raising the hard limit needs CAP_SYS_RESOURCE
            capture["nofile"] = hard
            CAP_CONNS = min(CAP_CONNS, (hard - 1024) // 2)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    ns = {}
    for name in ("relay", "dest"):
        p = start(name + "-ns", ["unshare", "-n", "sleep", "100000"])
        ns[name] = p.pid
    end = time.time() + 5
    for pid in ns.values():  # the holder has unshared once its namespace differs from ours
        while os.readlink("/proc/%d/ns/net" % pid) == os.readlink("/proc/self/ns/net"):
            if time.time() > end:
                raise RuntimeError("cannot make a network namespace")
            time.sleep(0.01)
    R, D = str(ns["relay"]), str(ns["dest"])
    inR = ["nsenter", "-t", R, "-n"]
    inD = ["nsenter", "-t", D, "-n"]
    sh(["ip", "link", "add", "va", "type", "veth", "peer", "name", "vr", "netns", R])
    sh(["ip", "link", "add", "vd", "netns", D, "type", "veth", "peer", "name", "vo", "netns", R])
    sh(["ip", "addr", "add", "192.0.2.2/24", "dev", "va"])
    sh(["ip", "link", "set", "va", "up"])
    sh(["ip", "route", "add", "default", "via", RELAY])
    for cmd in (["ip", "link", "set", "lo", "up"], ["ip", "addr", "add", "192.0.2.1/24", "dev", "vr"],
                ["ip", "addr", "add", "198.51.100.1/24", "dev", "vo"], ["ip", "link", "set", "vr", "up"],
                ["ip", "link", "set", "vo", "up"], ["sysctl", "-q", "-w", "net.ipv4.ip_forward=1"]):
        sh(inR + cmd)
    for cmd in (["ip", "link", "set", "lo", "up"], ["ip", "addr", "add", DEST + "/24", "dev", "vd"],
                ["ip", "link", "set", "vd", "up"], ["ip", "route", "add", "default", "via", "198.51.100.1"]):
        sh(inD + cmd)
    return ns


def start_daemons(ns):
    R, D = ns["relay"], ns["dest"]
    d = {"relay-ns": R}
    d["iperf3"] = start("iperf3", ["iperf3", "-s", "--forceflush", "-B", DEST, "-p", str(P_IPERF)], D)
    d["ratesrv"] = start("ratesrv", [os.path.join(TOOLS, "connrate"), "server", DEST, str(P_RATE), "4"], D)
    d["echo"] = start("echo", [os.path.join(TOOLS, "compare_load"), "echo", DEST, str(P_ECHO)], D)
    # The measuring side is one source: room for HOLD_N connections from it.
    room = str(max(4096, HOLD_N + 64, CAP_CONNS + 64 if CAPTURE_MEMORY else 0))
    d["relay"] = start("relay", [os.path.join(BIN, "veilnox-relay"), "--listen", "%s:%d" % (RELAY, P_VNX),
                                 "--allow", "192.0.2.0/24", "--max-conns", room, "--max-conns-per-source", room,
                                 "--quiet"], R)
    d["microsocks"] = start("microsocks", ["microsocks", "-i", RELAY, "-p", str(P_SOCKS)], R)
    d["ss-server"] = start("ss-server", ["ss-server", "-s", RELAY, "-p", str(P_SS), "-k", SS_KEY, "-m", SS_METHOD,
                                         "--fast-open", "--no-delay"], R)
    d["ss-local"] = start("ss-local", ["ss-local", "-s", RELAY, "-p", str(P_SS), "-b", "127.0.0.1", "-l",
                                       str(P_SSLOCAL), "-k", SS_KEY, "-m", SS_METHOD, "--no-delay"])
    socats = []
    for name, (first, second, target) in SOCAT.items():
        socats.append(start("socat-%s-b" % name, ["socat", "TCP4-LISTEN:%d,bind=%s,fork,reuseaddr,backlog=4096"
                                                  % (second, RELAY), "TCP4:%s:%d" % (DEST, target)], R))
        socats.append(start("socat-%s-a" % name, ["socat", "TCP4-LISTEN:%d,bind=127.0.0.1,fork,reuseaddr,backlog=4096"
                                                  % first, "TCP4:%s:%d" % (RELAY, second)]))
    first, second, target = SOCAT_UDP
    socats.append(start("socat-udp-b", ["socat", "-T", "15", "UDP4-LISTEN:%d,bind=%s,reuseaddr,fork" % (second, RELAY),
                                        "UDP4:%s:%d" % (DEST, target)], R))
    socats.append(start("socat-udp-a", ["socat", "-T", "15", "UDP4-LISTEN:%d,bind=127.0.0.1,reuseaddr,fork" % first,
                                        "UDP4:%s:%d" % (RELAY, second)]))
    d["socats"] = socats

    wait_text("iperf3", "Server listening")
    wait_text("ratesrv", "ready")
    wait_text("echo", "ready")
    wait_text("relay", "veilnox-relay listening on")
    wait_listen(R, hexaddr(RELAY, P_SOCKS))
    wait_listen(R, hexaddr(RELAY, P_SS))
    wait_listen(os.getpid(), hexaddr("127.0.0.1", P_SSLOCAL))
    for name, (first, second, _) in SOCAT.items():
        wait_listen(R, hexaddr(RELAY, second))
        wait_listen(os.getpid(), hexaddr("127.0.0.1", first))

    # Veilnox's client side: the proxy data block (held by module_block.py,
    # as the client would hold it), the local server, the module catalog.
    block_in = subprocess.PIPE
    d["block"] = start("block", [PYTHON, os.path.join(HERE, "module_block.py"), RELAY, str(P_VNX), "1", RULES],
                       stdin=block_in)
    wait_text("block", "ready")
    start_capture(d)
    # In the capture's folder from its start: an accepted connection answers
    # the hooks' questions only if the listening socket was made there.
    d["veilnoxsvr"] = start("veilnoxsvr", in_capture([os.path.join(BIN, "veilnoxsvr")]))
    wait_text("veilnoxsvr", "tcp connections:0 , udp connections:0 END.")
    # veilnox-run finds the module through the catalog of this data folder.
    os.environ["XDG_DATA_HOME"] = os.path.join(WORK, "data")
    catalog = os.path.join(WORK, "data", "Veilnox", "module")
    os.makedirs(catalog, exist_ok=True)
    with open(os.path.join(catalog, "catalog"), "w") as f:
        f.write("{D3C21122-85E1-53F3-9BB6-23D30C7B09EF} %s\n" % os.path.join(BIN, "libveilnox-module.so"))
    for name, proxy in (("microsocks", "%s %d" % (RELAY, P_SOCKS)), ("ss", "127.0.0.1 %d" % P_SSLOCAL)):
        with open(os.path.join(WORK, "proxychains-%s.conf" % name), "w") as f:
            f.write("strict_chain\nquiet_mode\ntcp_read_time_out 15000\ntcp_connect_time_out 8000\n"
                    "[ProxyList]\nsocks5 %s\n" % proxy)
    return d


def cgroup2_root():
    with open("/proc/self/mounts") as f:
        for line in f:
            parts = line.split()
            if len(parts) > 2 and parts[2] == "cgroup2":
                return parts[1]
    raise RuntimeError("no cgroup-v2 hierarchy: the kernel capture rows cannot be measured")


def start_capture(d):
    """veilnox-capture on a cgroup folder of its own (never the root); the
    capture rows and veilnoxsvr start their programs there."""
    folder = os.path.join(cgroup2_root(), "vnxbench-%d" % os.getpid())
    os.makedirs(folder, exist_ok=True)
    capture["cgroup"] = folder
    capture["pins"] = "/sys/fs/bpf/vnxbench-%d" % os.getpid()
    d["capture"] = start("capture", [os.path.join(BIN, "veilnox-capture"), "--cgroup", folder, "--pin-dir",
                                     capture["pins"], "--state-file", os.path.join(WORK, "capture.pid")])
    wait_text("capture", "veilnox-capture: ready")
    wait_text("capture", "connected=1")
    if CAPTURE_MEMORY:
        measure_capture("idle, right after \"ready\"", d)
    for name in ("iperf3", "connrate", "compare_load"):  # copies outside the rules
        src = shutil.which(name) or os.path.join(TOOLS, name)
        shutil.copy(src, os.path.join(TOOLS, name + "-outside"))


def in_capture(argv):
    return ["sh", "-c", 'echo $$ > %s/cgroup.procs && exec "$@"' % capture["cgroup"], "sh"] + argv


def stop_capture():
    if "pins" in capture:
        subprocess.run([os.path.join(BIN, "veilnox-capture"), "--detach", "--pin-dir", capture["pins"]])
    if "cgroup" in capture:
        end = time.time() + 5
        while True:
            try:
                os.rmdir(capture["cgroup"])
                break
            except OSError:
                if time.time() > end:
                    break
                time.sleep(0.05)


def set_mask(on):
    with open("/dev/shm/GlobalVEILNOX_DATA.%d" % os.getuid(), "r+b") as f:
        f.seek(244)
        f.write(bytes([1 if on else 0]))


# ------------------------------------------------------------------ chains
class Chain:
    def __init__(self, name, prefix=(), daemons=(), socat=False, mask=None, udp=True, outside=False):
        self.name, self.prefix, self.daemons = name, list(prefix), list(daemons)
        self.socat, self.mask, self.udp, self.outside = socat, mask, udp, outside

    def target(self, service):
        """(address, port) the measuring program is given for a service."""
        if self.socat:
            if service == "udp":
                return "127.0.0.1", SOCAT_UDP[0]
            return "127.0.0.1", SOCAT[service][0]
        return DEST, {"iperf": P_IPERF, "echo": P_ECHO, "rate": P_RATE, "udp": P_ECHO}[service]

    def argv(self, program):
        if self.mask is not None:
            set_mask(self.mask)
        if self.outside:
            program = [os.path.join(TOOLS, os.path.basename(program[0]) + "-outside")] + program[1:]
        return self.prefix + program

    def pids(self):
        return [p.pid for p in self.daemons]


def chains(d):
    run = os.path.join(BIN, "veilnox-run")
    pc = lambda name: ["proxychains4", "-q", "-f", os.path.join(WORK, "proxychains-%s.conf" % name)]
    cg = in_capture([])
    return [
        Chain("direct"),
        Chain("Veilnox masked", [run], [d["veilnoxsvr"], d["relay"]], mask=True),
        Chain("Veilnox plain", [run], [d["veilnoxsvr"], d["relay"]], mask=False),
        Chain("Veilnox, kernel capture, masked", cg, [d["veilnoxsvr"], d["relay"]], mask=True),
        Chain("Veilnox, kernel capture, plain", cg, [d["veilnoxsvr"], d["relay"]], mask=False),
        Chain("kernel capture, program outside the rules", cg, [], outside=True),
        Chain("proxychains4 + microsocks", pc("microsocks"), [d["microsocks"]], udp=False),
        Chain("proxychains4 + ss-local/ss-server", pc("ss"), [d["ss-local"], d["ss-server"]], udp=False),
        Chain("socat x2", [], d["socats"], socat=True),
    ]


def child_cpu():
    r = resource.getrusage(resource.RUSAGE_CHILDREN)
    return r.ru_utime + r.ru_stime


def iperf(chain, streams, d):
    host, port = chain.target("iperf")
    before = cpu_of(chain.pids() + [d["iperf3"].pid]) + child_cpu()
    p = subprocess.run(chain.argv(["iperf3", "-c", host, "-p", str(port), "-t", str(SECS), "-P", str(streams),
                                   "-J"]), capture_output=True, text=True, timeout=SECS + 60)
    after = cpu_of(chain.pids() + [d["iperf3"].pid]) + child_cpu()
    try:
        end = json.loads(p.stdout)["end"]["sum_received"]
    except (ValueError, KeyError):
        raise RuntimeError("iperf3 through %s failed: %s %s" % (chain.name, p.stdout[-400:], p.stderr[-400:]))
    return end["bits_per_second"] / 1e9, (after - before) / (end["bytes"] / 1e9)


def connrate(chain):
    host, port = chain.target("rate")
    p = subprocess.run(chain.argv([os.path.join(TOOLS, "connrate"), "client", host, str(port), "1", str(SECS)]),
                       capture_output=True, text=True, timeout=SECS + 60)
    f = dict(x.split("=") for x in p.stdout.split() if "=" in x)
    if "rate" not in f:
        raise RuntimeError("connection rate through %s failed: %s %s" % (chain.name, p.stdout, p.stderr[-300:]))
    return float(f["rate"]), float(f["p99_us"]) / 1000, int(f["failed"])


def udp(chain):
    if not chain.udp:
        return None
    host, port = chain.target("udp")
    p = subprocess.run(chain.argv([os.path.join(TOOLS, "compare_load"), "udp", host, str(port), str(SECS), "32"]),
                       capture_output=True, text=True, timeout=SECS + 60)
    f = dict(x.split("=") for x in p.stdout.split() if "=" in x)
    if "rate" not in f:
        raise RuntimeError("UDP through %s failed: %s %s" % (chain.name, p.stdout, p.stderr[-300:]))
    return float(f["rate"])


def memory(chain):
    host, port = chain.target("echo")
    p = subprocess.Popen(chain.argv([os.path.join(TOOLS, "compare_load"), "hold", host, str(port), str(HOLD_N),
                                     "120"]), stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        line = p.stdout.readline()
        if not line.startswith("ready"):
            raise RuntimeError("holding connections through %s failed: %r" % (chain.name, line))
        f = dict(x.split("=") for x in line.split()[1:])
        time.sleep(0.5)  # the relays finish setting up the last connections
        pss = pss_of(tree([p.pid] + chain.pids()))
    finally:
        p.stdin.close()
        p.wait(30)
    return pss / (1 << 20), int(f["failed"])


# ------------------------------------------------------------------ the capture service's memory
def bpftool(*args):
    p = subprocess.run(["bpftool", "--json"] + list(args), capture_output=True, text=True, timeout=120)
    if p.returncode != 0:
        raise RuntimeError("bpftool %s: %s" % (" ".join(args), (p.stderr or p.stdout).strip()[-300:]))
    return json.loads(p.stdout)


LIBC = ctypes.CDLL(None, use_errno=True)
SYS_BPF, BPF_MAP_GET_NEXT_KEY, BPF_OBJ_GET = 321, 4, 7  # x86-64


def bpf_call(cmd, attr):
    return LIBC.syscall(ctypes.c_long(SYS_BPF), ctypes.c_int(cmd), ctypes.byref(attr), ctypes.c_uint(ctypes.sizeof(attr)))


def entries_of(path, key_size, limit):
    """Keys of the pinned hash map at `path` (walked with BPF_MAP_GET_NEXT_KEY,
    at most `limit` + 1 steps); None when it cannot be walked."""
    attr = ctypes.create_string_buffer(path.encode() + b"\0")
    get = (ctypes.c_uint64 * 2)(ctypes.addressof(attr), 0)
    fd = bpf_call(BPF_OBJ_GET, get)
    if fd < 0:
        return None
    try:
        key, nxt = ctypes.create_string_buffer(key_size), ctypes.create_string_buffer(key_size)
        walk = (ctypes.c_uint64 * 3)(fd, 0, ctypes.addressof(nxt))  # first key: a null key pointer
        count = 0
        while count <= limit and bpf_call(BPF_MAP_GET_NEXT_KEY, walk) == 0:
            count += 1
            ctypes.memmove(key, nxt, key_size)
            walk[1] = ctypes.addressof(key)
        return count if count <= limit else None
    finally:
        os.close(fd)


def capture_kernel():
    """The programs behind the links pinned under the capture's pin folder and
    every map they use or that is pinned there, as bpftool shows them; the
    hash maps' live entries counted."""
    prog_ids, map_ids, paths = set(), set(), {}
    for folder, _, names in os.walk(capture["pins"]):
        for n in names:
            path = os.path.join(folder, n)
            if n.startswith("link_"):
                prog_ids.add(bpftool("link", "show", "pinned", path)["prog_id"])
            else:
                info = bpftool("map", "show", "pinned", path)
                map_ids.add(info["id"])
                paths[info["id"]] = path
    progs = [p for p in bpftool("prog", "show") if p["id"] in prog_ids]
    for p in progs:
        map_ids.update(p.get("map_ids", []))
    maps = [m for m in bpftool("map", "show") if m["id"] in map_ids]
    for m in maps:
        if m["id"] in paths and m.get("type") in ("hash", "lru_hash"):
            m["entries"] = entries_of(paths[m["id"]], m["bytes_key"], m["max_entries"])
    return progs, maps


def socket_storage():
    """Bytes of option memory of every TCP socket of this namespace (the o
    field of ss -m): where the kernel charges the storage the hooks attach to
    a socket (BPF_MAP_TYPE_SK_STORAGE), which is not counted in any map."""
    p = subprocess.run(["ss", "-tanmH"], capture_output=True, text=True, timeout=120, check=True)
    return sum(int(x) for x in re.findall(r"skmem:\([^)]*?,o(\d+),", p.stdout))


def process_memory(pid):
    """(resident bytes, private dirty bytes) of a process."""
    out = [None, None]
    for path, field, i in (("status", "VmRSS:", 0), ("smaps_rollup", "Private_Dirty:", 1)):
        with open("/proc/%d/%s" % (pid, path)) as f:
            for line in f:
                if line.startswith(field):
                    out[i] = int(line.split()[1]) * 1024
    return tuple(out)


def measure_capture(state, d):
    progs, maps = capture_kernel()
    row = dict(state=state, progs=len(progs), maps=len(maps),
               map_bytes=sum(m.get("bytes_memlock", 0) for m in maps),
               prog_bytes=sum(p.get("bytes_memlock", 0) + p.get("bytes_jited", 0) for p in progs),
               storage=socket_storage(),
               biggest=sorted(((m.get("bytes_memlock", 0), m.get("name", "#%d" % m["id"]), m.get("entries"))
                               for m in maps), reverse=True)[:4],
               service=process_memory(d["capture"].pid),
               server=process_memory(d["veilnoxsvr"].pid) if "veilnoxsvr" in d else None)
    row["kernel"] = row["map_bytes"] + row["prog_bytes"] + row["storage"]
    capture_rows.append(row)
    log("capture memory, %s: kernel %.2f MiB" % (state, row["kernel"] / (1 << 20)))
    return row


# Started in the capture's folder: CAPTURE_PROCS sleeping children, until
# standard input closes; then they are killed by pid and reaped.
SPAWNER = r"""
import os, signal, sys
kids, error = [], ""
try:
    for _ in range(int(sys.argv[1])):
        kids.append(os.posix_spawn(sys.argv[2], ["sleep", "600"], {}))
except OSError as e:
    error = " error=" + e.strerror.replace(" ", "_")
print("ready spawned=%d%s" % (len(kids), error), flush=True)
try:
    sys.stdin.read()
finally:
    for pid in kids:
        os.kill(pid, signal.SIGKILL)
    for pid in kids:
        os.waitpid(pid, 0)
"""

SWEEP_WAIT = 6  # the service sweeps the connection maps every 5 s


def stop_started(p, seconds=120):
    p.stdin.close()
    p.wait(seconds)


def capture_memory(d):
    """The states after the idle one (measured when the service got ready)."""
    p = start("spawner", in_capture([PYTHON, "-c", SPAWNER, str(CAP_PROCS), shutil.which("sleep")]),
              stdin=subprocess.PIPE)
    wait_text("spawner", "ready", 300)
    with open(os.path.join(WORK, "spawner.log")) as f:
        spawned = f.read().split("ready ", 1)[1].split()[0]
    try:
        row = measure_capture("%s processes alive in the folder (%s)" % (format(CAP_PROCS, ","), spawned), d)
        row["per"] = ("process", int(spawned.split("=")[1]))
    finally:
        stop_started(p)

    # Room for the connections' local ports, in the two namespaces whose
    # programs open them (ours: the client and the local server; the relay's).
    for prefix in ([], ["nsenter", "-t", str(d["relay-ns"]), "-n"]):
        sh(prefix + ["sysctl", "-q", "-w", "net.ipv4.ip_local_port_range=10000 65535"])
    set_mask(False)
    p = start("holder", in_capture([os.path.join(TOOLS, "compare_load"), "hold", DEST, str(P_ECHO), str(CAP_CONNS),
                                    "900"]), stdin=subprocess.PIPE)
    try:
        wait_text("holder", "ready", 600)
        with open(os.path.join(WORK, "holder.log")) as f:
            held = " ".join(f.read().split("ready ", 1)[1].split()[:2])
        name = "%s captured TCP connections open (%s)" % (format(CAP_CONNS, ","), held)
        row = measure_capture(name, d)
        row["per"] = ("connection", int(held.split()[0].split("=")[1]))
        time.sleep(SWEEP_WAIT)
        measure_capture(name + ", %d s later" % SWEEP_WAIT, d)
    finally:
        stop_started(p)
    time.sleep(SWEEP_WAIT)
    measure_capture("idle again, %d s after they ended" % SWEEP_WAIT, d)


def print_capture_memory():
    mib = lambda b: "%.2f" % (b / (1 << 20))
    print()
    print("The kernel capture service's memory (veilnox-capture, its hooks on the benchmark's cgroup folder; MiB)")
    print()
    print("| state | kernel (maps + programs + socket storage) | biggest maps (live entries) | service RSS "
          "(private dirty) | local server RSS (private dirty) |")
    print("|---|---|---|---|---|")
    for r in capture_rows:
        biggest = ", ".join("%s %s%s" % (name, mib(b), "" if n is None else " (%s)" % format(n, ","))
                            for b, name, n in r["biggest"])
        mem = lambda m: "n/a (not started)" if m is None else "%s (%s)" % (mib(m[0]), mib(m[1]))
        print("| %s | %s (%s + %s + %s) | %s | %s | %s |" % (
            r["state"], mib(r["kernel"]), mib(r["map_bytes"]), mib(r["prog_bytes"]), mib(r["storage"]), biggest,
            mem(r["service"]), mem(r["server"])))
    print()
    if capture_rows:
        r = capture_rows[0]
        print("Kernel: bytes_memlock of the %d maps that the service's %d programs use (bpftool map show; a hash map"
              % (r["maps"], r["progs"]))
        print("allocated on demand counts its live entries), the programs' bytes_memlock and JIT images, and the storage")
        print("the hooks attach to sockets, which the kernel charges to each socket, not to a map (the o field of")
        print("ss -m over every TCP socket of the client's namespace). Live entries: the hash maps walked key by key.")
        print("RSS: VmRSS of /proc/PID/status; private dirty: smaps_rollup. Processes: sleeping children of one")
        print("spawner in the hooked folder. Connections: compare_load hold through the plain capture chain,")
        print("each proven with a one-byte echo; the local server holds two sockets per connection.")
    for r in capture_rows:
        if r.get("per") and r["per"][1] > 0:
            what, n = r["per"]
            idle = capture_rows[0]
            each = [(r[k] - idle[k]) / n for k in ("kernel", "map_bytes", "storage")]
            print("Kernel per %s: %d bytes (maps %d, socket storage %d), against the idle row." % (
                what, *(round(x) for x in each)))
            if what == "connection" and CAP_CONNS < CAP_CONNS_ASKED:
                print("Asked for %s connections: the descriptor limit here is %d and cannot be raised (no "
                      "CAP_SYS_RESOURCE), and the local server and the relay hold two per connection. At %s: "
                      "kernel %.2f MiB, local server RSS %.2f MiB (linear from this row and the idle-again row)."
                      % (format(CAP_CONNS_ASKED, ","), capture["nofile"], format(CAP_CONNS_ASKED, ","),
                         (idle["kernel"] + each[0] * CAP_CONNS_ASKED) / (1 << 20),
                         (capture_rows[-1]["server"][0] + (r["server"][0] - capture_rows[-1]["server"][0]) / n
                          * CAP_CONNS_ASKED) / (1 << 20)))


# ------------------------------------------------------------------ report
def median(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def cell(value, base, digits, higher_better=True):
    if value is None:
        return "n/a"
    text = ("%." + str(digits) + "f") % value
    if base:
        text += " (%.2f)" % (value / base)
    return text


def main():
    ns = setup()
    d = start_daemons(ns)
    all_chains = [c for c in chains(d) if selected(c.name)]
    results = {c.name: {k: [] for k in ("one", "four", "cpu", "rate", "p99", "udp", "mem")} for c in all_chains}
    failures = {c.name: 0 for c in all_chains}
    t0 = time.time()
    load_before = os.getloadavg()[0]
    for rep in range(REPS):
        for c in all_chains:  # repetitions interleaved: drift hits every chain alike
            log("rep %d/%d: %s" % (rep + 1, REPS, c.name))
            r = results[c.name]
            one, cpu = iperf(c, 1, d)
            r["one"].append(one)
            r["cpu"].append(cpu)
            r["four"].append(iperf(c, 4, d)[0])
            rate, p99, failed = connrate(c)
            log("  connections/s %.0f, p99 %.3f ms, failed %d" % (rate, p99, failed))
            r["rate"].append(rate)
            r["p99"].append(p99)
            r["udp"].append(udp(c))
            mem, held_failed = memory(c)
            r["mem"].append(mem)
            failures[c.name] += failed + held_failed

    m = {name: {k: median(v) for k, v in r.items()} for name, r in results.items()}
    base = m["direct"]
    cols = [("TCP 1 stream Gbit/s", "one", 2), ("TCP 4 streams Gbit/s", "four", 2), ("connections/s", "rate", 0),
            ("p99 set-up ms", "p99", 3), ("UDP datagrams/s", "udp", 0), ("CPU s per GB", "cpu", 2),
            ("memory MiB, %d conns" % HOLD_N, "mem", 1)]
    print()
    print("Veilnox and its peers, side by side in one run (%s mode: %d repetition%s of %g s, medians; "
          "%d CPUs, %s)" % ("quick" if QUICK else "full", REPS, "" if REPS == 1 else "s", SECS, os.cpu_count(),
                            os.uname().release))
    print("Each figure is followed by its ratio to direct.")
    print()
    print("| chain | " + " | ".join(c[0] for c in cols) + " |")
    print("|---|" + "---|" * len(cols))
    for c in all_chains:
        row = m[c.name]
        print("| %s | %s |" % (c.name, " | ".join(cell(row[k], base[k], digits) for _, k, digits in cols)))
    print()
    print("TCP: iperf3 through the chain. connections/s and p99: one thread doing connect, one byte there and back,")
    print("close (bench/module_connrate). UDP: 512-byte datagrams echoed, 32 in flight (n/a: proxychains4 carries")
    print("TCP only). CPU: user+system seconds of every process involved (client with its preloaded library,")
    print("relaying processes, iperf3 server) per GB received, single stream. Memory: proportional resident size")
    print("(PSS, shared pages split) of the client holding %d open connections plus every relaying process." % HOLD_N)
    bad = {k: v for k, v in failures.items() if v}
    if bad:
        print("Failed connections: " + ", ".join("%s %d" % kv for kv in bad.items()))
    print("(measured in %.0f s; machine load average %.1f before, %.1f after: other work on the machine"
          " shows up in every chain alike, compare ratios)" % (time.time() - t0, load_before, os.getloadavg()[0]))
    if CAPTURE_MEMORY:
        sys.stdout.flush()
        capture_memory(d)
        print_capture_memory()


def stop_all():
    # Our processes and the children they forked (socat's per-connection
    # copies), found before anything ends.
    family = tree([p.pid for p in started if p.poll() is None])
    for pid in reversed(family):
        try:
            os.kill(pid, signal.SIGTERM)
        except OSError:
            pass
    end = time.time() + 5
    for p in started:
        try:
            p.wait(max(0.1, end - time.time()))
        except subprocess.TimeoutExpired:
            p.kill()
            p.wait()


if __name__ == "__main__":
    code = 0
    try:
        main()
    except (RuntimeError, subprocess.SubprocessError, OSError) as e:
        print("bench/compare: %s" % e, file=sys.stderr)
        code = 1
    finally:
        stop_all()
        stop_capture()
    sys.exit(code)
