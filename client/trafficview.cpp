#include "trafficview.h"

#include <QTreeWidget>
#include <QTreeWidgetItem>

namespace {
// n in units of 1024, 1048576 or 1073741824, followed by the unit's prefix
// letter and `unit` ("B" for bytes, "b" for bits).
QString formatScaled(std::uint64_t n, QChar unit) {
    constexpr std::uint64_t kKB = 1024;
    constexpr std::uint64_t kMB = 1048576;
    constexpr std::uint64_t kGB = 1073741824;
    std::uint64_t divisor = kKB;
    QString prefix = QStringLiteral(" K");
    if (n > kGB) {
        divisor = kGB;
        prefix = QStringLiteral(" G");
    } else if (n > kMB) {
        divisor = kMB;
        prefix = QStringLiteral(" M");
    }
    // Hundredths, cut: n * 100 fits 64 bits for every count the view shows
    // (at most 8 x 2 x 2^32); larger values are divided first.
    const std::uint64_t hundredths = n <= UINT64_MAX / 100 ? n * 100 / divisor : n / divisor * 100;
    return QString::number(static_cast<double>(hundredths) / 100.0, 'g', 6) + prefix + unit;
}
}  // namespace

QString FormatSize(std::uint64_t n) { return formatScaled(n, QLatin1Char('B')); }

QString FormatBits(std::uint64_t bits) { return formatScaled(bits, QLatin1Char('b')); }

QString RateText(std::uint32_t udpRate, std::uint32_t tcpRate) {
    const std::uint64_t bits = 8 * (static_cast<std::uint64_t>(udpRate) + tcpRate);
    return QStringLiteral("%1/s").arg(FormatBits(bits));
}

QMap<QString, vnx::AppStatus> ReadStatusRows(const vnx::ServerStatus& block) {
    QMap<QString, vnx::AppStatus> apps;
    const int count = vnx::clampedAppCount(block);
    for (int i = 0; i < count; ++i) {
        // The server writes the name while the client reads without a lock:
        // copy the entry once so that name and counters come from one read.
        const vnx::AppStatus entry = block.apps[i];
        const std::string name = vnx::entryName(entry);
        apps.insert(QString::fromUtf8(name.data(), static_cast<int>(name.size())), entry);
    }
    return apps;
}

void UpdateAppRow(QTreeWidgetItem* row, const vnx::AppStatus& c) {
    if (!row) return;
    const QString sent = FormatSize(static_cast<std::uint64_t>(c.tcp_sent) + c.udp_sent);
    const QString recv = FormatSize(static_cast<std::uint64_t>(c.tcp_recv) + c.udp_recv);
    const QString rate = RateText(c.udp_rate, c.tcp_rate);
    const QString detail = QStringLiteral("TCP: ") + FormatBits(8 * static_cast<std::uint64_t>(c.tcp_rate)) +
                           QStringLiteral("/s Connects: ") + QString::number(c.tcp_connections) +
                           QStringLiteral(", UDP: ") + FormatBits(8 * static_cast<std::uint64_t>(c.udp_rate)) +
                           QStringLiteral("/s Connects: ") + QString::number(c.udp_connections) +
                           QStringLiteral(" [Send:") + FormatSize(c.udp_sent) + QStringLiteral(",Recv:") +
                           FormatSize(c.udp_recv) + QStringLiteral("]");
    // Unchanged texts are left alone: setText on an equal text still
    // repaints the row every tick.
    const QString texts[4] = {sent, recv, rate, detail};
    for (int column = 1; column <= 4; ++column)
        if (row->text(column) != texts[column - 1]) row->setText(column, texts[column - 1]);
}

int RefreshConnectionList(QTreeWidget* list, QMap<QString, vnx::AppStatus> apps) {
    if (!list) return 0;
    for (int i = 0; i < list->topLevelItemCount();) {
        QTreeWidgetItem* row = list->topLevelItem(i);
        auto it = apps.find(row->text(0));
        if (it == apps.end()) {
            delete list->takeTopLevelItem(i);  // the next row moves into place i
            continue;
        }
        UpdateAppRow(row, it.value());
        apps.erase(it);
        ++i;
    }
    for (auto it = apps.cbegin(); it != apps.cend(); ++it) {
        auto* row = new QTreeWidgetItem(list);
        row->setText(0, it.key());
        UpdateAppRow(row, it.value());
    }
    const int count = list->topLevelItemCount();
    const QString header = QStringLiteral("Program [%1]").arg(count);
    if (list->headerItem()->text(0) != header) list->headerItem()->setText(0, header);
    return count;
}

QString TrafficLine(const QString& speed, int appCount) {
    return QStringLiteral("%1, %2 Apps").arg(speed).arg(appCount);
}
