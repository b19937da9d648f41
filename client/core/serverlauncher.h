#pragma once
// Starts the local server `veilnoxsvr` hidden ("hide") from the program
// folder and tells whether one is running (its run mutex "veilnoxsvrrun" is
// held). The launch bookkeeping of the crash watchdog lives here too; the
// decision to launch and the crash message are MainWindow::StartServer's.
// GUI thread only.
#include "launchbookkeeping.h"

#include <QList>
#include <QString>

// The crash message for a server that had to be launched 11 times within 20
// minutes: the status code from server_status, its description (with the
// port for codes 1 and 11) and the support address.
QString ServerCrashMessage(int status, int tcpPort, int udpPort, const QString& supportAddress);

// True for the statuses of a server that ended because it could not bind
// its port (kStatusTcpBind, kStatusUdpBind): another program holds it, and
// launching the server again cannot help until that program lets it go.
bool IsPortBindStatus(int status);

// True when a TCP listener of another program holds 127.0.0.1 `port`, so
// that a local server started now could not bind it. Asked only while no
// local server of ours runs (ours would hold the port itself).
bool TcpPortHeldByAnotherProgram(quint16 port);

// True when a local server started now could not take the programs'
// traffic because another program holds its TCP port `port`. Never while
// the kernel capture service runs: the server then listens on a free port
// that the hooks divert this user's programs to.
bool LocalServerPortBlocked(quint16 port);

class ServerLauncher {
public:
    ServerLauncher();

    // True while a local server holds its run mutex.
    bool serverRunning() const;

    // Starts `program` with the argument "hide", detached, in the current
    // folder, its standard input null and its standard output discarded
    // (its console is hidden). The result is not checked by the watchdog
    // (the next tick tries again); it is returned for the log and the tests.
    bool launch();

    // The program started by launch(): the program folder followed by
    // "/veilnoxsvr" by default.
    const QString& program() const { return program_; }
    void setProgram(const QString& program) { program_ = program; }

    // Process ids of the servers this launcher started (tests end them).
    const QList<qint64>& launchedPids() const { return pids_; }

    LaunchBookkeeping& bookkeeping() { return bookkeeping_; }

private:
    QString program_;
    QList<qint64> pids_;
    LaunchBookkeeping bookkeeping_;
};
