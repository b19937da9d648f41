#include "../system.h"

#include <dirent.h>
#include <errno.h>
#include <limits.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

namespace vnxplat {

std::uint32_t monotonicSeconds() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint32_t>(ts.tv_sec);
}

std::uint32_t tickCount() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    std::uint64_t ms =
        static_cast<std::uint64_t>(ts.tv_sec) * 1000u + static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
    return static_cast<std::uint32_t>(ms);
}

std::uint32_t unixSeconds() { return static_cast<std::uint32_t>(time(nullptr)); }

std::uint32_t currentProcessId() { return static_cast<std::uint32_t>(getpid()); }

namespace {
// Basename of /proc/PID/exe, or /proc/PID/comm when the link cannot be read
// (processes of other users, kernel threads).
bool processName(const char* pidText, std::string& out) {
    char path[64];
    snprintf(path, sizeof path, "/proc/%s/exe", pidText);
    // The link target goes to the heap: the local server asks from its
    // tunnel threads, whose stacks stay resident for the tunnel's life and
    // should not keep a page for it.
    std::string target(PATH_MAX, '\0');
    ssize_t n = readlink(path, &target[0], target.size() - 1);
    if (n > 0) {
        target.resize(static_cast<std::size_t>(n));
        // A replaced binary reads "/path/name (deleted)".
        static const char kDeleted[] = " (deleted)";
        const std::size_t tail = sizeof kDeleted - 1;
        if (target.size() > tail && target.compare(target.size() - tail, tail, kDeleted) == 0)
            target.resize(target.size() - tail);
        std::size_t slash = target.rfind('/');
        out = slash == std::string::npos ? target : target.substr(slash + 1);
        return !out.empty();
    }
    snprintf(path, sizeof path, "/proc/%s/comm", pidText);
    FILE* f = fopen(path, "re");
    if (!f) return false;
    char buf[64] = {0};
    bool ok = fgets(buf, sizeof buf, f) != nullptr;
    fclose(f);
    if (!ok) return false;
    buf[strcspn(buf, "\n")] = 0;
    out = buf;
    return !out.empty();
}
}  // namespace

bool processSnapshot(std::vector<std::pair<std::uint32_t, std::string>>& out) {
    out.clear();
    DIR* d = opendir("/proc");
    if (!d) return false;
    while (struct dirent* e = readdir(d)) {
        const char* s = e->d_name;
        if (*s < '1' || *s > '9') continue;
        char* end = nullptr;
        unsigned long pid = strtoul(s, &end, 10);
        if (*end != 0 || pid > 0xffffffffUL) continue;
        std::string name;
        if (processName(s, name)) out.emplace_back(static_cast<std::uint32_t>(pid), name);
    }
    closedir(d);
    return true;
}

bool processNameOf(std::uint32_t pid, std::string& out) {
    char text[16];
    snprintf(text, sizeof text, "%u", static_cast<unsigned>(pid));
    return processName(text, out);
}

namespace {
struct ThreadStart {
    void (*fn)(void*);
    void* arg;
};
void* threadEntry(void* p) {
    ThreadStart start = *static_cast<ThreadStart*>(p);
    delete static_cast<ThreadStart*>(p);
    start.fn(start.arg);
    return nullptr;
}
}  // namespace

bool startDetachedThread(void (*fn)(void*), void* arg, std::size_t stackSize) {
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) return false;
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (stackSize)
        pthread_attr_setstacksize(&attr, stackSize < static_cast<std::size_t>(PTHREAD_STACK_MIN)
                                             ? static_cast<std::size_t>(PTHREAD_STACK_MIN)
                                             : stackSize);
    auto* start = new ThreadStart{fn, arg};
    pthread_t t;
    int r = pthread_create(&t, &attr, threadEntry, start);
    pthread_attr_destroy(&attr);
    if (r != 0) {
        delete start;
        return false;
    }
    return true;
}

void debugOutput(const char* msg) {
    if (!getenv("VEILNOX_DEBUG")) return;
    // One write per line so that lines of concurrent threads do not mix.
    char line[1024];
    int n = snprintf(line, sizeof line, "%s\n", msg);
    if (n < 0) return;
    std::size_t len = static_cast<std::size_t>(n) < sizeof line ? static_cast<std::size_t>(n) : sizeof line - 1;
    ssize_t w;
    do {
        w = write(2, line, len);
    } while (w < 0 && errno == EINTR);
}

void debugOutputf(const char* fmt, ...) {
    if (!getenv("VEILNOX_DEBUG")) return;
    char msg[1000];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(msg, sizeof msg, fmt, ap);
    va_end(ap);
    debugOutput(msg);
}

std::string appDataRoot() {
    const char* xdg = getenv("XDG_DATA_HOME");
    if (xdg && xdg[0] == '/') return xdg;
    const char* home = getenv("HOME");
    if (home && home[0]) return std::string(home) + "/.local/share";
    return std::string();
}

void sleepMs(std::uint32_t ms) {
    struct timespec ts;
    ts.tv_sec = ms / 1000;
    ts.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

bool localTime(std::time_t t, std::tm& out) { return localtime_r(&t, &out) != nullptr; }

void lineBufferedStdout() { setvbuf(stdout, nullptr, _IOLBF, 0); }

}  // namespace vnxplat
