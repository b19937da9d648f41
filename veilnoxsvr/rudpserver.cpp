#include "rudpserver.h"

#include "bindport.h"
#include "platform/serversupport.h"
#include "platform/system.h"
#include "records.h"
#include "rudptunnel.h"
#include "serverstate.h"

#include <cstdio>
#include <cstring>
#include <utility>

RUdpServer::~RUdpServer() {
    for (auto& entry : tunnels)
        delete entry.second;
    tunnels.clear();
}

// Monotonic: a wall-clock step must not expire every tunnel at once.
std::uint32_t RUdpServer::nowSeconds() { return vnxplat::monotonicSeconds(); }

bool RUdpServer::OnTunnelClose(RUdpTunnel*) { return false; }
bool RUdpServer::OnTunnelCreate(RUdpTunnel*, std::uint32_t) { return false; }
bool RUdpServer::OnGetRemoteAddr(const vnx::REndpoint&, vnx::REndpoint&, std::uint8_t*&, int&, std::uint8_t&, bool,
                                 std::uint32_t&) {
    return false;
}
bool RUdpServer::OnSendToClient(RUdpTunnel*, const vnx::REndpoint&, std::uint8_t*&, int&) { return false; }
void RUdpServer::OnSendToRemote(RUdpTunnel*, std::uint8_t*&, int&) {}

void RUdpServer::serve() {
    if (!startUp()) return;
    markSettled();
    receiveLoop();
    std::printf("udp server exit;\r\n");
}

bool RUdpServer::startUp() {
    if (bindAddr.port == 0) {
        std::printf("error, you must set a port.\n");
        return false;
    }
    if (headroom < 0 || headroom >= kBufferSize) headroom = 0;
    sock4.reset(socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
    if (!sock4) {
        std::printf("Failed socket ipv4() \n");
        return false;
    }
    // No SO_REUSEADDR: on a datagram socket it would let any other local
    // user bind the same address and port and take the applications'
    // datagrams (DNS included). Nothing lingers after a UDP socket closes,
    // so a restart does not need it.
    // Sockets are read until nothing is waiting; they never block the relay.
    vnxplat::setNonBlocking(sock4.get(), true);
    sockaddr_in sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_port = bindAddr.port;
    sa.sin_addr.s_addr = bindAddr.ipv4;
    const BindResult bound = bindFixedPort(sock4.get(), sa, anyPortIfTaken, "bind UDP");
    if (bound == BindResult::Failed) {
        std::printf("Failed bind() ipv4 \n");
        serverState().listenerStatus = vnx::kStatusUdpBind;
        return false;
    }
    if (bound == BindResult::AnyPort) bindAddr.port = vnxplat::localPort(sock4.get());
    std::printf(" Udp ipv4 Server Started on port %s:%d ...\r\n", vnx::ipv4Text(bindAddr.ipv4).c_str(),
                ntohs(bindAddr.port));
    if (ipv6Enabled) {
        // Kept only once bound; the relay goes on with IPv4 alone otherwise.
        vnxplat::Socket s(socket(AF_INET6, SOCK_DGRAM, IPPROTO_UDP));
        if (!s) {
            std::printf("Failed udp socket() ipv6 \n");
        } else {
            vnxplat::setNonBlocking(s.get(), true);
            int on = 1;
            setsockopt(s.get(), IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&on), sizeof on);
            sockaddr_in6 sa6;
            std::memset(&sa6, 0, sizeof sa6);
            sa6.sin6_family = AF_INET6;
            sa6.sin6_port = bindAddr.port;  // 0 (any) after the fallback above
            std::memcpy(&sa6.sin6_addr, bindAddr.ipv6, 16);
            if (bind(s.get(), reinterpret_cast<sockaddr*>(&sa6), sizeof sa6) != 0) {
                std::printf("Failed udp bind() ipv6 \n");
            } else {
                sock6 = std::move(s);
                std::printf(" Udp ipv6 Server Started on port %s:%d ...\r\n", "ipv6", ntohs(bindAddr.port));
            }
        }
    }
    return true;
}

void RUdpServer::receiveLoop() {
    std::vector<vnxplat::pollfd_t> fds;
    std::vector<RUdpTunnel*> watched;  // watched[i] belongs to fds[i + serverCount]
    std::vector<RUdpTunnel*> readable;
    std::size_t serverCount = 0;
    std::uint32_t lastIdleCheck = nowSeconds();
    for (;;) {
        if (watchListChanged) {
            fds.clear();
            watched.clear();
            for (vnxplat::socket_t s : {sock4.get(), sock6.get()}) {
                if (s == vnxplat::kBadSocket) continue;
                vnxplat::pollfd_t p;
                p.fd = s;
                p.events = POLLIN;
                p.revents = 0;
                fds.push_back(p);
            }
            serverCount = fds.size();
            for (auto& entry : tunnels) {
                if (!entry.second->sock) continue;
                vnxplat::pollfd_t p;
                p.fd = entry.second->sock.get();
                p.events = POLLIN;
                p.revents = 0;
                fds.push_back(p);
                watched.push_back(entry.second);
            }
            watchListChanged = false;
        }
        for (auto& p : fds)
            p.revents = 0;
        int ready = vnxplat::pollSockets(fds.data(), fds.size(), pollMs);
        if (ready < 0) {
            int err = vnxplat::lastSocketError();
            if (vnxplat::classifySocketError(err) == vnxplat::SocketErrorKind::Transient) continue;
            serverState().listenerStatus = vnx::kStatusUdpSelect;
            if (verboseLogs()) std::printf("  [%d]Failed: select error.%d\r\n", static_cast<int>(sock4.get()), err);
            return;
        }
        // Tunnels readable in this pass, taken before client datagrams can
        // change the watch list.
        readable.clear();
        for (std::size_t i = serverCount; i < fds.size(); ++i)
            if (fds[i].revents) readable.push_back(watched[i - serverCount]);

        for (std::size_t i = 0; i < serverCount; ++i) {
            if (!fds[i].revents) continue;
            bool isSock4 = fds[i].fd == sock4.get();
            Handled h = Handled::Ok;
            for (int n = 0; n < kDatagramsPerWakeUp && h == Handled::Ok; ++n)
                h = handleClientDatagram(fds[i].fd, isSock4);
            if (h == Handled::Failed) {
                if (isSock4) {
                    if (verboseLogs()) std::printf("udp socket lisen error.\r\n");
                    serverState().listenerStatus = vnx::kStatusUdpRead;
                } else {
                    std::printf("ipv6 udp server error\r\n");
                    serverState().listenerStatus = vnx::kStatusUdpIpv6Read;
                }
                return;
            }
        }
        // Every readable tunnel is served in the same pass: a stream of
        // application datagrams cannot starve the replies.
        for (RUdpTunnel* tunnel : readable) {
            Handled h = Handled::Ok;
            for (int n = 0; n < kDatagramsPerWakeUp && h == Handled::Ok; ++n)
                h = handleReturnedDatagram(tunnel);
            if (h == Handled::Failed) removeTunnel(tunnel);
        }

        std::uint32_t now = nowSeconds();
        if (ready == 0 || now != lastIdleCheck) {
            lastIdleCheck = now;
            removeIdleTunnels(now);
        }
    }
}

bool RUdpServer::insideBuffer(const std::uint8_t* data, int length) const {
    return data && length >= 0 && data >= buffer && data + length <= buffer + kBufferSize;
}

RUdpServer::Handled RUdpServer::handleClientDatagram(vnxplat::socket_t sock, bool isSock4) {
    std::uint8_t* data = buffer + headroom;
    sockaddr_storage from;
    std::memset(&from, 0, sizeof from);
    bool truncated = false;
    long received =
        vnxplat::recvDatagram(sock, data, static_cast<std::size_t>(kBufferSize - headroom), &from, &truncated);
    if (received < 0) {
        int err = vnxplat::lastSocketError();
        if (vnxplat::wouldBlock(err)) return Handled::Empty;
        switch (vnxplat::classifySocketError(err)) {
            case vnxplat::SocketErrorKind::Transient: return Handled::Ok;
            case vnxplat::SocketErrorKind::Exhausted: return Handled::Empty;
            case vnxplat::SocketErrorKind::Fatal: break;
        }
        std::printf("recvfrom from client failed\n");
        return Handled::Failed;
    }
    if (truncated) {
        // Larger than the buffer: relaying the cut datagram would corrupt
        // it, and one such datagram must not end the relay.
        std::uint32_t n = oversized.fetch_add(1) + 1;
        if (verboseLogs()) std::printf("udp datagram from client too large, dropped (%u so far).\n", n);
        return Handled::Ok;
    }
    vnx::REndpoint client = vnx::REndpoint::fromSockaddr(reinterpret_cast<sockaddr*>(&from));
    vnx::REndpoint remote;
    int length = static_cast<int>(received);
    std::uint8_t mask = 0;
    std::uint32_t pid = 0;
    if (!OnGetRemoteAddr(client, remote, data, length, mask, isSock4, pid)) return Handled::Ok;
    if (!insideBuffer(data, length)) return Handled::Ok;

    std::string key;
    key.reserve(96);
    client.appendText(key);
    key += ',';
    remote.appendText(key);

    long sent;
    auto it = tunnels.find(key);
    if (it != tunnels.end()) {
        RUdpTunnel* tunnel = it->second;
        OnSendToRemote(tunnel, data, length);
        sent = insideBuffer(data, length) ? tunnel->sendToRemote(data, length) : -1;
        tunnel->lastActive = nowSeconds();
    } else {
        auto* tunnel = new RUdpTunnel(client, remote);
        tunnel->replySock = sock;
        tunnel->key = key;
        // The tunnel is registered (reply socket, owner) before its first
        // datagram is counted and sent, so that datagram counts for its
        // application too.
        if (!OnTunnelCreate(tunnel, pid)) {
            delete tunnel;
            return Handled::Ok;
        }
        OnSendToRemote(tunnel, data, length);
        sent = insideBuffer(data, length) ? tunnel->sendToRemote(data, length) : -1;
        if (sent != length) {
            OnTunnelClose(tunnel);
            delete tunnel;
        } else {
            tunnels[key] = tunnel;
            tunnel->lastActive = nowSeconds();
            watchListChanged = true;
        }
    }
    if (verboseLogs())
        std::printf("Udp send data bytes:%ld addr: %s port: %d\n", sent, vnx::ipv4Text(remote.ipv4).c_str(),
                    ntohs(remote.port));
    return Handled::Ok;
}

RUdpServer::Handled RUdpServer::handleReturnedDatagram(RUdpTunnel* tunnel) {
    tunnel->lastActive = nowSeconds();
    std::uint8_t* data = buffer + headroom;
    sockaddr_storage from;
    std::memset(&from, 0, sizeof from);
    bool truncated = false;
    long received = vnxplat::recvDatagram(tunnel->sock.get(), data, static_cast<std::size_t>(kBufferSize - headroom),
                                          &from, &truncated);
    if (received < 0) {
        int err = vnxplat::lastSocketError();
        if (vnxplat::wouldBlock(err)) return Handled::Empty;
        // An ICMP error or a lack of memory leaves the tunnel usable.
        if (vnxplat::classifySocketError(err) != vnxplat::SocketErrorKind::Fatal) return Handled::Empty;
        if (verboseLogs()) {
            if (tunnel->remote.ipv4 != 0)
                std::printf("udp recvfrom from remote failed.%d\n", err);
            else
                std::printf("udp ipv6 recvfrom from remote failed.\n");
        }
        return Handled::Failed;
    }
    if (truncated) {
        // A reply larger than the buffer is dropped; the tunnel stays.
        std::uint32_t n = oversized.fetch_add(1) + 1;
        if (verboseLogs()) std::printf("udp datagram from remote too large, dropped (%u so far).\n", n);
        return Handled::Ok;
    }
    vnx::REndpoint sender = vnx::REndpoint::fromSockaddr(reinterpret_cast<sockaddr*>(&from));
    int length = static_cast<int>(received);
    OnSendToClient(tunnel, sender, data, length);
    if (!insideBuffer(data, length)) return Handled::Ok;
    long sent = tunnel->sendToClient(data, length);
    if (sent < 0) {
        if (verboseLogs()) std::printf("sendToClient failed. %d\n", vnxplat::lastSocketError());
        return Handled::Failed;
    }
    if (verboseLogs())
        std::printf("udp recv from remote %ld redirect to: addr: %s port: %d\n", sent,
                    vnx::ipv4Text(tunnel->client.ipv4).c_str(), ntohs(tunnel->client.port));
    return Handled::Ok;
}

void RUdpServer::removeTunnel(RUdpTunnel* tunnel) {
    OnTunnelClose(tunnel);
    tunnels.erase(tunnel->key);
    delete tunnel;
    watchListChanged = true;
}

void RUdpServer::removeIdleTunnels(std::uint32_t now) {
    for (auto it = tunnels.begin(); it != tunnels.end();) {
        RUdpTunnel* tunnel = it->second;
        ++it;  // removeTunnel erases this entry only
        // Unsigned: a lastActive in the future also counts as expired.
        if (static_cast<std::uint32_t>(now + 1 - tunnel->lastActive) >= idleLimit) removeTunnel(tunnel);
    }
}
