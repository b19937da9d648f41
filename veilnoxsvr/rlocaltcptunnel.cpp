#include "rlocaltcptunnel.h"

#include "rlocalserver.h"
#include "serverstate.h"

namespace {
RLocalServer* registry() { return serverState().registry.load(); }
}  // namespace

RLocalTcpTunnel::~RLocalTcpTunnel() {
    if (!appName.empty())
        if (RLocalServer* r = registry()) r->tcpTunnelEnded(appName);
}

bool RLocalTcpTunnel::OnGetDestAddr(vnx::REndpoint& destination, vnxplat::socket_t accepted, bool& maskData) {
    RLocalServer* r = registry();
    return r && r->OnGetDestAddr(client, destination, maskData, appName, accepted);
}

bool RLocalTcpTunnel::OnSetProxy(RSockProxy* proxy) {
    RLocalServer* r = registry();
    return !r || r->OnSetProxy(proxy);
}

void RLocalTcpTunnel::OnRecvFromRemote(std::uint8_t*&, long& length) {
    if (length <= 0) return;
    if (RLocalServer* r = registry()) r->countTcp(appName, static_cast<std::uint32_t>(length), true);
}

void RLocalTcpTunnel::OnRecvFromClient(std::uint8_t*&, long& length) {
    if (length <= 0) return;
    if (RLocalServer* r = registry()) r->countTcp(appName, static_cast<std::uint32_t>(length), false);
}
