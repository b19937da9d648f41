#include "rcaptureudp.h"

#include "platform/capture.h"
#include "platform/system.h"
#include "relayheader.h"
#include "rlocalserver.h"
#include "rudpserver.h"
#include "serverstate.h"

#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

using vnx::REndpoint;

namespace {
constexpr std::size_t kHeadroom = 64;

bool isIpv4(const REndpoint& e) { return e.ipv4 != 0; }

// The socket address of an endpoint for a socket of its family.
socklen_t toSockaddr(const REndpoint& e, sockaddr_storage& out) {
    std::memset(&out, 0, sizeof out);
    if (isIpv4(e)) {
        auto* a = reinterpret_cast<sockaddr_in*>(&out);
        a->sin_family = AF_INET;
        a->sin_addr.s_addr = e.ipv4;
        a->sin_port = e.port;
        return sizeof(sockaddr_in);
    }
    auto* a = reinterpret_cast<sockaddr_in6*>(&out);
    a->sin6_family = AF_INET6;
    std::memcpy(&a->sin6_addr, e.ipv6, 16);
    a->sin6_port = e.port;
    return sizeof(sockaddr_in6);
}
}  // namespace

bool RCaptureUdp::open(std::uint16_t port) {
    sock.reset(vnxplat::openCaptureSocket(port));
    if (!sock.valid()) return false;
    ownPort = vnxplat::localPort(sock.get());
    // The hooks send this user's datagrams only to a socket the user
    // registered; without hooks there is nothing to register with.
    registered = vnxplat::registerCaptureServer(sock.get(), true);
    return true;
}

bool RCaptureUdp::start() { return sock && RServingThread::start(); }

void RCaptureUdp::serve() {
    std::vector<vnxplat::pollfd_t> fds;
    std::vector<Key> keys;
    std::uint32_t lastIdleCheck = vnxplat::monotonicSeconds();
    while (running.load()) {
        fds.clear();
        keys.clear();
        vnxplat::pollfd_t p{};
        p.fd = sock.get();
        p.events = POLLIN;
        fds.push_back(p);
        for (auto& f : flows) {
            p.fd = f.second.up.get();
            fds.push_back(p);
            keys.push_back(f.first);
        }
        int n = vnxplat::pollSockets(fds.data(), fds.size(), 1000);
        if (n < 0) continue;
        if (fds[0].revents & POLLIN) fromPrograms();
        for (std::size_t i = 1; i < fds.size(); ++i) {
            if (!fds[i].revents) continue;
            auto it = flows.find(keys[i - 1]);
            if (it == flows.end()) continue;
            if (fds[i].revents & (POLLERR | POLLNVAL)) {
                // A refused datagram (ICMP unreachable) is reported on the
                // next call: take it and go on.
                int err = 0;
                socklen_t len = sizeof err;
                getsockopt(it->second.up.get(), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len);
            }
            if (fds[i].revents & POLLIN) fromUpstream(it->second);
        }
        std::uint32_t now = vnxplat::monotonicSeconds();
        if (now - lastIdleCheck >= 5) {
            lastIdleCheck = now;
            removeIdle(now);
        }
    }
}

RCaptureUdp::Flow* RCaptureUdp::createFlow(const sockaddr_in& app, std::uint32_t alias) {
    REndpoint destination;
    std::uint32_t pid = 0;
    if (!vnxplat::capturedUdpDestination(sock.get(), alias, destination, pid)) return nullptr;
    // Anyone on this host can send to an alias; only datagrams of this
    // user's own programs are relayed through this user's proxy.
    if (!vnxplat::capturedSenderIsOwn(app, alias, ownPort)) {
        if (verboseLogs())
            std::printf("captured UDP from %s:%u refused: not this user's socket\n", inet_ntoa(app.sin_addr),
                        ntohs(app.sin_port));
        return nullptr;
    }
    if (!resolverForStub(destination)) return nullptr;
    ProxySettings proxy = readProxySettings();
    Flow flow;
    flow.app = app;
    flow.alias = alias;
    flow.destination = destination;
    flow.viaProxy = proxy.relayConfigured();
    flow.masked = flow.viaProxy && proxy.masks();
    flow.keyed = flow.viaProxy && proxy.keyed;
    std::memcpy(flow.key, proxy.key, sizeof flow.key);
    REndpoint peer = destination;
    if (flow.viaProxy) {
        peer = REndpoint();
        peer.ipv4 = proxy.ip;
        peer.port = htons(proxy.port);
    }
    sockaddr_storage sa;
    socklen_t saLen = toSockaddr(peer, sa);
    vnxplat::Socket up(socket(sa.ss_family, SOCK_DGRAM, IPPROTO_UDP));
    if (!up) return nullptr;
    // Connected: the system delivers only the peer's datagrams.
    if (connect(up.get(), reinterpret_cast<sockaddr*>(&sa), saLen) != 0 || !vnxplat::setNonBlocking(up.get(), true))
        return nullptr;
    flow.up = std::move(up);
    flow.lastActive = vnxplat::monotonicSeconds();
    {
        ServerState& state = serverState();
        std::lock_guard<std::mutex> guard(state.stats.lock);
        flow.appName = state.names.ownerName(pid);
        if (!flow.appName.empty()) state.stats.app(flow.appName).udp_connections += 1;
    }
    serverState().udpTunnels += 1;
    Key key{(static_cast<std::uint64_t>(app.sin_addr.s_addr) << 16) | app.sin_port, alias};
    auto result = flows.emplace(key, std::move(flow));
    flowsNow = flows.size();
    if (verboseLogs())
        std::printf("captured UDP flow %s:%u -> %s\n", inet_ntoa(app.sin_addr), ntohs(app.sin_port),
                    result.first->second.destination.text().c_str());
    return &result.first->second;
}

void RCaptureUdp::fromPrograms() {
    for (int i = 0; i < RUdpServer::kDatagramsPerWakeUp; ++i) {
        std::uint8_t* payload = buffer + kHeadroom;
        sockaddr_in app{};
        std::uint32_t alias = 0;
        bool truncated = false;
        long n = vnxplat::recvCaptured(sock.get(), payload, kBufferSize, app, alias, &truncated);
        if (n < 0) return;
        // Only datagrams to an alias of the hooks (never 127.0.0.1 itself),
        // whole, from a program on this host.
        if (truncated || (ntohl(alias) >> 24) != 127 || ntohl(alias) == INADDR_LOOPBACK) continue;
        Key key{(static_cast<std::uint64_t>(app.sin_addr.s_addr) << 16) | app.sin_port, alias};
        auto it = flows.find(key);
        Flow* flow = it != flows.end() ? &it->second : createFlow(app, alias);
        if (!flow) continue;
        flow->lastActive = vnxplat::monotonicSeconds();
        std::uint8_t* data = payload;
        std::size_t length = static_cast<std::size_t>(n);
        if (flow->viaProxy) {
            if (flow->masked) vnx::maskBuffer(payload, length);
            data = payload - vnx::kRelayHeaderSize;
            vnx::RRelayHeader header;
            header.masked = flow->masked;
            header.ipv4 = flow->destination.ipv4;
            std::memcpy(header.ipv6, flow->destination.ipv6, sizeof header.ipv6);
            header.port = flow->destination.port;
            vnx::buildRelayHeader(header, data);
            length += vnx::kRelayHeaderSize;
            if (flow->keyed) {
                hop.useKey(flow->key);
                length = hop.seal(data, length, hopBuffer, sizeof hopBuffer);
                if (length == 0) continue;
                data = hopBuffer;
            }
        }
        if (vnxplat::sendNoSignal(flow->up.get(), data, length) >= 0)
            serverState().countBytes(Transport::Udp, flow->appName, static_cast<std::uint32_t>(n), false);
    }
}

void RCaptureUdp::fromUpstream(Flow& flow) {
    for (int i = 0; i < RUdpServer::kDatagramsPerWakeUp; ++i) {
        long n = flow.keyed ? vnxplat::recvSome(flow.up.get(), hopBuffer, sizeof hopBuffer)
                            : vnxplat::recvSome(flow.up.get(), buffer, kBufferSize);
        if (n < 0) return;
        std::uint8_t* data = buffer;
        std::size_t length = static_cast<std::size_t>(n);
        if (flow.keyed) {
            // Only what the relay sealed with the key reaches the program.
            hop.useKey(flow.key);
            if (!hop.open(hopBuffer, length, buffer, sizeof buffer, &length)) continue;
        }
        if (flow.viaProxy) {
            vnx::RRelayHeader header;
            if (!vnx::parseRelayHeader(data, length, header)) continue;
            data += vnx::kRelayHeaderSize;
            length -= vnx::kRelayHeaderSize;
            if (header.masked) vnx::maskBuffer(data, length);
        }
        flow.lastActive = vnxplat::monotonicSeconds();
        if (vnxplat::sendCapturedReply(sock.get(), data, length, flow.app, flow.alias) >= 0)
            serverState().countBytes(Transport::Udp, flow.appName, static_cast<std::uint32_t>(length), true);
    }
}

void RCaptureUdp::removeFlow(std::map<Key, Flow>::iterator it) {
    const std::string appName = std::move(it->second.appName);
    flows.erase(it);  // closes the flow's upstream socket
    if (!appName.empty()) {
        ServerState& state = serverState();
        std::lock_guard<std::mutex> guard(state.stats.lock);
        auto app = state.stats.apps.find(appName);
        if (app != state.stats.apps.end() && app->second.udp_connections > 0) app->second.udp_connections -= 1;
    }
    serverState().udpTunnels -= 1;
    flowsNow = flows.size();
}

void RCaptureUdp::removeIdle(std::uint32_t now) {
    for (auto it = flows.begin(); it != flows.end();) {
        auto next = std::next(it);
        if (now - it->second.lastActive >= idleLimit) removeFlow(it);
        it = next;
    }
}
