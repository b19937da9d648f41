#pragma once
// Ending a program's existing internet sockets in the kernel. The capture
// hooks divert only connections made after a program was chosen; the ones it
// opened before keep going out directly. veilnox-capture calls
// resetSocketsOf() for the processes a user's policy has just started to
// cover, so that they reconnect and the new connection is diverted.
//
// Plain C++ and Linux APIs (no Qt). Any thread; a call blocks until it is
// done (bounded: every netlink read has a time-out and every loop a limit).
// Needs CAP_NET_ADMIN in each process's network namespace (to destroy its
// sockets) and CAP_SYS_ADMIN (to enter a namespace other than the caller's);
// the kernel needs CONFIG_INET_DIAG_DESTROY.
#include <vector>

namespace vnxcap {

// What resetSocketsOf() did: sockets ended, and what it was refused (a socket
// the kernel would not destroy, a namespace it could not enter or query, a
// process whose descriptors it could not read).
struct ResetCount {
    int tcp = 0;
    int udp = 0;
    int failed = 0;
};

// Ends, with sock_diag SOCK_DESTROY, every TCP connection (any state but
// LISTEN, CLOSE and TIME_WAIT) and every connected UDP socket that one of
// `pids` holds open and whose remote address is neither loopback (127/8,
// ::1, ::ffff:127.0.0.0/104) nor unspecified. The program's next call on
// such a socket fails with ECONNABORTED (the error the kernel gives every
// destroyed socket); a TCP peer gets a reset, a UDP socket is disconnected. Sockets are matched by inode ("socket:[N]"
// in /proc/PID/fd) against a dump of the process's own network namespace (/proc/PID/ns/net), made by a short-lived
// thread that enters that namespace, so the caller's namespace may be private. Pids that do not exist (or exit
// meanwhile) and duplicates are skipped; a socket that closes between the dump and its destruction is not counted.
// Never throws.
ResetCount resetSocketsOf(const std::vector<int>& pids);

}  // namespace vnxcap
