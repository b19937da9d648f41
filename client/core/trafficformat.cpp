#include "trafficformat.h"

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

QString TrafficLine(const QString& speed, int appCount) {
    return QStringLiteral("%1, %2 Apps").arg(speed).arg(appCount);
}
