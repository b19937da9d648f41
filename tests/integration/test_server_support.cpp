#include "test_server_support.h"

#include "hop/datagram.h"
#include "hopkey.h"
#include "platform/system.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <unordered_map>

#include <gtest/gtest.h>

namespace svrtest {

using vnxtest::pollUntil;

// ---- processes -------------------------------------------------------------

std::string serverPath() { return VEILNOX_SERVER_PATH; }
std::string relayPath() { return VEILNOX_RELAY_PATH; }

bool ServerProcess::start(const std::vector<std::string>& args, const std::vector<std::string>& env) {
    if (!ChildProcess::start(serverPath(), args, env)) return false;
    for (const char* line :
         {" TCP ipv4 Server Started on port 127.0.0.1:9111 ...", " TCP IPv6 Server Started on  ipv6:9111",
          " Udp ipv4 Server Started on port 127.0.0.1:9111", " Udp ipv6 Server Started on port ipv6:9111",
          "-----tcp connections:0 , udp connections:0 END."})
        if (waitFor(line, 20000) == std::string::npos) return false;
    return true;
}

int ServerProcess::fdCount() { return countFds(pid()); }
int ServerProcess::threadCount() { return countThreads(pid()); }

bool RelayProcess::start(const std::vector<std::string>& extraArgs) {
    std::string path = relayPath();
    if (path.empty() || access(path.c_str(), X_OK) != 0) return false;
    std::vector<std::string> args{"--listen", "127.0.0.1:0", "--allow-private", "--quiet"};
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    if (!ChildProcess::start(path, args)) return false;
    port_ = vnxtest::relayListenPort(*this, "127.0.0.1");
    return port_ != 0;
}

bool RelayProcess::startKeyed(const std::vector<std::string>& extraArgs, const std::uint8_t* key) {
    char dir[] = "/tmp/vnx-relaykey-XXXXXX";
    if (!mkdtemp(dir)) return false;
    if (key)
        std::memcpy(key_, key, sizeof key_);
    else if (!vnxhop::randomBytes(key_, sizeof key_))
        return false;
    keyDir_ = dir;
    const std::string file = keyDir_ + "/key";
    {
        std::ofstream out(file);
        out << vnx::encodeHopKey(key_) << "\n";
        if (!out) return false;
    }
    chmod(file.c_str(), 0600);
    std::vector<std::string> args{"--key-file", file};
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    return start(args);
}

RelayProcess::~RelayProcess() {
    if (!keyDir_.empty()) {
        unlink((keyDir_ + "/key").c_str());
        rmdir(keyDir_.c_str());
    }
}

bool RelayProcess::useKey(bool keyed) const {
    return vnx::publishHopKey(htonl(INADDR_LOOPBACK), port_, keyed ? key_ : nullptr);
}

void raiseFdLimit() {
    rlimit rl{};
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < rl.rlim_max) {
        rl.rlim_cur = rl.rlim_max;
        setrlimit(RLIMIT_NOFILE, &rl);
    }
}

// ---- named objects -----------------------------------------------------------

vnx::ServerStatus* statusBlock() { return vnx::serverStatus(true); }

bool findApp(const vnx::ServerStatus& block, const std::string& name, vnx::AppStatus& out) {
    auto apps = vnx::readStatusApps(block);
    auto it = apps.find(name);
    if (it == apps.end()) return false;
    out = it->second;
    return true;
}

std::string ownExeName() {
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return std::string();
    buf[n] = 0;
    const char* slash = std::strrchr(buf, '/');
    return slash ? slash + 1 : buf;
}

// ---- sockets ---------------------------------------------------------------

vnx::REndpoint endpoint(const char* ip, std::uint16_t hostPort) {
    vnx::REndpoint e;
    if (std::strchr(ip, ':'))
        inet_pton(AF_INET6, ip, e.ipv6);
    else
        inet_pton(AF_INET, ip, &e.ipv4);
    e.port = htons(hostPort);
    return e;
}

sockaddr_storage toSockaddr(const vnx::REndpoint& e, socklen_t& len) {
    sockaddr_storage sa;
    len = static_cast<socklen_t>(e.toSockaddr(sa));
    return sa;
}

vnx::REndpoint localEndpoint(int fd) {
    sockaddr_storage sa{};
    socklen_t len = sizeof sa;
    getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    return vnx::REndpoint::fromSockaddr(reinterpret_cast<sockaddr*>(&sa));
}

vnx::REndpoint serverEndpoint(bool ipv6) { return endpoint(ipv6 ? "::1" : "127.0.0.1", vnx::kLocalServerPort); }

namespace {
int boundSocket(int type, bool ipv6) { return vnxtest::boundSocket(type, ipv6 ? "::1" : "127.0.0.1"); }

bool connectWithin(int fd, const vnx::REndpoint& e, int timeoutMs) {
    socklen_t len;
    return vnxtest::connectWithin(fd, toSockaddr(e, len), timeoutMs);
}
}  // namespace

int connectViaServer(ModuleTables& tables, const vnx::REndpoint& destination, bool ipv6, bool publish) {
    int fd = boundSocket(SOCK_STREAM, ipv6);
    if (fd < 0) return -1;
    if (publish && !vnx::publishTcpDestination(*tables.tcp, localEndpoint(fd).port, ipv6, destination)) {
        close(fd);
        return -1;
    }
    if (!connectWithin(fd, serverEndpoint(ipv6), 5000)) {
        close(fd);
        return -1;
    }
    return fd;
}

int connectTo(const vnx::REndpoint& e, int timeoutMs) {
    int fd = socket(e.ipv4 ? AF_INET : AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (!connectWithin(fd, e, timeoutMs)) {
        close(fd);
        return -1;
    }
    return fd;
}

int udpSocket(bool ipv6) { return boundSocket(SOCK_DGRAM, ipv6); }

bool sendViaServer(ModuleTables& tables, int fd, const vnx::REndpoint& destination, const void* data, std::size_t len,
                   bool publish) {
    vnx::REndpoint local = localEndpoint(fd);
    const bool ipv6 = local.ipv4 == 0;
    if (publish &&
        !vnx::publishUdpDestination(*tables.udpSend, local.port, ipv6, destination, data, len, vnxplat::tickCount()))
        return false;
    socklen_t saLen;
    sockaddr_storage sa = toSockaddr(serverEndpoint(ipv6), saLen);
    return sendto(fd, data, len, 0, reinterpret_cast<sockaddr*>(&sa), saLen) == static_cast<ssize_t>(len);
}

long recvWithin(int fd, void* buf, std::size_t cap, int timeoutMs, vnx::REndpoint* from) {
    sockaddr_storage sa{};
    long n = vnxtest::recvWithin(fd, buf, cap, timeoutMs, &sa);
    if (n >= 0 && from) *from = vnx::REndpoint::fromSockaddr(reinterpret_cast<sockaddr*>(&sa));
    return n;
}

// ---- destinations ------------------------------------------------------------

namespace {
int listenOn(const char* ip, vnx::REndpoint& addr) {
    int fd = vnxtest::listenOn(ip, 4096);
    if (fd >= 0) addr = localEndpoint(fd);
    return fd;
}
}  // namespace

EchoServer::EchoServer(const char* ip) {
    listenFd_ = listenOn(ip, addr_);
    epollFd_ = epoll_create1(EPOLL_CLOEXEC);
    wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    fcntl(listenFd_, F_SETFL, fcntl(listenFd_, F_GETFL) | O_NONBLOCK);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = listenFd_;
    epoll_ctl(epollFd_, EPOLL_CTL_ADD, listenFd_, &ev);
    ev.data.fd = wakeFd_;
    epoll_ctl(epollFd_, EPOLL_CTL_ADD, wakeFd_, &ev);
    thread_ = std::thread([this] { loop(); });
}

EchoServer::~EchoServer() {
    std::uint64_t one = 1;
    if (write(wakeFd_, &one, sizeof one) < 0) {
    }
    thread_.join();
    close(listenFd_);
    close(epollFd_);
    close(wakeFd_);
}

void EchoServer::loop() {
    std::unordered_map<int, bool> conns;  // fd -> peer has ended its stream
    std::vector<char> buf(65536);
    epoll_event events[128];
    for (;;) {
        int n = epoll_wait(epollFd_, events, 128, 1000);
        for (int i = 0; i < n; ++i) {
            int fd = events[i].data.fd;
            if (fd == wakeFd_) {
                for (auto& c : conns)
                    close(c.first);
                return;
            }
            if (fd == listenFd_) {
                for (;;) {
                    int c = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
                    if (c < 0) break;
                    accepted_++;
                    open_++;
                    conns[c] = false;
                    epoll_event ev{};
                    ev.events = EPOLLIN;
                    ev.data.fd = c;
                    epoll_ctl(epollFd_, EPOLL_CTL_ADD, c, &ev);
                }
                continue;
            }
            ssize_t r = recv(fd, buf.data(), buf.size(), MSG_DONTWAIT);
            if (r > 0) {
                // Blocking echo of what arrived (the tests send little at a
                // time per connection).
                if (!sendAllBytes(fd, buf.data(), static_cast<std::size_t>(r))) r = -1;
            }
            if (r == 0) {
                shutdown(fd, SHUT_WR);
                epoll_ctl(epollFd_, EPOLL_CTL_DEL, fd, nullptr);
                close(fd);
                conns.erase(fd);
                open_--;
            } else if (r < 0 && errno != EAGAIN && errno != EINTR) {
                epoll_ctl(epollFd_, EPOLL_CTL_DEL, fd, nullptr);
                close(fd);
                conns.erase(fd);
                open_--;
            }
        }
    }
}

Listener::Listener(const char* ip) { fd_ = listenOn(ip, addr_); }
Listener::~Listener() {
    if (fd_ >= 0) close(fd_);
}

int Listener::acceptWithin(int timeoutMs) {
    if (!pollUntil(fd_, POLLIN, nowMs() + timeoutMs)) return -1;
    return accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
}

bool Listener::pending() {
    pollfd p{fd_, POLLIN, 0};
    return poll(&p, 1, 0) == 1;
}

// ---- bulk data -------------------------------------------------------------

void ByteStream::fill(std::uint8_t* out, std::size_t len) {
    std::size_t i = 0;
    while (i < len && spareLen_ > 0) {
        out[i++] = spare_[8 - spareLen_];
        --spareLen_;
    }
    while (i < len) {
        // xorshift64*
        state_ ^= state_ >> 12;
        state_ ^= state_ << 25;
        state_ ^= state_ >> 27;
        std::uint64_t v = state_ * 0x2545F4914F6CDD1DULL;
        std::memcpy(spare_, &v, 8);
        spareLen_ = 8;
        while (i < len && spareLen_ > 0) {
            out[i++] = spare_[8 - spareLen_];
            --spareLen_;
        }
    }
}

ExchangeResult exchange(int fd, std::uint64_t sendSeed, std::uint64_t sendBytes, std::uint64_t recvSeed,
                        int timeoutMs) {
    ExchangeResult res;
    std::atomic<bool> sendOk{false};
    std::thread sender([&] {
        ByteStream gen(sendSeed);
        std::vector<std::uint8_t> buf(65536);
        std::uint64_t left = sendBytes;
        bool ok = true;
        while (left > 0 && ok) {
            std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(left, buf.size()));
            gen.fill(buf.data(), n);
            ok = sendAllBytes(fd, buf.data(), n);
            left -= n;
        }
        shutdown(fd, SHUT_WR);
        sendOk = ok;
    });
    ByteStream expect(recvSeed);
    std::vector<std::uint8_t> buf(65536), want(65536);
    bool intact = true;
    const std::int64_t deadline = nowMs() + timeoutMs;
    for (;;) {
        if (!pollUntil(fd, POLLIN, deadline)) {
            intact = false;
            break;
        }
        ssize_t n = recv(fd, buf.data(), buf.size(), 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            intact = false;
            break;
        }
        if (n == 0) break;
        expect.fill(want.data(), static_cast<std::size_t>(n));
        if (std::memcmp(buf.data(), want.data(), static_cast<std::size_t>(n)) != 0) intact = false;
        res.received += static_cast<std::uint64_t>(n);
    }
    sender.join();
    res.sendOk = sendOk;
    res.intact = intact;
    return res;
}

BulkPeer::BulkPeer(const char* ip, std::uint64_t sendSeed, std::uint64_t sendBytes, std::uint64_t recvSeed) {
    fd_ = listenOn(ip, addr_);
    thread_ = std::thread([this, sendSeed, sendBytes, recvSeed] {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, 30000) == 1) {
            int c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (c >= 0) {
                result_ = exchange(c, sendSeed, sendBytes, recvSeed, 300000);
                close(c);
            }
        }
        done_ = true;
    });
}

BulkPeer::~BulkPeer() {
    thread_.join();
    close(fd_);
}

bool BulkPeer::finished(int timeoutMs) {
    return waitUntil([this] { return done_.load(); }, timeoutMs);
}

}  // namespace svrtest
