#pragma once
// Diverting stream connections: the record first, then the connect to the
// local server, with the kernel's own result (blocking or not) passed back.
#include "fdtable.h"
#include "policy.h"
#include "rendpoint.h"

#include <sys/socket.h>

namespace vnxmod {

class TcpDivert {
public:
    // connect() of a TCP socket of `family` to `dst`, a destination to be
    // diverted. `orig` is what the program passed (kept for getpeername).
    // Returns connect's result; errno as connect sets it, or ECONNREFUSED /
    // EADDRNOTAVAIL when the connection cannot be diverted (never direct).
    static int connect(int fd, int family, const vnx::REndpoint& dst, const sockaddr* orig, socklen_t origLen,
                       const Verdict& verdict);
    // connect() again on a diverted socket (a program polling its
    // non-blocking connect): the kernel answers for the server connection.
    static int reconnect(int fd, const FdInfo& info);
    // Before a diverted socket closes: withdraws its record when the
    // connection never came up, so the table does not fill with leftovers.
    static void release(int fd, const FdInfo& info);
    // Opens a connection to dst through the local server for the module's
    // own use; waits at most timeoutMs. The descriptor or -1.
    static int openInternal(const vnx::REndpoint& dst, const Verdict& verdict, int timeoutMs);
};

}  // namespace vnxmod
