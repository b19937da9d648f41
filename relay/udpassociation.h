#pragma once
// One UDP client endpoint talking to destinations of one address family: its
// own upstream socket (unbound until the first send, so the system picks the
// port), the client's masking choice and the destinations it has sent to.
// Datagrams from those destinations go back to the client through the relay's
// listening socket, framed by a header naming their real source. Datagrams
// from any other address are dropped, so the upstream port cannot be used to
// push traffic at the client.
//
// Owned by UdpRelay; event-loop thread only.
#include "epollhandler.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>

namespace vnxrelay {

class RelayContext;
struct SourceState;

// Where a client's datagram arrived, for answering from the same address.
struct LocalAddress {
    bool valid = false;
    int family = 0;  // AF_INET (in_pktinfo) or AF_INET6 (in6_pktinfo)
    in_addr addr4{};
    in6_addr addr6{};
    int ifindex = 0;
};

// What an association needs of the relay that owns it: a way back to the
// client. UdpRelay implements it.
class ClientSender {
public:
    virtual ~ClientSender() = default;
    // Sends a framed reply to a client from the address its datagrams arrived on.
    virtual void sendToClient(const sockaddr* client, socklen_t clientLen, const LocalAddress& local,
                              const std::uint8_t* data, std::size_t len) = 0;
    // Several framed replies to one client at once.
    virtual void sendBatchToClient(const sockaddr* client, socklen_t clientLen, const LocalAddress& local,
                                   std::uint8_t* const* frames, const std::size_t* lengths, int count) = 0;
};

class UdpAssociation : public EpollHandler {
public:
    static constexpr std::size_t kPeerMemory = 32;

    // Most reply bytes an unverified client can have in hand: bytes it sent
    // beyond this are not credited.
    static constexpr std::size_t kMaxCredit = 256 * 1024;

    // Counts itself against source's UDP associations while it lives.
    UdpAssociation(ClientSender& relay, RelayContext& ctx, const sockaddr* client, socklen_t clientLen, int destFamily,
                   SourceState* source);
    ~UdpAssociation() override;
    UdpAssociation(const UdpAssociation&) = delete;
    UdpAssociation& operator=(const UdpAssociation&) = delete;

    // Creates and registers the upstream socket. False on failure.
    bool open();
    // A client datagram of requestLen bytes for dest (payload already
    // unmasked): remembers the destination and the client's choices, credits
    // the request's size toward replies, then sends the payload.
    void sendToDestination(const std::uint8_t* payload, std::size_t len, const sockaddr* dest, socklen_t destLen,
                           bool masked, const LocalAddress& local, std::size_t requestLen);
    void onEvents(std::uint32_t events) override;

    const sockaddr* client() const { return reinterpret_cast<const sockaddr*>(&client_); }
    socklen_t clientLength() const { return clientLen_; }
    const LocalAddress& local() const { return local_; }
    std::uint64_t lastActive() const { return lastActive_; }

private:
    struct Peer {
        std::uint8_t len = 0;  // 4 or 16; 0 = unused
        std::uint8_t addr[16] = {};
    };
    void rememberPeer(const sockaddr* dest);
    bool knowsPeer(const sockaddr* src) const;

    ClientSender& relay_;
    RelayContext& ctx_;
    sockaddr_storage client_{};
    socklen_t clientLen_ = 0;
    int family_;
    SourceState* source_;
    std::size_t credit_ = 0;  // reply bytes an unverified client may still receive
    int fd_ = -1;
    bool masked_ = false;
    LocalAddress local_;
    std::uint64_t lastActive_ = 0;
    Peer peers_[kPeerMemory];
    std::size_t nextPeer_ = 0;
};

}  // namespace vnxrelay
