#include "tcprelay.h"

#include "relaycontext.h"
#include "relayheader.h"
#include "relayrequest.h"
#include "sourcetable.h"

#include "hop/tls.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vnxrelay {

namespace {

constexpr std::uint32_t kSocketEvents = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
// A direction's pool buffer goes back after this long without traffic.
constexpr std::uint64_t kBufferKeepMs = 2000;
// How long a client that asked to be ended with a reset gets to acknowledge
// the last bytes (a round trip plus a delayed acknowledgement, with room for
// slow paths); after that the relay ends with a plain end of stream.
constexpr std::uint64_t kAckWaitMs = 2000;
// The first check for those acknowledgements after 1 ms, each next one
// twice as late, up to this: a round trip on a fast path is seen at once,
// and a relay waiting long costs a few dozen checks, not one per loop.
constexpr std::uint64_t kAckIntervalMaxMs = 32;

bool wouldBlock(int e) { return e == EAGAIN || e == EWOULDBLOCK; }

// readSide: TLS must send something before it can read on.
constexpr ssize_t kNeedsWrite = -2;

void setNoDelay(int fd) {
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

void closeFd(int& fd, bool reset) {
    if (fd < 0) return;
    if (reset) {
        linger l{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    }
    close(fd);
    fd = -1;
}

}  // namespace

void TcpRelay::Side::onEvents(std::uint32_t events) {
    if (owner->dead()) return;
    if (events & EPOLLERR) {
        // A reset or a failed connect: nothing more can be relayed.
        owner->finish(true);
        return;
    }
    if (events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP)) readable = true;
    if (events & (EPOLLRDHUP | EPOLLHUP)) hup = true;
    if (events & (EPOLLOUT | EPOLLHUP)) writable = true;
    owner->process();
}

TcpRelay::TcpRelay(RelayContext& ctx, int clientFd, SourceState* src) : source(src), ctx_(ctx) {
    client_.owner = this;
    client_.fd = clientFd;
    upstream_.owner = this;
    if (ctx_.tls) {
        // SSL_new may fail for want of memory: start() then refuses.
        ssl_ = SSL_new(ctx_.tls);
        if (ssl_ && SSL_set_fd(ssl_, clientFd) == 1) SSL_set_accept_state(ssl_);
        state_ = State::Handshake;
    }
    stateSince_ = ctx_.nowMs;
    lastActive_ = ctx_.nowMs;
    ++ctx_.tcpConnections;
    ++source->tcp;
    joinHeaderless();
}

TcpRelay::~TcpRelay() {
    if (state_ != State::Dead) closeSockets(false, false);
}

bool TcpRelay::start() {
    if (ctx_.tls && !ssl_) return false;
    setNoDelay(client_.fd);
    if (!ctx_.watch(client_.fd, &client_, kSocketEvents)) return false;
    client_.readable = true;
    client_.writable = true;
    process();
    return true;
}

void TcpRelay::closeSockets(bool resetClient, bool resetUpstream) {
    if (ssl_) {
        SSL_free(ssl_);
        ssl_ = nullptr;
    }
    closeFd(client_.fd, resetClient);
    closeFd(upstream_.fd, resetUpstream);
    ctx_.pool.release(c2u_.buf);
    ctx_.pool.release(u2c_.buf);
    c2u_.buf = nullptr;
    u2c_.buf = nullptr;
    --ctx_.tcpConnections;
    --source->tcp;
    leaveHeaderless();
    if (counted_) --ctx_.liveTcpRelays;
    counted_ = false;
    state_ = State::Dead;
}

void TcpRelay::finish(bool resetClient, bool resetUpstream) {
    if (state_ == State::Dead) return;
    closeSockets(resetClient, resetUpstream);
    ctx_.retire(this);
}

bool TcpRelay::clientAckedAll() const {
    int unacked = 0;
    return ioctl(client_.fd, SIOCOUTQ, &unacked) == 0 && unacked == 0;
}

void TcpRelay::endWhenAcked() {
    // The client has sent its end and everything before it was passed on,
    // the destination has ended too and everything it sent was handed to the
    // client's socket. Once the client has acknowledged those bytes they are
    // in its receive queue, which a reset does not take away from it; the
    // reset then closes both ends without the TIME_WAIT that a normal end
    // would leave on the client (it sent the first end). The destination's
    // side closes normally.
    if (clientAckedAll()) {
        finish(true, false);
        return;
    }
    if (!waitingAck_) {
        waitingAck_ = true;
        ackWaitSince_ = ctx_.nowMs;
        ackInterval_ = 1;
        ackCheckAt_ = ctx_.nowMs + ackInterval_;
        ctx_.waitingAck.push_back(this);
        if (ctx_.waitingAck.size() == 1 || ackCheckAt_ < ctx_.nextAckCheck) ctx_.nextAckCheck = ackCheckAt_;
    }
}

bool TcpRelay::checkAcked() {
    if (state_ == State::Dead) return false;
    if (ctx_.nowMs < ackCheckAt_) return true;
    if (clientAckedAll()) {
        finish(true, false);
        return false;
    }
    if (ctx_.nowMs - ackWaitSince_ >= kAckWaitMs) {
        finish(false, false);  // close() sends the end after what is left
        return false;
    }
    ackInterval_ = ackInterval_ * 2 < kAckIntervalMaxMs ? ackInterval_ * 2 : kAckIntervalMaxMs;
    ackCheckAt_ = ctx_.nowMs + ackInterval_;
    return true;
}

void TcpRelay::process() {
    if (state_ == State::Handshake && !handshake()) return;
    if (state_ == State::Header && !readHeader()) return;
    if (state_ == State::Connecting) {
        if (!upstream_.writable || !finishConnect()) return;
    }
    if (state_ != State::Relaying) return;

    int up = RelayContext::kBudget;
    int down = RelayContext::kBudget;
    if (!pump(c2u_, client_, upstream_, up) || !pump(u2c_, upstream_, client_, down)) {
        finish(true);
        return;
    }
    if (c2u_.finished() && u2c_.finished()) {
        if (heldEnd_)
            endWhenAcked();
        else
            finish(false);
        return;
    }
    if (up < 0 || down < 0) queueForMore();
}

bool TcpRelay::handshake() {
    ERR_clear_error();
    int r = SSL_do_handshake(ssl_);
    if (r == 1) {
        if (!vnxhop::tlsPeerProvedKey(ssl_)) {
            finish(false);
            return false;
        }
        // Authenticated: no longer among the connections that may be shed
        // for strangers (the header time-out still applies).
        source->keyProvedUntil = ctx_.nowMs + SourceTable::kVerifiedMs;
        leaveHeaderless();
        state_ = State::Header;
        stateSince_ = ctx_.nowMs;
        return true;
    }
    switch (SSL_get_error(ssl_, r)) {
        case SSL_ERROR_WANT_READ: client_.readable = false; return false;
        case SSL_ERROR_WANT_WRITE: client_.writable = false; return false;
        default:
            // No key, a wrong key, or not TLS at all: the library has sent
            // its alert; nothing of the relay is revealed.
            ERR_clear_error();
            ctx_.log("closed a connection that did not prove the relay's key");
            finish(false);
            return false;
    }
}

ssize_t TcpRelay::readSide(Side& s, std::uint8_t* buf, std::size_t len) {
    if (&s != &client_ || !ssl_) return recv(s.fd, buf, len, 0);
    // Records are taken until the buffer is full or nothing more has come,
    // so that one send to the destination carries many of them.
    std::size_t total = 0;
    for (;;) {
        ERR_clear_error();
        std::size_t got = 0;
        if (SSL_read_ex(ssl_, buf + total, len - total, &got) != 1) break;
        total += got;
        if (total == len) return static_cast<ssize_t>(total);
    }
    const int e = SSL_get_error(ssl_, 0);
    if (total > 0) {
        // The socket had nothing more (the next edge says when it has), or
        // what ended the run is met again on the next read.
        ERR_clear_error();
        if (e == SSL_ERROR_WANT_READ) client_.readable = false;
        if (e == SSL_ERROR_WANT_WRITE) client_.writable = false;
        return static_cast<ssize_t>(total);
    }
    switch (e) {
        case SSL_ERROR_ZERO_RETURN: return 0;
        case SSL_ERROR_WANT_READ: errno = EAGAIN; return -1;
        case SSL_ERROR_WANT_WRITE:
            // The library must write first (a key update's answer): wait for
            // room, then read again.
            client_.writable = false;
            return kNeedsWrite;
        default:
            ERR_clear_error();
            errno = EPROTO;
            return -1;
    }
}

ssize_t TcpRelay::writeSide(Side& s, const std::uint8_t* buf, std::size_t len) {
    if (&s != &client_ || !ssl_) return send(s.fd, buf, len, MSG_NOSIGNAL);
    std::size_t total = 0;
    while (total < len) {
        ERR_clear_error();
        std::size_t n = 0;
        if (SSL_write_ex(ssl_, buf + total, len - total, &n) == 1) {
            total += n;
            continue;
        }
        int e = SSL_get_error(ssl_, 0);
        if (e == SSL_ERROR_WANT_WRITE || e == SSL_ERROR_WANT_READ) break;
        ERR_clear_error();
        errno = EPIPE;
        return total > 0 ? static_cast<ssize_t>(total) : -1;
    }
    if (total == 0) {
        errno = EAGAIN;
        return -1;
    }
    return static_cast<ssize_t>(total);
}

void TcpRelay::shutdownSide(Side& s) {
    // TLS: close_notify ends our direction; the client's goes on.
    if (&s == &client_ && ssl_) {
        ERR_clear_error();
        SSL_shutdown(ssl_);
        ERR_clear_error();
    }
    shutdown(s.fd, SHUT_WR);
}

bool TcpRelay::readHeader() {
    while (headerGot_ < sizeof header_) {
        if (!client_.readable) return false;
        // Exactly the rest of the header: the payload stays in the socket
        // (or in the TLS record) until the destination is connected.
        ssize_t n = readSide(client_, header_ + headerGot_, sizeof header_ - headerGot_);
        if (n > 0) {
            headerGot_ += static_cast<std::size_t>(n);
            continue;
        }
        if (n == 0) {
            finish(false);
            return false;
        }
        if (n == kNeedsWrite) return false;
        if (errno == EINTR) continue;
        if (wouldBlock(errno)) {
            client_.readable = false;
            return false;
        }
        finish(true);
        return false;
    }

    leaveHeaderless();
    RelayRequest req;
    RequestStatus st = decodeRelayRequest(header_, sizeof header_, false, req);
    if (st != RequestStatus::Ok) {
        ctx_.log("closed a TCP connection with an invalid relay header");
        finish(true);
        return false;
    }
    if (!ctx_.policy.destinationAllowed(reinterpret_cast<const sockaddr*>(&req.dest))) {
        ctx_.log("refused TCP destination %s (internal address; see --allow-private)",
                 formatSocketAddress(reinterpret_cast<const sockaddr*>(&req.dest)).c_str());
        finish(true);
        return false;
    }
    // Inside TLS nothing is masked, whatever the header says.
    masked_ = req.masked && !ssl_;
    resetAtEnd_ = (req.flags & vnx::kRelayFlagResetAtEnd) != 0;
    return startConnect(req);
}

bool TcpRelay::startConnect(const RelayRequest& req) {
    int fd = socket(req.dest.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        ctx_.log("cannot create an upstream socket: %s", std::strerror(errno));
        finish(true);
        return false;
    }
    upstream_.fd = fd;
    setNoDelay(fd);
    counted_ = true;
    ++ctx_.liveTcpRelays;
    stateSince_ = ctx_.nowMs;

    // No bind: connect picks the local address and port itself, so ports in
    // TIME_WAIT never make it fail.
    int r;
    do {
        r = connect(fd, reinterpret_cast<const sockaddr*>(&req.dest), req.destLen);
    } while (r < 0 && errno == EINTR);
    if (r < 0 && errno != EINPROGRESS) {
        finish(true);
        return false;
    }
    if (!ctx_.watch(fd, &upstream_, kSocketEvents)) {
        finish(true);
        return false;
    }
    if (r == 0) {
        upstream_.writable = true;
        state_ = State::Relaying;
        lastActive_ = ctx_.nowMs;
    } else {
        state_ = State::Connecting;
    }
    return true;
}

bool TcpRelay::finishConnect() {
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(upstream_.fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) {
        finish(true);
        return false;
    }
    state_ = State::Relaying;
    lastActive_ = ctx_.nowMs;
    return true;
}

bool TcpRelay::pump(Flow& f, Side& src, Side& dst, int& budget) {
    const std::size_t cap = RelayContext::kRelayBufferSize;
    for (;;) {
        if (f.len > 0) {
            if (!dst.writable) return true;
            ssize_t n = writeSide(dst, f.buf + f.off, f.len);
            if (n < 0) {
                if (errno == EINTR) continue;
                if (wouldBlock(errno)) {
                    dst.writable = false;
                    return true;
                }
                return false;
            }
            lastActive_ = f.lastUse = ctx_.nowMs;
            f.off += static_cast<std::size_t>(n);
            f.len -= static_cast<std::size_t>(n);
            if (f.len > 0) {
                // A short send means the socket buffer is full; the next
                // EPOLLOUT edge says when there is room again.
                dst.writable = false;
                return true;
            }
            f.off = 0;
            continue;
        }
        if (f.eof) {
            if (!f.shut) {
                // The destination's end reaches a client that ended first
                // and asked for it as a reset (endWhenAcked); every other
                // end is passed on as it came.
                if (&f == &u2c_ && resetAtEnd_ && c2u_.eof)
                    heldEnd_ = true;
                else
                    shutdownSide(dst);
                f.shut = true;
                ctx_.pool.release(f.buf);
                f.buf = nullptr;
            }
            return true;
        }
        if (!src.readable) return true;
        // Nothing is read while the target cannot take it: the bytes wait in
        // the kernel, which pushes back on the sender.
        if (!dst.writable) return true;
        if (budget <= 0) {
            budget = -1;
            return true;
        }
        --budget;

        std::uint8_t* buf = f.buf ? f.buf : ctx_.scratch;
        ssize_t n = readSide(src, buf, cap);
        if (n == 0) {
            f.eof = true;
            src.readable = false;
            continue;
        }
        if (n < 0) {
            if (n == kNeedsWrite) return true;
            if (errno == EINTR) continue;
            if (wouldBlock(errno)) {
                src.readable = false;
                return true;
            }
            return false;
        }
        lastActive_ = f.lastUse = ctx_.nowMs;
        std::size_t got = static_cast<std::size_t>(n);
        if (masked_) vnx::maskBuffer(buf, got);
        // A short read emptied the socket; new data raises a new edge. After
        // a hang-up, keep reading until the end of stream shows. TLS returns
        // one record at a time: only "would block" says it is empty.
        const bool tlsSource = &src == &client_ && ssl_;
        if (got < cap && !src.hup && !tlsSource) src.readable = false;

        std::size_t sent = 0;
        ssize_t w;
        do {
            w = writeSide(dst, buf, got);
        } while (w < 0 && errno == EINTR);
        if (w < 0) {
            if (!wouldBlock(errno)) return false;
        } else {
            sent = static_cast<std::size_t>(w);
        }
        if (sent < got) {
            if (!f.buf) {
                f.buf = ctx_.pool.acquire();
                if (!f.buf) {
                    ctx_.log("out of memory for relay buffers");
                    return false;
                }
                std::memcpy(f.buf, buf + sent, got - sent);
                f.off = 0;
            } else {
                f.off = sent;
            }
            f.len = got - sent;
            dst.writable = false;
            return true;
        }
    }
}

void TcpRelay::checkTimers() {
    if (state_ == State::Dead) return;
    const std::uint64_t now = ctx_.nowMs;
    switch (state_) {
        case State::Handshake:
            if (now - stateSince_ >= ctx_.opts.headerTimeoutMs) finish(false);
            return;
        case State::Header:
            // A client that proved the key may keep a connection ready for
            // its next tunnel, as long as an idle relay would live.
            if (now - stateSince_ >= (ssl_ ? ctx_.opts.idleTimeoutMs : ctx_.opts.headerTimeoutMs)) finish(false);
            return;
        case State::Connecting:
            if (now - stateSince_ >= ctx_.opts.connectTimeoutMs) finish(true);
            return;
        case State::Relaying:
            if (now - lastActive_ >= ctx_.opts.idleTimeoutMs) {
                finish(false);
                return;
            }
            for (Flow* f : {&c2u_, &u2c_}) {
                if (f->buf && f->len == 0 && now - f->lastUse >= kBufferKeepMs) {
                    ctx_.pool.release(f->buf);
                    f->buf = nullptr;
                }
            }
            return;
        case State::Dead: return;
    }
}

// The context's lists of relays, kept by each relay for itself.

void TcpRelay::queueForMore() {
    if (queued) return;
    queued = true;
    ctx_.ready.push_back(this);
}

void TcpRelay::joinHeaderless() {
    TcpRelay* r = this;
    if (r->headerless) return;
    r->headerless = true;
    r->hlPrev = ctx_.newestHeaderless_;
    r->hlNext = nullptr;
    if (ctx_.newestHeaderless_)
        ctx_.newestHeaderless_->hlNext = r;
    else
        ctx_.oldestHeaderless_ = r;
    ctx_.newestHeaderless_ = r;
    SourceState* s = r->source;
    ++s->headerless;
    r->srcPrev = s->newestHeaderless;
    r->srcNext = nullptr;
    if (s->newestHeaderless)
        s->newestHeaderless->srcNext = r;
    else
        s->oldestHeaderless = r;
    s->newestHeaderless = r;
}

void TcpRelay::leaveHeaderless() {
    TcpRelay* r = this;
    if (!r->headerless) return;
    r->headerless = false;
    (r->hlPrev ? r->hlPrev->hlNext : ctx_.oldestHeaderless_) = r->hlNext;
    (r->hlNext ? r->hlNext->hlPrev : ctx_.newestHeaderless_) = r->hlPrev;
    r->hlPrev = r->hlNext = nullptr;
    SourceState* s = r->source;
    --s->headerless;
    (r->srcPrev ? r->srcPrev->srcNext : s->oldestHeaderless) = r->srcNext;
    (r->srcNext ? r->srcNext->srcPrev : s->newestHeaderless) = r->srcPrev;
    r->srcPrev = r->srcNext = nullptr;
}

}  // namespace vnxrelay
