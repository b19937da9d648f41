#include "platform/capture.h"

// Windows has no kernel capture hooks: the network-stack module there
// describes every connection in the slot tables.
namespace vnxplat {
bool capturedTcpDestination(socket_t, vnx::REndpoint&, std::uint32_t&) { return false; }
bool capturedUdpDestination(socket_t, std::uint32_t, vnx::REndpoint&, std::uint32_t&) { return false; }
socket_t openCaptureSocket(std::uint16_t) { return kBadSocket; }
bool registerCaptureServer(socket_t, bool) { return false; }
bool capturedSenderIsOwn(const sockaddr_in&, std::uint32_t, std::uint16_t) { return false; }
long recvCaptured(socket_t, void*, std::size_t, sockaddr_in&, std::uint32_t&, bool*) { return -1; }
long sendCapturedReply(socket_t, const void*, std::size_t, const sockaddr_in&, std::uint32_t) { return -1; }
bool captureServiceRunning(const char*) { return false; }
bool captureResolversUnguarded(const char*) { return false; }
const char* captureStateFile() { return ""; }
}  // namespace vnxplat
