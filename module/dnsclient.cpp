#include "dnsclient.h"

#include "fdtable.h"
#include "modulecontract.h"
#include "platform/system.h"
#include "realcalls.h"
#include "sharedobjects.h"
#include "socketprep.h"
#include "sockaddrs.h"
#include "tcpdivert.h"
#include "udpdivert.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <sys/random.h>
#include <time.h>
#include <unistd.h>

namespace vnxmod {

namespace {
std::uint16_t randomId() {
    std::uint16_t id = 0;
    if (getrandom(&id, sizeof id, GRND_NONBLOCK) != sizeof id)
        id = static_cast<std::uint16_t>(vnxplat::tickCount() * 2654435761u ^ static_cast<unsigned>(getpid()));
    return id;
}

int remainingMs(std::uint64_t deadline) {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const std::uint64_t now =
        static_cast<std::uint64_t>(ts.tv_sec) * 1000u + static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
    return now >= deadline ? 0 : static_cast<int>(deadline - now);
}

std::uint64_t deadlineIn(int ms) {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000u + static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u +
           static_cast<std::uint64_t>(ms);
}

void closeInternal(int fd) {
    FdInfo info;
    if (FdTable::take(fd, info)) TcpDivert::release(fd, info);
    RealCalls::close(fd);
}

// Waits for fd to become ready for `events` before the deadline.
bool waitFor(int fd, short events, std::uint64_t deadline) {
    for (;;) {
        int left = remainingMs(deadline);
        if (left <= 0) return false;
        pollfd p{fd, events, 0};
        int r = poll(&p, 1, left);
        if (r > 0) return true;
        if (r < 0 && errno != EINTR) return false;
    }
}
}  // namespace

bool DnsClient::exchangeUdp(const vnx::REndpoint& server, const std::uint8_t* query, std::size_t len,
                            std::uint16_t id, const char* name, std::uint16_t type, int timeoutMs,
                            const Verdict& verdict, DnsAnswer& out) {
    int fd = RealCalls::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    FdTable::clear(fd);
    // Bound to loopback: only the local server can answer this socket.
    sockaddr_storage local;
    socklen_t localLen = serverAddress(false, 0, local);
    bool ok = RealCalls::bind(fd, reinterpret_cast<sockaddr*>(&local), localLen) == 0;
    iovec iov{const_cast<std::uint8_t*>(query), len};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    ok = ok && UdpDivert::send(fd, AF_INET, server, msg, 0, verdict) == static_cast<ssize_t>(len);
    const std::uint64_t deadline = deadlineIn(timeoutMs);
    bool answered = false;
    std::uint8_t reply[4096];
    while (ok && !answered && waitFor(fd, POLLIN, deadline)) {
        sockaddr_storage from{};
        socklen_t fromLen = sizeof from;
        ssize_t n = RealCalls::recvfrom(fd, reply, sizeof reply, MSG_TRUNC, reinterpret_cast<sockaddr*>(&from),
                                        &fromLen);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            break;
        }
        std::uint16_t serverPort = 0;
        bool viaIpv6 = false;
        if (!loopbackSource(from, serverPort, viaIpv6)) continue;
        vnx::REndpoint source;
        if (n <= 0xffff) vnx::takeUdpSource(udpRecvTable(), serverPort, static_cast<std::uint16_t>(n), viaIpv6, source);
        std::size_t got = static_cast<std::size_t>(n) < sizeof reply ? static_cast<std::size_t>(n) : sizeof reply;
        DnsMessage::Parse p = DnsMessage::parseResponse(reply, got, id, name, type, out);
        if (p != DnsMessage::Parse::Ok) continue;
        // A reply cut by our buffer counts as truncated: TCP has it all.
        if (static_cast<std::size_t>(n) > sizeof reply) out.truncated = true;
        answered = true;
    }
    RealCalls::close(fd);
    return answered;
}

bool DnsClient::exchangeTcp(const vnx::REndpoint& server, const std::uint8_t* query, std::size_t len,
                            std::uint16_t id, const char* name, std::uint16_t type, int timeoutMs,
                            const Verdict& verdict, DnsAnswer& out) {
    const std::uint64_t deadline = deadlineIn(timeoutMs);
    int fd = TcpDivert::openInternal(server, verdict, timeoutMs);
    if (fd < 0) return false;
    std::uint8_t head[2] = {static_cast<std::uint8_t>(len >> 8), static_cast<std::uint8_t>(len)};
    iovec iov[2] = {{head, 2}, {const_cast<std::uint8_t*>(query), len}};
    msghdr msg{};
    msg.msg_iov = iov;
    msg.msg_iovlen = 2;
    bool ok = waitFor(fd, POLLOUT, deadline) && RealCalls::sendmsg(fd, &msg, MSG_NOSIGNAL) == static_cast<ssize_t>(len + 2);
    auto* buf = static_cast<std::uint8_t*>(std::malloc(65536));
    std::size_t want = 2, have = 0;
    bool sized = false;
    while (ok && buf && have < want && waitFor(fd, POLLIN, deadline)) {
        ssize_t n = RealCalls::recv(fd, buf + have, want - have, 0);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) {
            ok = false;
            break;
        }
        have += static_cast<std::size_t>(n);
        if (!sized && have == 2) {
            want = (static_cast<std::size_t>(buf[0]) << 8) | buf[1];
            have = 0;
            sized = true;
            if (want < 12) ok = false;
        }
    }
    bool answered = ok && buf && sized && have == want &&
                    DnsMessage::parseResponse(buf, have, id, name, type, out) == DnsMessage::Parse::Ok;
    std::free(buf);
    closeInternal(fd);
    return answered;
}

DnsAnswer DnsClient::query(const ResolvConf& conf, const char* name, std::uint16_t type, const Verdict& verdict) {
    DnsAnswer answer;
    std::uint8_t q[300];
    const std::uint16_t id = randomId();
    const std::size_t len = DnsMessage::buildQuery(id, name, type, q, sizeof q);
    if (len == 0) {
        answer.status = DnsAnswer::Status::NoName;
        return answer;
    }
    const int timeoutMs = conf.timeoutSec * 1000;
    for (int round = 0; round < conf.attempts; ++round) {
        for (int s = 0; s < conf.serverCount; ++s) {
            const vnx::REndpoint& server = conf.servers[s];
            if (isLocalDestination(server)) continue;
            DnsAnswer a;
            if (!exchangeUdp(server, q, len, id, name, type, timeoutMs, verdict, a)) continue;
            if (a.truncated) {
                DnsAnswer t;
                if (exchangeTcp(server, q, len, id, name, type, timeoutMs, verdict, t)) a = t;
            }
            if (a.status != DnsAnswer::Status::Failed) return a;
            answer = a;
        }
    }
    answer.status = DnsAnswer::Status::Failed;
    return answer;
}

}  // namespace vnxmod
