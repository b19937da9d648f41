#include "topology.h"

#include <sys/mount.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

namespace vnxtest {

const char* const kApp4 = "192.0.2.2";
const char* const kApp6 = "2001:db8:1::2";
const char* const kRelayIn4 = "192.0.2.1";
const char* const kRelayOut4 = "198.51.100.1";
const char* const kRelayOut6 = "2001:db8:2::1";
const char* const kDest4 = "198.51.100.2";
const char* const kDest6 = "2001:db8:2::2";

std::string serversScript() { return VNX_TEST_SUPPORT_DIR "/servers.py"; }

const char* const kLocalStubScript =
    "import socket\n"
    "s=socket.socket(socket.AF_INET,socket.SOCK_DGRAM); s.bind(('127.0.0.53',53))\n"
    "print('stub ready',flush=True)\n"
    "while True:\n"
    "    q,a=s.recvfrom(2048); print('stub query',flush=True)\n"
    "    u=socket.socket(socket.AF_INET,socket.SOCK_DGRAM); u.settimeout(3)\n"
    "    u.sendto(q,('198.51.100.2',53))\n"
    "    try: s.sendto(u.recvfrom(2048)[0],a)\n"
    "    except OSError: pass\n";

const char* const kUdpClientScript =
    "import socket,sys\n"
    "fam=socket.AF_INET6 if ':' in sys.argv[1] else socket.AF_INET\n"
    "s=socket.socket(fam,socket.SOCK_DGRAM)\n"
    "s.settimeout(10)\n"
    "dst=(sys.argv[1],7000)\n"
    "if sys.argv[2]=='connect':\n"
    "    s.connect(dst); s.send(b'ping'); d=s.recv(100); a=s.getpeername()\n"
    "elif sys.argv[2]=='sendmsg':\n"
    "    s.sendmsg([b'pi',b'ng'],[],0,dst); d,a=s.recvfrom(100)\n"
    "else:\n"
    "    s.sendto(b'ping',dst); d,a=s.recvfrom(100)\n"
    "print('from=%s:%d' % (a[0],a[1])); print('reply=%s' % d.decode())\n";

void NamespaceTopology::buildTopology(const TopologyOptions& o) {
    ASSERT_TRUE(relayNs_.create()) << "cannot make a network namespace (root needed)";
    ASSERT_TRUE(destNs_.create()) << "cannot make a network namespace (root needed)";
    const std::string r = std::to_string(relayNs_.pid()), d = std::to_string(destNs_.pid());
    const std::string sysctls = o.sysctls.empty() ? std::string() : " && sysctl -q -w " + o.sysctls;
    // The veth of an earlier case in this process may still be going.
    for (int i = 0; i < 100 && runCommand("ip link show va >/dev/null 2>&1"); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_TRUE(runCommand("ip link add va type veth peer name vr netns " + r));
    ASSERT_TRUE(runCommand("ip link add vd type veth peer name vrd netns " + r + " && ip link set vd netns " + d));
    ASSERT_TRUE(
        runCommand("ip addr add 192.0.2.2/24 dev va && ip -6 addr add 2001:db8:1::2/64 dev va nodad && "
                   "ip link set va up && ip route add default via 192.0.2.1 && "
                   "ip -6 route add default via 2001:db8:1::1" +
                   sysctls));
    ASSERT_TRUE(
        relayNs_.run("ip addr add 192.0.2.1/24 dev vr && ip -6 addr add 2001:db8:1::1/64 dev vr nodad && "
                     "ip addr add 198.51.100.1/24 dev vrd && ip -6 addr add 2001:db8:2::1/64 dev vrd nodad && "
                     "ip link set vr up && ip link set vrd up && "
                     "sysctl -q -w net.ipv4.ip_forward=1 net.ipv6.conf.all.forwarding=1" +
                     (o.sysctls.empty() ? std::string() : " " + o.sysctls)));
    ASSERT_TRUE(
        destNs_.run("ip addr add 198.51.100.2/24 dev vd && ip -6 addr add 2001:db8:2::2/64 dev vd nodad && "
                    "ip link set vd up && ip route add default via 198.51.100.1 && "
                    "ip -6 route add default via 2001:db8:2::1"));

    std::vector<std::string> relayArgs{o.relayProgram, "--listen", std::string(kRelayIn4) + ":0"};
    for (const std::string& range : o.relayAllow)
        relayArgs.insert(relayArgs.end(), {"--allow", range});
    relayArgs.emplace_back("--quiet");
    ASSERT_TRUE(relay_.start(relayArgs, {}, relayNs_.pid()));
    relayPort_ = relayListenPort(relay_, kRelayIn4);
    ASSERT_NE(relayPort_, 0) << relay_.output();

    ASSERT_TRUE(servers_.start({"/usr/bin/python3", serversScript(), "--http", "8000", "--big", "--echo", "7000",
                                "--line", "9000", "--dns", "53", "--dns-tcp", kDest4, kDest6},
                               {}, destNs_.pid()));
    ASSERT_TRUE(servers_.waitFor("ready", 30000)) << servers_.output();
    const std::string so = servers_.output();
    bigSha_ = so.substr(so.find("big sha256=") + 11, 64);

    std::string dir = o.workPrefix + "XXXXXX";
    ASSERT_TRUE(mkdtemp(&dir[0]));
    dir_ = dir;
    std::ofstream(dir_ + "/resolv.conf") << "nameserver " << o.nameserver << "\noptions timeout:3 attempts:1\n";
    std::ofstream(dir_ + "/hosts") << "127.0.0.1 localhost\n";
    ASSERT_EQ(mount((dir_ + "/resolv.conf").c_str(), "/etc/resolv.conf", nullptr, MS_BIND, nullptr), 0);
    mounted_ = true;
    ASSERT_EQ(mount((dir_ + "/hosts").c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr), 0);
}

void NamespaceTopology::tearDownTopology() {
    servers_.stop();
    relay_.stop();
    if (mounted_) {
        umount("/etc/resolv.conf");
        umount("/etc/hosts");
    }
    if (!dir_.empty()) runCommand("rm -rf " + dir_);
}

std::string NamespaceTopology::httpPeer(const std::string& path, int waitMs) {
    const std::string tail = " path=" + path + "\n";
    servers_.waitFor(tail, waitMs);  // the log line may still be in the pipe
    const std::string out = servers_.output();
    std::size_t at = out.find(tail);
    if (at == std::string::npos) return std::string();
    std::size_t start = out.rfind("http peer=", at);
    return out.substr(start + 10, at - start - 10);
}

}  // namespace vnxtest
