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
#include "capturewire.h"
#include "hopkey.h"
#include "packetcapture.h"
#include "sharedmemory.h"
#include "test_module_support.h"
#include "topology.h"
#include "waiters.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <sstream>

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
        ASSERT_TRUE(
            capture_.start({VNX_BIN_DIR "/veilnox-capture", "--cgroup", cgroup_, "--pin-dir", pinDir_, "--state-file",
                            dir_ + "/capture.pid", "--resolver-socket", dir_ + "/resolve.sock"}));
        ASSERT_TRUE(capture_.waitFor("veilnox-capture: ready", 20000))
            << "the capture service could not attach its hooks (BPF and cgroup v2 are needed):\n"
            << capture_.output();
        published_ = policyKey(block());
        startServer();
    }
    void TearDown() override {
        server_.stop();
        capture_.stop();
        if (!pinDir_.empty()) runCommand(std::string(VNX_BIN_DIR "/veilnox-capture --detach --pin-dir ") + pinDir_);
        stub_.stop();
        // The folder can go once its last process has; ours are all ended.
        for (const std::string& folder : {cgroup_, cgroup_ + "-2"})
            if (!cgroup_.empty()) waitUntil([&] { return rmdir(folder.c_str()) == 0 || errno != EBUSY; }, 5000, 50);
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
    std::string policyLine(const BlockSettings& b) {
        return "veilnox-capture: user " + std::to_string(getuid()) + " connected=" + (b.connected ? "1" : "0") +
               " tcp=" + (b.tcp ? "1" : "0") + " udp=" + (b.udp ? "1" : "0") + " dns=" + (b.dns ? "1" : "0") +
               " all=" + (b.allApps ? "1" : "0") + " rules=" + std::to_string(b.rules.size()) + "\n";
    }
    // The line and the rules themselves: two policies can print the same
    // line (other rules of the same count).
    std::string policyKey(const BlockSettings& b) {
        std::string k = policyLine(b);
        for (const std::u16string& r : b.rules) {
            k += '|';
            for (char16_t c : r)
                k += static_cast<char>(c);
        }
        return k;
    }
    // Publishes the block and waits until the service has handed its policy
    // to the hooks (it says so on its output; a changed policy as a new line).
    void publish(const BlockSettings& b) {
        const std::string said = "veilnox-capture: user " + std::to_string(getuid()) + " ";
        const std::string line = policyLine(b);
        const std::string key = policyKey(b);
        auto lines = [&] {
            const std::string out = capture_.output();
            std::size_t n = 0;
            for (std::size_t at = out.find(said); at != std::string::npos; at = out.find(said, at + 1))
                ++n;
            return n;
        };
        const std::size_t before = lines();
        ASSERT_TRUE(writeProxyBlock(b));
        auto latest = [&] {
            const std::string out = capture_.output();
            std::size_t at = out.rfind(said);
            return at == std::string::npos ? std::string() : out.substr(at, out.find('\n', at) + 1 - at);
        };
        const bool changed = key != published_;
        waitUntil([&] { return latest() == line && (!changed || lines() > before); }, 5000);
        ASSERT_EQ(latest(), line) << capture_.output();
        if (changed) {
            ASSERT_GT(lines(), before) << capture_.output();
        }
        published_ = key;
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

    // argv run as another local user (nobody), in the hooked cgroup.
    std::vector<std::string> asOther(std::vector<std::string> argv) {
        argv.insert(argv.begin(), {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"});
        return inCgroup(std::move(argv));
    }
    // A program in the hooked cgroup whose standard input the test writes.
    bool startWithInput(ChildProcess& p, std::vector<std::string> argv) {
        ChildOptions o;
        o.searchPath = true;
        return p.startWith(inCgroup(std::move(argv)), {}, o);
    }
    // Waits (bounded) until the destination has logged `text` at least n
    // times: its log reaches the test through a pipe, after the answer.
    std::size_t countAtLeast(const std::string& text, std::size_t n) {
        waitUntil([&] { return count(text) >= n; }, 5000);
        return count(text);
    }
    std::size_t count(const std::string& text) {
        const std::string out = servers_.output();
        std::size_t n = 0;
        for (std::size_t at = out.find(text); at != std::string::npos; at = out.find(text, at + 1))
            ++n;
        return n;
    }

    BackgroundProcess server_, capture_, stub_;
    std::string cgroup_, pinDir_;
    std::string published_;  // the policy the service said it published last
};

// Writes the proxy data block of the user `uid` from a child process running
// as that user (the block is per user, and the service takes only a block
// its user owns), and keeps the block alive until the object is destroyed.
class OtherUsersBlock {
public:
    bool write(uid_t uid, const BlockSettings& b) {
        int ready[2], hold[2];
        if (pipe(ready) != 0 || pipe(hold) != 0) return false;
        pid_ = fork();
        if (pid_ == 0) {
            close(ready[0]);
            close(hold[1]);
            if (setresgid(uid, uid, uid) != 0 || setresuid(uid, uid, uid) != 0) _exit(1);
            // A mapping of its own: the test's cached one is the test user's.
            vnx::SharedMemory block(vnx::kProxyDataName, vnx::kProxyDataSize, true);
            if (!block.open() || !block.view()) _exit(1);
            fillProxyBlock(static_cast<vnx::ProxyData*>(block.view()), b);
            if (::write(ready[1], "k", 1) != 1) _exit(1);
            char c;
            while (read(hold[0], &c, 1) > 0) {
            }
            _exit(0);
        }
        close(ready[1]);
        close(hold[0]);
        holdFd_ = hold[1];
        char c = 0;
        bool ok = pid_ > 0 && read(ready[0], &c, 1) == 1 && c == 'k';
        close(ready[0]);
        return ok;
    }
    ~OtherUsersBlock() {
        if (holdFd_ >= 0) close(holdFd_);
        if (pid_ > 0) waitpid(pid_, nullptr, 0);
    }

private:
    pid_t pid_ = -1;
    int holdFd_ = -1;
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
    // getpeername shows the real peer, not the local server, for TCP and
    // for MPTCP (whose connection the kernel makes on a subflow socket).
    RunResult raw = app({"/usr/bin/python3", "-c", kRawConnect, kDest4, "/peer"});
    EXPECT_EQ(field(raw.output, "peer"), std::string(kDest4) + ":8000") << raw.output;
    RunResult mptcp =
        app({"/usr/bin/python3", "-c",
             "import socket,sys\n"
             "s=socket.socket(socket.AF_INET,socket.SOCK_STREAM,262); s.settimeout(20)\n"
             "s.connect((sys.argv[1],8000)); print('peer=%s:%d' % s.getpeername())\n"
             "s.sendall(b'GET /mptcp HTTP/1.0\\r\\n\\r\\n'); print(s.recv(64).split(b'\\r\\n')[0].decode())\n",
             kDest4});
    EXPECT_EQ(field(mptcp.output, "peer"), std::string(kDest4) + ":8000") << mptcp.output;
    EXPECT_EQ(httpPeer("/mptcp"), kRelayOut4);

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

TEST_F(CaptureTopology, ARelayWithAKeyGetsTcpAndDatagramsSealed) {
    // A second relay, with a key, that the client selected: the programs'
    // traffic arrives from it, and a capture of the application's link
    // shows neither the request nor the answers on the hop.
    std::uint8_t key[vnx::kHopKeySize];
    for (std::size_t i = 0; i < sizeof key; ++i)
        key[i] = static_cast<std::uint8_t>(i * 7 + 3);
    const std::string keyFile = dir_ + "/relay.key";
    {
        std::ofstream out(keyFile);
        out << vnx::encodeHopKey(key) << "\n";
    }
    ASSERT_EQ(chmod(keyFile.c_str(), 0600), 0);
    BackgroundProcess keyed;
    ASSERT_TRUE(keyed.start(
        {VNX_BIN_DIR "/veilnox-relay", "--listen", std::string(kRelayIn4) + ":0", "--key-file", keyFile, "--quiet"}, {},
        relayNs_.pid()));
    const std::uint16_t port = relayListenPort(keyed, kRelayIn4);
    ASSERT_NE(port, 0) << keyed.output();
    ASSERT_TRUE(vnx::publishHopKey(inet_addr(kRelayIn4), port, key));
    BlockSettings b = block();
    b.proxyPort = port;
    publish(b);

    PacketCapture capture("va");
    ASSERT_TRUE(capture.ok());
    RunResult curl = app({"curl", "-sS", "--max-time", "20", std::string("http://") + kDest4 + ":8000/sealed-path"});
    EXPECT_EQ(curl.exitCode, 0) << curl.output;
    EXPECT_EQ(httpPeer("/sealed-path"), kRelayOut4);
    for (const char* mode : {"sendto", "connect"}) {
        SCOPED_TRACE(mode);
        RunResult res = app({"/usr/bin/python3", "-c", kUdpClientScript, kDest4, mode});
        EXPECT_EQ(res.exitCode, 0) << res.output;
        EXPECT_EQ(field(res.output, "from"), std::string(kDest4) + ":7000");
        EXPECT_EQ(field(res.output, "reply"), "echo:ping");
    }
    const auto request = capture.seenOnPort(port, "sealed-path");
    const auto answers = capture.seenOnPort(port, "echo:ping");
    EXPECT_GE(request.packets, 6);
    EXPECT_EQ(request.withMarker, 0);
    EXPECT_EQ(answers.withMarker, 0);
    expectNothingDirect();
    ASSERT_TRUE(vnx::publishHopKey(inet_addr(kRelayIn4), port, nullptr));
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
    // Started on another cgroup, the service leaves the first one: its
    // programs are no longer held (the server is gone, so any hook left on
    // them would make them fail), those of the new one are.
    const std::string second = cgroup_ + "-2";
    ASSERT_TRUE(runCommand("mkdir -p " + second));
    BackgroundProcess moved;
    ASSERT_TRUE(moved.start({VNX_BIN_DIR "/veilnox-capture", "--cgroup", second, "--pin-dir", pinDir_, "--state-file",
                             dir_ + "/capture.pid"}));
    ASSERT_TRUE(moved.waitFor("veilnox-capture: ready", 20000)) << moved.output();
    EXPECT_EQ(app({"curl", "-sS", "--max-time", "20", base4 + "/left"}).exitCode, 0);
    EXPECT_EQ(httpPeer("/left"), kApp4);
    RunResult held = runProgram({"/bin/sh", "-c", "echo $$ > " + second + "/cgroup.procs && exec \"$@\"", "sh", "curl",
                                 "-sS", "--max-time", "5", base4 + "/held"},
                                {}, 30000, false);
    EXPECT_NE(held.exitCode, 0) << held.output;
    // Told to detach while it runs, the service stops too (it would
    // otherwise serve hooks nobody can see), and programs go direct again.
    ASSERT_TRUE(runCommand(std::string(VNX_BIN_DIR "/veilnox-capture --detach --pin-dir ") + pinDir_ +
                           " --state-file " + dir_ + "/capture.pid"));
    EXPECT_EQ(moved.waitExit(10000), 0) << moved.output();
    EXPECT_EQ(app({"curl", "-sS", "--max-time", "20", base4 + "/detached"}).exitCode, 0);
    EXPECT_EQ(httpPeer("/detached"), kApp4);
}

// Connections and datagram sockets a program opened before it was covered
// are ended when the policy starts to cover it; what it sends afterwards,
// on new sockets, goes through the relay. The destination logs every line
// and datagram with its sender.
TEST_F(CaptureTopology, SocketsOpenedBeforeConnectAreResetAndComeBackThroughTheRelay) {
    BlockSettings off = block();
    off.connected = false;
    publish(off);
    ChildProcess holder;
    ASSERT_TRUE(startWithInput(
        holder,
        {"/usr/bin/python3", "-c",
         "import socket,sys\n"
         "d=sys.argv[1]\n"
         "t=socket.create_connection((d,9000),timeout=10); f=t.makefile('rb')\n"
         "t.sendall(b'before\\n'); f.readline()\n"
         "u=socket.socket(socket.AF_INET,socket.SOCK_DGRAM); u.settimeout(5); u.connect((d,7000))\n"
         "u.send(b'before'); u.recv(100)\n"
         "print('ready',flush=True); sys.stdin.readline()\n"
         "def use(name,fn):\n"
         "    try: fn(); print(name,'went',flush=True)\n"
         "    except OSError as e: print(name,'error',e.errno,flush=True)\n"
         "use('tcp',lambda:(t.sendall(b'after-old\\n'),f.readline()))\n"
         "use('udp',lambda:(u.send(b'after-old'),u.recv(100)))\n"
         "t=socket.create_connection((d,9000),timeout=10); t.sendall(b'after-new\\n'); t.makefile('rb').readline()\n"
         "u=socket.socket(socket.AF_INET,socket.SOCK_DGRAM); u.settimeout(5); u.connect((d,7000))\n"
         "u.send(b'after-new'); u.recv(100); print('renewed',flush=True)\n",
         kDest4}));
    ASSERT_NE(holder.waitFor("ready", 20000), std::string::npos) << holder.output();
    EXPECT_EQ(countAtLeast(std::string("line peer=") + kApp4 + " text=before", 1), 1u) << servers_.output();
    publish(block());
    ASSERT_TRUE(
        waitUntil([&] { return capture_.output().find("reset 2 connections of user 0") != std::string::npos; }, 10000))
        << capture_.output();
    ASSERT_TRUE(holder.writeInput("go\n"));
    ASSERT_NE(holder.waitFor("renewed", 30000), std::string::npos) << holder.output();
    EXPECT_NE(holder.output().find("tcp error"), std::string::npos) << holder.output();
    EXPECT_NE(holder.output().find("udp error"), std::string::npos) << holder.output();
    EXPECT_EQ(count("text=after-old"), 0u) << servers_.output();
    EXPECT_EQ(countAtLeast(std::string("line peer=") + kRelayOut4 + " text=after-new", 1), 1u) << servers_.output();
    EXPECT_EQ(count(std::string("udp peer=") + kApp4), 1u) << servers_.output();  // the one before Connect
    EXPECT_GE(countAtLeast(std::string("udp peer=") + kRelayOut4, 1), 1u) << servers_.output();
    // The client is told how many were reset.
    std::ifstream report(dir_ + "/veilnox-capture.reset." + std::to_string(getuid()));
    int resetCount = 0;
    report >> resetCount;
    EXPECT_EQ(resetCount, 2);
}

// A local resolver daemon asks upstream from the user's own address: while
// DNS is redirected a chosen program cannot reach one (the stand-in daemon
// here forwards each request to the destination's DNS server, so a name
// that got through would show up there from the application's address).
TEST_F(CaptureTopology, ResolverDaemonsAreOutOfReachWhileDnsIsRedirected) {
    std::stringstream state;
    state << std::ifstream(dir_ + "/capture.pid").rdbuf();
    ASSERT_NE(state.str().find("\nresolvers=1\n"), std::string::npos)
        << "the kernel has neither a unix-connect hook nor BPF security modules: " << capture_.output();
    BackgroundProcess daemon;
    ASSERT_TRUE(daemon.start({"/usr/bin/python3", "-c",
                              "import socket,sys,os\n"
                              "l=socket.socket(socket.AF_UNIX); l.bind(sys.argv[1]); os.chmod(sys.argv[1],0o777); "
                              "l.listen(8); print('daemon ready',flush=True)\n"
                              "while True:\n"
                              "    c,_=l.accept(); name=c.recv(100).strip()\n"
                              "    q=b'\\x12\\x34\\x01\\x00\\x00\\x01\\x00\\x00\\x00\\x00\\x00\\x00'+b''.join("
                              "bytes([len(p)])+p for p in name.split(b'.'))+b'\\x00\\x00\\x01\\x00\\x01'\n"
                              "    u=socket.socket(socket.AF_INET,socket.SOCK_DGRAM); u.settimeout(3); "
                              "u.sendto(q,('198.51.100.2',53))\n"
                              "    try: u.recv(512); c.sendall(b'answered')\n"
                              "    except OSError: pass\n"
                              "    c.close()\n",
                              dir_ + "/resolve.sock"}));
    ASSERT_TRUE(daemon.waitFor("daemon ready", 10000)) << daemon.output();
    const std::string ask = std::string(
        "import socket,sys\n"
        "s=socket.socket(socket.AF_UNIX)\n"
        "try: s.connect(sys.argv[1]); s.sendall(sys.argv[2].encode()); "
        "print('reply',s.recv(100))\n"
        "except OSError as e: print('errno',e.errno)\n");
    struct Row {
        bool connected, dns;
        const char* name;
        bool reaches;
    } rows[] = {
        {true, true, "guarded.test", false},
        {true, false, "nodns.test", true},
        {false, true, "off.test", true},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        BlockSettings b = block();
        b.connected = r.connected;
        b.dns = r.dns;
        publish(b);
        RunResult res = app({"/usr/bin/python3", "-c", ask, dir_ + "/resolve.sock", r.name});
        if (r.reaches) {
            EXPECT_NE(res.output.find("reply b'answered'"), std::string::npos) << res.output;
        } else {
            EXPECT_NE(res.output.find("errno 111"), std::string::npos) << res.output;
            EXPECT_EQ(count(std::string("name=") + r.name), 0u) << servers_.output();
        }
    }
}

// A user's traffic reaches only that user's own local server: not a port
// another user holds while the server is away, not another user's server
// when both are connected; and another user cannot have datagrams relayed
// through this user's proxy by sending to the capture aliases.
TEST_F(CaptureTopology, OnlyTheUsersOwnServerReceivesTheUsersTraffic) {
    publish(block());
    const std::string base4 = std::string("http://") + kDest4 + ":8000";
    ASSERT_TRUE(runCommand("chmod 755 " + dir_ + " && mkdir -m 777 " + dir_ + "/other"));

    // A second user, connected at the same time, with a local server of its
    // own that relays directly (no proxy): its programs arrive from the
    // application's address, this user's from the relay.
    BlockSettings theirs;
    OtherUsersBlock otherBlock;
    ASSERT_TRUE(otherBlock.write(65534, theirs));
    ASSERT_TRUE(capture_.waitFor("veilnox-capture: user 65534 connected=1", 5000)) << capture_.output();
    BackgroundProcess otherServer;
    ASSERT_TRUE(otherServer.start(asOther({VNX_BIN_DIR "/veilnoxsvr"}), {"XDG_DATA_HOME=" + dir_ + "/other"}));
    ASSERT_TRUE(otherServer.waitFor("-----tcp connections:0 , udp connections:0 END.", 20000)) << otherServer.output();
    EXPECT_EQ(app({"curl", "-sS", "--max-time", "20", base4 + "/mine"}).exitCode, 0);
    RunResult other = runProgram(asOther({"curl", "-sS", "--max-time", "20", base4 + "/theirs"}), {}, 30000, false);
    EXPECT_EQ(other.exitCode, 0) << other.output << otherServer.output();
    EXPECT_EQ(httpPeer("/mine"), kRelayOut4);
    EXPECT_EQ(httpPeer("/theirs"), kApp4);

    // The other user sends to every alias this user's datagrams could have
    // been given, at this user's capture port: nothing is relayed.
    RunResult mine = app({"/usr/bin/python3", "-c", kUdpClientScript, kDest4, "sendto"});
    EXPECT_EQ(field(mine.output, "reply"), "echo:ping") << mine.output;
    const std::string said = server_.output();
    const std::size_t at = said.find(" Captured datagrams on port ");
    ASSERT_NE(at, std::string::npos) << said;
    const int capturePort = std::atoi(said.c_str() + at + 28);
    const std::size_t relayedBefore = countAtLeast(std::string("udp peer=") + kRelayOut4, 1);
    RunResult spray = runProgram(asOther({"/usr/bin/python3", "-c",
                                          "import socket,sys\n"
                                          "s=socket.socket(socket.AF_INET,socket.SOCK_DGRAM); s.settimeout(0.3)\n"
                                          "for c in range(0,64): s.sendto(b'spoof',('127.0.2.%d'%c,int(sys.argv[1])))\n"
                                          "try: print('answer',s.recvfrom(100))\n"
                                          "except OSError: print('no answer')\n",
                                          std::to_string(capturePort)}),
                                 {}, 30000, false);
    EXPECT_NE(spray.output.find("no answer"), std::string::npos) << spray.output;
    // One more datagram of this user's own, after the spray: when it has
    // arrived, anything relayed for the other user would have too.
    EXPECT_EQ(app({"/usr/bin/python3", "-c", kUdpClientScript, kDest4, "connect"}).exitCode, 0);
    EXPECT_EQ(countAtLeast(std::string("udp peer=") + kRelayOut4, relayedBefore + 1), relayedBefore + 1)
        << servers_.output();

    // This user's server goes away and the other user takes its ports (and
    // registers them as theirs): this user's programs fail, and the squatter
    // reads nothing.
    server_.stop();
    BackgroundProcess squatter;
    ASSERT_TRUE(squatter.start(asOther(
        {"/usr/bin/python3", "-c",
         "import socket,select\n"
         "t=socket.socket(); t.setsockopt(socket.SOL_SOCKET,socket.SO_REUSEADDR,1); t.bind(('127.0.0.1',9111)); "
         "t.listen(16)\n"
         "u=socket.socket(socket.AF_INET,socket.SOCK_DGRAM); u.bind(('0.0.0.0',9112))\n"
         "for s,k in ((t,1),(u,2)):\n"
         "    try: s.setsockopt(0x564e,4,k.to_bytes(4,'little'))\n"
         "    except OSError as e: print('register',e.errno,flush=True)\n"
         "print('squatting',flush=True)\n"
         "while True:\n"
         "    r,_,_=select.select([t,u],[],[])\n"
         "    if t in r: c,_=t.accept(); c.settimeout(2); print('got tcp',c.recv(100),flush=True)\n"
         "    if u in r: print('got udp',u.recvfrom(100),flush=True)\n"})));
    ASSERT_TRUE(squatter.waitFor("squatting", 10000)) << squatter.output();
    EXPECT_NE(app({"curl", "-sS", "--max-time", "5", base4 + "/squat?token=secret"}).exitCode, 0);
    RunResult udp = app({"/usr/bin/python3", "-c", kUdpClientScript, kDest4, "sendto"});
    EXPECT_NE(udp.exitCode, 0) << udp.output;
    // Started again while the port is held, the server says so and serves
    // this user's captured programs on a free port.
    BackgroundProcess again;
    ASSERT_TRUE(again.start(inCgroup({VNX_BIN_DIR "/veilnoxsvr"}), {"VEILNOX_DNS_UPSTREAM=" + std::string(kDest4)}));
    ASSERT_TRUE(again.waitFor("-----tcp connections:0 , udp connections:0 END.", 20000)) << again.output();
    EXPECT_NE(again.output().find("captured connections only"), std::string::npos) << again.output();
    EXPECT_EQ(app({"curl", "-sS", "--max-time", "20", base4 + "/back"}).exitCode, 0);
    EXPECT_EQ(httpPeer("/back"), kRelayOut4);
    EXPECT_EQ(squatter.output().find("got"), std::string::npos) << squatter.output();
    EXPECT_EQ(httpPeer("/squat?token=secret", 500), "");
    again.stop();
    squatter.stop();
    otherServer.stop();
}

// Two connections from the same local port on different source addresses
// each reach their own destination, even when both are waiting in the
// server's accept queue at once; a datagram flow keeps its alias.
TEST_F(CaptureTopology, ConnectionsAndDatagramsKeepTheirOwnDestinations) {
    publish(block());
    ASSERT_EQ(kill(server_.pid(), SIGSTOP), 0);
    ChildProcess client;
    ASSERT_TRUE(
        startWithInput(client, {"/usr/bin/python3", "-c",
                                "import socket,sys\n"
                                "def conn(src,port):\n"
                                "    s=socket.socket(); s.setsockopt(socket.SOL_SOCKET,socket.SO_REUSEADDR,1)\n"
                                "    s.bind((src,40123)); s.settimeout(20); s.connect((sys.argv[1],port)); return s\n"
                                "a=conn('127.0.0.2',8000); b=conn('127.0.0.3',9000)\n"
                                "print('connected',flush=True); sys.stdin.readline()\n"
                                "a.sendall(b'GET /pair HTTP/1.0\\r\\n\\r\\n'); b.sendall(b'pair\\n')\n"
                                "print('a='+a.recv(200).split(b'\\r\\n')[0].decode(),flush=True)\n"
                                "print('b='+b.recv(200).decode().strip(),flush=True)\n",
                                kDest4}));
    const bool connected = client.waitFor("connected", 20000) != std::string::npos;
    ASSERT_EQ(kill(server_.pid(), SIGCONT), 0);
    ASSERT_TRUE(connected) << client.output();
    ASSERT_TRUE(client.writeInput("go\n"));
    ASSERT_NE(client.waitFor("b=", 20000), std::string::npos) << client.output();
    EXPECT_NE(client.output().find("a=HTTP/1."), std::string::npos) << client.output();
    EXPECT_NE(client.output().find(std::string("b=DST ") + kDest4 + ":9000 pair"), std::string::npos)
        << client.output();
    EXPECT_EQ(httpPeer("/pair"), kRelayOut4);
    EXPECT_EQ(countAtLeast(std::string("line peer=") + kRelayOut4 + " text=pair", 1), 1u) << servers_.output();

    // Aliases: once the allocator wraps (after ~16.7 million), an alias
    // still in use is skipped, not handed to another destination.
    ChildProcess flow;
    ASSERT_TRUE(startWithInput(flow, {"/usr/bin/python3", "-c",
                                      "import socket,sys\n"
                                      "u=socket.socket(socket.AF_INET,socket.SOCK_DGRAM); u.settimeout(10)\n"
                                      "u.connect((sys.argv[1],7000)); u.send(b'one'); u.recv(100)\n"
                                      "print('ready',flush=True); sys.stdin.readline()\n"
                                      "u.send(b'two'); d,a=u.recvfrom(100); print('from=%s:%d reply=%s' % "
                                      "(a[0],a[1],d.decode()),flush=True)\n",
                                      kDest4}));
    ASSERT_NE(flow.waitFor("ready", 20000), std::string::npos) << flow.output();
    // The counter is set where the next allocation wraps onto the alias the
    // flow holds; the next destination (the local DNS stub) must get another.
    std::string counter;
    for (int i = 0; i < 4; ++i)
        counter += " " + std::to_string((VNX_ALIAS_COUNT >> (8 * i)) & 0xff);
    ASSERT_TRUE(runCommand("bpftool map update pinned " + pinDir_ + "/maps-v" + std::to_string(VNX_LAYOUT_VERSION) +
                           "/alias_next key 0 0 0 0 value" + counter));
    RunResult lookup = app({"getent", "hosts", "web.test"});
    EXPECT_EQ(lookup.exitCode, 0) << lookup.output;
    ASSERT_TRUE(flow.writeInput("go\n"));
    ASSERT_NE(flow.waitFor("reply=", 20000), std::string::npos) << flow.output();
    EXPECT_NE(flow.output().find(std::string("from=") + kDest4 + ":7000 reply=echo:two"), std::string::npos)
        << flow.output();
}

// A chosen program's descendants stay chosen however deep the tree, through
// forks and execs alike; a thread group outlives its leader; protocols that
// cannot be relayed are refused rather than sent from the user's address.
TEST_F(CaptureTopology, DeepTreesThreadsAndUnrelayableProtocols) {
    BlockSettings b = block();
    b.allApps = false;
    b.rules = {u"python3"};
    publish(b);
    const std::string base4 = std::string("http://") + kDest4 + ":8000";
    // hop N CMD...: N generations of fork+exec of sh, each through env and
    // nice (three images per generation), then CMD.
    const std::string hop = dir_ + "/hop";
    std::ofstream(hop) << "n=$1; shift\n"
                          "if [ \"$n\" -gt 0 ]; then env nice /bin/sh "
                       << hop
                       << " $((n-1)) \"$@\"; exit $?; fi\n"
                          "exec \"$@\"\n";
    const std::string spawn = "import subprocess,sys;sys.exit(subprocess.call(sys.argv[1:]))";
    struct Row {
        const char* path;
        std::vector<std::string> argv;
    } rows[] = {
        {"/deep-fork", {"/usr/bin/python3", "-c", spawn, "/bin/sh", hop, "8", "curl", "-sS", base4 + "/deep-fork"}},
        {"/deep-exec",
         {"/usr/bin/python3",
          "-c",
          "import os,sys;os.execv(sys.argv[1],sys.argv[1:])",
          "/usr/bin/env",
          "env",
          "env",
          "env",
          "env",
          "env",
          "env",
          "env",
          "env",
          "nice",
          "nice",
          "nice",
          "nice",
          "nice",
          "nice",
          "nice",
          "nice",
          "/bin/busybox",
          "wget",
          "-q",
          "-O",
          "-",
          base4 + "/deep-exec"}},
        {"/leader-gone",
         {"/usr/bin/python3", "-c", spawn, VNX_CAPTURE_PROBE_PATH, "leaderexit", kDest4, "8000", "/leader-gone"}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.path);
        RunResult res = app(r.argv);
        EXPECT_EQ(res.exitCode, 0) << res.output;
        EXPECT_EQ(httpPeer(r.path), kRelayOut4);
    }
    // The same tree outside the rules goes direct (the lineage is no
    // blanket).
    RunResult outside = app({"/bin/sh", hop, "3", "curl", "-sS", base4 + "/outside"});
    EXPECT_EQ(outside.exitCode, 0) << outside.output;
    EXPECT_EQ(httpPeer("/outside"), kApp4);

    const char* kSockets =
        "import socket\n"
        "for name,args in (('raw',(socket.AF_INET,socket.SOCK_RAW,socket.IPPROTO_UDP)),"
        "('icmp',(socket.AF_INET,socket.SOCK_DGRAM,socket.IPPROTO_ICMP)),"
        "('raw6',(socket.AF_INET6,socket.SOCK_RAW,socket.IPPROTO_ICMPV6)),"
        "('sctp',(socket.AF_INET,socket.SOCK_STREAM,132))):\n"
        "    try: socket.socket(*args).close(); print(name,'ok')\n"
        "    except OSError as e: print(name,'errno',e.errno)\n";
    // Ping sockets are open to every group here, so only the hooks refuse
    // them. SCTP may be missing from the kernel altogether.
    ASSERT_TRUE(runCommand("sysctl -qw net.ipv4.ping_group_range='0 2147483647'"));
    RunResult covered = app({"/usr/bin/python3", "-c", kSockets});
    for (const char* name : {"raw", "icmp", "raw6"})
        EXPECT_NE(covered.output.find(std::string(name) + " errno 1\n"), std::string::npos) << name << covered.output;
    EXPECT_EQ(covered.output.find("sctp ok"), std::string::npos) << covered.output;
    b.connected = false;
    publish(b);
    RunResult free = app({"/usr/bin/python3", "-c", kSockets});
    for (const char* name : {"raw", "icmp", "raw6"})
        EXPECT_NE(free.output.find(std::string(name) + " ok\n"), std::string::npos) << name << free.output;
}

}  // namespace
