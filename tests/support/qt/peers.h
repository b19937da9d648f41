#pragma once
// The real programs of bin/ and stand-in peers on loopback for the client's
// GUI suites (part of vnx_qt_test_core): veilnox-relay and veilnoxsvr as
// child processes (ready when they have printed their ready lines), a UDP
// socket that plays a proxy server the test steers, and a TCP echo
// destination. Built on vnx_test_support's child processes and sockets;
// every wait has a time limit. Used from the test's main thread (the echo
// serves on a thread of its own).
#include "processes.h"
#include "sockets.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <atomic>
#include <cstdint>
#include <thread>

namespace vnxtest {

// A program of bin/ run by the test. The destructor ends it by its pid when
// it still runs: SIGTERM, then SIGKILL.
class Program : public ChildProcess {
public:
    ~Program();

    // Starts bin/<name> with args; false when it cannot start.
    bool start(const QString& name, const QStringList& args);
    // Waits until the output so far contains text (at most ms).
    bool waitForText(const QString& text, int ms = 20000);
    // Sends SIGTERM and waits (at most 10 s) for the exit.
    bool stop();
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
    UdpPeer(const UdpPeer&) = delete;
    UdpPeer& operator=(const UdpPeer&) = delete;
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

// Connects localFd (a new socket when -1) to 127.0.0.1:port with a 5 s
// limit; the descriptor, or -1 (and the socket closed) on failure.
int connectTcp(std::uint16_t port, int localFd = -1);

}  // namespace vnxtest
