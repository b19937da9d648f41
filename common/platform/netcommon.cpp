// The parts of net.h that the socket interfaces of both platforms express
// alike.
#include "platform/net.h"

namespace vnxplat {

std::uint16_t localPort(socket_t s) {
    sockaddr_storage a{};
    socklen_t len = sizeof a;
    if (getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) != 0) return 0;
    if (a.ss_family == AF_INET) return reinterpret_cast<sockaddr_in*>(&a)->sin_port;
    if (a.ss_family == AF_INET6) return reinterpret_cast<sockaddr_in6*>(&a)->sin6_port;
    return 0;
}

}  // namespace vnxplat
