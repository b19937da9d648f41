#include "waiters.h"

#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

namespace vnxtest {

std::int64_t nowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

bool waitUntil(const std::function<bool()>& cond, int timeoutMs, int stepMs) {
    const std::int64_t deadline = nowMs() + timeoutMs;
    for (;;) {
        if (cond()) return true;
        if (nowMs() >= deadline) return false;
        usleep(static_cast<useconds_t>(stepMs) * 1000);
    }
}

bool pollUntil(int fd, short events, std::int64_t deadline) {
    for (;;) {
        std::int64_t left = deadline - nowMs();
        if (left < 0) left = 0;
        pollfd p{fd, events, 0};
        int r = poll(&p, 1, static_cast<int>(left));
        if (r > 0) return true;
        if (r == 0) return false;
        if (errno != EINTR) return false;
    }
}

}  // namespace vnxtest
