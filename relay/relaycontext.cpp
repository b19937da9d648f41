#include "relaycontext.h"

#include "epollhandler.h"
#include "hop/datagram.h"
#include "hop/tls.h"

#include <openssl/ssl.h>

#include <sys/epoll.h>
#include <time.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace vnxrelay {

namespace {
constexpr unsigned kLogBurst = 20;
constexpr std::uint64_t kLogWindowMs = 10000;
}  // namespace

RelayContext::RelayContext(const RelayOptions& options)
    : opts(options),
      policy(options.allow, options.allowPrivate),
      // Spare buffers kept for reuse: enough for the busy connections of a
      // typical load without holding memory for every past connection.
      pool(kRelayBufferSize, 64) {
    epfd = epoll_create1(EPOLL_CLOEXEC);
    scratch = static_cast<std::uint8_t*>(std::malloc(kScratchSize));
    batch = static_cast<std::uint8_t*>(std::malloc(std::size_t(kBatch) * kScratchSize));
    if (opts.keyed) {
        tls = vnxhop::newTlsContext(opts.key, true);
        // Remembered senders: a few per client the relay may serve at once.
        opener.reset(new vnxhop::Opener(opts.key, vnxhop::Direction::ToRelay, 4 * std::size_t{opts.maxUdp}));
        sealer.reset(new vnxhop::Sealer(opts.key, vnxhop::Direction::FromRelay));
        sealed = static_cast<std::uint8_t*>(std::malloc(sealedSize()));
        opened = static_cast<std::uint8_t*>(std::malloc(sealedSize()));
        sealedBatch = static_cast<std::uint8_t*>(std::malloc(std::size_t(kBatch) * sealedSize()));
    }
    updateClock();
}

std::size_t RelayContext::sealedSize() { return kScratchSize + vnxhop::kSealOverhead; }

RelayContext::~RelayContext() {
    if (epfd >= 0) close(epfd);
    std::free(scratch);
    std::free(batch);
    std::free(sealedBatch);
    std::free(sealed);
    std::free(opened);
    SSL_CTX_free(tls);
}

bool RelayContext::watch(int fd, EpollHandler* handler, std::uint32_t events) {
    epoll_event ev{};
    ev.events = events;
    ev.data.ptr = handler;
    return epoll_ctl(epfd, EPOLL_CTL_ADD, fd, &ev) == 0;
}

bool RelayContext::rewatch(int fd, EpollHandler* handler, std::uint32_t events) {
    epoll_event ev{};
    ev.events = events;
    ev.data.ptr = handler;
    return epoll_ctl(epfd, EPOLL_CTL_MOD, fd, &ev) == 0;
}

void RelayContext::updateClock() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    nowMs = std::uint64_t(ts.tv_sec) * 1000u + std::uint64_t(ts.tv_nsec) / 1000000u;
}

void RelayContext::retire(TcpRelay* relay) { retired.push_back(relay); }

bool RelayContext::sourceVerified(const sockaddr* client, const SourceState* source) const {
    if (!opts.allow.empty()) return true;  // every client got past clientAllowed
    // On a keyed relay every datagram proved the key: only a key holder can
    // make one, whatever source address it carries.
    if (opts.keyed) return true;
    if (isLoopbackAddress(client)) return true;
    return SourceTable::verified(source, nowMs);
}

void RelayContext::log(const char* fmt, ...) {
    if (opts.quiet) return;
    if (nowMs - logWindowStart_ >= kLogWindowMs) {
        if (logSuppressed_ > 0) std::fprintf(stderr, "veilnox-relay: %u messages suppressed\n", logSuppressed_);
        logWindowStart_ = nowMs;
        logLines_ = 0;
        logSuppressed_ = 0;
    }
    if (logLines_ >= kLogBurst) {
        ++logSuppressed_;
        return;
    }
    ++logLines_;
    char line[512];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    std::fprintf(stderr, "veilnox-relay: %s\n", line);
}

}  // namespace vnxrelay
