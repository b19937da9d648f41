#include "test_server_support.h"

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
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <unordered_map>

#include <gtest/gtest.h>

extern char** environ;

namespace svrtest {

std::int64_t nowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

bool waitUntil(const std::function<bool()>& cond, int timeoutMs) {
    const std::int64_t deadline = nowMs() + timeoutMs;
    for (;;) {
        if (cond()) return true;
        if (nowMs() >= deadline) return false;
        usleep(10000);
    }
}

namespace {
// Waits for events on fd until the deadline; false on time-out or error.
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
}  // namespace

// ---- processes -------------------------------------------------------------

ChildProcess::~ChildProcess() {
    if (pid_ > 0 && !reaped_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (inFd_ >= 0) close(inFd_);
    if (reader_.joinable()) reader_.join();
    if (outFd_ >= 0) close(outFd_);
    // A sanitizer build of the child reports on its standard error.
    for (const char* mark :
         {"WARNING: ThreadSanitizer", "ERROR: AddressSanitizer", "runtime error:", "ERROR: LeakSanitizer"})
        if (out_.find(mark) != std::string::npos) ADD_FAILURE() << "sanitizer report from the child:\n" << out_;
}

bool ChildProcess::start(const std::string& program, const std::vector<std::string>& args,
                         const std::vector<std::string>& env) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0) return false;
    if (pipe2(out, O_CLOEXEC) != 0) return false;
    std::vector<std::string> envText;
    for (char** e = environ; *e; ++e) {
        std::string entry = *e;
        bool replaced = false;
        for (const auto& x : env)
            if (entry.substr(0, entry.find('=') + 1) == x.substr(0, x.find('=') + 1)) replaced = true;
        if (!replaced) envText.push_back(entry);
    }
    for (const auto& x : env)
        envText.push_back(x);
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (auto& e : envText)
        envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    pid_ = fork();
    if (pid_ < 0) return false;
    if (pid_ == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(out[1], 2);
        execve(program.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    inFd_ = in[1];
    outFd_ = out[0];
    reader_ = std::thread([this] { readLoop(); });
    return true;
}

void ChildProcess::readLoop() {
    char buf[4096];
    for (;;) {
        ssize_t n = read(outFd_, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        std::lock_guard<std::mutex> g(mu_);
        out_.append(buf, static_cast<std::size_t>(n));
        cv_.notify_all();
    }
    std::lock_guard<std::mutex> g(mu_);
    eof_ = true;
    cv_.notify_all();
}

std::size_t ChildProcess::waitFor(const std::string& text, int timeoutMs, std::size_t from) {
    std::unique_lock<std::mutex> lock(mu_);
    std::size_t pos = std::string::npos;
    cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        pos = from <= out_.size() ? out_.find(text, from) : std::string::npos;
        return pos != std::string::npos;
    });
    return pos == std::string::npos ? pos : pos + text.size();
}

std::string ChildProcess::output() {
    std::lock_guard<std::mutex> g(mu_);
    return out_;
}

bool ChildProcess::writeInput(const std::string& text) {
    if (inFd_ < 0) return false;
    return write(inFd_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

void ChildProcess::closeInput() {
    if (inFd_ >= 0) close(inFd_);
    inFd_ = -1;
}

int ChildProcess::waitExit(int timeoutMs) {
    if (pid_ <= 0) return -1;
    if (!reaped_) {
        const std::int64_t deadline = nowMs() + timeoutMs;
        for (;;) {
            int st = 0;
            pid_t r = waitpid(pid_, &st, WNOHANG);
            if (r == pid_) {
                status_ = st;
                reaped_ = true;
                // The exit can be seen before the reader has drained the last
                // output; wait (boundedly: a grandchild may hold the pipe) for it.
                std::unique_lock<std::mutex> lock(mu_);
                cv_.wait_for(lock, std::chrono::seconds(2), [&] { return eof_; });
                break;
            }
            if (nowMs() >= deadline) return -1;
            usleep(5000);
        }
    }
    return WIFEXITED(status_) ? WEXITSTATUS(status_) : 128 + WTERMSIG(status_);
}

bool ChildProcess::running() { return pid_ > 0 && waitExit(0) == -1; }

int ChildProcess::signal(int sig) {
    if (pid_ > 0 && !reaped_) kill(pid_, sig);
    return waitExit(10000);
}

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
    const std::string prefix = "veilnox-relay listening on 127.0.0.1:";
    std::size_t end = waitFor("\n", 10000, 0);
    std::string out = output();
    std::size_t at = out.find(prefix);
    if (end == std::string::npos || at == std::string::npos) return false;
    port_ = static_cast<std::uint16_t>(std::strtoul(out.c_str() + at + prefix.size(), nullptr, 10));
    return port_ != 0;
}

int countFds(pid_t pid) {
    std::string path = "/proc/" + std::to_string(pid) + "/fd";
    DIR* d = opendir(path.c_str());
    if (!d) return -1;
    int n = 0;
    while (dirent* e = readdir(d))
        if (e->d_name[0] != '.') ++n;
    closedir(d);
    return n;
}

int countThreads(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(f, line))
        if (line.rfind("Threads:", 0) == 0) return std::atoi(line.c_str() + 8);
    return -1;
}

void raiseFdLimit() {
    rlimit rl{};
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < rl.rlim_max) {
        rl.rlim_cur = rl.rlim_max;
        setrlimit(RLIMIT_NOFILE, &rl);
    }
}

// ---- named objects -----------------------------------------------------------

vnx::ProxyData* createProxyBlock() {
    vnx::ProxyData* block = vnx::proxyData(true);
    if (block) block->client_window = 0x10101;
    return block;
}

void setProxy(vnx::ProxyData* block, const char* ip, std::uint16_t port, const char* protocol, bool encrypt) {
    std::memset(block->proxy_ip, 0, sizeof block->proxy_ip);
    std::memset(block->proxy_protocol, 0, sizeof block->proxy_protocol);
    std::strncpy(block->proxy_ip, ip, sizeof block->proxy_ip - 1);
    std::strncpy(block->proxy_protocol, protocol, sizeof block->proxy_protocol - 1);
    block->proxy_port = port;
    block->encrypt_data = encrypt ? 1 : 0;
}

ModuleTables::~ModuleTables() {
    delete tcp;
    delete udpSend;
    delete udpRecv;
}

bool ModuleTables::open() {
    if (!tcp) tcp = vnx::createTcpTable(false);
    if (!udpSend) udpSend = vnx::createUdpSendTable(false);
    if (!udpRecv) udpRecv = vnx::createUdpRecvTable(false);
    return tcp->base() && udpSend->base() && udpRecv->base();
}

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
int boundSocket(int type, bool ipv6) {
    int fd = socket(ipv6 ? AF_INET6 : AF_INET, type | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    vnx::REndpoint any = endpoint(ipv6 ? "::1" : "127.0.0.1", 0);
    socklen_t len;
    sockaddr_storage sa = toSockaddr(any, len);
    if (bind(fd, reinterpret_cast<sockaddr*>(&sa), len) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool connectWithin(int fd, const vnx::REndpoint& e, int timeoutMs) {
    socklen_t len;
    sockaddr_storage sa = toSockaddr(e, len);
    int fl = fcntl(fd, F_GETFL);
    fcntl(fd, F_SETFL, fl | O_NONBLOCK);
    int r = connect(fd, reinterpret_cast<sockaddr*>(&sa), len);
    if (r != 0 && errno != EINPROGRESS) return false;
    if (r != 0) {
        if (!pollUntil(fd, POLLOUT, nowMs() + timeoutMs)) return false;
        int err = 0;
        socklen_t el = sizeof err;
        getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &el);
        if (err != 0) return false;
    }
    fcntl(fd, F_SETFL, fl);
    return true;
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

bool sendAllBytes(int fd, const void* data, std::size_t len) {
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
        ssize_t n = recv(fd, p, len, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        len -= static_cast<std::size_t>(n);
    }
    return true;
}

bool waitClosed(int fd, int timeoutMs) {
    const std::int64_t deadline = nowMs() + timeoutMs;
    char buf[4096];
    for (;;) {
        if (!pollUntil(fd, POLLIN, deadline)) return false;
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return true;
    }
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
    if (!pollUntil(fd, POLLIN, nowMs() + timeoutMs)) return -1;
    sockaddr_storage sa{};
    socklen_t len = sizeof sa;
    ssize_t n = recvfrom(fd, buf, cap, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&sa), &len);
    if (n >= 0 && from) *from = vnx::REndpoint::fromSockaddr(reinterpret_cast<sockaddr*>(&sa));
    return n;
}

// ---- destinations ------------------------------------------------------------

namespace {
int listenOn(const char* ip, vnx::REndpoint& addr) {
    bool ipv6 = std::strchr(ip, ':') != nullptr;
    int fd = boundSocket(SOCK_STREAM, ipv6);
    (void)ip;
    if (fd < 0) return -1;
    if (!ipv6 && std::strcmp(ip, "127.0.0.1") != 0) {
        // Another loopback address: bind it explicitly.
        close(fd);
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        socklen_t len;
        sockaddr_storage sa = toSockaddr(endpoint(ip, 0), len);
        if (bind(fd, reinterpret_cast<sockaddr*>(&sa), len) != 0) {
            close(fd);
            return -1;
        }
    }
    if (listen(fd, 4096) != 0) {
        close(fd);
        return -1;
    }
    addr = localEndpoint(fd);
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

UdpEcho::UdpEcho(const char* ip) {
    bool ipv6 = std::strchr(ip, ':') != nullptr;
    fd_ = boundSocket(SOCK_DGRAM, ipv6);
    addr_ = localEndpoint(fd_);
    thread_ = std::thread([this] {
        std::vector<std::uint8_t> buf(70000);
        while (!stop_) {
            sockaddr_storage from{};
            socklen_t len = sizeof from;
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) continue;
            ssize_t n = recvfrom(fd_, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&from), &len);
            if (n < 0) continue;
            received_++;
            lastSize_ = static_cast<std::size_t>(n);
            sendto(fd_, buf.data(), static_cast<std::size_t>(n), 0, reinterpret_cast<sockaddr*>(&from), len);
        }
    });
}

UdpEcho::~UdpEcho() {
    stop_ = true;
    thread_.join();
    close(fd_);
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
