#pragma once
// The relay of datagrams that the kernel capture hooks diverted. The hooks
// give each real destination of a user a loopback alias 127.a.b.c and send
// the program's datagrams to alias:port (the port of this thread's socket,
// which the server registers with the hooks);
// this thread receives them on every loopback address, asks the hooks which
// destination an alias stands for, relays each flow (program endpoint,
// alias) through an upstream socket of its own, and sends what comes back to
// the program from that alias, which the hooks show the program as the real
// peer.
//
// An upstream socket is connected to the proxy server (or, relaying
// directly, to the destination), so only that peer's datagrams are taken.
// Flows silent for a minute are removed. One thread; the flows are touched
// by it alone.
#include "hopclient.h"
#include "platform/net.h"
#include "rendpoint.h"
#include "rthread.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <string>
#include <utility>

class RCaptureUdp : public RServingThread {
public:
    RCaptureUdp() = default;
    // Closes every flow's upstream socket, then the capture socket.
    ~RCaptureUdp() override = default;

    // Binds the capture socket on `port` (network order, 0 for any free
    // one) of every loopback address and registers it with the hooks. False
    // when it cannot be had (the thread is then not started).
    bool open(std::uint16_t port);
    // Whether the hooks took the registration (kernel capture is active).
    bool isRegistered() const { return registered; }
    std::uint16_t port() const { return ownPort; }
    // False (nothing started) when open() did not get its socket.
    bool start();

    void setIdleLimit(std::uint32_t seconds) { idleLimit = seconds ? seconds : 1; }
    // Flows that exist now.
    std::size_t flowCount() const { return flowsNow.load(); }

    static constexpr int kBufferSize = 8192;

protected:
    void serve() override;
    const char* serveName() const override { return "RCaptureUdp::run"; }

private:
    struct Flow {
        sockaddr_in app{};           // the program's socket
        std::uint32_t alias = 0;     // the loopback address it sent to
        vnx::REndpoint destination;  // the real one (a stub's upstream for local DNS)
        vnxplat::Socket up;          // closed when the flow is erased
        bool viaProxy = false;
        bool masked = false;
        bool keyed = false;  // the proxy has a key: datagrams are sealed
        std::uint8_t key[vnxhop::kKeySize] = {};
        std::string appName;
        std::uint32_t lastActive = 0;
    };
    using Key = std::pair<std::uint64_t, std::uint32_t>;  // (app address:port, alias)

    void fromPrograms();
    void fromUpstream(Flow& flow);
    Flow* createFlow(const sockaddr_in& app, std::uint32_t alias);
    void removeFlow(std::map<Key, Flow>::iterator it);
    void removeIdle(std::uint32_t now);

    // Declared before the flows, so closed after their sockets.
    vnxplat::Socket sock;
    std::uint16_t ownPort = 0;  // network order
    bool registered = false;
    std::map<Key, Flow> flows;
    std::atomic<std::size_t> flowsNow{0};
    std::uint32_t idleLimit = 60;
    // Room in front of the payload for the relay header.
    std::uint8_t buffer[kBufferSize + 64];
    // Sealed datagrams to and from a keyed proxy, and their seals.
    std::uint8_t hopBuffer[kBufferSize + 64 + vnxhop::kSealOverhead];
    HopDatagrams hop;
};
