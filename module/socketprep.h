#pragma once
// Preparing a program's socket for diversion: what kind of socket it is,
// and a local port known before anything reaches the local server (the
// server finds the record by that port).
#include <cstdarg>
#include <cstdint>

namespace vnxmod {

struct SocketKind {
    int family = 0;    // AF_INET / AF_INET6
    int type = 0;      // SOCK_STREAM / SOCK_DGRAM (flags removed)
    int protocol = 0;  // IPPROTO_TCP / IPPROTO_UDP / ...
    bool isTcp() const;
    bool isUdp() const;
};

// False when fd is not an IPv4/IPv6 socket (errno unchanged).
bool querySocket(int fd, SocketKind& kind);

// Makes sure the socket has a local port and returns it (network order).
// An unbound socket is bound to the wildcard address.
//
// Stream sockets get SO_REUSEADDR and a random port of the ephemeral range
// (outside the reserved ports), tried explicitly: after many short
// connections most ephemeral ports sit in TIME_WAIT, where the kernel's
// own choice (bind to port 0) first becomes slow (it scans past them) and
// then fails, while an explicit port held only by TIME_WAIT sockets that
// also had SO_REUSEADDR can be taken at once. *boundHere tells that this
// call bound the socket (such a port may be shared with another socket
// that has SO_REUSEADDR; the connect then reports EADDRNOTAVAIL and the
// caller may start over on a fresh socket). False with errno set (for
// example EADDRNOTAVAIL) when no port could be had.
bool ensureLocalPort(int fd, int family, bool stream, std::uint16_t& portNet, bool* boundHere);

// Puts a fresh socket of the same kind in place of fd (same number, same
// file status flags, close-on-exec, and the socket options the program
// changed), unbound. For a connect that has to start over. False on failure
// (fd is then unchanged).
bool replaceSocket(int fd);

// One line on stderr when VEILNOX_DEBUG is set; errno is preserved.
void note(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace vnxmod
