// vnxbench: load client and destinations for bench/relay. Every address it
// binds or connects to is in 127.0.0.0/8, or in 10.77.0.0/24, which
// bench/relay adds to the loopback device of its own network namespace (a
// path that the system does not treat as loopback).
//
//   dest    PORT [ADDR]               TCP destination (epoll) on ADDR (127.0.0.1): a
//                                     connection whose first byte is 'S' is a sink, others echo
//   udpecho PORT                      UDP echo
//   bulk    HOST PORT SECS STREAMS [vnx]   send for SECS, half-close, wait for the end
//   rr      HOST PORT N [vnx]              N sequential connect + 100-byte echo + close
//   burst   HOST PORT C [vnx]              C concurrent connect + echo + close, released together
//   hold    HOST PORT N MAXSECS [vnx]      N idle connections; prints READY, waits for stdin
//   udp     HOST PORT N WINDOW MAXSECS [vnx]   512-byte datagrams echoed, WINDOW in flight
//   churn   HOST PORT RATE SECS [vnx]  RATE connections a second for SECS, each connect +
//                                     100-byte echo + close by the client first
//   mask    MIB                       in-memory speed of the relay mask (8 KiB buffer)
//
// "vnx": reach HOST:PORT through the local veilnoxsvr, doing what the
// network-stack module does: publish the destination in the slot table, then
// connect (or send) to 127.0.0.1:9111. "socks:PORT" (TCP only): ask the
// SOCKS5 server on 127.0.0.1:PORT (no authentication) to connect to HOST:PORT,
// as a program set up for a SOCKS proxy does. Results are one JSON line. Every socket
// operation of a client connection gives up after 5 s (counted as failed).
#include "modulecontract.h"
#include "platform/system.h"
#include "relayheader.h"
#include "sharedmemory.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace {

double nowSec() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "vnxbench: %s: %s\n", what, std::strerror(errno));
    std::exit(2);
}

sockaddr_in loopback(const char* host, int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    if (inet_pton(AF_INET, host, &a.sin_addr) != 1 ||
        ((ntohl(a.sin_addr.s_addr) >> 24) != 127 && (ntohl(a.sin_addr.s_addr) >> 8) != 0x0A4D00)) {
        std::fprintf(stderr, "vnxbench: %s is neither loopback nor the bench's own 10.77.0.0/24\n", host);
        std::exit(2);
    }
    return a;
}

bool writeAll(int fd, const char* p, std::size_t n) {
    while (n) {
        ssize_t w = send(fd, p, n, MSG_NOSIGNAL);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}

bool readExact(int fd, char* p, std::size_t n) {
    while (n) {
        ssize_t r = recv(fd, p, n, 0);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        p += r;
        n -= static_cast<std::size_t>(r);
    }
    return true;
}

// The module's side: slot tables opened once per process.
struct Module {
    vnx::SlotTable* tcp = nullptr;
    vnx::SlotTable* udpSend = nullptr;
    vnx::SlotTable* udpRecv = nullptr;
};
Module& module() {
    static Module m = [] {
        Module x;
        x.tcp = vnx::createTcpTable(false);
        x.udpSend = vnx::createUdpSendTable(false);
        x.udpRecv = vnx::createUdpRecvTable(false);
        if (!x.tcp->base() || !x.udpSend->base() || !x.udpRecv->base()) {
            std::fprintf(stderr, "vnxbench: veilnoxsvr's slot tables are not there\n");
            std::exit(2);
        }
        return x;
    }();
    return m;
}

vnx::REndpoint toEndpoint(const sockaddr_in& a) {
    vnx::REndpoint e;
    e.ipv4 = a.sin_addr.s_addr;
    e.port = a.sin_port;
    return e;
}

struct Target {
    sockaddr_in dest{};
    bool vnx = false;
    int socksPort = 0;  // > 0: through the SOCKS5 server on 127.0.0.1:socksPort
};

// SOCKS5 greeting (no authentication) and CONNECT to an IPv4 destination.
bool socksConnect(int fd, const sockaddr_in& dest) {
    const char hello[3] = {5, 1, 0};
    char answer[10];
    if (!writeAll(fd, hello, sizeof hello) || !readExact(fd, answer, 2) || answer[0] != 5 || answer[1] != 0)
        return false;
    char request[10] = {5, 1, 0, 1};
    std::memcpy(request + 4, &dest.sin_addr, 4);
    std::memcpy(request + 8, &dest.sin_port, 2);
    // The reply names the server's bound address; an IPv4 one is 10 bytes.
    return writeAll(fd, request, sizeof request) && readExact(fd, answer, sizeof answer) && answer[0] == 5 &&
           answer[1] == 0 && answer[3] == 1;
}

// Opens a connection to the target, directly or through veilnoxsvr.
int openConnection(const Target& t, int attempt = 0) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    timeval tv{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    sockaddr_in to = t.dest;
    bool boundHere = false;
    if (t.vnx) {
        // As the module does: the port is chosen before connect (it must be
        // published first), at random with SO_REUSEADDR, so that ports whose
        // earlier connections wait in TIME_WAIT can serve again; a bind to
        // port 0 never takes such a port and runs out after a minute of
        // churn. Where connect still refuses the 4-tuple (its TIME_WAIT too
        // young to reuse), a fresh socket tries another port.
        int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in local = loopback("127.0.0.1", 0);
        thread_local unsigned seed = static_cast<unsigned>(nowSec() * 1e6) ^ static_cast<unsigned>(gettid());
        for (int i = 0; i < 64 && !boundHere; ++i) {
            local.sin_port = htons(static_cast<std::uint16_t>(32768 + rand_r(&seed) % 28232));
            boundHere = bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0;
        }
        local.sin_port = 0;
        socklen_t len = sizeof local;
        if ((!boundHere && bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) ||
            getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len) != 0 ||
            !vnx::publishTcpDestination(*module().tcp, local.sin_port, false, toEndpoint(t.dest))) {
            close(fd);
            return -1;
        }
        to = loopback("127.0.0.1", vnx::kLocalServerPort);
    } else if (t.socksPort > 0) {
        to = loopback("127.0.0.1", t.socksPort);
    }
    if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        const int e = errno;
        close(fd);
        if (e == EADDRNOTAVAIL && boundHere && attempt < 16) return openConnection(t, attempt + 1);
        return -1;
    }
    if (t.socksPort > 0 && !socksConnect(fd, t.dest)) {
        close(fd);
        return -1;
    }
    return fd;
}

Target parseTarget(int argc, char** argv, int hostIndex, int vnxIndex) {
    Target t;
    t.dest = loopback(argv[hostIndex], std::atoi(argv[hostIndex + 1]));
    t.vnx = argc > vnxIndex && std::strcmp(argv[vnxIndex], "vnx") == 0;
    if (argc > vnxIndex && std::strncmp(argv[vnxIndex], "socks:", 6) == 0) t.socksPort = std::atoi(argv[vnxIndex] + 6);
    return t;
}

double percentile(std::vector<double> v, double p) {
    if (v.empty()) return -1;
    std::sort(v.begin(), v.end());
    std::size_t i = static_cast<std::size_t>(std::min<double>(v.size() - 1, p / 100.0 * (v.size() - 1) + 0.5));
    return v[i];
}

// connect + 100 bytes echoed + close; seconds, or -1 on failure.
// Seconds for one connection, or -1 when it failed (-2: already at connect).
double echoOnce(const Target& t) {
    double t0 = nowSec();
    int fd = openConnection(t);
    if (fd < 0) return -2;
    char msg[100], back[100];
    std::memset(msg, 'E', sizeof msg);
    bool ok = writeAll(fd, msg, sizeof msg) && readExact(fd, back, sizeof back) && std::memcmp(msg, back, 100) == 0;
    close(fd);
    return ok ? nowSec() - t0 : -1;
}

void printLatencies(const std::vector<double>& lat, int fails, double wall) {
    int slow = 0;
    for (double x : lat)
        slow += x >= 0.1;
    std::printf(
        "{\"n\":%zu,\"fail\":%d,\"wall\":%.4f,\"cps\":%.1f,\"p50_ms\":%.3f,\"p99_ms\":%.3f,\"max_ms\":%.3f,"
        "\"ge100ms\":%d}\n",
        lat.size(), fails, wall, lat.size() / wall, percentile(lat, 50) * 1e3, percentile(lat, 99) * 1e3,
        percentile(lat, 100) * 1e3, slow);
}

int cmdDest(int port, const char* addr) {
    int ls = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(ls, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a = loopback(addr, port);
    if (bind(ls, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(ls, 4096) != 0) fail("dest");
    int ep = epoll_create1(EPOLL_CLOEXEC);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = ls;
    epoll_ctl(ep, EPOLL_CTL_ADD, ls, &ev);
    std::unordered_map<int, int> mode;  // 0 unknown, 1 sink, 2 echo
    static char buf[1 << 18];
    epoll_event events[256];
    for (;;) {
        int n = epoll_wait(ep, events, 256, -1);
        for (int i = 0; i < n; ++i) {
            int fd = events[i].data.fd;
            if (fd == ls) {
                for (int c; (c = accept4(ls, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0;) {
                    epoll_event e{};
                    e.events = EPOLLIN;
                    e.data.fd = c;
                    epoll_ctl(ep, EPOLL_CTL_ADD, c, &e);
                    mode[c] = 0;
                }
                continue;
            }
            for (int loops = 0; loops < 16; ++loops) {
                ssize_t r = recv(fd, buf, sizeof buf, 0);
                if (r < 0 && (errno == EAGAIN || errno == EINTR)) break;
                if (r <= 0) {
                    close(fd);
                    mode.erase(fd);
                    break;
                }
                int& m = mode[fd];
                if (m == 0) m = buf[0] == 'S' ? 1 : 2;
                if (m == 2) {
                    for (ssize_t off = 0; off < r;) {
                        ssize_t w = send(fd, buf + off, static_cast<std::size_t>(r - off), MSG_NOSIGNAL);
                        if (w > 0) {
                            off += w;
                            continue;
                        }
                        if (w < 0 && errno == EAGAIN) {
                            pollfd p{fd, POLLOUT, 0};
                            poll(&p, 1, 1000);
                            continue;
                        }
                        break;
                    }
                }
                if (r < static_cast<ssize_t>(sizeof buf)) break;
            }
        }
    }
}

int cmdUdpEcho(int port) {
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = loopback("127.0.0.1", port);
    if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) fail("udpecho");
    static char buf[65536];
    for (;;) {
        sockaddr_in from{};
        socklen_t len = sizeof from;
        ssize_t r = recvfrom(s, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (r >= 0) sendto(s, buf, static_cast<std::size_t>(r), 0, reinterpret_cast<sockaddr*>(&from), len);
    }
}

int cmdBulk(const Target& t, double secs, int streams) {
    std::vector<int> fds;
    for (int i = 0; i < streams; ++i) {
        int fd = openConnection(t);
        if (fd < 0) {
            std::printf("{\"error\":\"connect\"}\n");
            return 1;
        }
        fds.push_back(fd);
    }
    std::vector<unsigned long long> bytes(static_cast<std::size_t>(streams));
    std::vector<double> ends(static_cast<std::size_t>(streams));
    std::atomic<int> failed{0};
    const double t0 = nowSec(), deadline = t0 + secs;
    std::vector<std::thread> threads;
    for (int i = 0; i < streams; ++i)
        threads.emplace_back([&, i] {
            static thread_local char buf[1 << 17];
            std::memset(buf, 'S', sizeof buf);
            int fd = fds[static_cast<std::size_t>(i)];
            unsigned long long n = 0;
            while (nowSec() < deadline) {
                ssize_t w = send(fd, buf, sizeof buf, MSG_NOSIGNAL);
                if (w <= 0) {
                    failed++;
                    break;
                }
                n += static_cast<unsigned long long>(w);
            }
            shutdown(fd, SHUT_WR);
            char tmp[4096];
            while (recv(fd, tmp, sizeof tmp, 0) > 0) {
            }
            ends[static_cast<std::size_t>(i)] = nowSec();
            bytes[static_cast<std::size_t>(i)] = n;
            close(fd);
        });
    for (auto& th : threads)
        th.join();
    unsigned long long total = 0;
    double end = t0;
    for (int i = 0; i < streams; ++i) {
        total += bytes[static_cast<std::size_t>(i)];
        end = std::max(end, ends[static_cast<std::size_t>(i)]);
    }
    const double elapsed = end - t0;
    std::printf("{\"bytes\":%llu,\"secs\":%.4f,\"MBps\":%.1f,\"failed\":%d}\n", total, elapsed, total / elapsed / 1e6,
                failed.load());
    return failed ? 1 : 0;
}

int cmdRr(const Target& t, int n) {
    std::vector<double> lat;
    int fails = 0;
    const double t0 = nowSec();
    for (int i = 0; i < n && nowSec() - t0 < 60; ++i) {
        double l = echoOnce(t);
        if (l < 0)
            fails++;
        else
            lat.push_back(l);
    }
    printLatencies(lat, fails, nowSec() - t0);
    return 0;
}

// Paced connections: the i-th starts at t0 + i / rate, on one of a few
// threads, so that a slow connection does not hold the next ones back.
int cmdChurn(const Target& t, double rate, double secs) {
    constexpr int kThreads = 8;
    const double t0 = nowSec();
    const long total = static_cast<long>(rate * secs);
    std::atomic<long> next{0};
    std::atomic<int> fails{0};
    std::atomic<int> connectFails{0};
    std::atomic<double> firstFail{-1};
    std::vector<std::vector<double>> lat(kThreads);
    std::vector<std::thread> threads;
    for (int k = 0; k < kThreads; ++k)
        threads.emplace_back([&, k] {
            for (;;) {
                long i = next.fetch_add(1);
                if (i >= total) return;
                double at = t0 + static_cast<double>(i) / rate;
                double now = nowSec();
                if (at > now) std::this_thread::sleep_for(std::chrono::duration<double>(at - now));
                double l = echoOnce(t);
                if (l >= 0) {
                    lat[static_cast<std::size_t>(k)].push_back(l);
                    continue;
                }
                if (l < -1.5) connectFails.fetch_add(1);
                if (fails.fetch_add(1) == 0) firstFail = nowSec() - t0;
                // Far behind the schedule (every connection failing slowly): stop.
                if (nowSec() - t0 > secs + 30) return;
            }
        });
    for (auto& th : threads)
        th.join();
    std::vector<double> all;
    for (auto& v : lat)
        all.insert(all.end(), v.begin(), v.end());
    const double wall = nowSec() - t0;
    std::printf(
        "{\"n\":%zu,\"fail\":%d,\"fail_connect\":%d,\"wall\":%.2f,\"cps\":%.1f,\"first_fail_s\":%.1f,"
        "\"p99_ms\":%.3f}\n",
        all.size(), fails.load(), connectFails.load(), wall, all.size() / wall, firstFail.load(),
        percentile(all, 99) * 1e3);
    return 0;
}

int cmdBurst(const Target& t, int c) {
    std::vector<double> lat(static_cast<std::size_t>(c), -1);
    pthread_barrier_t barrier;
    pthread_barrier_init(&barrier, nullptr, static_cast<unsigned>(c) + 1);
    std::vector<std::thread> threads;
    for (int i = 0; i < c; ++i)
        threads.emplace_back([&, i] {
            pthread_barrier_wait(&barrier);
            lat[static_cast<std::size_t>(i)] = echoOnce(t);
        });
    const double t0 = nowSec();
    pthread_barrier_wait(&barrier);
    for (auto& th : threads)
        th.join();
    std::vector<double> ok;
    int fails = 0;
    for (double l : lat)
        if (l < 0)
            fails++;
        else
            ok.push_back(l);
    printLatencies(ok, fails, nowSec() - t0);
    return 0;
}

int cmdHold(const Target& t, int n, int maxSecs) {
    std::vector<int> fds;
    alarm(static_cast<unsigned>(maxSecs));  // a hard end: the connections go with the process
    for (int i = 0; i < n; ++i) {
        int fd = openConnection(t);
        char c = 'E';
        if (fd < 0 || !writeAll(fd, &c, 1) || !readExact(fd, &c, 1)) {
            std::printf("{\"error\":\"connection %d\"}\n", i);
            std::fflush(stdout);
            return 1;
        }
        fds.push_back(fd);
    }
    std::printf("READY %d\n", n);
    std::fflush(stdout);
    char c;
    while (read(0, &c, 1) > 0) {
    }
    for (int fd : fds)
        close(fd);
    return 0;
}

int cmdUdp(const Target& t, int n, int window, double maxSecs) {
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in local = loopback("127.0.0.1", 0);
    socklen_t len = sizeof local;
    if (bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr*>(&local), &len) != 0)
        fail("udp bind");
    // Replies come from the tunnel's reply socket through veilnoxsvr, so the
    // socket stays unconnected.
    sockaddr_in to = t.vnx ? loopback("127.0.0.1", vnx::kLocalServerPort) : t.dest;
    const std::size_t size = 512;
    char packet[size];
    std::memset(packet, 'U', sizeof packet);
    int sent = 0, got = 0, lost = 0;
    std::vector<double> stamp(static_cast<std::size_t>(n) + 1);
    char buf[2048];
    const double t0 = nowSec();
    auto sendOne = [&] {
        std::memcpy(packet, &sent, sizeof sent);
        if (t.vnx && !vnx::publishUdpDestination(*module().udpSend, local.sin_port, false, toEndpoint(t.dest), packet,
                                                 size, vnxplat::tickCount()))
            return;
        stamp[static_cast<std::size_t>(sent)] = nowSec();
        if (sendto(s, packet, size, 0, reinterpret_cast<sockaddr*>(&to), sizeof to) == static_cast<ssize_t>(size))
            sent++;
    };
    while (sent < n && sent < window)
        sendOne();
    while (got + lost < sent && nowSec() - t0 < maxSecs) {
        pollfd p{s, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) {
            lost = sent - got;  // silence: what is out is lost; refill the window
            while (sent < n && sent - got - lost < window)
                sendOne();
            continue;
        }
        sockaddr_in from{};
        socklen_t fromLen = sizeof from;
        ssize_t r = recvfrom(s, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &fromLen);
        if (r != static_cast<ssize_t>(size)) continue;
        if (t.vnx) {
            // As the module does for every datagram delivered: take the
            // record of its real source.
            vnx::REndpoint source;
            vnx::takeUdpSource(*module().udpRecv, from.sin_port, static_cast<std::uint16_t>(r), false, source);
        }
        got++;
        while (sent < n && sent - got - lost < window)
            sendOne();
    }
    const double elapsed = nowSec() - t0;
    std::printf("{\"sent\":%d,\"recv\":%d,\"lost\":%d,\"secs\":%.4f,\"dps\":%.1f}\n", sent, got, sent - got, elapsed,
                got / elapsed);
    return 0;
}

int cmdMask(int mib) {
    std::vector<std::uint8_t> buf(8192, 0x42);
    const std::size_t rounds = static_cast<std::size_t>(mib) * 128;
    const double t0 = nowSec();
    for (std::size_t i = 0; i < rounds; ++i)
        vnx::maskBuffer(buf.data(), buf.size());
    const double elapsed = nowSec() - t0;
    volatile std::uint8_t sink = buf[100];
    (void)sink;
    std::printf("{\"mask_GBps\":%.2f}\n", static_cast<double>(rounds) * buf.size() / elapsed / 1e9);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    setvbuf(stdout, nullptr, _IOLBF, 0);
    const std::string c = argc > 1 ? argv[1] : "";
    if (c == "dest" && argc >= 3) return cmdDest(std::atoi(argv[2]), argc >= 4 ? argv[3] : "127.0.0.1");
    if (c == "udpecho" && argc >= 3) return cmdUdpEcho(std::atoi(argv[2]));
    if (c == "bulk" && argc >= 6) return cmdBulk(parseTarget(argc, argv, 2, 6), std::atof(argv[4]), std::atoi(argv[5]));
    if (c == "rr" && argc >= 5) return cmdRr(parseTarget(argc, argv, 2, 5), std::atoi(argv[4]));
    if (c == "churn" && argc >= 6)
        return cmdChurn(parseTarget(argc, argv, 2, 6), std::atof(argv[4]), std::atof(argv[5]));
    if (c == "burst" && argc >= 5) return cmdBurst(parseTarget(argc, argv, 2, 5), std::atoi(argv[4]));
    if (c == "hold" && argc >= 6) return cmdHold(parseTarget(argc, argv, 2, 6), std::atoi(argv[4]), std::atoi(argv[5]));
    if (c == "udp" && argc >= 7)
        return cmdUdp(parseTarget(argc, argv, 2, 7), std::atoi(argv[4]), std::atoi(argv[5]), std::atof(argv[6]));
    if (c == "mask" && argc >= 3) return cmdMask(std::atoi(argv[2]));
    std::fprintf(stderr, "usage: see the top of bench/vnxbench.cpp\n");
    return 2;
}
