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

bool readLineWithin(int fd, std::string& line, int timeoutMs, std::size_t maxLen) {
    const std::int64_t deadline = nowMs() + timeoutMs;
    line.clear();
    for (;;) {
        if (!pollUntil(fd, POLLIN, deadline)) return false;
        char c;
        ssize_t n = read(fd, &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        if (c == '\n') return true;
        line += c;
        if (line.size() > maxLen) return false;
    }
}

}  // namespace vnxtest
