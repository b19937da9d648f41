#pragma once
// Socket helpers of the tests, for loopback and the tests' own network
// namespaces: addresses from text, sockets bound to a port chosen by the
// system, and blocking send/receive helpers, each with a time limit. They
// return false or -1 on failure and never throw. Any thread; a descriptor is
// used by one thread at a time.
#include <sys/socket.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vnxtest {

// "127.0.0.1" or "::1" (any IPv4 or IPv6 text) and a port in host order.
sockaddr_storage makeAddress(const char* ip, std::uint16_t port);
socklen_t addressLength(const sockaddr_storage& a);
std::uint16_t addressPort(const sockaddr_storage& a);  // host order
// The local address of a socket.
sockaddr_storage localAddress(int fd);

// A socket of `type` (SOCK_STREAM, SOCK_DGRAM) bound to ip, port chosen by
// the system; -1 on failure.
int boundSocket(int type, const char* ip);
// A TCP listener on ip (port chosen by the system); -1 on failure.
int listenOn(const char* ip, int backlog);
// Connects fd within timeoutMs; the descriptor keeps its blocking mode.
bool connectWithin(int fd, const sockaddr_storage& to, int timeoutMs);

// Sends all of data (no SIGPIPE); false when the socket failed.
bool sendAll(int fd, const void* data, std::size_t len);
// Reads exactly len bytes within timeoutMs; false on EOF, error or time-out.
bool readExact(int fd, void* data, std::size_t len, int timeoutMs = 10000);
// Reads until EOF within timeoutMs; false on error or time-out.
bool readToEnd(int fd, std::vector<std::uint8_t>& out, int timeoutMs = 30000);
// True when the peer closed (EOF or reset) within timeoutMs; data that
// arrives before is discarded.
bool waitClosed(int fd, int timeoutMs);
// One datagram within timeoutMs; -1 on time-out. from (when given) gets the
// sender.
long recvWithin(int fd, void* buf, std::size_t cap, int timeoutMs, sockaddr_storage* from = nullptr);

// TCP sockets of this network namespace in TIME_WAIT whose local port (or,
// with remote, whose remote port) is port (host order).
int timeWaitSockets(std::uint16_t port, bool remote);

}  // namespace vnxtest
