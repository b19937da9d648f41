#include "platformdefaults.h"

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
