#pragma once
// What an RLocalTcpTunnel asks of the registry that created it: its
// destination, the upstream path, and the counting of its traffic. The
// registry (RLocalServer) hands itself to each tunnel it creates, so the
// tunnel needs no global and no knowledge of the registry's class.
//
// Called on the tunnel's thread; the registry outlives every tunnel it made.
#include "platform/net.h"
#include "rendpoint.h"

#include <cstdint>
#include <string>

class RSockProxy;

class TcpTunnelRegistry {
public:
    virtual ~TcpTunnelRegistry() = default;
    // The destination of the connection from `client` (accepted as
    // `accepted`), whether its payload is masked, and the owning
    // application's name (empty when unknown). False ends the tunnel.
    virtual bool OnGetDestAddr(const vnx::REndpoint& client, vnx::REndpoint& destination, bool& maskData,
                               std::string& appName, vnxplat::socket_t accepted) = 0;
    // Points the upstream at the proxy server when one is configured.
    virtual bool OnSetProxy(RSockProxy* proxy) = 0;
    // A relayed chunk towards the client (tcp_recv) or from it (tcp_sent).
    virtual void countTcp(const std::string& appName, std::uint32_t bytes, bool towardsClient) = 0;
    // A tunnel of that application has ended.
    virtual void tcpTunnelEnded(const std::string& appName) = 0;
};
