#include "dnsclient.h"

#include "fdtable.h"
#include "modulecontract.h"
#include "platform/system.h"
#include "realcalls.h"
#include "sharedobjects.h"
#include "sockaddrs.h"
#include "socketprep.h"
#include "tcpdivert.h"
#include "udpdivert.h"

#include "dnsupstream.h"

#include <poll.h>
#include <sys/random.h>
#include <time.h>
#include <unistd.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>

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

// Where the question section of a message ends (qdcount names of labels,
// each followed by type and class); 0 when it does not fit.
std::size_t questionEnd(const std::uint8_t* m, std::size_t len) {
    if (len < 12) return 0;
    const unsigned count = (static_cast<unsigned>(m[4]) << 8) | m[5];
    std::size_t pos = 12;
    for (unsigned i = 0; i < count; ++i) {
        for (;;) {
            if (pos >= len) return 0;
            const std::uint8_t c = m[pos];
            if ((c & 0xC0) == 0xC0) {
                pos += 2;
                break;
            }
            if (c & 0xC0) return 0;
            pos += 1 + c;
            if (c == 0) break;
        }
        pos += 4;
        if (pos > len) return 0;
    }
    return pos;
}

std::uint8_t foldCase(std::uint8_t c) { return (c >= 'A' && c <= 'Z') ? static_cast<std::uint8_t>(c - 'A' + 'a') : c; }

// The DNS server is reached on 127.0.0.1 only (our socket is bound there):
// anything else on the loopback network is not the local server.
bool fromServerAddress(const sockaddr_storage& from) {
    return from.ss_family == AF_INET &&
           reinterpret_cast<const sockaddr_in*>(&from)->sin_addr.s_addr == htonl(INADDR_LOOPBACK);
}
}  // namespace

bool DnsClient::answers(const std::uint8_t* query, std::size_t qlen, const std::uint8_t* reply, std::size_t rlen) {
    if (qlen < 12 || rlen < 12) return false;
    if (reply[0] != query[0] || reply[1] != query[1] || !(reply[2] & 0x80)) return false;
    if (((reply[2] >> 3) & 0x0F) != ((query[2] >> 3) & 0x0F)) return false;
    const std::size_t qend = questionEnd(query, qlen);
    if (qend == 0 || rlen < qend || reply[4] != query[4] || reply[5] != query[5]) return false;
    for (std::size_t i = 12; i < qend; ++i)
        if (foldCase(reply[i]) != foldCase(query[i])) return false;
    return true;
}

int DnsClient::servers(const ResolvConf& conf, vnx::REndpoint* out, int cap) {
    int n = 0;
    bool upstreamAdded = false;
    for (int i = 0; i < conf.serverCount && n < cap; ++i) {
        if (!isLocalDestination(conf.servers[i])) {
            out[n++] = conf.servers[i];
            continue;
        }
        if (upstreamAdded) continue;
        upstreamAdded = true;
        vnx::REndpoint up;
        if (vnx::chooseDnsUpstream(up)) {
            out[n++] = up;
        } else {
            note("no resolver beyond the local stub is known: look-ups fail (set VEILNOX_DNS_UPSTREAM)");
        }
    }
    return n;
}

int DnsClient::exchangeUdp(const vnx::REndpoint& server, const std::uint8_t* query, std::size_t len,
                           std::uint8_t* answer, std::size_t cap, int timeoutMs, const Verdict& verdict,
                           bool& truncated) {
    truncated = false;
    int fd = RealCalls::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    FdTable::clear(fd);
    // Bound to loopback (port chosen at random by the kernel): only local
    // processes can reach this socket, and only the local server's recorded
    // reply is taken from them.
    sockaddr_storage local;
    socklen_t localLen = serverAddress(false, 0, local);
    bool ok = RealCalls::bind(fd, reinterpret_cast<sockaddr*>(&local), localLen) == 0;
    iovec iov{const_cast<std::uint8_t*>(query), len};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    ok = ok && UdpDivert::send(fd, AF_INET, server, msg, 0, verdict) == static_cast<ssize_t>(len);
    const std::uint64_t deadline = deadlineIn(timeoutMs);
    int result = -1;
    std::uint8_t reply[4096];
    while (ok && result < 0 && waitFor(fd, POLLIN, deadline)) {
        sockaddr_storage from{};
        socklen_t fromLen = sizeof from;
        ssize_t n =
            RealCalls::recvfrom(fd, reply, sizeof reply, MSG_TRUNC, reinterpret_cast<sockaddr*>(&from), &fromLen);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            break;
        }
        std::uint16_t serverPort = 0;
        bool viaIpv6 = false;
        if (!fromServerAddress(from) || !loopbackSource(from, serverPort, viaIpv6) || n > 0xffff) continue;
        std::size_t got = static_cast<std::size_t>(n) < sizeof reply ? static_cast<std::size_t>(n) : sizeof reply;
        if (!answers(query, len, reply, got)) continue;
        // The record comes last: a forged datagram must not use up the
        // record of the genuine answer.
        vnx::REndpoint source;
        if (!vnx::takeUdpSource(udpRecvTable(), serverPort, static_cast<std::uint16_t>(n), false, source)) continue;
        if (!(source == server)) continue;
        // A reply cut by our buffer counts as truncated: TCP has it all.
        truncated = (reply[2] & 0x02) != 0 || static_cast<std::size_t>(n) > sizeof reply;
        std::memcpy(answer, reply, got < cap ? got : cap);
        result = static_cast<int>(n);
    }
    RealCalls::close(fd);
    return result;
}

int DnsClient::exchangeTcp(const vnx::REndpoint& server, const std::uint8_t* query, std::size_t len,
                           std::uint8_t* answer, std::size_t cap, int timeoutMs, const Verdict& verdict) {
    if (len > 0xffff) return -1;
    const std::uint64_t deadline = deadlineIn(timeoutMs);
    int fd = TcpDivert::openInternal(server, verdict, timeoutMs);
    if (fd < 0) return -1;
    std::uint8_t head[2] = {static_cast<std::uint8_t>(len >> 8), static_cast<std::uint8_t>(len)};
    iovec iov[2] = {{head, 2}, {const_cast<std::uint8_t*>(query), len}};
    msghdr msg{};
    msg.msg_iov = iov;
    msg.msg_iovlen = 2;
    bool ok =
        waitFor(fd, POLLOUT, deadline) && RealCalls::sendmsg(fd, &msg, MSG_NOSIGNAL) == static_cast<ssize_t>(len + 2);
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
    int result = -1;
    if (ok && buf && sized && have == want && answers(query, len, buf, have)) {
        std::memcpy(answer, buf, have < cap ? have : cap);
        result = static_cast<int>(have);
    }
    std::free(buf);
    closeInternal(fd);
    return result;
}

namespace {
// SERVFAIL and REFUSED: another server may do better.
bool worthAnotherServer(const std::uint8_t* reply) { return (reply[3] & 0x0F) == 2 || (reply[3] & 0x0F) == 5; }
}  // namespace

int DnsClient::exchange(const ResolvConf& conf, const std::uint8_t* query, std::size_t len, std::uint8_t* answer,
                        std::size_t cap, const Verdict& verdict) {
    vnx::REndpoint list[ResolvConf::kMaxServers];
    const int count = servers(conf, list, ResolvConf::kMaxServers);
    const int timeoutMs = conf.timeoutSec * 1000;
    std::uint8_t first[12];
    int result = -1;
    for (int round = 0; round < conf.attempts; ++round) {
        for (int s = 0; s < count; ++s) {
            bool truncated = false;
            int n = exchangeUdp(list[s], query, len, answer, cap, timeoutMs, verdict, truncated);
            if (n < 0) continue;
            if (truncated) {
                int t = exchangeTcp(list[s], query, len, answer, cap, timeoutMs, verdict);
                if (t >= 0) n = t;
            }
            std::memcpy(first, answer, cap < 12 ? cap : 12);
            result = n;
            if (cap < 12 || !worthAnotherServer(first)) return n;
        }
    }
    return result;
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
    vnx::REndpoint list[ResolvConf::kMaxServers];
    const int count = servers(conf, list, ResolvConf::kMaxServers);
    const int timeoutMs = conf.timeoutSec * 1000;
    auto* reply = static_cast<std::uint8_t*>(std::malloc(65536));
    if (!reply) return answer;
    for (int round = 0; round < conf.attempts; ++round) {
        for (int s = 0; s < count; ++s) {
            bool truncated = false;
            int n = exchangeUdp(list[s], q, len, reply, 65536, timeoutMs, verdict, truncated);
            if (n < 0) continue;
            if (truncated) {
                int t = exchangeTcp(list[s], q, len, reply, 65536, timeoutMs, verdict);
                if (t >= 0) n = t;
            }
            const std::size_t got = static_cast<std::size_t>(n) < 65536u ? static_cast<std::size_t>(n) : 65536u;
            DnsAnswer a;
            if (DnsMessage::parseResponse(reply, got, id, name, type, a) != DnsMessage::Parse::Ok) continue;
            if (a.status != DnsAnswer::Status::Failed) {
                std::free(reply);
                return a;
            }
            answer = a;
        }
    }
    std::free(reply);
    answer.status = DnsAnswer::Status::Failed;
    return answer;
}

}  // namespace vnxmod
