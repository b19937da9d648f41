#pragma once
// The TCP listener: accepts connections on an IPv4 and (optionally) an IPv6
// address and starts one tunnel thread per connection. Generic: the tunnel
// objects come from CreateTunnel, which RLocalServer overrides.
//
// The owner fills ipv6Enabled and bindAddr, then calls start(). The listener
// runs until a start-up failure or a broken listening socket, leaving the
// reason in the process-wide listener status; `running` tells the owner's
// watchdog whether it still works. It never stops its tunnels.
#include "platform/net.h"
#include "rendpoint.h"
#include "rthread.h"

#include <atomic>

class RTcpTunnel;

class RTcpServer : public RServingThread {
public:
    // Both listening sockets stay open until the listener is destroyed.
    RTcpServer() = default;

    // A new, not yet started tunnel, or null. Base: null.
    virtual RTcpTunnel* CreateTunnel();

    bool ipv6Enabled = true;
    // ipv4: IPv4 address to bind (0 = all interfaces); ipv6: IPv6 address;
    // port: the port of both (network order).
    vnx::REndpoint bindAddr;
    // When the port is held by another program, listen on a free port
    // instead (set where the kernel capture hooks are told which port it
    // is, through the registration below; the LD_PRELOAD module only knows
    // the fixed port).
    bool anyPortIfTaken = false;

protected:
    // Accepts until the listener fails (RServingThread::start runs it).
    void serve() override;
    const char* serveName() const override { return "RTcpServer::run"; }

    vnxplat::Socket listen4;
    vnxplat::Socket listen6;

private:
    bool openIpv4();
    void openIpv6();
    // Accepts one connection from a readable listening socket and starts its
    // tunnel. False when the listener must stop.
    bool acceptOne(vnxplat::socket_t listener, bool ipv6);
    // Hands the accepted connection to a new tunnel, or closes it.
    void startTunnel(vnxplat::Socket sock, const vnx::REndpoint& peer);

    bool exhaustedReported = false;
};
