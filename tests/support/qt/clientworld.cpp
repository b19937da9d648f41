#include "qt/clientworld.h"

#include "appcontext.h"
#include "mainwindow.h"
#include "mainwindowaccess.h"
#include "moduleinstall.h"
#include "serverlist.h"
#include "ui_mainwindow.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QProgressBar>
#include <QTreeWidget>
#include <QTreeWidgetItem>

#include <cstdlib>

namespace vnxtest {

namespace {
void setPath(const char* name, const QString& value) { setenv(name, QFile::encodeName(value).constData(), 1); }
}  // namespace

ClientWorld::ClientWorld() {
    app();
    usePerUserRoot(root());
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
    return columnTexts(*MainWindowAccess(window).ui->proxyList, column);
}

QStringList countryTexts(MainWindow& window) {
    QStringList texts;
    for (int i = 0; i < MainWindowAccess(window).ui->countryBox->count(); ++i)
        texts << MainWindowAccess(window).ui->countryBox->itemText(i);
    return texts;
}

QTreeWidgetItem* serverRow(MainWindow& window, int row) {
    return MainWindowAccess(window).ui->proxyList->topLevelItem(row);
}

ServerEntry* entryAt(MainWindow& window, int row) { return MainWindow::entryOf(serverRow(window, row)); }

QProgressBar* signalBar(MainWindow& window, int row) {
    return qobject_cast<QProgressBar*>(MainWindowAccess(window).ui->proxyList->itemWidget(serverRow(window, row), 2));
}

QTreeWidgetItem* appRow(MainWindow& window, const QString& name) {
    const int row = appNames(window).indexOf(name);
    return row < 0 ? nullptr : MainWindowAccess(window).ui->connectionList->topLevelItem(row);
}

QStringList appNames(MainWindow& window) { return columnTexts(*MainWindowAccess(window).ui->connectionList, 0); }

}  // namespace vnxtest
