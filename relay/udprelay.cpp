#include "udprelay.h"

#include "addresspolicy.h"
#include "hop/datagram.h"
#include "relaycontext.h"
#include "relayheader.h"
#include "relayrequest.h"

#include <netinet/in.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

namespace vnxrelay {

namespace {

bool isWildcard(const sockaddr* sa) {
    if (sa->sa_family == AF_INET) return reinterpret_cast<const sockaddr_in*>(sa)->sin_addr.s_addr == INADDR_ANY;
    const auto* s6 = reinterpret_cast<const sockaddr_in6*>(sa);
    return IN6_IS_ADDR_UNSPECIFIED(&s6->sin6_addr);
}

// Reads the arrival address from IP_PKTINFO / IPV6_PKTINFO.
LocalAddress localFromControl(msghdr& msg) {
    LocalAddress local;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO && c->cmsg_len >= CMSG_LEN(sizeof(in_pktinfo))) {
            in_pktinfo pi;
            std::memcpy(&pi, CMSG_DATA(c), sizeof pi);
            local.valid = true;
            local.family = AF_INET;
            // The header's destination, unless it was a broadcast: then the
            // interface address the kernel would answer from.
            local.addr4 = pi.ipi_addr;
            if (IN_MULTICAST(ntohl(pi.ipi_addr.s_addr)) || pi.ipi_addr.s_addr == INADDR_BROADCAST)
                local.addr4 = pi.ipi_spec_dst;
            local.ifindex = pi.ipi_ifindex;
        } else if (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_PKTINFO &&
                   c->cmsg_len >= CMSG_LEN(sizeof(in6_pktinfo))) {
            in6_pktinfo pi;
            std::memcpy(&pi, CMSG_DATA(c), sizeof pi);
            local.valid = true;
            local.family = AF_INET6;
            local.addr6 = pi.ipi6_addr;
            local.ifindex = static_cast<int>(pi.ipi6_ifindex);
        }
    }
    return local;
}

}  // namespace

bool UdpRelay::Key::operator==(const Key& o) const {
    return port == o.port && family == o.family && destFamily == o.destFamily && std::memcmp(addr, o.addr, 16) == 0;
}

std::size_t UdpRelay::KeyHash::operator()(const Key& k) const {
    // FNV-1a over the key bytes.
    std::uint64_t h = 1469598103934665603ULL;
    auto mix = [&h](const std::uint8_t* p, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) {
            h ^= p[i];
            h *= 1099511628211ULL;
        }
    };
    mix(k.addr, 16);
    mix(reinterpret_cast<const std::uint8_t*>(&k.port), 2);
    mix(&k.family, 1);
    mix(&k.destFamily, 1);
    return static_cast<std::size_t>(h);
}

bool UdpRelay::makeKey(const sockaddr* client, int destFamily, Key& key) {
    std::memset(&key, 0, sizeof key);
    key.destFamily = static_cast<std::uint8_t>(destFamily);
    if (client->sa_family == AF_INET) {
        const auto* s4 = reinterpret_cast<const sockaddr_in*>(client);
        std::memcpy(key.addr, &s4->sin_addr, 4);
        key.port = s4->sin_port;
        key.family = AF_INET;
        return true;
    }
    if (client->sa_family == AF_INET6) {
        const auto* s6 = reinterpret_cast<const sockaddr_in6*>(client);
        std::memcpy(key.addr, &s6->sin6_addr, 16);
        key.port = s6->sin6_port;
        key.family = AF_INET6;
        return true;
    }
    return false;
}

UdpRelay::UdpRelay(RelayContext& ctx) : ctx_(ctx) {}

UdpRelay::~UdpRelay() { close(); }

void UdpRelay::close() {
    for (auto& e : table_)
        delete e.second;
    ctx_.liveUdpAssociations -= static_cast<std::uint32_t>(table_.size());
    table_.clear();
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool UdpRelay::open(const sockaddr* addr, socklen_t len, std::string& error, int& errnoOut) {
    errnoOut = 0;
    fd_ = socket(addr->sa_family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
        errnoOut = errno;
        error = std::string("cannot create the UDP socket: ") + std::strerror(errnoOut);
        return false;
    }
    std::memcpy(&bound_, addr, len);
    wildcard_ = isWildcard(addr);
    int on = 1;
    int off = 0;
    if (addr->sa_family == AF_INET6) {
        // [::] serves IPv4 clients too (as mapped addresses).
        setsockopt(fd_, IPPROTO_IPV6, IPV6_V6ONLY, wildcard_ ? &off : &on, sizeof on);
    }
    // Room for bursts of datagrams (the kernel caps it at its maximum).
    int bufSize = 4 * 1024 * 1024;
    setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &bufSize, sizeof bufSize);
    setsockopt(fd_, SOL_SOCKET, SO_SNDBUF, &bufSize, sizeof bufSize);
    if (wildcard_) {
        // Learn each datagram's arrival address: probe answers report it and
        // replies leave from it, as the client expects.
        if (addr->sa_family == AF_INET)
            setsockopt(fd_, IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
        else
            setsockopt(fd_, IPPROTO_IPV6, IPV6_RECVPKTINFO, &on, sizeof on);
    }
    if (bind(fd_, addr, len) != 0) {
        errnoOut = errno;
        error = std::string("cannot bind UDP to ") + formatSocketAddress(addr) + ": " + std::strerror(errnoOut);
        ::close(fd_);
        fd_ = -1;
        return false;
    }
    if (!ctx_.watch(fd_, this, EPOLLIN)) {
        errnoOut = errno;
        error = std::string("cannot watch the UDP socket: ") + std::strerror(errnoOut);
        ::close(fd_);
        fd_ = -1;
        return false;
    }
    table_.reserve(ctx_.opts.maxUdp);
    return true;
}

void UdpRelay::onEvents(std::uint32_t events) {
    (void)events;
    constexpr int kBatch = RelayContext::kBatch;
    constexpr std::size_t kControlSize = CMSG_SPACE(sizeof(in6_pktinfo)) + CMSG_SPACE(sizeof(in_pktinfo));
    alignas(cmsghdr) char control[kBatch][kControlSize];
    sockaddr_storage from[kBatch];
    iovec iov[kBatch];
    mmsghdr msgs[kBatch];
    // One system call takes what is queued, up to a batch; a batch that is
    // not full means the queue is empty (the socket is level-triggered, so
    // what arrives meanwhile raises a new event).
    for (int round = 0; round < RelayContext::kBudget / 4; ++round) {
        for (int i = 0; i < kBatch; ++i) {
            iov[i] = {ctx_.batchBuffer(i), RelayContext::kScratchSize};
            msghdr& m = msgs[i].msg_hdr;
            m = msghdr{};
            m.msg_name = &from[i];
            m.msg_namelen = sizeof from[i];
            m.msg_iov = &iov[i];
            m.msg_iovlen = 1;
            if (wildcard_) {
                m.msg_control = control[i];
                m.msg_controllen = kControlSize;
            }
            msgs[i].msg_len = 0;
        }
        int n = recvmmsg(fd_, msgs, kBatch, MSG_DONTWAIT, nullptr);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) return;
            continue;  // EINTR or a queued ICMP error: consumed, go on
        }
        for (int i = 0; i < n; ++i) {
            msghdr& m = msgs[i].msg_hdr;
            if (m.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) continue;
            LocalAddress local;
            if (wildcard_) local = localFromControl(m);
            handleDatagram(ctx_.batchBuffer(i), msgs[i].msg_len, reinterpret_cast<const sockaddr*>(&from[i]),
                           m.msg_namelen, local);
        }
        if (n < kBatch) return;
    }
}

void UdpRelay::handleDatagram(std::uint8_t* buf, std::size_t len, const sockaddr* from, socklen_t fromLen,
                              const LocalAddress& local) {
    if (!ctx_.policy.clientAllowed(from)) return;
    const std::size_t received = len;
    if (ctx_.keyed()) {
        // Only sealed datagrams: anything that does not open (no key, a
        // wrong key, tampered, truncated, replayed, or recorded long ago) is
        // dropped without an answer.
        std::size_t plainLength = 0;
        if (ctx_.opener->open(buf, len, ctx_.opened, RelayContext::sealedSize(), &plainLength) !=
            vnxhop::OpenResult::Ok)
            return;
        buf = ctx_.opened;
        len = plainLength;
    }
    RelayRequest req;
    if (decodeRelayRequest(buf, len, true, req) != RequestStatus::Ok) return;
    if (req.kind == vnx::kRelayKindProbe) {
        if (len == vnx::kRelayHeaderSize) answerProbe(from, fromLen, local);
        return;
    }
    const sockaddr* dest = reinterpret_cast<const sockaddr*>(&req.dest);
    if (!ctx_.policy.destinationAllowed(dest)) {
        ctx_.log("refused UDP destination %s (internal address; see --allow-private)",
                 formatSocketAddress(dest).c_str());
        return;
    }
    Key key;
    if (!makeKey(from, req.dest.ss_family, key)) return;
    UdpAssociation* a = nullptr;
    auto it = table_.find(key);
    if (it != table_.end()) {
        a = it->second;
    } else {
        if (table_.size() >= ctx_.opts.maxUdp) {
            ctx_.log("UDP association limit (%u) reached; datagram dropped", ctx_.opts.maxUdp);
            return;
        }
        SourceState* src = ctx_.sources.get(from);
        if (!src) return;
        if (src->udp >= ctx_.opts.maxUdpPerSource) {
            ctx_.log("per-source UDP association limit (%u) reached for %s; datagram dropped",
                     ctx_.opts.maxUdpPerSource, formatSocketAddress(from).c_str());
            return;
        }
        a = new (std::nothrow) UdpAssociation(*this, ctx_, from, fromLen, req.dest.ss_family, src);
        if (!a || !a->open()) {
            ctx_.log("cannot open a UDP association: %s", std::strerror(errno));
            delete a;
            return;
        }
        try {
            table_.emplace(key, a);
        } catch (...) {
            delete a;
            return;
        }
        ++ctx_.liveUdpAssociations;
    }
    auto* payload = const_cast<std::uint8_t*>(req.payload);
    // Inside the seal nothing is masked.
    const bool masked = req.masked && !ctx_.keyed();
    if (masked) vnx::maskBuffer(payload, req.payloadLength);
    a->sendToDestination(payload, req.payloadLength, dest, req.destLen, masked, local, received);
}

void UdpRelay::answerProbe(const sockaddr* from, socklen_t fromLen, const LocalAddress& local) {
    std::uint32_t ip = ctx_.opts.publicIpv4;
    if (ip == 0) {
        // The address the probe reached: the bound one, or for a wildcard
        // socket the arrival address; IPv4 when it has one, else 0.
        sockaddr_storage reached = bound_;
        if (wildcard_ && local.valid) {
            if (local.family == AF_INET) {
                sockaddr_in s4{};
                s4.sin_family = AF_INET;
                s4.sin_addr = local.addr4;
                std::memcpy(&reached, &s4, sizeof s4);
            } else {
                sockaddr_in6 s6{};
                s6.sin6_family = AF_INET6;
                s6.sin6_addr = local.addr6;
                std::memcpy(&reached, &s6, sizeof s6);
            }
        }
        PlainAddress pa;
        if (plainAddress(reinterpret_cast<const sockaddr*>(&reached), pa) && pa.family == AF_INET)
            std::memcpy(&ip, pa.addr, 4);
    }
    std::uint32_t count = ctx_.connectionCount();
    std::uint8_t answer[8];
    std::memcpy(answer, &ip, 4);
    for (int i = 0; i < 4; ++i)
        answer[4 + i] = static_cast<std::uint8_t>(count >> (8 * i));
    sendToClient(from, fromLen, local, answer, sizeof answer);
}

void UdpRelay::sendToClient(const sockaddr* client, socklen_t clientLen, const LocalAddress& local,
                            const std::uint8_t* data, std::size_t len) {
    std::uint8_t* frames[1] = {const_cast<std::uint8_t*>(data)};
    std::size_t lengths[1] = {len};
    sendBatchToClient(client, clientLen, local, frames, lengths, 1);
}

void UdpRelay::sendBatchToClient(const sockaddr* client, socklen_t clientLen, const LocalAddress& local,
                                 std::uint8_t* const* frames, const std::size_t* lengths, int count) {
    constexpr int kBatch = RelayContext::kBatch;
    if (count <= 0) return;
    if (count > kBatch) count = kBatch;
    iovec iov[kBatch];
    mmsghdr msgs[kBatch];
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in6_pktinfo))];
    std::memset(control, 0, sizeof control);
    std::size_t controlLength = 0;
    if (wildcard_ && local.valid) {
        cmsghdr* c = reinterpret_cast<cmsghdr*>(control);
        if (local.family == AF_INET) {
            in_pktinfo pi{};
            pi.ipi_spec_dst = local.addr4;
            c->cmsg_level = IPPROTO_IP;
            c->cmsg_type = IP_PKTINFO;
            c->cmsg_len = CMSG_LEN(sizeof pi);
            std::memcpy(CMSG_DATA(c), &pi, sizeof pi);
            controlLength = CMSG_SPACE(sizeof pi);
        } else {
            in6_pktinfo pi{};
            pi.ipi6_addr = local.addr6;
            // The interface matters only for link-local sources.
            if (IN6_IS_ADDR_LINKLOCAL(&local.addr6)) pi.ipi6_ifindex = static_cast<unsigned>(local.ifindex);
            c->cmsg_level = IPPROTO_IPV6;
            c->cmsg_type = IPV6_PKTINFO;
            c->cmsg_len = CMSG_LEN(sizeof pi);
            std::memcpy(CMSG_DATA(c), &pi, sizeof pi);
            controlLength = CMSG_SPACE(sizeof pi);
        }
    }
    int n = 0;
    for (int i = 0; i < count; ++i) {
        std::uint8_t* data = frames[i];
        std::size_t len = lengths[i];
        if (ctx_.keyed()) {
            // Sealed into a buffer of the frame's own (a probe answer comes
            // from the stack, datagrams from the batch).
            std::uint8_t* out = count == 1 ? ctx_.sealed : ctx_.sealedBuffer(i);
            len = ctx_.sealer->seal(data, len, out, RelayContext::sealedSize());
            if (len == 0) continue;
            data = out;
        }
        iov[n] = {data, len};
        msghdr& m = msgs[n].msg_hdr;
        m = msghdr{};
        m.msg_name = const_cast<sockaddr*>(client);
        m.msg_namelen = clientLen;
        m.msg_iov = &iov[n];
        m.msg_iovlen = 1;
        if (controlLength) {
            m.msg_control = control;
            m.msg_controllen = controlLength;
        }
        msgs[n].msg_len = 0;
        ++n;
    }
    int done = 0;
    int attempts = 0;
    while (done < n && attempts++ < kBatch * 2) {
        int r = sendmmsg(fd_, msgs + done, static_cast<unsigned>(n - done), MSG_NOSIGNAL);
        if (r > 0) {
            done += r;
            continue;
        }
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 && errno == EINVAL && msgs[done].msg_hdr.msg_control) {
            // The arrival address cannot be used as a source (it went away):
            // let the kernel choose.
            for (int i = done; i < n; ++i) {
                msgs[i].msg_hdr.msg_control = nullptr;
                msgs[i].msg_hdr.msg_controllen = 0;
            }
            continue;
        }
        // A datagram that cannot go out now is lost, as UDP allows; the
        // rest still get their chance.
        ++done;
    }
}

void UdpRelay::checkTimers() {
    const std::uint64_t now = ctx_.nowMs;
    for (auto it = table_.begin(); it != table_.end();) {
        if (now - it->second->lastActive() >= ctx_.opts.udpTimeoutMs) {
            delete it->second;
            it = table_.erase(it);
            --ctx_.liveUdpAssociations;
        } else {
            ++it;
        }
    }
}

}  // namespace vnxrelay
