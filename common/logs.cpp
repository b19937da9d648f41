#include "logs.h"

#include "platform/system.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QLocale>

#include <atomic>
#include <cstdio>
#include <ctime>
#include <memory>

namespace vnx {

namespace {
std::unique_ptr<QTextStream>& streamHolder() {
    static std::unique_ptr<QTextStream> stream;
    return stream;
}
std::atomic<std::uint32_t> logCounter{0};
// A sink for the silenced console stream: everything written is dropped
// without a warning per line on stderr.
class DiscardDevice : public QIODevice {
protected:
    qint64 readData(char*, qint64) override { return -1; }
    qint64 writeData(const char*, qint64 len) override { return len; }
};
QIODevice* nullDevice() {
    static QIODevice* device = [] {
        auto* d = new DiscardDevice();
        d->open(QIODevice::WriteOnly);
        return d;
    }();
    return device;
}
}  // namespace

QString runtimeLogPath() {
    QString root = QString::fromLocal8Bit(vnxplat::appDataRoot().c_str());
    return root + QLatin1Char('/') + QCoreApplication::applicationName() + QStringLiteral("/logs/runtimelogs.txt");
}

QString runtimeLogLine(const QDateTime& when, const QString& message) {
    // QDateTime::toString(format) follows the system locale in Qt 5 (its
    // digits included); the log's stamp is fixed.
    return QLocale::c().toString(when, QStringLiteral("yyyy.dd.MM-hh:mm:ss")) + QStringLiteral(">>: ") + message;
}

void AppendRuntimeLog(const QString& message) {
    if (message.isEmpty()) return;
    QString path = runtimeLogPath();
    QString dirPath = QString(path).replace(QLatin1Char('\\'), QLatin1Char('/'));
    int cut = dirPath.lastIndexOf(QLatin1Char('/'));
    if (cut > 0) QDir().mkpath(dirPath.left(cut));
    QFile file(path);
    if (!file.open(QIODevice::Append | QIODevice::Text)) return;
    QString line = runtimeLogLine(QDateTime::currentDateTime(), message) + QStringLiteral("\r\n");
    // Text mode does not translate on Linux; the line carries its own CR LF.
    file.write(line.toLatin1());
    file.close();
}

void AppendServerLog(const QString& message) {
    std::time_t now = std::time(nullptr);
    std::tm tmv;
#if defined(_WIN32)
    localtime_s(&tmv, &now);
#else
    localtime_r(&now, &tmv);
#endif
    // The English names, whatever the process locale (strftime would follow
    // LC_TIME, which QCoreApplication takes from the environment).
    static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%s %s %02d %02d:%02d:%02d %d", kDays[(tmv.tm_wday % 7 + 7) % 7],
                  kMonths[(tmv.tm_mon % 12 + 12) % 12], tmv.tm_mday, tmv.tm_hour, tmv.tm_min, tmv.tm_sec,
                  tmv.tm_year + 1900);
    QByteArray entry = QByteArray(stamp) + "\r\n: " + message.toLocal8Bit() + "\r\n";
    FILE* f = std::fopen("./ipserverlog.txt", "ab");
    if (!f) return;
    std::fwrite(entry.constData(), 1, static_cast<std::size_t>(entry.size()), f);
    std::fclose(f);
}

QTextStream& logStream() {
    auto& s = streamHolder();
    if (!s) s.reset(new QTextStream(stdout, QIODevice::ReadWrite));
    return *s;
}

QString LogPrefix() {
    logStream();
    std::uint32_t n = logCounter.fetch_add(1);
    return QStringLiteral("%1[%2]>> ")
        .arg(QLocale::c().toString(QTime::currentTime(), QStringLiteral("hh:mm:ss")))
        .arg(n);
}

void setLogTarget(FILE* file) {
    auto& s = streamHolder();
    if (file)
        s.reset(new QTextStream(file, QIODevice::ReadWrite));
    else
        s.reset(new QTextStream(nullDevice()));
}

void logLine(const QString& message) {
    QTextStream& s = logStream();
    s << LogPrefix() << message << Qt::endl;
}

}  // namespace vnx
