#!/usr/bin/env python3
"""The application side of the demonstration (scripts/demo). Runs inside
the application network namespace, with a private /dev/shm, in a throwaway
profile (HOME, XDG_* point into WORK_DIR):

  1. installs the network-stack module with the catalog script,
  2. where the machine can (DEMO_CGROUP names a cgroup folder made for the
     demonstration), starts veilnox-capture with its hooks on that folder
     and waits for it to say it is ready,
  3. starts the real client offscreen (in the hooked folder, with its local
     server) with a server list naming the relay and drives it through its
     automation socket (client/ui/automation.h): the first server row's
     connect button is clicked, as a user would,
  4. fetches a page with curl without either mode, with kernel capture (a
     plain curl in the hooked folder) and with the LD_PRELOAD module
     (veilnox-run curl), while watching the Connections tab,
  5. takes pictures of the main window and of the Connections tab,
  6. prints the report, ends the client (which ends veilnoxsvr), stops
     veilnox-capture by its pid and detaches its hooks.

Usage: demo_driver.py BIN_DIR WORK_DIR RELAY_ADDR RELAY_PORT DEST_ADDR DEST_PORT DEST_LOG APP_ADDR
Environment: DEMO_RELAY_OUT (the relay's address towards the destination),
DEMO_CGROUP and DEMO_PIN_DIR (kernel capture; empty: the module alone),
DEMO_CAPTURE_WHY (why there is no kernel capture).
"""
import json
import os
import signal
import socket
import subprocess
import sys
import threading
import time

BIN, WORK, RELAY, RELAY_PORT, DEST, DEST_PORT, DEST_LOG, APP_ADDR = sys.argv[1:9]
CGROUP = os.environ.get("DEMO_CGROUP", "")
PIN_DIR = os.environ.get("DEMO_PIN_DIR", "")
# The whole demonstration stays around a minute; the capture service takes
# a few seconds more to load its hooks.
DEADLINE = time.monotonic() + (70 if CGROUP else 45)
DOWNLOAD_BYTES = 8000000  # sent at 2 MB/s by the destination: long enough to watch


def end_process(proc):
    """Ends a process this script started: SIGTERM, then SIGKILL after 5 s."""
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(5)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


class DemoError(Exception):
    pass


def step(text):
    print("  - " + text, flush=True)


def left():
    return max(0.1, DEADLINE - time.monotonic())


class Client:
    """The veilnox program and its automation socket."""

    def __init__(self, env, wrap=None):
        self.path = os.path.join(WORK, "automation.sock")
        env = dict(env, VEILNOX_AUTOMATION_SOCKET=self.path, QT_QPA_PLATFORM="offscreen")
        self.log = open(os.path.join(WORK, "veilnox.log"), "w")
        argv = [os.path.join(BIN, "veilnox")]
        # exec keeps the pid: the wrapper's pid is the client's.
        self.proc = subprocess.Popen(wrap(argv) if wrap else argv, env=env, cwd=BIN,
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
        end_process(self.proc)


class Capture:
    """veilnox-capture with its hooks on the demonstration's cgroup folder;
    a thread collects its output lines."""

    def __init__(self):
        self.state = os.path.join(WORK, "capture.pid")
        self.out = open(os.path.join(WORK, "veilnox-capture.log"), "w")
        self.lines = []
        self.changed = threading.Condition()
        self.proc = subprocess.Popen([os.path.join(BIN, "veilnox-capture"), "--cgroup", CGROUP, "--pin-dir", PIN_DIR,
                                      "--state-file", self.state],
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.proc.stdout:
            self.out.write(line)
            self.out.flush()
            with self.changed:
                self.lines.append(line.rstrip("\n"))
                self.changed.notify_all()
        with self.changed:
            self.changed.notify_all()

    def wait_line(self, condition, seconds):
        """The first line for which condition holds, or None after `seconds`
        (or when the service ended)."""
        end = time.monotonic() + min(seconds, left())
        with self.changed:
            seen = 0
            while True:
                for line in self.lines[seen:]:
                    if condition(line):
                        return line
                seen = len(self.lines)
                remaining = end - time.monotonic()
                if remaining <= 0 or (self.proc.poll() is not None and seen == len(self.lines)):
                    return None
                self.changed.wait(min(remaining, 0.2))

    def tail(self):
        with self.changed:
            return " / ".join(self.lines[-3:]) or "no output"

    def stop(self):
        """Stops the service by its pid and takes its hooks away."""
        end_process(self.proc)
        detach = subprocess.run([os.path.join(BIN, "veilnox-capture"), "--detach", "--pin-dir", PIN_DIR],
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=20)
        return detach.returncode == 0


def in_cgroup(argv):
    """argv started inside the hooked cgroup folder, as from a desktop menu."""
    return ["/bin/sh", "-c", 'echo $$ > "$0/cgroup.procs" && exec "$@"', CGROUP] + argv


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


def wait_until(condition, seconds):
    end = time.monotonic() + min(seconds, left())
    while time.monotonic() < end:
        if condition():
            return True
        time.sleep(0.05)
    return condition()


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
               VEILNOX_VERSION_FALLBACK_URL="file://" + os.path.join(WORK, "version.json"),
               # The capture service of this run (or none), never one of the machine.
               VEILNOX_CAPTURE_STATE=os.path.join(WORK, "capture.pid"))
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

    capture = None
    if CGROUP:
        capture = Capture()
        ready = capture.wait_line(lambda line: line == "veilnox-capture: ready", 20)
        if ready:
            step("kernel capture: veilnox-capture (pid %d) hooked the cgroup folder %s" % (capture.proc.pid, CGROUP))
        else:
            step("kernel capture could not start (%s); the LD_PRELOAD module is shown alone" % capture.tail())
            capture.stop()
            capture = None
    else:
        step("kernel capture is not available here (%s); the LD_PRELOAD module is shown alone"
             % os.environ.get("DEMO_CAPTURE_WHY", "no cgroup folder"))

    # With kernel capture the client runs in the hooked folder, as a desktop
    # session's programs do, and so does the local server it launches (the
    # hooks hand their connections only to a server of the hooked folder).
    client = Client(env, in_cgroup if capture else None)
    early = None
    try:
        state = client.wait("the client's start-up", lambda s: s.get("ready") and s.get("servers"), 20)
        step("client started offscreen (pid %d), server list loaded: %s"
             % (client.proc.pid, ", ".join(r["text"] for r in state["servers"])))
        if state.get("mode"):
            step("its status line: " + state["mode"])
        svr = veilnoxsvr_pids()
        step("the client launched veilnoxsvr itself (pid %s)" % (", ".join(map(str, svr)) or "not yet seen"))

        if capture:
            # A download running before Connect: it began directly, and the
            # service resets it when Connect covers curl, so that it would
            # reconnect through the proxy.
            early_out = open(os.path.join(WORK, "early.out"), "w")
            early = subprocess.Popen(in_cgroup(["curl", "-sS", "--max-time", "30", "-o", "/dev/null",
                                                "-w", "%{size_download}",
                                                "http://%s:%s/paced/%d" % (DEST, DEST_PORT, 60000000)]),
                                     env=env, stdout=early_out, stderr=subprocess.STDOUT)
            wait_until(lambda: dest_peers("/paced/60000000"), 5)

        reply = client.command("connect 0")
        if not reply.get("ok"):
            raise DemoError("clicking the connect button failed: %s" % reply.get("error"))
        state = client.wait("the connection", lambda s: s.get("connected"), 5)
        step("clicked the connect button of row 0: %s" % state["currentLabel"].replace("<br>", " ")
             .replace("<strong>", "").replace("</strong>", ""))
        if capture:
            said = "veilnox-capture: user %d connected=1" % os.getuid()
            if not capture.wait_line(lambda line: line.startswith(said), 5):
                raise DemoError("veilnox-capture did not take the connected policy: " + capture.tail())
            step("veilnox-capture took the policy: " + capture.wait_line(lambda line: line.startswith(said), 0))
            # The service says how many it reset; the client's next tick
            # shows its report in the status bar.
            reported = {}
            if capture.wait_line(lambda line: " reset " in line, 3):
                wait_until(lambda: reported.update(client.command("state")) or reported.get("statusMessage"), 5)
            early_end = None
            try:
                early_end = early.wait(min(5, left()))
            except subprocess.TimeoutExpired:
                early.kill()  # by its pid: not reset, it is ended here
                early.wait()
            early_out.close()
            result = open(early_out.name).read().strip().replace("\n", " ")
            step("curl started in the hooked folder before Connect: %s%s"
                 % ("its connection was reset (curl exit %d)" % early_end if early_end
                    else "not reset; ended by the demonstration", ": " + result if result else ""))
            step("status bar: " + (reported.get("statusMessage") or "(no report of reset connections)"))

        direct = run(["curl", "-sS", "--max-time", "10", "http://%s:%s/direct" % (DEST, DEST_PORT)], env, 15)
        outside = " outside the hooked folder" if capture else ""
        step("curl%s without veilnox-run (nothing covers it, so it goes direct): %s"
             % (outside + " and" if capture else "", direct.stdout.strip()))

        if capture:
            kernel = run(in_cgroup(["curl", "-sS", "--max-time", "10",
                                    "http://%s:%s/kernel-capture" % (DEST, DEST_PORT)]), env, 15)
            if kernel.returncode != 0:
                raise DemoError("curl in the hooked cgroup failed: " + kernel.stdout.strip())
            step("plain curl in the hooked folder (kernel capture): " + kernel.stdout.strip())

        via = run([os.path.join(BIN, "veilnox-run"), "curl", "-sS", "--max-time", "10",
                   "http://%s:%s/through-veilnox" % (DEST, DEST_PORT)], env, 15)
        if via.returncode != 0:
            raise DemoError("curl through veilnox-run failed: " + via.stdout.strip())
        step("veilnox-run curl%s (LD_PRELOAD module, the fallback): %s" % (outside, via.stdout.strip()))

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
        print("What the destination (%s:%s) saw, and which mode covered each program:" % (DEST, DEST_PORT))
        rows = [("/direct", "curl alone", "none")]
        if capture:
            rows = [("/paced/60000000", "curl before Connect", "none until Connect")] + rows
            rows.append(("/kernel-capture", "curl in the hooked folder", "kernel capture"))
        rows += [("/through-veilnox", "veilnox-run curl", "LD_PRELOAD module"),
                 ("/paced/%d" % DOWNLOAD_BYTES, "veilnox-run curl, download", "LD_PRELOAD module")]
        print("  %-27s %-18s %-16s %-15s %s" % ("program", "covered by", "path", "from", ""))
        for path, how, mode in rows:
            peers = dest_peers(path)
            seen = ", ".join(peers) if peers else "nothing"
            who = ("the relay" if peers and all(p == RELAY_OUT for p in peers) else
                   "its own address" if peers and all(p == APP_ADDR for p in peers) else "?")
            print("  %-27s %-18s %-16s %-15s (%s)" % (how, mode, path, seen, who))
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
        if capture:
            ok = ok and dest_peers("/kernel-capture") == [RELAY_OUT]
    finally:
        if early and early.poll() is None:
            early.kill()
            early.wait()
        client.stop()
        end = time.monotonic() + 3
        while veilnoxsvr_pids() and time.monotonic() < end:
            time.sleep(0.05)
        detached = capture.stop() if capture else None
    gone = not veilnoxsvr_pids()
    print()
    print("Client closed; veilnoxsvr %s." % ("ended with it" if gone else "is still running (the demo will end it)"))
    if capture:
        print("veilnox-capture stopped; its hooks %s." % ("are detached" if detached else "could not be detached"))
    return 0 if ok else 1


RELAY_OUT = os.environ.get("DEMO_RELAY_OUT", RELAY)

if __name__ == "__main__":
    try:
        sys.exit(main())
    except (DemoError, subprocess.TimeoutExpired, OSError) as e:
        print("demo failed: %s" % e, file=sys.stderr)
        sys.exit(1)
