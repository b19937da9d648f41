#pragma once
// What the local server asks of the kernel capture hooks (loaded by
// veilnox-capture): the real destination of a captured TCP connection, and of
// the loopback alias that captured datagrams were sent to; and the socket
// that receives captured datagrams on every loopback address. Where there
// are no such hooks (Windows, or a Linux machine without the service) every
// question is answered with false.
#include "platform/net.h"
#include "rendpoint.h"

#include <cstddef>
#include <cstdint>

namespace vnxplat {

// The real destination of the application connection accepted as `s`, and
// the process that made it. False when the hooks do not know it (not a
// captured connection, or one of another user). Each connection is answered
// once.
bool capturedTcpDestination(socket_t s, vnx::REndpoint& destination, std::uint32_t& pid);

// The real destination behind `alias` (IPv4, network order), asked on the
// capture socket `s`.
bool capturedUdpDestination(socket_t s, std::uint32_t alias, vnx::REndpoint& destination, std::uint32_t& pid);

// A UDP socket on port `port` (network order; 0 for any free port) of every
// loopback address, reporting the address each datagram was sent to.
// kBadSocket on failure.
socket_t openCaptureSocket(std::uint16_t port);

// Registers `s` (a listening TCP socket, or the capture socket when
// `datagrams`) with the hooks as this user's local server: they divert the
// user's programs only to sockets the user registered. False where there
// are no hooks.
bool registerCaptureServer(socket_t s, bool datagrams);

// Whether the socket that sent a datagram from `from` to `alias`:`port` (all
// network order) belongs to this process's user: another user on the host
// must not have datagrams relayed through this user's proxy.
bool capturedSenderIsOwn(const sockaddr_in& from, std::uint32_t alias, std::uint16_t port);

// Receives one datagram: its source and the loopback address it was sent
// to (network order). Returns the bytes stored or -1 (nothing waiting, or an
// error); *truncated when it was larger than the buffer.
long recvCaptured(socket_t s, void* data, std::size_t len, sockaddr_in& from, std::uint32_t& to, bool* truncated);

// Sends one datagram to `to` with `source` (a loopback address, network
// order) as its source address.
long sendCapturedReply(socket_t s, const void* data, std::size_t len, const sockaddr_in& to, std::uint32_t source);

// True while the capture service whose state file is `stateFile` runs: the
// file names a live process called "veilnox-capture". Always false where
// there is no such service.
bool captureServiceRunning(const char* stateFile);

// True when the running service's state file says that local resolver
// daemons stay reachable to diverted programs ("resolvers=0": a kernel
// without a hook on unix socket connections).
bool captureResolversUnguarded(const char* stateFile);

// The state file the service writes (VEILNOX_CAPTURE_STATE overrides it, for
// tests).
const char* captureStateFile();

}  // namespace vnxplat
