// Real programs under the module against a stand-in for the local server
// (same slot contract, same port) inside the test's own network namespace.
// 192.0.2.10 and 2001:db8::10 are put on the namespace's loopback device:
// a connection the module lets through reaches the "direct" listeners
// there, a diverted one reaches the stand-in, so every test can tell which
// way traffic went.
#include "test_module_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <thread>

using namespace vnxtest;

namespace {

const char* kProbe = VNX_PROBE_PATH;

// Listeners on the "remote" addresses: they answer "DIRECT <line>" and
// count what reached them without the module.
class DirectListeners {
public:
    bool start() {
        runCommand("ip addr add 192.0.2.10/32 dev lo 2>/dev/null");
        runCommand("ip -6 addr add 2001:db8::10/128 dev lo nodad 2>/dev/null");
        for (const char* a : {"192.0.2.10", "2001:db8::10", "127.0.0.1"}) {
            sockaddr_storage ss{};
            socklen_t len;
            int family = std::strchr(a, ':') ? AF_INET6 : AF_INET;
            if (family == AF_INET) {
                auto* s4 = reinterpret_cast<sockaddr_in*>(&ss);
                s4->sin_family = AF_INET;
                s4->sin_port = htons(8080);
                inet_pton(AF_INET, a, &s4->sin_addr);
                len = sizeof *s4;
            } else {
                auto* s6 = reinterpret_cast<sockaddr_in6*>(&ss);
                s6->sin6_family = AF_INET6;
                s6->sin6_port = htons(8080);
                inet_pton(AF_INET6, a, &s6->sin6_addr);
                len = sizeof *s6;
            }
            for (int type : {SOCK_STREAM, SOCK_DGRAM}) {
                int fd = socket(family, type | SOCK_CLOEXEC, 0);
                int one = 1;
                setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
                if (bind(fd, reinterpret_cast<sockaddr*>(&ss), len) != 0) return false;
                if (type == SOCK_STREAM) listen(fd, 64);
                fds_.push_back(fd);
            }
        }
        running_ = true;
        thread_ = std::thread([this] { loop(); });
        return true;
    }
    ~DirectListeners() {
        running_ = false;
        if (thread_.joinable()) thread_.join();
        for (int fd : fds_)
            close(fd);
    }
    int hits() const { return hits_.load(); }

private:
    void loop() {
        while (running_) {
            std::vector<pollfd> p;
            for (int fd : fds_)
                p.push_back({fd, POLLIN, 0});
            if (poll(p.data(), p.size(), 100) <= 0) continue;
            for (auto& e : p) {
                if (!(e.revents & POLLIN)) continue;
                int type = 0;
                socklen_t l = sizeof type;
                getsockopt(e.fd, SOL_SOCKET, SO_TYPE, &type, &l);
                ++hits_;
                if (type == SOCK_DGRAM) {
                    char buf[2048];
                    sockaddr_storage from;
                    socklen_t fl = sizeof from;
                    ssize_t n = recvfrom(e.fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &fl);
                    if (n < 0) continue;
                    std::string a = "DIRECT " + std::string(buf, static_cast<std::size_t>(n));
                    sendto(e.fd, a.data(), a.size(), 0, reinterpret_cast<sockaddr*>(&from), fl);
                    continue;
                }
                int c = accept4(e.fd, nullptr, nullptr, SOCK_CLOEXEC);
                if (c < 0) continue;
                std::thread([c] {
                    std::string line;
                    char ch;
                    pollfd q{c, POLLIN, 0};
                    while (poll(&q, 1, 5000) == 1 && recv(c, &ch, 1, 0) == 1) {
                        if (ch != '\n') {
                            line += ch;
                            continue;
                        }
                        std::string a = "DIRECT " + line + "\n";
                        send(c, a.data(), a.size(), MSG_NOSIGNAL);
                        line.clear();
                    }
                    close(c);
                }).detach();
            }
        }
    }
    std::vector<int> fds_;
    std::thread thread_;
    std::atomic<bool> running_{false};
    std::atomic<int> hits_{0};
};

class ModuleStandIn : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(writeProxyBlock(BlockSettings()));
        ASSERT_TRUE(server_.start()) << "stand-in server could not listen on 9111";
        ASSERT_TRUE(direct_.start()) << "cannot add the test addresses to the namespace's loopback";
    }
    RunResult probe(std::vector<std::string> args, std::vector<std::string> env = {}, int timeoutMs = 30000) {
        args.insert(args.begin(), kProbe);
        return runProgram(args, env, timeoutMs);
    }
    StandInServer server_;
    DirectListeners direct_;
};

TEST_F(ModuleStandIn, TcpConnectionsReachTheServerWithTheirRealDestination) {
    struct Row {
        const char* host;
        const char* mode;
        const char* peer;
    } rows[] = {
        {"192.0.2.10", "block", "192.0.2.10:8080"},
        {"192.0.2.10", "nb", "192.0.2.10:8080"},
        {"2001:db8::10", "block", "[2001:db8::10]:8080"},
        {"2001:db8::10", "nb", "[2001:db8::10]:8080"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string(r.host) + " " + r.mode);
        RunResult res = probe({"tcp", r.host, "8080", r.mode});
        EXPECT_EQ(res.exitCode, 0) << res.output;
        if (std::string(r.mode) == "nb") {
            // The program sees the kernel's own non-blocking sequence.
            EXPECT_EQ(field(res.output, "connect"), "-1 errno=Operation now in progress") << res.output;
            EXPECT_EQ(field(res.output, "so_error"), "0");
        } else {
            EXPECT_EQ(field(res.output, "connect"), "0 errno=kept") << res.output;
        }
        EXPECT_EQ(field(res.output, "peer"), r.peer);
        EXPECT_EQ(field(res.output, "reply"), std::string("DST ") + r.peer + " hello");
    }
    EXPECT_EQ(direct_.hits(), 0);
    EXPECT_EQ(server_.unmatched(), 0);
    EXPECT_EQ(server_.tcpDestinations().size(), 4u);
}

TEST_F(ModuleStandIn, PolicyGatesDecideWhatIsDiverted) {
    struct Row {
        const char* name;
        BlockSettings block;
        const char* host;
        const char* argv0;  // run through a link of this name
        bool diverted;
    };
    auto make = [](bool connected, bool tcp, bool all, std::vector<std::u16string> rules) {
        BlockSettings b;
        b.connected = connected;
        b.tcp = tcp;
        b.allApps = all;
        b.rules = rules;
        return b;
    };
    Row rows[] = {
        {"connected, all programs", make(true, true, true, {}), "192.0.2.10", nullptr, true},
        {"not connected", make(false, true, true, {}), "192.0.2.10", nullptr, false},
        {"tcp not redirected", make(true, false, true, {}), "192.0.2.10", nullptr, false},
        {"program outside the rules", make(true, true, false, {u"firefox.exe", u"curl"}), "192.0.2.10", nullptr, false},
        {"rule in other case with .exe", make(true, true, false, {u"VNX_MODULE_PROBE.EXE"}), "192.0.2.10", nullptr,
         true},
        {"rule holding a path", make(true, true, false, {u"C:\\Tools\\vnx_module_probe.exe"}), "192.0.2.10", nullptr,
         true},
        {"rule by the name it was started as", make(true, true, false, {u"mytool"}), "192.0.2.10", "mytool", true},
        {"loopback destination", make(true, true, true, {}), "127.0.0.1", nullptr, false},
        {"a Veilnox program", make(true, true, true, {}), "192.0.2.10", "veilnox-relay", false},
    };
    char dir[] = "/tmp/vnxlinkXXXXXX";
    ASSERT_TRUE(mkdtemp(dir));
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        ASSERT_TRUE(writeProxyBlock(r.block));
        std::string program = kProbe;
        if (r.argv0) {
            program = std::string(dir) + "/" + r.argv0;
            unlink(program.c_str());
            ASSERT_EQ(symlink(kProbe, program.c_str()), 0);
        }
        RunResult res = runProgram({program, "tcp", r.host, "8080"}, {}, 30000);
        EXPECT_EQ(res.exitCode, 0) << res.output;
        EXPECT_EQ(field(res.output, "reply").substr(0, 4), r.diverted ? "DST " : "DIRE") << res.output;
    }
    runCommand(std::string("rm -rf ") + dir);
}

TEST_F(ModuleStandIn, NothingLeaksWhenTheServerIsGone) {
    server_.stop();
    // Connected, but no local server: TCP and UDP fail, nothing goes direct.
    RunResult tcp = probe({"tcp", "192.0.2.10", "8080"}, {"VEILNOX_DEBUG=1"});
    EXPECT_NE(tcp.exitCode, 0);
    EXPECT_EQ(field(tcp.output, "connect"), "-1 errno=Connection refused") << tcp.output;
    EXPECT_NE(tcp.output.find("veilnox-module"), std::string::npos) << "one line on stderr with VEILNOX_DEBUG";
    RunResult nb = probe({"tcp", "2001:db8::10", "8080", "nb"});
    EXPECT_NE(nb.exitCode, 0);
    EXPECT_EQ(field(nb.output, "so_error"), "Connection refused") << nb.output;
    RunResult udp = probe({"udp", "192.0.2.10", "8080", "ping"});
    EXPECT_NE(udp.exitCode, 0);
    // The server has not written its ports yet: refused at once.
    BlockSettings noPorts;
    noPorts.tcpPort = noPorts.udpPort = 0;
    writeProxyBlock(noPorts);
    RunResult early = probe({"tcp", "192.0.2.10", "8080"});
    EXPECT_EQ(field(early.output, "connect"), "-1 errno=Connection refused") << early.output;
    RunResult earlyUdp = probe({"udp", "192.0.2.10", "8080", "ping"});
    EXPECT_EQ(field(earlyUdp.output, "sendto errno"), "Network is unreachable") << earlyUdp.output;
    EXPECT_EQ(direct_.hits(), 0) << "traffic went out directly while connected";
}

TEST_F(ModuleStandIn, DatagramsCarryTheirRealDestinationAndReportTheRealSource) {
    struct Row {
        const char* host;
        const char* mode;
        const char* peer;
    } rows[] = {
        {"192.0.2.10", "sendto", "192.0.2.10:8080"},  {"2001:db8::10", "sendto", "[2001:db8::10]:8080"},
        {"192.0.2.10", "sendmsg", "192.0.2.10:8080"}, {"192.0.2.10", "recvmsg", "192.0.2.10:8080"},
        {"192.0.2.10", "connect", "192.0.2.10:8080"}, {"2001:db8::10", "connect", "[2001:db8::10]:8080"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string(r.host) + " " + r.mode);
        RunResult res = probe({"udp", r.host, "8080", "payload-of-a-datagram", r.mode});
        EXPECT_EQ(res.exitCode, 0) << res.output;
        EXPECT_EQ(field(res.output, "from"), r.peer) << res.output;
        EXPECT_EQ(field(res.output, "reply"), "ECHO payload-of-a-datagram");
        if (std::string(r.mode) == "connect") {
            EXPECT_EQ(field(res.output, "peer"), r.peer);
        }
        if (std::string(r.mode) == "sendto") {
            EXPECT_EQ(field(res.output, "send_errno"), "kept");
        }
    }
    // Larger than the local server relays whole: refused at once instead
    // of being dropped on the way.
    RunResult big = probe({"udp", "192.0.2.10", "8080", std::string(9000, 'b')});
    EXPECT_EQ(field(big.output, "sendto errno"), "Message too long") << big.output.substr(0, 300);
    EXPECT_EQ(server_.udpDestinations().size(), 6u);
    EXPECT_EQ(server_.unmatched(), 0) << "a datagram arrived without its record (checksum or length wrong)";
    EXPECT_EQ(direct_.hits(), 0);
}

TEST_F(ModuleStandIn, ManyConcurrentNonBlockingConnectionsAllArriveRight) {
    RunResult res = probe({"stress", "192.0.2.10", "20000", "8", "500"}, {}, 120000);
    EXPECT_EQ(res.exitCode, 0) << res.output.substr(0, 2000);
    EXPECT_EQ(field(res.output, "good"), "500");
    EXPECT_EQ(server_.tcpDestinations().size(), 500u);
    EXPECT_EQ(server_.unmatched(), 0);
}

TEST_F(ModuleStandIn, ForkedChildrenKeepWorking) {
    RunResult res = probe({"fork", "192.0.2.10", "8080"});
    EXPECT_EQ(res.exitCode, 0) << res.output;
    EXPECT_EQ(server_.tcpDestinations().size(), 2u) << "child and parent both diverted";
}

TEST_F(ModuleStandIn, ThirtyThousandSequentialConnectionsDespiteTimeWait) {
    // More connections than ephemeral ports: the client closes first, so
    // every port it used sits in TIME_WAIT while later ones still connect.
    RunResult res = probe({"seq", "192.0.2.10", "8080", "30000"}, {}, 800000);
    std::printf("%s", res.output.c_str());  // progress lines: where the time went
    EXPECT_EQ(res.exitCode, 0) << res.output;
    EXPECT_EQ(field(res.output, "done"), "30000") << res.output;
    EXPECT_EQ(server_.unmatched(), 0);
    EXPECT_EQ(direct_.hits(), 0);
}

TEST_F(ModuleStandIn, ProgramsSurviveTheNamedObjectsVanishing) {
    // The objects' files disappear while a program is busy: the module
    // keeps its mappings, so the program neither crashes nor stalls.
    std::atomic<bool> done{false};
    std::thread remover([this, &done] {
        for (int i = 0; i < 1000 && !done && server_.tcpDestinations().size() < 200; ++i)
            usleep(10000);
        runCommand("rm -f /dev/shm/GlobalVEILNOX_*");
    });
    RunResult res = probe({"seq", "192.0.2.10", "8080", "2000"}, {}, 120000);
    done = true;
    remover.join();
    EXPECT_EQ(res.exitCode, 0) << res.output;
    EXPECT_EQ(field(res.output, "done"), "2000");
    // A program started afterwards finds no block: nothing is diverted.
    RunResult later = probe({"tcp", "192.0.2.10", "8080"});
    EXPECT_EQ(field(later.output, "reply"), "DIRECT hello") << later.output;
}

// Name look-ups while DNS is diverted: the module asks the nameserver of
// resolv.conf through the stand-in (which answers for its zone), the hosts
// file still wins, truncated answers are fetched again over TCP.
class ModuleNames : public ModuleStandIn {
protected:
    void SetUp() override {
        ModuleStandIn::SetUp();
        char dir[] = "/tmp/vnxdnsXXXXXX";
        ASSERT_TRUE(mkdtemp(dir));
        dir_ = dir;
        std::ofstream(dir_ + "/resolv.conf")
            << "search corp.test\nnameserver 192.0.2.53\noptions timeout:2 attempts:1\n";
        std::ofstream(dir_ + "/hosts") << "127.0.0.1 localhost\n192.0.2.99 hosted.test # local\n";
        // The test runs in its own mount namespace: only it sees these.
        ASSERT_EQ(mount((dir_ + "/resolv.conf").c_str(), "/etc/resolv.conf", nullptr, MS_BIND, nullptr), 0);
        ASSERT_EQ(mount((dir_ + "/hosts").c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr), 0);
    }
    void TearDown() override {
        umount("/etc/resolv.conf");
        umount("/etc/hosts");
        runCommand("rm -rf " + dir_);
    }
    std::string dir_;
};

TEST_F(ModuleNames, LookupsGoThroughTheServerAndHostsFileWins) {
    struct Row {
        const char* name;
        const char* how;
        const char* first;  // first address expected; "" = failure expected
    } rows[] = {
        {"example.test", "v4", "198.51.100.7:80"},
        {"example.test", "v6", "[2001:db8::7]:80"},
        {"example.test", "any", "198.51.100.7:80"},
        {"alias.test", "v4", "198.51.100.7:80"},
        {"www", "v4", "198.51.100.8:80"},  // through the search list
        {"big.test", "v4", "198.51.100.1:80"},
        {"hosted.test", "any", "192.0.2.99:80"},
        {"missing.test", "v4", ""},
        {"example.test", "gethostbyname", ""},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string(r.name) + " " + r.how);
        RunResult res = probe({"resolve", r.name, r.how});
        if (std::string(r.how) == "gethostbyname") {
            EXPECT_EQ(field(res.output, "addr"), "198.51.100.7") << res.output;
            continue;
        }
        if (!*r.first) {
            EXPECT_NE(res.exitCode, 0) << res.output;
            EXPECT_EQ(field(res.output, "error"), "Name or service not known");
            continue;
        }
        EXPECT_EQ(res.exitCode, 0) << res.output;
        EXPECT_EQ(field(res.output, "addr"), r.first) << res.output;
    }
    RunResult alias = probe({"resolve", "alias.test", "v4"});
    EXPECT_EQ(field(alias.output, "canonical"), "example.test");
    RunResult big = probe({"resolve", "big.test", "v4"});
    EXPECT_NE(big.output.find("198.51.100.20:80"), std::string::npos) << "all 20 addresses from the TCP answer";
    // Every query went to the configured nameserver through the stand-in.
    for (const auto& d : server_.udpDestinations())
        EXPECT_EQ(d, "192.0.2.53:53");
    bool tcpDns = false;
    for (const auto& d : server_.tcpDestinations())
        tcpDns = tcpDns || d == "192.0.2.53:53";
    EXPECT_TRUE(tcpDns) << "the truncated answer was fetched over TCP";
    EXPECT_EQ(direct_.hits(), 0);
}

TEST_F(ModuleNames, RepliesForgedByOtherLocalSocketsAreIgnored) {
    // Each forgery arrives before the genuine reply, from 127.0.0.1 but not
    // from the reply socket the server recorded.
    server_.forgeReplies(true);
    RunResult dns = probe({"resolve", "example.test", "v4"});
    EXPECT_EQ(dns.exitCode, 0) << dns.output;
    EXPECT_EQ(field(dns.output, "addr"), "198.51.100.7:80") << dns.output;
    for (const char* host : {"192.0.2.10", "2001:db8::10"}) {
        RunResult udp = probe({"udp", host, "8080", "hi", "connect"});
        EXPECT_EQ(field(udp.output, "reply"), "ECHO hi") << udp.output;
    }
    EXPECT_EQ(direct_.hits(), 0);
}

TEST_F(ModuleNames, DnsLeftToTheSystemWhenNotDiverted) {
    BlockSettings b;
    b.dns = false;
    writeProxyBlock(b);
    RunResult res = probe({"resolve", "hosted.test", "v4"});
    EXPECT_EQ(field(res.output, "addr"), "192.0.2.99:80") << res.output;
    EXPECT_TRUE(server_.udpDestinations().empty());
}

}  // namespace
