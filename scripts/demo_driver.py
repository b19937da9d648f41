#!/usr/bin/env python3
"""The application side of the demonstration (scripts/demo). Runs inside
the application network namespace, with a private /dev/shm, in a throwaway
profile (HOME, XDG_* point into WORK_DIR):

  1. installs the network-stack module with the catalog script,
  2. starts the real client offscreen with a server list naming the relay
     and drives it through its automation socket (client/ui/automation.h):
     the first server row's connect button is clicked, as a user would,
  3. fetches a page with curl directly, then through veilnox-run, while
     watching the Connections tab,
  4. takes pictures of the main window and of the Connections tab,
  5. prints the report and ends the client (which ends veilnoxsvr).

Usage: demo_driver.py BIN_DIR WORK_DIR RELAY_ADDR RELAY_PORT DEST_ADDR DEST_PORT DEST_LOG APP_ADDR
"""
import json
import os
import signal
import socket
import subprocess
import sys
import time

BIN, WORK, RELAY, RELAY_PORT, DEST, DEST_PORT, DEST_LOG, APP_ADDR = sys.argv[1:9]
DEADLINE = time.monotonic() + 45  # the whole demonstration stays under a minute
DOWNLOAD_BYTES = 8000000  # sent at 2 MB/s by the destination: long enough to watch


class DemoError(Exception):
    pass


def step(text):
    print("  - " + text, flush=True)


def left():
    return max(0.1, DEADLINE - time.monotonic())


class Client:
    """The veilnox program and its automation socket."""

    def __init__(self, env):
        self.path = os.path.join(WORK, "automation.sock")
        env = dict(env, VEILNOX_AUTOMATION_SOCKET=self.path, QT_QPA_PLATFORM="offscreen")
        self.log = open(os.path.join(WORK, "veilnox.log"), "w")
        self.proc = subprocess.Popen([os.path.join(BIN, "veilnox")], env=env, cwd=BIN,
                                     stdout=self.log, stderr=subprocess.STDOUT)
        self.sock = None

    def command(self, line):
        if self.sock is None:
            self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            self.sock.settimeout(10)
            self.sock.connect(self.path)
            self.buf = b""
        self.sock.sendall(line.encode() + b"\n")
        while b"\n" not in self.buf:
            data = self.sock.recv(65536)
            if not data:
                raise DemoError("the client closed its automation socket")
            self.buf += data
        reply, self.buf = self.buf.split(b"\n", 1)
        return json.loads(reply)

    def wait(self, what, condition, seconds):
        end = time.monotonic() + min(seconds, left())
        state = {}
        while time.monotonic() < end:
            if self.proc.poll() is not None:
                raise DemoError("the client ended (exit %s); see %s" % (self.proc.returncode, self.log.name))
            try:
                state = self.command("state")
                if condition(state):
                    return state
            except (OSError, ValueError):
                self.sock = None  # not listening yet
            time.sleep(0.1)
        raise DemoError("timed out waiting for %s (last state: %s)" % (what, json.dumps(state)[:400]))

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


def veilnoxsvr_pids():
    """veilnoxsvr processes of this network namespace."""
    own = os.readlink("/proc/self/ns/net")
    pids = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            if os.readlink("/proc/%s/ns/net" % entry) != own:
                continue
            if os.path.basename(os.readlink("/proc/%s/exe" % entry)) == "veilnoxsvr":
                pids.append(int(entry))
        except OSError:
            pass
    return pids


def dest_peers(path):
    peers = []
    try:
        with open(DEST_LOG) as log:
            for line in log:
                fields = dict(part.split("=", 1) for part in line.split() if "=" in part)
                if fields.get("path") == path:
                    peers.append(fields.get("peer", "?"))
    except OSError:
        pass
    return peers


def run(argv, env, timeout):
    return subprocess.run(argv, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          timeout=min(timeout, left()), text=True)


def rate_bytes(text):
    """ "15.03 Mb/s" -> 15.03 * 1048576 (the client's rates are bits)."""
    number, unit = (text.split("/")[0].split() + ["", ""])[:2]
    scale = {"Kb": 1024, "Mb": 1 << 20, "Gb": 1 << 30}.get(unit, 0)
    try:
        return float(number) * scale
    except ValueError:
        return 0.0


def row_of(state, name):
    for row in state.get("connections", []):
        if row.get("process") == name:
            return row
    return None


def main():
    home = os.path.join(WORK, "home")
    env = dict(os.environ,
               HOME=home,
               XDG_DATA_HOME=os.path.join(home, ".local/share"),
               XDG_CONFIG_HOME=os.path.join(home, ".config"),
               XDG_RUNTIME_DIR=os.path.join(WORK, "run"),
               VEILNOX_SERVERLIST_URL="file://" + os.path.join(WORK, "servers.xml"),
               VEILNOX_SERVERLIST_FALLBACK_URL="file://" + os.path.join(WORK, "servers.xml"),
               VEILNOX_VERSION_URL="file://" + os.path.join(WORK, "version.json"),
               VEILNOX_VERSION_FALLBACK_URL="file://" + os.path.join(WORK, "version.json"))
    for d in (home, env["XDG_RUNTIME_DIR"]):
        os.makedirs(d, mode=0o700, exist_ok=True)
    with open(os.path.join(WORK, "servers.xml"), "w") as f:
        f.write("<Array>\n"
                " <Element><country>Demoland</country><city>Relay namespace</city><ip>%s</ip><port>%s</port>"
                "<protocol>private</protocol><tag>DL</tag><strength>90</strength></Element>\n"
                "</Array>\n" % (RELAY, RELAY_PORT))
    with open(os.path.join(WORK, "version.json"), "w") as f:
        f.write('{"ver": "0.0.0"}\n')
    # The programs Veilnox redirects: the default list plus curl, as a user
    # adds a program in the settings dialog.
    rules = os.path.join(env["XDG_DATA_HOME"], "Veilnox", "data", "config", "rules.txt")
    os.makedirs(os.path.dirname(rules), exist_ok=True)
    with open(os.path.join(BIN, "data", "config", "default_rules.txt")) as f:
        default_rules = f.read()
    with open(rules, "w") as f:
        f.write(default_rules.rstrip("\n") + "\ncurl\n")
    shots = {"main": os.path.join(WORK, "main-window.png"),
             "connections": os.path.join(WORK, "connections-tab.png")}

    print("Application side (network namespace, address %s):" % APP_ADDR)
    installed = run(["sh", os.path.join(BIN, "bat", "veilnox-install64.sh")], env, 10)
    if installed.returncode != 0:
        raise DemoError("installing the module failed: " + installed.stdout.strip())
    step("module installed for the throwaway profile (bat/veilnox-install64.sh): " + installed.stdout.strip())

    client = Client(env)
    try:
        state = client.wait("the client's start-up", lambda s: s.get("ready") and s.get("servers"), 20)
        step("client started offscreen (pid %d), server list loaded: %s"
             % (client.proc.pid, ", ".join(r["text"] for r in state["servers"])))
        svr = veilnoxsvr_pids()
        step("the client launched veilnoxsvr itself (pid %s)" % (", ".join(map(str, svr)) or "not yet seen"))

        reply = client.command("connect 0")
        if not reply.get("ok"):
            raise DemoError("clicking the connect button failed: %s" % reply.get("error"))
        state = client.wait("the connection", lambda s: s.get("connected"), 5)
        step("clicked the connect button of row 0: %s" % state["currentLabel"].replace("<br>", " ")
             .replace("<strong>", "").replace("</strong>", ""))

        direct = run(["curl", "-sS", "--max-time", "10", "http://%s:%s/direct" % (DEST, DEST_PORT)], env, 15)
        step("curl without veilnox-run: " + direct.stdout.strip())

        via = run([os.path.join(BIN, "veilnox-run"), "curl", "-sS", "--max-time", "10",
                   "http://%s:%s/through-veilnox" % (DEST, DEST_PORT)], env, 15)
        if via.returncode != 0:
            raise DemoError("curl through veilnox-run failed: " + via.stdout.strip())
        step("veilnox-run curl: " + via.stdout.strip())

        # The first curl leaves the tab once it has ended; the server then
        # lists no application and the next one is named afresh.
        client.wait("curl to leave the Connections tab", lambda s: row_of(s, "curl") is None, 5)

        # A longer download, paced by the destination so that the 1.2 s
        # refresh of the Connections tab sees it running.
        client.command("tab 1")
        out = open(os.path.join(WORK, "download.out"), "wb")
        download = subprocess.Popen([os.path.join(BIN, "veilnox-run"), "curl", "-sS", "--max-time", "20",
                                     "-o", "/dev/null", "-w", "%{size_download} %{speed_download}",
                                     "http://%s:%s/paced/%d" % (DEST, DEST_PORT, DOWNLOAD_BYTES)],
                                    env=env, stdout=out, stderr=subprocess.STDOUT)
        at_shot = None  # the curl row in the Connections tab picture
        last = None     # the last refresh that still listed curl
        while download.poll() is None and left() > 5:
            state = client.command("state")
            row = row_of(state, "curl")
            if row:
                last = row
                if at_shot is None and row["rate"] not in ("0 Kb/s", ""):
                    time.sleep(1.3)  # one more refresh: the row shows a steady rate
                    reply = client.command("shot " + shots["connections"])
                    if not reply.get("ok"):
                        raise DemoError("picture of the Connections tab: %s" % reply.get("error"))
                    at_shot = row_of(reply, "curl") or row
                    last = at_shot
            time.sleep(0.2)
        if download.wait(min(25, left())) != 0:
            raise DemoError("the download through veilnox-run failed: " + open(out.name).read())
        size, speed = open(out.name).read().split()[:2]
        step("veilnox-run curl downloaded %s bytes at %.2f MB/s" % (size, float(speed) / 1e6))
        if at_shot is None:
            raise DemoError("the Connections tab never listed curl with a rate")
        # An application leaves the tab once its process has ended.
        final = client.wait("curl to leave the Connections tab", lambda s: row_of(s, "curl") is None, 6)
        client.command("tab 0")
        reply = client.command("shot " + shots["main"])
        if not reply.get("ok"):
            raise DemoError("picture of the main window: %s" % reply.get("error"))

        print()
        print("What the destination (%s:%s) saw:" % (DEST, DEST_PORT))
        for path, how in (("/direct", "curl alone"), ("/through-veilnox", "veilnox-run curl"),
                          ("/paced/%d" % DOWNLOAD_BYTES, "veilnox-run curl, download")):
            peers = dest_peers(path)
            seen = ", ".join(peers) if peers else "nothing"
            who = ("the relay" if peers and all(p == RELAY_OUT for p in peers) else
                   "the application's own address" if peers and all(p == APP_ADDR for p in peers) else "?")
            print("  %-30s %-24s from %-15s (%s)" % (how, path, seen, who))
        print()
        print("Connections tab, row of curl (the tab refreshes every 1.2 s):")
        print("  %-26s %-10s %-11s %-11s %-12s %s" % ("", "Process", "Data Send", "Data Recv", "Rate", "Detail"))
        for label, row in (("in the picture:", at_shot), ("last refresh before exit:", last)):
            print("  %-26s %-10s %-11s %-11s %-12s %s"
                  % (label, row["process"], row["send"], row["recv"], row["rate"], row["detail"]))
        print("  after curl ended:          %s (applications leave the tab when their process ends)"
              % final.get("connectionsHeader"))
        print("  (the client shows rates in bits per second: %s is about %.2f MB/s of data)"
              % (at_shot["rate"], rate_bytes(at_shot["rate"]) / 8 / 1e6))
        print()
        print("Screenshots:")
        print("  main window:      " + shots["main"])
        print("  Connections tab:  " + shots["connections"])
        ok = dest_peers("/through-veilnox") == [RELAY_OUT]
    finally:
        client.stop()
        end = time.monotonic() + 3
        while veilnoxsvr_pids() and time.monotonic() < end:
            time.sleep(0.05)
    gone = not veilnoxsvr_pids()
    print()
    print("Client closed; veilnoxsvr %s." % ("ended with it" if gone else "is still running (the demo will end it)"))
    return 0 if ok else 1


RELAY_OUT = os.environ.get("DEMO_RELAY_OUT", RELAY)

if __name__ == "__main__":
    try:
        sys.exit(main())
    except (DemoError, subprocess.TimeoutExpired, OSError) as e:
        print("demo failed: %s" % e, file=sys.stderr)
        sys.exit(1)
