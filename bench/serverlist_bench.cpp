// How long a downloaded server list takes to show in the real main window:
// from the end of its download to the rows being built and painted. The list
// is served by a small HTTP server on 127.0.0.1 inside this process; the
// window runs on the offscreen platform. Prints one table row per size.
#include "appcontext.h"
#include "clientapp.h"
#include "mainwindow.h"
#include "mainwindowaccess.h"
#include "messages.h"
#include "moduleinstall.h"
#include "ui_mainwindow.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>

namespace {

QByteArray listOf(int count) {
    QByteArray xml = "<Array>\n";
    for (int i = 0; i < count; ++i) {
        xml += "<Element><ip>10." + QByteArray::number(i / 250) + "." + QByteArray::number(i % 250) +
               ".1</ip><port>443</port><protocol>private</protocol><country>Country" + QByteArray::number(i % 40) +
               "</country><city>City " + QByteArray::number(i) + "</city><tag>C" + QByteArray::number(i % 40) +
               "</tag><strength>" + QByteArray::number(i % 101) + "</strength></Element>\n";
    }
    return xml + "</Array>\n";
}

// Answers every request with `body`.
class ListServer : public QTcpServer {
public:
    QByteArray body;
    ListServer() {
        connect(this, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = nextPendingConnection()) {
                connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
                    if (!socket->readAll().contains("\r\n\r\n")) return;
                    socket->write("HTTP/1.1 200 OK\r\nContent-Length: " + QByteArray::number(body.size()) +
                                  "\r\nConnection: close\r\n\r\n" + body);
                    socket->disconnectFromHost();
                });
                connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            }
        });
    }
};

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QTemporaryDir home;
    setenv("XDG_DATA_HOME", QFile::encodeName(home.path() + "/share").constData(), 1);
    setenv("XDG_CONFIG_HOME", QFile::encodeName(home.path() + "/config").constData(), 1);
    QApplication app(argc, argv);
    app.setApplicationName("Veilnox");
    QDir::setCurrent(app.applicationDirPath());
    SetMessageBoxHook([](MessageKind, const QString&, const QString&) { return true; });
    ApplyStyleSheetFile(app, "data/common.qss");  // as the client does at start-up

    ListServer server;
    if (!server.listen(QHostAddress("127.0.0.1"), 0)) return 1;
    const QByteArray url = "http://127.0.0.1:" + QByteArray::number(server.serverPort()) + "/list.xml";
    qputenv("VEILNOX_SERVERLIST_URL", url);
    qputenv("VEILNOX_SERVERLIST_FALLBACK_URL", url);

    AppContext& context = appContext();
    context.fill();
    QDir().mkpath(context.dataDir + "/config");
    context.config.setPath(context.configPath());
    MainWindow window;
    window.show();
    app.processEvents();

    std::printf("%8s %10s %10s %10s %10s\n", "servers", "parse ms", "rows ms", "paint ms", "shown ms");
    const int sizes[] = {100, 1000, 2000, 5000, 10000};
    for (int count : sizes) {
        server.body = listOf(count);
        for (int round = 0; round < 3; ++round) {
            window.UpdateServerList();
            QElapsedTimer paint;
            paint.start();
            MainWindowAccess(window).ui->proxyList->viewport()->repaint();
            app.processEvents();
            const qint64 paintMs = paint.elapsed();
            const auto& t = window.listTimings();
            if (MainWindowAccess(window).ui->proxyList->topLevelItemCount() != count) {
                std::fprintf(stderr, "expected %d rows, got %d\n", count,
                             MainWindowAccess(window).ui->proxyList->topLevelItemCount());
                return 1;
            }
            std::printf("%8d %10lld %10lld %10lld %10lld\n", count, static_cast<long long>(t.parseMs),
                        static_cast<long long>(t.rowsMs), static_cast<long long>(paintMs),
                        static_cast<long long>(t.parseMs + t.rowsMs + paintMs));
            std::fflush(stdout);
        }
    }
    window.shutdownForExit();
    return 0;
}
