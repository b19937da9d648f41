#include "relayserver.h"

#include "tcprelay.h"

#include <netinet/in.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <new>

namespace vnxrelay {

namespace {

constexpr unsigned kAcceptPauseMs = 200;
constexpr int kAcceptBudget = 64;
constexpr int kMaxEvents = 256;
constexpr std::uint64_t kSourceSweepMs = 5000;

void resetAndClose(int fd) {
    linger l{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    close(fd);
}

// Room for every connection the limits allow: raise the soft descriptor
// limit as far as the hard limit permits.
void raiseDescriptorLimit() {
    rlimit rl{};
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0) return;
    if (rl.rlim_cur < rl.rlim_max) {
        rl.rlim_cur = rl.rlim_max;
        setrlimit(RLIMIT_NOFILE, &rl);
    }
}

}  // namespace

void RelayServer::Acceptor::onEvents(std::uint32_t) { server.acceptConnections(); }

void RelayServer::SignalWatch::onEvents(std::uint32_t) {
    signalfd_siginfo si;
    while (read(server.signalFd_, &si, sizeof si) == static_cast<ssize_t>(sizeof si)) {
        if (si.ssi_signo == SIGTERM || si.ssi_signo == SIGINT) server.stop_ = true;
    }
}

RelayServer::RelayServer(const RelayOptions& opts)
    : opts_(opts), ctx_(opts_), udp_(ctx_), hostAddresses_(ctx_), acceptor_(*this), signalWatch_(*this) {
    unsigned shortest =
        std::min({opts_.headerTimeoutMs, opts_.connectTimeoutMs, opts_.idleTimeoutMs, opts_.udpTimeoutMs});
    // Time-outs are checked a few times per shortest period, at most once a
    // second and at least every 10 ms.
    timerIntervalMs_ = std::max(10u, std::min(1000u, shortest / 4));
}

RelayServer::~RelayServer() {
    freeRetired();
    while (head_) {
        TcpRelay* r = head_;
        unlink(r);
        delete r;
    }
    udp_.close();
    if (listenFd_ >= 0) close(listenFd_);
    if (signalFd_ >= 0) close(signalFd_);
}

bool RelayServer::bindTcp(const sockaddr* addr, socklen_t len, std::string& error, int& err) {
    err = 0;
    listenFd_ = socket(addr->sa_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0) {
        err = errno;
        error = std::string("cannot create the TCP socket: ") + std::strerror(err);
        return false;
    }
    int on = 1;
    int off = 0;
    setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (addr->sa_family == AF_INET6) {
        const auto* s6 = reinterpret_cast<const sockaddr_in6*>(addr);
        bool any = IN6_IS_ADDR_UNSPECIFIED(&s6->sin6_addr);
        setsockopt(listenFd_, IPPROTO_IPV6, IPV6_V6ONLY, any ? &off : &on, sizeof on);
    }
    // The system's maximum backlog (the kernel caps it at somaxconn): bursts of connections queue instead of
    // stalling in SYN retransmits.
    if (bind(listenFd_, addr, len) != 0 || listen(listenFd_, 65535) != 0) {
        err = errno;
        error = std::string("cannot listen on ") + formatSocketAddress(addr) + ": " + std::strerror(err);
        close(listenFd_);
        listenFd_ = -1;
        return false;
    }
    socklen_t blen = sizeof bound_;
    getsockname(listenFd_, reinterpret_cast<sockaddr*>(&bound_), &blen);
    return true;
}

bool RelayServer::open(std::string& error) {
    if (ctx_.keyed() && !(ctx_.tls && ctx_.sealed && ctx_.opened && ctx_.sealedBatch)) {
        error = "cannot set up TLS and datagram seals with OpenSSL";
        return false;
    }
    if (!ctx_.valid()) {
        error = std::string("cannot set up the event loop: ") + std::strerror(errno);
        return false;
    }
    raiseDescriptorLimit();
    hostAddresses_.open();
    // Reserved up front so that closing and re-running relays from inside
    // the event loop does not allocate in the usual case.
    ctx_.retired.reserve(opts_.maxConns);
    ctx_.ready.reserve(opts_.maxConns);
    readyBatch_.reserve(opts_.maxConns);

    const sockaddr* want = reinterpret_cast<const sockaddr*>(&opts_.listen);
    const bool anyPort = (want->sa_family == AF_INET ? reinterpret_cast<const sockaddr_in*>(want)->sin_port
                                                     : reinterpret_cast<const sockaddr_in6*>(want)->sin6_port) == 0;
    // With port 0 the TCP port picked by the system may be taken for UDP:
    // try again with another one.
    bool ok = false;
    for (int attempt = 0; attempt < 32 && !ok; ++attempt) {
        int err = 0;
        if (!bindTcp(want, opts_.listenLen, error, err)) return false;
        if (udp_.open(reinterpret_cast<const sockaddr*>(&bound_), opts_.listenLen, error, err)) {
            ok = true;
        } else {
            close(listenFd_);
            listenFd_ = -1;
            if (!anyPort || err != EADDRINUSE) return false;
        }
    }
    if (!ok) return false;
    if (!ctx_.watch(listenFd_, &acceptor_, EPOLLIN)) {
        error = std::string("cannot watch the TCP socket: ") + std::strerror(errno);
        return false;
    }

    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    signalFd_ = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    if (signalFd_ < 0 || !ctx_.watch(signalFd_, &signalWatch_, EPOLLIN)) {
        error = std::string("cannot watch signals: ") + std::strerror(errno);
        return false;
    }
    return true;
}

std::string RelayServer::listenAddressText() const {
    return formatSocketAddress(reinterpret_cast<const sockaddr*>(&bound_));
}

void RelayServer::link(TcpRelay* r) {
    r->prev = nullptr;
    r->next = head_;
    if (head_) head_->prev = r;
    head_ = r;
}

void RelayServer::unlink(TcpRelay* r) {
    if (r->prev)
        r->prev->next = r->next;
    else
        head_ = r->next;
    if (r->next) r->next->prev = r->prev;
    r->prev = r->next = nullptr;
}

void RelayServer::pauseAccepting() {
    if (!fdShortageLogged_) {
        ctx_.log("out of file descriptors; pausing new connections briefly (raise the limit with ulimit -n)");
        fdShortageLogged_ = true;
    }
    acceptPaused_ = true;
    acceptResumeAt_ = ctx_.nowMs + kAcceptPauseMs;
    ctx_.rewatch(listenFd_, &acceptor_, 0);
}

bool RelayServer::makeRoom(SourceState* src, const sockaddr* from) {
    // A source at one of its limits makes room only among its own
    // connections that have not sent a header yet.
    const unsigned headerlessLimit =
        src->keyProvedUntil > ctx_.nowMs ? opts_.maxConnsPerSource : opts_.maxHeaderlessPerSource;
    if (src->tcp >= opts_.maxConnsPerSource || src->headerless >= headerlessLimit) {
        if (!src->oldestHeaderless) {
            ctx_.log("per-source connection limit (%u) reached; refusing %s", opts_.maxConnsPerSource,
                     formatSocketAddress(from).c_str());
            return false;
        }
        src->oldestHeaderless->shed();
    }
    // All connections in use: the oldest one still owing its header, from
    // whichever source, gives way; connections that are relaying never do.
    if (ctx_.tcpConnections >= opts_.maxConns) {
        if (!ctx_.oldestHeaderless()) {
            ctx_.log("connection limit (%u) reached; refusing %s", opts_.maxConns, formatSocketAddress(from).c_str());
            return false;
        }
        ctx_.oldestHeaderless()->shed();
    }
    return true;
}

void RelayServer::acceptConnections() {
    for (int i = 0; i < kAcceptBudget; ++i) {
        sockaddr_storage peer{};
        socklen_t plen = sizeof peer;
        int fd = accept4(listenFd_, reinterpret_cast<sockaddr*>(&peer), &plen, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            int e = errno;
            if (e == EAGAIN || e == EWOULDBLOCK) return;
            if (e == EMFILE || e == ENFILE || e == ENOBUFS || e == ENOMEM) {
                pauseAccepting();
                return;
            }
            continue;  // ECONNABORTED, EINTR, EPROTO and the like concern one connection
        }
        if (!ctx_.policy.clientAllowed(reinterpret_cast<const sockaddr*>(&peer))) {
            ctx_.log("refused client %s (not in --allow)",
                     formatSocketAddress(reinterpret_cast<sockaddr*>(&peer)).c_str());
            resetAndClose(fd);
            continue;
        }
        const sockaddr* from = reinterpret_cast<const sockaddr*>(&peer);
        SourceState* src = ctx_.sources.get(from);
        if (!src || !makeRoom(src, from)) {
            resetAndClose(fd);
            continue;
        }
        // The handshake is complete: the source receives at its address.
        ctx_.sources.markVerified(src, ctx_.nowMs);
        TcpRelay* r = new (std::nothrow) TcpRelay(ctx_, fd, src);
        if (!r) {
            resetAndClose(fd);
            continue;
        }
        link(r);
        if (!r->start()) {
            unlink(r);
            delete r;
        }
    }
}

void RelayServer::runReady() {
    if (ctx_.ready.empty()) return;
    readyBatch_.swap(ctx_.ready);
    for (TcpRelay* r : readyBatch_) {
        r->queued = false;
        if (!r->dead()) r->process();
    }
    readyBatch_.clear();
}

void RelayServer::checkTimers() {
    if (acceptPaused_ && ctx_.nowMs >= acceptResumeAt_) {
        acceptPaused_ = false;
        ctx_.rewatch(listenFd_, &acceptor_, EPOLLIN);
    }
    if (ctx_.nowMs < nextTimerCheck_) return;
    nextTimerCheck_ = ctx_.nowMs + timerIntervalMs_;
    for (TcpRelay* r = head_; r; r = r->next)
        r->checkTimers();
    udp_.checkTimers();
    hostAddresses_.refreshIfDue();
    if (ctx_.nowMs >= nextSourceSweep_) {
        nextSourceSweep_ = ctx_.nowMs + kSourceSweepMs;
        ctx_.sources.sweep(ctx_.nowMs);
    }
}

void RelayServer::checkAcks() {
    if (ctx_.waitingAck.empty() || ctx_.nowMs < ctx_.nextAckCheck) return;
    auto& w = ctx_.waitingAck;
    w.erase(std::remove_if(w.begin(), w.end(), [](TcpRelay* r) { return !r->checkAcked(); }), w.end());
    std::uint64_t next = UINT64_MAX;
    for (TcpRelay* r : w)
        next = std::min(next, r->ackCheckAt());
    ctx_.nextAckCheck = next;
}

void RelayServer::freeRetired() {
    if (ctx_.retired.empty()) return;
    auto dead = [](TcpRelay* r) { return r->dead(); };
    ctx_.ready.erase(std::remove_if(ctx_.ready.begin(), ctx_.ready.end(), dead), ctx_.ready.end());
    ctx_.waitingAck.erase(std::remove_if(ctx_.waitingAck.begin(), ctx_.waitingAck.end(), dead), ctx_.waitingAck.end());
    for (TcpRelay* r : ctx_.retired) {
        unlink(r);
        delete r;
    }
    ctx_.retired.clear();
}

int RelayServer::run() {
    epoll_event events[kMaxEvents];
    nextTimerCheck_ = ctx_.nowMs + timerIntervalMs_;
    while (!stop_) {
        int timeout = 0;
        if (ctx_.ready.empty()) {
            std::uint64_t until = nextTimerCheck_;
            if (acceptPaused_) until = std::min(until, acceptResumeAt_);
            timeout = until > ctx_.nowMs ? static_cast<int>(until - ctx_.nowMs) : 0;
            if (!ctx_.waitingAck.empty())
                timeout = std::min(
                    timeout, ctx_.nextAckCheck > ctx_.nowMs ? static_cast<int>(ctx_.nextAckCheck - ctx_.nowMs) : 0);
        }
        int n = epoll_wait(ctx_.epfd, events, kMaxEvents, timeout);
        ctx_.updateClock();
        if (n < 0 && errno != EINTR) {
            ctx_.log("epoll_wait failed: %s", std::strerror(errno));
            return 1;
        }
        for (int i = 0; i < n; ++i)
            static_cast<EpollHandler*>(events[i].data.ptr)->onEvents(events[i].events);
        runReady();
        checkAcks();
        checkTimers();
        freeRetired();
    }
    return 0;
}

}  // namespace vnxrelay
