#include "rudptunnel.h"

#include "platform/serversupport.h"
#include "platform/system.h"
#include "serverstate.h"

#include <cstdio>
#include <utility>

namespace {
long sendDatagram(vnxplat::socket_t s, const std::uint8_t* data, int length, const vnx::REndpoint& to) {
    if (s == vnxplat::kBadSocket || length < 0) return -1;
    sockaddr_storage sa;
    int saLen = to.toSockaddr(sa);
    return static_cast<long>(
        sendto(s, reinterpret_cast<const char*>(data), length, 0, reinterpret_cast<const sockaddr*>(&sa), saLen));
}
long sendConnected(vnxplat::socket_t s, const std::uint8_t* data, int length) {
    if (s == vnxplat::kBadSocket || length < 0) return -1;
    return static_cast<long>(send(s, reinterpret_cast<const char*>(data), length, 0));
}
}  // namespace

RUdpTunnel::RUdpTunnel(const vnx::REndpoint& clientEnd, const vnx::REndpoint& remoteEnd)
    : remote(remoteEnd), client(clientEnd), lastActive(vnxplat::monotonicSeconds()) {
    // Held here until connected: a socket that cannot be connected is closed
    // at once and sock stays empty.
    vnxplat::Socket s;
    if (remote.ipv4 != 0) {
        s.reset(socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
        if (!s) std::printf("RUdpTunnel::RUdpTunnel failed.\n");
    } else {
        s.reset(socket(AF_INET6, SOCK_DGRAM, IPPROTO_UDP));
        if (!s) std::printf("RUdpTunnel::RUdpTunnel ipv6 failed.\n");
    }
    if (!s) return;
    // Read until nothing is waiting; a send that finds the socket's buffer
    // full drops that datagram instead of stalling the whole relay.
    vnxplat::setNonBlocking(s.get(), true);
    // Connected to the remote end: the system then delivers only datagrams
    // from that address and port, so no other host can slip datagrams to
    // the application through this tunnel (nor forge a relay header).
    sockaddr_storage sa;
    int saLen = remote.toSockaddr(sa);
    if (::connect(s.get(), reinterpret_cast<const sockaddr*>(&sa), saLen) != 0) {
        std::printf("RUdpTunnel::RUdpTunnel connect failed. %d\n", vnxplat::lastSocketError());
        return;
    }
    sock = std::move(s);
}

long RUdpTunnel::sendToRemote(const std::uint8_t* data, int length) {
    long sent = sendConnected(sock.get(), data, length);
    // A connected socket reports an earlier ICMP error (port unreachable) on
    // the next send; that error belongs to an earlier datagram, not to this
    // one, which is sent again once.
    if (sent < 0 && vnxplat::classifySocketError(vnxplat::lastSocketError()) == vnxplat::SocketErrorKind::Transient)
        sent = sendConnected(sock.get(), data, length);
    return sent;
}

long RUdpTunnel::sendToClient(const std::uint8_t* data, int length) {
    return sendDatagram(replySock, data, length, client);
}
