// veilnox-relay over TCP: the real program relaying to destination servers
// of the test on loopback.
#include "relayheader.h"
#include "test_relay_support.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <random>
#include <thread>

using namespace relaytest;

namespace {

struct Fd {
    int fd = -1;
    explicit Fd(int f = -1) : fd(f) {}
    ~Fd() {
        if (fd >= 0) close(fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    operator int() const { return fd; }
};

// Opens a relayed connection to dest: connect to the relay (from the local
// address from when given), send the header.
int openRelayed(const RelayProcess& relay, const sockaddr_storage& dest, bool masked, const char* from = nullptr) {
    int fd = connectTo(relay.address(), from);
    if (fd < 0) return -1;
    std::vector<std::uint8_t> h = relayHeader(dest, masked);
    if (!sendAll(fd, h.data(), h.size())) {
        close(fd);
        return -1;
    }
    return fd;
}

// Sends data through an echo relay in random-sized pieces on one thread and
// reads the echo in random-sized pieces on another; returns what came back
// (unmasked when masked).
std::vector<std::uint8_t> echoThrough(int fd, const std::vector<std::uint8_t>& data, bool masked, std::uint32_t seed) {
    std::vector<std::uint8_t> wire = data;
    if (masked) mask(wire.data(), wire.size());
    std::thread writer([&] {
        std::mt19937 rng(seed);
        std::size_t off = 0;
        while (off < wire.size()) {
            std::size_t n = std::min<std::size_t>(wire.size() - off, 1 + rng() % 100000);
            if (!sendAll(fd, wire.data() + off, n)) break;
            off += n;
        }
        shutdown(fd, SHUT_WR);
    });
    std::vector<std::uint8_t> back;
    back.reserve(data.size());
    std::mt19937 rng(seed + 1);
    for (;;) {
        std::uint8_t buf[70000];
        std::size_t want = 1 + rng() % sizeof buf;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 30000) != 1) break;
        ssize_t n = recv(fd, buf, want, 0);
        if (n <= 0) break;
        back.insert(back.end(), buf, buf + n);
    }
    writer.join();
    if (masked) mask(back.data(), back.size());
    return back;
}

class RelayTcp : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(relay.start(
            {"--listen", "127.0.0.1:0", "--allow-private", "--header-timeout", "0.5", "--idle-timeout", "60"}));
    }
    void TearDown() override {
        if (relay.pid() > 0) {
            EXPECT_EQ(relay.stop(), 0);
        }
    }
    RelayProcess relay;
};

}  // namespace

TEST_F(RelayTcp, BulkBytesIntactBothWaysPlainAndMasked) {
    TcpServer echo("127.0.0.1", TcpServer::Mode::Echo);
    ASSERT_TRUE(echo.ok());
    for (bool masked : {false, true}) {
        SCOPED_TRACE(masked ? "masked" : "plain");
        std::vector<std::uint8_t> data = randomBytes(6 * 1024 * 1024 + 13, masked ? 7 : 8);
        Fd fd(openRelayed(relay, echo.address(), masked));
        ASSERT_GE(fd, 0);
        std::vector<std::uint8_t> back = echoThrough(fd, data, masked, masked ? 99 : 98);
        ASSERT_EQ(back.size(), data.size());
        EXPECT_TRUE(back == data);
    }
}

TEST_F(RelayTcp, DestinationSeesUnmaskedPayloadAndClientSeesMaskedReply) {
    // The destination must receive exactly the plain bytes (and nothing of
    // the header); the reply comes back masked.
    TcpServer server("127.0.0.1", TcpServer::Mode::ReplyAfterEnd);
    ASSERT_TRUE(server.ok());
    Fd fd(openRelayed(relay, server.address(), true));
    ASSERT_GE(fd, 0);
    std::vector<std::uint8_t> data = randomBytes(100000, 3);
    std::vector<std::uint8_t> wire = data;
    mask(wire.data(), wire.size());
    ASSERT_TRUE(sendAll(fd, wire.data(), wire.size()));
    shutdown(fd, SHUT_WR);
    std::vector<std::uint8_t> reply;
    ASSERT_TRUE(readToEnd(fd, reply));
    ASSERT_EQ(reply.size(), 8 + data.size());
    mask(reply.data(), reply.size());
    std::uint64_t count;
    std::memcpy(&count, reply.data(), 8);
    EXPECT_EQ(count, data.size());
    EXPECT_TRUE(std::equal(data.begin(), data.end(), reply.begin() + 8));
}

TEST_F(RelayTcp, HeaderInOneBytePiecesWithPayloadBehindIt) {
    TcpServer echo("127.0.0.1", TcpServer::Mode::Echo);
    ASSERT_TRUE(echo.ok());
    Fd fd(connectTo(relay.address()));
    ASSERT_GE(fd, 0);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::vector<std::uint8_t> h = relayHeader(echo.address(), false);
    for (std::uint8_t b : h) {
        ASSERT_TRUE(sendAll(fd, &b, 1));
        usleep(2000);  // separate segments, so the relay sees short reads
    }
    ASSERT_TRUE(sendAll(fd, "ping", 4));
    char back[4];
    ASSERT_TRUE(readExact(fd, back, 4));
    EXPECT_EQ(0, std::memcmp(back, "ping", 4));

    // Header and payload in one segment: the payload is not lost either.
    Fd fd2(connectTo(relay.address()));
    ASSERT_GE(fd2, 0);
    std::vector<std::uint8_t> both = relayHeader(echo.address(), false);
    both.insert(both.end(), {'p', 'o', 'n', 'g'});
    ASSERT_TRUE(sendAll(fd2, both.data(), both.size()));
    ASSERT_TRUE(readExact(fd2, back, 4));
    EXPECT_EQ(0, std::memcmp(back, "pong", 4));
}

TEST_F(RelayTcp, GarbageHeadersAreClosedWithoutReachingTheDestination) {
    TcpServer echo("127.0.0.1", TcpServer::Mode::Echo);
    ASSERT_TRUE(echo.ok());
    std::vector<std::vector<std::uint8_t>> bad;
    bad.push_back(std::vector<std::uint8_t>(32, 0));
    bad.push_back(randomBytes(64, 5));
    {
        // Right magic, wrong version.
        std::vector<std::uint8_t> h = relayHeader(echo.address(), false);
        h[4] ^= 1;
        bad.push_back(h);
    }
    {
        // Unmasked header.
        std::vector<std::uint8_t> h = relayHeader(echo.address(), false);
        mask(h.data(), h.size());
        bad.push_back(h);
    }
    {
        // A probe is not a TCP request.
        bad.push_back(relayHeader(echo.address(), false, 5));
    }
    {
        // Port 0.
        bad.push_back(relayHeader(makeAddress("127.0.0.1", 0), false));
    }
    for (std::size_t i = 0; i < bad.size(); ++i) {
        SCOPED_TRACE(i);
        Fd fd(connectTo(relay.address()));
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(sendAll(fd, bad[i].data(), bad[i].size()));
        EXPECT_TRUE(waitClosed(fd, 5000));
    }
    // A good connection afterwards is the destination's first.
    Fd fd(openRelayed(relay, echo.address(), false));
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(sendAll(fd, "x", 1));
    char c;
    ASSERT_TRUE(readExact(fd, &c, 1));
    EXPECT_EQ(echo.accepted(), 1);
}

TEST_F(RelayTcp, IncompleteHeaderIsClosedAfterTheHeaderTimeout) {
    TcpServer echo("127.0.0.1", TcpServer::Mode::Echo);
    ASSERT_TRUE(echo.ok());
    Fd fd(connectTo(relay.address()));
    ASSERT_GE(fd, 0);
    std::vector<std::uint8_t> h = relayHeader(echo.address(), false);
    ASSERT_TRUE(sendAll(fd, h.data(), 20));
    // The relay was started with --header-timeout 0.5.
    EXPECT_TRUE(waitClosed(fd, 5000));
    EXPECT_EQ(echo.accepted(), 0);

    // A client that sends nothing at all goes the same way.
    Fd silent(connectTo(relay.address()));
    ASSERT_GE(silent, 0);
    EXPECT_TRUE(waitClosed(silent, 5000));
}

// Sockets of this namespace in TIME_WAIT whose local port is port.
int timeWaitOnLocalPort(std::uint16_t port) { return vnxtest::timeWaitSockets(port, false); }

std::uint16_t localPort(int fd) {
    sockaddr_storage a{};
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    return addressPort(a);
}

TEST_F(RelayTcp, ClientHalfCloseStillReceivesTheReply) {
    // A client that ends first and asks for it is ended with a reset once it
    // has every byte: the whole reply arrives, and no TIME_WAIT stays on the
    // client's side (a client making many short connections to one relay
    // would otherwise run out of local ports). Without the flag the relay
    // ends as usual, and the client keeps the TIME_WAIT.
    TcpServer server("127.0.0.1", TcpServer::Mode::ReplyAfterEnd);
    ASSERT_TRUE(server.ok());
    for (int variant = 0; variant < 4; ++variant) {
        const bool masked = variant & 1;
        const bool resetAtEnd = variant & 2;
        SCOPED_TRACE(std::string(masked ? "masked" : "plain") + (resetAtEnd ? ", reset at end" : ""));
        int fd = connectTo(relay.address());
        ASSERT_GE(fd, 0);
        std::vector<std::uint8_t> h = relayHeader(server.address(), masked);
        if (resetAtEnd) h[7] ^= vnx::kRelayFlagResetAtEnd;  // the flags byte, masked on the wire
        ASSERT_TRUE(sendAll(fd, h.data(), h.size()));
        std::vector<std::uint8_t> data = randomBytes(3 * 1024 * 1024, 11 + variant);
        std::vector<std::uint8_t> wire = data;
        if (masked) mask(wire.data(), wire.size());
        std::thread writer([&] {
            sendAll(fd, wire.data(), wire.size());
            shutdown(fd, SHUT_WR);  // the destination answers only after the end of stream
        });
        // Read slowly at first, so the relay has bytes in flight when the
        // destination's end arrives and must wait for the acknowledgements.
        usleep(100000);
        std::vector<std::uint8_t> reply;
        int endErrno = -1;
        for (int i = 0; i < 100000; ++i) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 30000) != 1) break;
            std::uint8_t buf[65536];
            ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n > 0) {
                reply.insert(reply.end(), buf, buf + n);
                continue;
            }
            endErrno = n == 0 ? 0 : errno;
            break;
        }
        writer.join();
        const std::uint16_t port = localPort(fd);
        close(fd);
        EXPECT_EQ(endErrno, resetAtEnd ? ECONNRESET : 0);
        ASSERT_EQ(reply.size(), 8 + data.size());
        if (masked) mask(reply.data(), reply.size());
        EXPECT_TRUE(std::equal(data.begin(), data.end(), reply.begin() + 8));
        EXPECT_EQ(timeWaitOnLocalPort(port), resetAtEnd ? 0 : 1);
    }
}

TEST_F(RelayTcp, DestinationHalfCloseStillReceivesFromTheClient) {
    TcpServer server("127.0.0.1", TcpServer::Mode::GreetThenSink);
    ASSERT_TRUE(server.ok());
    Fd fd(openRelayed(relay, server.address(), false));
    ASSERT_GE(fd, 0);
    std::vector<std::uint8_t> greeting;
    ASSERT_TRUE(readToEnd(fd, greeting));  // "hello", then the destination's end of stream
    EXPECT_EQ(std::string(greeting.begin(), greeting.end()), "hello");
    std::vector<std::uint8_t> data = randomBytes(2 * 1024 * 1024, 12);
    ASSERT_TRUE(sendAll(fd, data.data(), data.size()));
    shutdown(fd, SHUT_WR);
    // The relay closes the client once both directions have ended.
    EXPECT_TRUE(waitClosed(fd, 10000));
    for (int i = 0; i < 1000 && server.sunk() < data.size(); ++i)
        usleep(10000);
    EXPECT_EQ(server.sunk(), data.size());
}

TEST_F(RelayTcp, Ipv6DestinationThroughAnIpv4Connection) {
    TcpServer echo("::1", TcpServer::Mode::Echo);
    ASSERT_TRUE(echo.ok());
    ASSERT_EQ(echo.address().ss_family, AF_INET6);
    Fd fd(openRelayed(relay, echo.address(), true));
    ASSERT_GE(fd, 0);
    std::vector<std::uint8_t> data = randomBytes(1024 * 1024, 21);
    std::vector<std::uint8_t> back = echoThrough(fd, data, true, 5);
    EXPECT_TRUE(back == data);
}

TEST_F(RelayTcp, UnreachableDestinationClosesTheClient) {
    // A port nobody listens on: the connect is refused.
    int probeFd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_storage a = makeAddress("127.0.0.1", 0);
    ASSERT_EQ(0, bind(probeFd, reinterpret_cast<sockaddr*>(&a), addressLength(a)));
    socklen_t l = sizeof a;
    getsockname(probeFd, reinterpret_cast<sockaddr*>(&a), &l);
    close(probeFd);
    Fd fd(openRelayed(relay, a, false));
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(waitClosed(fd, 5000));
}

TEST_F(RelayTcp, ManyConcurrentConnections) {
    TcpServer echo("127.0.0.1", TcpServer::Mode::Echo);
    ASSERT_TRUE(echo.ok());
    constexpr int kConns = 200;
    std::vector<int> fds;
    for (int i = 0; i < kConns; ++i) {
        int fd = openRelayed(relay, echo.address(), i % 2 == 1);
        ASSERT_GE(fd, 0);
        fds.push_back(fd);
    }
    for (int i = 0; i < kConns; ++i) {
        std::uint8_t msg[4];
        std::memcpy(msg, &i, 4);
        if (i % 2) mask(msg, 4);
        ASSERT_TRUE(sendAll(fds[i], msg, 4));
    }
    for (int i = 0; i < kConns; ++i) {
        std::uint8_t back[4];
        ASSERT_TRUE(readExact(fds[i], back, 4));
        if (i % 2) mask(back, 4);
        int v;
        std::memcpy(&v, back, 4);
        EXPECT_EQ(v, i);
        close(fds[i]);
    }
}

TEST(RelayTcpLimits, IdleConnectionIsClosed) {
    RelayProcess relay;
    ASSERT_TRUE(relay.start({"--listen", "127.0.0.1:0", "--allow-private", "--idle-timeout", "0.4"}));
    TcpServer echo("127.0.0.1", TcpServer::Mode::Echo);
    Fd fd(openRelayed(relay, echo.address(), false));
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(sendAll(fd, "a", 1));
    char c;
    ASSERT_TRUE(readExact(fd, &c, 1));
    EXPECT_TRUE(waitClosed(fd, 5000));
    EXPECT_EQ(relay.stop(), 0);
}

TEST(RelayTcpLimits, ConnectionsBeyondMaxConnsAreRefused) {
    RelayProcess relay;
    ASSERT_TRUE(relay.start({"--listen", "127.0.0.1:0", "--allow-private", "--max-conns", "4", "--quiet"}));
    TcpServer echo("127.0.0.1", TcpServer::Mode::Echo);
    std::vector<int> fds;
    for (int i = 0; i < 4; ++i) {
        int fd = openRelayed(relay, echo.address(), false);
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(sendAll(fd, "a", 1));
        char c;
        ASSERT_TRUE(readExact(fd, &c, 1));
        fds.push_back(fd);
    }
    for (int i = 0; i < 3; ++i) {
        Fd extra(openRelayed(relay, echo.address(), false));
        if (extra >= 0) {
            EXPECT_TRUE(waitClosed(extra, 5000));
        }
    }
    EXPECT_EQ(echo.accepted(), 4);
    // The admitted ones keep working; once one ends, a new one gets in.
    ASSERT_TRUE(sendAll(fds[3], "b", 1));
    char c;
    ASSERT_TRUE(readExact(fds[3], &c, 1));
    EXPECT_EQ(c, 'b');
    close(fds[0]);
    bool admitted = false;
    for (int attempt = 0; attempt < 200 && !admitted; ++attempt) {
        Fd fd(openRelayed(relay, echo.address(), false));
        if (fd >= 0 && sendAll(fd, "c", 1) && readExact(fd, &c, 1, 2000))
            admitted = true;
        else
            usleep(10000);
    }
    EXPECT_TRUE(admitted);
    for (std::size_t i = 1; i < fds.size(); ++i)
        close(fds[i]);
    EXPECT_EQ(relay.stop(), 0);
}

TEST(RelayTcpLimits, OneSourceCannotLockOutAnother) {
    TcpServer echo("127.0.0.1", TcpServer::Mode::Echo);
    auto served = [&](const RelayProcess& relay, const char* from) {
        Fd fd(openRelayed(relay, echo.address(), false, from));
        char c = 0;
        return fd >= 0 && sendAll(fd, "v", 1) && readExact(fd, &c, 1, 3000) && c == 'v';
    };
    // Idle connections without a header from 127.0.0.2, until the whole
    // table or that source's share is full: the oldest of them give way.
    const std::vector<std::vector<std::string>> limits = {
        {"--max-conns", "32", "--max-headerless-per-source", "64"},
        {"--max-conns", "64", "--max-headerless-per-source", "8"},
    };
    for (const auto& l : limits) {
        SCOPED_TRACE(l[1] + "/" + l[3]);
        std::vector<std::string> args = {"--listen", "127.0.0.1:0",      "--allow-private",
                                         "--quiet",  "--header-timeout", "60"};
        args.insert(args.end(), l.begin(), l.end());
        RelayProcess relay;
        ASSERT_TRUE(relay.start(args));
        std::vector<Fd> flood(48);
        for (Fd& f : flood) {
            f.fd = connectTo(relay.address(), "127.0.0.2");
            ASSERT_GE(f, 0);
        }
        EXPECT_TRUE(served(relay, "127.0.0.3"));
        EXPECT_TRUE(waitClosed(flood.front(), 5000));
        EXPECT_TRUE(staysOpen(flood.back(), 200));
        EXPECT_EQ(relay.stop(), 0);
    }
    // Relaying connections are never shed: a source at its own limit is
    // refused while others are still served.
    RelayProcess relay;
    ASSERT_TRUE(relay.start({"--listen", "127.0.0.1:0", "--allow-private", "--quiet", "--max-conns-per-source", "3"}));
    std::vector<Fd> held(3);
    for (Fd& f : held) {
        f.fd = openRelayed(relay, echo.address(), false, "127.0.0.2");
        char c = 0;
        ASSERT_TRUE(f >= 0 && sendAll(f, "h", 1) && readExact(f, &c, 1));
    }
    EXPECT_FALSE(served(relay, "127.0.0.2"));
    EXPECT_TRUE(served(relay, "127.0.0.3"));
    for (Fd& f : held)
        EXPECT_TRUE(staysOpen(f, 50));
    EXPECT_EQ(relay.stop(), 0);
}

TEST(RelayTcpLimits, OutOfDescriptorsPausesAcceptingWithoutSpinning) {
    RelayProcess relay;
    // Room for the relay's own descriptors and a few connections only.
    ASSERT_TRUE(relay.start({"--listen", "127.0.0.1:0", "--allow-private", "--quiet"}, 16));
    TcpServer echo("127.0.0.1", TcpServer::Mode::Echo);
    std::vector<int> fds;
    for (int i = 0; i < 20; ++i) {
        int fd = connectTo(relay.address());  // the backlog takes them all
        ASSERT_GE(fd, 0);
        fds.push_back(fd);
    }
    // With the descriptors exhausted, the relay must sleep, not spin.
    auto cpuTicks = [&] {
        std::string path = "/proc/" + std::to_string(relay.pid()) + "/stat";
        FILE* f = fopen(path.c_str(), "r");
        if (!f) return -1L;
        char buf[1024] = {};
        size_t n = fread(buf, 1, sizeof buf - 1, f);
        fclose(f);
        std::string s(buf, n);
        std::size_t close = s.rfind(')');
        long utime = 0, stime = 0;
        sscanf(s.c_str() + close + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %ld %ld", &utime, &stime);
        return utime + stime;
    };
    usleep(100000);
    long before = cpuTicks();
    usleep(1000000);
    long after = cpuTicks();
    ASSERT_GE(before, 0);
    EXPECT_LT(after - before, sysconf(_SC_CLK_TCK) / 2) << "relay busy while out of descriptors";
    for (int fd : fds)
        close(fd);
    // Service comes back once descriptors are free again.
    bool served = false;
    for (int attempt = 0; attempt < 300 && !served; ++attempt) {
        Fd fd(openRelayed(relay, echo.address(), false));
        char c;
        if (fd >= 0 && sendAll(fd, "z", 1) && readExact(fd, &c, 1, 2000))
            served = true;
        else
            usleep(10000);
    }
    EXPECT_TRUE(served);
    EXPECT_TRUE(relay.running());
    EXPECT_EQ(relay.stop(), 0);
}

TEST(RelayTcpPolicy, InternalDestinationsAreRefusedWithoutAllowPrivate) {
    RelayProcess relay;
    ASSERT_TRUE(relay.start({"--listen", "127.0.0.1:0", "--quiet"}));
    TcpServer echo4("127.0.0.1", TcpServer::Mode::Echo);
    TcpServer echo6("::1", TcpServer::Mode::Echo);
    std::uint16_t p4 = addressPort(echo4.address());
    std::vector<sockaddr_storage> dests = {echo4.address(),
                                           echo6.address(),
                                           makeAddress("::ffff:127.0.0.1", p4),
                                           makeAddress("0.0.0.0", p4),
                                           makeAddress("::", p4),
                                           makeAddress("10.1.2.3", 80),
                                           makeAddress("192.168.1.1", 80),
                                           makeAddress("169.254.169.254", 80),
                                           makeAddress("fe80::1", 80),
                                           makeAddress("fd00::1", 80),
                                           makeAddress("224.0.0.1", 80)};
    for (std::size_t i = 0; i < dests.size(); ++i) {
        SCOPED_TRACE(i);
        Fd fd(openRelayed(relay, dests[i], false));
        ASSERT_GE(fd, 0);
        sendAll(fd, "x", 1);
        EXPECT_TRUE(waitClosed(fd, 5000));
    }
    EXPECT_EQ(echo4.accepted(), 0);
    EXPECT_EQ(echo6.accepted(), 0);
    EXPECT_EQ(relay.stop(), 0);
}

TEST(RelayTcpPolicy, TheHostsOwnAddressesAreRefusedAsTheyChange) {
    PrivateNetwork net({"203.0.113.7"});
    ASSERT_TRUE(net.ok()) << "cannot make a network namespace (root needed)";
    // A service meant for the host alone, answering on every address.
    TcpServer secret("::", TcpServer::Mode::Echo);
    ASSERT_TRUE(secret.ok());
    const std::uint16_t port = addressPort(secret.address());
    auto reaches = [&](const RelayProcess& relay, const char* ip) {
        Fd fd(openRelayed(relay, makeAddress(ip, port), false));
        char c = 0;
        return fd >= 0 && sendAll(fd, "S", 1) && readExact(fd, &c, 1, 3000) && c == 'S';
    };
    RelayProcess relay;
    ASSERT_TRUE(relay.start({"--listen", "127.0.0.1:0", "--quiet"}));
    EXPECT_FALSE(reaches(relay, "203.0.113.7"));
    // Addresses added while the relay runs are refused as well.
    ASSERT_TRUE(net.run("ip addr add 198.51.100.9/24 dev vnxa && ip -6 addr add 2001:db8:7::7/64 dev vnxa nodad"));
    EXPECT_FALSE(reaches(relay, "198.51.100.9"));
    EXPECT_FALSE(reaches(relay, "2001:db8:7::7"));
    EXPECT_FALSE(reaches(relay, "::ffff:198.51.100.9"));
    EXPECT_EQ(secret.accepted(), 0);
    EXPECT_EQ(relay.stop(), 0);
    // What the refusal prevents: with --allow-private the service answers.
    RelayProcess loose;
    ASSERT_TRUE(loose.start({"--listen", "127.0.0.1:0", "--allow-private", "--quiet"}));
    EXPECT_TRUE(reaches(loose, "198.51.100.9"));
    EXPECT_EQ(loose.stop(), 0);
}

TEST(RelayTcpPolicy, ClientsOutsideTheAllowListAreRefused) {
    TcpServer echo("127.0.0.1", TcpServer::Mode::Echo);
    {
        RelayProcess relay;
        ASSERT_TRUE(relay.start(
            {"--listen", "127.0.0.1:0", "--allow-private", "--allow", "192.0.2.0/24", "--allow", "::1", "--quiet"}));
        Fd fd(openRelayed(relay, echo.address(), false));
        if (fd >= 0) {
            sendAll(fd, "x", 1);
            EXPECT_TRUE(waitClosed(fd, 5000));
        }
        EXPECT_EQ(echo.accepted(), 0);
        EXPECT_EQ(relay.stop(), 0);
    }
    {
        RelayProcess relay;
        ASSERT_TRUE(relay.start({"--listen", "127.0.0.1:0", "--allow-private", "--allow", "127.0.0.0/8", "--quiet"}));
        Fd fd(openRelayed(relay, echo.address(), false));
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(sendAll(fd, "y", 1));
        char c;
        ASSERT_TRUE(readExact(fd, &c, 1));
        EXPECT_EQ(c, 'y');
        EXPECT_EQ(relay.stop(), 0);
    }
}

TEST(RelayTcpProcess, ExitsZeroOnSigtermAndSigintWithLiveConnections) {
    for (int sig : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(sig);
        RelayProcess relay;
        ASSERT_TRUE(relay.start({"--listen", "127.0.0.1:0", "--allow-private", "--quiet"}));
        TcpServer echo("127.0.0.1", TcpServer::Mode::Echo);
        Fd live(openRelayed(relay, echo.address(), true));
        ASSERT_GE(live, 0);
        ASSERT_TRUE(sendAll(live, "a", 1));
        char c;
        ASSERT_TRUE(readExact(live, &c, 1));
        Fd half(connectTo(relay.address()));  // still in its header
        ASSERT_GE(half, 0);
        EXPECT_EQ(relay.stop(sig), 0);
        EXPECT_TRUE(waitClosed(live, 5000));
    }
}

TEST_F(RelayTcp, DescriptorsReturnToIdleAfterAbortedAndFinishedConnections) {
    auto openFds = [&] { return vnxtest::countFds(relay.pid()); };
    const int idle = openFds();
    ASSERT_GT(idle, 0);
    TcpServer echo("127.0.0.1", TcpServer::Mode::Echo);
    for (int i = 0; i < 200; ++i) {
        int fd = connectTo(relay.address());
        ASSERT_GE(fd, 0);
        std::vector<std::uint8_t> h = relayHeader(echo.address(), i % 2 == 0);
        switch (i % 4) {
            case 0: {  // finished normally
                ASSERT_TRUE(sendAll(fd, h.data(), h.size()));
                ASSERT_TRUE(sendAll(fd, "abc", 3));
                char back[3];
                ASSERT_TRUE(readExact(fd, back, 3));
                close(fd);
                break;
            }
            case 1:  // gone in the middle of the header
                ASSERT_TRUE(sendAll(fd, h.data(), 10));
                close(fd);
                break;
            case 2: {  // reset in the middle of a transfer
                ASSERT_TRUE(sendAll(fd, h.data(), h.size()));
                std::vector<std::uint8_t> data = randomBytes(256 * 1024, static_cast<std::uint32_t>(i));
                sendAll(fd, data.data(), data.size());
                linger l{1, 0};
                setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
                close(fd);
                break;
            }
            default:  // garbage
                ASSERT_TRUE(sendAll(fd, std::vector<std::uint8_t>(40, 0xAA).data(), 40));
                close(fd);
                break;
        }
    }
    int now = -1;
    for (int i = 0; i < 500; ++i) {
        now = openFds();
        if (now == idle) break;
        usleep(10000);
    }
    EXPECT_EQ(now, idle);
    EXPECT_TRUE(relay.running());
}
