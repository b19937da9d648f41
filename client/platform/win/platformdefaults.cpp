#include "platformdefaults.h"

#include "serverlauncher.h"

bool RedirectUdpByDefault() { return false; }

QString CaptureResetFile() { return QString(); }

QString PortHeldMessage(int status, int tcpPort, int udpPort, const QString& supportAddress) {
    return ServerCrashMessage(status, tcpPort, udpPort, supportAddress);
}
