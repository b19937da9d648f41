#include "logs.h"

#include "platform/system.h"

#include <QCoreApplication>

namespace vnx {

QString runtimeLogPath() {
    QString root = QString::fromUtf8(vnxplat::appDataRoot().c_str());
    return root + QLatin1Char('/') + QCoreApplication::applicationName() + QStringLiteral("/logs/runtimelogs.txt");
}

QString runtimeLogLine(const QDateTime& when, const QString& message) {
    const QDate date = when.date();
    const QTime time = when.time();
    std::tm tmv{};
    tmv.tm_year = date.year() - 1900;
    tmv.tm_mon = date.month() - 1;
    tmv.tm_mday = date.day();
    tmv.tm_hour = time.hour();
    tmv.tm_min = time.minute();
    tmv.tm_sec = time.second();
    return QString::fromLatin1(runtimeLogText(tmv, std::string()).c_str()) + message;
}

void AppendRuntimeLog(const QString& message) {
    if (message.isEmpty()) return;
    writeRuntimeLogTo(runtimeLogPath().toUtf8().toStdString(), message.toLatin1().toStdString());
}

void AppendServerLog(const QString& message) { writeServerLog(message.toLocal8Bit().toStdString()); }

QString LogPrefix() { return QString::fromLatin1(consolePrefix().c_str()); }

void logLine(const QString& message) { writeLogLine(message.toLocal8Bit().toStdString()); }

}  // namespace vnx
