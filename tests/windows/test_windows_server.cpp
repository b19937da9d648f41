// The Windows veilnoxsvr.exe end to end, under Wine: this program plays the
// client (the proxy data block, the status block it reads) and the
// network-stack module (slot records, connections and datagrams to
// 127.0.0.1:9111) against the real server, which it starts. Destinations
// are echo servers of this program on loopback, reached directly or through
// the Linux veilnox-relay that scripts/windows-check starts (its port in
// VEILNOX_TEST_RELAY_PORT), behind a tap of this program that records the
// hop. Wine's sockets are the host's, so a Wine process and a Linux process
// meet on loopback.
#include "winprocess.h"

#include "modulecontract.h"
#include "platform/net.h"
#include "platform/system.h"
#include "records.h"
#include "relayheader.h"
#include "rendpoint.h"
#include "sharedmemory.h"
#include "statusblock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using vnxplat::Socket;
using wintest::WinProcess;

namespace {

// ---- waiting ---------------------------------------------------------------

std::int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool waitUntil(const std::function<bool()>& cond, int timeoutMs) {
    const std::int64_t end = nowMs() + timeoutMs;
    for (;;) {
        if (cond()) return true;
        if (nowMs() >= end) return false;
        vnxplat::sleepMs(10);
    }
}

// ---- sockets ----------------------------------------------------------------

vnx::REndpoint loopback(std::uint16_t port) {  // network order
    vnx::REndpoint e;
    e.ipv4 = vnx::parseIpv4("127.0.0.1");
    e.port = port;
    return e;
}

vnx::REndpoint localEndpoint(vnxplat::socket_t s) {
    sockaddr_storage sa{};
    int len = sizeof sa;
    if (getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len) != 0) return vnx::REndpoint();
    return vnx::REndpoint::fromSockaddr(reinterpret_cast<sockaddr*>(&sa));
}

// A socket of `type` bound to 127.0.0.1 on a port of the system's choice.
Socket boundSocket(int type) {
    Socket s(socket(AF_INET, type, type == SOCK_STREAM ? IPPROTO_TCP : IPPROTO_UDP));
    sockaddr_storage sa{};
    const int len = loopback(0).toSockaddr(sa);
    if (s && bind(s.get(), reinterpret_cast<sockaddr*>(&sa), len) != 0) s.reset();
    return s;
}

Socket listenSocket() {
    Socket s = boundSocket(SOCK_STREAM);
    if (s && listen(s.get(), 64) != 0) s.reset();
    return s;
}

bool connectTo(vnxplat::socket_t s, const vnx::REndpoint& to) {
    sockaddr_storage sa{};
    const int len = to.toSockaddr(sa);
    return vnxplat::connectWithin(s, reinterpret_cast<sockaddr*>(&sa), len, 10000) == 0;
}

bool readable(vnxplat::socket_t s, int timeoutMs) {
    vnxplat::pollfd_t p{};
    p.fd = s;
    p.events = POLLIN;
    return vnxplat::pollSockets(&p, 1, timeoutMs) > 0;
}

// Reads exactly len bytes, each wait bounded.
bool readExact(vnxplat::socket_t s, void* data, std::size_t len) {
    auto* p = static_cast<char*>(data);
    for (std::size_t got = 0; got < len;) {
        if (!readable(s, 10000)) return false;
        const long n = vnxplat::recvSome(s, p + got, len - got);
        if (n <= 0) return false;
        got += static_cast<std::size_t>(n);
    }
    return true;
}

// One datagram within timeoutMs and its sender; -1 on time-out.
long recvDatagramWithin(vnxplat::socket_t s, void* data, std::size_t len, int timeoutMs, vnx::REndpoint& from) {
    if (!readable(s, timeoutMs)) return -1;
    sockaddr_storage sa{};
    int saLen = sizeof sa;
    const int n =
        recvfrom(s, static_cast<char*>(data), static_cast<int>(len), 0, reinterpret_cast<sockaddr*>(&sa), &saLen);
    if (n >= 0) from = vnx::REndpoint::fromSockaddr(reinterpret_cast<sockaddr*>(&sa));
    return n;
}

bool sendDatagram(vnxplat::socket_t s, const void* data, std::size_t len, const vnx::REndpoint& to) {
    sockaddr_storage sa{};
    const int saLen = to.toSockaddr(sa);
    return sendto(s, static_cast<const char*>(data), static_cast<int>(len), 0, reinterpret_cast<sockaddr*>(&sa),
                  saLen) == static_cast<int>(len);
}

std::string pattern(std::size_t n, std::uint32_t seed) {
    std::string out(n, '\0');
    for (std::size_t i = 0; i < n; ++i) {
        seed = seed * 1103515245u + 12345u;
        out[i] = static_cast<char>(seed >> 24);
    }
    return out;
}

// ---- destinations and the tap on the hop --------------------------------------

// Threads that poll with a short timeout and end when asked to.
class Worker {
public:
    ~Worker() { stop(); }
    void run(std::function<bool()> step) {
        thread_ = std::thread([this, step] {
            while (!stop_ && step()) {
            }
        });
    }
    void stop() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }

private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// TCP echo: every connection gets its bytes back, then the end of stream.
class TcpEcho {
public:
    TcpEcho() : listener_(listenSocket()) {
        worker_.run([this] {
            if (!readable(listener_.get(), 100)) return true;
            vnxplat::socket_t c = accept(listener_.get(), nullptr, nullptr);
            if (c == vnxplat::kBadSocket) return true;
            auto conn = std::make_shared<Socket>(c);
            connections_.emplace_back([conn] {
                char buf[16384];
                for (int idle = 0; idle < 300;) {
                    if (!readable(conn->get(), 100)) {
                        ++idle;
                        continue;
                    }
                    const long n = vnxplat::recvSome(conn->get(), buf, sizeof buf);
                    if (n <= 0 || vnxplat::sendAll(conn->get(), buf, static_cast<std::size_t>(n)) != n) break;
                }
                shutdown(conn->get(), SD_SEND);
            });
            return true;
        });
    }
    ~TcpEcho() {
        worker_.stop();
        for (std::thread& t : connections_)
            t.join();
    }
    vnx::REndpoint address() const { return localEndpoint(listener_.get()); }

private:
    Socket listener_;
    std::vector<std::thread> connections_;
    Worker worker_;
};

// UDP echo: every datagram goes back to its sender.
class UdpEcho {
public:
    UdpEcho() : sock_(boundSocket(SOCK_DGRAM)) {
        worker_.run([this] {
            char buf[65536];
            vnx::REndpoint from;
            const long n = recvDatagramWithin(sock_.get(), buf, sizeof buf, 100, from);
            if (n >= 0) sendDatagram(sock_.get(), buf, static_cast<std::size_t>(n), from);
            return true;
        });
    }
    vnx::REndpoint address() const { return localEndpoint(sock_.get()); }

private:
    Socket sock_;
    Worker worker_;
};

// Stands between the server and the relay: forwards one TCP connection and
// every datagram both ways, and keeps what the server sent, as the relay
// received it.
class Tap {
public:
    // relayPort: host order.
    explicit Tap(std::uint16_t relayPort) : relay_(loopback(htons(relayPort))), listener_(listenSocket()) {
        udp_ = boundSocket(SOCK_DGRAM);
        tcpWorker_.run([this] { return pumpTcp(); });
        udpWorker_.run([this] { return pumpUdp(); });
    }
    ~Tap() {
        tcpWorker_.stop();
        udpWorker_.stop();
    }
    // The port (host order) that the client names as its proxy server.
    std::uint16_t tcpPort() const { return ntohs(localEndpoint(listener_.get()).port); }
    std::uint16_t udpPort() const { return ntohs(localEndpoint(udp_.get()).port); }
    std::string tcpBytes() {
        std::lock_guard<std::mutex> guard(mu_);
        return tcpSeen_;
    }
    std::vector<std::string> datagrams() {
        std::lock_guard<std::mutex> guard(mu_);
        return udpSeen_;
    }
    void clear() {
        std::lock_guard<std::mutex> guard(mu_);
        tcpSeen_.clear();
        udpSeen_.clear();
    }

private:
    bool pumpTcp() {
        if (!app_) {
            if (!readable(listener_.get(), 100)) return true;
            app_.reset(accept(listener_.get(), nullptr, nullptr));
            up_.reset(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
            return app_ && up_ && connectTo(up_.get(), relay_);
        }
        vnxplat::pollfd_t p[2] = {};
        p[0].fd = app_.get();
        p[1].fd = up_.get();
        p[0].events = p[1].events = POLLIN;
        if (vnxplat::pollSockets(p, 2, 100) <= 0) return true;
        char buf[16384];
        for (int i = 0; i < 2; ++i) {
            if (!(p[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            const long n = vnxplat::recvSome(p[i].fd, buf, sizeof buf);
            if (n <= 0) {
                // One connection per tap user: the next one starts afresh.
                shutdown(p[1 - i].fd, SD_SEND);
                app_.reset();
                up_.reset();
                return true;
            }
            if (i == 0) {
                std::lock_guard<std::mutex> guard(mu_);
                tcpSeen_.append(buf, static_cast<std::size_t>(n));
            }
            if (vnxplat::sendAll(p[1 - i].fd, buf, static_cast<std::size_t>(n)) != n) return false;
        }
        return true;
    }

    bool pumpUdp() {
        char buf[65536];
        vnx::REndpoint from;
        const long n = recvDatagramWithin(udp_.get(), buf, sizeof buf, 100, from);
        if (n < 0) return true;
        if (from == relay_) {
            sendDatagram(udp_.get(), buf, static_cast<std::size_t>(n), server_);
        } else {
            server_ = from;
            {
                std::lock_guard<std::mutex> guard(mu_);
                udpSeen_.emplace_back(buf, static_cast<std::size_t>(n));
            }
            sendDatagram(udp_.get(), buf, static_cast<std::size_t>(n), relay_);
        }
        return true;
    }

    vnx::REndpoint relay_;
    vnx::REndpoint server_;
    Socket listener_, app_, up_, udp_;
    std::mutex mu_;
    std::string tcpSeen_;
    std::vector<std::string> udpSeen_;
    Worker tcpWorker_, udpWorker_;
};

// ---- the client's and the module's sides ---------------------------------------

std::wstring serverProgram() { return wintest::programFolder() + L"veilnoxsvr.exe"; }

// The proxy data block as the client writes it: connected, TCP and UDP
// redirected, no proxy server yet, a window.
vnx::ProxyData* clientBlock() {
    vnx::ProxyData* d = vnx::proxyData(true);
    if (!d) return nullptr;
    std::memset(d, 0, sizeof *d);
    d->data_mark = 2;
    d->connected = 1;
    d->redirect_tcp = d->redirect_udp = 1;
    d->redirect_all_apps = 1;
    d->tcp_port = d->udp_port = vnx::kLocalServerPort;
    d->client_window = 0x10101;
    return d;
}

void setProxy(vnx::ProxyData* d, std::uint16_t port, bool masked) {
    std::memset(d->proxy_ip, 0, sizeof d->proxy_ip);
    std::memset(d->proxy_protocol, 0, sizeof d->proxy_protocol);
    if (port) {
        std::strcpy(d->proxy_ip, "127.0.0.1");
        std::strcpy(d->proxy_protocol, "private");
    }
    d->proxy_port = port;
    d->encrypt_data = masked ? 1 : 0;
}

// The server's start lines, the last of which says it is ready.
constexpr const char* kReadyLine = "-----tcp connections:0 , udp connections:0 END.";

bool startServer(WinProcess& server, const std::vector<std::string>& args = {}) {
    return server.start(serverProgram(), args) && server.waitFor(kReadyLine, 30000) != std::string::npos;
}

// A publication of the status block after now: the mark the client leaves
// in it is overwritten.
bool tickPasses(vnx::ServerStatus* status) {
    status->app_count = -1;
    return waitUntil([&] { return status->app_count >= 0; }, 10000);
}

struct ModuleTables {
    std::unique_ptr<vnx::SlotTable> tcp{vnx::createTcpTable(false)};
    std::unique_ptr<vnx::SlotTable> udpSend{vnx::createUdpSendTable(false)};
    std::unique_ptr<vnx::SlotTable> udpRecv{vnx::createUdpRecvTable(false)};
    bool ok() { return tcp->base() && udpSend->base() && udpRecv->base(); }
};

// As the module does for a TCP connection: bind, publish the destination,
// connect to the server.
Socket connectViaServer(ModuleTables& tables, const vnx::REndpoint& destination) {
    Socket s = boundSocket(SOCK_STREAM);
    if (!s || !vnx::publishTcpDestination(*tables.tcp, localEndpoint(s.get()).port, false, destination) ||
        !connectTo(s.get(), loopback(htons(vnx::kLocalServerPort))))
        s.reset();
    return s;
}

// As the module does for a datagram: publish the UDPSEND record, then send.
bool sendViaServer(ModuleTables& tables, vnxplat::socket_t s, const vnx::REndpoint& destination,
                   const std::string& data) {
    return vnx::publishUdpDestination(*tables.udpSend, localEndpoint(s).port, false, destination, data.data(),
                                      data.size(), vnxplat::tickCount()) &&
           sendDatagram(s, data.data(), data.size(), loopback(htons(vnx::kLocalServerPort)));
}

std::uint16_t relayPortFromScript() {
    const char* text = std::getenv("VEILNOX_TEST_RELAY_PORT");
    return text ? static_cast<std::uint16_t>(std::atoi(text)) : 0;
}

// ---- relaying --------------------------------------------------------------------

class WindowsServerRelay : public ::testing::Test {
protected:
    void SetUp() override {
        block = clientBlock();
        ASSERT_NE(block, nullptr);
        status = vnx::serverStatus(true);
        ASSERT_NE(status, nullptr);
        ASSERT_TRUE(startServer(server)) << server.output();
        ASSERT_TRUE(tables.ok());
        ASSERT_TRUE(tickPasses(status)) << server.output();
    }

    // A TCP connection and a datagram through the server towards the echo
    // servers, directly (no tap) or through the relay behind `tap`, masked
    // or not: the bytes come back intact, the reply datagram's real source
    // is recorded for the module, the hop carries the relay header (masked
    // itself) and the payload masked exactly when the header says so, and
    // the status block counts every byte for this program.
    void exchangeBoth(const std::string& marker, Tap* tap, bool masked) {
        setProxy(block, tap ? tap->tcpPort() : 0, masked);
        if (tap) tap->clear();
        Socket app = connectViaServer(tables, tcpEcho.address());
        ASSERT_TRUE(app) << server.output();
        const std::string sent = marker + pattern(100000, tcpTotal + 1);
        ASSERT_EQ(vnxplat::sendAll(app.get(), sent.data(), sent.size()), static_cast<long>(sent.size()));
        std::string back(sent.size(), '\0');
        ASSERT_TRUE(readExact(app.get(), &back[0], back.size())) << server.output();
        EXPECT_TRUE(back == sent) << "TCP bytes changed on the way";
        app.reset();
        tcpTotal += static_cast<std::uint32_t>(sent.size());
        vnx::RRelayHeader header;
        if (tap) {
            ASSERT_TRUE(
                waitUntil([&] { return tap->tcpBytes().size() >= vnx::kRelayHeaderSize + sent.size(); }, 10000));
            const std::string hop = tap->tcpBytes();
            ASSERT_TRUE(vnx::parseRelayHeader(reinterpret_cast<const std::uint8_t*>(hop.data()), hop.size(), header));
            EXPECT_EQ(header.masked, masked);
            EXPECT_TRUE(header.ipv4 == tcpEcho.address().ipv4 && header.port == tcpEcho.address().port);
            EXPECT_EQ(hop.find(marker) != std::string::npos, !masked);
            setProxy(block, tap->udpPort(), masked);
        }

        Socket udp = boundSocket(SOCK_DGRAM);
        ASSERT_TRUE(udp);
        const std::string datagram = marker + " as a datagram";
        ASSERT_TRUE(sendViaServer(tables, udp.get(), udpEcho.address(), datagram));
        char reply[2048];
        vnx::REndpoint from;
        const long n = recvDatagramWithin(udp.get(), reply, sizeof reply, 10000, from);
        ASSERT_EQ(n, static_cast<long>(datagram.size())) << server.output();
        EXPECT_EQ(std::string(reply, static_cast<std::size_t>(n)), datagram);
        vnx::REndpoint source;
        ASSERT_TRUE(vnx::takeUdpSource(*tables.udpRecv, from.port, static_cast<std::uint16_t>(n), false, source));
        EXPECT_TRUE(source == udpEcho.address()) << source.text();
        // A datagram to the relay counts as it leaves, with its header.
        udpSent += static_cast<std::uint32_t>(datagram.size() + (tap ? vnx::kRelayHeaderSize : 0));
        udpRecv += static_cast<std::uint32_t>(datagram.size());
        if (tap) {
            const std::vector<std::string> datagrams = tap->datagrams();
            ASSERT_EQ(datagrams.size(), 1u);
            const std::string& framed = datagrams[0];
            ASSERT_TRUE(
                vnx::parseRelayHeader(reinterpret_cast<const std::uint8_t*>(framed.data()), framed.size(), header));
            EXPECT_EQ(header.masked, masked);
            EXPECT_TRUE(header.ipv4 == udpEcho.address().ipv4 && header.port == udpEcho.address().port);
            EXPECT_EQ(framed.find(marker) != std::string::npos, !masked);
        }

        // Under this program's executable name.
        const std::string appName = "test_windows_server.exe";
        vnx::AppStatus entry{};
        EXPECT_TRUE(waitUntil(
            [&] {
                const auto apps = vnx::readStatusApps(*status);
                const auto it = apps.find(appName);
                if (it == apps.end()) return false;
                entry = it->second;
                return status->tcp_sent == tcpTotal && status->tcp_recv == tcpTotal && status->udp_sent == udpSent &&
                       status->udp_recv == udpRecv;
            },
            10000))
            << "tcp " << status->tcp_sent << "/" << status->tcp_recv << " of " << tcpTotal << ", udp "
            << status->udp_sent << "/" << status->udp_recv << " of " << udpSent << "/" << udpRecv << ", apps "
            << status->app_count;
        EXPECT_EQ(entry.tcp_sent, tcpTotal);
        EXPECT_EQ(entry.tcp_recv, tcpTotal);
        EXPECT_EQ(entry.udp_sent, udpSent);
        EXPECT_EQ(entry.udp_recv, udpRecv);
    }

    vnx::ProxyData* block = nullptr;
    vnx::ServerStatus* status = nullptr;
    WinProcess server;
    ModuleTables tables;
    TcpEcho tcpEcho;
    UdpEcho udpEcho;
    std::uint32_t tcpTotal = 0;
    std::uint32_t udpSent = 0;
    std::uint32_t udpRecv = 0;
};

}  // namespace

TEST_F(WindowsServerRelay, DirectToTheDestination) { exchangeBoth("marker-of-the-application-direct", nullptr, false); }

TEST_F(WindowsServerRelay, ThroughTheRelayMaskedAndPlain) {
    const std::uint16_t relayPort = relayPortFromScript();
    if (!relayPort) GTEST_SKIP() << "no veilnox-relay (VEILNOX_TEST_RELAY_PORT is not set)";
    // The tap takes TCP and UDP on ports of their own: the client's proxy
    // port names the one of the transport in turn.
    Tap tap(relayPort);
    ASSERT_NE(tap.tcpPort(), 0);
    for (bool masked : {true, false}) {
        SCOPED_TRACE(masked ? "masked" : "plain");
        exchangeBoth(std::string("marker-of-the-application-") + (masked ? "masked" : "plain"), &tap, masked);
    }
}

// ---- the process ---------------------------------------------------------------

TEST(WindowsServerProcess, SecondInstanceIsRefused) {
    vnx::ProxyData* block = clientBlock();
    ASSERT_NE(block, nullptr);
    WinProcess first;
    ASSERT_TRUE(startServer(first, {"hide"})) << first.output();
    EXPECT_TRUE(vnx::RunMutex(vnx::kServerRunMutexName).exists());
    EXPECT_EQ(block->tcp_port, vnx::kLocalServerPort);

    WinProcess second;
    ASSERT_TRUE(second.start(serverProgram(), {"hide"}));
    EXPECT_EQ(second.waitExit(30000), -1) << second.output();
    EXPECT_NE(second.output().find("aready running.\r"), std::string::npos) << second.output();
    EXPECT_EQ(block->server_status, 3);
    // The first one keeps running.
    vnx::ServerStatus* status = vnx::serverStatus(true);
    ASSERT_NE(status, nullptr);
    EXPECT_TRUE(tickPasses(status));
    EXPECT_TRUE(first.running());
}

TEST(WindowsServerProcess, HiddenServerEndsWhenTheClientWindowCloses) {
    // "hide" ends at the first tick after the client wrote 0 into
    // client_window; any other argument is ignored on Windows, so "HIDE"
    // keeps a server that runs without a client.
    vnx::ServerStatus* status = vnx::serverStatus(true);
    ASSERT_NE(status, nullptr);
    for (const char* arg : {"hide", "HIDE"}) {
        SCOPED_TRACE(arg);
        const bool hidden = std::strcmp(arg, "hide") == 0;
        vnx::ProxyData* block = clientBlock();
        ASSERT_NE(block, nullptr);
        if (!hidden) block->client_window = 0;
        WinProcess server;
        ASSERT_TRUE(startServer(server, {arg})) << server.output();
        ASSERT_TRUE(tickPasses(status));
        if (hidden) {
            block->client_window = 0;
            const std::int64_t t0 = nowMs();
            EXPECT_EQ(server.waitExit(10000), 0) << server.output();
            // One timer period plus scheduling slack.
            EXPECT_LT(nowMs() - t0, 5000);
            EXPECT_NE(server.output().find("VeilnoxSvr exits since parent is gone."), std::string::npos)
                << server.output();
            EXPECT_FALSE(vnx::RunMutex(vnx::kServerRunMutexName).exists());
        } else {
            // Ticks go on with no client window.
            EXPECT_TRUE(tickPasses(status));
            EXPECT_TRUE(tickPasses(status));
            EXPECT_TRUE(server.running());
            server.kill();
        }
    }
}

int main(int argc, char** argv) {
    if (!vnxplat::netInit()) return 2;
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
