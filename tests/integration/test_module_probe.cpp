// A small program that tests run under the network-stack module: each
// command exercises one kind of socket use and prints what the program saw
// (one "key=value" line per result), so a test can compare it with what
// the servers saw. Exit status 0 when every step worked.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <resolv.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

socklen_t parseAddress(const char* host, const char* port, sockaddr_storage& ss) {
    std::memset(&ss, 0, sizeof ss);
    auto* s4 = reinterpret_cast<sockaddr_in*>(&ss);
    auto* s6 = reinterpret_cast<sockaddr_in6*>(&ss);
    if (inet_pton(AF_INET, host, &s4->sin_addr) == 1) {
        s4->sin_family = AF_INET;
        s4->sin_port = htons(static_cast<uint16_t>(std::atoi(port)));
        return sizeof *s4;
    }
    if (inet_pton(AF_INET6, host, &s6->sin6_addr) == 1) {
        s6->sin6_family = AF_INET6;
        s6->sin6_port = htons(static_cast<uint16_t>(std::atoi(port)));
        return sizeof *s6;
    }
    std::fprintf(stderr, "bad address %s\n", host);
    std::exit(2);
}

std::string text(const sockaddr* sa) {
    char buf[INET6_ADDRSTRLEN] = "?";
    if (sa->sa_family == AF_INET) {
        auto* s4 = reinterpret_cast<const sockaddr_in*>(sa);
        inet_ntop(AF_INET, &s4->sin_addr, buf, sizeof buf);
        return std::string(buf) + ":" + std::to_string(ntohs(s4->sin_port));
    }
    if (sa->sa_family == AF_INET6) {
        auto* s6 = reinterpret_cast<const sockaddr_in6*>(sa);
        inet_ntop(AF_INET6, &s6->sin6_addr, buf, sizeof buf);
        return "[" + std::string(buf) + "]:" + std::to_string(ntohs(s6->sin6_port));
    }
    return "family" + std::to_string(sa->sa_family);
}

bool waitFor(int fd, short events, int ms) {
    pollfd p{fd, events, 0};
    return poll(&p, 1, ms) == 1;
}

// Reads one line (without the end) from a stream socket.
bool readLine(int fd, std::string& line, int ms = 10000) {
    line.clear();
    char c;
    while (waitFor(fd, POLLIN, ms)) {
        ssize_t n = recv(fd, &c, 1, 0);
        if (n <= 0) return false;
        if (c == '\n') return true;
        line += c;
    }
    return false;
}

// connect, then "hello" and the server's answer line.
int tcpOnce(const char* host, const char* port, bool nonBlocking, bool quiet = false) {
    sockaddr_storage ss;
    socklen_t len = parseAddress(host, port, ss);
    int fd = socket(ss.ss_family, SOCK_STREAM | (nonBlocking ? SOCK_NONBLOCK : 0), 0);
    errno = 12345;  // the module must not disturb errno on success
    int r = connect(fd, reinterpret_cast<sockaddr*>(&ss), len);
    int e = errno;
    if (!quiet) std::printf("connect=%d errno=%s\n", r, r == 0 ? (e == 12345 ? "kept" : "changed") : strerror(e));
    if (r != 0 && !(nonBlocking && e == EINPROGRESS)) {
        close(fd);
        return 1;
    }
    if (r != 0) {
        if (!waitFor(fd, POLLOUT, 10000)) return 1;
        int err = 0;
        socklen_t l = sizeof err;
        getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &l);
        if (!quiet) std::printf("so_error=%s\n", err ? strerror(err) : "0");
        if (err) {
            close(fd);
            return 1;
        }
        int fl = fcntl(fd, F_GETFL);
        fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
    }
    sockaddr_storage peer;
    socklen_t pl = sizeof peer;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &pl) == 0 && !quiet)
        std::printf("peer=%s\n", text(reinterpret_cast<sockaddr*>(&peer)).c_str());
    const char hello[] = "hello\n";
    if (send(fd, hello, sizeof hello - 1, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof hello - 1)) return 1;
    std::string line;
    bool ok = readLine(fd, line);
    if (!quiet) std::printf("reply=%s\n", line.c_str());
    close(fd);
    return ok ? 0 : 1;
}

int udpOnce(const char* host, const char* port, const char* payload, const char* mode) {
    sockaddr_storage ss;
    socklen_t len = parseAddress(host, port, ss);
    int fd = socket(ss.ss_family, SOCK_DGRAM, 0);
    const bool connected = std::strcmp(mode, "connect") == 0;
    if (connected) {
        if (connect(fd, reinterpret_cast<sockaddr*>(&ss), len) != 0) {
            std::printf("connect failed errno=%s\n", strerror(errno));
            return 1;
        }
        // Gathered write on the connected socket: the pieces make one datagram.
        std::size_t half = std::strlen(payload) / 2;
        iovec parts[2] = {{const_cast<char*>(payload), half},
                          {const_cast<char*>(payload) + half, std::strlen(payload) - half}};
        ssize_t n = writev(fd, parts, 2);
        if (n < 0) std::printf("write errno=%s\n", strerror(errno));
        sockaddr_storage peer;
        socklen_t pl = sizeof peer;
        if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &pl) == 0)
            std::printf("peer=%s\n", text(reinterpret_cast<sockaddr*>(&peer)).c_str());
    } else if (std::strcmp(mode, "sendmsg") == 0) {
        // Two pieces: the checksum must cover the gathered payload.
        std::size_t half = std::strlen(payload) / 2;
        iovec iov[2] = {{const_cast<char*>(payload), half},
                        {const_cast<char*>(payload) + half, std::strlen(payload) - half}};
        msghdr m{};
        m.msg_name = &ss;
        m.msg_namelen = len;
        m.msg_iov = iov;
        m.msg_iovlen = 2;
        if (sendmsg(fd, &m, 0) < 0) std::printf("sendmsg errno=%s\n", strerror(errno));
    } else if (std::strcmp(mode, "unspec") == 0) {
        // An IPv4 socket reads an AF_UNSPEC address as IPv4.
        reinterpret_cast<sockaddr*>(&ss)->sa_family = AF_UNSPEC;
        if (sendto(fd, payload, std::strlen(payload), 0, reinterpret_cast<sockaddr*>(&ss), len) < 0) {
            std::printf("sendto errno=%s\n", strerror(errno));
            return 1;
        }
    } else {
        errno = 12345;  // the module must not disturb errno on success
        if (sendto(fd, payload, std::strlen(payload), 0, reinterpret_cast<sockaddr*>(&ss), len) < 0) {
            std::printf("sendto errno=%s\n", strerror(errno));
            return 1;
        }
        std::printf("send_errno=%s\n", errno == 12345 ? "kept" : "changed");
    }
    if (!waitFor(fd, POLLIN, 5000)) {
        std::printf("no reply\n");
        return 1;
    }
    char buf[9000];
    sockaddr_storage from{};
    socklen_t fl = sizeof from;
    ssize_t n;
    if (std::strcmp(mode, "recvmsg") == 0 || std::strcmp(mode, "sendmsg") == 0) {
        iovec iov{buf, sizeof buf - 1};
        msghdr m{};
        m.msg_name = &from;
        m.msg_namelen = fl;
        m.msg_iov = &iov;
        m.msg_iovlen = 1;
        n = recvmsg(fd, &m, 0);
    } else if (connected) {
        n = read(fd, buf, sizeof buf - 1);
        getpeername(fd, reinterpret_cast<sockaddr*>(&from), &fl);
    } else {
        n = recvfrom(fd, buf, sizeof buf - 1, 0, reinterpret_cast<sockaddr*>(&from), &fl);
    }
    if (n < 0) {
        std::printf("recv errno=%s\n", strerror(errno));
        return 1;
    }
    buf[n] = 0;
    std::printf("from=%s\nreply=%s\n", text(reinterpret_cast<sockaddr*>(&from)).c_str(), buf);
    close(fd);
    return 0;
}

// THREADS threads open COUNT connections together, all non-blocking, and
// check each answer names their own destination port.
int stress(const char* host, const char* portArg, int threads, int count) {
    // "=PORT": every connection to PORT; else PORT + i for connection i.
    const bool samePort = portArg[0] == '=';
    const int basePort = std::atoi(portArg + (samePort ? 1 : 0));
    std::atomic<int> good{0};
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([&, t] {
            for (int i = t; i < count; i += threads) {
                std::string port = std::to_string(basePort + (samePort ? 0 : i));
                sockaddr_storage ss;
                socklen_t len = parseAddress(host, port.c_str(), ss);
                int fd = socket(ss.ss_family, SOCK_STREAM | SOCK_NONBLOCK, 0);
                int r = connect(fd, reinterpret_cast<sockaddr*>(&ss), len);
                int err = 0;
                socklen_t l = sizeof err;
                if (r != 0 && errno == EINPROGRESS && waitFor(fd, POLLOUT, 10000))
                    getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &l);
                else if (r != 0)
                    err = errno;
                if (err == 0) {
                    fcntl(fd, F_SETFL, 0);
                    std::string line;
                    if (send(fd, "x\n", 2, MSG_NOSIGNAL) == 2 && readLine(fd, line) &&
                        line.find(":" + port + " ") != std::string::npos)
                        ++good;
                    else
                        std::fprintf(stderr, "bad answer for %s: %s\n", port.c_str(), line.c_str());
                } else {
                    std::fprintf(stderr, "connect %s: %s\n", port.c_str(), strerror(err));
                }
                close(fd);
            }
        });
    }
    for (auto& th : pool)
        th.join();
    std::printf("good=%d\n", good.load());
    return good.load() == count ? 0 : 1;
}

// COUNT connections one after another; the client closes first, leaving
// every port in TIME_WAIT.
int sequential(const char* host, const char* port, int count) {
    sockaddr_storage ss;
    socklen_t len = parseAddress(host, port, ss);
    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (int i = 0; i < count; ++i) {
        if (i % 5000 == 0 && i) {
            timespec now;
            clock_gettime(CLOCK_MONOTONIC, &now);
            std::printf("progress=%d ms=%ld\n", i,
                        (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000);
        }
        int fd = socket(ss.ss_family, SOCK_STREAM, 0);
        int r = connect(fd, reinterpret_cast<sockaddr*>(&ss), len);
        std::string line;
        if (r != 0 || send(fd, "x\n", 2, MSG_NOSIGNAL) != 2 || !readLine(fd, line)) {
            std::printf("failed at=%d errno=%s\n", i, strerror(errno));
            close(fd);
            return 1;
        }
        close(fd);
    }
    std::printf("done=%d\n", count);
    return 0;
}

int resolve(const char* name, const char* how) {
    if (std::strcmp(how, "gethostbyname") == 0) {
        hostent* h = gethostbyname(name);
        if (!h) {
            std::printf("h_errno=%d\n", h_errno);
            return 1;
        }
        for (char** a = h->h_addr_list; *a; ++a) {
            char buf[INET6_ADDRSTRLEN];
            inet_ntop(h->h_addrtype, *a, buf, sizeof buf);
            std::printf("addr=%s\n", buf);
        }
        std::printf("name=%s\n", h->h_name);
        return 0;
    }
    addrinfo hints{};
    hints.ai_family = std::strcmp(how, "v6") == 0 ? AF_INET6 : std::strcmp(how, "v4") == 0 ? AF_INET : AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_CANONNAME;
    addrinfo* res = nullptr;
    int rc = getaddrinfo(name, "80", &hints, &res);
    if (rc != 0) {
        std::printf("error=%s\n", gai_strerror(rc));
        return 1;
    }
    if (res->ai_canonname) std::printf("canonical=%s\n", res->ai_canonname);
    for (addrinfo* a = res; a; a = a->ai_next)
        std::printf("addr=%s\n", text(a->ai_addr).c_str());
    freeaddrinfo(res);
    return 0;
}

// The address of the last A record of a DNS answer (the test zone answers
// with one record, placed last); "fail" when there is none.
std::string lastA(const unsigned char* ans, int n) {
    if (n < 16) return "fail";
    char buf[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, ans + n - 4, buf, sizeof buf);
    return buf;
}

// The look-up functions beside getaddrinfo: the resolver interface,
// getaddrinfo_a, the reverse look-ups (addr has a PTR record, bare has none).
int lookups(const char* name, const char* addr, const char* bare) {
    int failed = 0;
    unsigned char ans[4096];
    int n = res_query(name, C_IN, T_A, ans, sizeof ans);
    std::printf("res_query=%s\n", n > 0 ? lastA(ans, n).c_str() : "fail");
    n = res_search(name, C_IN, T_A, ans, sizeof ans);
    std::printf("res_search=%s\n", n > 0 ? lastA(ans, n).c_str() : "fail");
    unsigned char q[512];
    int qn = res_mkquery(QUERY, name, C_IN, T_A, nullptr, 0, nullptr, q, sizeof q);
    n = qn > 0 ? res_send(q, qn, ans, sizeof ans) : -1;
    std::printf("res_send=%s\n", n > 0 ? lastA(ans, n).c_str() : "fail");
    failed += n <= 0;

    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    gaicb req{};
    req.ar_name = name;
    req.ar_request = &hints;
    gaicb* list[1] = {&req};
    int rc = getaddrinfo_a(GAI_WAIT, list, 1, nullptr);
    if (rc == 0 && gai_error(&req) == 0 && req.ar_result) {
        std::printf("getaddrinfo_a=%s\n", text(req.ar_result->ai_addr).c_str());
        freeaddrinfo(req.ar_result);
    } else {
        std::printf("getaddrinfo_a=fail\n");
        ++failed;
    }

    in_addr a4{};
    inet_pton(AF_INET, addr, &a4);
    hostent* h = gethostbyaddr(&a4, sizeof a4, AF_INET);
    std::printf("gethostbyaddr=%s\n", h ? h->h_name : "fail");
    failed += !h;
    sockaddr_storage ss;
    socklen_t len = parseAddress(addr, "80", ss);
    char host[NI_MAXHOST];
    rc = getnameinfo(reinterpret_cast<sockaddr*>(&ss), len, host, sizeof host, nullptr, 0, NI_NAMEREQD);
    std::printf("getnameinfo=%s\n", rc == 0 ? host : "fail");
    failed += rc != 0;
    len = parseAddress(bare, "80", ss);
    rc = getnameinfo(reinterpret_cast<sockaddr*>(&ss), len, host, sizeof host, nullptr, 0, 0);
    std::printf("getnameinfo_bare=%s\n", rc == 0 ? host : "fail");
    return failed == 0 ? 0 : 1;
}

int forked(const char* host, const char* port) {
    pid_t child = fork();
    if (child == 0) {
        std::printf("child:\n");
        std::fflush(stdout);
        _exit(tcpOnce(host, port, false));
    }
    int status = 0;
    waitpid(child, &status, 0);
    std::fflush(stdout);
    std::printf("parent:\n");
    int r = tcpOnce(host, port, false);
    return (WIFEXITED(status) && WEXITSTATUS(status) == 0 && r == 0) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    if (argc < 2) return 2;
    std::string cmd = argv[1];
    if (cmd == "tcp" && argc >= 4) return tcpOnce(argv[2], argv[3], argc > 4 && std::strcmp(argv[4], "nb") == 0);
    if (cmd == "udp" && argc >= 5) return udpOnce(argv[2], argv[3], argv[4], argc > 5 ? argv[5] : "sendto");
    if (cmd == "stress" && argc >= 6) return stress(argv[2], argv[3], std::atoi(argv[4]), std::atoi(argv[5]));
    if (cmd == "seq" && argc >= 5) return sequential(argv[2], argv[3], std::atoi(argv[4]));
    if (cmd == "resolve" && argc >= 3) return resolve(argv[2], argc > 3 ? argv[3] : "any");
    if (cmd == "fork" && argc >= 4) return forked(argv[2], argv[3]);
    if (cmd == "lookups" && argc >= 5) return lookups(argv[2], argv[3], argv[4]);
    std::fprintf(stderr, "unknown command\n");
    return 2;
}
