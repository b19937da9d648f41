#pragma once
// Diverting datagrams: a UDPSEND record for each datagram before it goes to
// the local server, and the real source (from the UDPRECV record) reported
// for each reply the server delivers.
#include "fdtable.h"
#include "modulecontract.h"
#include "policy.h"
#include "rendpoint.h"

#include <sys/socket.h>
#include <sys/uio.h>
#include <cstddef>
#include <cstdint>

namespace vnxmod {

class UdpDivert {
public:
    // The largest payload the local server relays whole; larger ones fail
    // EMSGSIZE.
    static constexpr std::size_t kMaxPayload = vnx::kMaxDivertedPayload;

    // Sends one datagram (msg's name is ignored) to `dst` through the local
    // server. Returns the bytes sent or -1 with errno (ENETUNREACH when it
    // cannot be diverted; it never goes out directly).
    static ssize_t send(int fd, int family, const vnx::REndpoint& dst, const msghdr& msg, int flags,
                        const Verdict& verdict);
    // connect() of a UDP socket to a diverted peer: remembered here, not
    // given to the kernel, so that replies from the server's reply socket
    // still arrive. Returns 0 or -1 with errno.
    static int connectPeer(int fd, int family, const sockaddr* orig, socklen_t origLen);
    // One receive on a socket that sent diverted datagrams. handled is
    // false when the descriptor turned out not to be such a socket.
    static ssize_t receive(int fd, msghdr* msg, int flags, bool& handled);
    // recvmmsg on such a socket, one datagram at a time.
    static int receiveMany(int fd, mmsghdr* vec, unsigned int vlen, int flags, struct timespec* timeout);

    // The payload checksum of the records over scattered buffers.
    static std::uint16_t checksum(const iovec* iov, std::size_t count, std::size_t& total);
};

}  // namespace vnxmod
