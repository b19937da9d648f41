#include "udpassociation.h"

#include "relaycontext.h"
#include "relayheader.h"
#include "sourcetable.h"

#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace vnxrelay {

namespace {

// The address bytes of an AF_INET or AF_INET6 socket address.
const std::uint8_t* addressBytes(const sockaddr* sa, std::uint8_t& len) {
    if (sa->sa_family == AF_INET) {
        len = 4;
        return reinterpret_cast<const std::uint8_t*>(&reinterpret_cast<const sockaddr_in*>(sa)->sin_addr);
    }
    if (sa->sa_family == AF_INET6) {
        len = 16;
        return reinterpret_cast<const std::uint8_t*>(&reinterpret_cast<const sockaddr_in6*>(sa)->sin6_addr);
    }
    len = 0;
    return nullptr;
}

}  // namespace

UdpAssociation::UdpAssociation(ClientSender& relay, RelayContext& ctx, const sockaddr* client, socklen_t clientLen,
                               int destFamily, SourceState* source)
    : relay_(relay), ctx_(ctx), family_(destFamily), source_(source) {
    ++source_->udp;
    clientLen_ = clientLen <= sizeof client_ ? clientLen : sizeof client_;
    std::memcpy(&client_, client, clientLen_);
    lastActive_ = ctx_.nowMs;
}

UdpAssociation::~UdpAssociation() {
    --source_->udp;
    if (fd_ >= 0) close(fd_);
}

bool UdpAssociation::open() {
    fd_ = socket(family_, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return false;
    // Level-triggered: a burst of replies is served a budget at a time.
    return ctx_.watch(fd_, this, EPOLLIN);
}

void UdpAssociation::rememberPeer(const sockaddr* dest) {
    std::uint8_t len;
    const std::uint8_t* a = addressBytes(dest, len);
    if (!a) return;
    for (const Peer& p : peers_)
        if (p.len == len && std::memcmp(p.addr, a, len) == 0) return;
    Peer& slot = peers_[nextPeer_];
    nextPeer_ = (nextPeer_ + 1) % kPeerMemory;
    slot.len = len;
    std::memcpy(slot.addr, a, len);
}

bool UdpAssociation::knowsPeer(const sockaddr* src) const {
    std::uint8_t len;
    const std::uint8_t* a = addressBytes(src, len);
    if (!a) return false;
    for (const Peer& p : peers_)
        if (p.len == len && std::memcmp(p.addr, a, len) == 0) return true;
    return false;
}

void UdpAssociation::sendToDestination(const std::uint8_t* payload, std::size_t len, const sockaddr* dest,
                                       socklen_t destLen, bool masked, const LocalAddress& local,
                                       std::size_t requestLen) {
    masked_ = masked;
    credit_ = std::min(kMaxCredit, credit_ + requestLen);
    local_ = local;
    lastActive_ = ctx_.nowMs;
    rememberPeer(dest);
    // A datagram that cannot go out now is lost, as UDP allows.
    ssize_t r;
    do {
        r = sendto(fd_, payload, len, MSG_NOSIGNAL, dest, destLen);
    } while (r < 0 && errno == EINTR);
}

void UdpAssociation::onEvents(std::uint32_t events) {
    (void)events;
    constexpr int kBatch = RelayContext::kBatch;
    const std::size_t cap = RelayContext::kScratchSize - RelayContext::kHeadroom;
    sockaddr_storage src[kBatch];
    iovec iov[kBatch];
    mmsghdr msgs[kBatch];
    std::uint8_t* frames[kBatch];
    std::size_t frameLengths[kBatch];
    // Each reply is read behind room for its header into a buffer of its
    // own, framed in place, and the batch goes back to the client in one
    // system call. A batch that is not full means the queue is empty.
    for (int round = 0; round < RelayContext::kBudget / 4; ++round) {
        for (int i = 0; i < kBatch; ++i) {
            iov[i] = {ctx_.batchBuffer(i) + RelayContext::kHeadroom, cap};
            msghdr& m = msgs[i].msg_hdr;
            m = msghdr{};
            m.msg_name = &src[i];
            m.msg_namelen = sizeof src[i];
            m.msg_iov = &iov[i];
            m.msg_iovlen = 1;
            msgs[i].msg_len = 0;
        }
        int n = recvmmsg(fd_, msgs, kBatch, MSG_DONTWAIT, nullptr);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) return;
            continue;  // EINTR, or an error queued by ICMP: consumed, go on
        }
        int framed = 0;
        for (int i = 0; i < n; ++i) {
            // An oversized datagram is dropped rather than relayed cut short.
            if (msgs[i].msg_hdr.msg_flags & MSG_TRUNC) continue;
            const std::size_t len = msgs[i].msg_len;
            const sockaddr* from = reinterpret_cast<const sockaddr*>(&src[i]);
            if (!knowsPeer(from)) continue;
            const std::size_t frameLen = RelayContext::kHeadroom + len;
            if (!ctx_.sourceVerified(client(), source_)) {
                // Dropped whole rather than cut: a partial datagram is useless.
                if (frameLen > credit_) continue;
                credit_ -= frameLen;
            }
            lastActive_ = ctx_.nowMs;

            vnx::RRelayHeader h;
            h.kind = vnx::kRelayKindData;
            h.masked = masked_;
            if (src[i].ss_family == AF_INET) {
                const auto* s4 = reinterpret_cast<const sockaddr_in*>(&src[i]);
                h.ipv4 = s4->sin_addr.s_addr;
                h.port = s4->sin_port;
            } else {
                const auto* s6 = reinterpret_cast<const sockaddr_in6*>(&src[i]);
                std::memcpy(h.ipv6, &s6->sin6_addr, 16);
                h.port = s6->sin6_port;
            }
            std::uint8_t* frame = ctx_.batchBuffer(i);
            vnx::buildRelayHeader(h, frame);
            if (masked_) vnx::maskBuffer(frame + RelayContext::kHeadroom, len);
            frames[framed] = frame;
            frameLengths[framed] = frameLen;
            ++framed;
        }
        relay_.sendBatchToClient(client(), clientLen_, local_, frames, frameLengths, framed);
        if (n < kBatch) return;
    }
}

}  // namespace vnxrelay
