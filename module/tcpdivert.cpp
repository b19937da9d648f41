#include "tcpdivert.h"

#include "modulecontract.h"
#include "platform/system.h"
#include "realcalls.h"
#include "sharedobjects.h"
#include "sockaddrs.h"
#include "socketprep.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>

namespace vnxmod {

namespace {
bool stillOurs(const vnx::TcpSlot* slot, std::uint16_t portNet, bool viaIpv6) {
    return slot && slot->owner_pid == vnxplat::currentProcessId() && slot->local_port == portNet &&
           slot->is_ipv6 == (viaIpv6 ? 1 : 0);
}

bool ownerAlive(std::uint32_t pid) {
    int saved = errno;
    bool alive = kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH;
    errno = saved;
    return alive;
}

// Another live record with our key would let the server pair our connection
// with someone else's destination. Leftovers of ended sockets (our own
// process, or a dead one) are removed; a live one of another process, or
// any when the port was chosen explicitly, means we must not go on.
bool keyConflict(vnx::SlotTable& table, const vnx::TcpSlot* mine, bool explicitPort) {
    std::atomic_thread_fence(std::memory_order_seq_cst);
    auto* base = static_cast<std::uint8_t*>(table.base());
    if (!base) return false;
    const std::uint32_t self = vnxplat::currentProcessId();
    for (int i = 0; i < vnx::kSlotCount; ++i) {
        auto* s = reinterpret_cast<vnx::TcpSlot*>(base + static_cast<std::size_t>(i) * vnx::kTcpSlotSize);
        if (s == mine || s->owner_pid == 0 || s->local_port != mine->local_port || s->is_ipv6 != mine->is_ipv6)
            continue;
        const std::uint32_t owner = s->owner_pid;
        if (explicitPort) return true;
        if (owner != self && ownerAlive(owner)) return true;
        table.clearSlot(s);
    }
    return false;
}

int fail(int err, const char* why, const vnx::REndpoint& dst) {
    note("connection to port %u not diverted: %s", static_cast<unsigned>(ntohs(dst.port)), why);
    errno = err;
    return -1;
}
}  // namespace

int TcpDivert::connect(int fd, int family, const vnx::REndpoint& dst, const sockaddr* orig, socklen_t origLen,
                       const Verdict& verdict) {
    const int saved = errno;
    const bool viaIpv6 = family == AF_INET6;
    if (!viaIpv6 && orig && orig->sa_family == AF_INET6) {
        // An IPv6 address on an IPv4 socket: the kernel's own error.
        return RealCalls::connect(fd, orig, origLen);
    }
    if (verdict.tcpPort == 0) return fail(ECONNREFUSED, "the local server has not started", dst);
    vnx::SlotTable& table = tcpTable();
    sockaddr_storage server;
    const socklen_t serverLen = serverAddress(viaIpv6, verdict.tcpPort, server);
    // A port we chose can turn out to be busy towards the server (its
    // 4-tuple still in TIME_WAIT, or another record holding it): start
    // over on a fresh socket with another port, a few times.
    for (int attempt = 0;; ++attempt) {
        std::uint16_t port = 0;
        bool boundHere = false;
        if (!ensureLocalPort(fd, family, true, port, &boundHere)) {
            const int e = errno;
            note("connection to port %u not diverted: no local port (%s)", static_cast<unsigned>(ntohs(dst.port)),
                 std::strerror(e));
            errno = e;
            return -1;
        }
        const bool mayRetry = boundHere && attempt < 16;
        vnx::TcpSlot* slot = vnx::publishTcpDestination(table, port, viaIpv6, dst);
        if (!slot) return fail(ECONNREFUSED, "no connection record (local server not running or table full)", dst);
        if (keyConflict(table, slot, boundHere)) {
            table.clearSlot(slot);
            if (mayRetry && replaceSocket(fd)) continue;
            return fail(EADDRNOTAVAIL, "local port already has a record", dst);
        }
        FdInfo info;
        info.kind = FdKind::Tcp;
        info.family = static_cast<std::uint8_t>(family);
        info.localPort = port;
        if (orig) {
            info.peerLen = origLen < static_cast<socklen_t>(sizeof info.peer) ? origLen : sizeof info.peer;
            std::memcpy(&info.peer, orig, info.peerLen);
        }
        info.pendingSlot = slot;
        info.serverPort = verdict.tcpPort;
        FdTable::set(fd, info);
        errno = saved;
        int r = RealCalls::connect(fd, reinterpret_cast<sockaddr*>(&server), serverLen);
        if (r == 0) return 0;
        const int e = errno;
        if (e == EINPROGRESS || e == EINTR || e == EALREADY) return r;  // completes in the background
        if (stillOurs(slot, port, viaIpv6)) table.clearSlot(slot);
        FdTable::clear(fd);
        if (e == EADDRNOTAVAIL && mayRetry && replaceSocket(fd)) continue;
        if (e == ECONNREFUSED) note("connection to port %u refused: the local server is not running", ntohs(dst.port));
        errno = e;
        return -1;
    }
}

int TcpDivert::reconnect(int fd, const FdInfo& info) {
    sockaddr_storage server;
    socklen_t len = serverAddress(info.family == AF_INET6, info.serverPort, server);
    return RealCalls::connect(fd, reinterpret_cast<sockaddr*>(&server), len);
}

void TcpDivert::release(int fd, const FdInfo& info) {
    if (info.kind != FdKind::Tcp || !info.pendingSlot) return;
    const int saved = errno;
    sockaddr_storage peer;
    socklen_t len = sizeof peer;
    // A connection that came up is the server's to match (it zeroes the
    // record itself); one that never did leaves a record nobody will use.
    if (RealCalls::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) != 0 &&
        stillOurs(info.pendingSlot, info.localPort, info.family == AF_INET6))
        tcpTable().clearSlot(info.pendingSlot);
    errno = saved;
}

int TcpDivert::openInternal(const vnx::REndpoint& dst, const Verdict& verdict, int timeoutMs) {
    // Our own socket always reaches the server over IPv4; the destination
    // family is carried in the record.
    int fd = RealCalls::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    FdTable::clear(fd);
    int r = connect(fd, AF_INET, dst, nullptr, 0, verdict);
    if (r != 0 && errno != EINPROGRESS) {
        FdInfo info;
        if (FdTable::take(fd, info)) release(fd, info);
        RealCalls::close(fd);
        return -1;
    }
    pollfd p{fd, POLLOUT, 0};
    int err = 0;
    socklen_t l = sizeof err;
    if (r != 0 && (poll(&p, 1, timeoutMs) != 1 || getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &l) != 0 || err != 0)) {
        FdInfo info;
        if (FdTable::take(fd, info)) release(fd, info);
        RealCalls::close(fd);
        errno = err ? err : ETIMEDOUT;
        return -1;
    }
    return fd;
}

}  // namespace vnxmod
