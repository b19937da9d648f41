#pragma once
// The server status block "VEILNOX_SVRSTAT" and the server's live traffic
// counters. The block has one writer (the server); readers take no lock.
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

namespace vnx {

constexpr int kMaxStatusApps = 512;

#pragma pack(push, 1)

struct AppStatus {
    char name[32];  // UTF-8, NUL-terminated, at most 31 bytes
    std::uint32_t udp_sent;
    std::uint32_t udp_recv;
    std::uint32_t udp_rate;
    std::uint32_t udp_connections;
    std::uint32_t tcp_recv;
    std::uint32_t tcp_sent;
    std::uint32_t tcp_rate;
    std::uint32_t tcp_connections;
};
static_assert(sizeof(AppStatus) == 64, "AppStatus size");
static_assert(offsetof(AppStatus, name) == 0, "AppStatus.name");
static_assert(offsetof(AppStatus, udp_sent) == 32, "AppStatus.udp_sent");
static_assert(offsetof(AppStatus, udp_recv) == 36, "AppStatus.udp_recv");
static_assert(offsetof(AppStatus, udp_rate) == 40, "AppStatus.udp_rate");
static_assert(offsetof(AppStatus, udp_connections) == 44, "AppStatus.udp_connections");
static_assert(offsetof(AppStatus, tcp_recv) == 48, "AppStatus.tcp_recv");
static_assert(offsetof(AppStatus, tcp_sent) == 52, "AppStatus.tcp_sent");
static_assert(offsetof(AppStatus, tcp_rate) == 56, "AppStatus.tcp_rate");
static_assert(offsetof(AppStatus, tcp_connections) == 60, "AppStatus.tcp_connections");

struct ServerStatus {
    std::uint32_t udp_sent;
    std::uint32_t udp_recv;
    std::uint32_t udp_rate;
    std::uint32_t udp_connections;
    std::uint32_t tcp_recv;
    std::uint32_t tcp_sent;
    std::uint32_t tcp_rate;
    std::uint32_t tcp_connections;
    std::int32_t app_count;  // 0..512; clamp when reading
    AppStatus apps[kMaxStatusApps];
};
static_assert(sizeof(ServerStatus) == 32804, "ServerStatus size");
static_assert(offsetof(ServerStatus, udp_sent) == 0, "udp_sent");
static_assert(offsetof(ServerStatus, udp_recv) == 4, "udp_recv");
static_assert(offsetof(ServerStatus, udp_rate) == 8, "udp_rate");
static_assert(offsetof(ServerStatus, udp_connections) == 12, "udp_connections");
static_assert(offsetof(ServerStatus, tcp_recv) == 16, "tcp_recv");
static_assert(offsetof(ServerStatus, tcp_sent) == 20, "tcp_sent");
static_assert(offsetof(ServerStatus, tcp_rate) == 24, "tcp_rate");
static_assert(offsetof(ServerStatus, tcp_connections) == 28, "tcp_connections");
static_assert(offsetof(ServerStatus, app_count) == 32, "app_count");
static_assert(offsetof(ServerStatus, apps) == 36, "apps");

#pragma pack(pop)

constexpr std::uint32_t kServerStatusSize = sizeof(ServerStatus);

// Counters of one application; unsigned, wrapping modulo 2^32.
struct AppTraffic {
    std::uint32_t udp_sent = 0;
    std::uint32_t udp_recv = 0;
    std::uint32_t udp_connections = 0;
    std::uint32_t tcp_recv = 0;
    std::uint32_t tcp_sent = 0;
    std::uint32_t tcp_connections = 0;
};

// Live traffic counters of the server. `lock` guards every field (and the
// process-name maps of the registry). Copying copies the counters, not the lock.
struct TrafficStats {
    std::uint32_t udp_sent = 0;
    std::uint32_t udp_recv = 0;
    std::uint32_t tcp_recv = 0;
    std::uint32_t tcp_sent = 0;
    std::map<std::string, AppTraffic> apps;
    mutable std::mutex lock;

    TrafficStats() = default;
    TrafficStats(const TrafficStats& o) { copyCounters(o); }
    TrafficStats& operator=(const TrafficStats& o) {
        if (this != &o) copyCounters(o);
        return *this;
    }
    void copyCounters(const TrafficStats& o) {
        udp_sent = o.udp_sent;
        udp_recv = o.udp_recv;
        tcp_recv = o.tcp_recv;
        tcp_sent = o.tcp_sent;
        apps = o.apps;
    }
    // The entry of an application, created with zero counters when missing.
    AppTraffic& app(const std::string& name) { return apps[name]; }
};

// Bytes per second from two readings of a wrapping counter `elapsedMs` apart.
std::uint32_t ratePerSecond(std::uint32_t nowBytes, std::uint32_t prevBytes, std::uint32_t elapsedMs);

// The first app_count entries (clamped to 0..512) keyed by name (bytes up to
// the first NUL, at most 31); a later entry with the same name wins.
std::map<std::string, AppStatus> readStatusApps(const ServerStatus& block);
// Number of valid entries in a block written by another process.
int clampedAppCount(const ServerStatus& block);
// The name of an entry as text, always terminated within the field.
std::string entryName(const AppStatus& entry);

}  // namespace vnx
