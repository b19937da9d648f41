#pragma once
// MainWindow: the client's one window. It shows the server list, connects
// and disconnects (by writing the chosen server into the proxy data block),
// rotates servers on a timer, keeps the local server running while
// connected, installs the network-stack module when needed and lives in the
// tray when minimised (where a tray exists).
//
// Everything runs on the GUI thread. The logic it applies is in small
// window-free units of client/core (serverlist, proxypublish,
// serverrotation, serverlauncher, moduleinstall, probe, trafficformat); this
// class binds them to the widgets.
#include "capturereset.h"
#include "records.h"
#include "serverlauncher.h"
#include "serverlist.h"

#include <QHash>
#include <QIcon>
#include <QMainWindow>
#include <QMap>
#include <QSet>
#include <QStringList>
#include <QSystemTrayIcon>

#include <functional>
#include <memory>

class ModuleScriptRun;
class ProbeSeals;
class QAction;
class QLabel;
class QMenu;
class QNetworkAccessManager;
class QPushButton;
class QTimer;
class QTreeWidgetItem;
class QUdpSocket;
struct SignalBar;

namespace Ui {
class MainWindow;
}

class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

    // False when the proxy data block could not be created: the user was
    // told and the client must end.
    bool isUsable() const { return proxyData != nullptr; }

    // Start-up work (the start-up sequence calls them in this order).
    void StartServer();
    void UpdateServerList();
    void RestoreLastConnection();

    // Connecting (the connect logic; also used by the tray and the timers).
    bool ConnectServer(const QString& ip, const QString& port, const QString& protocol);
    bool ConnectCurrentServer();
    bool ConnectNextServer();
    bool PublishSettings();
    void ApplyRedirectSettings();
    void SetConnectedUi(bool connected);
    // Replaces the remembered tray tooltip lines that are given non-empty;
    // the traffic line is shown only while connected.
    void SetTrayToolTip(const QString& statusLine, const QString& trafficLine);

    // Appends one row for one server.
    void AddServerRow(const StringMap& server);

    // The user's own servers (dataDir + "/config/proxys.xml"): "Add
    // server..." opens the dialog and reloads the list after an addition;
    // RemoveServer asks, takes the row's server out of that file and
    // reloads (false when the row is not from that list, is the connected
    // one, the user said no or the file could not be changed: each said to
    // the user). ReloadServerList shows the local lists again with the
    // last download (nothing is downloaded).
    void AddServer();
    bool RemoveServer(QTreeWidgetItem* item);
    void ReloadServerList();
    // The context menu of the server list for a row (null: no row).
    QMenu* serverMenu(QTreeWidgetItem* item);
    // What protects the traffic to a row's server with the masking setting
    // as published.
    Protection rowProtection(const ServerEntry& entry) const;
    // Sets each row's protection mark and tooltip again (the masking
    // setting changed).
    void RefreshProtection();
    // Sets the "Signal Strength" bar of a row (range 0..maximum). The value
    // is kept in the row's entry, so rows whose widgets are made later show it.
    void SetSignalBar(QTreeWidgetItem* item, int maximum, int value);
    // The connect button of a row of "proxyList", made (with the row's bar)
    // when the row has none yet: widgets are otherwise made only for rows
    // that come into view. Null for an item that is not a row.
    QPushButton* rowButton(QTreeWidgetItem* item);
    // The ServerEntry of a row of "proxyList" (null for other items).
    static ServerEntry* entryOf(QTreeWidgetItem* item);

    // Shows the window in front (tray restore, tray click, wake-up by a
    // second start). Returns 2, the answer of a successful wake-up.
    int wakeUp();

    // Ends the window's part in the process without asking: client_window
    // becomes 0 (the hidden local server exits at its next tick) and the
    // tray icon goes. Used when the window closes and when the system asks
    // the program to end.
    void shutdownForExit();

    // Test seams: the watchdog's period, whether a usable system tray
    // exists (default: the platform's answer).
    void setSpeedInterval(int ms) { speedIntervalMs_ = ms; }
    static void setTrayProbe(std::function<bool()> probe);
    static bool trayUsable();
    ServerLauncher& launcher() { return launcher_; }

    // Connectivity test: sends one probe to ip:port (a row without a usable
    // address or port is not sent to), sealed with `key` when that is a
    // relay key's text (not sent when it is another non-empty text); always
    // true.
    bool SendProbe(const QString& ip, std::uint16_t port, const QString& key = QString());
    // Writes the "Connectivity" column of one row of "proxyList".
    void UpdateConnectivityText(QTreeWidgetItem* item);
    // Test seams of the connectivity test: the millisecond tick count
    // (default: the system's) and the time a cycle waits for answers
    // (default 10000 ms).
    void setProbeClock(std::function<std::uint32_t()> clock) { probeClock_ = std::move(clock); }
    void setProbeWindow(int ms);

    // How long the last UpdateServerList took, in ms, from the end of the
    // download: parsing the lists, and building the rows and selector.
    struct ListTimings {
        qint64 parseMs = 0;
        qint64 rowsMs = 0;
    };
    const ListTimings& listTimings() const { return listTimings_; }

    // Shows which way programs are redirected (see modeLabel).
    void refreshModeLabel();

    // A desktop notification through the tray icon (where a tray exists and
    // shows messages). The last one is kept for tests and the automation.
    void Notify(const QString& title, const QString& text);
    QString lastNotification() const { return lastNotification_; }

    // The text the server list shows while it has no rows (empty when it
    // has rows).
    QString emptyListText() const;

    // The window's form, timers, tray and state are private. Tests, the
    // automation socket, the screenshot tool and the list benchmark reach
    // them only through this one seam (mainwindowaccess.h).
    friend struct MainWindowAccess;

signals:
    // The window has closed for good: the event loop may end.
    void closed();

public slots:
    void on_installBtn_clicked();
    void on_uninstallBtn_clicked();
    void on_startBtn_clicked();
    void on_settingBtn_clicked();
    void OnConnectBtn();
    void on_autostartBox_toggled(bool checked);
    void trayMenuAction(QAction* action);
    void iconActivated(QSystemTrayIcon::ActivationReason reason);
    void on_countryBox_currentIndexChanged(const QString& text);
    void on_changeBox_currentIndexChanged(int index);
    void on_aboutBtn_clicked();
    void on_helpBtn_clicked();
    void checkInstall();
    void OnChangeIpTimer();
    void OnTestProxyTimer();
    void readPendingDatagrams();
    void OnEndTestTimer();
    void OnSpeedTimer();
    void onVersionNew(const QString& strVer);
    void on_tabMain_currentChanged(int index);
    void on_testBtn_clicked();
    void onServerFinished();
    void on_logBtn_clicked();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void changeEvent(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void buildTray();
    // The tray menu's first line: the state and the server.
    void refreshTrayState();
    // Tells the user, through a notification, how the connection changed
    // since the last call (connected, disconnected, another server).
    void notifyConnectionChange();
    // Shows or hides the empty list's hint.
    void refreshEmptyHint();
    // The built-in list, fetched in the background while the user's own
    // servers show (ServerListDownloadInBackground): the primary address,
    // then the fallback; the rows follow a list that arrives, a failure is
    // said in the status bar.
    void startListDownload(const QString& url, bool fallbackNext);
    void listDownloadFailed();
    // The download ended: the waiting last connection is made (or, with
    // its server still missing, given up as at any start).
    void finishRestore();
    // The start button's pictures and the shield of "flagLabel" for a state.
    void setStatePictures(bool connected);
    void setCurrentLabel(const QString& html);
    void setRowButtonStyle(QTreeWidgetItem* item, bool connectedLook);
    QTreeWidgetItem* makeServerRow(const StringMap& server);
    // The lists of the program and data folders (see CollectServers).
    ServerListSources readLocalLists() const;
    // Replaces the rows with the servers of `sources`.
    void showServers(const ServerListSources& sources);
    void applyProtection(QTreeWidgetItem* item);
    QIcon rowIcon(const QString& image);
    // Makes the bar and the connect button of the rows in view (and of a
    // screenful below) that have none yet.
    void ensureRowWidgets();
    void scheduleRowWidgets();
    void makeRowWidgets(QTreeWidgetItem* item);
    QPushButton* existingRowButton(QTreeWidgetItem* item) const;
    // The country a "countryBox" entry stands for (its whole text).
    QString countryOfEntry(int index) const;
    std::uint32_t windowHandle32();
    std::uint32_t probeNow() const;
    void setSignalBar(QTreeWidgetItem* item, const SignalBar& bar);
    // True (after disconnecting and telling the user) when no local server
    // of ours runs and another program holds its TCP port.
    bool refuseHeldPort();
    // Disconnects and shows, once, that the local server cannot bind its
    // port (`status` kStatusTcpBind or kStatusUdpBind).
    void reportHeldPort(int status);

    std::unique_ptr<Ui::MainWindow> ui;

    vnx::ProxyData* proxyData = nullptr;
    QUdpSocket* udpSocket = nullptr;
    bool loading = true;
    std::unique_ptr<QObject> server;  // the in-process server object, never started
    QTimer* testTimer = nullptr;
    QTimer* changeTimer = nullptr;
    QTimer* speedTimer = nullptr;
    QStringList usedServers;
    StringMap currentServer;
    QSystemTrayIcon* trayIcon = nullptr;
    QMenu* trayMenu = nullptr;
    QAction* connectAction = nullptr;
    QAction* homepageAction = nullptr;
    QAction* restoreAction = nullptr;
    QAction* quitAction = nullptr;
    QAction* stateAction = nullptr;
    QAction* settingsAction = nullptr;
    QLabel* updateLabel = nullptr;
    QLabel* speedLabel = nullptr;
    // Which way programs are redirected (Linux: kernel capture or veilnox-run).
    QLabel* modeLabel = nullptr;

    ServerLauncher launcher_;
    // The capture service's reports of reset connections already shown.
    CaptureResetWatch captureResets_;
    QTimer* rowWidgetTimer_ = nullptr;
    QSet<QString> knownCountries_;
    QHash<QString, QIcon> iconCache_;
    // The last downloaded list, shown again when the local list changes.
    QString downloadedList_;
    // The program folder's list was read, so the data folder's was not.
    bool programListUsed_ = false;
    QPushButton* addServerBtn_ = nullptr;
    ListTimings listTimings_;
    int speedIntervalMs_ = 1200;
    bool rebuildingSelectors_ = false;
    bool crashMessageOpen_ = false;
    bool closedForGood_ = false;
    QString statusLine_;
    QString trafficLine_;
    // Connectivity test: the single shot that ends a cycle, created with the
    // first cycle.
    QTimer* endTestTimer_ = nullptr;
    std::function<std::uint32_t()> probeClock_;
    std::unique_ptr<ProbeSeals> probeSeals_;
    int probeWindowMs_ = 10000;
    // The notified connection ("ip:port:protocol", empty: disconnected)
    // and the last notification's text.
    QString notifiedServer_;
    QString lastNotification_;
    // The local server is gone while connected: said once per outage.
    bool blockedNotified_ = false;
    QLabel* emptyHint_ = nullptr;
    QNetworkAccessManager* listDownloads_ = nullptr;
    // The background download runs, and the last connection (ip, port,
    // protocol) that waits for it: its server was not among the rows shown
    // at start.
    bool listDownloadRunning_ = false;
    QStringList pendingRestore_;
    // The test tick's background repair of the module, made with the first.
    ModuleScriptRun* silentRepair_ = nullptr;
};
