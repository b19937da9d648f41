#pragma once
// Helpers for the veilnoxsvr suites: the real server (and the real
// veilnox-relay) as child processes, the client's proxy data block, the
// module's side of the slot contract, destination servers on threads of the
// test, and socket helpers in the server's endpoint type (on top of
// tests/support). Every wait here has a time limit.
#include "destinations.h"
#include "modulecontract.h"
#include "namedobjects.h"
#include "processes.h"
#include "records.h"
#include "rendpoint.h"
#include "sharedmemory.h"
#include "sockets.h"
#include "statusblock.h"
#include "waiters.h"

#include <sys/socket.h>
#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace svrtest {

using vnxtest::nowMs;
using vnxtest::waitUntil;

// ---- processes -------------------------------------------------------------

// A child process with its standard input on a pipe of the test and its
// standard output and error collected on a thread; a sanitizer report in
// its output fails the test.
class ChildProcess : public vnxtest::ChildProcess {
public:
    ChildProcess() { reportSanitizers(); }
};

std::string serverPath();
// Empty when veilnox-relay is not built in this tree.
std::string relayPath();

// The real veilnoxsvr. start() waits for its four listener lines.
class ServerProcess : public ChildProcess {
public:
    bool start(const std::vector<std::string>& args = {}, const std::vector<std::string>& env = {});
    int fdCount();
    int threadCount();
};

// The real veilnox-relay on 127.0.0.1 (port chosen by the system), with
// --allow-private because the destinations of the tests are on loopback.
class RelayProcess : public ChildProcess {
public:
    bool start(const std::vector<std::string>& extraArgs = {});
    // A relay with a key: the key file is written into a folder of the
    // test's own (removed again by the destructor), and the key is what
    // the client would publish for it (useKey).
    // With key, that key (a relay started again), else a new one.
    bool startKeyed(const std::vector<std::string>& extraArgs = {}, const std::uint8_t* key = nullptr);
    ~RelayProcess();
    std::uint16_t port() const { return port_; }  // host order
    const std::uint8_t* key() const { return key_; }
    // Publishes this relay's key as the client does for the selected server
    // at 127.0.0.1:port(), or withdraws it (keyed false).
    bool useKey(bool keyed = true) const;

private:
    std::uint16_t port_ = 0;
    std::uint8_t key_[32] = {};
    std::string keyDir_;
};

using vnxtest::countFds;
using vnxtest::countThreads;
// Raises the test's descriptor limit (its children inherit it).
void raiseFdLimit();

// ---- the client's and the module's side of the named objects ----------------

using vnxtest::createProxyBlock;
using vnxtest::ModuleTables;
using vnxtest::setProxy;

// The status block as the client reads it.
vnx::ServerStatus* statusBlock();
// The entry of an application in the block, if listed.
bool findApp(const vnx::ServerStatus& block, const std::string& name, vnx::AppStatus& out);
// The executable name of this test process as the server sees it.
std::string ownExeName();

// ---- sockets ---------------------------------------------------------------

vnx::REndpoint endpoint(const char* ip, std::uint16_t hostPort);
sockaddr_storage toSockaddr(const vnx::REndpoint& e, socklen_t& len);
vnx::REndpoint localEndpoint(int fd);
vnx::REndpoint serverEndpoint(bool ipv6);  // 127.0.0.1:9111 or [::1]:9111

// As the module does for a TCP connection: bind to a port of the loopback
// family, publish the destination, connect to the server. -1 on failure.
int connectViaServer(ModuleTables& tables, const vnx::REndpoint& destination, bool ipv6, bool publish = true);
int connectTo(const vnx::REndpoint& e, int timeoutMs = 5000);
inline bool sendAllBytes(int fd, const void* data, std::size_t len) { return vnxtest::sendAll(fd, data, len); }
using vnxtest::readExact;
using vnxtest::waitClosed;

// A bound UDP socket of the test on loopback (127.0.0.1 or ::1).
int udpSocket(bool ipv6);
// As the module does for a datagram: publish the UDPSEND record, then send
// to the server. False when either step failed.
bool sendViaServer(ModuleTables& tables, int fd, const vnx::REndpoint& destination, const void* data, std::size_t len,
                   bool publish = true);
// One datagram within timeoutMs; -1 on time-out.
long recvWithin(int fd, void* buf, std::size_t cap, int timeoutMs, vnx::REndpoint* from = nullptr);

// ---- destinations ------------------------------------------------------------

// TCP echo for many connections (one epoll thread): echoes everything and
// closes its sending side at the end of the peer's stream.
class EchoServer {
public:
    explicit EchoServer(const char* ip = "127.0.0.1");
    ~EchoServer();
    vnx::REndpoint address() const { return addr_; }
    int accepted() const { return accepted_.load(); }
    int open() const { return open_.load(); }

private:
    void loop();
    int listenFd_ = -1;
    int epollFd_ = -1;
    int wakeFd_ = -1;
    vnx::REndpoint addr_;
    std::atomic<int> accepted_{0};
    std::atomic<int> open_{0};
    std::thread thread_;
};

// A listening socket the test accepts from itself.
class Listener {
public:
    explicit Listener(const char* ip = "127.0.0.1");
    ~Listener();
    vnx::REndpoint address() const { return addr_; }
    // -1 when nothing connects within timeoutMs.
    int acceptWithin(int timeoutMs);
    // True when a connection is waiting to be accepted.
    bool pending();

private:
    int fd_ = -1;
    vnx::REndpoint addr_;
};

// UDP echo: sends every datagram back to its sender.
class UdpEcho : public vnxtest::UdpEcho {
public:
    explicit UdpEcho(const char* ip = "127.0.0.1") : vnxtest::UdpEcho(ip) {}
    vnx::REndpoint address() const {
        sockaddr_storage sa = vnxtest::UdpEcho::address();
        return vnx::REndpoint::fromSockaddr(reinterpret_cast<sockaddr*>(&sa));
    }
};

// ---- bulk data -------------------------------------------------------------

// A reproducible byte stream and a checker that compares what arrives with it
// (independent of how the bytes are split into chunks).
class ByteStream {
public:
    explicit ByteStream(std::uint64_t seed) : state_(seed | 1) {}
    void fill(std::uint8_t* out, std::size_t len);

private:
    std::uint64_t state_;
    std::uint8_t spare_[8] = {};
    std::size_t spareLen_ = 0;
};

struct ExchangeResult {
    std::uint64_t received = 0;
    bool intact = false;  // everything received matched the expected stream
    bool sendOk = false;
};
// Sends `sendBytes` of stream `sendSeed` (then half-closes) while receiving
// until end of stream and checking it against stream `recvSeed`.
ExchangeResult exchange(int fd, std::uint64_t sendSeed, std::uint64_t sendBytes, std::uint64_t recvSeed, int timeoutMs);

// One connection accepted by a thread that runs exchange() on it.
class BulkPeer {
public:
    BulkPeer(const char* ip, std::uint64_t sendSeed, std::uint64_t sendBytes, std::uint64_t recvSeed);
    ~BulkPeer();
    vnx::REndpoint address() const { return addr_; }
    // Waits for the peer's side to finish.
    bool finished(int timeoutMs);
    ExchangeResult result() const { return result_; }

private:
    int fd_ = -1;
    vnx::REndpoint addr_;
    ExchangeResult result_;
    std::atomic<bool> done_{false};
    std::thread thread_;
};

}  // namespace svrtest
