// Relay header wire bytes, parsing and masking; relay keys and server links
// as users paste them.
#include "hopkey.h"
#include "platform/net.h"
#include "relayheader.h"
#include "serverlink.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

using namespace vnx;

TEST(RelayHeader, WireBytesBeforeMasking) {
    RRelayHeader h;
    h.masked = true;
    h.ipv4 = inet_addr("198.51.100.20");
    h.port = htons(8080);
    std::uint8_t wire[32];
    ASSERT_EQ(buildRelayHeader(h, wire), 32u);
    std::uint8_t plain[32];
    std::memcpy(plain, wire, 32);
    maskBuffer(plain, 32);
    EXPECT_EQ(0, std::memcmp(plain, "umbv", 4));
    EXPECT_EQ(plain[4], '2');
    EXPECT_EQ(plain[5], 1);
    EXPECT_EQ(plain[6], 0);
    EXPECT_EQ(plain[7], 0);
    EXPECT_EQ(0, std::memcmp(plain + 8, &h.ipv4, 4));
    for (int i = 12; i < 28; ++i)
        EXPECT_EQ(plain[i], 0) << i;
    EXPECT_EQ(plain[28], 8080 >> 8);
    EXPECT_EQ(plain[29], 8080 & 0xff);
    EXPECT_EQ(plain[30], 0);
    EXPECT_EQ(plain[31], 0);
    // On the wire every header byte is masked.
    EXPECT_EQ(wire[0], 'u' ^ 0x5D);
}

TEST(RelayHeader, ParseRoundTripIpv6AndPayload) {
    RRelayHeader h;
    h.kind = kRelayKindProbe;
    h.ipv6[0] = 0x20;
    h.ipv6[1] = 0x01;
    h.ipv6[15] = 1;
    h.port = htons(53);
    std::vector<std::uint8_t> dgram(32 + 5);
    buildRelayHeader(h, dgram.data());
    std::memcpy(dgram.data() + 32, "hello", 5);
    std::vector<std::uint8_t> before = dgram;
    RRelayHeader p;
    ASSERT_TRUE(parseRelayHeader(dgram.data(), dgram.size(), p));
    EXPECT_EQ(dgram, before);  // the buffer is not changed
    EXPECT_EQ(p.kind, kRelayKindProbe);
    EXPECT_EQ(p.ipv4, 0u);
    EXPECT_EQ(0, std::memcmp(p.ipv6, h.ipv6, 16));
    EXPECT_EQ(p.port, htons(53));
    EXPECT_FALSE(p.masked);
    EXPECT_EQ(p.payload, dgram.data() + 32);
    EXPECT_EQ(p.payloadLength, 5u);
    // A bare header is a valid datagram with an empty payload.
    ASSERT_TRUE(parseRelayHeader(dgram.data(), 32, p));
    EXPECT_EQ(p.payloadLength, 0u);
}

TEST(RelayHeader, RejectsShortAndForeignData) {
    std::uint8_t wire[32];
    RRelayHeader h;
    buildRelayHeader(h, wire);
    RRelayHeader p;
    EXPECT_FALSE(parseRelayHeader(wire, 31, p));
    EXPECT_FALSE(parseRelayHeader(nullptr, 32, p));
    std::uint8_t bad[32];
    std::memcpy(bad, wire, 32);
    bad[4] ^= 1;  // version
    EXPECT_FALSE(parseRelayHeader(bad, 32, p));
    std::memcpy(bad, wire, 32);
    bad[0] ^= 1;  // magic
    EXPECT_FALSE(parseRelayHeader(bad, 32, p));
    std::uint8_t unmasked[32] = {'u', 'm', 'b', 'v', '2'};
    EXPECT_FALSE(parseRelayHeader(unmasked, 32, p));
}

TEST(Mask, InverseAnySplitAndEmpty) {
    std::vector<std::uint8_t> data(1000);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<std::uint8_t>(i * 7);
    std::vector<std::uint8_t> whole = data;
    maskBuffer(whole.data(), whole.size());
    for (std::size_t i = 0; i < data.size(); ++i)
        ASSERT_EQ(whole[i], data[i] ^ 0x5D);
    // Masking in odd-sized pieces gives the same bytes.
    std::vector<std::uint8_t> pieces = data;
    std::size_t at = 0;
    for (std::size_t step : {1, 3, 7, 13, 64, 9}) {
        while (at + step <= pieces.size()) {
            maskBuffer(pieces.data() + at, step);
            at += step;
            if (at > 600) break;
        }
    }
    maskBuffer(pieces.data() + at, pieces.size() - at);
    EXPECT_EQ(pieces, whole);
    maskBuffer(whole.data(), whole.size());
    EXPECT_EQ(whole, data);
    EXPECT_EQ(maskBuffer(nullptr, 0), 0u);
}

// ---- keys and links as users paste them ------------------------------------

TEST(HopKeyText, RoundTripsAndRefusesDamagedText) {
    std::uint8_t key[kHopKeySize];
    for (std::size_t i = 0; i < kHopKeySize; ++i)
        key[i] = static_cast<std::uint8_t>(i * 37 + 250);
    const std::string text = encodeHopKey(key);
    ASSERT_EQ(text.size(), kHopKeyTextSize);
    std::uint8_t back[kHopKeySize] = {};
    ASSERT_TRUE(decodeHopKey(" " + text + "\r\n", back));
    EXPECT_EQ(0, std::memcmp(key, back, kHopKeySize));
    const std::string bad[] = {
        "",
        text.substr(1),
        text + "A",
        text.substr(0, 42) + "=",
        text.substr(0, 42) + "+",
        text.substr(0, 20) + " " + text.substr(21),
    };
    for (const std::string& b : bad) {
        SCOPED_TRACE(b);
        EXPECT_FALSE(decodeHopKey(b, back));
    }
    // One key has one text: the two bits past the key in the last character
    // must be zero.
    std::uint8_t zero[kHopKeySize] = {};
    std::string z = encodeHopKey(zero);
    EXPECT_EQ(z, std::string(43, 'A'));
    z.back() = 'B';
    EXPECT_FALSE(decodeHopKey(z, back));
}

TEST(ServerLinkText, ParsesWhatIsFormattedAndExplainsWhatIsNot) {
    ServerLink link;
    link.ipv4 = "203.0.113.7";
    link.port = 9200;
    link.hasKey = true;
    for (std::size_t i = 0; i < kHopKeySize; ++i)
        link.key[i] = static_cast<std::uint8_t>(i);
    link.tag = "DE";
    link.country = "Côte d'Ivoire & co";
    link.city = "Frankfurt am Main";
    const std::string text = formatServerLink(link);
    EXPECT_EQ(text.find(' '), std::string::npos) << text;
    ServerLink parsed;
    std::string error;
    ASSERT_TRUE(parseServerLink("  " + text + "\n", parsed, error)) << error;
    EXPECT_EQ(parsed.ipv4, link.ipv4);
    EXPECT_EQ(parsed.port, link.port);
    EXPECT_TRUE(parsed.hasKey);
    EXPECT_EQ(0, std::memcmp(parsed.key, link.key, kHopKeySize));
    EXPECT_EQ(parsed.country, link.country);
    EXPECT_EQ(parsed.city, link.city);
    EXPECT_EQ(parsed.tag, link.tag);
    ASSERT_TRUE(parseServerLink("veilnox://198.51.100.1:1/", parsed, error));
    EXPECT_FALSE(parsed.hasKey);

    const std::string key = encodeHopKey(link.key);
    const std::pair<std::string, const char*> bad[] = {
        {"https://203.0.113.7:9200", "starts with veilnox://"},
        {"veilnox://" + key.substr(1) + "@203.0.113.7:9200", "key"},
        {"veilnox://203.0.113.7", "no port"},
        {"veilnox://203.0.113.7:0", "port"},
        {"veilnox://203.0.113.7:65536", "port"},
        {"veilnox://203.0.113.7:92a0", "port"},
        {"veilnox://example.org:9200", "IPv4"},
        {"veilnox://203.0.113.07:9200", "IPv4"},
        {"veilnox://203.0.113.256:9200", "IPv4"},
        {"veilnox://203.0.113.7:9200?city=a%0Ab", "city"},
        {"veilnox://203.0.113.7:9200?tag=%4", "tag"},
    };
    for (const auto& b : bad) {
        SCOPED_TRACE(b.first);
        EXPECT_FALSE(parseServerLink(b.first, parsed, error));
        EXPECT_NE(error.find(b.second), std::string::npos) << error;
    }
}
