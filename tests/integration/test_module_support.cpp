#include "test_module_support.h"

#include "modulecontract.h"
#include "platform/system.h"
#include "sharedmemory.h"
#include "waiters.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>
#include <cstring>

namespace vnxtest {

namespace {
int listenOn(int family, int type) {
    int fd = socket(family, type | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_storage ss{};
    socklen_t len;
    if (family == AF_INET) {
        auto* s4 = reinterpret_cast<sockaddr_in*>(&ss);
        s4->sin_family = AF_INET;
        s4->sin_port = htons(vnx::kLocalServerPort);
        s4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        len = sizeof *s4;
    } else {
        auto* s6 = reinterpret_cast<sockaddr_in6*>(&ss);
        s6->sin6_family = AF_INET6;
        s6->sin6_port = htons(vnx::kLocalServerPort);
        s6->sin6_addr = in6addr_loopback;
        setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
        len = sizeof *s6;
    }
    if (bind(fd, reinterpret_cast<sockaddr*>(&ss), len) != 0 || (type == SOCK_STREAM && listen(fd, 1024) != 0)) {
        close(fd);
        return -1;
    }
    return fd;
}
void put16(std::string& s, unsigned v) {
    s += static_cast<char>((v >> 8) & 0xff);
    s += static_cast<char>(v & 0xff);
}

void putName(std::string& s, const std::string& name) {
    std::size_t start = 0;
    while (start < name.size()) {
        std::size_t dot = name.find('.', start);
        if (dot == std::string::npos) dot = name.size();
        s += static_cast<char>(dot - start);
        s += name.substr(start, dot - start);
        start = dot + 1;
    }
    s += '\0';
}

void putAddress(std::string& s, const std::string& owner, int type, const std::string& text) {
    unsigned char a[16];
    const int family = type == 1 ? AF_INET : AF_INET6;
    inet_pton(family, text.c_str(), a);
    putName(s, owner);
    put16(s, static_cast<unsigned>(type));
    put16(s, 1);
    s += std::string("\0\0\0\x3c", 4);  // TTL 60
    put16(s, type == 1 ? 4 : 16);
    s.append(reinterpret_cast<char*>(a), type == 1 ? 4 : 16);
}
}  // namespace

std::string dnsReply(const std::string& q, bool overTcp) {
    if (q.size() < 17) return std::string();
    std::string name;
    std::size_t pos = 12;
    while (pos < q.size() && q[pos] != 0) {
        std::size_t len = static_cast<unsigned char>(q[pos]);
        if (!name.empty()) name += '.';
        name += q.substr(pos + 1, len);
        pos += 1 + len;
    }
    if (pos + 5 > q.size()) return std::string();
    const int type = (static_cast<unsigned char>(q[pos + 1]) << 8) | static_cast<unsigned char>(q[pos + 2]);
    std::string question = q.substr(12, pos + 5 - 12);
    std::string answers;
    int count = 0;
    int rcode = 0;
    bool truncated = false;
    if (name == "example.test" || name == "www.corp.test") {
        if (type == 1) putAddress(answers, name, 1, name == "example.test" ? "198.51.100.7" : "198.51.100.8"), ++count;
        if (type == 28) putAddress(answers, name, 28, "2001:db8::7"), ++count;
    } else if (name == "alias.test") {
        putName(answers, "alias.test");
        put16(answers, 5);
        put16(answers, 1);
        answers += std::string("\0\0\0\x3c", 4);
        std::string target;
        putName(target, "example.test");
        put16(answers, static_cast<unsigned>(target.size()));
        answers += target;
        ++count;
        if (type == 1) putAddress(answers, "example.test", 1, "198.51.100.7"), ++count;
    } else if (name == "big.test") {
        if (!overTcp) {
            truncated = true;
        } else if (type == 1) {
            for (int i = 1; i <= 20; ++i)
                putAddress(answers, name, 1, "198.51.100." + std::to_string(i)), ++count;
        }
    } else {
        rcode = 3;
    }
    std::string r = q.substr(0, 2);
    r += static_cast<char>(0x81 | (truncated ? 0x02 : 0));
    r += static_cast<char>(0x80 | rcode);
    put16(r, 1);
    put16(r, static_cast<unsigned>(count));
    put16(r, 0);
    put16(r, 0);
    r += question + answers;
    return r;
}

RunResult runProgram(const std::vector<std::string>& argv, const std::vector<std::string>& env, int timeoutMs,
                     bool preload) {
    RunResult res;
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return res;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        dup2(out[1], 2);
        if (preload) setenv("LD_PRELOAD", VNX_MODULE_PATH, 1);
        for (const auto& e : env)
            putenv(const_cast<char*>(e.c_str()));
        std::vector<char*> args;
        for (const auto& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(out[1]);
    const long long deadline = nowMs() + timeoutMs;
    char buf[4096];
    bool killed = false;
    for (;;) {
        long long left = deadline - nowMs();
        if (left <= 0 && !killed) {
            kill(pid, SIGKILL);
            killed = true;
            left = 2000;
        }
        pollfd p{out[0], POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left > 0 ? left : 0)) <= 0) continue;
        ssize_t n = read(out[0], buf, sizeof buf);
        if (n <= 0) break;
        res.output.append(buf, static_cast<std::size_t>(n));
    }
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    res.exitCode = (!killed && WIFEXITED(status)) ? WEXITSTATUS(status) : -1;
    return res;
}

std::string field(const std::string& output, const std::string& key) {
    const std::string k = key + "=";
    std::size_t pos = 0;
    while (pos < output.size()) {
        std::size_t end = output.find('\n', pos);
        if (end == std::string::npos) end = output.size();
        if (output.compare(pos, k.size(), k) == 0) return output.substr(pos + k.size(), end - pos - k.size());
        pos = end + 1;
    }
    return std::string();
}

StandInServer::StandInServer() = default;

StandInServer::~StandInServer() { stop(); }

bool StandInServer::start() {
    static vnx::SlotTable* tcp = vnx::createTcpTable(true);
    static vnx::SlotTable* send = vnx::createUdpSendTable(true);
    static vnx::SlotTable* recv = vnx::createUdpRecvTable(true);
    tcp->clearAll();
    send->clearAll();
    recv->clearAll();
    tcp4_ = listenOn(AF_INET, SOCK_STREAM);
    tcp6_ = listenOn(AF_INET6, SOCK_STREAM);
    udp4_ = listenOn(AF_INET, SOCK_DGRAM);
    udp6_ = listenOn(AF_INET6, SOCK_DGRAM);
    if (tcp4_ < 0 || tcp6_ < 0 || udp4_ < 0 || udp6_ < 0 || pipe2(wake_, O_CLOEXEC) != 0) return false;
    running_ = true;
    threads_.emplace_back([this] { tcpLoop(tcp4_, false); });
    threads_.emplace_back([this] { tcpLoop(tcp6_, true); });
    threads_.emplace_back([this] { udpLoop(); });
    return true;
}

void StandInServer::stop() {
    if (!running_.exchange(false)) return;
    if (write(wake_[1], "x", 1) < 0) {
    }
    for (auto& t : threads_)
        t.join();
    threads_.clear();
    for (int fd : {tcp4_, tcp6_, udp4_, udp6_, wake_[0], wake_[1]})
        close(fd);
    // Connections still being served end on their own (bounded reads).
    for (int i = 0; i < 1000 && active_.load() > 0; ++i)
        usleep(10000);
}

std::vector<std::string> StandInServer::tcpDestinations() {
    std::lock_guard<std::mutex> g(lock_);
    return tcpSeen_;
}

std::vector<std::string> StandInServer::udpDestinations() {
    std::lock_guard<std::mutex> g(lock_);
    return udpSeen_;
}

void StandInServer::tcpLoop(int listener, bool v6) {
    static vnx::SlotTable* table = vnx::createTcpTable(false);
    while (running_) {
        pollfd p[2] = {{listener, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        if (poll(p, 2, 1000) <= 0 || (p[1].revents & POLLIN)) continue;
        sockaddr_storage peer{};
        socklen_t len = sizeof peer;
        int fd = accept4(listener, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
        if (fd < 0) continue;
        const std::uint16_t port =
            v6 ? reinterpret_cast<sockaddr_in6*>(&peer)->sin6_port : reinterpret_cast<sockaddr_in*>(&peer)->sin_port;
        vnx::TcpSlot* slot = table->findTcpSlot(port, v6 ? 1 : 0);
        if (!slot) {
            ++unmatched_;
            close(fd);
            continue;
        }
        std::string dst = endpointText(vnx::slotDestination(*slot));
        table->clearSlot(slot);
        {
            std::lock_guard<std::mutex> g(lock_);
            tcpSeen_.push_back(dst);
        }
        ++active_;
        std::thread([this, fd, dst] { serveConnection(fd, dst); }).detach();
    }
}

void StandInServer::serveConnection(int fd, std::string dst) {
    if (dst.size() > 3 && dst.compare(dst.size() - 3, 3, ":53") == 0) {
        // DNS over TCP: one length-prefixed query, one answer.
        std::string q;
        char b[600];
        auto wanted = [&q] {
            return 2u + ((static_cast<std::size_t>(static_cast<unsigned char>(q[0])) << 8) |
                         static_cast<unsigned char>(q[1]));
        };
        while (q.size() < 2 || q.size() < wanted()) {
            pollfd p{fd, POLLIN, 0};
            ssize_t n = poll(&p, 1, 5000) == 1 ? recv(fd, b, sizeof b, 0) : -1;
            if (n <= 0) break;
            q.append(b, static_cast<std::size_t>(n));
        }
        std::string a = q.size() > 2 ? dnsReply(q.substr(2), true) : std::string();
        std::string framed;
        put16(framed, static_cast<unsigned>(a.size()));
        framed += a;
        if (!a.empty()) send(fd, framed.data(), framed.size(), MSG_NOSIGNAL);
        close(fd);
        --active_;
        return;
    }
    std::string line;
    char buf[512];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 15000) <= 0) break;
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        for (ssize_t i = 0; i < n; ++i) {
            if (buf[i] != '\n') {
                line += buf[i];
                continue;
            }
            std::string reply = "DST " + dst + " " + line + "\n";
            send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
            line.clear();
        }
    }
    close(fd);
    --active_;
}

void StandInServer::udpLoop() {
    static vnx::SlotTable* sendTable = vnx::createUdpSendTable(false);
    static vnx::SlotTable* recvTable = vnx::createUdpRecvTable(false);
    std::map<std::string, int> tunnels;  // client address -> reply socket
    while (running_) {
        pollfd p[3] = {{udp4_, POLLIN, 0}, {udp6_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        if (poll(p, 3, 1000) <= 0 || (p[2].revents & POLLIN)) continue;
        for (int k = 0; k < 2; ++k) {
            if (!(p[k].revents & POLLIN)) continue;
            const bool v6 = k == 1;
            char buf[9000];
            sockaddr_storage from{};
            socklen_t fl = sizeof from;
            ssize_t n = recvfrom(p[k].fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &fl);
            if (n < 0) continue;
            const std::uint16_t port = v6 ? reinterpret_cast<sockaddr_in6*>(&from)->sin6_port
                                          : reinterpret_cast<sockaddr_in*>(&from)->sin_port;
            vnx::UdpSlot* slot = sendTable->findUdpSlot(port, vnx::payloadChecksum(buf, static_cast<std::size_t>(n)),
                                                        static_cast<std::uint16_t>(n), v6 ? 1 : 0);
            if (!slot) {
                ++unmatched_;
                continue;
            }
            vnx::REndpoint dst = vnx::slotPeer(*slot);
            sendTable->clearSlot(slot);
            {
                std::lock_guard<std::mutex> g(lock_);
                udpSeen_.push_back(endpointText(dst));
            }
            const std::string key = std::to_string(v6) + ":" + std::to_string(port) + ">" + endpointText(dst);
            int& reply = tunnels[key];
            if (reply == 0) {
                reply = socket(v6 ? AF_INET6 : AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
                sockaddr_storage ss{};
                socklen_t len;
                if (v6) {
                    auto* s6 = reinterpret_cast<sockaddr_in6*>(&ss);
                    s6->sin6_family = AF_INET6;
                    s6->sin6_addr = in6addr_loopback;
                    len = sizeof *s6;
                } else {
                    auto* s4 = reinterpret_cast<sockaddr_in*>(&ss);
                    s4->sin_family = AF_INET;
                    s4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
                    len = sizeof *s4;
                }
                bind(reply, reinterpret_cast<sockaddr*>(&ss), len);
            }
            sockaddr_storage own{};
            socklen_t ol = sizeof own;
            getsockname(reply, reinterpret_cast<sockaddr*>(&own), &ol);
            std::string answer = dst.port == htons(53) ? dnsReply(std::string(buf, static_cast<std::size_t>(n)), false)
                                                       : "ECHO " + std::string(buf, static_cast<std::size_t>(n));
            auto* rec = static_cast<vnx::UdpSlot*>(recvTable->claimSlot());
            if (rec) {
                rec->stamp = vnxplat::tickCount();
                rec->length = static_cast<std::uint16_t>(answer.size());
                rec->local_port = v6 ? reinterpret_cast<sockaddr_in6*>(&own)->sin6_port
                                     : reinterpret_cast<sockaddr_in*>(&own)->sin_port;
                rec->is_ipv6 = v6 ? 1 : 0;
                rec->peer_port = dst.port;
                rec->peer_addr4 = dst.ipv4;
                std::memcpy(rec->peer_addr6, dst.ipv6, 16);
            }
            if (forge_) {
                std::string forged = answer;
                if (dst.port != htons(53))
                    forged = "FORGED";
                else if (forged.size() > 16)
                    forged.replace(forged.size() - 4, 4, "\x06\x06\x06\x06");
                int other = socket(v6 ? AF_INET6 : AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
                sendto(other, forged.data(), forged.size(), 0, reinterpret_cast<sockaddr*>(&from), fl);
                close(other);
            }
            sendto(reply, answer.data(), answer.size(), 0, reinterpret_cast<sockaddr*>(&from), fl);
        }
    }
    for (auto& t : tunnels)
        close(t.second);
}

}  // namespace vnxtest
