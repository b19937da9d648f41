#include "platformdefaults.h"

#include "moduleinstall.h"
#include "platform/capture.h"
#include "records.h"

#include <unistd.h>

bool RedirectUdpByDefault() { return true; }

QString CaptureResetFile() {
    // The service writes it beside its state file (which VEILNOX_CAPTURE_STATE
    // moves for tests and the demonstration).
    const QString state = QString::fromLocal8Bit(vnxplat::captureStateFile());
    if (state.isEmpty()) return QString();
    return state.left(state.lastIndexOf(QLatin1Char('/')) + 1) + QStringLiteral("veilnox-capture.reset.") +
           QString::number(::getuid());
}

QString PortHeldMessage(int status, int tcpPort, int udpPort, const QString&) {
    const bool udp = status == vnx::kStatusUdpBind;
    const int port = udp ? udpPort : tcpPort;
    return QStringLiteral(
               "Veilnox cannot start its local server: another program already uses 127.0.0.1 port %1 "
               "(%2), so nothing can be redirected and Veilnox is not connected. Close that program "
               "(\"ss -lpn sport = :%1\" shows which one it is), then connect again.")
        .arg(port > 0 ? port : vnx::kLocalServerPort)
        .arg(udp ? QStringLiteral("UDP") : QStringLiteral("TCP"));
}

QString RepairReportText(bool moduleInstalled, bool captureRunning, const ModuleScriptsOutcome& outcome) {
    const QString capture = [&] {
        if (captureRunning) return QStringLiteral("The veilnox-capture service runs: every program is redirected.");
        QString reason = outcome.captureWord;
        const QString notStarted = QStringLiteral("not started: ");
        if (reason.startsWith(notStarted)) reason = reason.mid(notStarted.size());
        if (outcome.cancelled && (reason.isEmpty() || outcome.captureWord.isEmpty()))
            reason = QStringLiteral("cancelled");
        else if (reason.isEmpty())
            reason = QStringLiteral("the install script did not start it");
        else if (reason == QLatin1String("started") || reason == QLatin1String("running"))
            reason = QStringLiteral("it stopped again");
        return QStringLiteral(
                   "The veilnox-capture service was not started (%1): only programs started with "
                   "veilnox-run are redirected.")
            .arg(reason);
    }();
    if (moduleInstalled && captureRunning) return QStringLiteral("Install Veilnox Service Success.\n\n") + capture;
    QString module = moduleInstalled
                         ? QStringLiteral("The module for programs started with veilnox-run is installed.")
                         : QStringLiteral("Install LSP module failed, please login as administrator and try again.");
    if (outcome.cancelled) module = QStringLiteral("The repair was cancelled. ") + module;
    return module + QStringLiteral("\n\n") + capture;
}

QString DefaultRulesFile() { return QStringLiteral("data/config/default_rules.txt"); }

bool ServerListDownloadInBackground() { return true; }

bool LogViewerAvailable() { return true; }
