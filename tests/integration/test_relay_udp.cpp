// veilnox-relay over UDP: framing, masking, reply sources, probes, policy
// and robustness against floods, with the real program on loopback.
#include "test_relay_support.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <random>

using namespace relaytest;

namespace {

bool sendFramed(int fd, const RelayProcess& relay, const sockaddr_storage& dest, bool masked,
                const std::vector<std::uint8_t>& payload) {
    std::vector<std::uint8_t> d = relayHeader(dest, masked);
    std::vector<std::uint8_t> p = payload;
    if (masked) mask(p.data(), p.size());
    d.insert(d.end(), p.begin(), p.end());
    sockaddr_storage ra = relay.address();
    return sendto(fd, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&ra), addressLength(ra)) ==
           static_cast<ssize_t>(d.size());
}

// Receives one framed reply from the relay: header fields and the payload
// (unmasked when the header says so).
bool recvFramed(int fd, const RelayProcess& relay, ParsedHeader& h, std::vector<std::uint8_t>& payload,
                int timeoutMs = 5000) {
    std::vector<std::uint8_t> buf(70000);
    sockaddr_storage from{};
    long n = recvWithin(fd, buf.data(), buf.size(), timeoutMs, &from);
    if (n < 0) return false;
    if (addressPort(from) != relay.port()) return false;
    if (!parseHeader(buf.data(), static_cast<std::size_t>(n), h)) return false;
    payload.assign(buf.begin() + 32, buf.begin() + n);
    if (h.masked) mask(payload.data(), payload.size());
    return true;
}

class RelayUdp : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(relay.start({"--listen", "127.0.0.1:0", "--allow-private", "--quiet"})); }
    void TearDown() override {
        if (relay.pid() > 0) {
            EXPECT_EQ(relay.stop(), 0);
        }
    }
    RelayProcess relay;
};

}  // namespace

TEST_F(RelayUdp, EchoThroughTheRelayNamesTheRealSourcePlainAndMasked) {
    UdpEcho echo4("127.0.0.1");
    UdpEcho echo6("::1");
    ASSERT_TRUE(echo4.ok() && echo6.ok());
    Sock c(udpSocket("127.0.0.1"));
    for (const UdpEcho* echo : {&echo4, &echo6}) {
        for (bool masked : {false, true}) {
            SCOPED_TRACE(std::string(echo == &echo4 ? "ipv4 " : "ipv6 ") + (masked ? "masked" : "plain"));
            std::vector<std::uint8_t> payload = randomBytes(1200, masked ? 1 : 2);
            ASSERT_TRUE(sendFramed(c, relay, echo->address(), masked, payload));
            ParsedHeader h;
            std::vector<std::uint8_t> back;
            ASSERT_TRUE(recvFramed(c, relay, h, back));
            EXPECT_EQ(h.kind, 0);
            EXPECT_EQ(h.masked, masked);
            EXPECT_EQ(h.port, addressPort(echo->address()));
            if (echo == &echo4) {
                EXPECT_EQ(h.ipv4, htonl(INADDR_LOOPBACK));
                for (std::uint8_t b : h.ipv6)
                    EXPECT_EQ(b, 0);
            } else {
                EXPECT_EQ(h.ipv4, 0u);
                EXPECT_EQ(0, std::memcmp(h.ipv6, &in6addr_loopback, 16));
            }
            EXPECT_TRUE(back == payload);
        }
    }
}

TEST_F(RelayUdp, LargeAndEmptyDatagramsTravelWhole) {
    UdpEcho echo("127.0.0.1");
    Sock c(udpSocket("127.0.0.1"));
    int big = 1 << 20;
    setsockopt(c, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    for (std::size_t size : {std::size_t(0), std::size_t(1), std::size_t(8160), std::size_t(60000)}) {
        SCOPED_TRACE(size);
        std::vector<std::uint8_t> payload = randomBytes(size, static_cast<std::uint32_t>(size));
        ASSERT_TRUE(sendFramed(c, relay, echo.address(), true, payload));
        ParsedHeader h;
        std::vector<std::uint8_t> back;
        ASSERT_TRUE(recvFramed(c, relay, h, back));
        EXPECT_TRUE(back == payload);
    }
}

TEST_F(RelayUdp, RepliesFromStrangersAreDropped) {
    // The association only passes on datagrams from addresses the client
    // sent to. A destination on 127.0.0.1 learns the relay's upstream port;
    // a stranger on 127.0.0.2 sending to that port is not relayed.
    Sock dest(udpSocket("127.0.0.1"));
    Sock stranger(udpSocket("127.0.0.2"));
    ASSERT_GE(stranger, 0);
    sockaddr_storage da{};
    socklen_t l = sizeof da;
    getsockname(dest, reinterpret_cast<sockaddr*>(&da), &l);
    Sock c(udpSocket("127.0.0.1"));
    ASSERT_TRUE(sendFramed(c, relay, da, false, {'h', 'i'}));
    std::uint8_t buf[100];
    sockaddr_storage upstream{};
    ASSERT_EQ(recvWithin(dest, buf, sizeof buf, 5000, &upstream), 2);
    sendto(stranger, "spoof", 5, 0, reinterpret_cast<sockaddr*>(&upstream), addressLength(upstream));
    sendto(dest, "real", 4, 0, reinterpret_cast<sockaddr*>(&upstream), addressLength(upstream));
    ParsedHeader h;
    std::vector<std::uint8_t> back;
    ASSERT_TRUE(recvFramed(c, relay, h, back));
    EXPECT_EQ(std::string(back.begin(), back.end()), "real");
    EXPECT_FALSE(recvFramed(c, relay, h, back, 300));
}

TEST_F(RelayUdp, OneAssociationPerClientAndFamily) {
    // Two destinations of one family share the association's upstream
    // socket; another client gets its own.
    Sock d1(udpSocket("127.0.0.1"));
    Sock d2(udpSocket("127.0.0.1"));
    sockaddr_storage a1{}, a2{};
    socklen_t l = sizeof a1;
    getsockname(d1, reinterpret_cast<sockaddr*>(&a1), &l);
    l = sizeof a2;
    getsockname(d2, reinterpret_cast<sockaddr*>(&a2), &l);
    Sock c1(udpSocket("127.0.0.1"));
    Sock c2(udpSocket("127.0.0.1"));
    std::uint8_t buf[16];
    sockaddr_storage f1{}, f2{}, f3{};
    ASSERT_TRUE(sendFramed(c1, relay, a1, false, {'1'}));
    ASSERT_EQ(recvWithin(d1, buf, sizeof buf, 5000, &f1), 1);
    ASSERT_TRUE(sendFramed(c1, relay, a2, false, {'2'}));
    ASSERT_EQ(recvWithin(d2, buf, sizeof buf, 5000, &f2), 1);
    ASSERT_TRUE(sendFramed(c2, relay, a1, false, {'3'}));
    ASSERT_EQ(recvWithin(d1, buf, sizeof buf, 5000, &f3), 1);
    EXPECT_EQ(addressPort(f1), addressPort(f2));
    EXPECT_NE(addressPort(f1), addressPort(f3));
    std::uint32_t ip = 0, count = 0;
    Sock p(udpSocket("127.0.0.1"));
    ASSERT_TRUE(probe(p, relay, ip, count));
    EXPECT_EQ(count, 2u);
}

TEST_F(RelayUdp, ProbeAnswersAddressAndLiveConnectionCount) {
    Sock p(udpSocket("127.0.0.1"));
    std::uint32_t ip = 0, count = 99;
    ASSERT_TRUE(probe(p, relay, ip, count));
    EXPECT_EQ(ip, htonl(INADDR_LOOPBACK));
    EXPECT_EQ(count, 0u);

    // A live TCP relay counts while it is open.
    TcpServer echo("127.0.0.1", TcpServer::Mode::Echo);
    int fd = connectTo(relay.address());
    ASSERT_GE(fd, 0);
    std::vector<std::uint8_t> h = relayHeader(echo.address(), false);
    ASSERT_TRUE(sendAll(fd, h.data(), h.size()));
    ASSERT_TRUE(sendAll(fd, "a", 1));
    char c;
    ASSERT_TRUE(readExact(fd, &c, 1));
    ASSERT_TRUE(probe(p, relay, ip, count));
    EXPECT_EQ(count, 1u);
    close(fd);
    bool back = false;
    for (int i = 0; i < 500 && !back; ++i) {
        ASSERT_TRUE(probe(p, relay, ip, count));
        back = count == 0;
        if (!back) usleep(10000);
    }
    EXPECT_TRUE(back);

    // Probes of another length or kind get no answer.
    sockaddr_storage ra = relay.address();
    std::vector<std::uint8_t> longer = relayHeader(makeAddress("127.0.0.1", relay.port()), false, 5);
    longer.push_back(0);
    sendto(p, longer.data(), longer.size(), 0, reinterpret_cast<sockaddr*>(&ra), addressLength(ra));
    std::vector<std::uint8_t> other = relayHeader(makeAddress("127.0.0.1", relay.port()), false, 4);
    sendto(p, other.data(), other.size(), 0, reinterpret_cast<sockaddr*>(&ra), addressLength(ra));
    std::uint8_t buf[64];
    EXPECT_LT(recvWithin(p, buf, sizeof buf, 300), 0);
}

TEST_F(RelayUdp, GarbageFloodDoesNotStopService) {
    Sock g(udpSocket("127.0.0.1"));
    sockaddr_storage ra = relay.address();
    std::mt19937 rng(1234);
    std::vector<std::uint8_t> junk = randomBytes(65000, 77);
    std::vector<std::uint8_t> good = relayHeader(makeAddress("127.0.0.1", 9), false);
    for (int i = 0; i < 20000; ++i) {
        std::size_t len;
        const std::uint8_t* data = junk.data();
        switch (i % 5) {
            case 0: len = 0; break;
            case 1: len = 31; break;
            case 2: len = rng() % 65000; break;
            case 3:
                // A header with a bad version byte.
                good[4] ^= 0x01;
                data = good.data();
                len = 32;
                break;
            default: len = 32; break;
        }
        sendto(g, data, len, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&ra), addressLength(ra));
        if (i % 5 == 3) good[4] ^= 0x01;
    }
    UdpEcho echo("127.0.0.1");
    Sock c(udpSocket("127.0.0.1"));
    // Datagrams may be lost while the flood drains: retry within a limit.
    bool echoed = false;
    for (int i = 0; i < 50 && !echoed; ++i) {
        ASSERT_TRUE(sendFramed(c, relay, echo.address(), true, {'o', 'k'}));
        ParsedHeader h;
        std::vector<std::uint8_t> back;
        echoed = recvFramed(c, relay, h, back, 200) && back == std::vector<std::uint8_t>{'o', 'k'};
    }
    EXPECT_TRUE(echoed);
    std::uint32_t ip, count;
    EXPECT_TRUE(probe(c, relay, ip, count));
    EXPECT_TRUE(relay.running());
}

TEST(RelayUdpLimits, IdleAssociationsExpireAndTheLimitHolds) {
    RelayProcess relay;
    ASSERT_TRUE(
        relay.start({"--listen", "127.0.0.1:0", "--allow-private", "--quiet", "--udp-timeout", "1", "--max-udp", "3"}));
    UdpEcho echo("127.0.0.1");
    std::vector<int> clients;
    for (int i = 0; i < 5; ++i)
        clients.push_back(udpSocket("127.0.0.1"));
    Sock p(udpSocket("127.0.0.1"));
    std::uint32_t ip, count = 0;
    ParsedHeader h;
    std::vector<std::uint8_t> back;
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(sendFramed(clients[i], relay, echo.address(), false, {'x'}));
        ASSERT_TRUE(recvFramed(clients[i], relay, h, back));
    }
    ASSERT_TRUE(probe(p, relay, ip, count));
    EXPECT_EQ(count, 3u);
    // The table is full: new clients are turned away, known ones served.
    for (int i = 3; i < 5; ++i) {
        ASSERT_TRUE(sendFramed(clients[i], relay, echo.address(), false, {'x'}));
        EXPECT_FALSE(recvFramed(clients[i], relay, h, back, 200));
    }
    ASSERT_TRUE(sendFramed(clients[0], relay, echo.address(), false, {'k'}));
    EXPECT_TRUE(recvFramed(clients[0], relay, h, back));
    bool expired = false;
    for (int i = 0; i < 1000 && !expired; ++i) {
        ASSERT_TRUE(probe(p, relay, ip, count));
        expired = count == 0;
        if (!expired) usleep(10000);
    }
    EXPECT_TRUE(expired);
    // Room again for the clients that were turned away.
    ASSERT_TRUE(sendFramed(clients[4], relay, echo.address(), false, {'y'}));
    EXPECT_TRUE(recvFramed(clients[4], relay, h, back));
    for (int c : clients)
        close(c);
    EXPECT_EQ(relay.stop(), 0);
}

TEST(RelayUdpLimits, OneSourceCannotFillTheAssociationTable) {
    RelayProcess relay;
    ASSERT_TRUE(relay.start(
        {"--listen", "127.0.0.1:0", "--allow-private", "--quiet", "--max-udp", "16", "--max-udp-per-source", "4"}));
    UdpEcho echo("127.0.0.1");
    // One datagram from each of 20 ports of 127.0.0.2, then one from 127.0.0.3.
    std::vector<std::unique_ptr<Sock>> flood;
    for (int i = 0; i < 20; ++i) {
        flood.push_back(std::make_unique<Sock>(udpSocket("127.0.0.2")));
        ASSERT_TRUE(sendFramed(*flood.back(), relay, echo.address(), false, {'f'}));
    }
    Sock other(udpSocket("127.0.0.3"));
    ASSERT_TRUE(sendFramed(other, relay, echo.address(), false, {'o'}));
    ParsedHeader h;
    std::vector<std::uint8_t> back;
    EXPECT_TRUE(recvFramed(other, relay, h, back));
    int served = 0;
    for (auto& s : flood)
        served += recvFramed(*s, relay, h, back, 50) ? 1 : 0;
    EXPECT_EQ(served, 4);
    EXPECT_EQ(relay.stop(), 0);
}

TEST(RelayUdpPolicy, NoAmplificationTowardUnverifiedSources) {
    PrivateNetwork net({"203.0.113.7", "203.0.113.8", "203.0.113.9"});
    ASSERT_TRUE(net.ok()) << "cannot make a network namespace (root needed)";
    UdpEcho amplifier("203.0.113.9", 3000);  // answers anything with 3,000 bytes
    UdpEcho echo("203.0.113.9");
    TcpServer tcpEcho("203.0.113.9", TcpServer::Mode::Echo);
    const std::vector<std::uint8_t> question(26, 'q');  // 58 bytes with the header
    ParsedHeader h;
    std::vector<std::uint8_t> back;
    {
        RelayProcess relay;
        ASSERT_TRUE(relay.start({"--listen", "203.0.113.7:0", "--open", "--allow-private", "--quiet"}));
        Sock c(udpSocket("203.0.113.8"));
        ASSERT_TRUE(sendFramed(c, relay, amplifier.address(), false, question));
        ASSERT_TRUE(sendFramed(c, relay, echo.address(), false, question));
        // The echo's reply, no larger than the request, comes back; the
        // amplifier's (sent first) never does.
        ASSERT_TRUE(recvFramed(c, relay, h, back));
        EXPECT_EQ(back.size(), question.size());
        EXPECT_FALSE(recvFramed(c, relay, h, back, 300));
        EXPECT_EQ(amplifier.received(), 1);
        // A completed TCP exchange from the same address proves it.
        int fd = connectTo(relay.address(), "203.0.113.8");
        ASSERT_GE(fd, 0);
        std::vector<std::uint8_t> hdr = relayHeader(tcpEcho.address(), false);
        char ch = 0;
        EXPECT_TRUE(sendAll(fd, hdr.data(), hdr.size()) && sendAll(fd, "t", 1) && readExact(fd, &ch, 1));
        close(fd);
        ASSERT_TRUE(sendFramed(c, relay, amplifier.address(), false, question));
        ASSERT_TRUE(recvFramed(c, relay, h, back));
        EXPECT_EQ(back.size(), 3000u);
        EXPECT_EQ(relay.stop(), 0);
    }
    {
        // A client inside --allow is trusted from its first datagram.
        RelayProcess relay;
        ASSERT_TRUE(
            relay.start({"--listen", "203.0.113.7:0", "--allow", "203.0.113.8/32", "--allow-private", "--quiet"}));
        Sock c(udpSocket("203.0.113.8"));
        ASSERT_TRUE(sendFramed(c, relay, amplifier.address(), false, question));
        ASSERT_TRUE(recvFramed(c, relay, h, back));
        EXPECT_EQ(back.size(), 3000u);
        EXPECT_EQ(relay.stop(), 0);
    }
}

TEST(RelayUdpPolicy, RefusedDestinationsAndClientsAreDropped) {
    UdpEcho echo("127.0.0.1");
    {
        RelayProcess relay;
        ASSERT_TRUE(relay.start({"--listen", "127.0.0.1:0", "--quiet"}));
        Sock c(udpSocket("127.0.0.1"));
        ASSERT_TRUE(sendFramed(c, relay, echo.address(), false, {'x'}));
        ASSERT_TRUE(sendFramed(c, relay, makeAddress("::ffff:127.0.0.1", addressPort(echo.address())), false, {'x'}));
        ParsedHeader h;
        std::vector<std::uint8_t> back;
        EXPECT_FALSE(recvFramed(c, relay, h, back, 300));
        EXPECT_EQ(echo.received(), 0);
        // Probes are still answered.
        std::uint32_t ip, count;
        EXPECT_TRUE(probe(c, relay, ip, count));
        EXPECT_EQ(relay.stop(), 0);
    }
    {
        RelayProcess relay;
        ASSERT_TRUE(relay.start({"--listen", "127.0.0.1:0", "--allow-private", "--allow", "127.0.0.2/32", "--quiet"}));
        Sock outsider(udpSocket("127.0.0.1"));
        Sock member(udpSocket("127.0.0.2"));
        ParsedHeader h;
        std::vector<std::uint8_t> back;
        ASSERT_TRUE(sendFramed(outsider, relay, echo.address(), false, {'x'}));
        EXPECT_FALSE(recvFramed(outsider, relay, h, back, 300));
        std::uint32_t ip, count;
        EXPECT_FALSE(probe(outsider, relay, ip, count));
        ASSERT_TRUE(sendFramed(member, relay, echo.address(), false, {'m'}));
        ASSERT_TRUE(recvFramed(member, relay, h, back));
        EXPECT_EQ(back, std::vector<std::uint8_t>{'m'});
        EXPECT_EQ(relay.stop(), 0);
    }
}

TEST(RelayUdpWildcard, ProbeReportsTheAddressItReachedAndRepliesComeFromIt) {
    RelayProcess relay;
    ASSERT_TRUE(relay.start({"--listen", "0.0.0.0:0", "--open", "--allow-private", "--quiet"}));
    UdpEcho echo("127.0.0.1");
    for (const char* reached : {"127.0.0.1", "127.0.0.5"}) {
        SCOPED_TRACE(reached);
        Sock c(udpSocket("127.0.0.1"));
        sockaddr_storage ra = makeAddress(reached, relay.port());
        std::vector<std::uint8_t> req = relayHeader(ra, false, 5);
        ASSERT_EQ(sendto(c, req.data(), 32, 0, reinterpret_cast<sockaddr*>(&ra), addressLength(ra)), 32);
        std::uint8_t buf[64];
        sockaddr_storage from{};
        ASSERT_EQ(recvWithin(c, buf, sizeof buf, 5000, &from), 8);
        in_addr want{};
        inet_pton(AF_INET, reached, &want);
        EXPECT_EQ(0, std::memcmp(buf, &want, 4));
        EXPECT_EQ(0, std::memcmp(&reinterpret_cast<sockaddr_in*>(&from)->sin_addr, &want, 4));

        // A relayed reply leaves from the address the client used, too.
        std::vector<std::uint8_t> d = relayHeader(echo.address(), false);
        d.push_back('r');
        ASSERT_EQ(sendto(c, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&ra), addressLength(ra)), 33);
        ASSERT_EQ(recvWithin(c, buf, sizeof buf, 5000, &from), 33);
        EXPECT_EQ(0, std::memcmp(&reinterpret_cast<sockaddr_in*>(&from)->sin_addr, &want, 4));
    }
    EXPECT_EQ(relay.stop(), 0);
}

TEST(RelayUdpWildcard, PublicAddressOverridesTheProbeAnswer) {
    RelayProcess relay;
    ASSERT_TRUE(relay.start({"--listen", "127.0.0.1:0", "--public-address", "198.51.100.7", "--quiet"}));
    Sock c(udpSocket("127.0.0.1"));
    std::uint32_t ip = 0, count = 0;
    ASSERT_TRUE(probe(c, relay, ip, count));
    EXPECT_EQ(ip, inet_addr("198.51.100.7"));
    EXPECT_EQ(relay.stop(), 0);
}
