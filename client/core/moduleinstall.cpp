#include "moduleinstall.h"

#include "apphelpers.h"
#include "platform/capture.h"

#include <QFile>
#include <QProcess>
#include <QSysInfo>

QString ModuleCatalogPath() { return GetAppDataDir() + QStringLiteral("/module/catalog"); }

bool IsRunningOnWow64() { return QSysInfo::currentCpuArchitecture().contains(QLatin1String("64")); }

bool IsCaptureActive() { return vnxplat::captureServiceRunning(vnxplat::captureStateFile()); }

QString RedirectModeText() {
    // No kernel capture service where the system's socket layer hosts the
    // module itself: the module reaches every program there.
    if (!*vnxplat::captureStateFile()) return QString();
    if (!IsCaptureActive()) return QStringLiteral("Only programs started with veilnox-run are redirected");
    // A kernel older than 6.7 cannot keep programs from a local resolver
    // daemon, which looks names up from the user's own address.
    if (vnxplat::captureResolversUnguarded(vnxplat::captureStateFile()))
        return QStringLiteral(
            "All programs are redirected; names looked up through a local resolver daemon may "
            "leak (kernel older than 6.7)");
    return QStringLiteral("All programs are redirected");
}

bool IsLspInstalled() {
    if (IsCaptureActive()) return true;
    QFile catalog(ModuleCatalogPath());
    if (!catalog.open(QIODevice::ReadOnly)) return false;
    const QByteArray id(kLspProviderId);
    // A catalog holds a few short lines; anything longer is not ours to read.
    constexpr qint64 kMaxLine = 64 * 1024;
    for (int lines = 0; lines < 100000 && !catalog.atEnd(); ++lines) {
        QByteArray line = catalog.readLine(kMaxLine).trimmed();
        int blank = line.indexOf(' ');
        QByteArray first = blank < 0 ? line : line.left(blank);
        if (first.compare(id, Qt::CaseInsensitive) == 0) return true;
    }
    return false;
}

QString ModuleScriptPath(bool install) {
    return QStringLiteral("bat/veilnox-%1%2.sh")
        .arg(install ? QStringLiteral("install") : QStringLiteral("format"),
             IsRunningOnWow64() ? QStringLiteral("64") : QStringLiteral("32"));
}

bool RunModuleScript(const QString& script, int timeoutMs) {
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    process.start(QStringLiteral("sh"), {script});
    if (!process.waitForStarted(10000)) return false;
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished(5000);
        return false;
    }
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

void RunFormatInstallPair() {
    RunModuleScript(ModuleScriptPath(false));
    RunModuleScript(ModuleScriptPath(true));
}

bool InstallLsp() {
    if (IsLspInstalled()) return true;
    RunFormatInstallPair();
    return IsLspInstalled();
}
