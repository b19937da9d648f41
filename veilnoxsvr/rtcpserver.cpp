#include "rtcpserver.h"

#include "bindport.h"
#include "platform/capture.h"
#include "platform/serversupport.h"
#include "platform/system.h"
#include "records.h"
#include "rtcptunnel.h"
#include "serverstate.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

namespace {
// A burst of connections (a browser opening a page) must not overflow the
// accept queue into SYN retransmits: queue as many as the system allows.
constexpr int kBacklog = SOMAXCONN;
// Pause while the process is out of descriptors, so that the pending
// connection does not make the wait return at once again and again.
constexpr std::uint32_t kExhaustedPauseMs = 100;
}  // namespace

RTcpTunnel* RTcpServer::CreateTunnel() { return nullptr; }

bool RTcpServer::openIpv4() {
    // Kept even when bind or listen fails below: the listener then ends, and
    // the socket is closed with it.
    listen4.reset(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    if (!listen4) {
        std::printf("Failed socket() \n");
        return false;
    }
    vnxplat::setReuseAddr(listen4.get());
    sockaddr_in sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_port = bindAddr.port;
    sa.sin_addr.s_addr = bindAddr.ipv4;
    const BindResult bound = bindFixedPort(listen4.get(), sa, anyPortIfTaken, "listen on");
    if (bound == BindResult::Failed) {
        std::printf("Failed bind() \n");
        serverState().listenerStatus = vnx::kStatusTcpBind;
        return false;
    }
    if (bound == BindResult::AnyPort) {
        bindAddr.port = vnxplat::localPort(listen4.get());
        std::printf("TCP port taken by another program; captured connections only, on port %d\n", ntohs(bindAddr.port));
    }
    if (listen(listen4.get(), kBacklog) != 0) {
        std::printf("Failed listen() \n");
        serverState().listenerStatus = vnx::kStatusTcpBind;
        return false;
    }
    std::printf(" TCP ipv4 Server Started on port %s:%d ...\r\n", vnx::ipv4Text(bindAddr.ipv4).c_str(),
                ntohs(bindAddr.port));
    // The kernel capture hooks send this user's connections only to a
    // listener the user registered (nothing to do without them).
    vnxplat::registerCaptureServer(listen4.get(), false);
    return true;
}

void RTcpServer::openIpv6() {
    // Held here until it listens: a socket that fails is closed at once and
    // the server goes on with IPv4 alone.
    vnxplat::Socket s(socket(AF_INET6, SOCK_STREAM, IPPROTO_TCP));
    if (!s) {
        std::printf("Failed socket() \n");
        return;
    }
    vnxplat::setReuseAddr(s.get());
    int on = 1;
    setsockopt(s.get(), IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&on), sizeof on);
    sockaddr_in6 sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sin6_family = AF_INET6;
    sa.sin6_port = bindAddr.port;
    std::memcpy(&sa.sin6_addr, bindAddr.ipv6, 16);
    if (bind(s.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        const int err = vnxplat::lastSocketError();
        sa.sin6_port = 0;
        if (!anyPortIfTaken || err != EADDRINUSE || bind(s.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
            std::printf("Failed tcp ipv6 bind() %d \n", err);
            return;
        }
    }
    if (listen(s.get(), kBacklog) != 0) {
        std::printf("Failed listen() \n");
        return;
    }
    vnxplat::registerCaptureServer(s.get(), false);
    std::printf(" TCP IPv6 Server Started on  ipv6:%d ...\r\n", ntohs(vnxplat::localPort(s.get())));
    listen6 = std::move(s);
}

void RTcpServer::serve() {
    if (!openIpv4()) return;
    if (ipv6Enabled) openIpv6();
    markSettled();
    vnxplat::pollfd_t fds[2];
    std::size_t count = 0;
    fds[count].fd = listen4.get();
    fds[count++].events = POLLIN;
    if (listen6) {
        fds[count].fd = listen6.get();
        fds[count++].events = POLLIN;
    }
    for (;;) {
        fds[0].revents = fds[1].revents = 0;
        int ready = vnxplat::pollSockets(fds, count, -1);
        if (ready <= 0) {
            int err = vnxplat::lastSocketError();
            if (ready < 0 && vnxplat::classifySocketError(err) == vnxplat::SocketErrorKind::Transient) continue;
            serverState().listenerStatus = vnx::kStatusTcpAccept;
            if (verboseLogs())
                std::printf(ready == 0 ? "  [%d]Failed: select timeout.%d\r\n" : "  [%d]Failed: select error.%d\r\n",
                            static_cast<int>(listen4.get()), err);
            std::printf("TCP Server End;..");
            return;
        }
        if (fds[0].revents && !acceptOne(listen4.get(), false)) return;
        if (count > 1 && fds[1].revents && !acceptOne(listen6.get(), true)) return;
    }
}

bool RTcpServer::acceptOne(vnxplat::socket_t listener, bool ipv6) {
    sockaddr_storage peer;
    socklen_t peerLen = sizeof peer;
    vnxplat::Socket sock(accept(listener, reinterpret_cast<sockaddr*>(&peer), &peerLen));
    if (!sock) {
        int err = vnxplat::lastSocketError();
        switch (vnxplat::classifySocketError(err)) {
            case vnxplat::SocketErrorKind::Transient:
                // The connection died while it was queued; the listener is fine.
                return true;
            case vnxplat::SocketErrorKind::Exhausted:
                // Out of descriptors: wait for tunnels to end instead of stopping
                // the whole server; say so once per episode.
                if (!exhaustedReported) std::printf("TCP accept: out of resources (%d), waiting.\n", err);
                exhaustedReported = true;
                vnxplat::sleepMs(kExhaustedPauseMs);
                return true;
            case vnxplat::SocketErrorKind::Fatal: break;
        }
        if (!ipv6) {
            std::printf(" ipv4 accept failed! Error: \n");
            serverState().listenerStatus = vnx::kStatusTcpAccept;
        } else {
            std::printf(" ipv6 accept failed! Error: \n");
            serverState().listenerStatus = vnx::kStatusTcpIpv6Accept;
            std::printf("TCP Server End;..");
        }
        return false;
    }
    exhaustedReported = false;
    if (ipv6 && verboseLogs()) std::printf("begin ipv6 tcp client.\n");
    vnx::REndpoint client = vnx::REndpoint::fromSockaddr(reinterpret_cast<sockaddr*>(&peer));
    if (verboseLogs())
        std::printf("[%d]Begin New TCP Client:%s.\r\n", static_cast<int>(sock.get()), client.text().c_str());
    startTunnel(std::move(sock), client);
    return true;
}

void RTcpServer::startTunnel(vnxplat::Socket sock, const vnx::REndpoint& peer) {
    vnxplat::setNoDelay(sock.get());
    RTcpTunnel* tunnel = CreateTunnel();
    if (!tunnel) return;
    tunnel->clientSock = std::move(sock);
    tunnel->client = peer;
    // No thread (the system's thread limit): the connection is closed
    // instead of being left open with nobody serving it.
    if (!tunnel->start()) delete tunnel;
}
