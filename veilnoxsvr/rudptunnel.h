#pragma once
// One application endpoint talking to one remote endpoint through the UDP
// relay: the tunnel's own datagram socket towards the remote side, and the
// socket through which answers go back to the application.
//
// Lives in the relay's map and is touched only by the relay thread.
#include "platform/net.h"
#include "rendpoint.h"
#include "serverstate.h"

#include <cstdint>
#include <string>

class RUdpTunnel {
    // Declared first, so dropped last: after sock is closed.
    TunnelCount counted{serverState().udpTunnels};

public:
    // Creates the tunnel's socket (IPv4 when remote is IPv4, else IPv6) and
    // connects it to remote, so that it receives only what remote sends;
    // when that fails a line is printed and sock stays invalid, so the first
    // send fails.
    RUdpTunnel(const vnx::REndpoint& client, const vnx::REndpoint& remote);
    // Closes sock. replySock is not owned: it is a server socket, or one that
    // RLocalServer holds and closes in OnTunnelClose.
    ~RUdpTunnel() = default;
    RUdpTunnel(const RUdpTunnel&) = delete;
    RUdpTunnel& operator=(const RUdpTunnel&) = delete;

    // One datagram to remote from sock.
    // Returns the bytes sent or -1.
    long sendToRemote(const std::uint8_t* data, int length);
    // One datagram to client from replySock. Returns the bytes sent or -1.
    long sendToClient(const std::uint8_t* data, int length);

    vnxplat::Socket sock;
    vnxplat::socket_t replySock = vnxplat::kBadSocket;
    vnx::REndpoint remote;  // the real destination, or the proxy server
    vnx::REndpoint client;  // the application's endpoint
    // Seconds (monotonic) of the last datagram in either direction.
    std::uint32_t lastActive = 0;
    // This tunnel's key in the relay's map.
    std::string key;
};
