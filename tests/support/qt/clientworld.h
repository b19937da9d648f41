#pragma once
// The GUI suites' world around the real MainWindow (part of
// vnx_qt_test_widgets): a private per-user world for one test (data, config
// and runtime folders in a temporary directory), the window itself, and the
// rows of its server list and connection list. Used from the test's main
// thread.
#include "qt/widgets.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

class MainWindow;
class QProgressBar;
class QTreeWidgetItem;
struct ServerEntry;

namespace vnxtest {

// One test's per-user world. The constructor points HOME, XDG_DATA_HOME,
// XDG_CONFIG_HOME and XDG_RUNTIME_DIR at fresh folders, clears the service
// URL overrides and the message hooks' state, and fills AppContext for it
// (the settings store is loaded from the world's data folder).
class ClientWorld {
public:
    ClientWorld();
    ~ClientWorld();

    QString root() const { return dir_.path(); }
    QString dataDir() const;      // <data root>/Veilnox/data
    QString appDir() const;       // <data root>/Veilnox
    QString configFile() const;   // dataDir + /appconfig.xml
    QString rulesFile() const;    // dataDir + /config/rules.txt
    QString catalogFile() const;  // appDir + /module/catalog

    // Writes the module's catalog line (the module counts as installed).
    void installModule();
    // Makes the catalog impossible to create (a file where its folder should
    // be), so that installing the module fails even as root.
    void breakModuleFolder();
    // Replaces the settings file and reloads the store.
    void writeSettings(const QByteArray& content);
    void writeRules(const QByteArray& content);
    // Points the server-list endpoints at `primary` / `fallback` (full URLs).
    void useServerList(const QString& primary, const QString& fallback);

private:
    QTemporaryDir dir_;
};

// Builds the window with no message box shown and returns it; the caller
// owns it. The proxy data block is the test process's.
MainWindow* makeWindow();

// The values of column `column` of "proxyList", top to bottom.
QStringList columnTexts(MainWindow& window, int column);
// The texts of "countryBox".
QStringList countryTexts(MainWindow& window);

// Rows of "proxyList" and "connectionList".
ServerEntry* entryAt(MainWindow& window, int row);
QTreeWidgetItem* serverRow(MainWindow& window, int row);
QProgressBar* signalBar(MainWindow& window, int row);
QTreeWidgetItem* appRow(MainWindow& window, const QString& name);
QStringList appNames(MainWindow& window);

}  // namespace vnxtest
