// The server library in-process: size formatting, the status publication
// with a controlled clock and process list, the console status dump, and the
// registry's hooks on real slot tables (each test process has a private
// /dev/shm).
#include "consolestatus.h"
#include "logcore.h"
#include "modulecontract.h"
#include "platform/system.h"
#include "processnames.h"
#include "relayheader.h"
#include "rlocalserver.h"
#include "rsockproxy.h"
#include "rtcptunnel.h"
#include "rudptunnel.h"
#include "rveilnoxsvr.h"
#include "serverstate.h"
#include "sharedmemory.h"
#include "test_server_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <clocale>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <utility>

using namespace svrtest;

namespace {

// The process list the publication sees.
std::vector<std::string>& runningNames() {
    static std::vector<std::string> names;
    return names;
}
bool fakeSnapshot(std::vector<std::pair<std::uint32_t, std::string>>& out) {
    out.clear();
    std::uint32_t pid = 1000;
    for (const auto& n : runningNames())
        out.emplace_back(pid++, "/usr/bin/" + n);
    return true;
}

class Publication : public ::testing::Test {
protected:
    void SetUp() override {
        ProcessNames::setSnapshotSource(&fakeSnapshot);
        runningNames() = {"alpha", "beta"};
        // The live counters are process-wide: start each case from zero.
        {
            std::lock_guard<std::mutex> g(stats().lock);
            stats() = vnx::TrafficStats();
        }
        block = vnx::serverStatus(true);
        ASSERT_NE(block, nullptr);
    }
    void TearDown() override { ProcessNames::setSnapshotSource(nullptr); }

    // Adds to an application's counters as the hooks do.
    void addTcp(const std::string& app, std::uint32_t sent, std::uint32_t recv, std::uint32_t connections = 0) {
        std::lock_guard<std::mutex> g(stats().lock);
        stats().tcp_sent += sent;
        stats().tcp_recv += recv;
        auto& a = stats().app(app);
        a.tcp_sent += sent;
        a.tcp_recv += recv;
        a.tcp_connections += connections;
    }
    void publish(std::uint32_t now) {
        std::lock_guard<std::mutex> g(stats().lock);
        svr.publish(now);
    }
    static vnx::TrafficStats& stats() { return serverState().stats; }
    vnx::AppStatus entry(const std::string& name) {
        vnx::AppStatus e{};
        findApp(*block, name, e);
        return e;
    }

    RVeilnoxSvr svr;
    vnx::ServerStatus* block = nullptr;
};

}  // namespace

TEST(FormatKbMb, Figures) {
    EXPECT_EQ(FormatKbMb(2048), "2 KB");
    EXPECT_EQ(FormatKbMb(1536), "1.5 KB");
    EXPECT_EQ(FormatKbMb(5), "0 KB");
    EXPECT_EQ(FormatKbMb(0), "0 KB");
    EXPECT_EQ(FormatKbMb(1000000), "976.56 KB");
    EXPECT_EQ(FormatKbMb(1048576), "1024 KB");
    EXPECT_EQ(FormatKbMb(1049600), "1 MB");
    EXPECT_EQ(FormatKbMb(1073741), "1.02 MB");
    EXPECT_EQ(FormatKbMb(4294967295u), "4095.99 MB");
    // A rate of 4294967295 bytes/s times 8 stays in MB, without overflow.
    EXPECT_EQ(FormatKbMb(4294967295ull * 8), "32768 MB");
}

TEST_F(Publication, RatesOverTheIntervalAndWrappedCounters) {
    publish(10000);
    addTcp("alpha", 600000, 400000);
    publish(10800);
    EXPECT_EQ(block->tcp_rate, 1250000u);
    EXPECT_EQ(entry("alpha").tcp_rate, 1250000u);
    addTcp("alpha", 5000000, 5000000);
    publish(11600);
    EXPECT_EQ(entry("alpha").tcp_rate, 12500000u);
    EXPECT_EQ(block->tcp_sent, 5600000u);
    EXPECT_EQ(block->tcp_recv, 5400000u);

    // A tick less than 100 ms after the last writes nothing; the next one
    // measures from that short tick, against the counters of the last
    // publication.
    addTcp("alpha", 400000, 0);
    publish(11650);
    EXPECT_EQ(entry("alpha").tcp_rate, 12500000u);
    addTcp("alpha", 400000, 0);
    publish(12450);
    EXPECT_EQ(entry("alpha").tcp_rate, 1000000u);

    // Counters that wrapped past 2^32 still give the right difference, and
    // the tick count may wrap too.
    {
        std::lock_guard<std::mutex> g(stats().lock);
        stats().udp_sent = 0xFFFFFF00u;
        stats().app("beta").udp_sent = 0xFFFFFF00u;
    }
    publish(0xFFFFFF00u);
    {
        std::lock_guard<std::mutex> g(stats().lock);
        stats().udp_sent += 0x200;  // wraps to 0x100
        stats().app("beta").udp_sent += 0x200;
    }
    publish(0x000002F0u);  // 1008 ms later
    EXPECT_EQ(block->udp_sent, 0x100u);
    EXPECT_EQ(block->udp_rate, 507u);  // 512 * 1000 / 1008
    EXPECT_EQ(entry("beta").udp_rate, 507u);
}

TEST_F(Publication, EndedApplicationsDropOutAndNamesAreCut) {
    const std::string longName(40, 'n');
    runningNames() = {"alpha", longName};
    addTcp("alpha", 10, 20, 2);
    addTcp("gone", 1000, 2000, 1);
    addTcp(longName, 1, 1, 3);
    publish(50000);
    EXPECT_EQ(block->app_count, 2);
    EXPECT_EQ(entry("alpha").tcp_recv, 20u);
    EXPECT_EQ(entry(longName.substr(0, 31)).tcp_connections, 3u);
    EXPECT_EQ(block->tcp_connections, 5u);  // only the entries written
    // The totals keep the bytes of the application that has gone.
    EXPECT_EQ(block->tcp_sent, 1011u);
    std::lock_guard<std::mutex> g(stats().lock);
    EXPECT_EQ(stats().apps.count("gone"), 0u);
}

TEST_F(Publication, AtMost512Entries) {
    runningNames().clear();
    for (int i = 0; i < 600; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "app%03d", i);
        runningNames().push_back(name);
        addTcp(name, 1, 1, 1);
    }
    publish(90000);
    EXPECT_EQ(block->app_count, 512);
    EXPECT_EQ(block->tcp_connections, 512u);
    EXPECT_EQ(vnx::entryName(block->apps[511]), "app511");
    // The ones not written this time stay counted.
    std::lock_guard<std::mutex> g(stats().lock);
    EXPECT_EQ(stats().apps.size(), 600u);
}

TEST_F(Publication, ConsoleStatusDump) {
    runningNames() = {"alpha"};
    publish(1000);
    {
        std::lock_guard<std::mutex> g(stats().lock);
        stats().app("alpha").udp_sent = 3072;
        stats().app("alpha").udp_recv = 1048576;
        stats().app("alpha").udp_connections = 2;
        stats().app("alpha").tcp_connections = 4;
        stats().app("alpha").tcp_sent = 1024;  // 1280 B/s over 800 ms
        stats().udp_sent = 3072;
        stats().udp_recv = 1048576;
        stats().tcp_sent = 1024;
    }
    publish(1800);
    char path[] = "/tmp/vnxsvr-status-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    FILE* f = fdopen(fd, "w+");
    vnx::setLogTarget(f);
    printStatus();
    vnx::setLogTarget(stdout);
    std::fflush(f);
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    std::string s = text.str();
    EXPECT_NE(s.find("]>> g_status app:1\n"), std::string::npos) << s;
    // (1280 + 1314560) B/s * 8.
    EXPECT_NE(s.find("]>> rate: 10.03 MB/s\n"), std::string::npos) << s;
    EXPECT_NE(s.find("]>> alpha :\n"), std::string::npos) << s;
    EXPECT_NE(s.find("]>>     TCP: 10 KB/s Connects: 4, UDP: 10.02 MB/s Connects: 2 [Send:3 KB,Recv:1024 KB]\n"),
              std::string::npos)
        << s;
    std::fclose(f);
    unlink(path);
}

TEST(ProcessNamesLive, FindsThisProcess) {
    ProcessNames names;
    names.rebuild();
    EXPECT_EQ(names.ownerName(vnxplat::currentProcessId()), ownExeName());
    EXPECT_TRUE(names.isRunning(ownExeName()));
    // No ".exe" on Linux, and an unknown id has no name.
    EXPECT_EQ(ownExeName().find(".exe"), std::string::npos);
    EXPECT_EQ(names.ownerName(0xFFFFFFF0u), "");
}

namespace {

class Registry : public ::testing::Test {
protected:
    void SetUp() override {
        proxy = vnx::proxyData(true);
        ASSERT_NE(proxy, nullptr);
        setProxy(proxy, "", 0, "", false);
        registry = svr.server;
        ASSERT_TRUE(tables.open());
    }
    // A datagram in a relay-like buffer with 32 bytes of headroom.
    struct Datagram {
        std::uint8_t buffer[8192];
        std::uint8_t* data = buffer + 32;
        int length = 0;
        void set(const std::string& s) {
            std::memcpy(data, s.data(), s.size());
            length = static_cast<int>(s.size());
        }
    };

    RVeilnoxSvr svr;
    RLocalServer* registry = nullptr;
    vnx::ProxyData* proxy = nullptr;
    ModuleTables tables;
};

}  // namespace

TEST_F(Registry, ClientDatagramDirectAndThroughTheProxyServer) {
    const vnx::REndpoint client = endpoint("127.0.0.1", 40000);
    const vnx::REndpoint dest = endpoint("192.0.2.55", 53);
    Datagram d;
    d.set("query");
    vnx::REndpoint remote;
    std::uint8_t mask = 9;
    std::uint32_t pid = 0;
    std::uint8_t* data = d.data;
    // No record: dropped.
    EXPECT_FALSE(registry->OnGetRemoteAddr(client, remote, data, d.length, mask, true, pid));

    // Direct: the real destination, the payload untouched, the record used up.
    ASSERT_NE(vnx::publishUdpDestination(*tables.udpSend, client.port, false, dest, d.data, 5, vnxplat::tickCount()),
              nullptr);
    EXPECT_FALSE(registry->OnGetRemoteAddr(client, remote, data, d.length, mask, false, pid));  // wrong family
    ASSERT_TRUE(registry->OnGetRemoteAddr(client, remote, data, d.length, mask, true, pid));
    EXPECT_TRUE(remote == dest) << remote.text();
    EXPECT_EQ(data, d.data);
    EXPECT_EQ(d.length, 5);
    EXPECT_EQ(pid, vnxplat::currentProcessId());
    EXPECT_FALSE(registry->OnGetRemoteAddr(client, remote, data, d.length, mask, true, pid));

    // Through the proxy server, masked: header in the headroom, payload masked.
    setProxy(proxy, "127.0.0.9", 7000, "anything", true);
    ASSERT_NE(vnx::publishUdpDestination(*tables.udpSend, client.port, false, dest, d.data, 5, vnxplat::tickCount()),
              nullptr);
    ASSERT_TRUE(registry->OnGetRemoteAddr(client, remote, data, d.length, mask, true, pid));
    EXPECT_EQ(data, d.buffer);
    EXPECT_EQ(d.length, 37);
    EXPECT_TRUE(remote == endpoint("127.0.0.9", 7000)) << remote.text();
    EXPECT_EQ(mask, 1);
    vnx::RRelayHeader h;
    ASSERT_TRUE(vnx::parseRelayHeader(data, 37, h));
    EXPECT_TRUE(h.masked);
    EXPECT_EQ(h.ipv4, dest.ipv4);
    EXPECT_EQ(h.port, dest.port);
    vnx::maskBuffer(data + 32, 5);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(data + 32), 5), "query");
}

TEST_F(Registry, MappedAddressIsUsedAsIpv4) {
    const vnx::REndpoint client = endpoint("127.0.0.1", 40001);
    Datagram d;
    d.set("x");
    auto* slot = vnx::publishUdpDestination(*tables.udpSend, client.port, false, endpoint("10.1.2.3", 99), d.data, 1,
                                            vnxplat::tickCount());
    ASSERT_NE(slot, nullptr);
    slot->peer_addr4 = 0;  // only the IPv4-mapped form is left
    vnx::REndpoint remote;
    std::uint8_t mask = 0;
    std::uint32_t pid = 0;
    std::uint8_t* data = d.data;
    ASSERT_TRUE(registry->OnGetRemoteAddr(client, remote, data, d.length, mask, true, pid));
    EXPECT_TRUE(remote == endpoint("10.1.2.3", 99)) << remote.text();
}

TEST_F(Registry, EveryFiftiethMatchPurgesStaleRecords) {
    const vnx::REndpoint client = endpoint("127.0.0.1", 40002);
    auto* stale = vnx::publishUdpDestination(*tables.udpSend, htons(1), false, endpoint("10.0.0.1", 1), "s", 1,
                                             vnxplat::tickCount() - 5000);
    ASSERT_NE(stale, nullptr);
    Datagram d;
    d.set("m");
    vnx::REndpoint remote;
    std::uint8_t mask = 0;
    std::uint32_t pid = 0;
    const std::uint32_t first = registry->udpSendRecords;
    for (std::uint32_t i = first; i % 50 != 49; ++i) {
        ASSERT_NE(vnx::publishUdpDestination(*tables.udpSend, client.port, false, endpoint("10.0.0.2", 2), d.data, 1,
                                             vnxplat::tickCount()),
                  nullptr);
        std::uint8_t* data = d.data;
        int len = 1;
        ASSERT_TRUE(registry->OnGetRemoteAddr(client, remote, data, len, mask, true, pid));
    }
    EXPECT_NE(stale->owner_pid, 0u);
    ASSERT_NE(vnx::publishUdpDestination(*tables.udpSend, client.port, false, endpoint("10.0.0.2", 2), d.data, 1,
                                         vnxplat::tickCount()),
              nullptr);
    std::uint8_t* data = d.data;
    int len = 1;
    ASSERT_TRUE(registry->OnGetRemoteAddr(client, remote, data, len, mask, true, pid));
    EXPECT_EQ(stale->owner_pid, 0u);
}

TEST_F(Registry, ReturnedDatagramIsUnframedAndRecorded) {
    setProxy(proxy, "127.0.0.9", 7000, "private", false);
    RUdpTunnel tunnel(endpoint("127.0.0.1", 40003), endpoint("127.0.0.9", 7000));
    ASSERT_TRUE(registry->OnTunnelCreate(&tunnel, vnxplat::currentProcessId()));
    ASSERT_NE(tunnel.replySock, vnxplat::kBadSocket);
    const std::uint16_t replyPort = localEndpoint(tunnel.replySock).port;

    Datagram d;
    vnx::RRelayHeader h;
    h.masked = true;
    vnx::REndpoint source = endpoint("2001:db8::1", 443);
    std::memcpy(h.ipv6, source.ipv6, 16);
    h.port = source.port;
    vnx::buildRelayHeader(h, d.data);
    std::memcpy(d.data + 32, "reply", 5);
    vnx::maskBuffer(d.data + 32, 5);
    d.length = 37;
    std::uint8_t* data = d.data;
    ASSERT_TRUE(registry->OnSendToClient(&tunnel, endpoint("127.0.0.9", 7000), data, d.length));
    EXPECT_EQ(d.length, 5);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(data), 5), "reply");
    vnx::REndpoint recorded;
    ASSERT_TRUE(vnx::takeUdpSource(*tables.udpRecv, replyPort, 5, false, recorded));
    EXPECT_TRUE(recorded == source) << recorded.text();

    // Not a header: passed on as it came, from its real sender.
    d.set("short");
    data = d.data;
    ASSERT_TRUE(registry->OnSendToClient(&tunnel, endpoint("127.0.0.9", 7000), data, d.length));
    EXPECT_EQ(d.length, 5);
    ASSERT_TRUE(vnx::takeUdpSource(*tables.udpRecv, replyPort, 5, false, recorded));
    EXPECT_TRUE(recorded == endpoint("127.0.0.9", 7000));

    // Counted for this executable; closing lowers the count, never below 0.
    vnx::TrafficStats& stats = serverState().stats;
    {
        std::lock_guard<std::mutex> g(stats.lock);
        EXPECT_EQ(stats.app(ownExeName()).udp_recv, 10u);
        EXPECT_EQ(stats.app(ownExeName()).udp_connections, 1u);
    }
    EXPECT_TRUE(registry->OnTunnelClose(&tunnel));
    EXPECT_EQ(tunnel.replySock, vnxplat::kBadSocket);
    EXPECT_TRUE(registry->OnTunnelClose(&tunnel));  // unknown now: nothing happens
    std::lock_guard<std::mutex> g(stats.lock);
    EXPECT_EQ(stats.app(ownExeName()).udp_connections, 0u);
}

TEST_F(Registry, TcpDestinationMaskAndOwner) {
    const vnx::REndpoint client = endpoint("127.0.0.1", 40004);
    const vnx::REndpoint dest = endpoint("192.0.2.80", 80);
    vnx::REndpoint got;
    bool maskData = true;
    std::string app;
    EXPECT_FALSE(registry->OnGetDestAddr(client, got, maskData, app));
    EXPECT_FALSE(maskData);  // no proxy server configured

    setProxy(proxy, "127.0.0.9", 7000, "other", true);
    ASSERT_NE(vnx::publishTcpDestination(*tables.tcp, client.port, false, dest), nullptr);
    ASSERT_TRUE(registry->OnGetDestAddr(client, got, maskData, app));
    EXPECT_TRUE(got == dest) << got.text();
    EXPECT_TRUE(maskData);
    EXPECT_EQ(app, ownExeName());
    EXPECT_EQ(tables.tcp->findTcpSlot(client.port, 0), nullptr);  // used up

    registry->tcpTunnelEnded(app);
    registry->tcpTunnelEnded(app);
    vnx::TrafficStats& stats = serverState().stats;
    std::lock_guard<std::mutex> g(stats.lock);
    EXPECT_EQ(stats.app(app).tcp_connections, 0u);
}

TEST_F(Registry, ProxySelectionForTcp) {
    // The server runs in the user's locale (QCoreApplication takes it from the
    // environment); under a Turkish one tolower('I') is not 'i', and that must
    // not send "PRIVATE" connections direct.
    const std::string before = std::setlocale(LC_ALL, nullptr);
    for (const char* locale : {"C", "tr_TR.UTF-8"}) {
        ASSERT_NE(std::setlocale(LC_ALL, locale), nullptr) << locale << " missing: run scripts/setup";
        for (const char* protocol : {"private", "PRIVATE", "Private", "PRİVATE"}) {
            setProxy(proxy, "127.0.0.9", 7000, protocol, false);
            RSockProxy p;
            ASSERT_TRUE(registry->OnSetProxy(&p));
            // A dotted capital I (two bytes of UTF-8) is not the relay protocol.
            const bool relay = std::strlen(protocol) == 7;
            EXPECT_EQ(p.useProxy, relay) << protocol << " under " << locale;
            if (relay) {
                EXPECT_TRUE(p.proxyAddr == endpoint("127.0.0.9", 7000));
            }
        }
    }
    std::setlocale(LC_ALL, before.c_str());
    for (const char* protocol : {"privat", "private2", "", "socks5"}) {
        setProxy(proxy, "127.0.0.9", 7000, protocol, false);
        RSockProxy p;
        ASSERT_TRUE(registry->OnSetProxy(&p));
        EXPECT_FALSE(p.useProxy) << protocol;
    }
    setProxy(proxy, "127.0.0.9", 0, "private", false);
    RSockProxy p;
    ASSERT_TRUE(registry->OnSetProxy(&p));
    EXPECT_FALSE(p.useProxy);
    // An unterminated text field written by another process is read bounded.
    std::memset(proxy->proxy_protocol, 'p', sizeof proxy->proxy_protocol);
    std::memset(proxy->proxy_ip, '1', sizeof proxy->proxy_ip);
    RSockProxy q;
    ASSERT_TRUE(registry->OnSetProxy(&q));
    EXPECT_FALSE(q.useProxy);
}

TEST_F(Registry, Ipv6LoopbackDestinationStaysIpv6) {
    // ::1 has 96 leading zero bits but is not an IPv4-compatible address: a
    // connection to it must not be sent to 0.0.0.1.
    const vnx::REndpoint client = endpoint("::1", 40005);
    const vnx::REndpoint dest = endpoint("::1", 8443);
    ASSERT_NE(vnx::publishTcpDestination(*tables.tcp, client.port, true, dest), nullptr);
    vnx::REndpoint got;
    bool maskData = false;
    std::string app;
    ASSERT_TRUE(registry->OnGetDestAddr(client, got, maskData, app));
    EXPECT_TRUE(got == dest) << got.text();
    std::uint8_t compat[16] = {};
    compat[12] = 192;
    compat[15] = 7;
    EXPECT_EQ(vnx::deriveIpv4(compat), endpoint("192.0.0.7", 0).ipv4);
}

TEST(MaskBuffer, MatchesTheByteOperationAtAnyLengthAndOffset) {
    // The relay masks chunks in place at any offset and length; the fast
    // paths must agree with XOR 0x5D byte by byte.
    std::vector<std::uint8_t> data(300), want;
    ByteStream(77).fill(data.data(), data.size());
    for (std::size_t offset = 0; offset < 16; ++offset) {
        for (std::size_t len = 0; len + offset <= data.size(); len += (len < 140 ? 1 : 37)) {
            std::vector<std::uint8_t> got = data;
            want = data;
            for (std::size_t i = 0; i < len; ++i)
                want[offset + i] ^= 0x5D;
            EXPECT_EQ(vnx::maskBuffer(got.data() + offset, len), len);
            ASSERT_EQ(got, want) << "offset " << offset << " length " << len;
        }
    }
}

namespace {

// A tunnel whose hooks throw: before connecting, or on the first chunk from
// the client once both connections are open.
class ThrowingTunnel : public RTcpTunnel {
public:
    ThrowingTunnel(bool beforeConnect, const vnx::REndpoint& destination) : early(beforeConnect), dest(destination) {}
    bool OnGetDestAddr(vnx::REndpoint& d, vnxplat::socket_t, bool& mask) override {
        if (early) throw std::runtime_error("no destination");
        d = dest;
        mask = false;
        return true;
    }
    void OnRecvFromClient(std::uint8_t*&, long&) override { throw std::runtime_error("mid-transfer"); }

private:
    bool early;
    vnx::REndpoint dest;
};

}  // namespace

TEST(TunnelEnd, AnExceptionStillClosesTheSocketsAndFreesTheTunnel) {
    // The error log goes to the current folder.
    char dir[] = "/tmp/vnxsvr-tunnel-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    ASSERT_EQ(chdir(dir), 0);
    const int tunnelsBefore = serverState().tcpTunnels.load();

    int early[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, early), 0);
    auto* first = new ThrowingTunnel(true, vnx::REndpoint());
    first->clientSock.reset(early[1]);
    ASSERT_TRUE(first->start());
    EXPECT_TRUE(waitClosed(early[0], 10000));

    Listener upstream;
    int late[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, late), 0);
    auto* second = new ThrowingTunnel(false, upstream.address());
    second->clientSock.reset(late[1]);
    ASSERT_TRUE(second->start());
    int up = upstream.acceptWithin(10000);
    ASSERT_GE(up, 0);
    ASSERT_TRUE(sendAllBytes(late[0], "x", 1));
    EXPECT_TRUE(waitClosed(late[0], 10000));
    EXPECT_TRUE(waitClosed(up, 10000));

    EXPECT_TRUE(waitUntil([&] { return serverState().tcpTunnels.load() == tunnelsBefore; }, 10000));
    std::ifstream log(std::string(dir) + "/ipserverlog.txt");
    std::stringstream text;
    text << log.rdbuf();
    std::string s = text.str();
    std::size_t first_at = s.find(": RTcpTunnel::run catch exception!\r\n");
    ASSERT_NE(first_at, std::string::npos) << s;
    EXPECT_NE(s.find(": RTcpTunnel::run catch exception!\r\n", first_at + 1), std::string::npos) << s;
    close(early[0]);
    close(late[0]);
    close(up);
}

namespace {
bool isOpen(int fd) { return fcntl(fd, F_GETFD) != -1; }
}  // namespace

TEST(SocketOwner, ClosesExactlyOnceWhicheverWayItIsHandedOn) {
    int a[2], b[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, a), 0);
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, b), 0);
    {
        vnxplat::Socket first(a[0]);
        {
            vnxplat::Socket second(b[0]);
            // Assignment closes the socket held before: its peer sees the end.
            first = std::move(second);
            EXPECT_TRUE(waitClosed(a[1], 5000));
            EXPECT_FALSE(isOpen(a[0]));
            EXPECT_EQ(first.get(), b[0]);
        }
        EXPECT_TRUE(isOpen(b[0]));  // the moved-from owner did not close it
        { vnxplat::Socket third(std::move(first)); }
        EXPECT_FALSE(isOpen(b[0]));
        EXPECT_TRUE(waitClosed(b[1], 5000));
        // A new descriptor under the closed number: a second close by the
        // moved-from owner would take it.
        ASSERT_EQ(dup2(b[1], b[0]), b[0]);
    }
    EXPECT_TRUE(isOpen(b[0]));

    // Released: the socket outlives its owner.
    {
        vnxplat::Socket owner(b[0]);
        owner.reset(b[0]);  // the same socket again: kept open
        EXPECT_EQ(owner.release(), b[0]);
    }
    EXPECT_TRUE(isOpen(b[0]));
    for (int fd : {a[1], b[0], b[1]})
        close(fd);
}
