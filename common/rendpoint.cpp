#include "rendpoint.h"

#include "platform/net.h"

#include <cstdio>

namespace vnx {

std::string ipv4Text(std::uint32_t ipv4) {
    const auto* b = reinterpret_cast<const std::uint8_t*>(&ipv4);
    char buf[16];
    std::snprintf(buf, sizeof buf, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
    return buf;
}

void REndpoint::appendText(std::string& out) const {
    const auto* b = reinterpret_cast<const std::uint8_t*>(&ipv4);
    std::int32_t w[4];
    for (int i = 0; i < 4; ++i) {
        std::uint32_t v = (std::uint32_t(ipv6[i * 4]) << 24) | (std::uint32_t(ipv6[i * 4 + 1]) << 16) |
                          (std::uint32_t(ipv6[i * 4 + 2]) << 8) | std::uint32_t(ipv6[i * 4 + 3]);
        std::memcpy(&w[i], &v, 4);
    }
    char buf[96];
    std::snprintf(buf, sizeof buf, "%u.%u.%u.%u,%d.%d.%d.%d,%u", b[0], b[1], b[2], b[3], w[0], w[1], w[2], w[3],
                  unsigned(ntohs(port)));
    out += buf;
}

std::string REndpoint::text() const {
    std::string s;
    appendText(s);
    return s;
}

int REndpoint::toSockaddr(sockaddr_storage& ss) const {
    std::memset(&ss, 0, sizeof ss);
    if (ipv4 != 0) {
        auto* sa = reinterpret_cast<sockaddr_in*>(&ss);
        sa->sin_family = AF_INET;
        sa->sin_port = port;
        sa->sin_addr.s_addr = ipv4;
        return sizeof(sockaddr_in);
    }
    auto* sa = reinterpret_cast<sockaddr_in6*>(&ss);
    sa->sin6_family = AF_INET6;
    sa->sin6_port = port;
    std::memcpy(&sa->sin6_addr, ipv6, 16);
    return sizeof(sockaddr_in6);
}

REndpoint REndpoint::fromSockaddr(const sockaddr* sa) {
    REndpoint e;
    if (!sa) return e;
    if (sa->sa_family == AF_INET) {
        const auto* s4 = reinterpret_cast<const sockaddr_in*>(sa);
        e.ipv4 = s4->sin_addr.s_addr;
        e.port = s4->sin_port;
    } else if (sa->sa_family == AF_INET6) {
        const auto* s6 = reinterpret_cast<const sockaddr_in6*>(sa);
        std::memcpy(e.ipv6, &s6->sin6_addr, 16);
        e.port = s6->sin6_port;
    }
    return e;
}

std::uint32_t parseIpv4(const char* text) { return inet_addr(text); }

}  // namespace vnx
