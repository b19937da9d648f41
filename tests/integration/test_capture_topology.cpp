// Kernel capture: real programs, started as a user would (never through
// veilnox-run), redirected by veilnox-capture's socket hooks through
// veilnoxsvr and veilnox-relay, across the three network namespaces of
// tests/support/topology.h (the programs and veilnoxsvr in this test's own).
//
// The hooks are attached to a cgroup folder made by the test, never to the
// root of the hierarchy; the programs under test and veilnoxsvr run in it,
// the destination servers do not. The destination logs the relay's address
// for redirected traffic and the application's own address for anything
// that went out directly. The folder and the pinned hooks are removed at the
// end of every case. Without cgroup v2 or BPF the cases fail saying so.
#include "test_module_support.h"
#include "topology.h"
#include "waiters.h"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <fstream>

using namespace vnxtest;

namespace {

std::string cgroup2Root() {
    std::ifstream mounts("/proc/self/mounts");
    std::string dev, dir, type, rest;
    while (mounts >> dev >> dir >> type) {
        std::getline(mounts, rest);
        if (type == "cgroup2") return dir;
    }
    return {};
}

// connect() as a raw system call (no C library wrapper), then one request.
const char* kRawConnect =
    "import ctypes,socket,struct,sys\n"
    "libc=ctypes.CDLL(None,use_errno=True)\n"
    "s=socket.socket()\n"
    "sa=struct.pack('<H',socket.AF_INET)+struct.pack('!H',8000)+socket.inet_aton(sys.argv[1])+bytes(8)\n"
    "if libc.syscall(42,s.fileno(),sa,len(sa))!=0: sys.exit('connect failed %d' % ctypes.get_errno())\n"
    "print('peer=%s:%d' % s.getpeername())\n"
    "s.sendall(('GET %s HTTP/1.0\\r\\n\\r\\n' % sys.argv[2]).encode()); "
    "print(s.recv(64).split(b'\\r\\n')[0].decode())\n";

class CaptureTopology : public NamespaceTopology {
protected:
    void SetUp() override {
        const std::string root = cgroup2Root();
        ASSERT_FALSE(root.empty()) << "no cgroup-v2 hierarchy is mounted: kernel capture cannot be tested";
        ASSERT_EQ(access("/sys/kernel/btf/vmlinux", R_OK), 0) << "the kernel has no BTF: kernel capture cannot run";
        TopologyOptions o;
        o.relayProgram = VNX_BIN_DIR "/veilnox-relay";
        o.relayAllow = {"192.0.2.0/24"};
        o.nameserver = "127.0.0.53";
        o.workPrefix = "/tmp/vnxcapt";
        ASSERT_NO_FATAL_FAILURE(buildTopology(o));
        ASSERT_TRUE(stub_.start({"/usr/bin/python3", "-c", kLocalStubScript}));
        ASSERT_TRUE(stub_.waitFor("stub ready", 10000)) << stub_.output();

        cgroup_ = root + "/vnxtest-" + std::to_string(getpid());
        pinDir_ = "/sys/fs/bpf/vnxtest-" + std::to_string(getpid());
        ASSERT_TRUE(runCommand("mkdir -p " + cgroup_)) << cgroup_;
        ASSERT_TRUE(writeProxyBlock(block()));
        ASSERT_TRUE(capture_.start({VNX_BIN_DIR "/veilnox-capture", "--cgroup", cgroup_, "--pin-dir", pinDir_,
                                    "--state-file", dir_ + "/capture.pid"}));
        ASSERT_TRUE(capture_.waitFor("veilnox-capture: ready", 20000))
            << "the capture service could not attach its hooks (BPF and cgroup v2 are needed):\n"
            << capture_.output();
        startServer();
    }
    void TearDown() override {
        server_.stop();
        capture_.stop();
        runCommand(std::string(VNX_BIN_DIR "/veilnox-capture --detach --pin-dir ") + pinDir_);
        stub_.stop();
        // The folder can go once its last process has; ours are all ended.
        if (!cgroup_.empty()) waitUntil([&] { return rmdir(cgroup_.c_str()) == 0 || errno != EBUSY; }, 5000, 50);
        tearDownTopology();
    }
    void startServer() {
        ASSERT_TRUE(
            server_.start(inCgroup({VNX_BIN_DIR "/veilnoxsvr"}), {"VEILNOX_DNS_UPSTREAM=" + std::string(kDest4)}));
        ASSERT_TRUE(server_.waitFor("-----tcp connections:0 , udp connections:0 END.", 20000)) << server_.output();
    }
    BlockSettings block() {
        BlockSettings b;
        b.proxyIp = "192.0.2.1";
        b.proxyPort = relayPort_;
        return b;
    }
    // Publishes the block and waits until the service has handed its policy
    // to the hooks (it says so on its output).
    void publish(const BlockSettings& b) {
        const std::string said = "veilnox-capture: user " + std::to_string(getuid()) + " ";
        const std::string line = said + "connected=" + (b.connected ? "1" : "0") + " tcp=" + (b.tcp ? "1" : "0") +
                                 " udp=" + (b.udp ? "1" : "0") + " dns=" + (b.dns ? "1" : "0") +
                                 " all=" + (b.allApps ? "1" : "0") + " rules=" + std::to_string(b.rules.size()) + "\n";
        ASSERT_TRUE(writeProxyBlock(b));
        auto latest = [&] {
            const std::string out = capture_.output();
            std::size_t at = out.rfind(said);
            return at == std::string::npos ? std::string() : out.substr(at, out.find('\n', at) + 1 - at);
        };
        waitUntil([&] { return latest() == line; }, 5000);
        ASSERT_EQ(latest(), line) << capture_.output();
    }
    std::vector<std::string> inCgroup(std::vector<std::string> argv) {
        argv.insert(argv.begin(), {"/bin/sh", "-c", "echo $$ > " + cgroup_ + "/cgroup.procs && exec \"$@\"", "sh"});
        return argv;
    }
    // A program started in the hooked cgroup, as from a desktop menu.
    RunResult app(std::vector<std::string> args, int timeoutMs = 30000) {
        return runProgram(inCgroup(std::move(args)), {}, timeoutMs, false);
    }
    void expectNothingDirect() {
        const std::string out = servers_.output();
        EXPECT_EQ(out.find(std::string("peer=") + kApp4), std::string::npos) << "something went out directly:\n" << out;
        EXPECT_EQ(out.find(std::string("peer=") + kApp6), std::string::npos) << "something went out directly:\n" << out;
        EXPECT_EQ(stub_.output().find("stub query"), std::string::npos) << "a query reached the local stub";
    }

    BackgroundProcess server_, capture_, stub_;
    std::string cgroup_, pinDir_;
};

TEST_F(CaptureTopology, ProgramsOfEveryKindGoThroughTheRelay) {
    publish(block());
    const std::string base4 = std::string("http://") + kDest4 + ":8000";
    struct Row {
        const char* path;
        std::vector<std::string> argv;
        const char* peer;
    } rows[] = {
        {"/curl4", {"curl", "-sS", "--max-time", "20", base4 + "/curl4"}, kRelayOut4},
        {"/curl6", {"curl", "-sS", "--max-time", "20", std::string("http://[") + kDest6 + "]:8000/curl6"}, kRelayOut6},
        {"/wget4", {"wget", "-q", "-O", "-", "-T", "20", base4 + "/wget4"}, kRelayOut4},
        {"/wget6",
         {"wget", "-q", "-O", "-", "-T", "20", std::string("http://[") + kDest6 + "]:8000/wget6"},
         kRelayOut6},
        {"/static", {"/bin/busybox", "wget", "-q", "-O", "-", base4 + "/static"}, kRelayOut4},
        {"/shc", {"sh", "-c", "/bin/busybox wget -q -O - " + base4 + "/shc"}, kRelayOut4},
        {"/envi", {"env", "-i", "/usr/bin/curl", "-sS", "--max-time", "20", base4 + "/envi"}, kRelayOut4},
        {"/raw", {"/usr/bin/python3", "-c", kRawConnect, kDest4, "/raw"}, kRelayOut4},
        {"/uring", {VNX_CAPTURE_PROBE_PATH, "uring", kDest4, "8000", "/uring"}, kRelayOut4},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.path);
        RunResult res = app(r.argv);
        EXPECT_EQ(res.exitCode, 0) << res.output;
        EXPECT_EQ(httpPeer(r.path), r.peer);
    }
    // getpeername shows the real peer, not the local server.
    RunResult raw = app({"/usr/bin/python3", "-c", kRawConnect, kDest4, "/peer"});
    EXPECT_EQ(field(raw.output, "peer"), std::string(kDest4) + ":8000") << raw.output;

    // Datagrams: unconnected, connected, sendmsg, raw sendmmsg; replies come
    // from the real peer.
    for (const char* mode : {"sendto", "connect", "sendmsg"}) {
        SCOPED_TRACE(mode);
        RunResult res = app({"/usr/bin/python3", "-c", kUdpClientScript, kDest4, mode});
        EXPECT_EQ(res.exitCode, 0) << res.output;
        EXPECT_EQ(field(res.output, "from"), std::string(kDest4) + ":7000");
        EXPECT_EQ(field(res.output, "reply"), "echo:ping");
    }
    RunResult mmsg = app({VNX_CAPTURE_PROBE_PATH, "sendmmsg", kDest4, "7000"});
    EXPECT_EQ(mmsg.exitCode, 0) << mmsg.output;
    EXPECT_EQ(field(mmsg.output, "from"), std::string(kDest4) + ":7000");
    EXPECT_EQ(field(mmsg.output, "reply"), "echo:mmsg");
    EXPECT_NE(servers_.output().find(std::string("udp peer=") + kRelayOut4), std::string::npos);
    // IPv6 datagrams cannot be given an alias: refused, never sent directly.
    RunResult udp6 = app({"/usr/bin/python3", "-c", kUdpClientScript, kDest6, "sendto"});
    EXPECT_NE(udp6.exitCode, 0) << udp6.output;
    expectNothingDirect();
}

TEST_F(CaptureTopology, NameLookupsThroughALocalStubLeaveFromTheRelay) {
    publish(block());
    RunResult hosts = app({"getent", "hosts", "web.test"});
    EXPECT_EQ(hosts.exitCode, 0) << hosts.output;
    EXPECT_NE(hosts.output.find("web.test"), std::string::npos) << hosts.output;
    RunResult ahosts = app({"getent", "ahosts", "web.test"});
    EXPECT_EQ(ahosts.exitCode, 0) << ahosts.output;
    EXPECT_NE(ahosts.output.find(kDest4), std::string::npos) << ahosts.output;
    RunResult reverse =
        app({"/usr/bin/python3", "-c", std::string("import socket;print('name='+socket.getfqdn('") + kDest4 + "'))"});
    EXPECT_EQ(field(reverse.output, "name"), "web.test") << reverse.output;
    // Through the relay, the destination's resolver sees the relay's address.
    const std::string out = servers_.output();
    EXPECT_NE(out.find(std::string("dns peer=") + kRelayOut4 + " name=web.test"), std::string::npos) << out;
    EXPECT_NE(out.find(std::string("dns peer=") + kRelayOut4 + " name=2.100.51.198.in-addr.arpa"), std::string::npos)
        << out;
    expectNothingDirect();
}

TEST_F(CaptureTopology, RulesPickProgramsAndTheirChildren) {
    BlockSettings b = block();
    b.allApps = false;
    b.rules = {u"CURL.exe"};
    publish(b);
    const std::string base4 = std::string("http://") + kDest4 + ":8000";
    EXPECT_EQ(app({"curl", "-sS", "--max-time", "20", base4 + "/ruled"}).exitCode, 0);
    EXPECT_EQ(httpPeer("/ruled"), kRelayOut4);
    EXPECT_EQ(app({"wget", "-q", "-O", "-", "-T", "20", base4 + "/unruled"}).exitCode, 0);
    EXPECT_EQ(httpPeer("/unruled"), kApp4);
    // A chosen program's children go with it, whatever they are called.
    b.rules = {u"python3"};
    publish(b);
    RunResult child = app({"/usr/bin/python3", "-c",
                           "import subprocess,sys;sys.exit(subprocess.call(['/bin/busybox','wget','-q','-O','-','" +
                               base4 + "/child']))"});
    EXPECT_EQ(child.exitCode, 0) << child.output;
    EXPECT_EQ(httpPeer("/child"), kRelayOut4);

    // A program already running follows a rule changed under it: direct
    // while outside the rules, through the relay once it is in them.
    b.rules = {u"curl"};
    publish(b);
    const std::string go = dir_ + "/go";
    BackgroundProcess running;
    ASSERT_TRUE(
        running.start(inCgroup({"/usr/bin/python3", "-c",
                                "import os,sys,time,urllib.request as u\n"
                                "def get(p): u.urlopen('" +
                                    base4 +
                                    "'+p, timeout=20).read()\n"
                                    "get('/before'); print('first done', flush=True)\n"
                                    "end = time.time() + 20\n"
                                    "while not os.path.exists(sys.argv[1]) and time.time() < end: time.sleep(0.02)\n"
                                    "get('/after'); print('second done', flush=True)\n",
                                go})));
    ASSERT_TRUE(running.waitFor("first done", 20000)) << running.output();
    b.rules = {u"curl", u"python3"};
    publish(b);
    std::ofstream(go) << "go\n";
    ASSERT_TRUE(running.waitFor("second done", 25000)) << running.output();
    EXPECT_EQ(httpPeer("/before"), kApp4);
    EXPECT_EQ(httpPeer("/after"), kRelayOut4);
}

TEST_F(CaptureTopology, DisconnectedGoesDirectAndALostServerFailsClosed) {
    const std::string base4 = std::string("http://") + kDest4 + ":8000";
    BlockSettings off = block();
    off.connected = false;
    publish(off);
    EXPECT_EQ(app({"curl", "-sS", "--max-time", "20", base4 + "/off"}).exitCode, 0);
    EXPECT_EQ(httpPeer("/off"), kApp4);
    publish(block());
    EXPECT_EQ(app({"curl", "-sS", "--max-time", "20", base4 + "/on"}).exitCode, 0);
    EXPECT_EQ(httpPeer("/on"), kRelayOut4);
    // Connected, but the local server is gone: connections and datagrams
    // fail, and nothing reaches the destination.
    server_.stop();
    RunResult tcp = app({"curl", "-sS", "--max-time", "10", base4 + "/killswitch"});
    EXPECT_NE(tcp.exitCode, 0) << tcp.output;
    RunResult udp = app({"/usr/bin/python3", "-c",
                         "import socket;s=socket.socket(socket.AF_INET,socket.SOCK_DGRAM);s.settimeout(2);"
                         "s.sendto(b'leak',('198.51.100.2',7000));print(s.recvfrom(100))"});
    EXPECT_NE(udp.exitCode, 0) << udp.output;
    EXPECT_EQ(httpPeer("/killswitch", 2000), "");
    EXPECT_EQ(servers_.output().find("udp peer="), std::string::npos) << servers_.output();
    // The service stops: the pinned hooks keep failing closed on its last
    // policy rather than letting the program out.
    capture_.stop();
    EXPECT_NE(app({"curl", "-sS", "--max-time", "10", base4 + "/nocapture"}).exitCode, 0);
    EXPECT_EQ(httpPeer("/nocapture", 2000), "");
    // Started again, it takes over its pinned hooks: with the server back,
    // programs go through the relay once more.
    BackgroundProcess again;
    ASSERT_TRUE(again.start({VNX_BIN_DIR "/veilnox-capture", "--cgroup", cgroup_, "--pin-dir", pinDir_, "--state-file",
                             dir_ + "/capture.pid"}));
    ASSERT_TRUE(again.waitFor("veilnox-capture: ready", 20000)) << again.output();
    EXPECT_EQ(again.output().find("attaching anew"), std::string::npos) << again.output();
    BackgroundProcess server;
    ASSERT_TRUE(server.start(inCgroup({VNX_BIN_DIR "/veilnoxsvr"}), {"VEILNOX_DNS_UPSTREAM=" + std::string(kDest4)}));
    ASSERT_TRUE(server.waitFor("-----tcp connections:0 , udp connections:0 END.", 20000)) << server.output();
    EXPECT_EQ(app({"curl", "-sS", "--max-time", "20", base4 + "/restarted"}).exitCode, 0);
    EXPECT_EQ(httpPeer("/restarted"), kRelayOut4);
    server.stop();
    again.stop();
    // Detached, programs go direct again.
    ASSERT_TRUE(runCommand(std::string(VNX_BIN_DIR "/veilnox-capture --detach --pin-dir ") + pinDir_));
    EXPECT_EQ(app({"curl", "-sS", "--max-time", "20", base4 + "/detached"}).exitCode, 0);
    EXPECT_EQ(httpPeer("/detached"), kApp4);
}

}  // namespace
