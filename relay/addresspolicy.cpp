#include "addresspolicy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdlib>
#include <cstring>

namespace vnxrelay {

namespace {

const std::uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};

bool isMapped(const std::uint8_t* a) { return std::memcmp(a, kMappedPrefix, 12) == 0; }

bool prefixMatches(const std::uint8_t* a, const std::uint8_t* b, unsigned bits) {
    unsigned whole = bits / 8;
    if (std::memcmp(a, b, whole) != 0) return false;
    unsigned rest = bits % 8;
    if (rest == 0) return true;
    std::uint8_t m = static_cast<std::uint8_t>(0xff << (8 - rest));
    return (a[whole] & m) == (b[whole] & m);
}

// v: IPv4 address in host order.
bool isInternalIpv4(std::uint32_t v) {
    struct Range {
        std::uint32_t net;
        unsigned bits;
    };
    static const Range kRanges[] = {
        {0x00000000u, 8},   // "this network", includes 0.0.0.0
        {0x0A000000u, 8},   // 10/8
        {0x64400000u, 10},  // 100.64/10 shared address space
        {0x7F000000u, 8},   // loopback
        {0xA9FE0000u, 16},  // link-local
        {0xAC100000u, 12},  // 172.16/12
        {0xC0A80000u, 16},  // 192.168/16
        {0xE0000000u, 4},   // multicast
        {0xF0000000u, 4},   // reserved and broadcast
    };
    for (const Range& r : kRanges) {
        std::uint32_t mask = r.bits == 0 ? 0 : ~std::uint32_t(0) << (32 - r.bits);
        if ((v & mask) == r.net) return true;
    }
    return false;
}

std::uint32_t readIpv4(const std::uint8_t* p) {
    return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) | p[3];
}

bool parseUnsigned(const std::string& s, unsigned max, unsigned& out) {
    if (s.empty() || s.size() > 3) return false;
    unsigned v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + unsigned(c - '0');
    }
    if (v > max) return false;
    out = v;
    return true;
}

}  // namespace

bool parseCidr(const std::string& text, Cidr& out) {
    std::string addr = text;
    std::string bits;
    std::size_t slash = text.find('/');
    if (slash != std::string::npos) {
        addr = text.substr(0, slash);
        bits = text.substr(slash + 1);
        if (bits.empty()) return false;
    }
    Cidr c;
    if (inet_pton(AF_INET, addr.c_str(), c.addr) == 1) {
        c.family = AF_INET;
        c.prefix = 32;
        if (!bits.empty() && !parseUnsigned(bits, 32, c.prefix)) return false;
    } else if (inet_pton(AF_INET6, addr.c_str(), c.addr) == 1) {
        c.family = AF_INET6;
        c.prefix = 128;
        if (!bits.empty() && !parseUnsigned(bits, 128, c.prefix)) return false;
        if (isMapped(c.addr) && c.prefix >= 96) {
            std::memmove(c.addr, c.addr + 12, 4);
            std::memset(c.addr + 4, 0, 12);
            c.family = AF_INET;
            c.prefix -= 96;
        }
    } else {
        return false;
    }
    out = c;
    return true;
}

bool plainAddress(const sockaddr* sa, PlainAddress& out) {
    if (!sa) return false;
    out = PlainAddress();
    if (sa->sa_family == AF_INET) {
        const auto* s4 = reinterpret_cast<const sockaddr_in*>(sa);
        out.family = AF_INET;
        std::memcpy(out.addr, &s4->sin_addr, 4);
        return true;
    }
    if (sa->sa_family == AF_INET6) {
        const auto* s6 = reinterpret_cast<const sockaddr_in6*>(sa);
        const auto* a = reinterpret_cast<const std::uint8_t*>(&s6->sin6_addr);
        if (isMapped(a)) {
            out.family = AF_INET;
            std::memcpy(out.addr, a + 12, 4);
        } else {
            out.family = AF_INET6;
            std::memcpy(out.addr, a, 16);
        }
        return true;
    }
    return false;
}

bool cidrContains(const Cidr& c, const PlainAddress& a) {
    if (c.family != a.family) return false;
    return prefixMatches(c.addr, a.addr, c.prefix);
}

bool isInternalAddress(const PlainAddress& a) {
    if (a.family == AF_INET) return isInternalIpv4(readIpv4(a.addr));
    if (a.family != AF_INET6) return true;
    const std::uint8_t* p = a.addr;
    static const std::uint8_t kZero[12] = {};
    if (std::memcmp(p, kZero, 12) == 0) return true;  // ::, ::1, IPv4-compatible
    if (isMapped(p)) return isInternalIpv4(readIpv4(p + 12));
    if ((p[0] & 0xfe) == 0xfc) return true;                  // fc00::/7 unique local
    if (p[0] == 0xfe && (p[1] & 0xc0) == 0x80) return true;  // fe80::/10 link-local
    if (p[0] == 0xfe && (p[1] & 0xc0) == 0xc0) return true;  // fec0::/10 site-local
    if (p[0] == 0xff) return true;                           // multicast
    static const std::uint8_t kNat64[12] = {0x00, 0x64, 0xff, 0x9b, 0, 0, 0, 0, 0, 0, 0, 0};
    if (std::memcmp(p, kNat64, 12) == 0) return isInternalIpv4(readIpv4(p + 12));
    if (p[0] == 0x20 && p[1] == 0x02) return isInternalIpv4(readIpv4(p + 2));  // 6to4
    return false;
}

AddressPolicy::AddressPolicy(std::vector<Cidr> allow, bool allowPrivate)
    : allow_(std::move(allow)), allowPrivate_(allowPrivate) {}

bool AddressPolicy::clientAllowed(const sockaddr* client) const {
    if (allow_.empty()) return true;
    PlainAddress a;
    if (!plainAddress(client, a)) return false;
    for (const Cidr& c : allow_)
        if (cidrContains(c, a)) return true;
    return false;
}

bool AddressPolicy::destinationAllowed(const sockaddr* dest) const {
    PlainAddress a;
    if (!plainAddress(dest, a)) return false;
    if (allowPrivate_) return true;
    return !isInternalAddress(a) && !isHostAddress(a);
}

bool AddressPolicy::isHostAddress(const PlainAddress& a) const {
    const std::size_t len = a.family == AF_INET ? 4 : 16;
    for (const PlainAddress& h : host_)
        if (h.family == a.family && std::memcmp(h.addr, a.addr, len) == 0) return true;
    return false;
}

}  // namespace vnxrelay
