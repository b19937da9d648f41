#pragma once
// The UDP relay: one thread that receives application datagrams on an IPv4
// and (optionally) an IPv6 socket, keeps one RUdpTunnel per pair of
// application endpoint and destination, forwards each datagram through it,
// and sends what comes back on a tunnel to the application. Tunnels silent
// for about a minute are removed. Generic: slot tables, relay framing and
// statistics live in the hooks that RLocalServer overrides.
//
// One thread serves every socket with one poll() (no limit on the number of
// tunnels watched). The map and the tunnels are touched only by that thread.
#include "platform/net.h"
#include "rendpoint.h"
#include "rthread.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

class RUdpTunnel;

class RUdpServer : public RServingThread {
public:
    RUdpServer() = default;
    // Deletes the tunnels left in the map, then closes both server sockets.
    ~RUdpServer() override;

    // Hooks, called on the relay thread.
    // Before a tunnel is destroyed. Base: false.
    virtual bool OnTunnelClose(RUdpTunnel* tunnel);
    // A new tunnel, with the process id that OnGetRemoteAddr returned. False
    // drops the tunnel before anything is sent through it. Base: false.
    virtual bool OnTunnelCreate(RUdpTunnel* tunnel, std::uint32_t pid);
    // Where a client datagram goes. `data`/`length` may be moved back into
    // the headroom (a header in front) or forward. False drops the datagram.
    // Base: false.
    virtual bool OnGetRemoteAddr(const vnx::REndpoint& client, vnx::REndpoint& remote, std::uint8_t*& data, int& length,
                                 std::uint8_t& mask, bool fromSock4, std::uint32_t& pid);
    // A datagram that came back on a tunnel from `from`, before it is sent to
    // the application; may move or shorten the data. Base: false.
    virtual bool OnSendToClient(RUdpTunnel* tunnel, const vnx::REndpoint& from, std::uint8_t*& data, int& length);
    // A client datagram about to be sent through a tunnel. Base: nothing.
    virtual void OnSendToRemote(RUdpTunnel* tunnel, std::uint8_t*& data, int& length);

    bool ipv6Enabled = true;
    // ipv4 / ipv6: addresses to bind (0 = all interfaces); port: the port of
    // both (network order).
    vnx::REndpoint bindAddr;
    // When the port is held by another program, bind a free one instead
    // (see RTcpServer::anyPortIfTaken).
    bool anyPortIfTaken = false;
    // Spare bytes kept in front of every received datagram for a header.
    int headroom = 0;

    // Seams for tests; the defaults are the product's: a tunnel goes after
    // 59 silent seconds, and the wait wakes up at least once a minute.
    void setIdleLimit(std::uint32_t seconds) { idleLimit = seconds ? seconds : 1; }
    void setPollInterval(int ms) { pollMs = ms > 0 ? ms : 1; }

    // Datagrams dropped because they did not fit the buffer.
    std::uint32_t oversizedDropped() const { return oversized.load(); }
    // Seconds of a monotonic clock.
    static std::uint32_t nowSeconds();

    static constexpr int kBufferSize = 8192;
    // Datagrams taken from one readable socket per wait at most: a burst is
    // read without a wait per datagram, and other sockets still get turns.
    static constexpr int kDatagramsPerWakeUp = 32;

protected:
    // Binds, then relays until a socket fails (RServingThread::start runs it).
    void serve() override;
    const char* serveName() const override { return "RUdpServer::run"; }

    std::map<std::string, RUdpTunnel*> tunnels;
    vnxplat::Socket sock4;
    vnxplat::Socket sock6;
    // One buffer for both directions: one datagram is in flight at a time.
    std::uint8_t buffer[kBufferSize];

private:
    // Ok: one datagram handled (relayed or dropped); Empty: nothing was
    // waiting; Failed: the socket is broken.
    enum class Handled { Ok, Empty, Failed };
    bool startUp();
    void receiveLoop();
    Handled handleClientDatagram(vnxplat::socket_t sock, bool isSock4);
    // Failed when the tunnel must be removed.
    Handled handleReturnedDatagram(RUdpTunnel* tunnel);
    void removeTunnel(RUdpTunnel* tunnel);
    void removeIdleTunnels(std::uint32_t now);
    // True when [data, data + length) lies inside the buffer.
    bool insideBuffer(const std::uint8_t* data, int length) const;

    std::uint32_t idleLimit = 60;
    int pollMs = 60000;
    std::atomic<std::uint32_t> oversized{0};
    bool watchListChanged = true;
};
