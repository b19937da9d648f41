#include "test_relay_support.h"

#include "waiters.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>

namespace relaytest {

using vnxtest::nowMs;

std::string relayPath() { return VEILNOX_RELAY_PATH; }

RelayProcess::~RelayProcess() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (outFd_ >= 0) close(outFd_);
}

bool RelayProcess::start(const std::vector<std::string>& args, unsigned noFileLimit) {
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) return false;
    pid_ = fork();
    if (pid_ < 0) return false;
    if (pid_ == 0) {
        dup2(p[1], 1);
        if (noFileLimit > 0) {
            rlimit rl{noFileLimit, noFileLimit};
            setrlimit(RLIMIT_NOFILE, &rl);
        }
        std::vector<char*> argv;
        std::string prog = relayPath();
        argv.push_back(const_cast<char*>(prog.c_str()));
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(prog.c_str(), argv.data());
        _exit(127);
    }
    close(p[1]);
    outFd_ = p[0];
    // The ready line; nothing after it is consumed.
    if (!vnxtest::readLineWithin(outFd_, line_, 10000)) return false;
    const std::string prefix = "veilnox-relay listening on ";
    if (line_.rfind(prefix, 0) != 0) return false;
    std::size_t colon = line_.rfind(':');
    if (colon == std::string::npos) return false;
    port_ = static_cast<std::uint16_t>(std::stoul(line_.substr(colon + 1)));
    host_ = line_.substr(prefix.size(), colon - prefix.size());
    if (host_.size() > 2 && host_[0] == '[') host_ = host_.substr(1, host_.size() - 2);
    if (host_ == "0.0.0.0") host_ = "127.0.0.1";
    if (host_ == "::") host_ = "::1";
    return port_ != 0;
}

bool RelayProcess::running() const { return pid_ > 0 && kill(pid_, 0) == 0; }

int RelayProcess::stop(int sig) {
    if (pid_ <= 0) return -1;
    kill(pid_, sig);
    std::int64_t deadline = nowMs() + 10000;
    for (;;) {
        int st = 0;
        pid_t r = waitpid(pid_, &st, WNOHANG);
        if (r == pid_) {
            pid_ = -1;
            return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        }
        if (nowMs() > deadline) return -1;
        usleep(5000);
    }
}

sockaddr_storage RelayProcess::address() const { return makeAddress(host_.c_str(), port_); }

void mask(std::uint8_t* data, std::size_t len) {
    for (std::size_t i = 0; i < len; ++i)
        data[i] ^= 0x5D;
}

std::vector<std::uint8_t> relayHeader(const sockaddr_storage& dest, bool masked, std::uint8_t kind) {
    std::vector<std::uint8_t> h(32, 0);
    std::memcpy(h.data(), "umbv2", 5);
    h[5] = masked ? 1 : 0;
    h[6] = kind;
    if (dest.ss_family == AF_INET) {
        const auto* s4 = reinterpret_cast<const sockaddr_in*>(&dest);
        std::memcpy(&h[8], &s4->sin_addr, 4);
        std::memcpy(&h[28], &s4->sin_port, 2);
    } else {
        const auto* s6 = reinterpret_cast<const sockaddr_in6*>(&dest);
        std::memcpy(&h[12], &s6->sin6_addr, 16);
        std::memcpy(&h[28], &s6->sin6_port, 2);
    }
    mask(h.data(), h.size());
    return h;
}

bool parseHeader(const std::uint8_t* data, std::size_t len, ParsedHeader& out) {
    if (len < 32) return false;
    std::uint8_t h[32];
    std::memcpy(h, data, 32);
    mask(h, 32);
    if (std::memcmp(h, "umbv2", 5) != 0) return false;
    out.masked = h[5] != 0;
    out.kind = h[6];
    std::memcpy(&out.ipv4, &h[8], 4);
    std::memcpy(out.ipv6, &h[12], 16);
    out.port = static_cast<std::uint16_t>((h[28] << 8) | h[29]);
    return true;
}

std::vector<std::uint8_t> randomBytes(std::size_t n, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; i += 4) {
        std::uint32_t r = rng();
        std::memcpy(&v[i], &r, std::min<std::size_t>(4, n - i));
    }
    return v;
}

int connectTo(const sockaddr_storage& addr, const char* from) {
    int fd = socket(addr.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (from) {
        sockaddr_storage local = makeAddress(from, 0);
        if (bind(fd, reinterpret_cast<sockaddr*>(&local), addressLength(local)) != 0) {
            close(fd);
            return -1;
        }
    }
    if (!vnxtest::connectWithin(fd, addr, 5000)) {
        close(fd);
        return -1;
    }
    timeval tv{30, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    return fd;
}

bool staysOpen(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, ms) == 0;
}

TcpServer::TcpServer(const char* ip, Mode mode) : mode_(mode) {
    sockaddr_storage a = makeAddress(ip, 0);
    fd_ = socket(a.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return;
    if (bind(fd_, reinterpret_cast<sockaddr*>(&a), addressLength(a)) != 0 || listen(fd_, 512) != 0) {
        close(fd_);
        fd_ = -1;
        return;
    }
    socklen_t l = sizeof addr_;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&addr_), &l);
    acceptThread_ = std::thread([this] { acceptLoop(); });
}

TcpServer::~TcpServer() {
    stop_ = true;
    if (acceptThread_.joinable()) acceptThread_.join();
    std::vector<std::thread> ts;
    {
        std::lock_guard<std::mutex> g(mu_);
        ts.swap(threads_);
    }
    for (auto& t : ts)
        t.join();
    if (fd_ >= 0) close(fd_);
}

void TcpServer::acceptLoop() {
    while (!stop_) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) continue;
        int c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0) continue;
        ++accepted_;
        std::lock_guard<std::mutex> g(mu_);
        threads_.emplace_back([this, c] { serve(c); });
    }
}

void TcpServer::serve(int fd) {
    // Every wait is bounded by the stop flag, so the destructor never hangs.
    auto readSome = [&](std::uint8_t* buf, std::size_t cap) -> ssize_t {
        while (!stop_) {
            pollfd p{fd, POLLIN, 0};
            int r = poll(&p, 1, 50);
            if (r <= 0) continue;
            ssize_t n = recv(fd, buf, cap, 0);
            if (n < 0 && errno == EINTR) continue;
            return n;
        }
        return -1;
    };
    std::vector<std::uint8_t> buf(256 * 1024);
    if (mode_ == Mode::Echo) {
        for (;;) {
            ssize_t n = readSome(buf.data(), buf.size());
            if (n <= 0) {
                if (n == 0) shutdown(fd, SHUT_WR);
                break;
            }
            if (!sendAll(fd, buf.data(), static_cast<std::size_t>(n))) break;
        }
    } else if (mode_ == Mode::ReplyAfterEnd) {
        std::vector<std::uint8_t> all;
        for (;;) {
            ssize_t n = readSome(buf.data(), buf.size());
            if (n < 0) {
                close(fd);
                return;
            }
            if (n == 0) break;
            all.insert(all.end(), buf.data(), buf.data() + n);
        }
        std::uint64_t count = all.size();
        sendAll(fd, &count, sizeof count);
        sendAll(fd, all.data(), all.size());
    } else {
        sendAll(fd, "hello", 5);
        shutdown(fd, SHUT_WR);
        for (;;) {
            ssize_t n = readSome(buf.data(), buf.size());
            if (n <= 0) break;
            sunk_ += static_cast<std::uint64_t>(n);
        }
    }
    close(fd);
}

bool probe(int udpFd, const RelayProcess& relay, std::uint32_t& ip, std::uint32_t& count) {
    sockaddr_storage ra = relay.address();
    sockaddr_storage self = makeAddress("127.0.0.1", relay.port());
    std::vector<std::uint8_t> req = relayHeader(self, false, 5);
    // The client puts the port in little-endian order into a probe.
    std::uint8_t plain[32];
    std::memcpy(plain, req.data(), 32);
    mask(plain, 32);
    plain[28] = static_cast<std::uint8_t>(relay.port() & 0xff);
    plain[29] = static_cast<std::uint8_t>(relay.port() >> 8);
    mask(plain, 32);
    if (sendto(udpFd, plain, 32, 0, reinterpret_cast<sockaddr*>(&ra), addressLength(ra)) != 32) return false;
    std::uint8_t buf[64];
    sockaddr_storage from{};
    for (int i = 0; i < 10; ++i) {
        long n = recvWithin(udpFd, buf, sizeof buf, 5000, &from);
        if (n < 0) return false;
        if (n != 8 || addressPort(from) != relay.port()) continue;
        std::memcpy(&ip, buf, 4);
        count = std::uint32_t(buf[4]) | (std::uint32_t(buf[5]) << 8) | (std::uint32_t(buf[6]) << 16) |
                (std::uint32_t(buf[7]) << 24);
        return true;
    }
    return false;
}

}  // namespace relaytest
