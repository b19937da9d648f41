// Real programs (curl, wget, python, getent, the probe) through the whole
// chain: module -> veilnoxsvr -> veilnox-relay -> destination, across the
// three network namespaces of tests/support/topology.h; the application and
// veilnoxsvr are in this test's own namespace. Namespaces that cannot be
// made fail the tests.
#include "test_module_support.h"
#include "topology.h"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <fstream>

using namespace vnxtest;

namespace {

// 30,000 connections within a minute towards one relay address (and from the
// relay to one destination) leave more sockets in TIME_WAIT than the default
// ephemeral range holds; these test hosts are tuned as a busy host would be.
const std::string kBusyHost = "net.ipv4.tcp_tw_reuse=1 \"net.ipv4.ip_local_port_range=1024 65000\"";

class ModuleTopology : public NamespaceTopology {
protected:
    void SetUp() override {
        TopologyOptions o;
        o.relayProgram = VNX_BIN_DIR "/veilnox-relay";
        o.relayAllow = {"192.0.2.0/24", "2001:db8:1::/64"};
        o.sysctls = kBusyHost;
        o.nameserver = kDest4;
        o.workPrefix = "/tmp/vnxtopo";
        ASSERT_NO_FATAL_FAILURE(buildTopology(o));
        ASSERT_TRUE(runCommand("mkdir -p " + dir_ + "/data/Veilnox/module"));
        std::ofstream(dir_ + "/data/Veilnox/module/catalog")
            << "{D3C21122-85E1-53F3-9BB6-23D30C7B09EF} " << VNX_MODULE_PATH << "\n";

        ASSERT_TRUE(writeProxyBlock(block()));
        startServer();
    }
    void TearDown() override {
        server_.stop();
        tearDownTopology();
    }
    void startServer() {
        ASSERT_TRUE(server_.start({VNX_BIN_DIR "/veilnoxsvr"}));
        ASSERT_TRUE(server_.waitFor("-----tcp connections:0 , udp connections:0 END.", 20000)) << server_.output();
    }
    BlockSettings block(bool encrypt = true) {
        BlockSettings b;
        b.proxyIp = "192.0.2.1";
        b.proxyPort = relayPort_;
        b.encrypt = encrypt;
        return b;
    }
    // A program started through veilnox-run, as a user would.
    RunResult app(std::vector<std::string> args, int timeoutMs = 60000, std::vector<std::string> env = {}) {
        args.insert(args.begin(), VNX_RUN_PATH);
        env.push_back("XDG_DATA_HOME=" + dir_ + "/data");
        return runProgram(args, env, timeoutMs, false);
    }
    BackgroundProcess server_;
};

TEST_F(ModuleTopology, CurlAndWgetFetchThroughTheRelayMaskedOrNot) {
    for (bool masked : {true, false}) {
        ASSERT_TRUE(writeProxyBlock(block(masked)));
        const std::string tag = masked ? "m" : "p";
        struct Row {
            std::vector<std::string> cmd;
            std::string path;
            const char* peer;
        } rows[] = {
            {{"curl", "-sS", "--max-time", "20", std::string("http://") + kDest4 + ":8000/" + tag + "curl4"},
             "/" + tag + "curl4",
             kRelayOut4},
            {{"curl", "-sS", "-g", "--max-time", "20", std::string("http://[") + kDest6 + "]:8000/" + tag + "curl6"},
             "/" + tag + "curl6",
             kRelayOut6},
            {{"wget", "-q", "-T", "20", "-O", "-", std::string("http://") + kDest4 + ":8000/" + tag + "wget4"},
             "/" + tag + "wget4",
             kRelayOut4},
            {{"wget", "-q", "-T", "20", "-O", "-", std::string("http://[") + kDest6 + "]:8000/" + tag + "wget6"},
             "/" + tag + "wget6",
             kRelayOut6},
            {{"curl", "-sS", "--max-time", "20", "http://web.test:8000/" + tag + "byname"},
             "/" + tag + "byname",
             kRelayOut4},
        };
        for (const Row& r : rows) {
            SCOPED_TRACE(r.path);
            RunResult res = app(r.cmd);
            EXPECT_EQ(res.exitCode, 0) << res.output;
            EXPECT_EQ(res.output, "hello from the destination\n");
            EXPECT_EQ(httpPeer(r.path), r.peer) << servers_.output();
        }
    }
    // The name was asked from the relay's address.
    EXPECT_NE(servers_.output().find(std::string("dns peer=") + kRelayOut4 + " name=web.test"), std::string::npos)
        << servers_.output();
    EXPECT_EQ(servers_.output().find(std::string("peer=") + kApp4), std::string::npos) << "something went direct";
}

TEST_F(ModuleTopology, HundredMebibyteDownloadArrivesIntact) {
    RunResult res =
        app({"sh", "-c", std::string("curl -sS --max-time 120 http://") + kDest4 + ":8000/big | sha256sum"}, 180000);
    EXPECT_EQ(res.exitCode, 0) << res.output;
    EXPECT_EQ(res.output.substr(0, 64), bigSha_) << res.output;
    EXPECT_EQ(httpPeer("/big"), kRelayOut4);
}

TEST_F(ModuleTopology, DatagramsAndNameLookupsShowTheRealPeers) {
    for (const char* host : {kDest4, kDest6}) {
        for (const char* mode : {"sendto", "connect"}) {
            SCOPED_TRACE(std::string(host) + " " + mode);
            RunResult res = app({"/usr/bin/python3", "-c", kUdpClientScript, host, mode});
            EXPECT_EQ(res.exitCode, 0) << res.output;
            EXPECT_EQ(field(res.output, "from"), std::string(host) + ":7000");
            EXPECT_EQ(field(res.output, "reply"), "echo:ping");
        }
    }
    const std::string out = servers_.output();
    EXPECT_NE(out.find(std::string("udp peer=") + kRelayOut4), std::string::npos) << out;
    EXPECT_NE(out.find(std::string("udp peer=") + kRelayOut6), std::string::npos) << out;

    RunResult getent = app({"getent", "hosts", "web.test"});
    EXPECT_EQ(getent.exitCode, 0) << getent.output;
    EXPECT_NE(getent.output.find("web.test"), std::string::npos) << getent.output;
    EXPECT_TRUE(getent.output.find(kDest6) == 0 || getent.output.find(kDest4) == 0) << getent.output;
    // The destination logs the query before it answers; the line may still
    // be in the pipe when the answer has arrived.
    EXPECT_TRUE(servers_.waitFor(std::string("dns peer=") + kRelayOut4 + " name=web.test", 5000)) << servers_.output();
    EXPECT_EQ(servers_.output().find(std::string("peer=") + kApp4), std::string::npos) << "something went direct";
}

TEST_F(ModuleTopology, GatesSendTrafficDirectlyOrNotAtAll) {
    struct Row {
        const char* name;
        bool connected, tcp, allApps;
        std::vector<std::u16string> rules;
        const char* peer;
    } rows[] = {
        {"diverted", true, true, true, {}, kRelayOut4},
        {"disconnected", false, true, true, {}, kApp4},
        {"tcp off", true, false, true, {}, kApp4},
        {"outside the rules", true, true, false, {u"firefox.exe"}, kApp4},
        {"inside the rules", true, true, false, {u"firefox.exe", u"CURL"}, kRelayOut4},
    };
    int n = 0;
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        BlockSettings b = block();
        b.connected = r.connected;
        b.tcp = r.tcp;
        b.allApps = r.allApps;
        b.rules = r.rules;
        ASSERT_TRUE(writeProxyBlock(b));
        const std::string path = "/gate" + std::to_string(n++);
        RunResult res = app({"curl", "-sS", "--max-time", "20", std::string("http://") + kDest4 + ":8000" + path});
        EXPECT_EQ(res.exitCode, 0) << res.output;
        EXPECT_EQ(httpPeer(path), r.peer);
    }
    // Connected, but the local server is gone: the connection fails and
    // nothing reaches the destination by any way.
    ASSERT_TRUE(writeProxyBlock(block()));
    server_.stop();
    RunResult killed = app({"curl", "-sS", "--max-time", "10", std::string("http://") + kDest4 + ":8000/killswitch"});
    EXPECT_NE(killed.exitCode, 0) << killed.output;
    RunResult killedUdp = app({"/usr/bin/python3", "-c",
                               "import socket;s=socket.socket(socket.AF_INET,socket.SOCK_DGRAM);s.settimeout(2);"
                               "s.sendto(b'leak',('198.51.100.2',7000));print(s.recvfrom(100))"});
    EXPECT_NE(killedUdp.exitCode, 0) << killedUdp.output;
    EXPECT_EQ(httpPeer("/killswitch", 2000), "");
    EXPECT_EQ(servers_.output().find("udp peer="), std::string::npos) << servers_.output();
}

TEST_F(ModuleTopology, ManyConnectionsForksAndTimeWait) {
    RunResult stress = app({VNX_PROBE_PATH, "stress", kDest4, "=9000", "8", "500"}, 180000);
    EXPECT_EQ(stress.exitCode, 0) << stress.output.substr(0, 2000);
    EXPECT_EQ(field(stress.output, "good"), "500");
    RunResult forked = app({VNX_PROBE_PATH, "fork", kDest6, "9000"});
    EXPECT_EQ(forked.exitCode, 0) << forked.output;
    EXPECT_NE(forked.output.find("reply=DST [2001:db8:2::2]:9000 hello\nparent:"), std::string::npos) << forked.output;
    RunResult seq = app({VNX_PROBE_PATH, "seq", kDest4, "9000", "30000"}, 850000);
    std::printf("%s", seq.output.c_str());
    EXPECT_EQ(seq.exitCode, 0) << seq.output;
    EXPECT_EQ(field(seq.output, "done"), "30000");
}

TEST_F(ModuleTopology, LookupsBehindALocalStubAndEveryLookupFunctionGoThroughTheRelay) {
    BackgroundProcess stub;
    ASSERT_TRUE(stub.start({"/usr/bin/python3", "-c", kLocalStubScript}));
    ASSERT_TRUE(stub.waitFor("stub ready", 10000)) << stub.output();
    std::ofstream(dir_ + "/resolv.conf", std::ios::trunc) << "nameserver 127.0.0.53\noptions timeout:3 attempts:1\n";
    // The stub's own upstream list, as systemd-resolved publishes it (in
    // this test's mount namespace only).
    ASSERT_EQ(mount("tmpfs", "/run", "tmpfs", 0, "mode=755"), 0);
    ASSERT_TRUE(runCommand("mkdir -p /run/systemd/resolve"));
    std::ofstream("/run/systemd/resolve/resolv.conf") << "nameserver 127.0.0.53\nnameserver " << kDest4 << "\n";

    RunResult curl = app({"curl", "-sS", "--max-time", "20", "http://web.test:8000/stubbyname"});
    EXPECT_EQ(curl.exitCode, 0) << curl.output;
    EXPECT_EQ(httpPeer("/stubbyname"), kRelayOut4);
    RunResult forward = app({"getent", "hosts", "web.test"});
    EXPECT_NE(forward.output.find("web.test"), std::string::npos) << forward.output;
    RunResult reverse = app({"getent", "hosts", kDest4});
    EXPECT_NE(reverse.output.find("web.test"), std::string::npos) << reverse.output;
    RunResult py = app({"/usr/bin/python3", "-c",
                        "import socket\n"
                        "print('fqdn=' + socket.getfqdn('198.51.100.2'))\n"
                        "print('named=' + socket.getnameinfo(('198.51.100.2', 80), socket.NI_NAMEREQD)[0])\n"});
    EXPECT_EQ(field(py.output, "fqdn"), "web.test") << py.output;
    EXPECT_EQ(field(py.output, "named"), "web.test") << py.output;
    RunResult probe = app({VNX_PROBE_PATH, "lookups", "web.test", kDest4, kRelayOut4});
    EXPECT_EQ(probe.exitCode, 0) << probe.output;
    for (const char* key : {"res_query", "res_search", "res_send"})
        EXPECT_EQ(field(probe.output, key), kDest4) << key;
    EXPECT_EQ(field(probe.output, "getaddrinfo_a"), std::string(kDest4) + ":0");
    EXPECT_EQ(field(probe.output, "gethostbyaddr"), "web.test");
    EXPECT_EQ(field(probe.output, "getnameinfo"), "web.test");
    EXPECT_EQ(field(probe.output, "getnameinfo_bare"), kRelayOut4) << "no PTR record: the numeric form";
    // A program with a resolver of its own, asking the stub directly.
    RunResult own = app({"/usr/bin/python3", "-c",
                         "import socket,struct\n"
                         "q=b'\\x12\\x34\\x01\\x00\\x00\\x01\\x00\\x00\\x00\\x00\\x00\\x00"
                         "\\x03web\\x04test\\x00\\x00\\x01\\x00\\x01'\n"
                         "stub=('127.0.0.53',53)\n"
                         "u=socket.socket(socket.AF_INET,socket.SOCK_DGRAM); u.settimeout(10)\n"
                         "u.sendto(q,stub); a,src=u.recvfrom(2048)\n"
                         "print('sendto=%s %s:%d' % (socket.inet_ntoa(a[-4:]),src[0],src[1]))\n"
                         "c=socket.socket(socket.AF_INET,socket.SOCK_DGRAM); c.settimeout(10); c.connect(stub)\n"
                         "c.send(q); a=c.recv(2048); print('connected=%s' % socket.inet_ntoa(a[-4:]))\n"
                         "t=socket.create_connection(stub,10); t.sendall(struct.pack('!H',len(q))+q)\n"
                         "n=struct.unpack('!H',t.recv(2))[0]; a=b''\n"
                         "while len(a)<n: a+=t.recv(n-len(a))\n"
                         "print('tcp=%s %s' % (socket.inet_ntoa(a[-4:]),t.getpeername()[0]))\n"});
    EXPECT_EQ(field(own.output, "sendto"), std::string(kDest4) + " 127.0.0.53:53") << own.output;
    EXPECT_EQ(field(own.output, "connected"), kDest4) << own.output;
    EXPECT_EQ(field(own.output, "tcp"), std::string(kDest4) + " 127.0.0.53") << own.output;

    // No upstream known: look-ups fail rather than ask the stub.
    ASSERT_TRUE(runCommand("rm /run/systemd/resolve/resolv.conf"));
    RunResult none = app({"curl", "-sS", "--max-time", "20", "http://web.test:8000/nostub"});
    EXPECT_NE(none.exitCode, 0) << none.output;
    RunResult noneReverse = app({"getent", "hosts", kDest4});
    EXPECT_NE(noneReverse.exitCode, 0) << noneReverse.output;
    // The variable names one.
    RunResult byVariable = app({"curl", "-sS", "--max-time", "20", "http://web.test:8000/byvariable"}, 60000,
                               {std::string("VEILNOX_DNS_UPSTREAM=") + kDest4});
    EXPECT_EQ(byVariable.exitCode, 0) << byVariable.output;
    EXPECT_EQ(httpPeer("/byvariable"), kRelayOut4);
    umount("/run");

    const std::string out = servers_.output();
    EXPECT_NE(out.find(std::string("dns peer=") + kRelayOut4 + " name=2.100.51.198.in-addr.arpa"), std::string::npos)
        << out;
    EXPECT_EQ(out.find(std::string("peer=") + kApp4), std::string::npos) << "something went direct:\n" << out;
    EXPECT_EQ(stub.output().find("stub query"), std::string::npos) << "a query reached the local stub";
}

TEST_F(ModuleTopology, UnspecDatagramsAndProgramsThatLoseSightOfTheStateNeverGoDirect) {
    // An AF_UNSPEC destination on an IPv4 datagram socket is IPv4.
    RunResult unspec = app({VNX_PROBE_PATH, "udp", kDest4, "7000", "unspec", "unspec"});
    EXPECT_EQ(unspec.exitCode, 0) << unspec.output;
    EXPECT_EQ(field(unspec.output, "reply"), "echo:unspec");
    EXPECT_NE(servers_.output().find(std::string("udp peer=") + kRelayOut4), std::string::npos);

    // Started through veilnox-run while connected, then unable to read the
    // client's state: everything fails, nothing goes out.
    const std::string url = std::string("http://") + kDest4 + ":8000/";
    struct Row {
        const char* path;
        std::vector<std::string> cmd;
    } rows[] = {
        {"privateshm",
         {"unshare", "-m", "sh", "-c",
          "mount -t tmpfs none /dev/shm && exec curl -sS --max-time 10 " + url + "privateshm"}},
        {"setpriv",
         {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "curl", "-sS", "--max-time", "10",
          url + "setpriv"}},
        {"setuid",
         {"/usr/bin/python3", "-c",
          "import os,urllib.request\nos.setgid(65534); os.setuid(65534)\n"
          "urllib.request.urlopen('" +
              url + "setuid', timeout=10)"}},
        {"setuiddns",
         {"/usr/bin/python3", "-c",
          "import os,socket\nos.setgid(65534); os.setuid(65534)\nsocket.getaddrinfo('web.test', 80)"}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.path);
        RunResult res = app(r.cmd);
        EXPECT_NE(res.exitCode, 0) << res.output;
        EXPECT_EQ(httpPeer(std::string("/") + r.path, 1000), "");
    }
    // Disconnected when it started: the same program goes direct.
    BlockSettings off = block();
    off.connected = false;
    ASSERT_TRUE(writeProxyBlock(off));
    RunResult direct = app(
        {"unshare", "-m", "sh", "-c", "mount -t tmpfs none /dev/shm && exec curl -sS --max-time 10 " + url + "offshm"});
    EXPECT_EQ(direct.exitCode, 0) << direct.output;
    EXPECT_EQ(httpPeer("/offshm"), kApp4);
    const std::string out = servers_.output();
    EXPECT_EQ(out.find(std::string("dns peer=") + kApp4), std::string::npos) << out;
    EXPECT_EQ(out.find(std::string("udp peer=") + kApp4), std::string::npos) << out;
}

}  // namespace
