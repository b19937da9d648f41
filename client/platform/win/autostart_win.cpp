// Windows: the per-user Run key, read and written as native settings.
#include "autostart.h"

#include <QCoreApplication>
#include <QSettings>

namespace {
const char* kRunKey = "HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Run";
}

QString AutostartLocation(const QString& name) { return QString::fromLatin1(kRunKey) + QLatin1Char('\\') + name; }

QString ReadAutostartValue(const QString& name, const QString& missing) {
    if (name.isEmpty()) return missing;
    QSettings run(QString::fromLatin1(kRunKey), QSettings::NativeFormat);
    return run.value(name, missing).toString();
}

bool IsAutostartEnabled(const QString& name) {
    if (name.isEmpty()) return false;
    static const QString kNoValue = QStringLiteral("NoVal");
    return ReadAutostartValue(name, kNoValue) != kNoValue;
}

bool EnableAutostart(const QString& name, const QString& path) {
    if (name.isEmpty()) return false;
    QString program = path.isEmpty() ? QCoreApplication::applicationFilePath() : path;
    program.replace(QLatin1Char('/'), QLatin1Char('\\'));
    QSettings run(QString::fromLatin1(kRunKey), QSettings::NativeFormat);
    run.setValue(name, program);
    run.sync();
    return run.status() == QSettings::NoError;
}

bool DisableAutostart(const QString& name) {
    if (name.isEmpty()) return false;
    QSettings run(QString::fromLatin1(kRunKey), QSettings::NativeFormat);
    run.remove(name);
    run.sync();
    return run.status() == QSettings::NoError;
}
