#pragma once
// What the module knows about each socket it diverted, indexed by descriptor.
//
// Lock-free for descriptors it never touched (the hot path of read, write and
// close in every program); entries are allocated in chunks with mmap, never
// freed, so a reader can never meet freed memory. Safe from any thread; close
// only stores a word, so it stays async-signal-safe.
#include "records.h"
#include "rendpoint.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <cstdint>

namespace vnxmod {

enum class FdKind : std::uint8_t {
    None = 0,
    Tcp = 1,  // connected (or connecting) through the local server
    Udp = 2,  // has sent datagrams through the local server
};

struct FdInfo {
    FdKind kind = FdKind::None;
    std::uint8_t family = 0;              // AF_INET or AF_INET6 (the socket's)
    bool virtualPeer = false;             // UDP: the program connected it to a diverted peer
    std::uint16_t localPort = 0;          // network order; 0 = not known yet
    socklen_t peerLen = 0;                // real peer exactly as the program gave it
    sockaddr_in6 peer{};                  // (a sockaddr_in fits in it)
    vnx::TcpSlot* pendingSlot = nullptr;  // TCP: the record published for the connect
    std::uint16_t serverPort = 0;         // TCP: the local server port it connected to (host order)
    std::uint16_t cachePort = 0;          // UDP: a server reply port (network order) ...
    vnx::REndpoint cacheSource;           // ... and the real source its last record named
    vnx::REndpoint stub;                  // UDP: a DNS resolver on this machine the program asked ...
    vnx::REndpoint stubUpstream;          // ... and the resolver asked in its place (replies from it
                                          // are reported as coming from the stub)
};

class FdTable {
public:
    // Kind of a descriptor, lock-free. None for anything not tracked.
    static FdKind kind(int fd);
    // Copies the entry; false when the descriptor is not tracked.
    static bool get(int fd, FdInfo& out);
    // Stores an entry; false when the descriptor is out of range or no memory.
    static bool set(int fd, const FdInfo& in);
    // Forgets a descriptor (close, a new socket on the number).
    static void clear(int fd);
    // get + clear in one step.
    static bool take(int fd, FdInfo& out);
    // Duplicates the entry of `from` onto `to` (dup, dup2, dup3).
    static void copy(int from, int to);

    static constexpr int kMaxFd = 1 << 20;
};

}  // namespace vnxmod
