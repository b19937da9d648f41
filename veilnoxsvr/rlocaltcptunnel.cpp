#include "rlocaltcptunnel.h"

RLocalTcpTunnel::~RLocalTcpTunnel() {
    if (!appName.empty() && registry) registry->tcpTunnelEnded(appName);
}

bool RLocalTcpTunnel::OnGetDestAddr(vnx::REndpoint& destination, vnxplat::socket_t accepted, bool& maskData) {
    return registry && registry->OnGetDestAddr(client, destination, maskData, appName, accepted);
}

bool RLocalTcpTunnel::OnSetProxy(RSockProxy* proxy) { return !registry || registry->OnSetProxy(proxy); }

void RLocalTcpTunnel::OnRecvFromRemote(std::uint8_t*&, long& length) {
    if (length > 0 && registry) registry->countTcp(appName, static_cast<std::uint32_t>(length), true);
}

void RLocalTcpTunnel::OnRecvFromClient(std::uint8_t*&, long& length) {
    if (length > 0 && registry) registry->countTcp(appName, static_cast<std::uint32_t>(length), false);
}
