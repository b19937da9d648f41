// Connection-rate tool of the module benchmark.
//   server ADDR PORT THREADS      accept, read one byte, answer one byte, close
//   client ADDR PORT THREADS SECONDS
//                                 each thread opens connections one after the
//                                 other for SECONDS: connect, one byte there
//                                 and back, close. Prints
//                                 "rate=<conn/s> p50_us=<> p99_us=<> failed=<>".
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace {
socklen_t address(const char* host, int port, sockaddr_storage& ss) {
    std::memset(&ss, 0, sizeof ss);
    auto* s4 = reinterpret_cast<sockaddr_in*>(&ss);
    auto* s6 = reinterpret_cast<sockaddr_in6*>(&ss);
    if (inet_pton(AF_INET, host, &s4->sin_addr) == 1) {
        s4->sin_family = AF_INET;
        s4->sin_port = htons(static_cast<uint16_t>(port));
        return sizeof *s4;
    }
    inet_pton(AF_INET6, host, &s6->sin6_addr);
    s6->sin6_family = AF_INET6;
    s6->sin6_port = htons(static_cast<uint16_t>(port));
    return sizeof *s6;
}

int serve(const char* host, int port, int threads) {
    sockaddr_storage ss;
    socklen_t len = address(host, port, ss);
    int l = socket(ss.ss_family, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(l, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(l, reinterpret_cast<sockaddr*>(&ss), len) != 0 || listen(l, 4096) != 0) {
        perror("listen");
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t)
        pool.emplace_back([l] {
            for (;;) {
                int c = accept(l, nullptr, nullptr);
                if (c < 0) continue;
                char b;
                if (recv(c, &b, 1, 0) == 1) send(c, &b, 1, MSG_NOSIGNAL);
                close(c);
            }
        });
    for (auto& t : pool)
        t.join();
    return 0;
}

int client(const char* host, int port, int threads, double seconds) {
    sockaddr_storage ss;
    socklen_t len = address(host, port, ss);
    using clock = std::chrono::steady_clock;
    const auto end = clock::now() + std::chrono::duration<double>(seconds);
    std::mutex lock;
    std::vector<double> all;
    std::atomic<long> failed{0};
    std::vector<std::thread> pool;
    const auto start = clock::now();
    for (int t = 0; t < threads; ++t)
        pool.emplace_back([&] {
            std::vector<double> mine;
            while (clock::now() < end) {
                auto t0 = clock::now();
                int fd = socket(ss.ss_family, SOCK_STREAM, 0);
                char b = 'x';
                bool ok = connect(fd, reinterpret_cast<sockaddr*>(&ss), len) == 0 &&
                          send(fd, &b, 1, MSG_NOSIGNAL) == 1 && recv(fd, &b, 1, 0) == 1;
                close(fd);
                if (!ok) {
                    ++failed;
                    continue;
                }
                mine.push_back(std::chrono::duration<double, std::micro>(clock::now() - t0).count());
            }
            std::lock_guard<std::mutex> g(lock);
            all.insert(all.end(), mine.begin(), mine.end());
        });
    for (auto& t : pool)
        t.join();
    const double took = std::chrono::duration<double>(clock::now() - start).count();
    std::sort(all.begin(), all.end());
    auto pct = [&](double p) { return all.empty() ? 0.0 : all[std::min(all.size() - 1, size_t(p * all.size()))]; };
    std::printf("rate=%.0f p50_us=%.0f p99_us=%.0f failed=%ld\n", all.size() / took, pct(0.50), pct(0.99),
                failed.load());
    return 0;
}
}  // namespace

int main(int argc, char** argv) {
    if (argc >= 5 && std::strcmp(argv[1], "server") == 0) return serve(argv[2], std::atoi(argv[3]), std::atoi(argv[4]));
    if (argc >= 6 && std::strcmp(argv[1], "client") == 0)
        return client(argv[2], std::atoi(argv[3]), std::atoi(argv[4]), std::atof(argv[5]));
    std::fprintf(stderr, "usage: module_connrate server ADDR PORT THREADS | client ADDR PORT THREADS SECONDS\n");
    return 2;
}
