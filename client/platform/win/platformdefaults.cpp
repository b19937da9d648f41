#include "platformdefaults.h"

#include "serverlauncher.h"

bool RedirectUdpByDefault() { return false; }

QString CaptureResetFile() { return QString(); }

QString PortHeldMessage(int status, int tcpPort, int udpPort, const QString& supportAddress) {
    return ServerCrashMessage(status, tcpPort, udpPort, supportAddress);
}

QString RepairReportText(bool moduleInstalled, bool, const ModuleScriptsOutcome&) {
    return moduleInstalled ? QStringLiteral("Install Veilnox Service Success.")
                           : QStringLiteral("Install LSP module failed, please login as administrator and try again.");
}

QString DefaultRulesFile() { return QStringLiteral("data/config/default_rules_win.txt"); }

bool ServerListDownloadInBackground() { return false; }

bool LogViewerAvailable() { return false; }
