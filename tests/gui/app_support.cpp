#include "app_support.h"

#include "appcontext.h"
#include "mainwindow.h"
#include "mainwindowaccess.h"
#include "moduleinstall.h"
#include "ui_mainwindow.h"

#include <QApplication>
#include <QComboBox>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <cstdlib>

namespace apptest {

QString binDir() { return QCoreApplication::applicationDirPath(); }

namespace {
void setPath(const char* name, const QString& value) { setenv(name, QFile::encodeName(value).constData(), 1); }

bool writeFile(const QString& path, const QByteArray& content) {
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
    return file.write(content) == content.size();
}
}  // namespace

ClientWorld::ClientWorld() {
    clienttest::app();
    clienttest::usePerUserRoot(root());
    setPath("HOME", root());
    QDir().mkpath(root() + "/run");
    QFile::setPermissions(root() + "/run", QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    setPath("XDG_RUNTIME_DIR", root() + "/run");
    // Never the built-in service addresses: a test that forgets to set them
    // gets a refused connection on loopback instead of the internet.
    useServerList("http://127.0.0.1:1/none", "http://127.0.0.1:1/none");
    qputenv("VEILNOX_VERSION_URL", "http://127.0.0.1:1/none");
    qputenv("VEILNOX_VERSION_FALLBACK_URL", "http://127.0.0.1:1/none");
    QDir::setCurrent(binDir());

    AppContext& app = appContext();
    app = AppContext();
    app.fill();
    QDir().mkpath(dataDir() + "/config");
    app.config.setPath(app.configPath());
}

ClientWorld::~ClientWorld() {
    AppContext& app = appContext();
    app.mainWindow = nullptr;
    app.updateChecker = nullptr;
}

QString ClientWorld::appDir() const { return root() + "/share/Veilnox"; }
QString ClientWorld::dataDir() const { return appDir() + "/data"; }
QString ClientWorld::configFile() const { return dataDir() + "/appconfig.xml"; }
QString ClientWorld::rulesFile() const { return dataDir() + "/config/rules.txt"; }
QString ClientWorld::catalogFile() const { return appDir() + "/module/catalog"; }

void ClientWorld::installModule() {
    writeFile(catalogFile(),
              QByteArray(kLspProviderId) + " " + QFile::encodeName(binDir()) + "/libveilnox-module.so\n");
}

void ClientWorld::breakModuleFolder() {
    QDir(appDir() + "/module").removeRecursively();
    writeFile(appDir() + "/module", "not a folder");
}

void ClientWorld::writeSettings(const QByteArray& content) {
    writeFile(configFile(), content);
    appContext().config.setPath(configFile());
}

void ClientWorld::writeRules(const QByteArray& content) { writeFile(rulesFile(), content); }

void ClientWorld::useServerList(const QString& primary, const QString& fallback) {
    qputenv("VEILNOX_SERVERLIST_URL", primary.toUtf8());
    qputenv("VEILNOX_SERVERLIST_FALLBACK_URL", fallback.toUtf8());
}

MainWindow* makeWindow() { return new MainWindow; }

QStringList columnTexts(MainWindow& window, int column) {
    QStringList texts;
    for (int i = 0; i < MainWindowAccess(window).ui->proxyList->topLevelItemCount(); ++i)
        texts << MainWindowAccess(window).ui->proxyList->topLevelItem(i)->text(column);
    return texts;
}

QStringList countryTexts(MainWindow& window) {
    QStringList texts;
    for (int i = 0; i < MainWindowAccess(window).ui->countryBox->count(); ++i)
        texts << MainWindowAccess(window).ui->countryBox->itemText(i);
    return texts;
}

bool waitFor(const std::function<bool()>& condition, int ms) {
    QDeadlineTimer deadline(ms);
    while (!condition()) {
        if (deadline.hasExpired()) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
    return true;
}

}  // namespace apptest
