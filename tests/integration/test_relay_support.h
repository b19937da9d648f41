#pragma once
// Helpers for the veilnox-relay suites: the real relay as a child process,
// relay headers, and small destination servers (TCP and UDP) running on
// threads of the test. Socket helpers and namespaces come from tests/support.
#include "destinations.h"
#include "netns.h"
#include "processes.h"
#include "sockets.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace relaytest {

// The veilnox-relay program built with the tests.
std::string relayPath();

// One running veilnox-relay. start() waits (at most 10 s) for its ready line.
class RelayProcess {
public:
    RelayProcess() = default;
    ~RelayProcess();
    RelayProcess(const RelayProcess&) = delete;
    RelayProcess& operator=(const RelayProcess&) = delete;

    // noFileLimit > 0 lowers the child's descriptor limit (soft and hard).
    bool start(const std::vector<std::string>& args, unsigned noFileLimit = 0);
    // Sends sig and waits (at most 10 s) for the exit. Returns the exit code,
    // 128 + signal when killed by one, -1 when it did not end in time.
    int stop(int sig = 15);
    bool running() const;

    pid_t pid() const { return pid_; }
    const std::string& readyLine() const { return line_; }
    std::uint16_t port() const { return port_; }
    // The relay's listen address as a socket address (127.0.0.1 or ::1 for
    // the wildcard addresses).
    sockaddr_storage address() const;

private:
    pid_t pid_ = -1;
    int outFd_ = -1;
    std::string line_;
    std::uint16_t port_ = 0;
    std::string host_;
};

using vnxtest::addressLength;
using vnxtest::addressPort;
using vnxtest::makeAddress;
using vnxtest::PrivateNetwork;

// 32 masked wire bytes naming dest (IPv4 when dest is AF_INET).
std::vector<std::uint8_t> relayHeader(const sockaddr_storage& dest, bool masked, std::uint8_t kind = 0);
// The plain form of a received header: false when it is not one.
struct ParsedHeader {
    bool masked = false;
    std::uint8_t kind = 0;
    std::uint32_t ipv4 = 0;
    std::uint8_t ipv6[16] = {};
    std::uint16_t port = 0;  // host order
};
bool parseHeader(const std::uint8_t* data, std::size_t len, ParsedHeader& out);
void mask(std::uint8_t* data, std::size_t len);
std::vector<std::uint8_t> randomBytes(std::size_t n, std::uint32_t seed);

// Blocking TCP connect with a 5 s limit, from the local address from when
// given; -1 on failure.
int connectTo(const sockaddr_storage& addr, const char* from = nullptr);
using vnxtest::readExact;
using vnxtest::readToEnd;
using vnxtest::sendAll;
using vnxtest::waitClosed;
// True when nothing arrives and the connection stays open for ms.
bool staysOpen(int fd, int ms);

// A TCP destination on a thread of its own. Modes:
//  Echo: echoes everything; at end of stream shuts down its sending side.
//  ReplyAfterEnd: reads to end of stream, then sends an 8-byte count and
//      the bytes it read, and closes.
//  GreetThenSink: sends "hello", shuts down its sending side, then counts
//      what arrives until the end of stream.
class TcpServer {
public:
    enum class Mode { Echo, ReplyAfterEnd, GreetThenSink };
    TcpServer(const char* ip, Mode mode);
    ~TcpServer();
    bool ok() const { return fd_ >= 0; }
    sockaddr_storage address() const { return addr_; }
    int accepted() const { return accepted_.load(); }
    std::uint64_t sunk() const { return sunk_.load(); }

private:
    void acceptLoop();
    void serve(int fd);

    Mode mode_;
    int fd_ = -1;
    sockaddr_storage addr_{};
    std::atomic<bool> stop_{false};
    std::atomic<int> accepted_{0};
    std::atomic<std::uint64_t> sunk_{0};
    std::mutex mu_;
    std::vector<std::thread> threads_;
    std::thread acceptThread_;
};

using vnxtest::UdpEcho;

// A socket of the test, closed when it goes out of scope.
struct Sock {
    int fd;
    explicit Sock(int f) : fd(f) {}
    ~Sock() {
        if (fd >= 0) close(fd);
    }
    Sock(const Sock&) = delete;
    Sock& operator=(const Sock&) = delete;
    operator int() const { return fd; }
};

// A UDP socket of the test bound to ip (port chosen by the system).
inline int udpSocket(const char* ip) { return vnxtest::boundSocket(SOCK_DGRAM, ip); }
using vnxtest::recvWithin;

// The probe answer: 8 bytes from the relay. False when none arrives in time.
bool probe(int udpFd, const RelayProcess& relay, std::uint32_t& ip, std::uint32_t& count);

}  // namespace relaytest
