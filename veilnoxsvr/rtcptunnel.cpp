#include "rtcptunnel.h"

#include "hopclient.h"
#include "platform/serversupport.h"
#include "relayheader.h"
#include "rsockproxy.h"
#include "serverstate.h"

#include <cstdio>

namespace {
constexpr short kReadable = POLLIN;
// A socket that reports these can neither be read nor written any more.
constexpr short kBroken = POLLERR | POLLHUP | POLLNVAL;
}  // namespace

RTcpTunnel::RTcpTunnel() = default;

RTcpTunnel::~RTcpTunnel() {
    if (verboseLogs() && (bytesFromClient == 0 || bytesToClient == 0))
        std::printf("RTcpTunnel closed. recv %llu send %llu \r\n", static_cast<unsigned long long>(bytesFromClient),
                    static_cast<unsigned long long>(bytesToClient));
}

bool RTcpTunnel::OnGetDestAddr(vnx::REndpoint&, vnxplat::socket_t, bool&) { return false; }
bool RTcpTunnel::OnSetProxy(RSockProxy*) { return true; }
void RTcpTunnel::OnBeforeConnect(RSockProxy*) {}
void RTcpTunnel::OnRecvFromRemote(std::uint8_t*&, long&) {}
void RTcpTunnel::OnRecvFromClient(std::uint8_t*&, long&) {}

void RTcpTunnel::run() {
    try {
        connectAndRelay();
    } catch (...) {
        logCaughtException("RTcpTunnel::run");
    }
    // Also after an exception: the sockets are closed and the tunnel freed.
    buffer = nullptr;
    delete this;
}

void RTcpTunnel::connectAndRelay() {
    vnx::REndpoint destination;
    bool maskData = false;
    if (!OnGetDestAddr(destination, clientSock.get(), maskData)) return;
    proxy = std::make_unique<RSockProxy>();
    proxy->maskData = maskData ? 1 : 0;
    if (!OnSetProxy(proxy.get())) return;
    // Masking is understood only by the proxy server; a direct connection
    // carries the application's bytes unchanged, and inside TLS to a keyed
    // relay nothing is masked.
    if (!proxy->useProxy || proxy->keyed) proxy->maskData = 0;
    if (proxy->createSocket(destination) != 0) return;
    OnBeforeConnect(proxy.get());
    if (proxy->connect(destination) == -1) {
        if (verboseLogs())
            std::printf("  [%d]Failed: Connect to Remote. error: %d\r\n", static_cast<int>(clientSock.get()),
                        proxy->lastError);
        return;
    }
    // The relay buffer lives on this thread's stack while relaying: an idle
    // tunnel keeps only the pages that its chunks touched, and no heap block.
    // (Pages of it that a plain tunnel never reaches are never touched.)
    std::uint8_t relayBuffer[kTlsChunkSize + 1];
    chunkSize = proxy->tls ? kTlsChunkSize : kChunkSize;
    buffer = relayBuffer;
    relay();
    buffer = nullptr;
}

void RTcpTunnel::relay() {
    // Both sockets send every write at once; the tunnel itself decides when
    // chunks are gathered into one segment (see pump). That pays only where
    // a segment can hold more than a chunk (loopback, where every segment
    // costs a wake-up of the reader); on a network path each chunk already
    // fills several segments, and holding the rest back only delays it.
    const vnxplat::socket_t clientSide = clientSock.get();
    const vnxplat::socket_t remoteSide = proxy->sock.get();
    vnxplat::setNoDelay(clientSide);
    vnxplat::setNoDelay(remoteSide);
    gatherToClient = vnxplat::maxSegmentSize(clientSide) > static_cast<int>(kChunkSize);
    gatherToRemote = vnxplat::maxSegmentSize(remoteSide) > static_cast<int>(kChunkSize);
    vnxplat::pollfd_t fds[2];
    fds[0].fd = clientSide;
    fds[1].fd = remoteSide;
    // Each direction ends on its own: when one side has sent everything, its
    // peer is told (half-close) and the other direction keeps flowing.
    bool clientReading = true;
    bool remoteReading = true;
    HopTls* tls = proxy->tls.get();
    while (clientReading || remoteReading) {
        fds[0].events = clientReading ? kReadable : 0;
        fds[1].events = remoteReading ? kReadable : 0;
        fds[0].revents = fds[1].revents = 0;
        // What TLS has already taken from the socket is not announced by
        // it: such a tunnel only looks whether the client has something.
        const bool tlsHolds = remoteReading && tls && tls->pending();
        int ready = vnxplat::pollSockets(fds, 2, tlsHolds ? 0 : kIdleTimeoutMs);
        if (tlsHolds) {
            if (ready < 0) ready = 0;
            fds[1].revents |= kReadable;
            ++ready;
        }
        if (ready == 0) {
            if (verboseLogs())
                std::printf("  [%d]Failed: select timeout.%d\r\n", static_cast<int>(clientSide),
                            vnxplat::lastSocketError());
            return;
        }
        if (ready < 0) {
            int err = vnxplat::lastSocketError();
            if (vnxplat::classifySocketError(err) == vnxplat::SocketErrorKind::Transient) continue;
            if (verboseLogs()) std::printf("  [%d]Failed: select error.%d\r\n", static_cast<int>(clientSide), err);
            return;
        }
        // A side that is only written to any more and has broken down.
        if ((!clientReading && (fds[0].revents & kBroken)) || (!remoteReading && (fds[1].revents & kBroken))) return;
        if (clientReading && (fds[0].revents & (kReadable | kBroken)) &&
            !pump(clientSide, remoteSide, clientReading, bytesFromClient))
            return;
        if (remoteReading && (fds[1].revents & (kReadable | kBroken)) &&
            !pump(remoteSide, clientSide, remoteReading, bytesToClient))
            return;
    }
}

bool RTcpTunnel::pump(vnxplat::socket_t from, vnxplat::socket_t to, bool& reading, std::uint64_t& counter) {
    // The first chunk is there (the wait said so). A full chunk means more is
    // probably waiting: take a few more without waiting again, which saves a
    // wait per chunk on bulk transfers; then give the other direction its turn.
    // Where gathering pays, full chunks are handed over as "more follows" and
    // whatever the system still holds is pushed out before this direction
    // waits again.
    const bool gather = (to == clientSock.get() ? gatherToClient : gatherToRemote) && !proxy->tls;
    bool held = false;
    bool ok = true;
    for (int chunk = 0; chunk < kChunksPerWakeUp; ++chunk) {
        long n = forward(from, to, chunk == 0, gather);
        if (n == kNothingMore) break;
        if (n < 0) {
            ok = false;
            break;
        }
        if (n == 0) {
            reading = false;
            // Sends what is held, then the end.
            if (proxy->tls && to == proxy->sock.get())
                proxy->tls->shutdownSend();
            else
                vnxplat::shutdownSend(to);
            return true;
        }
        counter += static_cast<std::uint64_t>(n);
        held = gather && lastFull;
        if (!lastFull) break;
    }
    if (ok && held) vnxplat::pushPending(to);
    return ok;
}

long RTcpTunnel::forward(vnxplat::socket_t from, vnxplat::socket_t to, bool dataIsThere, bool gather) {
    HopTls* tls = proxy->tls.get();
    const bool fromTls = tls && from == proxy->sock.get();
    long received = fromTls ? (dataIsThere ? tls->recvSome(buffer, chunkSize) : tls->recvWaiting(buffer, chunkSize))
                    : dataIsThere ? vnxplat::recvSome(from, buffer, chunkSize)
                                  : vnxplat::recvWaiting(from, buffer, chunkSize);
    // A full chunk means the sender is ahead of us: more follows.
    lastFull = received == static_cast<long>(chunkSize);
    if (received == vnxplat::kNothingWaiting) return kNothingMore;
    if (received <= 0) return received < 0 ? -1 : 0;
    std::uint8_t* data = buffer;
    long length = received;
    if (to == clientSock.get())
        OnRecvFromRemote(data, length);
    else
        OnRecvFromClient(data, length);
    // A hook that swallowed the chunk: nothing to send, the direction goes on.
    if (length <= 0 || !data) return received;
    if (proxy->maskData == 1) vnx::maskBuffer(data, static_cast<std::size_t>(length));
    long sent = tls && to == proxy->sock.get() ? tls->sendAll(data, static_cast<std::size_t>(length))
                : gather && lastFull           ? vnxplat::sendAllGathered(to, data, static_cast<std::size_t>(length))
                                               : vnxplat::sendAll(to, data, static_cast<std::size_t>(length));
    return sent < 0 ? -1 : sent;
}
