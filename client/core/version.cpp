#include "version.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QStringList>

#include <cstdio>
#include <cstring>
#include <limits>

#ifndef VEILNOX_VERSION
#error "VEILNOX_VERSION (the project version) must be defined by the build"
#endif

QString ProjectVersion() {
    QStringList parts = QString::fromLatin1(VEILNOX_VERSION).split(QLatin1Char('.'));
    QStringList four;
    for (int i = 0; i < 4; ++i)
        four << QString::number(i < parts.size() ? parts[i].toInt() : 0);
    return four.join(QLatin1Char('.'));
}

bool GetFileVersionString(const char* path, char* out) {
    if (!out) return false;
    out[0] = '\0';
    if (!path || !*path || !QCoreApplication::instance()) return false;
    QFileInfo file(QString::fromLocal8Bit(path));
    QFileInfo self(QCoreApplication::applicationFilePath());
    if (!file.exists() || file.canonicalFilePath() != self.canonicalFilePath()) return false;
    QByteArray text = ProjectVersion().toLatin1();
    std::snprintf(out, kVersionBufferSize, "%s", text.constData());
    return true;
}

QString GetAppVersion() {
    if (!QCoreApplication::instance()) return QString();
    char buffer[kVersionBufferSize];
    QByteArray self = QCoreApplication::applicationFilePath().toLocal8Bit();
    if (!GetFileVersionString(self.constData(), buffer)) return QString();
    return QString::fromLatin1(buffer);
}

int VersionToNumber(const QString& text) {
    QString clean = text.toLower().trimmed();
    if (clean.isEmpty()) return 0;
    const QStringList parts = clean.split(QLatin1Char('.'), Qt::KeepEmptyParts);
    static const long long kWeights[4] = {1000, 100, 10, 1};
    long long sum = 0;
    for (int i = 0; i < 4 && i < parts.size(); ++i) {
        bool ok = false;
        long long part = parts[i].toLongLong(&ok, 10);
        if (!ok) part = 0;
        // Keep every step inside 64 bits: a part beyond the int range
        // saturates the result anyway.
        if (part > std::numeric_limits<int>::max()) part = std::numeric_limits<int>::max();
        if (part < std::numeric_limits<int>::min()) part = std::numeric_limits<int>::min();
        sum += part * kWeights[i];
    }
    if (sum > std::numeric_limits<int>::max()) return std::numeric_limits<int>::max();
    if (sum < std::numeric_limits<int>::min()) return std::numeric_limits<int>::min();
    return static_cast<int>(sum);
}

bool IsNewerVersion(const QString& candidate, const QString& running) {
    return candidate.size() > 1 && VersionToNumber(running) / 100 < VersionToNumber(candidate) / 100;
}
