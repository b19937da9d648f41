#pragma once
// State shared by the relay's listeners, TCP relays and UDP associations.
// One instance per server, used only on the event-loop thread.
#include "addresspolicy.h"
#include "bufferpool.h"
#include "relayoptions.h"
#include "sourcetable.h"

#include <cstdint>
#include <memory>
#include <vector>

typedef struct ssl_ctx_st SSL_CTX;

namespace vnxhop {
class Opener;
class Sealer;
}  // namespace vnxhop

namespace vnxrelay {

class EpollHandler;
class TcpRelay;

class RelayContext {
public:
    // Bytes moved per read in a TCP direction. 128 KiB took about a fifth
    // less CPU per relayed byte than 64 KiB (fewer system calls per byte);
    // a busy direction holds one such buffer, so the most memory that can be
    // lent out is max-conns x 2 x 128 KiB.
    static constexpr std::size_t kRelayBufferSize = 128 * 1024;
    // Room in front of a datagram for the reply header.
    static constexpr std::size_t kHeadroom = 32;
    // Large enough for a TCP read, and for the largest datagram plus the
    // headroom, so a whole datagram always fits.
    static constexpr std::size_t kScratchSize =
        kHeadroom + 65536 > kRelayBufferSize ? kHeadroom + 65536 : kRelayBufferSize;
    static_assert(kScratchSize >= kRelayBufferSize, "TCP reads go through the scratch buffer too");
    // Reads or datagrams handled for one socket before others get a turn.
    static constexpr int kBudget = 16;
    // Datagrams taken or sent in one system call (recvmmsg, sendmmsg).
    static constexpr int kBatch = 16;

    explicit RelayContext(const RelayOptions& options);
    ~RelayContext();
    RelayContext(const RelayContext&) = delete;
    RelayContext& operator=(const RelayContext&) = delete;

    // A keyed relay (opts.keyed) also needs its TLS context and datagram
    // seals, made by the constructor.
    bool valid() const {
        return epfd >= 0 && scratch != nullptr && batch != nullptr &&
               (!opts.keyed || (tls && opener && sealer && sealed && opened && sealedBatch));
    }
    bool keyed() const { return opts.keyed; }

    // EPOLL_CTL_ADD with handler as the event's data. False on failure.
    bool watch(int fd, EpollHandler* handler, std::uint32_t events);
    bool rewatch(int fd, EpollHandler* handler, std::uint32_t events);
    void updateClock();

    // A relay that closed: freed after the current batch of events, since
    // events already fetched may still point at it.
    void retire(TcpRelay* relay);
    // The oldest connection still reading its header, across all sources
    // (TcpRelay keeps the list); the oldest are shed first when the
    // connection limits are reached.
    TcpRelay* oldestHeaderless() const { return oldestHeaderless_; }

    // Whether UDP replies may exceed what client sent: the relay has a key
    // (its datagrams are authenticated), the client is in the allow list
    // (given one), on loopback (which the kernel never accepts from
    // outside), or has recently completed a TCP handshake with the relay.
    bool sourceVerified(const sockaddr* client, const SourceState* source) const;

    // Live TCP relays (past the header) plus live UDP associations: the
    // figure reported in probe answers.
    std::uint32_t connectionCount() const { return liveTcpRelays + liveUdpAssociations; }

    // A diagnostic line on stderr, unless --quiet. At most a burst of lines
    // per ten seconds, so that a flood of bad clients cannot flood the log.
    void log(const char* fmt, ...) __attribute__((format(printf, 2, 3)));

    const RelayOptions& opts;
    AddressPolicy policy;
    SourceTable sources;
    int epfd = -1;
    std::uint64_t nowMs = 0;  // monotonic, updated after every wait
    BufferPool pool;
    std::uint8_t* scratch = nullptr;  // kScratchSize bytes, for reads that are written on at once
    // kBatch buffers of kScratchSize bytes for batches of datagrams (only the
    // pages that datagrams touch become resident), and on a keyed relay as
    // many of sealedSize() bytes for their seals.
    std::uint8_t* batch = nullptr;
    std::uint8_t* sealedBatch = nullptr;
    std::uint8_t* batchBuffer(int i) const { return batch + std::size_t(i) * kScratchSize; }
    std::uint8_t* sealedBuffer(int i) const { return sealedBatch + std::size_t(i) * sealedSize(); }

    // The keyed hop (null for a relay without a key): TLS for TCP clients,
    // and the seals of datagrams from and to clients; `sealed` is room for a
    // sealed datagram (kScratchSize + the seal's overhead).
    SSL_CTX* tls = nullptr;
    std::unique_ptr<vnxhop::Opener> opener;
    std::unique_ptr<vnxhop::Sealer> sealer;
    std::uint8_t* sealed = nullptr;
    std::uint8_t* opened = nullptr;  // room for an opened datagram, as large
    static std::size_t sealedSize();

    std::uint32_t tcpConnections = 0;  // accepted and not yet closed
    std::uint32_t liveTcpRelays = 0;
    std::uint32_t liveUdpAssociations = 0;

    std::vector<TcpRelay*> retired;
    // Relays that stopped only because their budget ran out: run again
    // before waiting for new events.
    std::vector<TcpRelay*> ready;
    // Relays waiting for their client to acknowledge the last bytes before
    // they end it with a reset (TcpRelay::endWhenAcked). No event tells of
    // an acknowledgement: each is polled, soon at first and then less often
    // (TcpRelay::checkAcked), and the loop wakes for the earliest.
    std::vector<TcpRelay*> waitingAck;
    std::uint64_t nextAckCheck = 0;
    // Both ends of the list of header-less connections (TcpRelay's links).
    TcpRelay* oldestHeaderless_ = nullptr;
    TcpRelay* newestHeaderless_ = nullptr;

private:
    std::uint64_t logWindowStart_ = 0;
    unsigned logLines_ = 0;
    unsigned logSuppressed_ = 0;
};

}  // namespace vnxrelay
