#include "resolvconf.h"

#include "realcalls.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace vnxmod {

namespace {
// Calls fn(line) for each line of a file; lines longer than the buffer are
// cut. Reading stops after maxBytes so a huge file cannot stall a look-up.
template <typename Fn>
void forEachLine(const char* path, Fn fn, std::size_t maxBytes = 16u << 20) {
    const int saved = errno;
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        errno = saved;
        return;
    }
    char buf[4096];
    char line[1024];
    std::size_t n = 0;
    std::size_t total = 0;
    bool stop = false;
    for (;;) {
        ssize_t r = RealCalls::read(fd, buf, sizeof buf);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        total += static_cast<std::size_t>(r);
        for (ssize_t i = 0; i < r && !stop; ++i) {
            if (buf[i] == '\n') {
                line[n] = 0;
                stop = !fn(line);
                n = 0;
            } else if (n < sizeof line - 1) {
                line[n++] = buf[i];
            }
        }
        if (stop || total > maxBytes) break;
    }
    if (!stop && n) {
        line[n] = 0;
        fn(line);
    }
    RealCalls::close(fd);
    errno = saved;
}

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// Splits a line into words (in place); comments start with # or ;.
int words(char* line, char** out, int max) {
    int n = 0;
    char* p = line;
    while (*p && n < max) {
        while (isSpace(*p))
            ++p;
        if (!*p || *p == '#' || *p == ';') break;
        out[n++] = p;
        while (*p && !isSpace(*p) && *p != '#')
            ++p;
        if (*p == '#') {
            *p = 0;
            break;
        }
        if (*p) *p++ = 0;
    }
    return n;
}

bool sameText(const char* a, const char* b) {
    std::size_t an = std::strlen(a), bn = std::strlen(b);
    if (an && a[an - 1] == '.') --an;
    if (bn && b[bn - 1] == '.') --bn;
    if (an != bn) return false;
    for (std::size_t i = 0; i < an; ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

int boundedInt(const char* s, int low, int high, int fallback) {
    char* end = nullptr;
    long v = std::strtol(s, &end, 10);
    if (end == s) return fallback;
    if (v < low) return low;
    if (v > high) return high;
    return static_cast<int>(v);
}
}  // namespace

ResolvConf ResolvConf::load(const char* path) {
    ResolvConf c;
    forEachLine(path, [&c](char* line) {
        char* w[16];
        int n = words(line, w, 16);
        if (n < 2) return true;
        if (std::strcmp(w[0], "nameserver") == 0 && c.serverCount < kMaxServers) {
            vnx::REndpoint e;
            e.port = htons(53);
            in_addr a4;
            in6_addr a6;
            char* pct = std::strchr(w[1], '%');  // a zone index is not kept
            if (pct) *pct = 0;
            if (inet_pton(AF_INET, w[1], &a4) == 1) {
                e.ipv4 = a4.s_addr;
                c.servers[c.serverCount++] = e;
            } else if (inet_pton(AF_INET6, w[1], &a6) == 1) {
                std::memcpy(e.ipv6, &a6, 16);
                static const std::uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
                if (std::memcmp(e.ipv6, kMapped, 12) == 0) {
                    std::memcpy(&e.ipv4, e.ipv6 + 12, 4);
                    std::memset(e.ipv6, 0, 16);
                }
                c.servers[c.serverCount++] = e;
            }
        } else if (std::strcmp(w[0], "search") == 0 || std::strcmp(w[0], "domain") == 0) {
            // The last search or domain line wins, as in the C library.
            c.searchCount = 0;
            for (int i = 1; i < n && c.searchCount < kMaxSearch; ++i) {
                if (std::strlen(w[i]) >= sizeof c.search[0]) continue;
                std::snprintf(c.search[c.searchCount++], sizeof c.search[0], "%s", w[i]);
            }
        } else if (std::strcmp(w[0], "options") == 0) {
            for (int i = 1; i < n; ++i) {
                if (std::strncmp(w[i], "ndots:", 6) == 0) c.ndots = boundedInt(w[i] + 6, 0, 15, 1);
                if (std::strncmp(w[i], "timeout:", 8) == 0) c.timeoutSec = boundedInt(w[i] + 8, 1, 30, 5);
                if (std::strncmp(w[i], "attempts:", 9) == 0) c.attempts = boundedInt(w[i] + 9, 1, 5, 2);
            }
        }
        return true;
    });
    if (c.serverCount == 0) {
        c.servers[0].ipv4 = htonl(INADDR_LOOPBACK);
        c.servers[0].port = htons(53);
        c.serverCount = 1;
    }
    return c;
}

HostsResult HostsFile::lookup(const char* path, const char* name, int family) {
    HostsResult res;
    forEachLine(path, [&](char* line) {
        char* w[64];
        int n = words(line, w, 64);
        if (n < 2) return true;
        bool hit = false;
        for (int i = 1; i < n && !hit; ++i)
            hit = sameText(w[i], name);
        if (!hit) return true;
        std::uint8_t a[16] = {};
        int af = 0;
        if (inet_pton(AF_INET, w[0], a) == 1) {
            af = AF_INET;
        } else {
            char* pct = std::strchr(w[0], '%');
            if (pct) *pct = 0;
            if (inet_pton(AF_INET6, w[0], a) == 1) af = AF_INET6;
        }
        if (!af) return true;
        res.named = true;
        if (!res.canonical[0] && std::strlen(w[1]) < sizeof res.canonical)
            std::snprintf(res.canonical, sizeof res.canonical, "%s", w[1]);
        if ((family == AF_UNSPEC || family == af) && res.count < 32) {
            res.family[res.count] = af;
            std::memcpy(res.addr[res.count], a, 16);
            ++res.count;
        }
        return true;
    });
    return res;
}

bool HostsFile::reverse(const char* path, int family, const std::uint8_t* addr, char* name, std::size_t cap) {
    bool found = false;
    const std::size_t size = family == AF_INET ? 4 : 16;
    forEachLine(path, [&](char* line) {
        char* w[4];
        int n = words(line, w, 4);
        if (n < 2) return true;
        std::uint8_t a[16] = {};
        char* pct = std::strchr(w[0], '%');
        if (pct) *pct = 0;
        if (inet_pton(family, w[0], a) != 1 || std::memcmp(a, addr, size) != 0) return true;
        if (std::strlen(w[1]) >= cap) return true;
        std::snprintf(name, cap, "%s", w[1]);
        found = true;
        return false;
    });
    return found;
}

}  // namespace vnxmod
