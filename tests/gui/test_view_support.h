#pragma once
// Shared pieces of the probe, traffic-view and settings-dialog suites: the
// real veilnox-relay and veilnoxsvr as child processes (ready when they have
// printed their ready lines), a UDP socket that plays a proxy server the
// test steers, a TCP echo destination, and row helpers for the main window.
// Every wait has a time limit.
#include "app_support.h"
#include "statusblock.h"

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <atomic>
#include <cstdint>
#include <thread>

class MainWindow;
class QProgressBar;
class QTreeWidgetItem;
struct ServerEntry;

namespace viewtest {

// A program of bin/ run by the test. The destructor ends it (SIGTERM, then
// SIGKILL) by its pid when it still runs.
class Program {
public:
    Program() = default;
    ~Program();
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    // Starts bin/<name> with args; false when it cannot start.
    bool start(const QString& name, const QStringList& args);
    // Waits until the output so far contains text (at most ms); the output is
    // collected while waiting, without running the caller's event loop.
    bool waitForText(const QString& text, int ms = 20000);
    QString output() const { return QString::fromLocal8Bit(output_); }
    qint64 pid() const;
    bool running() const;
    // Sends SIGTERM and waits (at most 10 s) for the exit.
    bool stop();

private:
    void collect(int ms);
    QProcess process_;
    QByteArray output_;
};

// veilnox-relay --listen 127.0.0.1:0 --allow-private; port() is the port of
// its ready line.
class Relay : public Program {
public:
    bool start();
    std::uint16_t port() const { return port_; }

private:
    std::uint16_t port_ = 0;
};

// veilnoxsvr (without "hide", so that it does not watch the window); ready
// when its four listeners have started.
class LocalServer : public Program {
public:
    bool start();
};

// A UDP socket on 127.0.0.1 that stands in for a proxy server.
class UdpPeer {
public:
    UdpPeer();
    ~UdpPeer();
    bool ok() const { return fd_ >= 0; }
    std::uint16_t port() const { return port_; }
    // One datagram within ms (the sender's port in *fromPort); empty on
    // time-out.
    QByteArray receive(int ms, std::uint16_t* fromPort = nullptr);
    // Sends to 127.0.0.1:port.
    bool sendTo(std::uint16_t port, const QByteArray& data);

private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
};

// An 8-byte probe answer (clientcore_support.h).
using clienttest::probeAnswer;

// A TCP echo destination on 127.0.0.1 serving one connection at a time on a
// thread of its own.
class EchoServer {
public:
    EchoServer();
    ~EchoServer();
    bool ok() const { return fd_ >= 0; }
    std::uint16_t port() const { return port_; }  // host order
    int accepted() const { return accepted_.load(); }

private:
    void loop();
    int fd_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> accepted_{0};
    std::thread thread_;
};

// Connects to 127.0.0.1:port with a 5 s limit; -1 on failure.
int connectTcp(std::uint16_t port, int localFd = -1);
bool sendAllBytes(int fd, const void* data, std::size_t len);
bool readAllBytes(int fd, void* data, std::size_t len, int ms = 10000);

// Rows of "proxyList" and "connectionList".
ServerEntry* entryAt(MainWindow& window, int row);
QTreeWidgetItem* serverRow(MainWindow& window, int row);
QProgressBar* signalBar(MainWindow& window, int row);
QTreeWidgetItem* appRow(MainWindow& window, const QString& name);
QStringList appNames(MainWindow& window);

// An AppStatus entry with the given name and counters.
vnx::AppStatus appEntry(const char* name, std::uint32_t udpSent = 0, std::uint32_t udpRecv = 0,
                        std::uint32_t udpRate = 0, std::uint32_t udpConnections = 0, std::uint32_t tcpRecv = 0,
                        std::uint32_t tcpSent = 0, std::uint32_t tcpRate = 0, std::uint32_t tcpConnections = 0);

}  // namespace viewtest
