// The functions the module interposes (the only symbols it exports). Each
// one decides quickly whether the call concerns a diverted socket or name;
// everything else goes straight to the C library with errno untouched.
#include "fdtable.h"
#include "policy.h"
#include "realcalls.h"
#include "resolver.h"
#include "sockaddrs.h"
#include "socketprep.h"
#include "tcpdivert.h"
#include "udpdivert.h"

#include "dnsupstream.h"

#include <netdb.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>

#define VNX_EXPORT extern "C" __attribute__((visibility("default")))

using namespace vnxmod;

namespace {

bool anyDiverted(const Verdict& v) { return v.tcp || v.udp || v.dns; }

void forgetPeer(int fd) {
    FdInfo info;
    if (FdTable::get(fd, info) && info.virtualPeer) {
        info.virtualPeer = false;
        FdTable::set(fd, info);
    }
}

// A DNS query for a resolver on this machine (a caching stub such as
// 127.0.0.53) goes to the stub's upstream resolver instead, through the
// local server: the stub would ask from the user's own address.
bool isLocalResolverQuery(const vnx::REndpoint& dst) { return isDnsDestination(dst) && isLocalDestination(dst); }

// The stub's upstream; false when none is known (the query must then fail).
bool stubUpstream(vnx::REndpoint& up) {
    const int saved = errno;
    const bool known = vnx::chooseDnsUpstream(up);
    errno = saved;
    return known;
}

void rememberStub(int fd, const vnx::REndpoint& stub, const vnx::REndpoint& up) {
    FdInfo info;
    if (!FdTable::get(fd, info) || info.kind != FdKind::Udp) return;
    if (info.stub == stub && info.stubUpstream == up) return;
    info.stub = stub;
    info.stubUpstream = up;
    FdTable::set(fd, info);
}

bool samePeer(const FdInfo& info, const sockaddr* addr, socklen_t len) {
    const socklen_t n = len < static_cast<socklen_t>(sizeof info.peer) ? len : sizeof info.peer;
    return n == info.peerLen && std::memcmp(&info.peer, addr, n) == 0;
}

// Sends one message through the local server when it is to be diverted.
// false: not ours, errno untouched; the caller does the real call.
// Every diverting path sets errno itself (UdpDivert::send, TcpDivert).
bool divertSendImpl(int fd, const msghdr& m, int flags, ssize_t& r) {
    const FdKind kind = FdTable::kind(fd);
    const auto* name = static_cast<const sockaddr*>(m.msg_name);
    socklen_t nameLen = m.msg_namelen;
    sockaddr_in asInet;
    if (name && m.msg_namelen >= static_cast<socklen_t>(sizeof(sa_family_t)) && name->sa_family == AF_UNSPEC &&
        kind != FdKind::Tcp) {
        // The kernel reads an AF_UNSPEC address as IPv4 on an IPv4 datagram
        // socket, and as no address at all (the connected peer) on an IPv6
        // one: so does the module.
        SocketKind sk;
        if (!querySocket(fd, sk) || !sk.isUdp()) return false;
        if (sk.family == AF_INET6) {
            name = nullptr;
            nameLen = 0;
        } else {
            if (m.msg_namelen < static_cast<socklen_t>(sizeof asInet)) return false;  // the kernel's EINVAL
            std::memcpy(&asInet, name, sizeof asInet);
            asInet.sin_family = AF_INET;
            name = reinterpret_cast<const sockaddr*>(&asInet);
            nameLen = sizeof asInet;
        }
    }
    if (!name || nameLen == 0) {
        if (kind != FdKind::Udp) return false;
        FdInfo info;
        if (!FdTable::get(fd, info) || !info.virtualPeer) return false;
        vnx::REndpoint dst;
        endpointFrom(reinterpret_cast<const sockaddr*>(&info.peer), info.peerLen, dst);
        const Verdict v = Policy::current();
        if (!(isDnsDestination(dst) ? v.dns : v.udp)) {
            // Diversion has ended: the socket talks to its peer directly
            // from now on, as the program asked.
            info.virtualPeer = false;
            FdTable::set(fd, info);
            RealCalls::connect(fd, reinterpret_cast<const sockaddr*>(&info.peer), info.peerLen);
            return false;
        }
        // A peer that is a local stub: sent to its upstream (dst becomes it).
        if (isLocalResolverQuery(dst) && !stubUpstream(dst)) {
            r = -1;
            errno = ENETUNREACH;
            return true;
        }
        r = UdpDivert::send(fd, info.family, dst, m, flags, v);
        return true;
    }
    if (kind == FdKind::Tcp) return false;
    vnx::REndpoint dst;
    if (!endpointFrom(name, nameLen, dst)) return false;
    if (isLocalDestination(dst)) {
        if (!isLocalResolverQuery(dst)) return false;
        const Verdict v = Policy::current();
        SocketKind sk;
        if (!v.dns || !querySocket(fd, sk) || !sk.isUdp()) return false;
        vnx::REndpoint up;
        if (!stubUpstream(up)) {
            r = -1;
            errno = ENETUNREACH;
            return true;
        }
        r = UdpDivert::send(fd, sk.family, up, m, flags, v);
        if (r >= 0) rememberStub(fd, dst, up);
        return true;
    }
    const Verdict v = Policy::current();
    if (!anyDiverted(v)) return false;
    SocketKind sk;
    FdInfo info;
    if (kind == FdKind::Udp && FdTable::get(fd, info)) {
        sk.family = info.family;
        sk.type = SOCK_DGRAM;
        sk.protocol = IPPROTO_UDP;
    } else if (!querySocket(fd, sk)) {
        return false;
    }
    if (sk.isUdp()) {
        if (!(isDnsDestination(dst) ? v.dns : v.udp)) return false;
        if (sk.family == AF_INET && name->sa_family == AF_INET6) return false;  // the kernel's error
        r = UdpDivert::send(fd, sk.family, dst, m, flags, v);
        return true;
    }
    if (sk.isTcp() && (flags & MSG_FASTOPEN) && v.tcp) {
        // A fast-open send connects: divert that connection.
        if (TcpDivert::connect(fd, sk.family, dst, name, nameLen, v) != 0) {
            r = -1;
            return true;
        }
        msghdr plain = m;
        plain.msg_name = nullptr;
        plain.msg_namelen = 0;
        r = RealCalls::sendmsg(fd, &plain, flags & ~MSG_FASTOPEN);
        return true;
    }
    return false;
}

bool divertSend(int fd, const msghdr& m, int flags, ssize_t& r) {
    const int saved = errno;
    const bool handled = divertSendImpl(fd, m, flags, r);
    // Not ours: the real call sees the program's errno. Sent: errno is
    // left as the program had it, as a successful send leaves it.
    if (!handled || r >= 0) errno = saved;
    return handled;
}

ssize_t receiveFrom(int fd, void* buf, size_t len, int flags, sockaddr* from, socklen_t* fromLen, bool& handled) {
    iovec iov{buf, len};
    msghdr m{};
    m.msg_iov = &iov;
    m.msg_iovlen = 1;
    if (from && fromLen) {
        m.msg_name = from;
        m.msg_namelen = *fromLen;
    }
    ssize_t r = UdpDivert::receive(fd, &m, flags, handled);
    if (handled && r >= 0 && from && fromLen) *fromLen = m.msg_namelen;
    return r;
}

bool namesDiverted(Verdict& v) {
    v = Policy::current();
    return v.dns && Resolver::divertsNames(v);
}

struct hostent gHost;
alignas(16) char gHostBuffer[2048];

}  // namespace

VNX_EXPORT int socket(int domain, int type, int protocol) {
    int fd = RealCalls::socket(domain, type, protocol);
    if (fd >= 0) FdTable::clear(fd);
    return fd;
}

VNX_EXPORT int accept(int fd, sockaddr* addr, socklen_t* len) {
    int r = RealCalls::accept(fd, addr, len);
    if (r >= 0) FdTable::clear(r);
    return r;
}

VNX_EXPORT int accept4(int fd, sockaddr* addr, socklen_t* len, int flags) {
    int r = RealCalls::accept4(fd, addr, len, flags);
    if (r >= 0) FdTable::clear(r);
    return r;
}

VNX_EXPORT int connect(int fd, const sockaddr* addr, socklen_t len) {
    const int saved = errno;
    const FdKind kind = FdTable::kind(fd);
    if (kind != FdKind::None && addr && len >= static_cast<socklen_t>(sizeof(sa_family_t)) &&
        addr->sa_family == AF_UNSPEC) {
        // Dissolving the association (or aborting a connection): the
        // kernel's business; the socket is no longer diverted.
        FdInfo old;
        if (FdTable::take(fd, old)) TcpDivert::release(fd, old);
        errno = saved;
        return RealCalls::connect(fd, addr, len);
    }
    if (kind == FdKind::Tcp) {
        FdInfo info;
        if (FdTable::get(fd, info)) {
            sockaddr_storage peer;
            socklen_t pl = sizeof peer;
            // The same destination again (a program polling its
            // non-blocking connect), or a socket already connected: the
            // kernel answers for the server connection.
            if ((addr && samePeer(info, addr, len)) ||
                RealCalls::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &pl) == 0) {
                errno = saved;
                return TcpDivert::reconnect(fd, info);
            }
            // A new destination after a failed attempt: start afresh.
            FdInfo old;
            if (FdTable::take(fd, old)) TcpDivert::release(fd, old);
        }
    }
    vnx::REndpoint dst;
    if (endpointFrom(addr, len, dst) && isLocalResolverQuery(dst)) {
        // A connection to a resolver on this machine: to its upstream.
        const Verdict v = Policy::current();
        SocketKind sk;
        if (v.dns && querySocket(fd, sk) && (sk.isUdp() || sk.isTcp())) {
            vnx::REndpoint up;
            if (!stubUpstream(up)) {
                errno = ENETUNREACH;
                return -1;
            }
            errno = saved;
            if (sk.isTcp()) return TcpDivert::connect(fd, sk.family, up, addr, len, v);
            const int r = UdpDivert::connectPeer(fd, sk.family, addr, len);
            if (r == 0) rememberStub(fd, dst, up);
            return r;
        }
    }
    if (!addr || !endpointFrom(addr, len, dst) || isLocalDestination(dst)) {
        if (kind == FdKind::Udp) forgetPeer(fd);
        errno = saved;
        return RealCalls::connect(fd, addr, len);
    }
    const Verdict v = Policy::current();
    SocketKind sk;
    if (anyDiverted(v) && querySocket(fd, sk)) {
        if (sk.isTcp() && v.tcp) {
            errno = saved;
            return TcpDivert::connect(fd, sk.family, dst, addr, len, v);
        }
        if (sk.isUdp() && (isDnsDestination(dst) ? v.dns : v.udp) &&
            !(sk.family == AF_INET && addr->sa_family == AF_INET6)) {
            errno = saved;
            return UdpDivert::connectPeer(fd, sk.family, addr, len);
        }
    }
    if (kind == FdKind::Udp) forgetPeer(fd);
    errno = saved;
    return RealCalls::connect(fd, addr, len);
}

VNX_EXPORT int getpeername(int fd, sockaddr* addr, socklen_t* len) {
    const FdKind kind = FdTable::kind(fd);
    if (kind == FdKind::None) return RealCalls::getpeername(fd, addr, len);
    const int saved = errno;
    FdInfo info;
    const bool known = FdTable::get(fd, info);
    int r = RealCalls::getpeername(fd, addr, len);
    if (!known) return r;
    if (r == 0 && info.kind == FdKind::Tcp) {
        sockaddr_storage seen{};
        std::memcpy(&seen, addr, *len < static_cast<socklen_t>(sizeof seen) ? *len : sizeof seen);
        std::uint16_t port = 0;
        bool v6 = false;
        if (loopbackSource(seen, port, v6) && port == htons(info.serverPort))
            reportRaw(&info.peer, info.peerLen, addr, len);
        return 0;
    }
    if (r != 0 && errno == ENOTCONN && info.kind == FdKind::Udp && info.virtualPeer && addr && len) {
        reportRaw(&info.peer, info.peerLen, addr, len);
        errno = saved;
        return 0;
    }
    return r;
}

VNX_EXPORT int close(int fd) {
    if (FdTable::kind(fd) != FdKind::None) {
        FdInfo info;
        if (FdTable::take(fd, info)) TcpDivert::release(fd, info);
    }
    return RealCalls::close(fd);
}

VNX_EXPORT int dup(int fd) {
    int r = RealCalls::dup(fd);
    if (r >= 0) FdTable::copy(fd, r);
    return r;
}

VNX_EXPORT int dup2(int fd, int fd2) {
    if (fd != fd2 && FdTable::kind(fd2) != FdKind::None) {
        FdInfo info;
        if (FdTable::take(fd2, info)) TcpDivert::release(fd2, info);
    }
    int r = RealCalls::dup2(fd, fd2);
    if (r >= 0) FdTable::copy(fd, r);
    return r;
}

VNX_EXPORT int dup3(int fd, int fd2, int flags) {
    if (fd != fd2 && FdTable::kind(fd2) != FdKind::None) {
        FdInfo info;
        if (FdTable::take(fd2, info)) TcpDivert::release(fd2, info);
    }
    int r = RealCalls::dup3(fd, fd2, flags);
    if (r >= 0) FdTable::copy(fd, r);
    return r;
}

VNX_EXPORT ssize_t sendto(int fd, const void* buf, size_t len, int flags, const sockaddr* to, socklen_t tolen) {
    iovec iov{const_cast<void*>(buf), len};
    msghdr m{};
    m.msg_name = const_cast<sockaddr*>(to);
    m.msg_namelen = to ? tolen : 0;
    m.msg_iov = &iov;
    m.msg_iovlen = 1;
    ssize_t r = -1;
    if (divertSend(fd, m, flags, r)) return r;
    return RealCalls::sendto(fd, buf, len, flags, to, tolen);
}

VNX_EXPORT ssize_t send(int fd, const void* buf, size_t len, int flags) {
    if (FdTable::kind(fd) == FdKind::Udp) {
        iovec iov{const_cast<void*>(buf), len};
        msghdr m{};
        m.msg_iov = &iov;
        m.msg_iovlen = 1;
        ssize_t r = -1;
        if (divertSend(fd, m, flags, r)) return r;
    }
    return RealCalls::send(fd, buf, len, flags);
}

VNX_EXPORT ssize_t write(int fd, const void* buf, size_t len) {
    if (FdTable::kind(fd) == FdKind::Udp) {
        const int saved = errno;
        iovec iov{const_cast<void*>(buf), len};
        msghdr m{};
        m.msg_iov = &iov;
        m.msg_iovlen = 1;
        ssize_t r = -1;
        if (divertSend(fd, m, 0, r)) {
            if (r >= 0 || errno != ENOTSOCK) return r;
            // The number belongs to something else now.
            FdTable::clear(fd);
            errno = saved;
        }
    }
    return RealCalls::write(fd, buf, len);
}

VNX_EXPORT ssize_t writev(int fd, const iovec* iov, int count) {
    if (FdTable::kind(fd) == FdKind::Udp && count >= 0) {
        const int saved = errno;
        msghdr m{};
        m.msg_iov = const_cast<iovec*>(iov);
        m.msg_iovlen = static_cast<std::size_t>(count);
        ssize_t r = -1;
        if (divertSend(fd, m, 0, r)) {
            if (r >= 0 || errno != ENOTSOCK) return r;
            FdTable::clear(fd);
            errno = saved;
        }
    }
    return RealCalls::writev(fd, iov, count);
}

VNX_EXPORT ssize_t readv(int fd, const iovec* iov, int count) {
    if (FdTable::kind(fd) == FdKind::Udp && count >= 0) {
        msghdr m{};
        m.msg_iov = const_cast<iovec*>(iov);
        m.msg_iovlen = static_cast<std::size_t>(count);
        bool handled = false;
        ssize_t r = UdpDivert::receive(fd, &m, 0, handled);
        if (handled) return r;
    }
    return RealCalls::readv(fd, iov, count);
}

VNX_EXPORT ssize_t sendmsg(int fd, const msghdr* msg, int flags) {
    ssize_t r = -1;
    if (msg && divertSend(fd, *msg, flags, r)) return r;
    return RealCalls::sendmsg(fd, msg, flags);
}

VNX_EXPORT int sendmmsg(int fd, mmsghdr* vec, unsigned int vlen, int flags) {
    const int saved = errno;
    if (!vec || vlen == 0 || (FdTable::kind(fd) != FdKind::Udp && !anyDiverted(Policy::current()))) {
        errno = saved;
        return RealCalls::sendmmsg(fd, vec, vlen, flags);
    }
    unsigned int sent = 0;
    for (; sent < vlen; ++sent) {
        ssize_t r = -1;
        if (!divertSend(fd, vec[sent].msg_hdr, flags, r)) r = RealCalls::sendmsg(fd, &vec[sent].msg_hdr, flags);
        if (r < 0) {
            if (sent == 0) return -1;
            errno = saved;  // the messages sent are the result
            break;
        }
        vec[sent].msg_len = static_cast<unsigned int>(r);
    }
    return static_cast<int>(sent);
}

VNX_EXPORT ssize_t recvfrom(int fd, void* buf, size_t len, int flags, sockaddr* from, socklen_t* fromLen) {
    if (FdTable::kind(fd) == FdKind::Udp) {
        bool handled = false;
        ssize_t r = receiveFrom(fd, buf, len, flags, from, fromLen, handled);
        if (handled) return r;
    }
    return RealCalls::recvfrom(fd, buf, len, flags, from, fromLen);
}

VNX_EXPORT ssize_t recv(int fd, void* buf, size_t len, int flags) {
    if (FdTable::kind(fd) == FdKind::Udp) {
        bool handled = false;
        ssize_t r = receiveFrom(fd, buf, len, flags, nullptr, nullptr, handled);
        if (handled) return r;
    }
    return RealCalls::recv(fd, buf, len, flags);
}

VNX_EXPORT ssize_t read(int fd, void* buf, size_t len) {
    if (FdTable::kind(fd) == FdKind::Udp) {
        bool handled = false;
        ssize_t r = receiveFrom(fd, buf, len, 0, nullptr, nullptr, handled);
        if (handled) return r;
    }
    return RealCalls::read(fd, buf, len);
}

VNX_EXPORT ssize_t recvmsg(int fd, msghdr* msg, int flags) {
    if (FdTable::kind(fd) == FdKind::Udp) {
        bool handled = false;
        ssize_t r = UdpDivert::receive(fd, msg, flags, handled);
        if (handled) return r;
    }
    return RealCalls::recvmsg(fd, msg, flags);
}

VNX_EXPORT int recvmmsg(int fd, mmsghdr* vec, unsigned int vlen, int flags, struct timespec* timeout) {
    if (FdTable::kind(fd) == FdKind::Udp && vec && vlen) return UdpDivert::receiveMany(fd, vec, vlen, flags, timeout);
    return RealCalls::recvmmsg(fd, vec, vlen, flags, timeout);
}

// Fortified programs call these instead of read, recv and recvfrom.
VNX_EXPORT ssize_t __read_chk(int fd, void* buf, size_t len, size_t buflen) {
    if (len <= buflen && FdTable::kind(fd) == FdKind::Udp) {
        bool handled = false;
        ssize_t r = receiveFrom(fd, buf, len, 0, nullptr, nullptr, handled);
        if (handled) return r;
    }
    return RealCalls::readChk(fd, buf, len, buflen);
}

VNX_EXPORT ssize_t __recv_chk(int fd, void* buf, size_t len, size_t buflen, int flags) {
    if (len <= buflen && FdTable::kind(fd) == FdKind::Udp) {
        bool handled = false;
        ssize_t r = receiveFrom(fd, buf, len, flags, nullptr, nullptr, handled);
        if (handled) return r;
    }
    return RealCalls::recvChk(fd, buf, len, buflen, flags);
}

VNX_EXPORT ssize_t __recvfrom_chk(int fd, void* buf, size_t len, size_t buflen, int flags, sockaddr* from,
                                  socklen_t* fromLen) {
    if (len <= buflen && FdTable::kind(fd) == FdKind::Udp) {
        bool handled = false;
        ssize_t r = receiveFrom(fd, buf, len, flags, from, fromLen, handled);
        if (handled) return r;
    }
    return RealCalls::recvfromChk(fd, buf, len, buflen, flags, from, fromLen);
}

VNX_EXPORT int getaddrinfo(const char* node, const char* service, const addrinfo* hints, addrinfo** res) {
    const int family = hints ? hints->ai_family : AF_UNSPEC;
    if (node && res && (family == AF_UNSPEC || family == AF_INET || family == AF_INET6) &&
        !(hints && (hints->ai_flags & AI_NUMERICHOST)) && !Resolver::isNumeric(node, family)) {
        const int saved = errno;
        Verdict v;
        if (namesDiverted(v)) {
            int rc = Resolver::getaddrinfo(node, service, hints, res, v);
            if (rc != EAI_SYSTEM) errno = saved;
            return rc;
        }
        errno = saved;
    }
    return RealCalls::getaddrinfo(node, service, hints, res);
}

VNX_EXPORT int gethostbyname2_r(const char* name, int af, struct hostent* ret, char* buf, size_t buflen,
                                struct hostent** result, int* h_errnop) {
    if (name && ret && result && (af == AF_INET || af == AF_INET6) && !Resolver::isNumeric(name, af)) {
        const int saved = errno;
        Verdict v;
        if (namesDiverted(v)) {
            int rc = Resolver::hostent(name, af, ret, buf, buflen, result, h_errnop, v);
            errno = rc ? rc : saved;
            return rc;
        }
        errno = saved;
    }
    return RealCalls::gethostbyname2_r(name, af, ret, buf, buflen, result, h_errnop);
}

VNX_EXPORT int gethostbyname_r(const char* name, struct hostent* ret, char* buf, size_t buflen, struct hostent** result,
                               int* h_errnop) {
    if (name && ret && result && !Resolver::isNumeric(name, AF_INET)) {
        const int saved = errno;
        Verdict v;
        if (namesDiverted(v)) {
            int rc = Resolver::hostent(name, AF_INET, ret, buf, buflen, result, h_errnop, v);
            errno = rc ? rc : saved;
            return rc;
        }
        errno = saved;
    }
    return RealCalls::gethostbyname_r(name, ret, buf, buflen, result, h_errnop);
}

VNX_EXPORT struct hostent* gethostbyname2(const char* name, int af) {
    if (name && (af == AF_INET || af == AF_INET6) && !Resolver::isNumeric(name, af)) {
        const int saved = errno;
        Verdict v;
        if (namesDiverted(v)) {
            // One shared result, as the C library's own (not thread-safe by
            // definition; the _r forms are).
            struct hostent* result = nullptr;
            int herr = 0;
            Resolver::hostent(name, af, &gHost, gHostBuffer, sizeof gHostBuffer, &result, &herr, v);
            h_errno = herr;
            errno = saved;
            return result;
        }
        errno = saved;
    }
    return RealCalls::gethostbyname2(name, af);
}

VNX_EXPORT struct hostent* gethostbyname(const char* name) {
    if (name && !Resolver::isNumeric(name, AF_INET)) {
        const int saved = errno;
        Verdict v;
        if (namesDiverted(v)) {
            struct hostent* result = nullptr;
            int herr = 0;
            Resolver::hostent(name, AF_INET, &gHost, gHostBuffer, sizeof gHostBuffer, &result, &herr, v);
            h_errno = herr;
            errno = saved;
            return result;
        }
        errno = saved;
    }
    return RealCalls::gethostbyname(name);
}
