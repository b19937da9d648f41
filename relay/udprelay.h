#pragma once
// The relay's UDP side: the listening socket (same port as TCP), the table of
// UDP associations and the connectivity probe.
//
// A datagram that starts with a relay header of kind 0 is unframed (and
// unmasked when the header says so) and sent to the destination from the
// association of (client endpoint, destination family). A 32-byte header of
// kind 5 is a probe: it is answered with 8 plain bytes, the relay's IPv4
// address as the probe reached it and the live connection count (u32,
// little-endian). Everything else, and everything the policy refuses, is
// dropped. Event-loop thread only.
#include "epollhandler.h"
#include "udpassociation.h"

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>

namespace vnxrelay {

class RelayContext;

class UdpRelay : public EpollHandler, public ClientSender {
public:
    explicit UdpRelay(RelayContext& ctx);
    ~UdpRelay() override;
    UdpRelay(const UdpRelay&) = delete;
    UdpRelay& operator=(const UdpRelay&) = delete;

    // Binds the listening socket to addr (the port must be set) and watches
    // it. False with a message on failure; errnoOut holds the bind error.
    bool open(const sockaddr* addr, socklen_t len, std::string& error, int& errnoOut);
    void close();

    void onEvents(std::uint32_t events) override;
    // Drops associations idle for longer than the UDP time-out.
    void checkTimers();

    // Sends a framed reply (or a probe answer) to a client from the address
    // its datagrams arrived on.
    void sendToClient(const sockaddr* client, socklen_t clientLen, const LocalAddress& local, const std::uint8_t* data,
                      std::size_t len) override;
    // The same for up to RelayContext::kBatch frames in one system call
    // (sealed first on a keyed relay).
    void sendBatchToClient(const sockaddr* client, socklen_t clientLen, const LocalAddress& local,
                           std::uint8_t* const* frames, const std::size_t* lengths, int count) override;

    std::size_t associationCount() const { return table_.size(); }

private:
    struct Key {
        std::uint8_t addr[16];
        std::uint16_t port;
        std::uint8_t family;
        std::uint8_t destFamily;
        bool operator==(const Key& o) const;
    };
    struct KeyHash {
        std::size_t operator()(const Key& k) const;
    };

    void handleDatagram(std::uint8_t* buf, std::size_t len, const sockaddr* from, socklen_t fromLen,
                        const LocalAddress& local);
    void answerProbe(const sockaddr* from, socklen_t fromLen, const LocalAddress& local);
    static bool makeKey(const sockaddr* client, int destFamily, Key& key);

    RelayContext& ctx_;
    int fd_ = -1;
    sockaddr_storage bound_{};
    bool wildcard_ = false;
    std::unordered_map<Key, UdpAssociation*, KeyHash> table_;
};

}  // namespace vnxrelay
