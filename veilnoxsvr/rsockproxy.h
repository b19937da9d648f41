#pragma once
// The upstream side of one TCP tunnel: a connection either straight to the
// destination or to the proxy server, which is told the destination by the
// 32-byte relay header sent first. Owned and used by one tunnel thread; the
// socket is closed when the object is destroyed.
#include "hopclient.h"
#include "platform/net.h"
#include "rendpoint.h"

#include <cstdint>
#include <memory>

class RSockProxy {
public:
    RSockProxy() = default;
    RSockProxy(const RSockProxy&) = delete;
    RSockProxy& operator=(const RSockProxy&) = delete;

    // Creates the upstream stream socket: IPv4 when the destination is IPv4
    // or the proxy server is used, IPv6 otherwise. 0 on success, -1 when a
    // socket exists already or cannot be created.
    int createSocket(const vnx::REndpoint& destination);
    // Connects (creating the socket when needed). Through the proxy server it
    // then sends the relay header naming the destination (inside TLS when
    // keyed, which must prove the key first); nothing is read back. 0 on success, -1 on failure (with a line on
    // standard output). A connect that has not completed within connectLimitMs() fails with ETIMEDOUT: a dead proxy
    // server must not hold the application's connection for the system's two minutes of retries. The upstream socket is
    // never bound first: connect picks the port, so ports held in TIME_WAIT are reused.
    int connect(const vnx::REndpoint& destination);

    // The time limit of every upstream connect, process-wide; ms <= 0 brings
    // back the default. Tests shorten it.
    static constexpr int kConnectLimitMs = 20000;
    static void setConnectLimitMs(int ms);
    static int connectLimitMs();

    bool useProxy = false;
    vnxplat::Socket sock;
    // The proxy server; only ipv4 and port are used.
    vnx::REndpoint proxyAddr;
    // 1 = the tunnel masks its payload in both directions.
    int maskData = 0;
    // The proxy server has a key: connect runs TLS over the socket (tls),
    // which then carries the header and the payload, unmasked.
    bool keyed = false;
    std::uint8_t key[32] = {};
    std::unique_ptr<HopTls> tls;
    // The socket error of the last failed call.
    int lastError = 0;
};
