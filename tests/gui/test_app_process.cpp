// The real programs as processes: veilnox on an empty data folder, a second
// start, a start without a display, the end on SIGTERM; the real veilnoxsvr
// relaunched by the watchdog; the module scripts of bat/ and their catalog.
#include "appcontext.h"
#include "localservers.h"
#include "mainwindow.h"
#include "mainwindowaccess.h"
#include "moduleactions.h"
#include "qt/clientworld.h"
#include "qt/httpserver.h"
#include "records.h"
#include "sharedmemory.h"
#include "ui_mainwindow.h"
#include "version.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLibraryInfo>
#include <QLocalSocket>
#include <QProcess>
#include <QProcessEnvironment>
#include <QProgressDialog>
#include <QPushButton>
#include <QRegularExpression>
#include <QSet>
#include <QStandardPaths>
#include <QTimer>

#include <unistd.h>

#include <csignal>
#include <memory>

using vnxtest::HttpServer;
using vnxtest::listXml;
using vnxtest::MessageRecorder;
using vnxtest::server;

namespace {

QString program(const char* name) { return vnxtest::binDir() + "/" + name; }

// client_window of the proxy data block, 0 when there is no block.
std::uint32_t clientWindow() {
    vnx::SharedMemory block(vnx::kProxyDataName, vnx::kProxyDataSize, false);
    auto* data = static_cast<vnx::ProxyData*>(block.view());
    return data ? data->client_window : 0;
}

bool serverRunning() { return vnx::RunMutex(vnx::kServerRunMutexName).exists(); }

// Ends the local servers a test caused to be started that are still alive
// (they normally leave by themselves once client_window is 0).
void endServers(const QList<qint64>& pids) {
    vnxtest::waitFor([] { return !serverRunning(); }, 5000);
    for (qint64 pid : pids) {
        QFile cmdline(QString("/proc/%1/cmdline").arg(pid));
        if (cmdline.open(QIODevice::ReadOnly) && cmdline.readAll().contains("veilnoxsvr"))
            ::kill(static_cast<pid_t>(pid), SIGKILL);
    }
}

// The pid of a running local server started in this test's namespaces (by
// this test or by a client it started), 0 when none. Other tests' servers
// share /proc but not the mount namespace.
qint64 runningServerPid() {
    const QString ownNamespace = QFileInfo("/proc/self/ns/mnt").symLinkTarget();
    const QStringList entries = QDir("/proc").entryList(QDir::Dirs);
    for (const QString& entry : entries) {
        bool ok = false;
        qint64 pid = entry.toLongLong(&ok);
        if (!ok) continue;
        if (!QFileInfo(QString("/proc/%1/exe").arg(pid)).symLinkTarget().endsWith("/veilnoxsvr")) continue;
        if (QFileInfo(QString("/proc/%1/ns/mnt").arg(pid)).symLinkTarget() == ownNamespace) return pid;
    }
    return 0;
}

// Waits for a process while this test's event loop (and so its HTTP server)
// keeps running.
bool waitFinished(QProcess& p, int ms) {
    return vnxtest::waitFor([&] { return p.state() == QProcess::NotRunning; }, ms);
}

class Process : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(http.start());
        world.useServerList(http.url("/list.xml"), http.url("/fallback.xml"));
        http.setRoute("/list.xml", {200, listXml({server("10.1.1.1", "1", "Germany")}), false});
    }
    void TearDown() override {
        for (auto& p : clients) {
            if (p->state() != QProcess::NotRunning) {
                p->terminate();
                if (!p->waitForFinished(10000)) p->kill();
                p->waitForFinished(5000);
            }
        }
        qint64 pid = 0;
        QList<qint64> servers;
        if ((pid = runningServerPid()) != 0) servers << pid;
        endServers(servers);
    }

    QProcess& startClient(QProcessEnvironment env = QProcessEnvironment::systemEnvironment()) {
        // Under AddressSanitizer: Qt 5.15's offscreen platform plugin leaves
        // its screen objects behind when the application object goes, which
        // LeakSanitizer reports at the client's exit. Leaks of our own code
        // are caught by the in-process window tests.
        if (env.contains("ASAN_OPTIONS")) env.insert("ASAN_OPTIONS", env.value("ASAN_OPTIONS") + ":detect_leaks=0");
        clients.emplace_back(new QProcess);
        QProcess& p = *clients.back();
        p.setProcessEnvironment(env);
        p.setWorkingDirectory(world.root());  // the client switches to its own folder
        p.start(program("veilnox"), QStringList());
        return p;
    }
    // The client is up when it has published its window handle.
    bool waitReady(QProcess& p) {
        return vnxtest::waitFor([&] { return p.state() == QProcess::NotRunning || clientWindow() != 0; }, 20000) &&
               p.state() == QProcess::Running;
    }

    vnxtest::ClientWorld world;
    HttpServer http;
    std::vector<std::unique_ptr<QProcess>> clients;
};

}  // namespace

TEST_F(Process, AFirstStartOnAnEmptyDataFolderSeedsTheRulesAndWritesNoSettings) {
    QProcess& client = startClient();
    ASSERT_TRUE(waitReady(client)) << client.readAllStandardError().toStdString();
    ASSERT_TRUE(vnxtest::waitFor([&] { return QFile::exists(world.rulesFile()); }));
    QFile seeded(world.rulesFile());
    QFile defaults(vnxtest::binDir() + "/data/config/default_rules.txt");
    ASSERT_TRUE(seeded.open(QIODevice::ReadOnly));
    if (defaults.open(QIODevice::ReadOnly)) {
        EXPECT_EQ(seeded.readAll(), defaults.readAll());
    }
    // The list was fetched (the start-up sequence reached the server list).
    ASSERT_TRUE(vnxtest::waitFor([&] { return http.requests.contains("/list.xml"); }));
    vnxtest::waitFor([] { return false; }, 300);
    EXPECT_FALSE(QFile::exists(world.configFile()));

    // SIGTERM ends it like a closed window: client_window 0, exit code 0.
    client.terminate();
    ASSERT_TRUE(waitFinished(client, 15000));
    EXPECT_EQ(client.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(client.exitCode(), 0);
    EXPECT_EQ(clientWindow(), 0u);
    EXPECT_FALSE(QFile::exists(world.configFile()));
}

namespace {

// One automation command (see client/ui/automation.h) and its one-line answer;
// empty when the client does not answer within `ms`.
QByteArray automate(const QString& socketPath, const QByteArray& line, int ms = 10000) {
    QLocalSocket socket;
    socket.connectToServer(socketPath);
    if (!socket.waitForConnected(ms)) return QByteArray();
    socket.write(line + "\n");
    socket.flush();
    vnxtest::waitFor([&] { return socket.canReadLine() || socket.state() != QLocalSocket::ConnectedState; }, ms);
    return socket.canReadLine() ? socket.readLine().trimmed() : QByteArray();
}

QProcessEnvironment automationEnv(const QString& socketPath) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("VEILNOX_AUTOMATION_SOCKET", socketPath);
    return env;
}

// The files a document names under "~/.local/share/": the README's table of
// settings and logs (rows named in `rows`) or the man page's FILES section.
QStringList documentedPaths(const QString& file, const QStringList& rows) {
    QFile doc(QString::fromUtf8(VNX_SOURCE_DIR) + "/" + file);
    if (!doc.open(QIODevice::ReadOnly)) return {};
    QStringList paths;
    const QRegularExpression tableRow("^\\|\\s*([^|]+?)\\s*\\|\\s*`(~/\\.local/share/[^`]+)`");
    const QRegularExpression manEntry("^\\.I (~/\\.local/share/\\S+)");
    for (const QByteArray& raw : doc.readAll().split('\n')) {
        const QString line = QString::fromUtf8(raw);
        QRegularExpressionMatch m = tableRow.match(line);
        if (m.hasMatch() && rows.contains(m.captured(1))) paths << m.captured(2);
        m = manEntry.match(line);
        // The local server list is read, never written, by the client.
        if (m.hasMatch() && rows.isEmpty() && !m.captured(1).endsWith("proxys.xml")) paths << m.captured(1);
    }
    return paths;
}

}  // namespace

// Closing while "Updating Server List..." shows (close box, tray Quit) ends
// the process: nothing is connected and no local server is kept alive for a
// window that is gone.
TEST_F(Process, ClosingDuringTheStartUpDownloadEndsTheProcess) {
    HttpServer::Route hang;
    hang.hang = true;
    http.setRoute("/list.xml", hang);
    http.setRoute("/fallback.xml", hang);
    world.installModule();
    world.writeSettings(
        "<Vars><ipconnected>10.1.1.1</ipconnected><portconnected>1</portconnected>"
        "<protocolconnected>private</protocolconnected></Vars>");
    const QString socketPath = world.root() + "/automation.sock";
    QProcess& client = startClient(automationEnv(socketPath));
    ASSERT_TRUE(vnxtest::waitFor([&] { return http.requests.contains("/list.xml"); }, 20000))
        << client.readAllStandardError().toStdString();
    const QByteArray answer = automate(socketPath, "close");
    EXPECT_TRUE(answer.contains("\"ok\":true")) << answer.toStdString();
    ASSERT_TRUE(waitFinished(client, 10000)) << "the client outlived its window";
    EXPECT_EQ(client.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(client.exitCode(), 0);
    EXPECT_EQ(clientWindow(), 0u);
    // The fallback was not tried and no failure box was shown.
    EXPECT_FALSE(http.requests.contains("/fallback.xml"));
    EXPECT_FALSE(client.readAllStandardError().contains("message box"));
}

// The paths that README.md and the man page give for the settings, the
// rules and the log are the files a real start uses.
TEST_F(Process, TheDocumentedFilesAreTheOnesTheClientWrites) {
    const QStringList readme =
        documentedPaths("README.md", {"settings", "redirected programs", "client log", "installed module"});
    const QStringList manual = documentedPaths("docs/man/veilnox.1", {});
    ASSERT_EQ(readme.size(), 4) << readme.join(' ').toStdString();
    ASSERT_GE(manual.size(), 4) << manual.join(' ').toStdString();

    const QString socketPath = world.root() + "/automation.sock";
    QProcess& client = startClient(automationEnv(socketPath));
    ASSERT_TRUE(vnxtest::waitFor([&] { return automate(socketPath, "state", 1000).contains("\"ready\":true"); }, 20000))
        << client.readAllStandardError().toStdString();
    // A connect writes the settings file and installs the module; the
    // watchdog's start wrote the log; the first start seeded the rules.
    EXPECT_TRUE(automate(socketPath, "connect 0").contains("\"ok\":true"));
    const QString dataHome = world.root() + "/share";
    for (const QString& documented : readme + manual) {
        QString path = documented;
        path.replace("~/.local/share", dataHome);
        // The install script writes the catalog, the connect's settings and
        // log follow the answer: each is waited for, bounded.
        EXPECT_TRUE(vnxtest::waitFor([&] { return QFileInfo(path).isFile(); }, 20000))
            << documented.toStdString() << " is not there after a start";
        if (path.endsWith("appconfig.xml")) {
            QFile settings(path);
            ASSERT_TRUE(settings.open(QIODevice::ReadOnly));
            EXPECT_TRUE(settings.readAll().contains("<ipconnected>10.1.1.1</ipconnected>"));
        }
    }
    automate(socketPath, "close");
    EXPECT_TRUE(waitFinished(client, 15000));
}

// Self-hosting in two commands: the relay prints its entry, and a list of
// it in the data folder is read by the client, before the downloaded list.
// The link the relay prints on its second line is the same server.
TEST_F(Process, ARelaysPrintedEntryIsAServerOfTheDataFolderList) {
    if (!QFile::exists(program("veilnox-relay"))) GTEST_SKIP() << "veilnox-relay is not built";
    auto printEntry = [](const QStringList& args, int* code) {
        QProcess relay;
        relay.start(program("veilnox-relay"), QStringList{"--print-list-entry"} + args);
        *code = relay.waitForFinished(10000) ? relay.exitCode() : -1;
        return relay.readAllStandardOutput();
    };
    int code = -1;
    const QList<QByteArray> lines =
        printEntry({"--listen", "0.0.0.0:9300", "--allow", "198.51.100.0/24", "--public-address", "198.51.100.7",
                    "--country", "C\u00f4te <d'Ivoire> & Co", "--city", "Abidjan", "--tag", "CI"},
                   &code)
            .split('\n');
    EXPECT_EQ(code, 0);
    ASSERT_GE(lines.size(), 2);
    const QByteArray entry = lines[0] + "\n";
    QFile list(world.dataDir() + "/config/proxys.xml");
    ASSERT_TRUE(list.open(QIODevice::WriteOnly));
    list.write("<Array>\n" + entry + "</Array>\n");
    list.close();
    // The second line is the same entry as a link.
    EXPECT_TRUE(lines[1].startsWith("veilnox://198.51.100.7:9300?")) << lines[1].toStdString();
    StringMap fromLink;
    StringMap fromLine;
    QString error;
    ASSERT_TRUE(ParseServerText(QString::fromUtf8(lines[1]), fromLink, error)) << error.toStdString();
    ASSERT_TRUE(ParseServerText(QString::fromUtf8(entry), fromLine, error)) << error.toStdString();
    EXPECT_EQ(fromLink, fromLine);

    MessageRecorder messages;
    auto window = std::make_unique<MainWindow>();
    window->UpdateServerList();
    // The download follows the data folder's list.
    ASSERT_TRUE(vnxtest::waitFor([&] { return MainWindowAccess(*window).ui->proxyList->topLevelItemCount() == 2; }));
    const ServerEntry* relay = MainWindow::entryOf(MainWindowAccess(*window).ui->proxyList->topLevelItem(0));
    ASSERT_NE(relay, nullptr);
    EXPECT_EQ(relay->value("ip"), "198.51.100.7");
    EXPECT_EQ(relay->port, 9300);
    EXPECT_EQ(relay->value("protocol"), "private");
    EXPECT_EQ(relay->value("country"), "C\u00f4te <d'Ivoire> & Co");
    EXPECT_EQ(relay->value("city"), "Abidjan");
    EXPECT_EQ(relay->value("tag"), "CI");
    window->shutdownForExit();

    // Without --public-address the listen address is the one named.
    EXPECT_TRUE(printEntry({"--listen", "127.0.0.2:9201"}, &code).contains("<ip>127.0.0.2</ip><port>9201</port>"));
    EXPECT_EQ(code, 0);
    // An IPv6 listener needs an IPv4 address for the list; texts are one line.
    for (const QStringList& bad :
         {QStringList{"--listen", "[::1]:9200"}, QStringList{"--country", "a\nb"}, QStringList{"--city"}}) {
        EXPECT_TRUE(printEntry(bad, &code).isEmpty()) << bad.join(' ').toStdString();
        EXPECT_EQ(code, 2) << bad.join(' ').toStdString();
    }
}

// --version and --help need no display.
TEST_F(Process, VersionAndHelpAnswerWithoutADisplay) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("QT_QPA_PLATFORM");
    env.remove("DISPLAY");
    env.remove("WAYLAND_DISPLAY");
    for (const char* option : {"--version", "--help"}) {
        QProcess p;
        p.setProcessEnvironment(env);
        p.start(program("veilnox"), QStringList{option});
        ASSERT_TRUE(p.waitForFinished(20000)) << option;
        EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(p.exitCode(), 0) << option;
        const QByteArray out = p.readAllStandardOutput();
        if (QByteArray(option) == "--version")
            EXPECT_EQ(out, "veilnox " + ProjectVersion().toLatin1() + "\n");
        else
            EXPECT_TRUE(out.startsWith("Usage: veilnox")) << out.toStdString();
        EXPECT_TRUE(p.readAllStandardError().isEmpty());
    }
}

TEST_F(Process, ASecondStartWakesTheFirstAndExitsMinusOne) {
    QProcess& first = startClient();
    ASSERT_TRUE(waitReady(first)) << first.readAllStandardError().toStdString();
    QProcess& second = startClient();
    QElapsedTimer clock;
    clock.start();
    ASSERT_TRUE(waitFinished(second, 20000));
    std::printf("second start ended after %lld ms\n", static_cast<long long>(clock.elapsed()));
    EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second.exitCode(), 255);  // -1
    EXPECT_EQ(first.state(), QProcess::Running);
    EXPECT_NE(clientWindow(), 0u);
}

TEST_F(Process, WithoutADisplayTheClientSaysSoAndExitsNonZero) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("QT_QPA_PLATFORM");
    env.remove("DISPLAY");
    env.remove("WAYLAND_DISPLAY");
    QProcess& none = startClient(env);
    ASSERT_TRUE(none.waitForFinished(20000));
    EXPECT_EQ(none.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(none.exitCode(), 1);
    EXPECT_TRUE(none.readAllStandardError().contains("no display server was found"));

    // A display that is named but cannot be reached.
    if (QFile::exists(QLibraryInfo::location(QLibraryInfo::PluginsPath) + "/platforms/libqxcb.so")) {
        env.insert("QT_QPA_PLATFORM", "xcb");
        env.insert("DISPLAY", ":97");
        QProcess& unreachable = startClient(env);
        ASSERT_TRUE(unreachable.waitForFinished(20000));
        EXPECT_EQ(unreachable.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(unreachable.exitCode(), 1);
        EXPECT_TRUE(unreachable.readAllStandardError().contains("display server could not be opened"));
    }
    EXPECT_EQ(clientWindow(), 0u);
}

// ---------------------------------------------------------------- watchdog with the real server

TEST_F(Process, KillingTheServerWhileConnectedStartsANewOne) {
    if (!QFile::exists(program("veilnoxsvr"))) GTEST_SKIP() << "veilnoxsvr is not built";
    // The client's standard input is a pipe here, as a terminal would be
    // from a shell: the servers it launches must read a null input instead.
    struct TypedInput {
        int ends[2] = {-1, -1};
        int saved = dup(0);
        TypedInput() {
            if (pipe(ends) == 0) dup2(ends[0], 0);
        }
        ~TypedInput() {
            dup2(saved, 0);
            for (int fd : {saved, ends[0], ends[1]})
                if (fd >= 0) close(fd);
        }
    } typed;
    ASSERT_GE(typed.ends[0], 0);
    auto inputOf = [](qint64 pid) {
        return QFileInfo(QString("/proc/%1/fd/0").arg(pid)).symLinkTarget().toStdString();
    };
    MessageRecorder messages;
    world.installModule();
    auto window = std::make_unique<MainWindow>();
    window->UpdateServerList();
    window->StartServer();
    ASSERT_TRUE(vnxtest::waitFor(serverRunning, 10000));
    QPushButton* button = window->rowButton(MainWindowAccess(*window).ui->proxyList->topLevelItem(0));
    ASSERT_NE(button, nullptr);
    button->click();
    ASSERT_EQ(MainWindowAccess(*window).proxyData->connected, 1);

    const QList<qint64> started = window->launcher().launchedPids();
    ASSERT_EQ(started.size(), 1);
    EXPECT_EQ(inputOf(started[0]), "/dev/null");
    for (int round = 0; round < 3; ++round) {
        const qint64 victim = window->launcher().launchedPids().last();
        ASSERT_EQ(::kill(static_cast<pid_t>(victim), SIGKILL), 0);
        QElapsedTimer clock;
        clock.start();
        ASSERT_TRUE(vnxtest::waitFor(
            [&] { return window->launcher().launchedPids().size() == started.size() + round + 1 && serverRunning(); },
            10000));
        std::printf("relaunched after %lld ms\n", static_cast<long long>(clock.elapsed()));
    }
    EXPECT_EQ(window->launcher().launchedPids().size(), started.size() + 3);
    EXPECT_EQ(inputOf(window->launcher().launchedPids().last()), "/dev/null");
    EXPECT_TRUE(messages.boxes.isEmpty());

    // Closing the window ends the hidden server at its next tick.
    const QList<qint64> all = window->launcher().launchedPids();
    messages.answer = true;
    window->close();
    EXPECT_TRUE(vnxtest::waitFor([] { return !serverRunning(); }, 5000));
    window.reset();
    endServers(all);
}

// ---------------------------------------------------------------- module scripts

namespace {
bool scriptsPresent() {
    return QFile::exists(vnxtest::binDir() + "/" + ModuleScriptPath(true)) &&
           QFile::exists(vnxtest::binDir() + "/" + ModuleScriptPath(false));
}
QList<QString> texts(const MessageRecorder& recorder) {
    QList<QString> out;
    for (const auto& box : recorder.boxes)
        out << box.text;
    return out;
}
QByteArray catalog(const vnxtest::ClientWorld& world) {
    QFile file(world.catalogFile());
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
}  // namespace

TEST_F(Process, InstallRepairAndRemoveTheModuleWithTheRealScripts) {
    if (!scriptsPresent()) GTEST_SKIP() << "bat/ scripts are not there";
    MessageRecorder messages;
    EXPECT_FALSE(IsLspInstalled());
    InstallLspWithMessage();
    EXPECT_TRUE(IsLspInstalled());
    EXPECT_TRUE(catalog(world).contains(kLspProviderId));
    InstallLspWithMessage();
    RepairLsp();
    EXPECT_TRUE(IsLspInstalled());
    EXPECT_EQ(catalog(world).count(kLspProviderId), 1);
    RemoveLsp();
    EXPECT_FALSE(IsLspInstalled());
    EXPECT_FALSE(catalog(world).contains(kLspProviderId));
    RemoveLsp();
    // The repair's report goes on with the capture service's part.
    QList<QString> said = texts(messages);
    ASSERT_EQ(said.size(), 5);
    said[2] = said[2].section('\n', 0, 0);
    EXPECT_EQ(said, QList<QString>({"Install successully", "Aready installed.",
                                    "The module for programs started with veilnox-run is installed.",
                                    "Remove successully", "Service does not exist."}));
    // A catalog that cannot be written: the install fails and says so.
    messages.boxes.clear();
    world.breakModuleFolder();
    InstallLspWithMessage();
    RepairLsp();
    said = texts(messages);
    ASSERT_EQ(said.size(), 2);
    said[1] = said[1].section('\n', 0, 0);
    EXPECT_EQ(said, QList<QString>({"Install failed.",
                                    "Install LSP module failed, please login as administrator and try again."}));
}

TEST_F(Process, ConnectInstallsAMissingModuleAndTheTestTickRepairsItSilently) {
    if (!scriptsPresent()) GTEST_SKIP() << "bat/ scripts are not there";
    MessageRecorder messages;
    auto window = std::make_unique<MainWindow>();
    window->launcher().setProgram(world.root() + "/no-such-veilnoxsvr");
    window->UpdateServerList();
    QPushButton* button = window->rowButton(MainWindowAccess(*window).ui->proxyList->topLevelItem(0));
    ASSERT_NE(button, nullptr);
    button->click();
    EXPECT_EQ(MainWindowAccess(*window).proxyData->connected, 1);
    EXPECT_TRUE(IsLspInstalled());
    // Someone removes it while connected: the next test tick puts it back.
    QFile::remove(world.catalogFile());
    window->OnTestProxyTimer();
    // In the background: the window goes on meanwhile.
    EXPECT_TRUE(vnxtest::waitFor([] { return IsLspInstalled(); }, 10000));
    EXPECT_TRUE(messages.boxes.isEmpty());
    window->shutdownForExit();
}

// ---------------------------------------------------------------- the capture service's part of a repair

namespace {

// A folder of stand-in programs that is the scripts' whole PATH: the tools
// the install script uses, a non-root `id`, and the `systemctl` and
// `pkexec` of one situation (each left out when the situation has none).
enum class Asker { None, Waits, Grants };

struct StandIns {
    QString bin;
    QString pkexecPid;  // the waiting pkexec writes its pid here, then waits
};

StandIns makeStandIns(const QString& root, bool systemctl, Asker asker) {
    StandIns out{root + "/standin-bin", root + "/pkexec.pid"};
    QDir().mkpath(out.bin);
    for (const char* tool : {"sh", "dirname", "mkdir", "mktemp", "grep", "chmod", "mv", "rm", "sleep", "cat"}) {
        const QString real = QStandardPaths::findExecutable(tool, {"/usr/bin", "/bin"});
        if (!real.isEmpty()) QFile::link(real, out.bin + "/" + tool);
    }
    auto script = [&](const char* name, const QByteArray& body) {
        vnxtest::writeFile(out.bin + "/" + name, "#!/bin/sh\n" + body);
        QFile::setPermissions(out.bin + "/" + name, QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    };
    script("id", "[ \"${1:-}\" = -u ] && echo 1000 || echo 'uid=1000(user)'\n");
    // The service is not active; starting it works.
    if (systemctl) script("systemctl", "[ \"$1\" = is-active ] && exit 3\nexit 0\n");
    if (asker == Asker::Grants) script("pkexec", "exec \"$@\"\n");
    if (asker == Asker::Waits)
        script("pkexec", "echo $$ > '" + QFile::encodeName(out.pkexecPid) + "'\nexec sleep 600\n");
    return out;
}

// The process is gone (or only waits to be reaped).
bool processGone(qint64 pid) {
    QFile stat(QString("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly)) return true;
    const QByteArray text = stat.readAll();
    const int close = text.lastIndexOf(')');
    return close > 0 && text.mid(close + 2, 1) == "Z";
}

}  // namespace

// Repair on Linux says what became of the kernel capture service, in each
// situation of a machine: no systemd, systemd without pkexec, a password
// prompt the user cancels, and one the administrator answers. A success is
// claimed only when the service was started.
TEST_F(Process, RepairReportsTheCaptureServiceAsItIs) {
    if (!scriptsPresent()) GTEST_SKIP() << "bat/ scripts are not there";
    struct Case {
        const char* name;
        bool systemd;
        bool systemctl;
        Asker asker;
        bool cancel;
        const char* says;
    };
    const Case cases[] = {
        {"no systemd", false, false, Asker::None, false, "(this system does not run systemd)"},
        {"systemd without pkexec", true, true, Asker::None, false, "(pkexec is not installed"},
        {"a password prompt cancelled", true, true, Asker::Waits, true, "(cancelled)"},
        {"the password given", true, true, Asker::Grants, false, "Install Veilnox Service Success."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const QString root = world.root() + "/" + QString(c.name).replace(' ', '-');
        const QString systemdRoot = root + "/systemd";
        vnxtest::writeFile(systemdRoot + "/lib/systemd/system/veilnox-capture.service", "[Service]\n");
        if (c.systemd) QDir().mkpath(systemdRoot + "/run/systemd/system");
        const StandIns standIns = makeStandIns(root, c.systemctl, c.asker);
        const QByteArray oldPath = qgetenv("PATH");
        qputenv("PATH", QFile::encodeName(standIns.bin));
        qputenv("VEILNOX_SYSTEMD_ROOT", QFile::encodeName(systemdRoot));
        qputenv("VEILNOX_CAPTURE_STATE", QFile::encodeName(root + "/no-capture-state"));
        qputenv("DISPLAY", ":99");
        QFile::remove(world.catalogFile());

        // Cancel is pressed once the prompt waits and the box shows.
        qint64 askerPid = 0;
        bool cancelled = false;
        QTimer canceller;
        QObject::connect(&canceller, &QTimer::timeout, [&] {
            auto* box = qobject_cast<QProgressDialog*>(QApplication::activeModalWidget());
            if (!c.cancel || cancelled || !box || !QFile::exists(standIns.pkexecPid)) return;
            askerPid = vnxtest::readFile(standIns.pkexecPid).trimmed().toLongLong();
            cancelled = true;
            // As the user does: the box's Cancel button.
            if (QPushButton* button = box->findChild<QPushButton*>()) button->click();
        });
        canceller.start(20);
        MessageRecorder messages;
        QElapsedTimer clock;
        clock.start();
        RepairLsp();
        canceller.stop();
        qputenv("PATH", oldPath);
        qunsetenv("VEILNOX_SYSTEMD_ROOT");

        ASSERT_EQ(messages.boxes.size(), 1);
        const QString said = messages.boxes[0].text;
        EXPECT_TRUE(said.contains(c.says)) << said.toStdString();
        // The module itself is in place in every situation.
        EXPECT_TRUE(catalog(world).contains(kLspProviderId));
        if (c.asker != Asker::Grants) {
            EXPECT_FALSE(said.contains("Success")) << said.toStdString();
            EXPECT_TRUE(said.contains("only programs started with veilnox-run are redirected")) << said.toStdString();
        }
        if (c.cancel) {
            ASSERT_TRUE(cancelled) << "the progress box never showed while the prompt waited";
            EXPECT_LT(clock.elapsed(), 60000);
            // Cancel ended the prompt as well, not only the script.
            EXPECT_TRUE(vnxtest::waitFor([&] { return processGone(askerPid); }, 10000)) << askerPid;
        }
    }
    qunsetenv("VEILNOX_CAPTURE_STATE");
}

// ---------------------------------------------------------------- painting on a real X server

namespace {

// An X server of the test's own (Xvfb, on a display number it picks) with a
// window manager (openbox) when one is installed.
class XServer {
public:
    ~XServer() {
        for (QProcess* p : {&wm_, &xvfb_}) {
            if (p->state() == QProcess::NotRunning) continue;
            p->terminate();
            if (!p->waitForFinished(5000)) p->kill();
            p->waitForFinished(2000);
        }
    }
    // Starts it; the display (":N") once it accepts clients.
    QString start() {
        // -displayfd: the server writes its display number once it is ready.
        xvfb_.start("Xvfb", {"-displayfd", "1", "-screen", "0", "1024x768x24", "-nolisten", "tcp"});
        if (!xvfb_.waitForStarted(10000)) return QString();
        if (!vnxtest::waitFor([&] { return xvfb_.canReadLine() || xvfb_.state() == QProcess::NotRunning; }, 20000))
            return QString();
        const QByteArray number = xvfb_.readLine().trimmed();
        if (number.isEmpty()) return QString();
        display_ = ":" + QString::fromLatin1(number);
        if (!QStandardPaths::findExecutable("openbox").isEmpty()) {
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert("DISPLAY", display_);
            wm_.setProcessEnvironment(env);
            wm_.setProcessChannelMode(QProcess::MergedChannels);
            // It runs the start-up command once it manages the screen.
            wm_.start("openbox", {"--startup", "echo openbox-ready"});
            vnxtest::waitFor(
                [&] { return wm_.readAll().contains("openbox-ready") || wm_.state() == QProcess::NotRunning; }, 15000);
        }
        return display_;
    }
    bool withWindowManager() const { return wm_.state() == QProcess::Running; }

    // The screen's pixels of `area`, read from the X server (import reads
    // the root window, what a user sees); a null image on failure.
    QImage grab(const QRect& area, const QString& file) const {
        QProcess import;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("DISPLAY", display_);
        import.setProcessEnvironment(env);
        import.start("import", {"-window", "root", "-crop",
                                QString("%1x%2+%3+%4").arg(area.width()).arg(area.height()).arg(area.x()).arg(area.y()),
                                "+repage", "PNG:" + file});
        if (!import.waitForFinished(20000) || import.exitCode() != 0) return QImage();
        return QImage(file);
    }

private:
    QProcess xvfb_, wm_;
    QString display_;
};

// The share of the pixels of `shown` (the screen) that are those of
// `painted` (the window's own picture of itself), 0 when the sizes differ.
double sameShare(const QImage& shown, const QImage& painted) {
    if (shown.isNull() || shown.size() != painted.size()) return 0;
    qint64 same = 0;
    for (int y = 0; y < shown.height(); ++y)
        for (int x = 0; x < shown.width(); ++x)
            same += (shown.pixel(x, y) & 0xffffff) == (painted.pixel(x, y) & 0xffffff);
    return double(same) / (qint64(shown.width()) * shown.height());
}

int colours(const QImage& image) {
    QSet<QRgb> seen;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            seen.insert(image.pixel(x, y));
    return seen.size();
}

QJsonObject answerOf(const QByteArray& line) { return QJsonDocument::fromJson(line).object(); }

// The client area of the visible window titled `title` (or of class
// `title`), null when there is none; with `exposed`, only once the window
// system shows it.
QRect windowArea(const QString& socketPath, const QString& title, bool exposed = false) {
    const QJsonArray windows = answerOf(automate(socketPath, "windows", 2000))["windows"].toArray();
    for (const QJsonValue& value : windows) {
        const QJsonObject w = value.toObject();
        if ((w["title"].toString() == title || w["class"].toString() == title) && (!exposed || w["exposed"].toBool()))
            return QRect(w["x"].toInt(), w["y"].toInt(), w["w"].toInt(), w["h"].toInt());
    }
    return QRect();
}

}  // namespace

// The client's dialogs, opened by the real program on a real X server (with
// a window manager when one is installed), show on the screen: the area of
// each is not one flat colour.
TEST_F(Process, DialogsPaintOnARealXServer) {
    for (const char* tool : {"Xvfb", "import"})
        if (QStandardPaths::findExecutable(tool).isEmpty()) GTEST_SKIP() << tool << " is not installed (scripts/setup)";
    XServer x;
    const QString display = x.start();
    ASSERT_FALSE(display.isEmpty()) << "Xvfb did not start";

    const QString socketPath = world.root() + "/automation.sock";
    QProcessEnvironment env = automationEnv(socketPath);
    env.insert("DISPLAY", display);
    env.insert("QT_QPA_PLATFORM", "xcb");
    QProcess& client = startClient(env);
    ASSERT_TRUE(vnxtest::waitFor([&] { return automate(socketPath, "state", 1000).contains("\"ready\":true"); }, 30000))
        << client.readAllStandardError().toStdString();

    struct Case {
        const char* name;
        QList<QByteArray> commands;  // each after the window of the one before shows
        QStringList windows;         // the window each command brings
        int dismissals;              // modal windows to close afterwards
    };
    const Case cases[] = {
        {"settings", {"open settings"}, {"Veilnox Settings"}, 1},
        {"add program", {"open settings", "click addBtn"}, {"Veilnox Settings", "Add Redirect Program"}, 2},
        {"add server", {"open addserver"}, {"Add server"}, 1},
        {"about", {"open about"}, {"CSplashWnd"}, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + (x.withWindowManager() ? " (openbox)" : " (no window manager)"));
        QRect area;
        for (int i = 0; i < c.commands.size(); ++i) {
            const QByteArray answer = automate(socketPath, c.commands[i]);
            ASSERT_TRUE(answer.contains("\"ok\":true")) << c.commands[i].toStdString() << ": " << answer.toStdString();
            ASSERT_TRUE(
                vnxtest::waitFor([&] { return !(area = windowArea(socketPath, c.windows[i])).isNull(); }, 10000))
                << c.windows[i].toStdString() << " did not open";
        }
        // Shown, and placed: the area no longer moves.
        const QString title = c.windows.last();
        ASSERT_TRUE(vnxtest::waitFor(
            [&] {
                const QRect before = area;
                area = windowArea(socketPath, title, true);
                return !area.isNull() && area == before;
            },
            10000))
            << title.toStdString() << " was not shown";
        // What the program paints of it, and what the screen shows there:
        // the same, within a moment (retried until then, bounded).
        const QString base = world.root() + "/" + QString(c.name).replace(' ', '-');
        ASSERT_TRUE(automate(socketPath, "shotwindow " + QFile::encodeName(base) + "-painted.png " + title.toUtf8())
                        .contains("\"ok\":true"));
        const QImage painted(base + "-painted.png");
        ASSERT_EQ(painted.size(), area.size());
        QImage shot;
        vnxtest::waitFor([&] { return sameShare(shot = x.grab(area, base + "-screen.png"), painted) > 0.9; }, 10000);
        ASSERT_FALSE(shot.isNull()) << "no screenshot of " << c.name;
        EXPECT_GT(colours(shot), 1) << title.toStdString() << " shows as one flat colour: " << base.toStdString();
        EXPECT_GT(sameShare(shot, painted), 0.9)
            << "the screen does not show what " << title.toStdString() << " painted: " << base.toStdString();
        for (int i = 0; i < c.dismissals; ++i) {
            const QString shown = c.windows[c.windows.size() - 1 - i];
            automate(socketPath, "dismiss");
            EXPECT_TRUE(vnxtest::waitFor([&] { return windowArea(socketPath, shown).isNull(); }, 10000))
                << shown.toStdString() << " did not close";
        }
    }
    automate(socketPath, "close");
    EXPECT_TRUE(waitFinished(client, 15000));
}
