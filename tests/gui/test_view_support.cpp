#include "test_view_support.h"

#include "mainwindow.h"
#include "mainwindowaccess.h"
#include "rendpoint.h"
#include "serverlist.h"
#include "ui_mainwindow.h"

#include <QDeadlineTimer>
#include <QProgressBar>
#include <QRegularExpression>
#include <QTreeWidgetItem>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace viewtest {

// ---------------------------------------------------------------- programs

Program::~Program() {
    if (running()) {
        stop();
        if (running()) {
            ::kill(static_cast<pid_t>(pid()), SIGKILL);
            process_.waitForFinished(10000);
        }
    }
}

bool Program::start(const QString& name, const QStringList& args) {
    process_.setProcessChannelMode(QProcess::MergedChannels);
    process_.start(apptest::binDir() + QLatin1Char('/') + name, args);
    return process_.waitForStarted(10000);
}

void Program::collect(int ms) {
    if (process_.bytesAvailable() == 0) process_.waitForReadyRead(ms);
    output_ += process_.readAll();
}

bool Program::waitForText(const QString& text, int ms) {
    QDeadlineTimer deadline(ms);
    const QByteArray wanted = text.toLocal8Bit();
    while (!output_.contains(wanted)) {
        if (deadline.hasExpired() || process_.state() == QProcess::NotRunning) {
            output_ += process_.readAll();
            return output_.contains(wanted);
        }
        collect(static_cast<int>(qMin<qint64>(deadline.remainingTime(), 200)));
    }
    return true;
}

qint64 Program::pid() const { return process_.processId(); }

bool Program::running() const { return process_.state() != QProcess::NotRunning; }

bool Program::stop() {
    if (!running()) return true;
    ::kill(static_cast<pid_t>(pid()), SIGTERM);
    return process_.waitForFinished(10000);
}

bool Relay::start() {
    if (!Program::start(QStringLiteral("veilnox-relay"),
                        {QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0"), QStringLiteral("--allow-private")}))
        return false;
    if (!waitForText(QStringLiteral("\n"), 10000)) return false;
    const QRegularExpression ready(QStringLiteral("veilnox-relay listening on 127\\.0\\.0\\.1:(\\d+)"));
    const QRegularExpressionMatch match = ready.match(output());
    if (!match.hasMatch()) return false;
    port_ = static_cast<std::uint16_t>(match.captured(1).toUInt());
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

namespace {
sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

std::uint16_t boundPort(int fd) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) return 0;
    return ntohs(a.sin_port);
}
}  // namespace

UdpPeer::UdpPeer() {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = loopback(0);
    if (fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
        port_ = boundPort(fd_);
    } else if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

UdpPeer::~UdpPeer() {
    if (fd_ >= 0) ::close(fd_);
}

QByteArray UdpPeer::receive(int ms, std::uint16_t* fromPort) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, ms) != 1) return QByteArray();
    char buf[2048];
    sockaddr_in from{};
    socklen_t len = sizeof from;
    const ssize_t n = ::recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
    if (n < 0) return QByteArray();
    if (fromPort) *fromPort = ntohs(from.sin_port);
    return QByteArray(buf, static_cast<int>(n));
}

bool UdpPeer::sendTo(std::uint16_t port, const QByteArray& data) {
    sockaddr_in to = loopback(port);
    return ::sendto(fd_, data.constData(), static_cast<size_t>(data.size()), 0, reinterpret_cast<sockaddr*>(&to),
                    sizeof to) == data.size();
}

EchoServer::EchoServer() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = loopback(0);
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd_, 16) != 0) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
        return;
    }
    port_ = boundPort(fd_);
    thread_ = std::thread([this] { loop(); });
}

EchoServer::~EchoServer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) ::close(fd_);
}

void EchoServer::loop() {
    while (!stop_) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 50) != 1) continue;
        const int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0) continue;
        ++accepted_;
        char buf[16384];
        while (!stop_) {
            pollfd q{c, POLLIN, 0};
            if (::poll(&q, 1, 50) != 1) continue;
            const ssize_t n = ::recv(c, buf, sizeof buf, 0);
            if (n <= 0 || !sendAllBytes(c, buf, static_cast<std::size_t>(n))) break;
        }
        ::close(c);
    }
}

int connectTcp(std::uint16_t port, int localFd) {
    const int fd = localFd >= 0 ? localFd : ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const int flags = ::fcntl(fd, F_GETFL, 0);
    ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    sockaddr_in a = loopback(port);
    int rc = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    if (rc != 0 && errno == EINPROGRESS) {
        pollfd p{fd, POLLOUT, 0};
        int err = 0;
        socklen_t len = sizeof err;
        rc = ::poll(&p, 1, 5000) == 1 && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0 ? 0 : -1;
    }
    ::fcntl(fd, F_SETFL, flags);
    if (rc != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool sendAllBytes(int fd, const void* data, std::size_t len) {
    const char* p = static_cast<const char*>(data);
    while (len > 0) {
        const ssize_t n = ::send(fd, p, len, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        len -= static_cast<std::size_t>(n);
    }
    return true;
}

bool readAllBytes(int fd, void* data, std::size_t len, int ms) {
    char* p = static_cast<char*>(data);
    QDeadlineTimer deadline(ms);
    while (len > 0) {
        pollfd q{fd, POLLIN, 0};
        if (::poll(&q, 1, static_cast<int>(qMax<qint64>(deadline.remainingTime(), 0))) != 1) return false;
        const ssize_t n = ::recv(fd, p, len, 0);
        if (n <= 0) return false;
        p += n;
        len -= static_cast<std::size_t>(n);
    }
    return true;
}

// ---------------------------------------------------------------- rows

QTreeWidgetItem* serverRow(MainWindow& window, int row) {
    return MainWindowAccess(window).ui->proxyList->topLevelItem(row);
}

ServerEntry* entryAt(MainWindow& window, int row) { return MainWindow::entryOf(serverRow(window, row)); }

QProgressBar* signalBar(MainWindow& window, int row) {
    return qobject_cast<QProgressBar*>(MainWindowAccess(window).ui->proxyList->itemWidget(serverRow(window, row), 2));
}

QTreeWidgetItem* appRow(MainWindow& window, const QString& name) {
    for (int i = 0; i < MainWindowAccess(window).ui->connectionList->topLevelItemCount(); ++i)
        if (MainWindowAccess(window).ui->connectionList->topLevelItem(i)->text(0) == name)
            return MainWindowAccess(window).ui->connectionList->topLevelItem(i);
    return nullptr;
}

QStringList appNames(MainWindow& window) {
    QStringList names;
    for (int i = 0; i < MainWindowAccess(window).ui->connectionList->topLevelItemCount(); ++i)
        names << MainWindowAccess(window).ui->connectionList->topLevelItem(i)->text(0);
    return names;
}

vnx::AppStatus appEntry(const char* name, std::uint32_t udpSent, std::uint32_t udpRecv, std::uint32_t udpRate,
                        std::uint32_t udpConnections, std::uint32_t tcpRecv, std::uint32_t tcpSent,
                        std::uint32_t tcpRate, std::uint32_t tcpConnections) {
    vnx::AppStatus e;
    std::memset(&e, 0, sizeof e);
    // A name of 32 bytes or more fills the field without a terminator.
    std::memcpy(e.name, name, std::min(std::strlen(name), sizeof e.name));
    e.udp_sent = udpSent;
    e.udp_recv = udpRecv;
    e.udp_rate = udpRate;
    e.udp_connections = udpConnections;
    e.tcp_recv = tcpRecv;
    e.tcp_sent = tcpSent;
    e.tcp_rate = tcpRate;
    e.tcp_connections = tcpConnections;
    return e;
}

}  // namespace viewtest
