#include "rveilnoxsvr.h"

#include "logcore.h"
#include "platform/serversupport.h"
#include "platform/system.h"
#include "rcaptureudp.h"
#include "records.h"
#include "rlocalserver.h"
#include "serverstate.h"
#include "sharedmemory.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {
void writeEntry(vnx::AppStatus& entry, const std::string& name, const vnx::AppTraffic& now,
                const vnx::AppTraffic& before, std::uint32_t elapsed) {
    std::memset(entry.name, 0, sizeof entry.name);
    std::memcpy(entry.name, name.data(), std::min(name.size(), sizeof entry.name - 1));
    entry.udp_sent = now.udp_sent;
    entry.udp_recv = now.udp_recv;
    entry.udp_rate = vnx::ratePerSecond(now.udp_sent + now.udp_recv, before.udp_sent + before.udp_recv, elapsed);
    entry.udp_connections = now.udp_connections;
    entry.tcp_recv = now.tcp_recv;
    entry.tcp_sent = now.tcp_sent;
    entry.tcp_rate = vnx::ratePerSecond(now.tcp_sent + now.tcp_recv, before.tcp_sent + before.tcp_recv, elapsed);
    entry.tcp_connections = now.tcp_connections;
}

std::uint32_t envNumber(const char* name) {
    const char* text = std::getenv(name);
    if (!text || !*text) return 0;
    char* end = nullptr;
    unsigned long v = std::strtoul(text, &end, 10);
    return (*end == 0 && v <= 0xffffffffUL) ? static_cast<std::uint32_t>(v) : 0;
}
}  // namespace

RVeilnoxSvr::RVeilnoxSvr() : previous(new vnx::TrafficStats()), clientMarker(vnx::kClientRunMutexName) {
    serverState();  // the live counters and process names exist from here on
    server = new RLocalServer();
}

RVeilnoxSvr::~RVeilnoxSvr() {
    if (!started) delete server;
    delete previous;
}

bool RVeilnoxSvr::start() {
    vnx::ProxyData* block = vnx::proxyData(false);
    if (!block) {
        vnx::writeLogLine("GetProxyData failed!");
        return false;
    }
    block->server_status = 0;
    static vnx::RunMutex* runMutex = new vnx::RunMutex(vnx::kServerRunMutexName);
    if (runMutex->exists()) {
        block->server_status = vnx::kStatusTcpIpv6Accept;
        std::printf("aready running.\r\n");
        std::fflush(stdout);
        return false;
    }
    runMutex->create();
    vnx::setLogTarget(nullptr);
    {
        ServerState& state = serverState();
        std::lock_guard<std::mutex> guard(state.stats.lock);
        state.names.rebuild();
    }
    vnx::writeLogLine("server start...");
    block->tcp_port = vnx::kLocalServerPort;
    block->udp_port = vnx::kLocalServerPort;
    block->server_status = 0;

    vnx::REndpoint loopback;
    loopback.ipv4 = vnx::parseIpv4("127.0.0.1");
    loopback.ipv6[15] = 1;
    RUdpServer* udp = server;
    udp->bindAddr = loopback;
    udp->bindAddr.port = htons(vnx::kLocalServerPort);
    udp->ipv6Enabled = true;
    RTcpServer* tcp = server;
    tcp->bindAddr = loopback;
    tcp->bindAddr.port = htons(block->tcp_port);
    tcp->ipv6Enabled = true;
    applyTestSettings();

    // Datagrams diverted by the kernel capture hooks arrive on a port of
    // their own (any free one: several users may run a server at once), on
    // every loopback address. It is registered with the hooks first: where
    // they took it, the fixed ports may be held by another user's server, and
    // this one then listens on free ports that the hooks divert this user's
    // programs to.
    capture = new RCaptureUdp();
    if (std::uint32_t seconds = envNumber("VEILNOX_TEST_UDP_IDLE_SECONDS")) capture->setIdleLimit(seconds);
    const bool opened = capture->open(0);
    if (opened)
        std::printf(" Captured datagrams on port %d%s\r\n", ntohs(capture->port()),
                    capture->isRegistered() ? "" : " (no kernel capture)");
    tcp->anyPortIfTaken = capture->isRegistered();
    udp->anyPortIfTaken = capture->isRegistered();
    started = true;
    tcp->start();
    udp->start();
    // Ready means listening (and registered with the capture hooks): the
    // status line printed next is what the client and the tests wait for.
    tcp->waitSettled(kTimerMs * 4);
    udp->waitSettled(kTimerMs * 4);
    if (!opened || !capture->start()) vnx::writeLogLine("captured datagrams: no port could be bound");
    running = true;
    return true;
}

void RVeilnoxSvr::applyTestSettings() {
    // Integration tests shorten the UDP idle limit and the relay's wake-up
    // instead of waiting a minute.
    if (std::uint32_t seconds = envNumber("VEILNOX_TEST_UDP_IDLE_SECONDS")) server->setIdleLimit(seconds);
    if (std::uint32_t ms = envNumber("VEILNOX_TEST_UDP_POLL_MS")) server->setPollInterval(static_cast<int>(ms));
}

int RVeilnoxSvr::exec() {
    std::uint32_t next = vnxplat::tickCount() + kTimerMs;
    while (running) {
        const std::int32_t wait = static_cast<std::int32_t>(next - vnxplat::tickCount());
        if (wait > 0) vnxplat::sleepMs(static_cast<std::uint32_t>(wait));
        onTimer();
        // The next tick one period after this one; after a tick that ran
        // late (a long process snapshot), one period from now.
        next += kTimerMs;
        const std::uint32_t now = vnxplat::tickCount();
        if (static_cast<std::int32_t>(next - now) <= 0) next = now + kTimerMs;
    }
    return exitCode;
}

bool RVeilnoxSvr::clientPresent(const vnx::ProxyData* block) {
    if (!block || block->client_window == 0) return false;
    return !vnxplat::hiddenServerWatchesClientProcess() || clientMarker.exists();
}

void RVeilnoxSvr::onTimer() {
    if (!running) return;
    const bool tcpRunning = server->RTcpServer::running.load();
    const bool udpRunning = server->RUdpServer::running.load();
    vnx::ProxyData* block = vnx::proxyData(false);
    if (tcpRunning && udpRunning) {
        if (!hide || clientPresent(block)) {
            ServerState& state = serverState();
            std::lock_guard<std::mutex> guard(state.stats.lock);
            publish(vnxplat::tickCount());
            return;
        }
        quit(0);
        std::fprintf(stderr, "VeilnoxSvr exits since parent is gone.\n");
        std::fflush(stderr);
        return;
    }
    if (block) block->server_status = static_cast<std::uint16_t>(serverState().listenerStatus.load() & 0xffff);
    if (!tcpRunning) vnx::writeRuntimeLog("RVeilnoxSvr::onTimer() found tcp server not run.");
    if (!udpRunning) vnx::writeRuntimeLog("RVeilnoxSvr::onTimer() found udp server not run.");
    // A port that could not be bound ends the server with its own code, so
    // that the client can say so instead of starting it again and again.
    const int status = serverState().listenerStatus.load();
    quit(status == vnx::kStatusTcpBind || status == vnx::kStatusUdpBind ? 3 : 0);
}

void RVeilnoxSvr::quit(int code) {
    if (finished) finished();
    running = false;
    exitCode = code;
}

void RVeilnoxSvr::publish(std::uint32_t now) {
    const std::uint32_t elapsed = now - lastPublish;
    lastPublish = now;
    if (elapsed < 100) return;
    ServerState& state = serverState();
    vnx::TrafficStats& live = state.stats;
    if (!live.apps.empty()) state.names.rebuild();
    vnx::ServerStatus* block = vnx::serverStatus(true);
    if (!block) {
        // Nothing written; the next rates are still taken over one interval.
        *previous = live;
        return;
    }
    block->tcp_recv = live.tcp_recv;
    block->tcp_sent = live.tcp_sent;
    block->udp_sent = live.udp_sent;
    block->udp_recv = live.udp_recv;
    block->tcp_rate =
        vnx::ratePerSecond(live.tcp_sent + live.tcp_recv, previous->tcp_sent + previous->tcp_recv, elapsed);
    block->udp_rate =
        vnx::ratePerSecond(live.udp_sent + live.udp_recv, previous->udp_sent + previous->udp_recv, elapsed);
    std::uint32_t tcpConnections = 0;
    std::uint32_t udpConnections = 0;
    int written = 0;
    const vnx::AppTraffic none;
    for (auto it = live.apps.begin(); it != live.apps.end();) {
        if (!state.names.isRunning(it->first)) {
            it = live.apps.erase(it);
            continue;
        }
        if (written < vnx::kMaxStatusApps) {
            auto before = previous->apps.find(it->first);
            writeEntry(block->apps[written], it->first, it->second,
                       before != previous->apps.end() ? before->second : none, elapsed);
            tcpConnections += it->second.tcp_connections;
            udpConnections += it->second.udp_connections;
            ++written;
        }
        ++it;
    }
    block->tcp_connections = tcpConnections;
    block->app_count = written;
    block->udp_connections = udpConnections;
    *previous = live;
}
