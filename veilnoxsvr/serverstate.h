#pragma once
// Process-wide state of the local server, shared by its threads.
//
// Created on first use and never freed: detached worker threads may use it
// until the process ends.
#include "processnames.h"
#include "statusblock.h"

#include <atomic>
#include <cstdint>
#include <string>

// The transport whose counters a relayed chunk or datagram goes to.
enum class Transport { Tcp, Udp };

struct ServerState {
    // The live traffic counters. Their lock also guards `names`.
    vnx::TrafficStats stats;
    ProcessNames names;
    // Code left by a listener thread that stopped (ServerStatusCode), 0 at start.
    std::atomic<int> listenerStatus{0};
    // The console switch for detailed per-connection lines.
    std::atomic<bool> detailedLogs{false};
    // Tunnels that exist now.
    std::atomic<int> tcpTunnels{0};
    std::atomic<int> udpTunnels{0};

    // Adds `bytes` relayed for the application `app` (empty: the totals
    // only) to the live counters, under their lock: towards the application
    // (tcp_recv / udp_recv) or from it (tcp_sent / udp_sent). Any thread.
    void countBytes(Transport transport, const std::string& app, std::uint32_t bytes, bool towardsApp);
};

ServerState& serverState();

// One count in a tunnel counter (tcpTunnels, udpTunnels) for as long as it
// lives. A tunnel declares it before its sockets, so the count drops only
// after they are closed.
class TunnelCount {
public:
    explicit TunnelCount(std::atomic<int>& counter) : counter(counter) {
        counter.fetch_add(1, std::memory_order_relaxed);
    }
    ~TunnelCount() { counter.fetch_sub(1, std::memory_order_relaxed); }
    TunnelCount(const TunnelCount&) = delete;
    TunnelCount& operator=(const TunnelCount&) = delete;

private:
    std::atomic<int>& counter;
};

// True while detailed logs are switched on.
inline bool verboseLogs() { return serverState().detailedLogs.load(std::memory_order_relaxed); }

// Appends "<what> catch exception!" to the server's error log; never throws.
void logCaughtException(const char* what) noexcept;
