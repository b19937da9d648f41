#pragma once
// Address helpers shared by the hooks: reading the program's sockaddr,
// the local server's address, and reporting addresses back to the program
// the way the kernel does (truncated copy, full length in *len).
#include "platform/net.h"
#include "rendpoint.h"

#include <cstdint>

namespace vnxmod {

// The endpoint a program passed (AF_INET or AF_INET6 of at least the size
// the kernel requires). An IPv4-mapped IPv6 address becomes IPv4.
bool endpointFrom(const sockaddr* sa, socklen_t len, vnx::REndpoint& out);
// Loopback (127/8, ::1) or unspecified (0.0.0.0, ::) destinations: these
// stay on the machine and are never diverted.
bool isLocalDestination(const vnx::REndpoint& e);
bool isDnsDestination(const vnx::REndpoint& e);

// 127.0.0.1 or ::1 at `portHost`.
socklen_t serverAddress(bool viaIpv6, std::uint16_t portHost, sockaddr_storage& out);
// When `from` is a loopback address: its port (network order) and whether
// it is IPv6 (::1; an IPv4-mapped loopback counts as IPv4).
bool loopbackSource(const sockaddr_storage& from, std::uint16_t& portNet, bool& viaIpv6);

// Writes `e` as an address of the socket family `family` (an IPv4 endpoint
// on an IPv6 socket becomes IPv4-mapped) into out/len like the kernel does.
void reportAddress(const vnx::REndpoint& e, int family, sockaddr* out, socklen_t* len);
// Copies a stored sockaddr into out/len like the kernel does.
void reportRaw(const void* stored, socklen_t storedLen, sockaddr* out, socklen_t* len);

}  // namespace vnxmod
