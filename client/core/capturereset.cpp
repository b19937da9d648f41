#include "capturereset.h"

#include <QFile>
#include <QStringList>

namespace {
// A report is two numbers on one line; anything longer is not one.
constexpr qint64 kMaxReportBytes = 64;

bool parseCount(const QString& text, qint64& value) {
    // Digits only: no sign, no blanks, no base prefixes.
    if (text.isEmpty() || text.size() > 18) return false;
    for (const QChar c : text)
        if (c < QLatin1Char('0') || c > QLatin1Char('9')) return false;
    bool ok = false;
    value = text.toLongLong(&ok);
    return ok;
}
}  // namespace

bool ReadCaptureReset(const QString& path, CaptureReset& report) {
    if (path.isEmpty()) return false;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return false;
    const QByteArray bytes = file.read(kMaxReportBytes + 1);
    if (bytes.size() > kMaxReportBytes) return false;
    QString text = QString::fromLatin1(bytes);
    if (text.endsWith(QLatin1Char('\n'))) text.chop(1);
    if (text.contains(QLatin1Char('\n'))) return false;
    const QStringList fields = text.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    CaptureReset read;
    if (fields.size() != 2 || !parseCount(fields[0], read.count) || !parseCount(fields[1], read.seconds)) return false;
    report = read;
    return true;
}

QString CaptureResetText(qint64 count) {
    if (count == 1)
        return QStringLiteral("1 connection opened before Connect was reset so that it reconnects through the proxy.");
    return QStringLiteral("%1 connections opened before Connect were reset so that they reconnect through the proxy.")
        .arg(count);
}

QString CaptureResetWatch::poll(const QString& path) {
    CaptureReset report;
    if (!ReadCaptureReset(path, report) || report.seconds <= shownUntil_) return QString();
    shownUntil_ = report.seconds;
    return report.count > 0 ? CaptureResetText(report.count) : QString();
}
