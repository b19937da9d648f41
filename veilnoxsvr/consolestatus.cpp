#include "consolestatus.h"

#include "logs.h"
#include "serverstate.h"
#include "sharedmemory.h"

#include <QTextStream>

#include <cstdio>
#include <cstring>
#include <memory>

void setDetailedLogs(bool on) {
    serverState().detailedLogs = on;
    std::printf(on ? "begin printf logs...\n" : "end printf logs...\n");
}

QString FormatKbMb(std::uint64_t value) {
    const std::uint64_t k = (value * 100u) >> 10;
    const float kb = static_cast<float>(k) / 100.0f;
    if (kb > 1024.0f) {
        const float mb = static_cast<float>(k >> 10) / 100.0f;
        return QStringLiteral("%1 MB").arg(static_cast<double>(mb), 0, 'g', 6);
    }
    return QStringLiteral("%1 KB").arg(static_cast<double>(kb), 0, 'g', 6);
}

void printStatus() {
    ServerState& state = serverState();
    std::size_t appCount;
    {
        std::lock_guard<std::mutex> guard(state.stats.lock);
        appCount = state.stats.apps.size();
    }
    vnx::logLine(QStringLiteral("g_status app:%1").arg(appCount));
    vnx::ServerStatus* block = vnx::serverStatus(true);
    if (!block) return;
    // A copy taken under the lock that the publisher holds while writing.
    std::unique_ptr<vnx::ServerStatus> copy(new vnx::ServerStatus);
    {
        std::lock_guard<std::mutex> guard(state.stats.lock);
        std::memcpy(copy.get(), block, sizeof(vnx::ServerStatus));
    }
    const std::uint64_t total = static_cast<std::uint64_t>(copy->tcp_rate) + copy->udp_rate;
    vnx::logLine(QStringLiteral("rate: ") + FormatKbMb(total * 8u) + QStringLiteral("/s"));
    for (const auto& entry : vnx::readStatusApps(*copy)) {
        const vnx::AppStatus& app = entry.second;
        vnx::logLine(QString::fromLatin1(entry.first.c_str()) + QStringLiteral(" :"));
        vnx::logLine(QStringLiteral("    TCP: ") + FormatKbMb(std::uint64_t(app.tcp_rate) * 8u) +
                     QStringLiteral("/s Connects: ") + QString::number(app.tcp_connections) +
                     QStringLiteral(", UDP: ") + FormatKbMb(std::uint64_t(app.udp_rate) * 8u) +
                     QStringLiteral("/s Connects: ") + QString::number(app.udp_connections) +
                     QStringLiteral(" [Send:") + FormatKbMb(app.udp_sent) + QStringLiteral(",Recv:") +
                     FormatKbMb(app.udp_recv) + QStringLiteral("]"));
    }
}

void printConnectionSummary() {
    std::fflush(stdout);
    QTextStream out(stdout);
    out << "-----tcp connections:" << serverState().tcpTunnels.load()
        << " , udp connections:" << serverState().udpTunnels.load() << " END." << Qt::endl;
}
