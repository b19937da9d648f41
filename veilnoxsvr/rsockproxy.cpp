#include "rsockproxy.h"

#include "hoppool.h"

#include "platform/serversupport.h"
#include "relayheader.h"
#include "serverstate.h"

#include <atomic>
#include <cstdio>

using vnx::REndpoint;

namespace {
std::atomic<int> upstreamConnectLimitMs{RSockProxy::kConnectLimitMs};
}  // namespace

void RSockProxy::setConnectLimitMs(int ms) { upstreamConnectLimitMs = ms > 0 ? ms : kConnectLimitMs; }
int RSockProxy::connectLimitMs() { return upstreamConnectLimitMs.load(std::memory_order_relaxed); }

int RSockProxy::createSocket(const REndpoint& destination) {
    if (sock) return -1;
    if (destination.ipv4 != 0 || useProxy) {
        sock.reset(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
        if (verboseLogs()) std::printf("create ipv4 socket for tcp tunnel:%s\n", destination.text().c_str());
    } else {
        sock.reset(socket(AF_INET6, SOCK_STREAM, IPPROTO_TCP));
        if (verboseLogs()) std::printf("create ipv6 socket for tcp tunnel\n");
    }
    if (!sock) {
        lastError = vnxplat::lastSocketError();
        return -1;
    }
    // The header and small interactive writes leave at once.
    vnxplat::setNoDelay(sock.get());
    return 0;
}

int RSockProxy::connect(const REndpoint& destination) {
    if (!sock && createSocket(destination) != 0) return -1;
    sockaddr_storage sa;
    if (useProxy) {
        REndpoint relay;
        relay.ipv4 = proxyAddr.ipv4;
        relay.port = proxyAddr.port;
        // A keyed relay: a connection the pool made ready, when it has one.
        if (keyed && relay.ipv4 != 0) {
            PooledHop hop = takePooledHop(relay.ipv4, relay.port, key, connectLimitMs());
            if (hop.sock) {
                sock = std::move(hop.sock);
                tls = std::move(hop.tls);
            }
        }
        int len = relay.toSockaddr(sa);
        if (relay.ipv4 == 0) {
            // An unset proxy address: toSockaddr would make an IPv6 address,
            // which this IPv4 socket cannot reach.
            auto* s4 = reinterpret_cast<sockaddr_in*>(&sa);
            s4->sin_family = AF_INET;
            s4->sin_port = relay.port;
            s4->sin_addr.s_addr = 0;
            len = sizeof(sockaddr_in);
        }
        if (!tls && vnxplat::connectWithin(sock.get(), reinterpret_cast<sockaddr*>(&sa), len, connectLimitMs()) != 0) {
            lastError = vnxplat::lastSocketError();
            std::printf("RSockProxy::connect ipv4 failed. %s error:%d\n", proxyAddr.text().c_str(), lastError);
            return -1;
        }
        if (keyed && !tls) {
            tls = std::make_unique<HopTls>();
            if (!tls->start(sock.get(), key, connectLimitMs())) {
                lastError = vnxplat::lastSocketError();
                std::printf("RSockProxy::connect: %s did not prove the server's key (TLS)\n", proxyAddr.text().c_str());
                tls.reset();
                return -1;
            }
        }
        vnx::RRelayHeader header;
        header.masked = maskData == 1 && !keyed;
        header.kind = vnx::kRelayKindData;
        // The tunnel forwards everything the relay sent before a reset, and
        // a reset after the tunnel's own end of stream only ends it: where
        // the platform keeps those bytes, a relay may end with a reset. Only
        // a keyed relay is known to be ours and to read the flag; towards any
        // other server the byte stays 0, as the protocol has it.
        if (keyed && vnxplat::keepsDataBeforeReset()) header.flags = vnx::kRelayFlagResetAtEnd;
        header.ipv4 = destination.ipv4;
        std::memcpy(header.ipv6, destination.ipv6, sizeof header.ipv6);
        header.port = destination.port;
        std::uint8_t wire[vnx::kRelayHeaderSize];
        vnx::buildRelayHeader(header, wire);
        const long sent = tls ? tls->sendAll(wire, sizeof wire) : vnxplat::sendAll(sock.get(), wire, sizeof wire);
        if (sent != static_cast<long>(sizeof wire)) {
            lastError = vnxplat::lastSocketError();
            return -1;
        }
        return 0;
    }
    int len = destination.toSockaddr(sa);
    if (vnxplat::connectWithin(sock.get(), reinterpret_cast<sockaddr*>(&sa), len, connectLimitMs()) == 0) return 0;
    lastError = vnxplat::lastSocketError();
    if (destination.ipv4 != 0)
        std::printf("RSockProxy::connect ipv4 failed. %s %d\n", destination.text().c_str(), lastError);
    else
        std::printf("RSockProxy::connect ipv6 failed. %s n:%d\n", destination.text().c_str(), lastError);
    return -1;
}
