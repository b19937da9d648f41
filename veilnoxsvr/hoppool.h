#pragma once
// Connections to a keyed relay made ahead of need: the TLS handshake (two
// X25519 operations and the key's proof on both sides) runs on a thread of
// the pool while no application waits for it, and a new tunnel takes a
// connection that is ready to carry its header. The pool holds a few
// connections to the server that tunnels last asked for, refills after every
// take, and lets them go when no tunnel has asked for a minute or the
// selected server changes. Without a ready connection a tunnel makes its own.
#include "hopclient.h"
#include "platform/net.h"

#include <cstdint>
#include <memory>

struct PooledHop {
    vnxplat::Socket sock;
    std::unique_ptr<HopTls> tls;
};

// A ready connection to ipv4 (network order):port (network order) that
// proved key, or one with no socket when there is none; asks the pool to
// make more for that server either way. Thread-safe.
PooledHop takePooledHop(std::uint32_t ipv4, std::uint16_t port, const std::uint8_t key[vnxhop::kKeySize],
                        int connectLimitMs);

// How many connections the pool keeps ready (0 turns it off); tests set it.
void setHopPoolSize(int connections);
