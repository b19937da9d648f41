#pragma once
// What the relay knows about each client source: how many TCP connections,
// connections still owing their header and UDP associations it holds, its
// header-less connections oldest first, and whether it has proved that it
// receives at its address (a completed TCP handshake).
//
// A source is an IPv4 address, or an IPv6 /64: one host of an IPv6 network
// commonly holds a whole /64, so counting single IPv6 addresses would let it
// escape every per-source limit.
//
// Entries stay while they count anything or their proof is fresh; sweep()
// drops the others, so pointers to an entry stay valid between sweeps (the
// map's nodes never move). Event-loop thread only.
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <unordered_map>

namespace vnxrelay {

class TcpRelay;

struct SourceState {
    unsigned tcp = 0;         // accepted, not yet closed
    unsigned headerless = 0;  // of those, still reading their header
    unsigned udp = 0;         // UDP associations
    std::uint64_t verifiedUntil = 0;
    // Until when a connection of this source has proved the relay's key (a
    // keyed relay): such a source may have as many connections in their
    // handshake as it may have connections (one local server opens a burst
    // of them at once); a source that never proved the key keeps the
    // header-less limit.
    std::uint64_t keyProvedUntil = 0;
    // The source's header-less connections, oldest first.
    TcpRelay* oldestHeaderless = nullptr;
    TcpRelay* newestHeaderless = nullptr;
    bool idle() const { return tcp == 0 && headerless == 0 && udp == 0; }
};

class SourceTable {
public:
    // A TCP handshake proves the address for this long after it completed.
    static constexpr std::uint64_t kVerifiedMs = 30 * 60 * 1000;
    // At most this many sources are remembered only for their proof; beyond
    // it new proofs are not recorded (those sources stay unverified).
    static constexpr std::size_t kMaxRemembered = 65536;

    // The entry for addr, created when missing. Null for other families or
    // when memory runs out.
    SourceState* get(const sockaddr* addr);
    // Records a completed handshake from the entry's source.
    void markVerified(SourceState* s, std::uint64_t now);
    static bool verified(const SourceState* s, std::uint64_t now) { return s && s->verifiedUntil > now; }
    // Drops entries that count nothing and whose proof has expired.
    void sweep(std::uint64_t now);
    std::size_t size() const { return map_.size(); }

private:
    struct Key {
        std::uint8_t addr[16];
        std::uint8_t family;
        bool operator==(const Key& o) const;
    };
    struct KeyHash {
        std::size_t operator()(const Key& k) const;
    };
    std::unordered_map<Key, SourceState, KeyHash> map_;
    std::size_t remembered_ = 0;  // idle entries kept for their proof, as of the last sweep
};

}  // namespace vnxrelay
