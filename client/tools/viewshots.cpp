#include "viewshots.h"

#include "appcontext.h"
#include "apphelpers.h"
#include "mainwindow.h"
#include "mainwindowaccess.h"
#include "moduleinstall.h"
#include "programdlg.h"
#include "sharedmemory.h"
#include "ui_mainwindow.h"
#include "ui_programdlg.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

bool privateObjects_ = false;

// The per-user world of the shots, made once per run.
void prepareWorld() {
    static std::unique_ptr<QTemporaryDir> root;
    if (root) return;
    root.reset(new QTemporaryDir);
    const QString base = root->path();
    QDir().mkpath(base + QStringLiteral("/share"));
    QDir().mkpath(base + QStringLiteral("/config"));
    qputenv("XDG_DATA_HOME", QFile::encodeName(base + QStringLiteral("/share")));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(base + QStringLiteral("/config")));
    // Never the service: the server list and version checks find nothing.
    for (const char* name : {"VEILNOX_SERVERLIST_URL", "VEILNOX_SERVERLIST_FALLBACK_URL", "VEILNOX_VERSION_URL",
                             "VEILNOX_VERSION_FALLBACK_URL"})
        qputenv(name, "http://127.0.0.1:1/none");

    AppContext& app = appContext();
    app.fill();
    app.debugMode = false;
    QDir().mkpath(app.dataDir + QStringLiteral("/config"));
    app.config.setPath(app.configPath());
    QFile rules(app.rulesPath());
    if (rules.open(QIODevice::WriteOnly | QIODevice::Truncate))
        rules.write(
            "thunderbird\ncurl\ntelegram-desktop\nfirefox-esr\nchromium\nWebKitNetworkProcess\n"
            "epiphany\n");
}

ProgramDlg* makeSettings(int page) {
    prepareWorld();
    static vnx::ProxyData options;
    std::memset(&options, 0, sizeof options);
    options.encrypt_data = 1;
    options.redirect_dns = 1;
    options.redirect_tcp = 1;
    appContext().config.setNumber(QStringLiteral("settingcurrenttab"), page);
    auto* dialog = new ProgramDlg(&options);
    if (page == 1 && dialog->ui->programList->topLevelItemCount() > 1)
        dialog->ui->programList->setCurrentItem(dialog->ui->programList->topLevelItem(1));
    return dialog;
}

vnx::AppStatus app(const char* name, std::uint32_t udpSent, std::uint32_t udpRecv, std::uint32_t udpRate,
                   std::uint32_t udpConnections, std::uint32_t tcpRecv, std::uint32_t tcpSent, std::uint32_t tcpRate,
                   std::uint32_t tcpConnections) {
    vnx::AppStatus e;
    std::memset(&e, 0, sizeof e);
    std::strncpy(e.name, name, sizeof e.name - 1);
    e.udp_sent = udpSent;
    e.udp_recv = udpRecv;
    e.udp_rate = udpRate;
    e.udp_connections = udpConnections;
    e.tcp_recv = tcpRecv;
    e.tcp_sent = tcpSent;
    e.tcp_rate = tcpRate;
    e.tcp_connections = tcpConnections;
    return e;
}

}  // namespace

void SetViewShotsPrivateObjects(bool privateObjects) { privateObjects_ = privateObjects; }

QWidget* MakeSettingsGeneralShot() { return makeSettings(0); }

QWidget* MakeSettingsProgramsShot() { return makeSettings(1); }

QWidget* MakeConnectionsShot() {
    if (!privateObjects_) {
        std::fprintf(stderr,
                     "connections: no private /dev/shm here; not taken so as not to touch the named "
                     "objects of a running Veilnox\n");
        return nullptr;
    }
    prepareWorld();
    // The module counts as installed and the local server as running, so
    // connecting runs no script and the watchdog starts nothing: the rows
    // come from the status block written below.
    QDir().mkpath(QFileInfo(ModuleCatalogPath()).path());
    {
        QFile catalog(ModuleCatalogPath());
        if (catalog.open(QIODevice::WriteOnly | QIODevice::Truncate))
            catalog.write(QByteArray(kLspProviderId) + ' ' + QFile::encodeName(QCoreApplication::applicationDirPath()) +
                          "/libveilnox-module.so\n");
    }
    static vnx::RunMutex serverMarker("veilnoxsvrrun");
    serverMarker.create();

    auto* window = new MainWindow;
    if (!window->isUsable()) return window;
    StringMap server;
    server[QStringLiteral("ip")] = QStringLiteral("203.0.113.24");
    server[QStringLiteral("port")] = QStringLiteral("9200");
    server[QStringLiteral("protocol")] = QStringLiteral("private");
    server[QStringLiteral("country")] = QStringLiteral("Netherlands");
    server[QStringLiteral("city")] = QStringLiteral("Amsterdam");
    server[QStringLiteral("tag")] = QStringLiteral("NL");
    server[QStringLiteral("strength")] = QStringLiteral("90");
    window->AddServerRow(server);
    window->ConnectServer(server.value(QStringLiteral("ip")), server.value(QStringLiteral("port")),
                          server.value(QStringLiteral("protocol")));

    vnx::ServerStatus* status = vnx::serverStatus(true);
    if (status) {
        const vnx::AppStatus apps[] = {
            app("firefox-esr", 18432, 40960, 0, 2, 48234496, 2411724, 463872, 14),
            app("thunderbird", 0, 0, 0, 0, 3355443, 524288, 2048, 3),
            app("telegram-desktop", 920, 1450, 128, 1, 9437184, 1153433, 84480, 2),
            app("curl", 0, 0, 0, 0, 734003, 912, 0, 0),
            app("steam", 1572864, 6291456, 98304, 4, 157286400, 5242880, 1258291, 9),
        };
        std::memset(status, 0, sizeof *status);
        int n = 0;
        for (const vnx::AppStatus& a : apps) {
            status->apps[n++] = a;
            status->udp_rate += a.udp_rate;
            status->tcp_rate += a.tcp_rate;
        }
        status->app_count = n;
    }
    MainWindowAccess(*window).ui->tabMain->setCurrentIndex(1);  // runs the traffic tick
    window->OnSpeedTimer();
    if (MainWindowAccess(*window).ui->connectionList->topLevelItemCount() > 0)
        MainWindowAccess(*window).ui->connectionList->setCurrentItem(
            MainWindowAccess(*window).ui->connectionList->topLevelItem(0));
    return window;
}
