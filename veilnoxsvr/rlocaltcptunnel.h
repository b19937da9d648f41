#pragma once
// The TCP tunnel of the registry: finds its destination in the TCP slot
// table, picks the proxy server when it is configured, and counts every
// chunk for the application that opened the connection.
#include "rtcptunnel.h"
#include "tcptunnelregistry.h"

#include <string>

class RLocalTcpTunnel : public RTcpTunnel {
public:
    explicit RLocalTcpTunnel(TcpTunnelRegistry* registry) : registry(registry) {}
    // Lowers the application's connection count when it was counted.
    ~RLocalTcpTunnel() override;

    bool OnGetDestAddr(vnx::REndpoint& destination, vnxplat::socket_t clientSock, bool& maskData) override;
    bool OnSetProxy(RSockProxy* proxy) override;
    void OnRecvFromRemote(std::uint8_t*& data, long& length) override;
    void OnRecvFromClient(std::uint8_t*& data, long& length) override;

    // The executable that opened the connection; empty until known.
    std::string appName;

private:
    TcpTunnelRegistry* registry;
};
