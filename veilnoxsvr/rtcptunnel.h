#pragma once
// One accepted TCP connection: learns its destination, opens the upstream
// connection (directly or through the proxy server) and copies bytes both
// ways until both directions have ended, an error occurs, or nothing moves
// for 180 seconds. Generic: the hooks decide the destination and see the
// data; RLocalTcpTunnel ties them to the registry.
//
// Created by the listener, given clientSock and client, then started; from
// then on it owns itself and deletes itself at the end of run() on its own
// thread, also when the body ended by an exception.
#include "platform/net.h"
#include "rendpoint.h"
#include "rthread.h"
#include "serverstate.h"

#include <cstdint>
#include <memory>

class RSockProxy;

class RTcpTunnel : public RThread {
    // Declared first, so dropped last: the tunnel stops counting only after
    // both of its sockets are closed.
    TunnelCount counted{serverState().tcpTunnels};

public:
    RTcpTunnel();
    // When verbose, a tunnel that carried nothing in some direction says so.
    // Then clientSock is closed, and the proxy with its socket deleted.
    ~RTcpTunnel() override;

    void run() override;

    // Hooks, called on the tunnel thread.
    // The real destination and whether the payload is masked; false ends the
    // tunnel without connecting. Base: false.
    virtual bool OnGetDestAddr(vnx::REndpoint& destination, vnxplat::socket_t clientSock, bool& maskData);
    // Chooses the upstream path on the proxy object; false ends the tunnel.
    // Base: true, direct connection.
    virtual bool OnSetProxy(RSockProxy* proxy);
    virtual void OnBeforeConnect(RSockProxy* proxy);
    // A chunk received from the upstream (towards the client) or from the
    // client (towards the upstream), before masking. A hook may replace the
    // pointer or change the length.
    virtual void OnRecvFromRemote(std::uint8_t*& data, long& length);
    virtual void OnRecvFromClient(std::uint8_t*& data, long& length);

    // The proxy is declared before clientSock, so the client's socket is
    // closed first.
    std::unique_ptr<RSockProxy> proxy;
    vnxplat::Socket clientSock;
    vnx::REndpoint client;
    // Bytes handed to the sending socket in each direction (unsigned 64-bit:
    // a long-lived tunnel passes 2^31 bytes).
    std::uint64_t bytesToClient = 0;
    std::uint64_t bytesFromClient = 0;

    static constexpr std::size_t kChunkSize = 8192;
    // Through TLS to a keyed relay a chunk fills one whole record: half as
    // many records, system calls and wake-ups per byte.
    static constexpr std::size_t kTlsChunkSize = 16384;
    static constexpr int kIdleTimeoutMs = 180000;
    // Chunks moved in one direction per wake-up at most.
    static constexpr int kChunksPerWakeUp = 8;

private:
    void connectAndRelay();
    void relay();
    // Moves what `from` has to `to`, up to kChunksPerWakeUp chunks. Clears
    // `reading` (and half-closes `to`) at the end of `from`'s stream. False
    // when the tunnel must end.
    bool pump(vnxplat::socket_t from, vnxplat::socket_t to, bool& reading, std::uint64_t& counter);
    // Moves one chunk from `from` to `to`, waiting for it or only taking what
    // is there. >0 bytes sent, 0 when `from` has ended its direction, -1 on
    // an error of either socket, kNothingMore when nothing was waiting.
    static constexpr long kNothingMore = -2;
    // `gather`: a full chunk goes out as "more follows".
    long forward(vnxplat::socket_t from, vnxplat::socket_t to, bool dataIsThere, bool gather);

    // The last chunk received was a full one.
    bool lastFull = false;
    // Whether full chunks are gathered towards each side (set when relaying starts).
    bool gatherToClient = false;
    bool gatherToRemote = false;

    // The chunk size of this tunnel (kChunkSize, or kTlsChunkSize inside TLS).
    std::size_t chunkSize = kChunkSize;
    // The relay buffer (chunkSize + 1 bytes), present only while relaying.
    std::uint8_t* buffer = nullptr;
};
