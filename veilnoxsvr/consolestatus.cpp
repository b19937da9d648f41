#include "consolestatus.h"

#include "logcore.h"
#include "serverstate.h"
#include "sharedmemory.h"

#include <cstdio>
#include <cstring>
#include <memory>

void setDetailedLogs(bool on) {
    serverState().detailedLogs = on;
    std::printf(on ? "begin printf logs...\n" : "end printf logs...\n");
    std::fflush(stdout);
}

std::string FormatKbMb(std::uint64_t value) {
    const std::uint64_t k = (value * 100u) >> 10;
    const float kb = static_cast<float>(k) / 100.0f;
    char text[64];
    if (kb > 1024.0f) {
        const float mb = static_cast<float>(k >> 10) / 100.0f;
        std::snprintf(text, sizeof text, "%.6g MB", static_cast<double>(mb));
    } else {
        std::snprintf(text, sizeof text, "%.6g KB", static_cast<double>(kb));
    }
    return text;
}

void printStatus() {
    ServerState& state = serverState();
    std::size_t appCount;
    {
        std::lock_guard<std::mutex> guard(state.stats.lock);
        appCount = state.stats.apps.size();
    }
    vnx::writeLogLine("g_status app:" + std::to_string(appCount));
    vnx::ServerStatus* block = vnx::serverStatus(true);
    if (!block) return;
    // A copy taken under the lock that the publisher holds while writing.
    std::unique_ptr<vnx::ServerStatus> copy(new vnx::ServerStatus);
    {
        std::lock_guard<std::mutex> guard(state.stats.lock);
        std::memcpy(copy.get(), block, sizeof(vnx::ServerStatus));
    }
    const std::uint64_t total = static_cast<std::uint64_t>(copy->tcp_rate) + copy->udp_rate;
    vnx::writeLogLine("rate: " + FormatKbMb(total * 8u) + "/s");
    for (const auto& entry : vnx::readStatusApps(*copy)) {
        const vnx::AppStatus& app = entry.second;
        vnx::writeLogLine(entry.first + " :");
        vnx::writeLogLine("    TCP: " + FormatKbMb(std::uint64_t(app.tcp_rate) * 8u) +
                          "/s Connects: " + std::to_string(app.tcp_connections) +
                          ", UDP: " + FormatKbMb(std::uint64_t(app.udp_rate) * 8u) +
                          "/s Connects: " + std::to_string(app.udp_connections) + " [Send:" + FormatKbMb(app.udp_sent) +
                          ",Recv:" + FormatKbMb(app.udp_recv) + "]");
    }
}

void printConnectionSummary() {
    std::printf("-----tcp connections:%d , udp connections:%d END.\n", serverState().tcpTunnels.load(),
                serverState().udpTunnels.load());
    std::fflush(stdout);
}
