#include "sockaddrs.h"

#include <cstring>

namespace vnxmod {

namespace {
bool isMapped(const std::uint8_t* a) {
    static const std::uint8_t kPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    return std::memcmp(a, kPrefix, 12) == 0;
}
}  // namespace

bool endpointFrom(const sockaddr* sa, socklen_t len, vnx::REndpoint& out) {
    out = vnx::REndpoint();
    if (!sa || len < static_cast<socklen_t>(sizeof sa->sa_family)) return false;
    if (sa->sa_family == AF_INET) {
        if (len < static_cast<socklen_t>(sizeof(sockaddr_in))) return false;
        sockaddr_in s4;
        std::memcpy(&s4, sa, sizeof s4);
        out.ipv4 = s4.sin_addr.s_addr;
        out.port = s4.sin_port;
        return true;
    }
    if (sa->sa_family == AF_INET6) {
        // The kernel accepts the 24-byte form without sin6_scope_id.
        if (len < 24) return false;
        sockaddr_in6 s6{};
        std::memcpy(&s6, sa, len < static_cast<socklen_t>(sizeof s6) ? len : sizeof s6);
        const auto* a = reinterpret_cast<const std::uint8_t*>(&s6.sin6_addr);
        if (isMapped(a)) {
            std::memcpy(&out.ipv4, a + 12, 4);
        } else {
            std::memcpy(out.ipv6, a, 16);
        }
        out.port = s6.sin6_port;
        return true;
    }
    return false;
}

bool isLocalDestination(const vnx::REndpoint& e) {
    if (e.ipv4 != 0) return (ntohl(e.ipv4) >> 24) == 127;
    static const std::uint8_t kLoop[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    static const std::uint8_t kAny[16] = {};
    // ipv4 == 0 covers 0.0.0.0 too, which arrives here as an all-zero endpoint.
    return std::memcmp(e.ipv6, kLoop, 16) == 0 || std::memcmp(e.ipv6, kAny, 16) == 0;
}

bool isDnsDestination(const vnx::REndpoint& e) { return e.port == htons(53); }

socklen_t serverAddress(bool viaIpv6, std::uint16_t portHost, sockaddr_storage& out) {
    std::memset(&out, 0, sizeof out);
    if (viaIpv6) {
        auto* s6 = reinterpret_cast<sockaddr_in6*>(&out);
        s6->sin6_family = AF_INET6;
        s6->sin6_port = htons(portHost);
        s6->sin6_addr = in6addr_loopback;
        return sizeof(sockaddr_in6);
    }
    auto* s4 = reinterpret_cast<sockaddr_in*>(&out);
    s4->sin_family = AF_INET;
    s4->sin_port = htons(portHost);
    s4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return sizeof(sockaddr_in);
}

bool loopbackSource(const sockaddr_storage& from, std::uint16_t& portNet, bool& viaIpv6) {
    if (from.ss_family == AF_INET) {
        const auto* s4 = reinterpret_cast<const sockaddr_in*>(&from);
        if ((ntohl(s4->sin_addr.s_addr) >> 24) != 127) return false;
        portNet = s4->sin_port;
        viaIpv6 = false;
        return true;
    }
    if (from.ss_family == AF_INET6) {
        const auto* s6 = reinterpret_cast<const sockaddr_in6*>(&from);
        const auto* a = reinterpret_cast<const std::uint8_t*>(&s6->sin6_addr);
        if (isMapped(a) && a[12] == 127) {
            portNet = s6->sin6_port;
            viaIpv6 = false;
            return true;
        }
        if (IN6_IS_ADDR_LOOPBACK(&s6->sin6_addr)) {
            portNet = s6->sin6_port;
            viaIpv6 = true;
            return true;
        }
    }
    return false;
}

void reportRaw(const void* stored, socklen_t storedLen, sockaddr* out, socklen_t* len) {
    if (!out || !len) return;
    socklen_t n = *len < storedLen ? *len : storedLen;
    std::memcpy(out, stored, n);
    *len = storedLen;
}

void reportAddress(const vnx::REndpoint& e, int family, sockaddr* out, socklen_t* len) {
    if (!out || !len) return;
    if (family == AF_INET && e.ipv4 != 0) {
        sockaddr_in s4{};
        s4.sin_family = AF_INET;
        s4.sin_port = e.port;
        s4.sin_addr.s_addr = e.ipv4;
        reportRaw(&s4, sizeof s4, out, len);
        return;
    }
    sockaddr_in6 s6{};
    s6.sin6_family = AF_INET6;
    s6.sin6_port = e.port;
    auto* a = reinterpret_cast<std::uint8_t*>(&s6.sin6_addr);
    if (e.ipv4 != 0) {
        a[10] = a[11] = 0xff;
        std::memcpy(a + 12, &e.ipv4, 4);
    } else {
        std::memcpy(a, e.ipv6, 16);
    }
    reportRaw(&s6, sizeof s6, out, len);
}

}  // namespace vnxmod
