#include "../net.h"

#include <errno.h>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

namespace vnxplat {

bool netInit() { return true; }

int lastSocketError() { return errno; }

void closeSocket(socket_t s) {
    if (s >= 0) close(s);
}

int pollSockets(pollfd_t* fds, std::size_t n, int timeoutMs) { return poll(fds, static_cast<nfds_t>(n), timeoutMs); }

long sendNoSignal(socket_t s, const void* data, std::size_t len) {
    ssize_t r;
    do {
        r = send(s, data, len, MSG_NOSIGNAL);
    } while (r < 0 && errno == EINTR);
    return static_cast<long>(r);
}

long recvSome(socket_t s, void* data, std::size_t len) {
    ssize_t r;
    do {
        r = recv(s, data, len, 0);
    } while (r < 0 && errno == EINTR);
    return static_cast<long>(r);
}

namespace {
// Sends the whole buffer with the given flags; a non-blocking socket waits
// for room instead of failing.
long sendWholeBuffer(socket_t s, const void* data, std::size_t len, int flags) {
    const char* p = static_cast<const char*>(data);
    std::size_t left = len;
    while (left > 0) {
        ssize_t r = send(s, p, left, MSG_NOSIGNAL | flags);
        if (r < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                struct pollfd pfd = {s, POLLOUT, 0};
                if (poll(&pfd, 1, -1) < 0 && errno != EINTR) return -1;
                continue;
            }
            return -1;
        }
        p += r;
        left -= static_cast<std::size_t>(r);
    }
    return static_cast<long>(len);
}
}  // namespace

long sendAll(socket_t s, const void* data, std::size_t len) { return sendWholeBuffer(s, data, len, 0); }

long sendAllGathered(socket_t s, const void* data, std::size_t len) { return sendWholeBuffer(s, data, len, MSG_MORE); }

long recvDatagram(socket_t s, void* data, std::size_t len, sockaddr_storage* from, bool* truncated) {
    struct iovec iov = {data, len};
    struct msghdr msg = {};
    msg.msg_name = from;
    msg.msg_namelen = from ? sizeof(*from) : 0;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    ssize_t r;
    do {
        r = recvmsg(s, &msg, 0);
    } while (r < 0 && errno == EINTR);
    if (truncated) *truncated = r >= 0 && (msg.msg_flags & MSG_TRUNC);
    return static_cast<long>(r);
}

int connectWithin(socket_t s, const sockaddr* to, socklen_t len, int timeoutMs) {
    if (!setNonBlocking(s, true)) return -1;
    int err = 0;
    if (connect(s, to, len) != 0) {
        err = errno;
        // Interrupted, a non-blocking connect goes on in the background.
        if (err == EINPROGRESS || err == EINTR) {
            struct timespec start;
            clock_gettime(CLOCK_MONOTONIC, &start);
            for (;;) {
                struct timespec now;
                clock_gettime(CLOCK_MONOTONIC, &now);
                const long long spent =
                    (now.tv_sec - start.tv_sec) * 1000LL + (now.tv_nsec - start.tv_nsec) / 1000000LL;
                const int left = timeoutMs < 0 ? -1 : static_cast<int>(spent >= timeoutMs ? 0 : timeoutMs - spent);
                struct pollfd pfd = {s, POLLOUT, 0};
                const int r = poll(&pfd, 1, left);
                if (r > 0) {
                    socklen_t errLen = sizeof err;
                    if (getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &errLen) != 0) err = errno;
                    break;
                }
                if (r == 0) {
                    err = ETIMEDOUT;
                    break;
                }
                if (errno != EINTR) {
                    err = errno;
                    break;
                }
            }
        }
    }
    setNonBlocking(s, false);
    errno = err;
    return err == 0 ? 0 : -1;
}

bool setReuseAddr(socket_t s) {
    int on = 1;
    return setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0;
}

bool keepsDataBeforeReset() { return true; }

bool setNonBlocking(socket_t s, bool on) {
    int fl = fcntl(s, F_GETFL, 0);
    if (fl < 0) return false;
    fl = on ? (fl | O_NONBLOCK) : (fl & ~O_NONBLOCK);
    return fcntl(s, F_SETFL, fl) == 0;
}

bool wouldBlock(int err) { return err == EAGAIN || err == EWOULDBLOCK || err == EINPROGRESS; }

bool addressInUse(int err) { return err == EADDRINUSE; }

}  // namespace vnxplat
