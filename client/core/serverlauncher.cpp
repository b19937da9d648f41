#include "serverlauncher.h"

#include "moduleinstall.h"
#include "records.h"
#include "sharedmemory.h"

#include <QCoreApplication>
#include <QProcess>
#include <QStringList>
#include <QTcpServer>

QString ServerCrashMessage(int status, int tcpPort, int udpPort, const QString& supportAddress) {
    QString text = QStringLiteral("Sorry, Veilnox Local Server crashed with error code:%1. ").arg(status);
    if (status == vnx::kStatusTcpBind)
        text += QStringLiteral(" tcp failed bind to 127.0.0.1 port:") + QString::number(tcpPort);
    else if (status == vnx::kStatusUdpBind)
        text += QStringLiteral(" udp failed bind to 127.0.0.1 port:") + QString::number(udpPort);
    else
        text += QStringLiteral("Unkown Error.");
    text += QStringLiteral(" inernal error: ") + QString::fromLatin1(vnx::serverStatusName(status));
    text += QStringLiteral(" \r\n Please restart your Veilnox. if this issue still exists, please contact us at ");
    text += supportAddress + QStringLiteral(" . thank you very much.");
    return text;
}

bool IsPortBindStatus(int status) { return status == vnx::kStatusTcpBind || status == vnx::kStatusUdpBind; }

bool TcpPortHeldByAnotherProgram(quint16 port) {
    // Binding as the server does (an address in TIME_WAIT does not count):
    // only a port that is in use makes the server's own bind fail.
    QTcpServer probe;
    if (probe.listen(QHostAddress(QHostAddress::LocalHost), port)) return false;
    return probe.serverError() == QAbstractSocket::AddressInUseError;
}

bool LocalServerPortBlocked(quint16 port) { return !IsCaptureActive() && TcpPortHeldByAnotherProgram(port); }

ServerLauncher::ServerLauncher() : program_(QCoreApplication::applicationDirPath() + QStringLiteral("/veilnoxsvr")) {}

bool ServerLauncher::serverRunning() const { return vnx::RunMutex(vnx::kServerRunMutexName).exists(); }

bool ServerLauncher::launch() {
    QProcess process;
    process.setProgram(program_);
    process.setArguments({QStringLiteral("hide")});
    // The server's console is hidden: its per-connection lines go nowhere.
    // Its error output stays with the client's, for real failures. Its
    // console keys are read from a null input: started from a shell, it
    // must not take the lines typed into the user's terminal.
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardOutputFile(QProcess::nullDevice());
    qint64 pid = 0;
    if (!process.startDetached(&pid)) return false;
    pids_.append(pid);
    return true;
}
