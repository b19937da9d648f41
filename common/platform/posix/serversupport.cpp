#include "../serversupport.h"

#include <errno.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/resource.h>

namespace vnxplat {

void ignoreBrokenPipe() { signal(SIGPIPE, SIG_IGN); }

unsigned long raiseDescriptorLimit() {
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0) return 0;
    if (rl.rlim_cur < rl.rlim_max) {
        struct rlimit want = rl;
        want.rlim_cur = rl.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &want) == 0) rl = want;
    }
    return rl.rlim_cur == RLIM_INFINITY ? 0 : static_cast<unsigned long>(rl.rlim_cur);
}

bool setNoDelay(socket_t s) {
    int on = 1;
    return setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0;
}

// Setting TCP_NODELAY (again) sends the segments held back at once.
void pushPending(socket_t s) { setNoDelay(s); }

int maxSegmentSize(socket_t s) {
    int mss = 0;
    socklen_t len = sizeof mss;
    if (getsockopt(s, IPPROTO_TCP, TCP_MAXSEG, &mss, &len) != 0) return 0;
    return mss;
}

void shutdownSend(socket_t s) { shutdown(s, SHUT_WR); }

long recvWaiting(socket_t s, void* data, std::size_t len) {
    ssize_t r;
    do {
        r = recv(s, data, len, MSG_DONTWAIT);
    } while (r < 0 && errno == EINTR);
    if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return kNothingWaiting;
    return static_cast<long>(r);
}

SocketErrorKind classifySocketError(int err) {
    switch (err) {
        case EINTR:
        case EAGAIN:
#if EWOULDBLOCK != EAGAIN
        case EWOULDBLOCK:
#endif
        // accept(2): errors of a connection that died while it was queued.
        case ECONNABORTED:
        case EPROTO:
        case EPERM:
        case ENETDOWN:
        case ENOPROTOOPT:
        case EHOSTDOWN:
        case ENONET:
        case EHOSTUNREACH:
        case EOPNOTSUPP:
        case ENETUNREACH:
        // An ICMP error reported on a datagram socket.
        case ECONNREFUSED:
        case ECONNRESET: return SocketErrorKind::Transient;
        case EMFILE:
        case ENFILE:
        case ENOBUFS:
        case ENOMEM: return SocketErrorKind::Exhausted;
        default: return SocketErrorKind::Fatal;
    }
}

bool serverRejectsUnknownArguments() { return true; }

bool hiddenServerWatchesClientProcess() { return true; }

}  // namespace vnxplat
