// Load tool of bench/compare (IPv4, any address: the chains under test run
// across network namespaces made by the benchmark). Connections per second
// come from bench/module_connrate and bulk throughput from iperf3; this tool
// adds what they do not measure:
//
//   echo ADDR PORT              TCP and UDP echo server on one port (epoll);
//                               prints "ready"
//   udp  ADDR PORT SECS WINDOW  512-byte datagrams to an echo server from one
//                               unconnected socket, WINDOW in flight, for SECS;
//                               prints "rate=<echoed datagrams/s> lost=<n>"
//   hold ADDR PORT N SECS       opens N connections, each proven with a
//                               one-byte echo; prints "ready opened=<n>
//                               failed=<n>", then keeps them until standard
//                               input closes or SECS pass
//
// Every client wait is bounded (poll time-outs), so no run can hang.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

sockaddr_in address(const char* host, int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    if (inet_pton(AF_INET, host, &a.sin_addr) != 1) {
        std::fprintf(stderr, "compare_load: bad address %s\n", host);
        std::exit(2);
    }
    return a;
}

// Waits for `events` on fd for at most ms; true when they came.
bool waitFor(int fd, short events, int ms) {
    pollfd p{fd, events, 0};
    return poll(&p, 1, ms) == 1 && (p.revents & events);
}

int echoServer(const char* host, int port) {
    sockaddr_in a = address(host, port);
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    int datagrams = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    int one = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    setsockopt(datagrams, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    int big = 4 << 20;
    setsockopt(datagrams, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    if (bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(listener, 4096) != 0 ||
        bind(datagrams, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        std::perror("compare_load echo");
        return 1;
    }
    int ep = epoll_create1(0);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = listener;
    epoll_ctl(ep, EPOLL_CTL_ADD, listener, &ev);
    ev.data.fd = datagrams;
    epoll_ctl(ep, EPOLL_CTL_ADD, datagrams, &ev);
    std::printf("ready\n");
    std::fflush(stdout);
    std::vector<char> buf(65536);
    epoll_event events[256];
    for (;;) {
        int n = epoll_wait(ep, events, 256, -1);
        for (int i = 0; i < n; ++i) {
            const int fd = events[i].data.fd;
            if (fd == listener) {
                for (;;) {
                    int c = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK);
                    if (c < 0) break;
                    epoll_event ce{};
                    ce.events = EPOLLIN;
                    ce.data.fd = c;
                    epoll_ctl(ep, EPOLL_CTL_ADD, c, &ce);
                }
            } else if (fd == datagrams) {
                for (;;) {
                    sockaddr_in from{};
                    socklen_t len = sizeof from;
                    ssize_t r =
                        recvfrom(datagrams, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&from), &len);
                    if (r < 0) break;
                    sendto(datagrams, buf.data(), static_cast<std::size_t>(r), 0, reinterpret_cast<sockaddr*>(&from),
                           len);
                }
            } else {
                ssize_t r = recv(fd, buf.data(), buf.size(), 0);
                if (r > 0) {
                    // Echo replies are small; a full socket buffer drops the rest.
                    send(fd, buf.data(), static_cast<std::size_t>(r), MSG_NOSIGNAL);
                } else if (r == 0 || (errno != EAGAIN && errno != EINTR)) {
                    epoll_ctl(ep, EPOLL_CTL_DEL, fd, nullptr);
                    close(fd);
                }
            }
        }
    }
}

int udpLoad(const char* host, int port, double seconds, int window) {
    sockaddr_in a = address(host, port);
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    char out[512], in[2048];
    std::memset(out, 'u', sizeof out);
    long echoed = 0, lost = 0, inFlight = 0;
    const auto start = Clock::now();
    while (since(start) < seconds) {
        while (inFlight < window) {
            if (sendto(fd, out, sizeof out, 0, reinterpret_cast<sockaddr*>(&a), sizeof a) != sizeof out) break;
            ++inFlight;
        }
        if (!waitFor(fd, POLLIN, 200)) {
            // The window's datagrams are taken as lost; start a new one.
            lost += inFlight;
            inFlight = 0;
            continue;
        }
        while (inFlight > 0) {
            ssize_t r = recv(fd, in, sizeof in, MSG_DONTWAIT);
            if (r < 0) break;
            ++echoed;
            --inFlight;
        }
    }
    const double took = since(start);
    std::printf("rate=%.0f lost=%ld\n", echoed / took, lost + inFlight);
    return 0;
}

int hold(const char* host, int port, int count, double seconds) {
    sockaddr_in a = address(host, port);
    std::vector<int> open;
    int failed = 0;
    for (int i = 0; i < count; ++i) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        char b = 'h';
        bool ok = fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
                  send(fd, &b, 1, MSG_NOSIGNAL) == 1 && waitFor(fd, POLLIN, 5000) && recv(fd, &b, 1, 0) == 1;
        if (!ok) {
            ++failed;
            if (fd >= 0) close(fd);
            continue;
        }
        open.push_back(fd);
    }
    std::printf("ready opened=%zu failed=%d\n", open.size(), failed);
    std::fflush(stdout);
    waitFor(0, POLLIN | POLLHUP, static_cast<int>(seconds * 1000));
    for (int fd : open)
        close(fd);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "echo") == 0) return echoServer(argv[2], std::atoi(argv[3]));
    if (argc == 6 && std::strcmp(argv[1], "udp") == 0)
        return udpLoad(argv[2], std::atoi(argv[3]), std::atof(argv[4]), std::atoi(argv[5]));
    if (argc == 6 && std::strcmp(argv[1], "hold") == 0)
        return hold(argv[2], std::atoi(argv[3]), std::atoi(argv[4]), std::atof(argv[5]));
    std::fprintf(stderr, "usage: compare_load echo ADDR PORT | udp ADDR PORT SECS WINDOW | hold ADDR PORT N SECS\n");
    return 2;
}
