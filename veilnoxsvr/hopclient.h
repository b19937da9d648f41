#pragma once
// The local server's side of the keyed hop to a relay that has a key: TLS
// 1.3 for each TCP tunnel (hop/tls.h) and the seals of the datagrams it
// exchanges with the relay (hop/datagram.h). The key is the one the client
// published for the selected server (hopkey.h).
#include "hop/datagram.h"
#include "platform/net.h"

#include <cstddef>
#include <cstdint>
#include <memory>

typedef struct ssl_st SSL;

// TLS on one tunnel's blocking upstream socket; used by the tunnel's own
// thread only. The calls mirror the platform's socket calls.
class HopTls {
public:
    HopTls() = default;
    ~HopTls();
    HopTls(const HopTls&) = delete;
    HopTls& operator=(const HopTls&) = delete;

    // Runs the handshake on the connected socket s within timeoutMs; true
    // only when the relay proved the key.
    bool start(vnxplat::socket_t s, const std::uint8_t key[vnxhop::kKeySize], int timeoutMs);
    // As vnxplat::recvSome (waits for a record), vnxplat::recvWaiting
    // (kNothingWaiting when nothing has arrived) and vnxplat::sendAll.
    long recvSome(void* data, std::size_t len);
    long recvWaiting(void* data, std::size_t len);
    long sendAll(const void* data, std::size_t len);
    // Ends our direction (close_notify, then the socket's send side).
    void shutdownSend();
    // Bytes already read from the socket and waiting inside TLS: the socket
    // will not say so, so the tunnel reads them before it waits.
    bool pending() const;

private:
    SSL* ssl_ = nullptr;
    vnxplat::socket_t sock_ = vnxplat::kBadSocket;
};

// The seals of one UDP path (one thread): remade when the key changes.
class HopDatagrams {
public:
    HopDatagrams();
    ~HopDatagrams();
    HopDatagrams(const HopDatagrams&) = delete;
    HopDatagrams& operator=(const HopDatagrams&) = delete;

    // Keeps the seals of key (a new key drops the old ones).
    void useKey(const std::uint8_t key[vnxhop::kKeySize]);
    // Seals a relay-protocol datagram into out; 0 on failure.
    std::size_t seal(const std::uint8_t* plain, std::size_t len, std::uint8_t* out, std::size_t cap);
    // Opens a datagram from the relay into out; false when it does not open
    // (it is then dropped).
    bool open(const std::uint8_t* sealed, std::size_t len, std::uint8_t* out, std::size_t cap,
              std::size_t* plainLength);

private:
    // The key and its seals (none where the build has no keyed hop).
    struct Seals;
    std::unique_ptr<Seals> seals_;
};
