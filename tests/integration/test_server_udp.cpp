// UDP through the real veilnoxsvr: datagrams with UDPSEND records reach a
// local echo server directly and through the real veilnox-relay; replies
// come from the tunnel's reply socket with a UDPRECV record naming the real
// source; one tunnel per (application socket, destination); idle tunnels go;
// datagrams without a record, oversized ones and garbage from the proxy
// server are handled without stopping the relay.
#include "packetcapture.h"
#include "relayheader.h"
#include "test_server_support.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

using namespace svrtest;

namespace {

class ServerUdp : public ::testing::Test {
protected:
    void startServer(const std::vector<std::string>& env = {}) {
        block = createProxyBlock();
        ASSERT_NE(block, nullptr);
        // The client holds the status block too; a mark in it shows the
        // server's first publication.
        status = statusBlock();
        ASSERT_NE(status, nullptr);
        status->app_count = -1;
        ASSERT_TRUE(server.start({}, env)) << server.output();
        ASSERT_TRUE(tables.open());
        ASSERT_TRUE(waitUntil([&] { return status->app_count == 0; }, 10000));
    }

    struct Reply {
        long length = -1;
        std::vector<std::uint8_t> data;
        vnx::REndpoint from;  // the socket that sent it to the application
    };
    // Sends one datagram as the module would and waits for the answer.
    Reply roundTrip(int fd, const vnx::REndpoint& dest, const std::string& payload, bool publish = true) {
        Reply r;
        if (!sendViaServer(tables, fd, dest, payload.data(), payload.size(), publish)) return r;
        r.data.resize(9000);
        r.length = recvWithin(fd, r.data.data(), r.data.size(), 5000, &r.from);
        if (r.length >= 0) r.data.resize(static_cast<std::size_t>(r.length));
        return r;
    }
    // The real source the server recorded for a datagram it delivered.
    bool recordedSource(const Reply& r, bool ipv6, vnx::REndpoint& source) {
        return vnx::takeUdpSource(*tables.udpRecv, r.from.port, static_cast<std::uint16_t>(r.length), ipv6, source);
    }
    std::uint32_t appUdpConnections() {
        vnx::AppStatus e{};
        return findApp(*status, ownExeName(), e) ? e.udp_connections : 0;
    }

    vnx::ProxyData* block = nullptr;
    ServerProcess server;
    ModuleTables tables;
    vnx::ServerStatus* status = nullptr;
};

std::string text(const std::vector<std::uint8_t>& d) { return std::string(d.begin(), d.end()); }

}  // namespace

TEST_F(ServerUdp, DirectRepliesComeFromTheReplySocketWithARecord) {
    startServer();
    for (bool ipv6 : {false, true}) {
        SCOPED_TRACE(ipv6 ? "ipv6" : "ipv4");
        UdpEcho echo(ipv6 ? "::1" : "127.0.0.1");
        int fd = udpSocket(ipv6);
        Reply r = roundTrip(fd, echo.address(), "ping over udp");
        ASSERT_EQ(r.length, 13);
        EXPECT_EQ(text(r.data), "ping over udp");
        // Not the server socket: the tunnel's own reply socket on loopback.
        EXPECT_NE(ntohs(r.from.port), 9111);
        EXPECT_EQ(r.from.ipv4, ipv6 ? 0u : htonl(INADDR_LOOPBACK));
        vnx::REndpoint source;
        ASSERT_TRUE(recordedSource(r, ipv6, source));
        EXPECT_TRUE(source == echo.address()) << source.text() << " vs " << echo.address().text();
        close(fd);
    }
    // Counted for this executable: two tunnels, 13 bytes each way per tunnel.
    vnx::AppStatus e{};
    EXPECT_TRUE(
        waitUntil([&] { return findApp(*status, ownExeName(), e) && e.udp_sent == 26 && e.udp_recv == 26; }, 10000));
    EXPECT_EQ(e.udp_connections, 2u);
    EXPECT_EQ(status->udp_sent, 26u);
    EXPECT_EQ(status->udp_recv, 26u);
    EXPECT_EQ(status->udp_connections, 2u);
}

TEST_F(ServerUdp, OneTunnelPerApplicationSocketAndDestination) {
    startServer();
    UdpEcho echo1, echo2;
    int a = udpSocket(false), b = udpSocket(false);
    Reply a1 = roundTrip(a, echo1.address(), "a to 1, first");
    Reply a1again = roundTrip(a, echo1.address(), "a to 1, second");
    Reply a2 = roundTrip(a, echo2.address(), "a to 2");
    Reply b1 = roundTrip(b, echo1.address(), "b to 1");
    ASSERT_GT(a1.length, 0);
    ASSERT_GT(a1again.length, 0);
    ASSERT_GT(a2.length, 0);
    ASSERT_GT(b1.length, 0);
    EXPECT_EQ(a1.from.port, a1again.from.port);
    EXPECT_NE(a1.from.port, a2.from.port);
    EXPECT_NE(a1.from.port, b1.from.port);
    EXPECT_NE(a2.from.port, b1.from.port);
    EXPECT_TRUE(waitUntil([&] { return appUdpConnections() == 3; }, 10000));
    close(a);
    close(b);
}

TEST_F(ServerUdp, ThroughRelayMaskedPlainAndKeyed) {
    // Through a plain relay (masked and not) and a relay with a key: each
    // reply names its real source, and a capture of this namespace's
    // loopback shows the application's words on the hop to the relay only
    // when the hop is plain.
    startServer();
    RelayProcess plain, keyed;
    ASSERT_TRUE(plain.start()) << "veilnox-relay not available: " << relayPath() << plain.output();
    ASSERT_TRUE(keyed.startKeyed()) << keyed.output();
    ASSERT_TRUE(keyed.useKey());
    UdpEcho echo1, echo2;
    for (const std::string hop : {"masked", "plain", "keyed"}) {
        SCOPED_TRACE(hop);
        RelayProcess& relay = hop == "keyed" ? keyed : plain;
        // The protocol text does not matter for datagrams.
        setProxy(block, "127.0.0.1", relay.port(), "", hop != "plain");
        vnxtest::PacketCapture capture("lo");
        ASSERT_TRUE(capture.ok());
        int fd = udpSocket(false);
        const std::string first = "to the first echo over the " + hop + " hop";
        Reply r1 = roundTrip(fd, echo1.address(), first);
        Reply r2 = roundTrip(fd, echo2.address(), "to the second echo");
        ASSERT_EQ(text(r1.data), first);
        ASSERT_EQ(text(r2.data), "to the second echo");
        // One tunnel (towards the relay) for both destinations; each reply
        // names its real source.
        EXPECT_EQ(r1.from.port, r2.from.port);
        vnx::REndpoint s1, s2;
        ASSERT_TRUE(recordedSource(r1, false, s1));
        ASSERT_TRUE(recordedSource(r2, false, s2));
        EXPECT_TRUE(s1 == echo1.address()) << s1.text();
        EXPECT_TRUE(s2 == echo2.address()) << s2.text();
        close(fd);
        const auto toDestination = capture.seenOnPort(ntohs(echo1.address().port), first);
        const auto onHop = capture.seenOnPort(relay.port(), first);
        EXPECT_GE(toDestination.withMarker, 2);  // there and back
        EXPECT_GE(onHop.packets, 4);
        EXPECT_EQ(onHop.withMarker > 0, hop == "plain") << onHop.withMarker;
    }
    ASSERT_TRUE(keyed.useKey(false));
}

TEST_F(ServerUdp, FramingTowardsAFakeProxyServerAndItsAnswers) {
    startServer();
    int fake = udpSocket(false);
    vnx::REndpoint fakeAddr = localEndpoint(fake);
    setProxy(block, "127.0.0.1", ntohs(fakeAddr.port), "private", true);
    vnx::REndpoint dest = endpoint("198.51.100.4", 5353);
    int app = udpSocket(false);
    ASSERT_TRUE(sendViaServer(tables, app, dest, "question", 8));

    std::uint8_t got[100];
    vnx::REndpoint tunnel;
    ASSERT_EQ(recvWithin(fake, got, sizeof got, 5000, &tunnel), 40);
    vnx::RRelayHeader h;
    ASSERT_TRUE(vnx::parseRelayHeader(got, 40, h));
    EXPECT_TRUE(h.masked);
    EXPECT_EQ(h.kind, 0);
    EXPECT_EQ(h.ipv4, dest.ipv4);
    EXPECT_EQ(h.port, dest.port);
    vnx::maskBuffer(got + 32, 8);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(got + 32), 8), "question");

    socklen_t len;
    sockaddr_storage to = toSockaddr(tunnel, len);
    auto answerFromFake = [&](const std::vector<std::uint8_t>& d, std::vector<std::uint8_t>& out, vnx::REndpoint& src) {
        if (sendto(fake, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&to), len) !=
            static_cast<ssize_t>(d.size()))
            return false;
        out.resize(200);
        vnx::REndpoint from;
        long n = recvWithin(app, out.data(), out.size(), 5000, &from);
        if (n < 0) return false;
        out.resize(static_cast<std::size_t>(n));
        return vnx::takeUdpSource(*tables.udpRecv, from.port, static_cast<std::uint16_t>(n), false, src);
    };
    // A framed, masked answer naming its source.
    vnx::RRelayHeader back;
    vnx::REndpoint realSource = endpoint("203.0.113.8", 53);
    back.masked = true;
    back.ipv4 = realSource.ipv4;
    back.port = realSource.port;
    std::vector<std::uint8_t> framed(32 + 6);
    vnx::buildRelayHeader(back, framed.data());
    std::memcpy(framed.data() + 32, "answer", 6);
    vnx::maskBuffer(framed.data() + 32, 6);
    std::vector<std::uint8_t> out;
    vnx::REndpoint src;
    ASSERT_TRUE(answerFromFake(framed, out, src));
    EXPECT_EQ(text(out), "answer");
    EXPECT_TRUE(src == realSource) << src.text();
    // Garbage: too short for a header, or 40 bytes without the magic. Passed
    // on unchanged, from the address it came from.
    for (std::size_t size : {5u, 40u}) {
        std::vector<std::uint8_t> junk(size, 0x7e);
        ASSERT_TRUE(answerFromFake(junk, out, src));
        EXPECT_EQ(out, junk);
        EXPECT_TRUE(src == fakeAddr) << src.text();
    }
    EXPECT_TRUE(server.running());
    close(app);
    close(fake);
}

TEST_F(ServerUdp, DatagramWithoutRecordIsDropped) {
    startServer();
    UdpEcho echo;
    int fd = udpSocket(false);
    ASSERT_TRUE(sendViaServer(tables, fd, echo.address(), "no record", 9, /*publish*/ false));
    EXPECT_NE(server.waitFor("OnGetRemoteAddr info null\n"), std::string::npos) << server.output();
    // The next datagram, with a record, is the only one the echo saw.
    Reply r = roundTrip(fd, echo.address(), "with a record");
    EXPECT_EQ(text(r.data), "with a record");
    EXPECT_EQ(echo.received(), 1);
    EXPECT_TRUE(waitUntil([&] { return appUdpConnections() == 1; }, 10000));
    close(fd);
}

TEST_F(ServerUdp, OversizedAndEmptyDatagramsKeepTheRelayServing) {
    startServer();
    ASSERT_TRUE(server.writeInput("p"));
    UdpEcho echo;
    std::size_t at = server.waitFor("begin printf logs...\n");
    ASSERT_NE(at, std::string::npos);
    for (bool ipv6 : {false, true}) {
        SCOPED_TRACE(ipv6 ? "ipv6" : "ipv4");
        UdpEcho target(ipv6 ? "::1" : "127.0.0.1");
        int fd = udpSocket(ipv6);
        // Larger than the relay's buffer: dropped whole, not cut.
        std::string big(9000, 'B');
        ASSERT_TRUE(sendViaServer(tables, fd, target.address(), big.data(), big.size()));
        at = server.waitFor("udp datagram from client too large, dropped", 10000, at);
        EXPECT_NE(at, std::string::npos) << server.output();
        // The largest that fits, and an empty one, are relayed.
        std::string largest(8160, 'L');
        Reply r = roundTrip(fd, target.address(), largest);
        EXPECT_EQ(r.length, 8160);
        EXPECT_EQ(text(r.data), largest);
        Reply empty = roundTrip(fd, target.address(), "");
        EXPECT_EQ(empty.length, 0);
        EXPECT_EQ(target.received(), 2);
        close(fd);
    }
    // A datagram to 9111 from a program with no record at all, empty too.
    int stray = udpSocket(false);
    ASSERT_TRUE(sendViaServer(tables, stray, echo.address(), "", 0, false));
    close(stray);
    EXPECT_TRUE(server.running());
    EXPECT_EQ(block->server_status, 0);
    int fd = udpSocket(false);
    EXPECT_EQ(text(roundTrip(fd, echo.address(), "still here").data), "still here");
    close(fd);
}

TEST_F(ServerUdp, IdleTunnelsGoAway) {
    // Short idle limit and wake-up, through the server's test seam. A tunnel
    // then lives more than one second (a publication comes every 800 ms).
    startServer({"VEILNOX_TEST_UDP_IDLE_SECONDS=3", "VEILNOX_TEST_UDP_POLL_MS=100"});
    UdpEcho echo;
    int fd = udpSocket(false);
    const int idleFds = server.fdCount();
    Reply first = roundTrip(fd, echo.address(), "before");
    ASSERT_GT(first.length, 0);
    EXPECT_TRUE(waitUntil([&] { return appUdpConnections() == 1; }, 10000));
    EXPECT_EQ(server.fdCount(), idleFds + 2);  // the tunnel's two sockets
    // Silence: the tunnel and both its sockets go.
    EXPECT_TRUE(waitUntil([&] { return server.fdCount() == idleFds; }, 15000)) << server.fdCount();
    EXPECT_TRUE(waitUntil([&] { return appUdpConnections() == 0; }, 10000));
    // The next datagram makes a new tunnel.
    Reply again = roundTrip(fd, echo.address(), "after");
    EXPECT_EQ(text(again.data), "after");
    EXPECT_TRUE(waitUntil([&] { return appUdpConnections() == 1; }, 10000));
    close(fd);
}

TEST_F(ServerUdp, OnlyTheTunnelsPeerCanAnswerThroughIt) {
    startServer();
    for (bool viaProxy : {false, true}) {
        SCOPED_TRACE(viaProxy ? "through the proxy server" : "direct");
        // The destination itself, or a stand-in for the proxy server.
        int peer = udpSocket(false);
        const vnx::REndpoint peerAddr = localEndpoint(peer);
        if (viaProxy)
            setProxy(block, "127.0.0.1", ntohs(peerAddr.port), "private", false);
        else
            setProxy(block, "", 0, "", false);
        const vnx::REndpoint dest = viaProxy ? endpoint("198.51.100.7", 53) : peerAddr;
        int app = udpSocket(false);
        ASSERT_TRUE(sendViaServer(tables, app, dest, "question", 8));
        std::uint8_t got[100];
        vnx::REndpoint upstream;  // the tunnel's upstream socket
        ASSERT_GT(recvWithin(peer, got, sizeof got, 5000, &upstream), 0);

        // An answer as the peer would send it (framed when through the proxy
        // server, naming the destination as its source).
        auto answer = [&](const std::string& payload) {
            std::vector<std::uint8_t> d(viaProxy ? vnx::kRelayHeaderSize : 0);
            if (viaProxy) {
                vnx::RRelayHeader h;
                h.ipv4 = dest.ipv4;
                h.port = dest.port;
                vnx::buildRelayHeader(h, d.data());
            }
            d.insert(d.end(), payload.begin(), payload.end());
            return d;
        };
        socklen_t len;
        sockaddr_storage to = toSockaddr(upstream, len);
        // Another host sends to the tunnel's upstream port first, then the
        // peer answers: only the peer's answer reaches the application.
        int intruder = udpSocket(false);
        std::vector<std::uint8_t> forged = answer("forged answer");
        ASSERT_EQ(sendto(intruder, forged.data(), forged.size(), 0, reinterpret_cast<sockaddr*>(&to), len),
                  static_cast<ssize_t>(forged.size()));
        std::vector<std::uint8_t> genuine = answer("genuine answer");
        ASSERT_EQ(sendto(peer, genuine.data(), genuine.size(), 0, reinterpret_cast<sockaddr*>(&to), len),
                  static_cast<ssize_t>(genuine.size()));
        char back[100];
        long n = recvWithin(app, back, sizeof back, 5000);
        ASSERT_GT(n, 0);
        EXPECT_EQ(std::string(back, static_cast<std::size_t>(n)), "genuine answer");
        EXPECT_EQ(recvWithin(app, back, sizeof back, 300), -1);
        close(intruder);
        close(app);
        close(peer);
    }
    EXPECT_TRUE(server.running());
}

namespace {
// Runs bind() as another user (uid and gid 65534) in a child process, asking
// for every kind of address sharing: 0 when the bind succeeded, 1 when the
// address was in use, 2 on another error, 3 when the user could not be
// switched.
int bindAsOtherUser(const vnx::REndpoint& addr) {
    socklen_t len;
    const sockaddr_storage sa = toSockaddr(addr, len);
    const int family = sa.ss_family;
    pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        if (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0) _exit(3);
        int fd = socket(family, SOCK_DGRAM, 0);
        int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on);
        if (family == AF_INET6) setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
        if (bind(fd, reinterpret_cast<const sockaddr*>(&sa), len) == 0) _exit(0);
        _exit(errno == EADDRINUSE ? 1 : 2);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
}  // namespace

TEST_F(ServerUdp, AnotherUserCannotTakeThePort) {
    startServer();
    // The premise: that user can bind a port of its own on loopback.
    const int freePort = bindAsOtherUser(endpoint("127.0.0.1", 0));
    if (freePort == 3) GTEST_SKIP() << "cannot switch to uid 65534 here";
    ASSERT_EQ(freePort, 0);
    // Not the server's port, IPv4 or IPv6, while the server holds it.
    EXPECT_EQ(bindAsOtherUser(serverEndpoint(false)), 1);
    EXPECT_EQ(bindAsOtherUser(serverEndpoint(true)), 1);
    EXPECT_TRUE(server.running());
}
