#include "../serversupport.h"

namespace vnxplat {

// Windows raises no signal on a broken connection.
void ignoreBrokenPipe() {}

// Winsock has no per-process descriptor limit to raise.
unsigned long raiseDescriptorLimit() { return 0; }

bool setNoDelay(socket_t s) {
    BOOL on = TRUE;
    return setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on) == 0;
}

void pushPending(socket_t) {}

// Not asked on Windows: writes there are never gathered (see sendAllGathered).
int maxSegmentSize(socket_t) { return 0; }

void shutdownSend(socket_t s) { shutdown(s, SD_SEND); }

long recvWaiting(socket_t s, void* data, std::size_t len) {
    // No per-call non-blocking flag: ask what has arrived. An end of stream
    // shows as nothing waiting here and is read by the next blocking receive.
    u_long waiting = 0;
    if (ioctlsocket(s, FIONREAD, &waiting) != 0) return -1;
    if (waiting == 0) return kNothingWaiting;
    return recvSome(s, data, len < waiting ? len : waiting);
}

SocketErrorKind classifySocketError(int err) {
    switch (err) {
        case WSAEINTR:
        case WSAEWOULDBLOCK:
        case WSAECONNABORTED:
        case WSAENETDOWN:
        case WSAEHOSTUNREACH:
        case WSAENETUNREACH:
        // A datagram socket reports an earlier ICMP port-unreachable this way.
        case WSAECONNRESET:
        case WSAECONNREFUSED:
        // A datagram larger than the buffer; the caller drops it.
        case WSAEMSGSIZE: return SocketErrorKind::Transient;
        case WSAEMFILE:
        case WSAENOBUFS: return SocketErrorKind::Exhausted;
        default: return SocketErrorKind::Fatal;
    }
}

bool serverRejectsUnknownArguments() { return false; }

bool hiddenServerWatchesClientProcess() { return false; }

}  // namespace vnxplat
