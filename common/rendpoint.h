#pragma once
// One IPv4 or IPv6 endpoint as a plain value. Addresses and port are kept in
// network byte order; it is IPv4 when ipv4 is non-zero.
#include <cstdint>
#include <cstring>
#include <string>

struct sockaddr;
struct sockaddr_storage;

namespace vnx {

struct REndpoint {
    std::uint32_t ipv4 = 0;      // network order, 0 for IPv6
    std::uint8_t ipv6[16] = {};  // network order, zero for IPv4
    std::uint16_t port = 0;      // network order

    bool isIpv4() const { return ipv4 != 0; }
    bool operator==(const REndpoint& o) const {
        return ipv4 == o.ipv4 && port == o.port && std::memcmp(ipv6, o.ipv6, 16) == 0;
    }

    // "a.b.c.d,w0.w1.w2.w3,port": the IPv4 address as inet_ntoa prints it,
    // the IPv6 address as four signed 32-bit numbers (each 4-byte group read
    // in network order), the port in decimal host order.
    std::string text() const;
    void appendText(std::string& out) const;

    // Fills a sockaddr_in (IPv4 when ipv4 != 0 or forceV4) or sockaddr_in6.
    // Returns its length.
    int toSockaddr(sockaddr_storage& sa) const;
    // From a peer address; an IPv6 socket's IPv4 peer fills ipv4 only when
    // the address family is AF_INET.
    static REndpoint fromSockaddr(const sockaddr* sa);
};

// Dotted text of a network-order IPv4 address.
std::string ipv4Text(std::uint32_t ipv4);
// inet_addr: dotted text to a network-order address; 0xFFFFFFFF (INADDR_NONE)
// when it does not convert.
std::uint32_t parseIpv4(const char* text);

}  // namespace vnx
