#include "socketprep.h"

#include "platform/system.h"
#include "realcalls.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace vnxmod {

bool SocketKind::isTcp() const {
    return type == SOCK_STREAM && (protocol == IPPROTO_TCP || protocol == IPPROTO_MPTCP || protocol == 0);
}
bool SocketKind::isUdp() const { return type == SOCK_DGRAM && (protocol == IPPROTO_UDP || protocol == 0); }

bool querySocket(int fd, SocketKind& kind) {
    int saved = errno;
    socklen_t l = sizeof kind.family;
    bool ok = getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &kind.family, &l) == 0 &&
              (kind.family == AF_INET || kind.family == AF_INET6);
    l = sizeof kind.type;
    ok = ok && getsockopt(fd, SOL_SOCKET, SO_TYPE, &kind.type, &l) == 0;
    l = sizeof kind.protocol;
    ok = ok && getsockopt(fd, SOL_SOCKET, SO_PROTOCOL, &kind.protocol, &l) == 0;
    errno = saved;
    return ok;
}

namespace {
// The ephemeral port range, read once (defaults of the kernel otherwise).
std::atomic<int> gLow{0};
std::atomic<int> gHigh{0};

void portRange(int& low, int& high) {
    low = gLow.load(std::memory_order_relaxed);
    high = gHigh.load(std::memory_order_relaxed);
    if (low > 0 && high >= low) return;
    low = 32768;
    high = 60999;
    int fd = open("/proc/sys/net/ipv4/ip_local_port_range", O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        char buf[64] = {0};
        ssize_t n = RealCalls::read(fd, buf, sizeof buf - 1);
        RealCalls::close(fd);
        int a = 0, b = 0;
        if (n > 0 && std::sscanf(buf, "%d %d", &a, &b) == 2 && a > 0 && b >= a && b < 65536) {
            low = a;
            high = b;
        }
    }
    gLow.store(low, std::memory_order_relaxed);
    gHigh.store(high, std::memory_order_relaxed);
}

std::uint32_t nextRandom() {
    static std::atomic<std::uint32_t> state{0};
    std::uint32_t x = state.fetch_add(0x9E3779B9u, std::memory_order_relaxed) ^ (vnxplat::tickCount() * 2654435761u) ^
                      (static_cast<std::uint32_t>(getpid()) << 16);
    x ^= x >> 16;
    x *= 0x7feb352dU;
    x ^= x >> 15;
    x *= 0x846ca68bU;
    x ^= x >> 16;
    return x;
}

// The ports the administrator keeps out of automatic use
// (ip_local_reserved_ports), read once into a bitmap.
std::atomic<int> gReservedState{0};  // 0 unread, 1 reading, 2 ready
std::uint8_t gReserved[65536 / 8];

bool reservedPort(int port) {
    int st = gReservedState.load(std::memory_order_acquire);
    if (st == 0) {
        int expected = 0;
        if (gReservedState.compare_exchange_strong(expected, 1)) {
            int fd = open("/proc/sys/net/ipv4/ip_local_reserved_ports", O_RDONLY | O_CLOEXEC);
            if (fd >= 0) {
                char buf[4096] = {0};
                ssize_t n = RealCalls::read(fd, buf, sizeof buf - 1);
                RealCalls::close(fd);
                for (char* p = buf; n > 0 && *p;) {
                    char* end = nullptr;
                    long a = std::strtol(p, &end, 10);
                    if (end == p) break;
                    long b = a;
                    p = end;
                    if (*p == '-') {
                        b = std::strtol(p + 1, &end, 10);
                        p = end;
                    }
                    for (long i = a; i <= b && i >= 0 && i < 65536; ++i)
                        gReserved[i / 8] |= static_cast<std::uint8_t>(1u << (i % 8));
                    while (*p == ',' || *p == '\n' || *p == ' ')
                        ++p;
                }
            }
            gReservedState.store(2, std::memory_order_release);
        }
        st = gReservedState.load(std::memory_order_acquire);
    }
    // While another thread reads the file, no port counts as reserved.
    return st == 2 && (gReserved[port / 8] & (1u << (port % 8)));
}

socklen_t wildcard(int family, std::uint16_t portNet, sockaddr_storage& ss) {
    std::memset(&ss, 0, sizeof ss);
    if (family == AF_INET6) {
        auto* s6 = reinterpret_cast<sockaddr_in6*>(&ss);
        s6->sin6_family = AF_INET6;
        s6->sin6_port = portNet;
        s6->sin6_addr = in6addr_any;
        return sizeof(sockaddr_in6);
    }
    auto* s4 = reinterpret_cast<sockaddr_in*>(&ss);
    s4->sin_family = AF_INET;
    s4->sin_port = portNet;
    s4->sin_addr.s_addr = htonl(INADDR_ANY);
    return sizeof(sockaddr_in);
}

bool localPortOf(int fd, std::uint16_t& portNet, bool& addressSet) {
    sockaddr_storage ss{};
    socklen_t l = sizeof ss;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &l) != 0) return false;
    if (ss.ss_family == AF_INET) {
        const auto* s4 = reinterpret_cast<const sockaddr_in*>(&ss);
        portNet = s4->sin_port;
        addressSet = s4->sin_addr.s_addr != htonl(INADDR_ANY);
        return true;
    }
    if (ss.ss_family == AF_INET6) {
        const auto* s6 = reinterpret_cast<const sockaddr_in6*>(&ss);
        portNet = s6->sin6_port;
        addressSet = !IN6_IS_ADDR_UNSPECIFIED(&s6->sin6_addr);
        return true;
    }
    return false;
}
}  // namespace

bool ensureLocalPort(int fd, int family, bool stream, std::uint16_t& portNet, bool* boundHere) {
    if (boundHere) *boundHere = false;
    bool addressSet = false;
    if (!localPortOf(fd, portNet, addressSet)) return false;
    if (portNet != 0) return true;
    if (addressSet) {
        // Bound to an address with the port left to connect time
        // (IP_BIND_ADDRESS_NO_PORT): the port cannot be known in advance.
        errno = EADDRNOTAVAIL;
        return false;
    }
    sockaddr_storage ss;
    socklen_t len;
    if (stream) {
        int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        int low, high;
        portRange(low, high);
        const std::uint32_t span = static_cast<std::uint32_t>(high - low + 1);
        for (int attempt = 0; attempt < 64; ++attempt) {
            const int port = low + static_cast<int>(nextRandom() % span);
            if (reservedPort(port)) continue;
            len = wildcard(family, htons(static_cast<std::uint16_t>(port)), ss);
            if (RealCalls::bind(fd, reinterpret_cast<sockaddr*>(&ss), len) == 0) {
                portNet = htons(static_cast<std::uint16_t>(port));
                if (boundHere) *boundHere = true;
                return true;
            }
            if (errno != EADDRINUSE) return false;
        }
        // Crowded range: let the kernel search it.
    }
    len = wildcard(family, 0, ss);
    if (RealCalls::bind(fd, reinterpret_cast<sockaddr*>(&ss), len) != 0) {
        if (errno == EADDRINUSE) errno = EADDRNOTAVAIL;
        return false;
    }
    if (boundHere) *boundHere = true;
    addressSet = false;
    return localPortOf(fd, portNet, addressSet) && portNet != 0;
}

namespace {
struct IntOption {
    int level;
    int name;
};
// Options a program may have set before connecting, copied to a
// replacement socket when they differ from a fresh socket's value.
const IntOption kIntOptions[] = {
    {SOL_SOCKET, SO_KEEPALIVE},
    {SOL_SOCKET, SO_SNDBUF},
    {SOL_SOCKET, SO_RCVBUF},
    {SOL_SOCKET, SO_PRIORITY},
    {SOL_SOCKET, SO_MARK},
    {SOL_SOCKET, SO_OOBINLINE},
    {SOL_SOCKET, SO_REUSEADDR},
    {SOL_SOCKET, SO_REUSEPORT},
    {SOL_SOCKET, SO_RCVLOWAT},
    {SOL_SOCKET, SO_TIMESTAMP},
    {SOL_SOCKET, SO_ZEROCOPY},
    {IPPROTO_TCP, TCP_NODELAY},
    {IPPROTO_TCP, TCP_KEEPIDLE},
    {IPPROTO_TCP, TCP_KEEPINTVL},
    {IPPROTO_TCP, TCP_KEEPCNT},
    {IPPROTO_TCP, TCP_USER_TIMEOUT},
    {IPPROTO_TCP, TCP_CORK},
    {IPPROTO_TCP, TCP_MAXSEG},
    {IPPROTO_TCP, TCP_WINDOW_CLAMP},
    {IPPROTO_TCP, TCP_FASTOPEN_CONNECT},
    {IPPROTO_TCP, TCP_NOTSENT_LOWAT},
    {IPPROTO_TCP, TCP_SYNCNT},
    {IPPROTO_TCP, TCP_QUICKACK},
    {IPPROTO_IP, IP_TOS},
    {IPPROTO_IP, IP_TTL},
    {IPPROTO_IP, IP_FREEBIND},
    {IPPROTO_IP, IP_TRANSPARENT},
    {IPPROTO_IPV6, IPV6_V6ONLY},
    {IPPROTO_IPV6, IPV6_TCLASS},
    {IPPROTO_IPV6, IPV6_UNICAST_HOPS},
};

template <typename T>
void copyOption(int from, int to, int fresh, int level, int name) {
    T have{}, def{};
    socklen_t hl = sizeof have, dl = sizeof def;
    if (getsockopt(from, level, name, &have, &hl) != 0) return;
    if (getsockopt(fresh, level, name, &def, &dl) == 0 && hl == dl && std::memcmp(&have, &def, hl) == 0) return;
    setsockopt(to, level, name, &have, hl);
}
}  // namespace

bool replaceSocket(int fd) {
    const int saved = errno;
    SocketKind kind;
    if (!querySocket(fd, kind)) return false;
    const int statusFlags = fcntl(fd, F_GETFL);
    const int fdFlags = fcntl(fd, F_GETFD);
    int fresh = RealCalls::socket(kind.family, kind.type, kind.protocol);
    int reference = RealCalls::socket(kind.family, kind.type, kind.protocol);
    if (fresh < 0 || reference < 0 || statusFlags < 0 || fdFlags < 0) {
        if (fresh >= 0) RealCalls::close(fresh);
        if (reference >= 0) RealCalls::close(reference);
        errno = saved;
        return false;
    }
    for (const IntOption& o : kIntOptions) {
        if (o.level == IPPROTO_IPV6 && kind.family != AF_INET6) continue;
        int value = 0;
        socklen_t l = sizeof value;
        if (getsockopt(fd, o.level, o.name, &value, &l) != 0) continue;
        if (o.name == SO_SNDBUF || o.name == SO_RCVBUF) {
            // The kernel reports twice the size it was given.
            int def = 0;
            socklen_t dl = sizeof def;
            if (getsockopt(reference, o.level, o.name, &def, &dl) == 0 && def == value) continue;
            value /= 2;
            setsockopt(fresh, o.level, o.name, &value, sizeof value);
            continue;
        }
        copyOption<int>(fd, fresh, reference, o.level, o.name);
    }
    copyOption<linger>(fd, fresh, reference, SOL_SOCKET, SO_LINGER);
    copyOption<timeval>(fd, fresh, reference, SOL_SOCKET, SO_RCVTIMEO);
    copyOption<timeval>(fd, fresh, reference, SOL_SOCKET, SO_SNDTIMEO);
    char congestion[16] = {0}, defCongestion[16] = {0};
    socklen_t cl = sizeof congestion, dcl = sizeof defCongestion;
    if (getsockopt(fd, IPPROTO_TCP, TCP_CONGESTION, congestion, &cl) == 0 &&
        getsockopt(reference, IPPROTO_TCP, TCP_CONGESTION, defCongestion, &dcl) == 0 &&
        std::strncmp(congestion, defCongestion, sizeof congestion) != 0)
        setsockopt(fresh, IPPROTO_TCP, TCP_CONGESTION, congestion, static_cast<socklen_t>(strnlen(congestion, 16)));
    RealCalls::close(reference);
    fcntl(fresh, F_SETFL, statusFlags);
    const bool ok = RealCalls::dup3(fresh, fd, (fdFlags & FD_CLOEXEC) ? O_CLOEXEC : 0) == fd;
    RealCalls::close(fresh);
    errno = saved;
    return ok;
}

void note(const char* fmt, ...) {
    int saved = errno;
    if (getenv("VEILNOX_DEBUG")) {
        char msg[512];
        int n = std::snprintf(msg, sizeof msg, "veilnox-module[%d]: ", static_cast<int>(getpid()));
        if (n < 0 || n >= static_cast<int>(sizeof msg)) n = 0;
        va_list ap;
        va_start(ap, fmt);
        std::vsnprintf(msg + n, sizeof msg - static_cast<std::size_t>(n), fmt, ap);
        va_end(ap);
        vnxplat::debugOutput(msg);
    }
    errno = saved;
}

}  // namespace vnxmod
