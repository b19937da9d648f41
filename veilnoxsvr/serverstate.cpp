#include "serverstate.h"

#include "logcore.h"

#include <mutex>
#include <string>

ServerState& serverState() {
    // Deliberately never destroyed (see the header).
    static ServerState* state = new ServerState();
    return *state;
}

void ServerState::countBytes(Transport transport, const std::string& app, std::uint32_t bytes, bool towardsApp) {
    const bool tcp = transport == Transport::Tcp;
    std::uint32_t vnx::TrafficStats::*total =
        tcp ? (towardsApp ? &vnx::TrafficStats::tcp_recv : &vnx::TrafficStats::tcp_sent)
            : (towardsApp ? &vnx::TrafficStats::udp_recv : &vnx::TrafficStats::udp_sent);
    std::uint32_t vnx::AppTraffic::*perApp =
        tcp ? (towardsApp ? &vnx::AppTraffic::tcp_recv : &vnx::AppTraffic::tcp_sent)
            : (towardsApp ? &vnx::AppTraffic::udp_recv : &vnx::AppTraffic::udp_sent);
    std::lock_guard<std::mutex> guard(stats.lock);
    stats.*total += bytes;
    if (!app.empty()) stats.app(app).*perApp += bytes;
}

void logCaughtException(const char* what) noexcept {
    try {
        vnx::writeServerLog(std::string(what) + " catch exception!");
    } catch (...) {
        // Nothing left to report to.
    }
}
