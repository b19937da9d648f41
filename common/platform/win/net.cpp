// Winsock 2. Windows raises no SIGPIPE, so plain send serves for
// sendNoSignal, and blocking calls are not interrupted by signals.
#include "../net.h"

#include <climits>

namespace vnxplat {

namespace {
// Winsock lengths are int.
int clampLen(std::size_t len) { return len > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(len); }
}  // namespace

bool netInit() {
    // Once per process; Winsock stays loaded until the process ends.
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

int lastSocketError() { return WSAGetLastError(); }

void closeSocket(socket_t s) {
    if (s != kBadSocket) closesocket(s);
}

int pollSockets(pollfd_t* fds, std::size_t n, int timeoutMs) {
    return WSAPoll(fds, static_cast<ULONG>(n), timeoutMs < 0 ? -1 : timeoutMs);
}

long sendNoSignal(socket_t s, const void* data, std::size_t len) {
    return send(s, static_cast<const char*>(data), clampLen(len), 0);
}

long recvSome(socket_t s, void* data, std::size_t len) { return recv(s, static_cast<char*>(data), clampLen(len), 0); }

long sendAll(socket_t s, const void* data, std::size_t len) {
    const char* p = static_cast<const char*>(data);
    std::size_t left = len;
    while (left > 0) {
        long r = sendNoSignal(s, p, left);
        if (r < 0) {
            if (WSAGetLastError() == WSAEWOULDBLOCK) {
                WSAPOLLFD pfd = {};
                pfd.fd = s;
                pfd.events = POLLOUT;
                if (WSAPoll(&pfd, 1, -1) < 0) return -1;
                continue;
            }
            return -1;
        }
        p += r;
        left -= static_cast<std::size_t>(r);
    }
    return static_cast<long>(len);
}

// Winsock has no per-call "more follows" flag: every write is sent as it is.
long sendAllGathered(socket_t s, const void* data, std::size_t len) { return sendAll(s, data, len); }

long recvDatagram(socket_t s, void* data, std::size_t len, sockaddr_storage* from, bool* truncated) {
    if (truncated) *truncated = false;
    int fromLen = from ? static_cast<int>(sizeof(*from)) : 0;
    int r = recvfrom(s, static_cast<char*>(data), clampLen(len), 0, reinterpret_cast<sockaddr*>(from),
                     from ? &fromLen : nullptr);
    if (r == SOCKET_ERROR && WSAGetLastError() == WSAEMSGSIZE) {
        // The buffer was filled with the start of a larger datagram; the
        // rest is gone, as on Linux.
        if (truncated) *truncated = true;
        return static_cast<long>(clampLen(len));
    }
    return r;
}

int connectWithin(socket_t s, const sockaddr* to, socklen_t len, int timeoutMs) {
    if (!setNonBlocking(s, true)) return -1;
    int err = 0;
    if (connect(s, to, len) != 0) {
        err = WSAGetLastError();
        if (err == WSAEWOULDBLOCK) {
            // select, not WSAPoll: WSAPoll does not report every failed
            // connect. A failure shows in the exception set.
            fd_set writable, failed;
            FD_ZERO(&writable);
            FD_ZERO(&failed);
            FD_SET(s, &writable);
            FD_SET(s, &failed);
            timeval limit;
            limit.tv_sec = timeoutMs / 1000;
            limit.tv_usec = (timeoutMs % 1000) * 1000;
            const int r = select(0, nullptr, &writable, &failed, timeoutMs < 0 ? nullptr : &limit);
            if (r == 0) {
                err = WSAETIMEDOUT;
            } else if (r < 0) {
                err = WSAGetLastError();
            } else if (FD_ISSET(s, &failed)) {
                int soError = 0;
                int soLen = sizeof soError;
                getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soError), &soLen);
                err = soError != 0 ? soError : WSAECONNREFUSED;
            } else {
                err = 0;
            }
        }
    }
    setNonBlocking(s, false);
    WSASetLastError(err);
    return err == 0 ? 0 : -1;
}

bool setReuseAddr(socket_t s) {
    BOOL on = TRUE;
    return setsockopt(s, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&on), sizeof on) == 0;
}

// Winsock may discard received data when a reset arrives.
bool keepsDataBeforeReset() { return false; }

bool setNonBlocking(socket_t s, bool on) {
    u_long mode = on ? 1 : 0;
    return ioctlsocket(s, FIONBIO, &mode) == 0;
}

bool wouldBlock(int err) { return err == WSAEWOULDBLOCK || err == WSAEINPROGRESS; }

bool addressInUse(int err) { return err == WSAEADDRINUSE; }

}  // namespace vnxplat
