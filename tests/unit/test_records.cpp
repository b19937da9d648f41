// Byte layouts, address derivation, payload checksum and endpoint text.
#include "platform/net.h"
#include "records.h"
#include "rendpoint.h"
#include "statusblock.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

using namespace vnx;

namespace {
template <typename T>
std::vector<std::uint8_t> bytesOf(const T& v) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(&v);
    return std::vector<std::uint8_t>(p, p + sizeof v);
}
std::uint16_t le16(const std::vector<std::uint8_t>& b, std::size_t off) { return b[off] | (b[off + 1] << 8); }
std::uint32_t le32(const std::vector<std::uint8_t>& b, std::size_t off) {
    return b[off] | (b[off + 1] << 8) | (b[off + 2] << 16) | (std::uint32_t(b[off + 3]) << 24);
}
}  // namespace

TEST(Layout, ProxyDataFieldsLandAtTheirBytes) {
    static ProxyData d;
    std::memset(&d, 0, sizeof d);
    d.data_mark = 2;
    d.connected = 1;
    d.redirect_dns = 3;
    d.redirect_udp = 4;
    d.redirect_tcp = 5;
    d.debug = 6;
    d.client_window = 0x11223344;
    std::strcpy(d.proxy_ip, "203.0.113.9");
    d.proxy_port = 8443;
    std::strcpy(d.proxy_user, "u");
    std::strcpy(d.proxy_pass, "p");
    d.tcp_port = 9111;
    d.udp_port = 9112;
    d.server_status = 13;
    std::strcpy(d.proxy_protocol, "private");
    d.encrypt_data = 1;
    d.redirect_all_apps = 1;
    d.rule_count = 2;
    d.rules[1].name[0] = u'Z';
    d.rules[1].enabled = 1;
    auto b = bytesOf(d);
    ASSERT_EQ(b.size(), 33276u);
    EXPECT_EQ(b[0], 2);
    EXPECT_EQ(b[1], 1);
    EXPECT_EQ(b[2], 3);
    EXPECT_EQ(b[3], 4);
    EXPECT_EQ(b[4], 5);
    EXPECT_EQ(b[5], 6);
    EXPECT_EQ(le32(b, 8), 0x11223344u);
    EXPECT_EQ(0, std::memcmp(&b[12], "203.0.113.9", 12));
    EXPECT_EQ(le16(b, 68), 8443);
    EXPECT_EQ(b[70], 'u');
    EXPECT_EQ(b[126], 'p');
    EXPECT_EQ(le16(b, 182), 9111);
    EXPECT_EQ(le16(b, 184), 9112);
    EXPECT_EQ(le16(b, 186), 13);
    EXPECT_EQ(0, std::memcmp(&b[188], "private", 8));
    EXPECT_EQ(b[244], 1);
    EXPECT_EQ(b[245], 1);
    EXPECT_EQ(le32(b, 248), 2u);
    const std::size_t rule1 = 252 + 258;
    EXPECT_EQ(le16(b, rule1), u'Z');
    EXPECT_EQ(b[rule1 + 256], 1);
    EXPECT_EQ(b[6], 0);
    EXPECT_EQ(b[7], 0);
}

TEST(Layout, SlotRecordsInNetworkOrder) {
    TcpSlot t;
    std::memset(&t, 0, sizeof t);
    t.owner_pid = 0x01020304;
    t.local_port = htons(50000);
    t.is_ipv6 = 1;
    t.dst_port = htons(443);
    t.dst_addr6[15] = 9;
    t.dst_addr4 = inet_addr("10.0.0.1");
    auto b = bytesOf(t);
    ASSERT_EQ(b.size(), 32u);
    EXPECT_EQ(le32(b, 0), 0x01020304u);
    EXPECT_EQ(b[4], 50000 >> 8);
    EXPECT_EQ(b[5], 50000 & 0xff);
    EXPECT_EQ(b[6], 1);
    EXPECT_EQ(b[8], 443 >> 8);
    EXPECT_EQ(b[9], 443 & 0xff);
    EXPECT_EQ(b[25], 9);
    EXPECT_EQ(b[28], 10);
    EXPECT_EQ(b[31], 1);

    UdpSlot u;
    std::memset(&u, 0, sizeof u);
    u.stamp = 0xA1B2C3D4;
    u.checksum = 0x9D3B;
    u.length = 1200;
    auto c = bytesOf(u);
    ASSERT_EQ(c.size(), 40u);
    EXPECT_EQ(le32(c, 32), 0xA1B2C3D4u);
    EXPECT_EQ(le16(c, 36), 0x9D3B);
    EXPECT_EQ(le16(c, 38), 1200);
}

TEST(Layout, StatusBlockEntries) {
    static ServerStatus s;
    std::memset(&s, 0, sizeof s);
    s.tcp_rate = 1250000;
    s.app_count = 1;
    std::strcpy(s.apps[1].name, "curl");
    s.apps[1].tcp_connections = 7;
    auto b = bytesOf(s);
    ASSERT_EQ(b.size(), 32804u);
    EXPECT_EQ(le32(b, 24), 1250000u);
    EXPECT_EQ(le32(b, 32), 1u);
    EXPECT_EQ(0, std::memcmp(&b[36 + 64], "curl", 5));
    EXPECT_EQ(le32(b, 36 + 64 + 60), 7u);
}

TEST(Derivation, MappedCompatibleAndTrueIpv6) {
    std::uint8_t mapped[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 10, 0, 0, 1};
    EXPECT_EQ(deriveIpv4(mapped), inet_addr("10.0.0.1"));
    std::uint8_t compat[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 192, 0, 2, 7};
    EXPECT_EQ(deriveIpv4(compat), inet_addr("192.0.2.7"));
    std::uint8_t doc[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    EXPECT_EQ(deriveIpv4(doc), 0u);
    // Word 2 neither 0 nor 00 00 ff ff: a real IPv6 address.
    std::uint8_t other[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 0, 0, 1, 2, 3, 4};
    EXPECT_EQ(deriveIpv4(other), 0u);
}

TEST(Checksum, KnownValues) {
    EXPECT_EQ(payloadChecksum("abc", 3), 0x9D3B);
    const std::uint8_t four[] = {1, 2, 3, 4};
    EXPECT_EQ(payloadChecksum(four, 4), 0xF9FB);
    EXPECT_EQ(payloadChecksum(nullptr, 0), 0xFFFF);
    // The largest datagram: 65535 bytes of 0xff must fold without overflow.
    std::vector<std::uint8_t> big(65535, 0xff);
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i + 1 < big.size(); i += 2)
        sum += 0xffff;
    sum += 0xff;
    while (sum >> 16)
        sum = (sum & 0xffff) + (sum >> 16);
    EXPECT_EQ(payloadChecksum(big.data(), big.size()), static_cast<std::uint16_t>(~sum));
}

TEST(StatusCodes, ShortNames) {
    EXPECT_STREQ(serverStatusName(1), "TCP BIND");
    EXPECT_STREQ(serverStatusName(3), "TCP IPV6 Accept");
    EXPECT_STREQ(serverStatusName(14), "UDP IPV6 Read");
    EXPECT_STREQ(serverStatusName(4), "Unkown Error");
    EXPECT_STREQ(serverStatusName(-1), "Unkown Error");
}

TEST(UntrustedRecords, CountsAndTextsAreClamped) {
    static ProxyData d;
    d.rule_count = -5;
    EXPECT_EQ(clampedRuleCount(d), 0);
    d.rule_count = 100000;
    EXPECT_EQ(clampedRuleCount(d), 128);
    static ServerStatus s;
    s.app_count = 99999;
    EXPECT_EQ(clampedAppCount(s), 512);
    s.app_count = -1;
    EXPECT_EQ(clampedAppCount(s), 0);
    // A name field without a terminator is cut at 31 bytes.
    AppStatus a;
    std::memset(a.name, 'x', sizeof a.name);
    EXPECT_EQ(entryName(a).size(), 31u);
    char field[4] = {'a', 'b', 'c', 'd'};
    char out[16];
    copyField(out, sizeof out, field, sizeof field);
    EXPECT_STREQ(out, "abcd");
    copyField(out, 3, field, sizeof field);
    EXPECT_STREQ(out, "ab");
}

TEST(StatusRead, LaterDuplicateWinsAndOnlyCountedEntries) {
    static ServerStatus s;
    std::memset(&s, 0, sizeof s);
    s.app_count = 2;
    std::strcpy(s.apps[0].name, "a.exe");
    s.apps[0].tcp_sent = 1;
    std::strcpy(s.apps[1].name, "a.exe");
    s.apps[1].tcp_sent = 2;
    std::strcpy(s.apps[2].name, "stale");
    auto m = readStatusApps(s);
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(m["a.exe"].tcp_sent, 2u);
}

TEST(Rates, WrappedCountersAndLargeProducts) {
    EXPECT_EQ(ratePerSecond(1000000, 0, 800), 1250000u);
    EXPECT_EQ(ratePerSecond(10000000, 0, 800), 12500000u);
    // The counter wrapped between the two readings.
    EXPECT_EQ(ratePerSecond(500, 0xFFFFFE0Cu, 1000), 1000u);
    // x * 1000 does not fit 32 bits.
    EXPECT_EQ(ratePerSecond(4000000000u, 0, 4000), 1000000000u);
    EXPECT_EQ(ratePerSecond(5, 0, 0), 0u);
}

TEST(Endpoint, TextForm) {
    REndpoint e;
    e.ipv4 = inet_addr("127.0.0.1");
    e.port = htons(50000);
    EXPECT_EQ(e.text(), "127.0.0.1,0.0.0.0,50000");
    REndpoint v6;
    v6.ipv6[15] = 1;
    v6.port = htons(53);
    EXPECT_EQ(v6.text(), "0.0.0.0,0.0.0.1,53");
    REndpoint neg;
    std::memset(neg.ipv6, 0xff, 4);
    neg.ipv6[4] = 0x20;
    EXPECT_EQ(neg.text(), "0.0.0.0,-1.536870912.0.0,0");
}

TEST(Endpoint, SockaddrRoundTrip) {
    REndpoint e;
    e.ipv4 = inet_addr("192.0.2.1");
    e.port = htons(80);
    sockaddr_storage ss;
    EXPECT_EQ(e.toSockaddr(ss), static_cast<int>(sizeof(sockaddr_in)));
    EXPECT_EQ(REndpoint::fromSockaddr(reinterpret_cast<sockaddr*>(&ss)), e);
    REndpoint v6;
    v6.ipv6[0] = 0x20;
    v6.ipv6[15] = 5;
    v6.port = htons(443);
    EXPECT_EQ(v6.toSockaddr(ss), static_cast<int>(sizeof(sockaddr_in6)));
    EXPECT_EQ(REndpoint::fromSockaddr(reinterpret_cast<sockaddr*>(&ss)), v6);
    EXPECT_EQ(parseIpv4("not an address"), 0xFFFFFFFFu);
}
