#include "qt/peers.h"

#include "qt/clientcore.h"
#include "waiters.h"

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vnxtest {

// ---------------------------------------------------------------- programs

Program::~Program() {
    // What SIGTERM leaves running, ~ChildProcess kills.
    if (running()) stop();
}

bool Program::start(const QString& name, const QStringList& args) {
    std::vector<std::string> list;
    for (const QString& a : args)
        list.push_back(a.toStdString());
    return ChildProcess::start((binDir() + QLatin1Char('/') + name).toStdString(), list);
}

bool Program::waitForText(const QString& text, int ms) {
    return ChildProcess::waitFor(text.toStdString(), ms) != std::string::npos;
}

bool Program::stop() { return !running() || signal(SIGTERM) >= 0; }

bool Relay::start() {
    if (!Program::start(QStringLiteral("veilnox-relay"),
                        {QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0"), QStringLiteral("--allow-private")}))
        return false;
    port_ = relayListenPort(*this, "127.0.0.1");
    return port_ != 0;
}

bool LocalServer::start() {
    if (!Program::start(QStringLiteral("veilnoxsvr"), {})) return false;
    for (const char* line :
         {"TCP ipv4 Server Started", "TCP IPv6 Server Started", "Udp ipv4 Server Started", "Udp ipv6 Server Started"})
        if (!waitForText(QLatin1String(line), 20000)) return false;
    return true;
}

// ---------------------------------------------------------------- sockets

UdpPeer::UdpPeer() : fd_(boundSocket(SOCK_DGRAM, "127.0.0.1")) {
    if (fd_ >= 0) port_ = addressPort(localAddress(fd_));
}

UdpPeer::~UdpPeer() {
    if (fd_ >= 0) ::close(fd_);
}

QByteArray UdpPeer::receive(int ms, std::uint16_t* fromPort) {
    char buf[2048];
    sockaddr_storage from{};
    const long n = recvWithin(fd_, buf, sizeof buf, ms, &from);
    if (n < 0) return QByteArray();
    if (fromPort) *fromPort = addressPort(from);
    return QByteArray(buf, static_cast<int>(n));
}

bool UdpPeer::sendTo(std::uint16_t port, const QByteArray& data) {
    const sockaddr_storage to = makeAddress("127.0.0.1", port);
    return ::sendto(fd_, data.constData(), static_cast<size_t>(data.size()), 0, reinterpret_cast<const sockaddr*>(&to),
                    addressLength(to)) == data.size();
}

EchoServer::EchoServer() : fd_(listenOn("127.0.0.1", 16)) {
    if (fd_ < 0) return;
    port_ = addressPort(localAddress(fd_));
    thread_ = std::thread([this] { loop(); });
}

EchoServer::~EchoServer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) ::close(fd_);
}

void EchoServer::loop() {
    while (!stop_) {
        if (!pollUntil(fd_, POLLIN, nowMs() + 50)) continue;
        const int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0) continue;
        ++accepted_;
        char buf[16384];
        while (!stop_) {
            if (!pollUntil(c, POLLIN, nowMs() + 50)) continue;
            const ssize_t n = ::recv(c, buf, sizeof buf, 0);
            if (n <= 0 || !sendAll(c, buf, static_cast<std::size_t>(n))) break;
        }
        ::close(c);
    }
}

int connectTcp(std::uint16_t port, int localFd) {
    const int fd = localFd >= 0 ? localFd : ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (!connectWithin(fd, makeAddress("127.0.0.1", port), 5000)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace vnxtest
