#include "udpdivert.h"

#include "modulecontract.h"
#include "platform/system.h"
#include "realcalls.h"
#include "sharedobjects.h"
#include "sockaddrs.h"
#include "socketprep.h"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>

namespace vnxmod {

namespace {
ssize_t fail(int err, const char* why, const vnx::REndpoint& dst) {
    note("datagram to port %u not diverted: %s", static_cast<unsigned>(ntohs(dst.port)), why);
    errno = err;
    return -1;
}

bool nonBlocking(int fd, int flags) {
    if (flags & MSG_DONTWAIT) return true;
    int saved = errno;
    int fl = fcntl(fd, F_GETFL);
    errno = saved;
    return fl >= 0 && (fl & O_NONBLOCK);
}

// The local server replies from 127.0.0.1 or ::1 exactly (an IPv4-mapped
// 127.0.0.1 on an IPv6 socket).
bool fromServerAddress(const sockaddr_storage& from) {
    if (from.ss_family == AF_INET)
        return reinterpret_cast<const sockaddr_in*>(&from)->sin_addr.s_addr == htonl(INADDR_LOOPBACK);
    if (from.ss_family != AF_INET6) return false;
    const auto* a = reinterpret_cast<const std::uint8_t*>(&reinterpret_cast<const sockaddr_in6*>(&from)->sin6_addr);
    static const std::uint8_t kMapped[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 127, 0, 0, 1};
    return IN6_IS_ADDR_LOOPBACK(&reinterpret_cast<const sockaddr_in6*>(&from)->sin6_addr) ||
           std::memcmp(a, kMapped, 16) == 0;
}

vnx::REndpoint peerOf(const FdInfo& info) {
    vnx::REndpoint e;
    endpointFrom(reinterpret_cast<const sockaddr*>(&info.peer), info.peerLen, e);
    return e;
}

std::uint64_t nowMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000u + static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
}
}  // namespace

std::uint16_t UdpDivert::checksum(const iovec* iov, std::size_t count, std::size_t& total) {
    vnx::PayloadSum sum;
    for (std::size_t i = 0; i < count; ++i)
        sum.add(iov[i].iov_base, iov[i].iov_len);
    total = sum.length();
    return sum.value();
}

ssize_t UdpDivert::send(int fd, int family, const vnx::REndpoint& dst, const msghdr& msg, int flags,
                        const Verdict& verdict) {
    const int saved = errno;
    const bool viaIpv6 = family == AF_INET6;
    if (verdict.udpPort == 0) return fail(ENETUNREACH, "the local server has not started", dst);
    std::size_t total = 0;
    const std::uint16_t sum = checksum(msg.msg_iov, msg.msg_iovlen, total);
    if (total > kMaxPayload) return fail(EMSGSIZE, "larger than the local server relays", dst);

    FdInfo info;
    const bool known = FdTable::get(fd, info) && info.kind == FdKind::Udp;
    std::uint16_t port = known ? info.localPort : 0;
    if (port == 0 && !ensureLocalPort(fd, family, false, port, nullptr)) {
        const int e = errno;
        note("datagram to port %u not diverted: no local port (%s)", ntohs(dst.port), std::strerror(e));
        errno = e;
        return -1;
    }
    vnx::SlotTable& table = udpSendTable();
    vnx::UdpSlot* slot = vnx::publishUdpDatagram(table, port, viaIpv6, dst, sum, total, vnxplat::tickCount());
    if (!slot) return fail(ENETUNREACH, "no datagram record (local server not running or table full)", dst);
    if (!known || info.localPort != port) {
        if (!known) {
            info = FdInfo();
            info.kind = FdKind::Udp;
            info.family = static_cast<std::uint8_t>(family);
        }
        info.localPort = port;
        FdTable::set(fd, info);
    }
    sockaddr_storage server;
    msghdr m = msg;
    m.msg_name = &server;
    m.msg_namelen = serverAddress(viaIpv6, verdict.udpPort, server);
    errno = saved;
    ssize_t r = RealCalls::sendmsg(fd, &m, flags);
    if (r < 0) {
        const int e = errno;
        if (slot->owner_pid == vnxplat::currentProcessId() && slot->local_port == port && slot->length == total)
            table.clearSlot(slot);
        errno = e;
    }
    return r;
}

int UdpDivert::connectPeer(int fd, int family, const sockaddr* orig, socklen_t origLen) {
    const int saved = errno;
    // A kernel association (an earlier connect) would filter out the
    // replies, which come from the server's reply socket.
    sockaddr_storage peer;
    socklen_t pl = sizeof peer;
    if (RealCalls::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &pl) == 0) {
        sockaddr unspec{};
        unspec.sa_family = AF_UNSPEC;
        RealCalls::connect(fd, &unspec, sizeof unspec);
    }
    FdInfo info;
    if (!FdTable::get(fd, info) || info.kind != FdKind::Udp) {
        info = FdInfo();
        info.kind = FdKind::Udp;
        info.family = static_cast<std::uint8_t>(family);
    }
    // Like a kernel connect, this gives the socket its local port now.
    if (info.localPort == 0 && !ensureLocalPort(fd, family, false, info.localPort, nullptr)) return -1;
    info.virtualPeer = true;
    info.peerLen = origLen < static_cast<socklen_t>(sizeof info.peer) ? origLen : sizeof info.peer;
    std::memset(&info.peer, 0, sizeof info.peer);
    std::memcpy(&info.peer, orig, info.peerLen);
    if (!FdTable::set(fd, info)) {
        errno = ENOBUFS;
        return -1;
    }
    errno = saved;
    return 0;
}

ssize_t UdpDivert::receive(int fd, msghdr* msg, int flags, bool& handled) {
    handled = false;
    FdInfo info;
    if (!msg || !FdTable::get(fd, info) || info.kind != FdKind::Udp) return -1;
    handled = true;
    std::size_t room = 0;
    for (std::size_t i = 0; i < msg->msg_iovlen; ++i)
        room += msg->msg_iov[i].iov_len;
    const int saved = errno;
    for (int drops = 0; drops < 4096; ++drops) {
        sockaddr_storage from{};
        msghdr m = *msg;
        m.msg_name = &from;
        m.msg_namelen = sizeof from;
        errno = saved;
        // MSG_TRUNC: the full datagram length, which keys the record.
        ssize_t full = RealCalls::recvmsg(fd, &m, flags | MSG_TRUNC);
        if (full < 0) {
            if (errno == ENOTSOCK) {
                FdTable::clear(fd);
                handled = false;
            }
            return -1;
        }
        std::uint16_t serverPort = 0;
        bool viaIpv6 = false;
        const bool fromServer = loopbackSource(from, serverPort, viaIpv6);
        vnx::REndpoint source;
        bool known = false;
        if (fromServer && full <= 0xffff) {
            const auto len = static_cast<std::uint16_t>(full);
            known = (flags & MSG_PEEK) ? vnx::peekUdpSource(udpRecvTable(), serverPort, len, viaIpv6, source)
                                       : vnx::takeUdpSource(udpRecvTable(), serverPort, len, viaIpv6, source);
            if (known && (info.cachePort != serverPort || !(info.cacheSource == source))) {
                // Remember it: a record purged before a slow reader gets to
                // the datagram still has a source to report.
                FdInfo now;
                if (FdTable::get(fd, now) && now.kind == FdKind::Udp) {
                    now.cachePort = serverPort;
                    now.cacheSource = source;
                    FdTable::set(fd, now);
                }
            } else if (!known && info.cachePort == serverPort) {
                source = info.cacheSource;
                known = true;
            }
        }
        // Replies of the resolver asked in place of a local stub come from
        // the stub, as far as the program is concerned.
        const bool fromStubUpstream = known && info.stub.port != 0 && source == info.stubUpstream;
        if (fromStubUpstream) source = info.stub;
        if (info.virtualPeer && !(known && fromServerAddress(from) && source == peerOf(info))) {
            // Only the local server's recorded reply from the peer the
            // program connected to: the kernel would have dropped anything
            // else for a connected socket, and another local user must not
            // be able to pass a datagram off as coming from that peer.
            if (flags & MSG_PEEK) {
                char scrap;
                RealCalls::recv(fd, &scrap, 1, (flags & ~MSG_PEEK) | MSG_DONTWAIT);
            }
            continue;
        }
        if (msg->msg_name) {
            if (info.virtualPeer) {
                reportRaw(&info.peer, info.peerLen, static_cast<sockaddr*>(msg->msg_name), &msg->msg_namelen);
            } else if (known) {
                reportAddress(source, info.family, static_cast<sockaddr*>(msg->msg_name), &msg->msg_namelen);
            } else {
                reportRaw(&from, m.msg_namelen, static_cast<sockaddr*>(msg->msg_name), &msg->msg_namelen);
            }
        }
        msg->msg_flags = m.msg_flags;
        msg->msg_controllen = m.msg_controllen;
        errno = saved;  // the record look-up may have touched it
        if (flags & MSG_TRUNC) return full;
        return static_cast<std::size_t>(full) < room ? full : static_cast<ssize_t>(room);
    }
    errno = EAGAIN;
    return -1;
}

int UdpDivert::receiveMany(int fd, mmsghdr* vec, unsigned int vlen, int flags, struct timespec* timeout) {
    const std::uint64_t start = nowMs();
    const std::uint64_t limit = timeout ? static_cast<std::uint64_t>(timeout->tv_sec) * 1000u +
                                              static_cast<std::uint64_t>(timeout->tv_nsec) / 1000000u
                                        : 0;
    const int saved = errno;
    const bool waitForOne = flags & MSG_WAITFORONE;
    flags &= ~MSG_WAITFORONE;
    unsigned int got = 0;
    for (; got < vlen; ++got) {
        int f = flags;
        if (got > 0 && (waitForOne || nonBlocking(fd, flags))) f |= MSG_DONTWAIT;
        bool handled = false;
        ssize_t r = receive(fd, &vec[got].msg_hdr, f, handled);
        if (!handled) {
            if (got == 0) return RealCalls::recvmmsg(fd, vec, vlen, flags | (waitForOne ? MSG_WAITFORONE : 0), timeout);
            break;
        }
        if (r < 0) {
            if (got == 0) return -1;
            errno = saved;  // the datagrams received are the result
            break;
        }
        vec[got].msg_len = static_cast<unsigned int>(r);
        if (timeout && nowMs() - start >= limit) {
            ++got;
            break;
        }
    }
    return static_cast<int>(got);
}

}  // namespace vnxmod
