#include "clientapp.h"

#include "appcontext.h"
#include "apphelpers.h"
#include "csplashwnd.h"
#include "desktop.h"
#include "endpoints.h"
#include "logs.h"
#include "mainwindow.h"
#include "platformdefaults.h"
#include "records.h"
#include "sharedmemory.h"
#include "singleinstance.h"
#include "terminationwatcher.h"
#include "updatechecker.h"
#include "version.h"
#include "widgethelpers.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QIcon>

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

QtMessageHandler gPreviousHandler = nullptr;

// Active only while the application object connects to the window system:
// Qt ends the process with a fatal message when no platform plugin can be
// initialised; the user gets a plain explanation and a non-zero exit code
// instead of an abort.
void startupMessageHandler(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (type == QtFatalMsg) {
        std::fprintf(stderr,
                     "Veilnox cannot start: the display server could not be opened.\n"
                     "Start Veilnox from a graphical desktop session.\n(%s)\n",
                     message.toLocal8Bit().constData());
        std::fflush(stderr);
        std::_Exit(1);
    }
    if (gPreviousHandler) gPreviousHandler(type, context, message);
}

// A running first instance woke up and answered: this start ends.
bool WokeRunningInstance() {
    if (!vnx::RunMutex(vnx::kClientRunMutexName).exists()) return false;
    vnx::SharedMemory block(vnx::kProxyDataName, vnx::kProxyDataSize, false);
    auto* data = static_cast<vnx::ProxyData*>(block.view());
    if (!data || data->client_window == 0) return false;
    return SendWakeUp(WakeSocketName()) == 2;
}

}  // namespace

int AnswerInformationalOption(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const QByteArray arg(argv[i]);
        if (arg == "--version" || arg == "-v") {
            std::printf("veilnox %s\n", ProjectVersion().toLatin1().constData());
            return 0;
        }
        if (arg == "--help" || arg == "-h") {
            std::printf(
                "Usage: veilnox [--help] [--version] [Qt options]\n"
                "The Veilnox desktop client: pick a proxy server, connect, and the programs you chose\n"
                "send their traffic through it (started any way while the veilnox-capture service\n"
                "runs, otherwise started with veilnox-run). It needs a graphical session.\n"
                "\n"
                "  --help     print this text and exit\n"
                "  --version  print the version and exit\n"
                "\n"
                "Server lists are read from data/config/proxys.xml in the program folder, else from\n"
                "$XDG_DATA_HOME/Veilnox/data/config/proxys.xml, and downloaded from\n"
                "VEILNOX_SERVERLIST_URL (then VEILNOX_SERVERLIST_FALLBACK_URL). See veilnox(1).\n");
            return 0;
        }
    }
    return -1;
}

bool DisplayAvailable(int argc, char** argv, QString* why) {
    for (int i = 1; i < argc; ++i) {
        const QByteArray arg(argv[i]);
        if (arg == "-platform" || arg == "--platform" || arg.startsWith("-platform=")) return true;
    }
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM").trimmed();
    const bool windowSystem = platform.isEmpty() || platform.startsWith("xcb") || platform.startsWith("wayland");
    if (!windowSystem) return true;
    if (!qgetenv("DISPLAY").isEmpty() || !qgetenv("WAYLAND_DISPLAY").isEmpty()) return true;
    if (why)
        *why = QStringLiteral(
            "Veilnox cannot start: no display server was found (neither DISPLAY nor WAYLAND_DISPLAY is set).\n"
            "Start Veilnox from a graphical desktop session.");
    return false;
}

bool SeedRulesFile(const QString& rulesPath, const QString& defaultRulesPath) {
    MakeParentPath(rulesPath);
    if (QFileInfo::exists(rulesPath)) return true;
    if (QFile::copy(defaultRulesPath, rulesPath)) {
        // The default may be installed read-only; the user's copy is theirs to edit.
        QFile::setPermissions(rulesPath, QFile::permissions(rulesPath) | QFileDevice::WriteOwner);
        return true;
    }
    vnx::AppendRuntimeLog(QStringLiteral("Generate rules.txt failed."));
    return false;
}

void ApplyStyleSheetFile(QApplication& app, const QString& qssPath) {
    const QString sheet = ReadTextFile(qssPath);
    if (!sheet.isEmpty()) app.setStyleSheet(sheet + app.styleSheet());
}

int RunClient(int argc, char** argv) {
    // Answered before any window system connection: a package check or a
    // user at a console gets them without a display.
    const int informational = AnswerInformationalOption(argc, argv);
    if (informational >= 0) return informational;

    QString why;
    if (!DisplayAvailable(argc, argv, &why)) {
        std::fprintf(stderr, "%s\n", why.toLocal8Bit().constData());
        return 1;
    }

    gPreviousHandler = qInstallMessageHandler(startupMessageHandler);
    QApplication app(argc, argv);
    qInstallMessageHandler(gPreviousHandler);
    app.setApplicationName(Endpoints::applicationName());
    // The window decides when the program ends (see MainWindow::closed):
    // a message box closed while the window sits in the tray must not.
    app.setQuitOnLastWindowClosed(false);

    if (!QFileInfo::exists(QStringLiteral("data/images/splash.png"))) QDir::setCurrent(app.applicationDirPath());
    app.setWindowIcon(QIcon(QStringLiteral("data/images/icon.png")));

    if (WokeRunningInstance()) return -1;
    vnx::RunMutex runMutex(vnx::kClientRunMutexName);
    runMutex.create();
    WakeServer wakeServer;
    wakeServer.listen(WakeSocketName());

    // Set once the window closed or the system asked the program to end.
    // Either may happen during start-up, inside the nested event processing
    // of the list download or of a message box, before the event loop runs:
    // a quit() then would be lost, so each step below checks the flag and
    // the event loop is not entered at all.
    bool ending = false;
    MainWindow* window = nullptr;
    TerminationWatcher watcher;
    QObject::connect(&watcher, &TerminationWatcher::terminationRequested, &app, [&] {
        ending = true;
        if (window) window->shutdownForExit();
        app.quit();
    });
    watcher.install();

    AppContext& context = appContext();
    context.fill();
    SeedRulesFile(context.rulesPath(), DefaultRulesFile());
    MakeParentPath(context.configPath());
    context.config.setPath(context.configPath());
    auto checker = std::make_unique<UpdateChecker>();
    context.updateChecker = checker.get();

    // The style sheet takes its colours from the palette: a dark desktop
    // that Qt's palette does not follow gets the dark one first.
    if (DesktopPrefersDark() && !IsDarkPalette(app.palette())) app.setPalette(DarkPalette());
    ApplyStyleSheetFile(app, QStringLiteral("data/common.qss"));

    auto splash = std::make_unique<CSplashWnd>(nullptr, context.homepageUrl);
    splash->show();
    app.processEvents();

    auto mainWindow = std::make_unique<MainWindow>();
    if (!mainWindow->isUsable()) return 1;
    window = mainWindow.get();
    context.mainWindow = window;
    wakeServer.setHandler([window] { return window->wakeUp(); });
    QObject::connect(window, &MainWindow::closed, &app, [&] {
        ending = true;
        app.quit();
    });

    window->show();
    window->StartServer();
    app.processEvents();
    // Where the list may come in the background, the window is usable at
    // once: the splash goes now rather than over what follows.
    if (ServerListDownloadInBackground()) splash->finish(window);
    if (!ending) window->UpdateServerList();
    if (!ending) window->RestoreLastConnection();

    splash->finish(window);
    app.processEvents();
    app.processEvents();
    if (!ending) checker->start();

    int code = ending ? 0 : app.exec();
    wakeServer.setHandler(nullptr);
    context.mainWindow = nullptr;
    mainWindow.reset();
    splash.reset();
    context.updateChecker = nullptr;
    return code;
}
