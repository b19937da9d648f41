#include "sockets.h"

#include "waiters.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace vnxtest {

sockaddr_storage makeAddress(const char* ip, std::uint16_t port) {
    sockaddr_storage ss{};
    if (std::strchr(ip, ':')) {
        auto* s6 = reinterpret_cast<sockaddr_in6*>(&ss);
        s6->sin6_family = AF_INET6;
        s6->sin6_port = htons(port);
        inet_pton(AF_INET6, ip, &s6->sin6_addr);
    } else {
        auto* s4 = reinterpret_cast<sockaddr_in*>(&ss);
        s4->sin_family = AF_INET;
        s4->sin_port = htons(port);
        inet_pton(AF_INET, ip, &s4->sin_addr);
    }
    return ss;
}

socklen_t addressLength(const sockaddr_storage& a) {
    return a.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
}

std::uint16_t addressPort(const sockaddr_storage& a) {
    if (a.ss_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6*>(&a)->sin6_port);
    return ntohs(reinterpret_cast<const sockaddr_in*>(&a)->sin_port);
}

sockaddr_storage localAddress(int fd) {
    sockaddr_storage sa{};
    socklen_t len = sizeof sa;
    getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    return sa;
}

int boundSocket(int type, const char* ip) {
    sockaddr_storage a = makeAddress(ip, 0);
    int fd = socket(a.ss_family, type | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), addressLength(a)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int listenOn(const char* ip, int backlog) {
    int fd = boundSocket(SOCK_STREAM, ip);
    if (fd < 0) return -1;
    if (listen(fd, backlog) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool connectWithin(int fd, const sockaddr_storage& to, int timeoutMs) {
    int fl = fcntl(fd, F_GETFL);
    fcntl(fd, F_SETFL, fl | O_NONBLOCK);
    int r = connect(fd, reinterpret_cast<const sockaddr*>(&to), addressLength(to));
    if (r != 0 && errno != EINPROGRESS) return false;
    if (r != 0) {
        if (!pollUntil(fd, POLLOUT, nowMs() + timeoutMs)) return false;
        int err = 0;
        socklen_t el = sizeof err;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &el) != 0 || err != 0) return false;
    }
    fcntl(fd, F_SETFL, fl);
    return true;
}

bool sendAll(int fd, const void* data, std::size_t len) {
    const char* p = static_cast<const char*>(data);
    while (len > 0) {
        ssize_t n = send(fd, p, len, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        len -= static_cast<std::size_t>(n);
    }
    return true;
}

bool readExact(int fd, void* data, std::size_t len, int timeoutMs) {
    char* p = static_cast<char*>(data);
    const std::int64_t deadline = nowMs() + timeoutMs;
    while (len > 0) {
        if (!pollUntil(fd, POLLIN, deadline)) return false;
        ssize_t n = recv(fd, p, len, MSG_DONTWAIT);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) return false;
        p += n;
        len -= static_cast<std::size_t>(n);
    }
    return true;
}

bool readToEnd(int fd, std::vector<std::uint8_t>& out, int timeoutMs) {
    const std::int64_t deadline = nowMs() + timeoutMs;
    std::uint8_t buf[65536];
    for (;;) {
        if (!pollUntil(fd, POLLIN, deadline)) return false;
        ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        out.insert(out.end(), buf, buf + n);
    }
}

bool waitClosed(int fd, int timeoutMs) {
    const std::int64_t deadline = nowMs() + timeoutMs;
    char buf[4096];
    for (;;) {
        if (!pollUntil(fd, POLLIN, deadline)) return false;
        ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) return true;  // end of stream or reset
    }
}

long recvWithin(int fd, void* buf, std::size_t cap, int timeoutMs, sockaddr_storage* from) {
    if (!pollUntil(fd, POLLIN, nowMs() + timeoutMs)) return -1;
    sockaddr_storage tmp{};
    socklen_t l = sizeof tmp;
    ssize_t n = recvfrom(fd, buf, cap, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&tmp), &l);
    if (from) *from = tmp;
    return n;
}

int timeWaitSockets(std::uint16_t port, bool remote) {
    int count = 0;
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        FILE* f = std::fopen(table, "r");
        if (!f) continue;
        char line[512];
        while (std::fgets(line, sizeof line, f)) {
            char local[64], peer[64];
            unsigned state = 0;
            if (std::sscanf(line, " %*d: %63s %63s %x", local, peer, &state) != 3) continue;
            const char* colon = std::strrchr(remote ? peer : local, ':');
            if (colon && state == 6 && std::strtoul(colon + 1, nullptr, 16) == port) ++count;
        }
        std::fclose(f);
    }
    return count;
}

}  // namespace vnxtest
