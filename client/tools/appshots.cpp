#include "appshots.h"

#include "appcontext.h"
#include "mainwindow.h"
#include "mainwindowaccess.h"
#include "moduleinstall.h"
#include "sharedmemory.h"
#include "ui_mainwindow.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTimer>
#include <QTreeWidgetItem>

#include <cstdio>
#include <memory>

namespace {

bool privateObjects_ = false;

struct ShotServer {
    const char* tag;
    const char* country;
    const char* city;
    const char* ip;
    int strength;
    int replyMs;  // -1: no answer
    int connections;
    bool keyed;  // a relay with a key: the row shows the lock
};

const ShotServer kServers[] = {
    {"NL", "Netherlands", "Amsterdam", "203.0.113.24", 90, 38, 212, true},
    {"DE", "Germany", "Frankfurt", "203.0.113.51", 85, 61, 187, true},
    {"US", "United States", "New York", "198.51.100.17", 80, 142, 356, false},
    {"US", "United States", "Los Angeles", "198.51.100.90", 70, 188, 298, false},
    {"GB", "United Kingdom", "London", "203.0.113.77", 75, 54, 240, true},
    {"JP", "Japan", "Tokyo", "198.51.100.133", 60, 251, 96, false},
    {"SG", "Singapore", "Singapore", "192.0.2.45", 55, 232, 71, false},
    {"CA", "Canada", "Toronto", "192.0.2.112", 65, -1, 0, false},
    {"SE", "Sweden", "Stockholm", "203.0.113.140", 80, 47, 133, false},
};

void prepareWorld() {
    static std::unique_ptr<QTemporaryDir> root;
    if (root) return;
    root.reset(new QTemporaryDir);
    const QString base = root->path();
    QDir().mkpath(base + QStringLiteral("/share"));
    QDir().mkpath(base + QStringLiteral("/config"));
    qputenv("XDG_DATA_HOME", QFile::encodeName(base + QStringLiteral("/share")));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(base + QStringLiteral("/config")));
    for (const char* name : {"VEILNOX_SERVERLIST_URL", "VEILNOX_SERVERLIST_FALLBACK_URL", "VEILNOX_VERSION_URL",
                             "VEILNOX_VERSION_FALLBACK_URL"})
        qputenv(name, "http://127.0.0.1:1/none");
    AppContext& app = appContext();
    app.fill();
    app.debugMode = false;
    QDir().mkpath(app.dataDir + QStringLiteral("/config"));
    app.config.setPath(app.configPath());
    // The module counts as installed and a local server as running: the
    // shots run no script and start no process.
    QDir().mkpath(QFileInfo(ModuleCatalogPath()).path());
    QFile catalog(ModuleCatalogPath());
    if (catalog.open(QIODevice::WriteOnly | QIODevice::Truncate))
        catalog.write(QByteArray(kLspProviderId) + ' ' + QFile::encodeName(QCoreApplication::applicationDirPath()) +
                      "/libveilnox-module.so\n");
    static vnx::RunMutex serverMarker(vnx::kServerRunMutexName);
    serverMarker.create();
}

// The window with the list above, after one probe round.
MainWindow* makeMain() {
    if (!privateObjects_) {
        std::fprintf(stderr,
                     "main window: no private /dev/shm here; not taken so as not to touch the named "
                     "objects of a running Veilnox\n");
        return nullptr;
    }
    prepareWorld();
    // No traffic yet: the status bar shows 0 Kb/s.
    if (vnx::ServerStatus* status = vnx::serverStatus(true)) status->udp_rate = status->tcp_rate = 0;
    auto* window = new MainWindow;
    if (!window->isUsable()) return window;
    MainWindowAccess(*window).ui->countryBox->addItem(QStringLiteral("Any Country"));
    for (const ShotServer& s : kServers) {
        StringMap server;
        server[QStringLiteral("tag")] = QString::fromLatin1(s.tag);
        server[QStringLiteral("country")] = QString::fromLatin1(s.country);
        server[QStringLiteral("city")] = QString::fromLatin1(s.city);
        server[QStringLiteral("ip")] = QString::fromLatin1(s.ip);
        server[QStringLiteral("port")] = QStringLiteral("9200");
        server[QStringLiteral("protocol")] = QStringLiteral("private");
        server[QStringLiteral("strength")] = QString::number(s.strength);
        // A made-up key: only the lock it brings is pictured.
        if (s.keyed) server[QStringLiteral("key")] = QStringLiteral("AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8");
        window->AddServerRow(server);
    }
    for (int i = 0; i < MainWindowAccess(*window).ui->proxyList->topLevelItemCount(); ++i) {
        QTreeWidgetItem* item = MainWindowAccess(*window).ui->proxyList->topLevelItem(i);
        ServerEntry* entry = MainWindow::entryOf(item);
        const ShotServer& s = kServers[i];
        entry->probesSent = 3;
        entry->replies = s.replyMs < 0 ? 0 : 3;
        entry->timeouts = 3 - entry->replies;
        entry->latencyMs = s.replyMs;
        entry->totalConnections = s.connections;
        if (s.replyMs < 0)
            window->SetSignalBar(item, 100, 69);
        else
            window->SetSignalBar(item, 3000, qMax(2200, 3000 - (s.replyMs < 50 ? 0 : s.replyMs)));
        window->UpdateConnectivityText(item);
    }
    window->RestoreLastConnection();
    MainWindowAccess(*window).testTimer->stop();
    return window;
}

}  // namespace

void SetAppShotsPrivateObjects(bool privateObjects) { privateObjects_ = privateObjects; }

QWidget* MakeMainDisconnectedShot() { return makeMain(); }

QWidget* MakeMainConnectedShot() {
    MainWindow* window = makeMain();
    if (!window || !window->isUsable()) return window;
    const ShotServer& s = kServers[1];
    window->ConnectServer(QString::fromLatin1(s.ip), QStringLiteral("9200"), QStringLiteral("private"));
    MainWindowAccess(*window).ui->proxyList->setCurrentItem(MainWindowAccess(*window).ui->proxyList->topLevelItem(1));
    return window;
}
