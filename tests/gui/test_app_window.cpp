// The real MainWindow on the offscreen platform: its form, the server list
// from a local HTTP server, connecting and disconnecting, the start-up
// restore, rotation, the servers' protection and the relay key handed to the
// local server, the user's own servers added and removed, closing, the tray,
// the crash watchdog's counting, a local server port held by another
// program and the capture service's report of reset connections.
#include "addserverdlg.h"
#include "appcontext.h"
#include "autostart.h"
#include "hopkey.h"
#include "localservers.h"
#include "logviewer.h"
#include "mainwindow.h"
#include "mainwindowaccess.h"
#include "moduleinstall.h"
#include "platformdefaults.h"
#include "programdlg.h"
#include "programselectdlg.h"
#include "proxypublish.h"
#include "qimagebutton.h"
#include "qt/clientworld.h"
#include "qt/httpserver.h"
#include "rendpoint.h"
#include "sharedmemory.h"
#include "singleinstance.h"
#include "ui_mainwindow.h"
#include "ui_programdlg.h"
#include "version.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QDateTime>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFile>
#include <QHeaderView>
#include <QImage>
#include <QLabel>
#include <QLocalSocket>
#include <QMenu>
#include <QMetaMethod>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTabWidget>
#include <QTcpServer>
#include <QTest>
#include <QTextDocument>
#include <QTimer>

#include <cstring>
#include <functional>
#include <future>
#include <memory>

#include <sys/stat.h>
#include <unistd.h>

using vnxtest::HttpServer;
using vnxtest::listXml;
using vnxtest::MessageRecorder;
using vnxtest::server;

namespace {

HttpServer::Route ok(const QByteArray& body) {
    HttpServer::Route r;
    r.body = body;
    return r;
}
HttpServer::Route missing() {
    HttpServer::Route r;
    r.status = 404;
    return r;
}

class Window : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(http.start());
        world.installModule();
        world.useServerList(http.url("/list.xml"), http.url("/fallback.xml"));
    }
    void TearDown() override {
        if (window) window->shutdownForExit();
        window.reset();
    }

    // Builds the window and runs the start-up steps that fill it.
    MainWindow& open(bool startup = true) {
        window.reset(vnxtest::makeWindow());
        appContext().mainWindow = window.get();
        window->show();
        if (startup) {
            window->UpdateServerList();
            window->RestoreLastConnection();
        }
        return *window;
    }
    void serve(const QList<StringMap>& servers) { http.setRoute("/list.xml", ok(listXml(servers))); }
    QPushButton* rowButton(int row) {
        return window->rowButton(MainWindowAccess(*window).ui->proxyList->topLevelItem(row));
    }
    ServerEntry* entry(int row) {
        return MainWindow::entryOf(MainWindowAccess(*window).ui->proxyList->topLevelItem(row));
    }
    vnx::ProxyData& block() { return *MainWindowAccess(*window).proxyData; }
    CAppConfig saved() { return CAppConfig(world.configFile()); }
    QList<MessageRecorder::Box> boxesWithText(const QString& text) {
        QList<MessageRecorder::Box> found;
        for (const auto& box : messages.boxes)
            if (box.text == text) found << box;
        return found;
    }

    vnxtest::ClientWorld world;
    HttpServer http;
    MessageRecorder messages;
    std::unique_ptr<MainWindow> window;
};

// Runs `act` on the next modal dialog of type T once it is shown (within
// 10 s; otherwise nothing happens and the caller's checks fail).
template <class T>
void whenModal(std::function<void(T*)> act) {
    auto* timer = new QTimer;
    auto tries = std::make_shared<int>(0);
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, [timer, tries, act] {
        T* dialog = qobject_cast<T*>(QApplication::activeModalWidget());
        if (!dialog && ++*tries < 1000) return;
        timer->stop();
        timer->deleteLater();
        if (dialog) act(dialog);
    });
    timer->start();
}

// A relay key whose bytes start at `seed`, as text, and its bytes.
QString keyText(std::uint8_t seed, std::uint8_t (*bytes)[vnx::kHopKeySize] = nullptr) {
    std::uint8_t key[vnx::kHopKeySize];
    for (std::size_t i = 0; i < sizeof key; ++i)
        key[i] = static_cast<std::uint8_t>(seed * 3 + i);
    if (bytes) std::memcpy(*bytes, key, sizeof key);
    return QString::fromStdString(vnx::encodeHopKey(key));
}

// The relay key the local server would read for ip:port (empty: none).
QByteArray publishedKey(const char* ip, std::uint16_t port) {
    std::uint8_t key[vnx::kHopKeySize];
    if (!vnx::readHopKey(vnx::parseIpv4(ip), port, key)) return QByteArray();
    return QByteArray(reinterpret_cast<const char*>(key), sizeof key);
}

QStringList actionTexts(QMenu* menu) {
    QStringList texts;
    for (QAction* action : menu->actions())
        texts << action->text();
    return texts;
}

const QString kListFailed =
    "Update Server List failed, Please check your network connection and restart Veilnox again.";
const QString kLspFailed = "Install LSP module failed, please login as administrator and try again.";

}  // namespace

// ---------------------------------------------------------------- the form

TEST_F(Window, FormHasItsObjectsLabelsColumnsAndFixedSize) {
    // The sizes of the form hold at 96 dpi with a desktop's 9-point type.
    const QFont original = QApplication::font();
    QFont desktop = original;
    desktop.setPointSize(9);
    QApplication::setFont(desktop);
    window.reset(vnxtest::makeWindow());
    EXPECT_EQ(MainWindowAccess(*window).speedLabel->text(), " 0 Kb/s ");  // until the first tick
    MainWindow& w = open(false);
    Ui::MainWindow& ui = *MainWindowAccess(w).ui;
    EXPECT_EQ(w.size(), QSize(630, 447));
    EXPECT_EQ(w.minimumSize(), w.maximumSize());
    EXPECT_EQ(w.windowTitle(), "Veilnox " + GetAppVersion());
    for (const char* name :
         {"centralWidget",  "top_menu",       "settingBtn",   "aboutBtn",     "helpBtn", "startBtn",   "countryBox",
          "changeBox",      "flagLabel",      "currentLabel", "autostartBox", "tabMain", "tabServers", "proxyList",
          "tabConnections", "connectionList", "installBtn",   "uninstallBtn", "testBtn", "logBtn",     "statusBar"})
        EXPECT_NE(w.findChild<QObject*>(name), nullptr) << name;
    EXPECT_EQ(ui.countryLabel->text(), "Connect To:");
    EXPECT_EQ(ui.changeLabel->text(), "Change Every:");
    EXPECT_EQ(ui.autostartBox->text(), "Start Veilnox when I log in");
    EXPECT_EQ(ui.tabMain->tabText(0), "Servers");
    EXPECT_EQ(ui.tabMain->tabText(1), "Connections");
    EXPECT_EQ(ui.tabMain->currentIndex(), 0);
    EXPECT_EQ(ui.installBtn->text(), "install");
    EXPECT_EQ(ui.uninstallBtn->text(), "uninst");
    EXPECT_EQ(ui.testBtn->text(), "test");
    // Linux shows the log viewer's button to everyone; without the debug
    // marker the other maintenance buttons are hidden.
    EXPECT_EQ(ui.logBtn->text(), "Logs...");
    EXPECT_FALSE(ui.logBtn->isHidden());
    for (QWidget* b : {ui.installBtn, ui.uninstallBtn, ui.testBtn})
        EXPECT_TRUE(b->isHidden());

    QTreeWidgetItem* header = ui.proxyList->headerItem();
    QStringList labels;
    for (int i = 0; i < header->columnCount(); ++i)
        labels << header->text(i);
    EXPECT_EQ(labels, QStringList({"Country", "Location / IP", "Signal Strength", "Connect", "Connectivity"}));
    const int widths[] = {80, 280, 120, 103, 5};
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(ui.proxyList->columnWidth(i), widths[i]) << i;
    EXPECT_EQ(ui.proxyList->selectionMode(), QAbstractItemView::SingleSelection);
    EXPECT_EQ(ui.connectionList->columnWidth(0), 160);
    for (int i = 1; i <= 3; ++i)
        EXPECT_EQ(ui.connectionList->columnWidth(i), 90);

    QStringList changes;
    QList<int> minutes;
    for (int i = 0; i < ui.changeBox->count(); ++i) {
        changes << ui.changeBox->itemText(i);
        minutes << ui.changeBox->itemData(i).toInt();
    }
    EXPECT_EQ(changes, QStringList({"Never", "Every 1 min", "Every 5 mins", "Every 10 mins", "Every 30 mins",
                                    "Every 60 mins", "Every 2 hours ", "Every 6 hours ", "Every 12 hours "}));
    EXPECT_EQ(minutes, QList<int>({0, 1, 5, 10, 30, 60, 120, 360, 720}));

    QStringList actions;
    for (QAction* a : MainWindowAccess(w).trayMenu->actions())
        actions << (a->isSeparator() ? "-" : a->text());
    EXPECT_EQ(actions, QStringList({"Disconnected", "-", "&Connect", "-", "Homepage", "&Settings...", "&Restore", "-",
                                    "&Quit"}));
    EXPECT_FALSE(MainWindowAccess(w).trayMenu->actions().first()->isEnabled());  // a state line, not an action
    EXPECT_EQ(MainWindowAccess(w).trayIcon->toolTip(), "Veilnox");
    EXPECT_FALSE(MainWindowAccess(w).testTimer->isActive());
    EXPECT_FALSE(MainWindowAccess(w).changeTimer->isActive());
    EXPECT_FALSE(MainWindowAccess(w).speedTimer->isActive());

    // Nothing is connected yet: the disconnected shield and the connect
    // button from the first paint on (while the list still downloads).
    const QImage shield = QPixmap(vnxtest::binDir() + "/data/images/flag_disconnect.png")
                              .scaled(ui.flagLabel->size(), Qt::KeepAspectRatio, Qt::SmoothTransformation)
                              .toImage();
    ASSERT_FALSE(ui.flagLabel->pixmap(Qt::ReturnByValue).isNull());
    EXPECT_EQ(ui.flagLabel->pixmap(Qt::ReturnByValue).toImage(), shield);
    EXPECT_EQ(ui.startBtn->image(QImageButton::State::Normal).convertToFormat(QImage::Format_ARGB32),
              QImage(vnxtest::binDir() + "/data/images/buttons/connect.png").convertToFormat(QImage::Format_ARGB32));
    QApplication::setFont(original);
}

TEST_F(Window, SlotsAreDeclaredInTheirTableOrder) {
    MainWindow& w = open(false);
    const QMetaObject* meta = w.metaObject();
    QStringList slotNames;
    for (int i = meta->methodOffset(); i < meta->methodCount(); ++i)
        if (meta->method(i).methodType() == QMetaMethod::Slot) slotNames << QString(meta->method(i).methodSignature());
    EXPECT_EQ(slotNames, QStringList({"on_installBtn_clicked()",
                                      "on_uninstallBtn_clicked()",
                                      "on_startBtn_clicked()",
                                      "on_settingBtn_clicked()",
                                      "OnConnectBtn()",
                                      "on_autostartBox_toggled(bool)",
                                      "trayMenuAction(QAction*)",
                                      "iconActivated(QSystemTrayIcon::ActivationReason)",
                                      "on_countryBox_currentIndexChanged(QString)",
                                      "on_changeBox_currentIndexChanged(int)",
                                      "on_aboutBtn_clicked()",
                                      "on_helpBtn_clicked()",
                                      "checkInstall()",
                                      "OnChangeIpTimer()",
                                      "OnTestProxyTimer()",
                                      "readPendingDatagrams()",
                                      "OnEndTestTimer()",
                                      "OnSpeedTimer()",
                                      "onVersionNew(QString)",
                                      "on_tabMain_currentChanged(int)",
                                      "on_testBtn_clicked()",
                                      "onServerFinished()",
                                      "on_logBtn_clicked()"}));
}

TEST_F(Window, DebugMarkerShowsMaintenanceButtonsAndDebugWidths) {
    QFile marker(world.appDir() + "/_yydebug.txt");
    ASSERT_TRUE(marker.open(QIODevice::WriteOnly));
    marker.close();
    appContext().fill();
    MainWindow& w = open(false);
    for (QWidget* b : {MainWindowAccess(w).ui->installBtn, MainWindowAccess(w).ui->uninstallBtn,
                       MainWindowAccess(w).ui->testBtn, MainWindowAccess(w).ui->logBtn})
        EXPECT_FALSE(b->isHidden());
    EXPECT_EQ(MainWindowAccess(w).ui->proxyList->columnWidth(1), 230);
    // 80, or what "Signal Strength" needs when that is more.
    EXPECT_GE(MainWindowAccess(w).ui->proxyList->columnWidth(2), 80);
    EXPECT_GE(MainWindowAccess(w).ui->proxyList->columnWidth(4), 75);
    EXPECT_EQ(MainWindowAccess(w).proxyData->debug, 1);
}

TEST_F(Window, ConstructionPublishesHandleRulesAndRedirectDefaults) {
    QByteArray rules = "# comment\n";
    for (int i = 0; i < 200; ++i)
        rules += "prog" + QByteArray::number(i) + ".exe\n";
    world.writeRules(rules);
    MainWindow& w = open(false);
    EXPECT_EQ(MainWindowAccess(w).proxyData->data_mark, 2);
    EXPECT_NE(MainWindowAccess(w).proxyData->client_window, 0u);
    EXPECT_EQ(MainWindowAccess(w).proxyData->debug, 0);
    EXPECT_EQ(MainWindowAccess(w).proxyData->rule_count, 128);
    EXPECT_EQ(QString::fromUtf16(MainWindowAccess(w).proxyData->rules[127].name), "prog127.exe");
    EXPECT_EQ(MainWindowAccess(w).proxyData->redirect_tcp, 1);
    EXPECT_EQ(MainWindowAccess(w).proxyData->redirect_udp, 1);  // Linux: UDP goes through the proxy too
    EXPECT_EQ(MainWindowAccess(w).proxyData->redirect_dns, 1);
    EXPECT_EQ(MainWindowAccess(w).proxyData->encrypt_data, 1);
    EXPECT_EQ(MainWindowAccess(w).proxyData->redirect_all_apps, 0);
    // A fresh world with nothing changed writes no settings file.
    w.UpdateServerList();
    w.RestoreLastConnection();
    EXPECT_FALSE(QFile::exists(world.configFile()));
}

// ---------------------------------------------------------------- server list

TEST_F(Window, LocalListComesFirstThenTheDownloadWithDuplicates) {
    QFile local(world.dataDir() + "/config/proxys.xml");
    ASSERT_TRUE(local.open(QIODevice::WriteOnly));
    local.write(listXml({server("10.0.0.1", "1", "Local")}));
    local.close();
    serve({server("10.0.0.1", "1", "Local"), server("20.0.0.1", "2", "Remote")});
    MainWindow& w = open();
    // The user's own servers show at once; the download follows them.
    const QStringList all{"Local,City,10.0.0.1", "Local,City,10.0.0.1", "Remote,City,20.0.0.1"};
    EXPECT_TRUE(vnxtest::waitFor([&] { return vnxtest::columnTexts(w, 1) == all; }))
        << vnxtest::columnTexts(w, 1).join(' ').toStdString();
    EXPECT_EQ(http.requests, QStringList{"/list.xml"});
    EXPECT_TRUE(messages.boxes.isEmpty());
}

// With servers of the user's own list, a start shows them before any
// download ended, and a download that fails is said in the status bar, not
// in a box; the last connection, to a server of the download, is restored
// once that list arrives.
TEST_F(Window, TheUsersOwnServersShowAtOnceAndAFailedDownloadIsInTheStatusBar) {
    QFile local(world.dataDir() + "/config/proxys.xml");
    ASSERT_TRUE(local.open(QIODevice::WriteOnly));
    local.write(listXml({server("10.0.0.9", "9", "Local")}));
    local.close();
    struct Case {
        const char* name;
        bool listArrives;
    };
    for (const Case c : {Case{"the download fails", false}, Case{"the download arrives", true}}) {
        SCOPED_TRACE(c.name);
        http.setRoute("/list.xml", missing());
        http.setRoute("/fallback.xml", c.listArrives ? ok(listXml({server("20.0.0.2", "2", "Remote")})) : missing());
        world.writeSettings(
            "<Vars><ipconnected>20.0.0.2</ipconnected><portconnected>2</portconnected>"
            "<protocolconnected>private</protocolconnected></Vars>");
        world.installModule();
        window.reset(vnxtest::makeWindow());
        window->launcher().setProgram(world.root() + "/no-such-veilnoxsvr");
        window->UpdateServerList();
        window->RestoreLastConnection();
        // At once: no event has run yet, so no download has ended.
        EXPECT_EQ(vnxtest::columnTexts(*window, 1), QStringList{"Local,City,10.0.0.9"});
        if (c.listArrives) {
            EXPECT_TRUE(vnxtest::waitFor([&] { return MainWindowAccess(*window).proxyData->connected == 1; }, 10000));
            EXPECT_EQ(vnxtest::columnTexts(*window, 1), QStringList({"Local,City,10.0.0.9", "Remote,City,20.0.0.2"}));
            EXPECT_TRUE(MainWindowAccess(*window).ui->statusBar->currentMessage().isEmpty());
        } else {
            EXPECT_TRUE(vnxtest::waitFor(
                [&] {
                    return MainWindowAccess(*window).ui->statusBar->currentMessage().startsWith(
                        "Update Server List failed");
                },
                10000));
            EXPECT_EQ(vnxtest::columnTexts(*window, 1), QStringList{"Local,City,10.0.0.9"});
        }
        EXPECT_TRUE(messages.boxes.isEmpty());
        MainWindowAccess(*window).proxyData->connected = 0;
        window->shutdownForExit();
        http.requests.clear();
    }
}

TEST_F(Window, FallbackEndpointThenBothFailingShowsTheMessageAndLocalRowsOnly) {
    http.setRoute("/list.xml", missing());
    http.setRoute("/fallback.xml", ok(listXml({server("30.0.0.1", "3", "Backup")})));
    {
        MainWindow& w = open();
        EXPECT_EQ(http.requests, QStringList({"/list.xml", "/fallback.xml"}));
        EXPECT_EQ(vnxtest::columnTexts(w, 1), QStringList{"Backup,City,30.0.0.1"});
        EXPECT_TRUE(messages.boxes.isEmpty());
    }
    http.setRoute("/fallback.xml", missing());
    QFile local(world.dataDir() + "/config/proxys.xml");
    ASSERT_TRUE(local.open(QIODevice::WriteOnly));
    local.write(listXml({server("10.0.0.9", "9", "Local")}));
    local.close();
    window->UpdateServerList();
    // Linux: the user's own servers are there, so the failure goes to the
    // status bar (TheUsersOwnServersShowAtOnce...).
    EXPECT_TRUE(vnxtest::waitFor([&] {
        return MainWindowAccess(*window).ui->statusBar->currentMessage().startsWith("Update Server List failed");
    }));
    EXPECT_TRUE(messages.boxes.isEmpty());
    EXPECT_EQ(vnxtest::columnTexts(*window, 1), QStringList{"Local,City,10.0.0.9"});
    // Without servers of their own, the box of the failed download.
    QFile::remove(world.dataDir() + "/config/proxys.xml");
    window->UpdateServerList();
    ASSERT_EQ(messages.boxes.size(), 1);
    EXPECT_EQ(messages.boxes[0].kind, MessageKind::Information);
    EXPECT_EQ(messages.boxes[0].title, "Update Server List failed");
    EXPECT_EQ(messages.boxes[0].text, kListFailed);
    EXPECT_EQ(vnxtest::columnTexts(*window, 1), QStringList());
}

TEST_F(Window, KeysIgnoreCaseAndBlanksAndTheCountryBoxListsEachCountryOnce) {
    http.setRoute("/list.xml", ok("<Array><Element><IP> 1.2.3.4 </IP><Port>80</Port><COUNTRY>Germany</COUNTRY>"
                                  "<City> Berlin </City><TAG>DE</TAG><Strength>42</Strength></Element>"
                                  "<Element><ip>1.2.3.5</ip><port>81</port><country>Germany</country></Element>"
                                  "<Server><ip>5.5.5.5</ip><country>germany</country></Server>"
                                  "<Element><host>jp.example</host><country>Japan</country></Element>"
                                  "<Element><ip>6.6.6.6</ip><country> </country></Element></Array>"));
    // A stored filter of "" (a blank entry chosen earlier) selects nothing.
    world.writeSettings("<Vars><countryfilter></countryfilter></Vars>");
    MainWindow& w = open();
    EXPECT_EQ(vnxtest::columnTexts(w, 0), QStringList({"DE", "", "", "", ""}));
    EXPECT_EQ(vnxtest::columnTexts(w, 1), QStringList({"Germany,Berlin,1.2.3.4", "Germany,,1.2.3.5", "germany,,5.5.5.5",
                                                       "Japan,,jp.example", ",,6.6.6.6"}));
    // The server without a country adds no blank entry.
    EXPECT_EQ(vnxtest::countryTexts(w), QStringList({"Any Country", "Germany", "germany", "Japan"}));
    EXPECT_EQ(MainWindowAccess(w).ui->countryBox->currentIndex(), 0);
    EXPECT_EQ(entry(0)->port, 80);
    EXPECT_EQ(entry(0)->value("ip"), "1.2.3.4");
    auto* bar = qobject_cast<QProgressBar*>(
        MainWindowAccess(w).ui->proxyList->itemWidget(MainWindowAccess(w).ui->proxyList->topLevelItem(0), 2));
    ASSERT_NE(bar, nullptr);
    EXPECT_EQ(bar->value(), 42);
    EXPECT_EQ(bar->maximum(), 100);
    QPushButton* button = rowButton(0);
    ASSERT_NE(button, nullptr);
    EXPECT_TRUE(button->styleSheet().contains("list_connect.png"));
    EXPECT_EQ(button->property("corvane-ip-veilnox").toULongLong(),
              reinterpret_cast<quintptr>(MainWindowAccess(w).ui->proxyList->topLevelItem(0)));
    EXPECT_EQ(MainWindowAccess(w).ui->proxyList->topLevelItem(0)->font(0).family(), "Arial");
    EXPECT_EQ(MainWindowAccess(w).ui->proxyList->topLevelItem(0)->font(0).pointSize(), 11);
    EXPECT_EQ(MainWindowAccess(w).ui->proxyList->topLevelItem(0)->font(1).pointSize(), 10);
}

TEST_F(Window, ProgramFolderListAndFlagPicturesComeFromDataConfig) {
    // A program folder of its own: the window reads "data/..." relative to it.
    QTemporaryDir program;
    QDir().mkpath(program.path() + "/data/config");
    QImage flag(16, 12, QImage::Format_RGB32);
    flag.fill(Qt::red);
    ASSERT_TRUE(flag.save(program.path() + "/data/config/de.png"));
    StringMap flagged = server("1.1.1.1", "1", "Germany");
    flagged["image"] = "de.png";
    StringMap plain = server("2.2.2.2", "2", "France");
    QFile list(program.path() + "/data/config/proxys.xml");
    ASSERT_TRUE(list.open(QIODevice::WriteOnly));
    list.write(listXml({flagged, plain}));
    list.close();
    // The data folder's list is not read while the program folder has one.
    QFile other(world.dataDir() + "/config/proxys.xml");
    ASSERT_TRUE(other.open(QIODevice::WriteOnly));
    other.write(listXml({server("9.9.9.9", "9", "Elsewhere")}));
    other.close();
    serve({});
    QDir::setCurrent(program.path());
    MainWindow& w = open();
    QDir::setCurrent(vnxtest::binDir());
    ASSERT_EQ(MainWindowAccess(w).ui->proxyList->topLevelItemCount(), 2);
    EXPECT_FALSE(MainWindowAccess(w).ui->proxyList->topLevelItem(0)->icon(0).isNull());
    EXPECT_TRUE(MainWindowAccess(w).ui->proxyList->topLevelItem(1)->icon(0).isNull());
    EXPECT_EQ(entry(0)->value("image"), "data/config/de.png");
}

// ---------------------------------------------------------------- connecting

TEST_F(Window, ConnectWritesTheServerIntoTheBlockAndTheSixKeys) {
    StringMap chosen = server("10.1.1.1", "8443", "Germany", "Berlin");
    chosen["user"] = QString(60, 'u');
    chosen["pass"] = "secret";
    serve({server("10.2.2.2", "1", "France"), chosen});
    MainWindow& w = open();
    std::memset(MainWindowAccess(w).proxyData->proxy_ip, 'x',
                sizeof MainWindowAccess(w).proxyData->proxy_ip);  // leftovers of an earlier server
    rowButton(1)->click();

    vnx::ProxyData& data = block();
    EXPECT_EQ(data.connected, 1);
    EXPECT_EQ(data.proxy_port, 8443);
    EXPECT_EQ(QByteArray(data.proxy_ip, 56), QByteArray("10.1.1.1") + QByteArray(47, '\0') + 'x');
    EXPECT_EQ(QByteArray(data.proxy_user), QByteArray(55, 'u'));
    EXPECT_EQ(QByteArray(data.proxy_pass), "secret");
    EXPECT_EQ(QByteArray(data.proxy_protocol), "private");
    CAppConfig keys = saved();
    EXPECT_EQ(keys.value("ipconnected"), "10.1.1.1");
    EXPECT_EQ(keys.value("portconnected"), "8443");
    EXPECT_EQ(keys.value("protocolconnected"), "private");
    EXPECT_EQ(keys.value("ipconnected_last"), "10.1.1.1");
    EXPECT_EQ(keys.value("portconnected_last"), "8443");
    EXPECT_EQ(keys.value("protocolconnected_last"), "private");

    EXPECT_TRUE(entry(1)->connected);
    EXPECT_FALSE(entry(0)->connected);
    EXPECT_TRUE(rowButton(1)->styleSheet().contains("list_disconnected.png"));
    EXPECT_TRUE(rowButton(0)->styleSheet().contains("list_connect.png"));
    EXPECT_EQ(MainWindowAccess(w).ui->currentLabel->text(), "<strong>Your IP:10.1.1.1<br>Germany, Berlin</strong>");
    EXPECT_EQ(MainWindowAccess(w).trayIcon->toolTip(), "Your IP:10.1.1.1\nGermany, Berlin");
    EXPECT_EQ(MainWindowAccess(w).connectAction->text(), "Disconnect");
    EXPECT_FALSE(MainWindowAccess(w).ui->countryBox->isEnabled());
    EXPECT_FALSE(MainWindowAccess(w).ui->changeBox->isEnabled());
    EXPECT_EQ(MainWindowAccess(w).currentServer.value("user"), QString(60, 'u'));
}

TEST_F(Window, DisconnectChangesOnlyTheConnectedByte) {
    serve({server("10.1.1.1", "8443", "Germany")});
    MainWindow& w = open();
    rowButton(0)->click();
    ASSERT_EQ(block().connected, 1);
    QByteArray before(reinterpret_cast<const char*>(&block()), sizeof(vnx::ProxyData));
    rowButton(0)->click();  // the connected row's button disconnects
    QByteArray after(reinterpret_cast<const char*>(&block()), sizeof(vnx::ProxyData));
    ASSERT_EQ(before.size(), after.size());
    for (int i = 0; i < before.size(); ++i)
        if (i != 1) {
            ASSERT_EQ(before[i], after[i]) << "byte " << i;
        }
    EXPECT_EQ(after[1], 0);
    CAppConfig keys = saved();
    EXPECT_EQ(keys.value("ipconnected"), "");
    EXPECT_EQ(keys.value("ipconnected_last"), "10.1.1.1");
    EXPECT_TRUE(MainWindowAccess(w).ui->countryBox->isEnabled());
    EXPECT_TRUE(MainWindowAccess(w).ui->changeBox->isEnabled());
    EXPECT_EQ(MainWindowAccess(w).ui->currentLabel->text(), "<strong>Disconnected.</strong>");
    EXPECT_EQ(MainWindowAccess(w).connectAction->text(), "Connect");
    EXPECT_EQ(MainWindowAccess(w).ui->connectionList->headerItem()->text(0), "Program [0]");
    EXPECT_EQ(MainWindowAccess(w).trayIcon->toolTip(), "Disconnected.");
}

TEST_F(Window, AnotherRowMovesTheConnectionAndResetsBothSelectors) {
    serve({server("10.1.1.1", "1", "Germany"), server("10.2.2.2", "2", "France")});
    MainWindow& w = open();
    MainWindowAccess(w).ui->countryBox->setCurrentIndex(2);
    MainWindowAccess(w).ui->changeBox->setCurrentIndex(2);
    rowButton(0)->click();
    EXPECT_EQ(MainWindowAccess(w).ui->countryBox->currentIndex(), 0);
    EXPECT_EQ(MainWindowAccess(w).ui->changeBox->currentIndex(), 0);
    rowButton(1)->click();
    EXPECT_EQ(block().connected, 1);
    EXPECT_EQ(QByteArray(block().proxy_ip), "10.2.2.2");
    EXPECT_FALSE(entry(0)->connected);
    EXPECT_TRUE(entry(1)->connected);
    CAppConfig keys = saved();
    EXPECT_EQ(keys.value("countryfilter"), "Any Country");
    EXPECT_EQ(keys.value("changetime"), "0");
    // Server-list texts are shown as text, not markup.
    serve({server("10.3.3.3", "3", "<b>Bold</b>")});
    w.UpdateServerList();
    rowButton(0)->click();
    EXPECT_EQ(MainWindowAccess(w).ui->currentLabel->text(),
              "<strong>Your IP:10.3.3.3<br>&lt;b&gt;Bold&lt;/b&gt;, City</strong>");
}

TEST_F(Window, ARowWithoutAddressOnlyExplains) {
    StringMap named = server("", "80", "Japan");
    named["host"] = "jp.example";
    serve({named});
    MainWindow& w = open();
    rowButton(0)->click();
    ASSERT_EQ(messages.boxes.size(), 1);
    EXPECT_EQ(messages.boxes[0].kind, MessageKind::About);
    EXPECT_EQ(messages.boxes[0].title, "Veilnox Message");
    EXPECT_EQ(messages.boxes[0].text, "Veilnox is querying the item's DNS now, please try a little latter.");
    EXPECT_EQ(block().connected, 0);
    EXPECT_EQ(MainWindowAccess(w).ui->proxyList->topLevelItem(0)->text(1), "Japan,City,jp.example");
}

TEST_F(Window, AModuleThatCannotBeInstalledAbandonsTheConnect) {
    world.breakModuleFolder();
    world.writeSettings(
        "<Vars><ipconnected>7.7.7.7</ipconnected><portconnected>7</portconnected>"
        "<protocolconnected>private</protocolconnected></Vars>");
    serve({server("10.1.1.1", "1", "Germany")});
    MainWindow& w = open(false);
    w.UpdateServerList();
    block().connected = 1;  // whatever the block held is left alone
    rowButton(0)->click();
    EXPECT_EQ(boxesWithText(kLspFailed).size(), 1);
    EXPECT_EQ(saved().value("ipconnected"), "");
    EXPECT_EQ(block().connected, 1);
    EXPECT_NE(QByteArray(block().proxy_ip), "10.1.1.1");
    EXPECT_EQ(MainWindowAccess(w).connectAction->text(), "Connect");
    EXPECT_FALSE(IsLspInstalled());
}

TEST_F(Window, TheLastConnectionIsRestoredAtTheNextStart) {
    serve({server("10.1.1.1", "1", "Germany"), server("10.2.2.2", "2", "France")});
    world.writeSettings(
        "<Vars><ipconnected>10.2.2.2</ipconnected><portconnected>2</portconnected>"
        "<protocolconnected>private</protocolconnected><ipconnected_last>10.2.2.2</ipconnected_last>"
        "<portconnected_last>2</portconnected_last><protocolconnected_last>private"
        "</protocolconnected_last><countryfilter>France</countryfilter><changetime>30</changetime>"
        "</Vars>");
    MainWindow& w = open();
    EXPECT_EQ(block().connected, 1);
    EXPECT_EQ(QByteArray(block().proxy_ip), "10.2.2.2");
    EXPECT_TRUE(entry(1)->connected);
    EXPECT_EQ(MainWindowAccess(w).ui->countryBox->currentText(), "France");
    EXPECT_EQ(MainWindowAccess(w).ui->changeBox->currentText(), "Every 30 mins");
    EXPECT_TRUE(MainWindowAccess(w).testTimer->isActive());
    EXPECT_EQ(MainWindowAccess(w).testTimer->interval(), 800);
    EXPECT_FALSE(MainWindowAccess(w).changeTimer->isActive());
    EXPECT_EQ(MainWindowAccess(w).currentServer.value("ip"), "10.2.2.2");
}

TEST_F(Window, AStoredServerNoLongerListedEndsDisconnectedButStartReconnectsTheLastOne) {
    serve({server("10.1.1.1", "1", "Germany")});
    world.writeSettings(
        "<Vars><ipconnected>99.9.9.9</ipconnected><portconnected>9</portconnected>"
        "<protocolconnected>private</protocolconnected><ipconnected_last>10.1.1.1"
        "</ipconnected_last><portconnected_last>1</portconnected_last><protocolconnected_last>"
        "private</protocolconnected_last></Vars>");
    MainWindow& w = open();
    EXPECT_EQ(block().connected, 0);
    EXPECT_EQ(saved().value("ipconnected"), "");
    EXPECT_EQ(saved().value("ipconnected_last"), "10.1.1.1");
    MainWindowAccess(w).ui->startBtn->click();
    EXPECT_EQ(block().connected, 1);
    EXPECT_EQ(QByteArray(block().proxy_ip), "10.1.1.1");
    MainWindowAccess(w).ui->startBtn->click();  // connected: the start button disconnects
    EXPECT_EQ(block().connected, 0);
    EXPECT_TRUE(messages.boxes.isEmpty());
}

TEST_F(Window, StartWithNothingToConnectSaysSo) {
    serve({server("10.1.1.1", "1", "Germany")});
    MainWindow& w = open();
    MainWindowAccess(w).ui->countryBox->addItem("Atlantis", "Atlantis");
    MainWindowAccess(w).ui->countryBox->setCurrentIndex(MainWindowAccess(w).ui->countryBox->count() - 1);
    MainWindowAccess(w).ui->startBtn->click();
    ASSERT_EQ(messages.boxes.size(), 1);
    EXPECT_EQ(messages.boxes[0].kind, MessageKind::Information);
    EXPECT_EQ(messages.boxes[0].title, "Veilnox");
    EXPECT_EQ(messages.boxes[0].text, "Start Veilnox failed.");
    EXPECT_EQ(block().connected, 0);
}

// ---------------------------------------------------------------- rotation

TEST_F(Window, RotationWalksTheChosenCountryAndStartsOver) {
    serve({server("1.1.1.1", "1", "Germany"), server("2.2.2.2", "2", "France"), server("3.3.3.3", "3", "germany")});
    world.writeSettings(
        "<Vars><ipconnected_last>2.2.2.2</ipconnected_last><portconnected_last>2"
        "</portconnected_last><protocolconnected_last>private</protocolconnected_last></Vars>");
    MainWindow& w = open();
    MainWindowAccess(w).ui->countryBox->setCurrentIndex(MainWindowAccess(w).ui->countryBox->findText("Germany"));
    MainWindowAccess(w).ui->changeBox->setCurrentIndex(MainWindowAccess(w).ui->changeBox->findData(5));
    EXPECT_EQ(saved().value("countryfilter"), "Germany");
    EXPECT_EQ(saved().value("changetime"), "5");
    // The stored server (France) is used only with "Any Country".
    MainWindowAccess(w).ui->startBtn->click();
    EXPECT_EQ(QByteArray(block().proxy_ip), "1.1.1.1");
    EXPECT_TRUE(MainWindowAccess(w).changeTimer->isActive());
    EXPECT_EQ(MainWindowAccess(w).changeTimer->interval(), 300000);
    EXPECT_FALSE(MainWindowAccess(w).ui->countryBox->isEnabled());
    EXPECT_FALSE(MainWindowAccess(w).ui->changeBox->isEnabled());
    w.OnChangeIpTimer();
    EXPECT_EQ(QByteArray(block().proxy_ip), "3.3.3.3");
    w.OnChangeIpTimer();
    EXPECT_EQ(QByteArray(block().proxy_ip), "1.1.1.1");
    EXPECT_EQ(MainWindowAccess(w).usedServers, QStringList{"1.1.1.1"});
    // A row's button stops the rotation and resets both selectors.
    rowButton(1)->click();
    EXPECT_FALSE(MainWindowAccess(w).changeTimer->isActive());
    EXPECT_EQ(MainWindowAccess(w).ui->countryBox->currentIndex(), 0);
    EXPECT_EQ(MainWindowAccess(w).ui->changeBox->currentIndex(), 0);
    // While disconnected the timer's ticks do nothing.
    rowButton(1)->click();
    w.OnChangeIpTimer();
    EXPECT_EQ(block().connected, 0);
}

TEST_F(Window, NeverArmsNoTimerAndAnyCountryPrefersTheCurrentServer) {
    serve({server("1.1.1.1", "1", "Germany"), server("2.2.2.2", "2", "France"), server("3.3.3.3", "3", "Spain")});
    MainWindow& w = open();
    MainWindowAccess(w).currentServer = server("2.2.2.2", "2", "France");
    MainWindowAccess(w).ui->startBtn->click();
    EXPECT_EQ(QByteArray(block().proxy_ip), "2.2.2.2");
    EXPECT_FALSE(MainWindowAccess(w).changeTimer->isActive());

    // With a rotation, the server connected at Start counts as used: the
    // first tick moves on to another one.
    MainWindowAccess(w).ui->startBtn->click();
    MainWindowAccess(w).ui->changeBox->setCurrentIndex(MainWindowAccess(w).ui->changeBox->findData(1));
    MainWindowAccess(w).ui->startBtn->click();
    EXPECT_EQ(QByteArray(block().proxy_ip), "2.2.2.2");
    EXPECT_TRUE(MainWindowAccess(w).changeTimer->isActive());
    w.OnChangeIpTimer();
    EXPECT_EQ(QByteArray(block().proxy_ip), "1.1.1.1");
    w.OnChangeIpTimer();
    EXPECT_EQ(QByteArray(block().proxy_ip), "3.3.3.3");
}

// ---------------------------------------------------------------- keys, own servers

TEST_F(Window, EachRowSaysWhatProtectsItAndTheSelectedServersKeyIsHandedOver) {
    std::uint8_t key[vnx::kHopKeySize];
    StringMap damaged = server("10.5.5.5", "9200", "Germany", "Bonn");
    damaged["key"] = keyText(1).left(42);
    StringMap keyed = server("10.6.6.6", "9200", "Germany", "Berlin");
    keyed["key"] = keyText(2, &key);
    const StringMap plain = server("10.7.7.7", "9200", "France", "Paris");
    serve({damaged, keyed, plain});
    MainWindow& w = open();
    EXPECT_EQ(block().encrypt_data, 1);
    struct Row {
        const char* tip;
        bool icon;
        bool usable;
    };
    const Row rows[] = {{"Damaged key:", true, false}, {"Encrypted:", true, true}, {"Masked:", false, true}};
    for (int i = 0; i < 3; ++i) {
        QTreeWidgetItem* item = vnxtest::serverRow(w, i);
        EXPECT_TRUE(item->toolTip(1).startsWith(rows[i].tip)) << i << item->toolTip(1).toStdString();
        EXPECT_EQ(item->toolTip(0), item->toolTip(1));
        EXPECT_EQ(!item->icon(1).isNull(), rows[i].icon) << i;
        EXPECT_EQ(rowButton(i)->isEnabled(), rows[i].usable) << i;
        // The key is never shown.
        EXPECT_FALSE(item->toolTip(1).contains(keyText(2).left(10)));
        EXPECT_FALSE(item->text(1).contains(keyText(2).left(10)));
    }
    // The lock differs from the warning.
    EXPECT_NE(vnxtest::serverRow(w, 0)->icon(1).pixmap(16).toImage(),
              vnxtest::serverRow(w, 1)->icon(1).pixmap(16).toImage());
    EXPECT_EQ(vnxtest::columnTexts(w, 1),
              QStringList({"Germany,Bonn,10.5.5.5", "Germany,Berlin,10.6.6.6", "France,Paris,10.7.7.7"}));

    // No server, no key.
    EXPECT_TRUE(publishedKey("10.6.6.6", 9200).isEmpty());
    // Start skips the damaged row: the keyed server is connected and its key
    // is there for the local server; the block holds no key.
    MainWindowAccess(w).ui->startBtn->click();
    ASSERT_EQ(block().connected, 1);
    EXPECT_EQ(QByteArray(block().proxy_ip), "10.6.6.6");
    EXPECT_EQ(publishedKey("10.6.6.6", 9200), QByteArray(reinterpret_cast<const char*>(key), sizeof key));
    const QByteArray blockBytes(reinterpret_cast<const char*>(&block()), sizeof(vnx::ProxyData));
    EXPECT_FALSE(blockBytes.contains(QByteArray(reinterpret_cast<const char*>(key), 8)));
    // The plain server: no key for it or the last one.
    rowButton(2)->click();
    EXPECT_EQ(QByteArray(block().proxy_ip), "10.7.7.7");
    EXPECT_TRUE(publishedKey("10.7.7.7", 9200).isEmpty());
    EXPECT_TRUE(publishedKey("10.6.6.6", 9200).isEmpty());
    rowButton(1)->click();
    EXPECT_FALSE(publishedKey("10.6.6.6", 9200).isEmpty());
    // A disconnect withdraws it.
    rowButton(1)->click();
    EXPECT_EQ(block().connected, 0);
    EXPECT_TRUE(publishedKey("10.6.6.6", 9200).isEmpty());

    // The damaged server is never connected, whichever way it is asked for.
    EXPECT_FALSE(w.ConnectServer("10.5.5.5", "9200", "private"));
    emit rowButton(0)->clicked();
    EXPECT_EQ(block().connected, 0);
    EXPECT_EQ(entry(0)->connected, false);
    EXPECT_TRUE(publishedKey("10.5.5.5", 9200).isEmpty());
}

TEST_F(Window, AddServerPutsAPastedServerIntoTheOwnListAndRemoveTakesItOut) {
    const QString listPath = LocalServerListPath(world.dataDir());
    vnxtest::writeFile(listPath, listXml({server("10.0.0.1", "1", "Local")}));
    serve({server("20.0.0.1", "2", "Remote")});
    MainWindow& w = open();
    // The download follows the user's own list.
    ASSERT_TRUE(vnxtest::waitFor([&] { return vnxtest::columnTexts(w, 1).size() == 2; }));
    QPushButton* add = w.findChild<QPushButton*>("addServerBtn");
    ASSERT_NE(add, nullptr);
    EXPECT_EQ(add->text(), "Add server...");
    EXPECT_FALSE(add->isHidden());

    // The clipboard's link is there already; a wrong text is refused in the
    // dialog, which stays open until a good one is added.
    const QString link = "veilnox://" + keyText(4) + "@203.0.113.9:9300?tag=NL&country=Netherlands&city=Delft";
    QGuiApplication::clipboard()->setText(link);
    QString prefilled;
    QStringList errors;
    whenModal<AddServerDlg>([&](AddServerDlg* dialog) {
        prefilled = dialog->textEdit->toPlainText();
        dialog->textEdit->setPlainText("veilnox://203.0.113.9:0");
        dialog->buttons->button(QDialogButtonBox::Ok)->click();
        errors << (dialog->errorLabel->isVisible() ? dialog->errorLabel->text() : QString());
        dialog->textEdit->setPlainText("<Element><ip>10.0.0.1</ip><port>1</port></Element>");
        dialog->buttons->button(QDialogButtonBox::Ok)->click();
        errors << (dialog->errorLabel->isVisible() ? dialog->errorLabel->text() : QString());
        dialog->textEdit->setPlainText(prefilled);
        dialog->buttons->button(QDialogButtonBox::Ok)->click();
    });
    add->click();
    EXPECT_EQ(prefilled, link);
    ASSERT_EQ(errors.size(), 2);
    EXPECT_TRUE(errors[0].contains("1 to 65535")) << errors[0].toStdString();
    EXPECT_TRUE(errors[1].contains("already")) << errors[1].toStdString();
    // Shown at once, after the user's other servers and before the download.
    EXPECT_EQ(vnxtest::columnTexts(w, 1),
              QStringList({"Local,City,10.0.0.1", "Netherlands,Delft,203.0.113.9", "Remote,City,20.0.0.1"}));
    EXPECT_TRUE(vnxtest::serverRow(w, 1)->toolTip(1).startsWith("Encrypted:"));
    EXPECT_EQ(http.requests, QStringList{"/list.xml"});  // nothing downloaded again
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(listPath).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    QList<StringMap> stored;
    ASSERT_TRUE(ParseArrayXml(QString::fromUtf8(vnxtest::readFile(listPath)), stored));
    ASSERT_EQ(stored.size(), 2);
    EXPECT_EQ(stored[1].value("key"), keyText(4));
    // Cancel adds nothing.
    whenModal<AddServerDlg>([](AddServerDlg* dialog) { dialog->reject(); });
    add->click();
    EXPECT_EQ(MainWindowAccess(w).ui->proxyList->topLevelItemCount(), 3);

    // Only the user's own servers can be removed.
    std::unique_ptr<QMenu> ownMenu(w.serverMenu(vnxtest::serverRow(w, 1)));
    EXPECT_EQ(actionTexts(ownMenu.get()), QStringList({"Add server...", "Remove server"}));
    std::unique_ptr<QMenu> downloadedMenu(w.serverMenu(vnxtest::serverRow(w, 2)));
    EXPECT_EQ(actionTexts(downloadedMenu.get()), QStringList({"Add server..."}));
    std::unique_ptr<QMenu> emptyMenu(w.serverMenu(nullptr));
    EXPECT_EQ(actionTexts(emptyMenu.get()), QStringList({"Add server..."}));
    EXPECT_FALSE(w.RemoveServer(vnxtest::serverRow(w, 2)));

    // The connected server stays; it keeps its look when the list reloads.
    rowButton(1)->click();
    ASSERT_EQ(block().connected, 1);
    EXPECT_FALSE(w.RemoveServer(vnxtest::serverRow(w, 1)));
    EXPECT_EQ(messages.boxes.last().text, "Disconnect from this server before removing it.");
    w.ReloadServerList();
    EXPECT_TRUE(entry(1)->connected);
    EXPECT_TRUE(rowButton(1)->styleSheet().contains("list_disconnected.png"));
    rowButton(1)->click();

    // Asked first: No keeps it, OK removes it.
    const int boxes = messages.boxes.size();
    EXPECT_FALSE(w.RemoveServer(vnxtest::serverRow(w, 1)));
    ASSERT_EQ(messages.boxes.size(), boxes + 1);
    EXPECT_EQ(messages.boxes.last().kind, MessageKind::OkCancel);
    EXPECT_EQ(MainWindowAccess(w).ui->proxyList->topLevelItemCount(), 3);
    messages.answer = true;
    EXPECT_TRUE(w.RemoveServer(vnxtest::serverRow(w, 1)));
    EXPECT_EQ(vnxtest::columnTexts(w, 1), QStringList({"Local,City,10.0.0.1", "Remote,City,20.0.0.1"}));
    EXPECT_EQ(vnxtest::readFile(listPath), listXml({server("10.0.0.1", "1", "Local")}));

    // A list that is not well-formed is not replaced: the dialog says so.
    const QByteArray broken = "<Array><Element><ip>10.0.0.1</ip>";
    vnxtest::writeFile(listPath, broken);
    whenModal<AddServerDlg>([&](AddServerDlg* dialog) {
        dialog->textEdit->setPlainText(link);
        dialog->buttons->button(QDialogButtonBox::Ok)->click();
        errors << dialog->errorLabel->text();
        dialog->reject();
    });
    add->click();
    EXPECT_TRUE(errors.last().contains("not a well-formed server list")) << errors.last().toStdString();
    EXPECT_EQ(vnxtest::readFile(listPath), broken);
}

// ---------------------------------------------------------------- window

TEST_F(Window, ClosingWhileConnectedAsksAndCancelKeepsTheWindow) {
    serve({server("10.1.1.1", "1", "Germany")});
    MainWindow& w = open();
    rowButton(0)->click();
    QSignalSpy closed(&w, &MainWindow::closed);
    messages.answer = false;
    EXPECT_FALSE(w.close());
    ASSERT_EQ(messages.boxes.size(), 1);
    EXPECT_EQ(messages.boxes[0].kind, MessageKind::OkCancel);
    EXPECT_EQ(messages.boxes[0].title, "Are you sure you want to quit?");
    EXPECT_EQ(messages.boxes[0].text,
              "Closing Veilnox will restore your original IP address and make you traceable "
              "on the internet. Are you sure to quit?");
    EXPECT_TRUE(w.isVisible());
    EXPECT_NE(block().client_window, 0u);
    EXPECT_EQ(closed.count(), 0);
    messages.answer = true;
    EXPECT_TRUE(w.close());
    EXPECT_EQ(block().client_window, 0u);
    // The user confirmed they want their own address back: the module stops
    // diverting. The stored keys stay, so the next start connects again.
    EXPECT_EQ(block().connected, 0);
    EXPECT_EQ(saved().value("ipconnected"), "10.1.1.1");
    EXPECT_EQ(closed.count(), 1);
    EXPECT_EQ(MainWindowAccess(w).trayIcon, nullptr);
    // Once the tray menu is gone its actions are not touched any more.
    vnxtest::waitFor([] { return false; }, 50);
    EXPECT_EQ(MainWindowAccess(w).connectAction, nullptr);
    w.SetConnectedUi(true);
}

TEST_F(Window, ClosingWhileDisconnectedDoesNotAsk) {
    MainWindow& w = open();
    QSignalSpy closed(&w, &MainWindow::closed);
    EXPECT_TRUE(w.close());
    EXPECT_TRUE(boxesWithText("Closing Veilnox will restore your original IP address and make you traceable on the "
                              "internet. Are you sure to quit?")
                    .isEmpty());
    EXPECT_EQ(block().client_window, 0u);
    EXPECT_EQ(closed.count(), 1);
}

TEST_F(Window, MinimisingHidesIntoATrayOnlyWhenThereIsOne) {
    MainWindow& w = open(false);
    MainWindow::setTrayProbe([] { return false; });
    w.showMinimized();
    vnxtest::waitFor([] { return false; }, 100);
    EXPECT_TRUE(w.isVisible()) << "no tray: the window must stay reachable";

    w.wakeUp();
    EXPECT_FALSE(w.isMinimized());
    MainWindow::setTrayProbe([] { return true; });
    w.showMinimized();
    EXPECT_TRUE(vnxtest::waitFor([&] { return !w.isVisible(); }));
    // A tray double click brings it back in front.
    w.iconActivated(QSystemTrayIcon::DoubleClick);
    EXPECT_TRUE(w.isVisible());
    EXPECT_FALSE(w.isMinimized());
    w.showMinimized();
    EXPECT_TRUE(vnxtest::waitFor([&] { return !w.isVisible(); }));
    w.trayMenuAction(MainWindowAccess(w).restoreAction);
    EXPECT_TRUE(w.isVisible());
    MainWindow::setTrayProbe(nullptr);
}

TEST_F(Window, AWakeUpRequestShowsTheWindowAndIsAnswered2) {
    MainWindow& w = open(false);
    w.hide();
    WakeServer wake;
    ASSERT_TRUE(wake.listen(WakeSocketName()));
    wake.setHandler([&] { return w.wakeUp(); });
    auto answer = std::async(std::launch::async, [] { return SendWakeUp(WakeSocketName(), 5000); });
    ASSERT_TRUE(
        vnxtest::waitFor([&] { return answer.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }));
    EXPECT_EQ(answer.get(), 2);
    EXPECT_TRUE(w.isVisible());
    EXPECT_TRUE(MainWindowAccess(w).trayIcon->isVisible() || !QSystemTrayIcon::isSystemTrayAvailable());

    // Anything but a wake-up request is answered 0 and shows nothing.
    w.hide();
    auto stranger = std::async(std::launch::async, [] {
        QLocalSocket socket;
        socket.connectToServer(WakeSocketName());
        if (!socket.waitForConnected(5000)) return QByteArray("no connection");
        socket.write("hello\n");
        socket.waitForBytesWritten(5000);
        QByteArray reply;
        while (!reply.contains('\n') && socket.waitForReadyRead(5000))
            reply += socket.readAll();
        return reply;
    });
    ASSERT_TRUE(
        vnxtest::waitFor([&] { return stranger.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }));
    EXPECT_EQ(stranger.get(), "0\n");
    EXPECT_FALSE(w.isVisible());
}

TEST_F(Window, TrayMenuActionsAndTheAutostartBox) {
    serve({server("10.1.1.1", "1", "Germany")});
    world.writeSettings(
        "<Vars><ipconnected_last>10.1.1.1</ipconnected_last><portconnected_last>1"
        "</portconnected_last><protocolconnected_last>private</protocolconnected_last></Vars>");
    MainWindow& w = open();
    vnxtest::UrlRecorder urls;
    w.trayMenuAction(MainWindowAccess(w).connectAction);
    EXPECT_EQ(block().connected, 1);
    w.trayMenuAction(MainWindowAccess(w).connectAction);
    EXPECT_EQ(block().connected, 0);
    w.trayMenuAction(MainWindowAccess(w).homepageAction);
    w.on_helpBtn_clicked();
    EXPECT_EQ(urls.urls, QStringList({appContext().homepageUrl, appContext().supportPageUrl}));

    const QString entryFile = AutostartLocation("Veilnox");
    EXPECT_TRUE(entryFile.startsWith(world.root()));
    MainWindowAccess(w).ui->autostartBox->setChecked(true);
    EXPECT_TRUE(QFile::exists(entryFile));
    MainWindowAccess(w).ui->autostartBox->setChecked(false);
    EXPECT_FALSE(QFile::exists(entryFile));

    QSignalSpy closed(&w, &MainWindow::closed);
    w.trayMenuAction(MainWindowAccess(w).quitAction);
    EXPECT_EQ(closed.count(), 1);
}

// ---------------------------------------------------------------- watchdog

TEST_F(Window, TheEleventhLaunchWithinTwentyMinutesShowsTheCrashMessageOnce) {
    MainWindow& w = open(false);
    std::uint32_t now = 5000;
    w.launcher().bookkeeping().setTickSource([&] { return now; });
    w.launcher().setProgram(world.root() + "/no-such-veilnoxsvr");
    block().server_status = 1;
    block().tcp_port = 9111;
    for (int i = 0; i < 22; ++i) {
        w.StartServer();
        now += 1200;
    }
    QList<MessageRecorder::Box> crashes;
    for (const auto& box : messages.boxes)
        if (box.text.startsWith("Sorry, Veilnox Local Server crashed")) crashes << box;
    ASSERT_EQ(crashes.size(), 2);  // the 11th and the 22nd launch
    EXPECT_EQ(crashes[0].title, "Veilnox Message");
    EXPECT_EQ(crashes[0].text,
              "Sorry, Veilnox Local Server crashed with error code:1.  tcp failed bind to 127.0.0.1 port:9111 "
              "inernal error: TCP BIND \r\n Please restart your Veilnox. if this issue still exists, please "
              "contact us at " +
                  appContext().supportAddress + " . thank you very much.");
    EXPECT_EQ(vnxtest::runtimeLog().count("StartServer start veilnoxsvrrun "), 22);

    // Launches spread over more than 20 minutes never report.
    messages.boxes.clear();
    for (int i = 0; i < 30; ++i) {
        w.StartServer();
        now += 130000;
    }
    EXPECT_TRUE(messages.boxes.isEmpty());
}

// Another program holds the local server's port: Connect says so once per
// attempt and never shows Connected; once the port is free it connects.
TEST_F(Window, ConnectWhileAnotherProgramHoldsTheLocalPortIsRefusedWithTheReason) {
    serve({server("10.1.1.1", "8443", "Germany"), server("10.2.2.2", "2", "France")});
    MainWindow& w = open();
    w.launcher().setProgram(world.root() + "/no-such-veilnoxsvr");
    QTcpServer other;
    ASSERT_TRUE(other.listen(QHostAddress(QHostAddress::LocalHost), vnx::kLocalServerPort));
    const QString held = PortHeldMessage(vnx::kStatusTcpBind, 9111, 9111, appContext().supportAddress);
    ASSERT_TRUE(held.contains("port 9111"));

    rowButton(0)->click();
    EXPECT_EQ(block().connected, 0);
    EXPECT_FALSE(entry(0)->connected);
    EXPECT_EQ(boxesWithText(held).size(), 1);
    EXPECT_EQ(MainWindowAccess(w).ui->currentLabel->text(), "<strong>Disconnected.</strong>");
    EXPECT_EQ(saved().value("ipconnected"), "");
    // The start button tries the current and the next server: still one
    // message, and no second one saying that the start failed.
    MainWindowAccess(w).ui->startBtn->click();
    EXPECT_EQ(block().connected, 0);
    EXPECT_EQ(boxesWithText(held).size(), 2);
    EXPECT_EQ(messages.boxes.size(), 2);
    EXPECT_EQ(MainWindowAccess(w).connectAction->text(), "Connect");

    // Free again: the bind failure an earlier server left no longer counts,
    // and the watchdog launches a server at its next tick.
    other.close();
    block().server_status = vnx::kStatusTcpBind;
    rowButton(1)->click();
    EXPECT_EQ(block().connected, 1);
    EXPECT_TRUE(entry(1)->connected);
    EXPECT_EQ(block().server_status, vnx::kStatusOk);
    w.OnSpeedTimer();
    EXPECT_EQ(block().connected, 1);
    EXPECT_EQ(vnxtest::runtimeLog().count("StartServer start veilnoxsvrrun "), 1);
    EXPECT_EQ(messages.boxes.size(), 2);
}

// The local server ended because it could not bind its port: the watchdog
// says so once and disconnects instead of launching it again on every tick.
TEST_F(Window, AServerThatCouldNotBindItsPortIsReportedOnceAndNotRelaunched) {
    serve({server("10.1.1.1", "8443", "Germany")});
    MainWindow& w = open();
    w.launcher().setProgram(world.root() + "/no-such-veilnoxsvr");
    const struct {
        int status;
        const char* port;
    } cases[] = {{vnx::kStatusTcpBind, "port 9111 (TCP)"}, {vnx::kStatusUdpBind, "port 9222 (UDP)"}};
    for (const auto& c : cases) {
        messages.boxes.clear();
        block().server_status = vnx::kStatusOk;
        rowButton(0)->click();
        ASSERT_EQ(block().connected, 1) << c.status;
        const int launches = vnxtest::runtimeLog().count("StartServer start veilnoxsvrrun ");
        // What the server wrote before it ended.
        block().server_status = static_cast<std::uint16_t>(c.status);
        block().tcp_port = 9111;
        block().udp_port = 9222;
        for (int tick = 0; tick < 30; ++tick)
            w.OnSpeedTimer();
        ASSERT_EQ(messages.boxes.size(), 1) << c.status;
        EXPECT_EQ(messages.boxes[0].text, PortHeldMessage(c.status, 9111, 9222, appContext().supportAddress));
        EXPECT_TRUE(messages.boxes[0].text.contains(c.port)) << messages.boxes[0].text.toStdString();
        EXPECT_EQ(block().connected, 0);
        EXPECT_FALSE(entry(0)->connected);
        EXPECT_EQ(MainWindowAccess(w).ui->currentLabel->text(), "<strong>Disconnected.</strong>");
        EXPECT_EQ(vnxtest::runtimeLog().count("StartServer start veilnoxsvrrun "), launches);
    }
}

// The kernel capture service's report of the connections it reset shows in
// the status bar once per report; one written before the window is not news.
TEST_F(Window, TheCaptureServicesResetReportShowsInTheStatusBarOnce) {
    // The service's state file, and its report beside it.
    qputenv("VEILNOX_CAPTURE_STATE", (world.root() + "/capture.pid").toLocal8Bit());
    struct Unset {
        ~Unset() { qunsetenv("VEILNOX_CAPTURE_STATE"); }
    } unset;
    const QString report = world.root() + "/veilnox-capture.reset." + QString::number(::getuid());
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    ASSERT_TRUE(vnxtest::writeFile(report, QByteArray::number(4) + " " + QByteArray::number(now - 5) + "\n"));
    MainWindow& w = open(false);
    QStatusBar* bar = MainWindowAccess(w).ui->statusBar;
    w.OnSpeedTimer();
    EXPECT_EQ(bar->currentMessage(), "");

    ASSERT_TRUE(vnxtest::writeFile(report, QByteArray::number(3) + " " + QByteArray::number(now + 1) + "\n"));
    w.OnSpeedTimer();
    EXPECT_EQ(bar->currentMessage(),
              "3 connections opened before Connect were reset so that they reconnect through the proxy.");
    bar->clearMessage();
    w.OnSpeedTimer();
    EXPECT_EQ(bar->currentMessage(), "");
    ASSERT_TRUE(vnxtest::writeFile(report, QByteArray::number(1) + " " + QByteArray::number(now + 2) + "\n"));
    w.OnSpeedTimer();
    EXPECT_EQ(bar->currentMessage(),
              "1 connection opened before Connect was reset so that it reconnects through the proxy.");
    // It goes by itself after about 10 s.
    EXPECT_TRUE(vnxtest::waitFor([&] { return bar->currentMessage().isEmpty(); }, 15000));
}

TEST_F(Window, TheFirstStartServerStartsTheTickEvenWhenAServerRuns) {
    MainWindow& w = open(false);
    vnx::RunMutex running(vnx::kServerRunMutexName);
    ASSERT_TRUE(running.create());
    w.launcher().setProgram(world.root() + "/no-such-veilnoxsvr");
    w.StartServer();
    EXPECT_TRUE(MainWindowAccess(w).speedTimer->isActive());
    EXPECT_EQ(MainWindowAccess(w).speedTimer->interval(), 1200);
    EXPECT_TRUE(w.launcher().launchedPids().isEmpty());
    EXPECT_FALSE(vnxtest::runtimeLog().contains("StartServer start veilnoxsvrrun"));
    EXPECT_NE(MainWindowAccess(w).server, nullptr);
    // The in-process server object keeps the three slot tables open.
    const std::pair<const char*, std::uint32_t> tables[] = {{vnx::kTcpTableName, vnx::kTcpSlotSize},
                                                            {vnx::kUdpSendTableName, vnx::kUdpSlotSize},
                                                            {vnx::kUdpRecvTableName, vnx::kUdpSlotSize}};
    for (const auto& table : tables) {
        vnx::SharedMemory opened(table.first, table.second * vnx::kSlotCount, false);
        EXPECT_NE(opened.view(), nullptr) << table.first;
    }
}

// ---------------------------------------------------------------- bad input

// ---------------------------------------------------------------- type sizes

namespace {

// Texts of `top` that do not fit their widgets: plain labels, check boxes,
// radio buttons and push buttons (the picture buttons draw no text), and the
// titles of the headers (bold, 3 pixels of padding on either side, as the
// lists' style sheets say) and cells of the lists.
QStringList cutTexts(QWidget* top) {
    QStringList cut;
    for (QLabel* label : top->findChildren<QLabel*>()) {
        const QString text = label->text();
        if (text.isEmpty() || label->wordWrap() || Qt::mightBeRichText(text)) continue;
        const QFontMetrics fm(label->font());
        const QRect room = label->contentsRect();
        if (fm.horizontalAdvance(text) > room.width() || fm.height() > room.height()) cut << text;
    }
    for (QAbstractButton* button : top->findChildren<QAbstractButton*>()) {
        if (button->text().isEmpty() || button->isHidden() || qobject_cast<QImageButton*>(button)) continue;
        const QFontMetrics fm(button->font());
        // A push button needs its text (and a pixel of border around it); a
        // check box or radio button its indicator too, as its hint says.
        const bool push = qobject_cast<QPushButton*>(button) != nullptr;
        const int width = push ? fm.horizontalAdvance(button->text()) + 2 : button->sizeHint().width();
        const int height = push ? fm.height() + 2 : qMin(button->sizeHint().height(), fm.height() + 4);
        if (width > button->width() || height > button->height()) cut << button->text();
    }
    for (QTreeWidget* list : top->findChildren<QTreeWidget*>()) {
        QHeaderView* header = list->header();
        QFont bold = header->font();
        bold.setWeight(QFont::DemiBold);  // the style sheet's font-weight 600
        const QFontMetrics fm(bold);
        for (int i = 0; i < header->count(); ++i) {
            const int size = header->sectionSize(i);
            if (size < 12) continue;  // hidden on purpose
            if (fm.horizontalAdvance(list->headerItem()->text(i)) + 2 * 3 > size) cut << list->headerItem()->text(i);
        }
        for (int row = 0; row < list->topLevelItemCount(); ++row) {
            QTreeWidgetItem* item = list->topLevelItem(row);
            for (int i = 0; i < list->columnCount(); ++i) {
                const QString text = item->text(i);
                const int icon = item->icon(i).isNull() ? 0 : list->iconSize().width() + 4;
                if (!text.isEmpty() &&
                    QFontMetrics(item->font(i)).horizontalAdvance(text) + icon + 6 > list->columnWidth(i))
                    cut << text;
            }
        }
    }
    return cut;
}

}  // namespace

// At the platform's type, a desktop's 9 points, and (the same test run with
// QT_FONT_DPI=120) a desktop's 125 % text size, no title, label or box text
// is cut: the windows keep their sizes of 96 dpi and grow with larger type.
TEST_F(Window, EveryTextFitsItsWidget) {
    serve(
        {server("203.0.113.240", "9200", "Germany", "Frankfurt"), server("198.51.100.133", "9200", "Japan", "Tokyo")});
    const QFont original = QApplication::font();
    for (int points : {original.pointSize(), 9}) {
        QFont font = original;
        font.setPointSize(points);
        QApplication::setFont(font);
        MainWindow& w = open();
        const double scale = qMax(1.0, w.logicalDpiY() / 96.0);
        EXPECT_GE(w.width(), qRound(630 * scale));
        EXPECT_GE(w.height(), qRound(447 * scale));
        // An application row in the Connections tab.
        new QTreeWidgetItem(MainWindowAccess(w).ui->connectionList,
                            QStringList{"firefox-esr", "1023.99 MB", "1023.99 MB", "1023.99 Mb/s"});
        MainWindowAccess(w).ui->tabMain->setCurrentIndex(1);
        QCoreApplication::processEvents();
        EXPECT_EQ(cutTexts(&w), QStringList()) << points << " pt";

        ProgramDlg settings(MainWindowAccess(w).proxyData);
        for (int tab = 0; tab < settings.ui->mainTab->count(); ++tab) {
            settings.ui->mainTab->setCurrentIndex(tab);
            settings.show();
            QCoreApplication::processEvents();
            EXPECT_EQ(cutTexts(settings.ui->mainTab->currentWidget()), QStringList()) << points << " pt";
        }
        settings.hide();
        CAppConfig scratch;
        ProgramSelectDlg select(scratch);
        select.show();
        QCoreApplication::processEvents();
        EXPECT_EQ(cutTexts(&select), QStringList()) << points << " pt";
        select.hide();

        window->shutdownForExit();
        window.reset();
    }
    QApplication::setFont(original);
}

TEST_F(Window, HugeAndBrokenServerListsNeverCrash) {
    // 10,000 servers.
    QList<StringMap> many;
    for (int i = 0; i < 10000; ++i)
        many << server(QString("10.%1.%2.1").arg(i / 250).arg(i % 250), "443", QString("Country%1").arg(i % 50));
    serve(many);
    MainWindow& w = open();
    EXPECT_EQ(MainWindowAccess(w).ui->proxyList->topLevelItemCount(), 10000);
    EXPECT_EQ(MainWindowAccess(w).ui->countryBox->count(), 51);

    // A 1 MiB line: texts are cut for display, the server still connects.
    StringMap huge = server("10.9.9.9", "9", QString(1 << 20, 'c'), QString(1 << 20, 'd'));
    huge["user"] = QString(1 << 20, 'u');
    serve({huge});
    w.UpdateServerList();
    ASSERT_EQ(MainWindowAccess(w).ui->proxyList->topLevelItemCount(), 1);
    EXPECT_LE(MainWindowAccess(w).ui->proxyList->topLevelItem(0)->text(1).size(), 1000);
    EXPECT_LE(MainWindowAccess(w).ui->countryBox->itemText(1).size(), 256);
    rowButton(0)->click();
    EXPECT_EQ(block().connected, 1);
    EXPECT_EQ(QByteArray(block().proxy_user), QByteArray(55, 'u'));
    rowButton(0)->click();

    // Wrong encodings and junk: UTF-16 text, Latin-1 bytes, binary.
    const QString wide = "<Array><Element><ip>1.1.1.1</ip></Element></Array>";
    http.setRoute("/list.xml", ok(QByteArray(reinterpret_cast<const char*>(wide.utf16()), 2 * wide.size())));
    w.UpdateServerList();
    EXPECT_EQ(MainWindowAccess(w).ui->proxyList->topLevelItemCount(), 0);
    http.setRoute("/list.xml", ok("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><Array><Element><ip>1.1.1.1</ip>"
                                  "<country>Espa\xf1"
                                  "a</country></Element></Array>"));
    w.UpdateServerList();
    EXPECT_LE(MainWindowAccess(w).ui->proxyList->topLevelItemCount(), 1);
    QByteArray junk;
    for (int i = 0; i < 200000; ++i)
        junk += static_cast<char>((i * 131) & 0xFF);
    http.setRoute("/list.xml", ok(junk));
    w.UpdateServerList();
    EXPECT_EQ(MainWindowAccess(w).ui->proxyList->topLevelItemCount(), 0);
    EXPECT_EQ(vnxtest::countryTexts(w), QStringList{"Any Country"});
}

TEST_F(Window, DamagedSettingsAndJunkRulesStartWithDefaults) {
    QByteArray junk;
    for (int i = 0; i < 50000; ++i)
        junk += static_cast<char>((i * 251 + 7) & 0xFF);
    world.writeSettings("<Vars><ipconnected>1.2.3.4</ipconn" + junk);
    world.writeRules(junk + "\nvalid.exe\n" + junk);
    serve({server("1.2.3.4", "1", "Germany")});
    MainWindow& w = open();
    EXPECT_EQ(block().connected, 0);
    EXPECT_EQ(block().redirect_tcp, 1);
    EXPECT_GE(block().rule_count, 1);
    EXPECT_LE(block().rule_count, 128);
    // The damaged file is left as it was until the user changes something.
    QFile file(world.configFile());
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_TRUE(file.readAll().startsWith("<Vars><ipconnected>1.2.3.4</ipconn"));
    (void)w;
}

TEST_F(Window, NonsenseCountsInTheStatusBlockAreHarmless) {
    serve({server("1.2.3.4", "1", "Germany")});
    MainWindow& w = open();
    w.launcher().setProgram(world.root() + "/no-such-veilnoxsvr");
    rowButton(0)->click();
    vnx::ServerStatus* status = vnx::serverStatus(true);
    ASSERT_NE(status, nullptr);
    for (std::int32_t count : {-1, 513, 0x7FFFFFFF, static_cast<std::int32_t>(0x80000000)}) {
        status->app_count = count;
        std::memset(status->apps[0].name, 'A', sizeof status->apps[0].name);  // no terminator
        w.OnSpeedTimer();
        w.on_tabMain_currentChanged(1);
    }
    EXPECT_EQ(block().connected, 1);
}

// ---------------------------------------------------------------- keyboard, notifications, empty list, logs

// Tab visits every action of the window in reading order, each with a name
// a screen reader says; Enter on a row connects it; Escape closes About.
TEST_F(Window, TheKeyboardReachesEveryActionAndEachHasAName) {
    ASSERT_TRUE(vnxtest::writeFile(world.dataDir() + "/config/proxys.xml", listXml({server("10.0.0.9", "9", "Own")})));
    serve({server("10.0.0.1", "1", "Germany")});
    MainWindow& w = open();
    ASSERT_TRUE(vnxtest::waitFor([&] { return MainWindowAccess(w).ui->proxyList->topLevelItemCount() == 2; }));
    Ui::MainWindow& ui = *MainWindowAccess(w).ui;
    QWidget* addServer = w.findChild<QPushButton*>("addServerBtn");
    ASSERT_NE(addServer, nullptr);
    w.activateWindow();
    QApplication::setActiveWindow(&w);
    ui.settingBtn->setFocus(Qt::TabFocusReason);
    QList<QWidget*> visited{QApplication::focusWidget()};
    for (int i = 0; i < 30 && visited.size() < 30; ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        if (QApplication::focusWidget() == visited.first()) break;
        visited << QApplication::focusWidget();
    }
    struct Stop {
        QWidget* widget;
        const char* name;
    };
    const Stop stops[] = {{ui.settingBtn, "Settings"}, {ui.helpBtn, "Help"},          {ui.aboutBtn, "About"},
                          {ui.startBtn, "Connect"},    {ui.countryBox, "Connect To"}, {ui.changeBox, "Change Every"},
                          {ui.proxyList, "Servers"},   {addServer, "Add server"},     {ui.logBtn, "Logs"}};
    int last = -1;
    for (const Stop& stop : stops) {
        const int at = visited.indexOf(stop.widget);
        EXPECT_GT(at, last) << stop.name << " is not reached by Tab in its place";
        last = qMax(last, at);
        EXPECT_EQ(stop.widget->accessibleName(), stop.name);
    }

    // Delete on a row of the user's own list asks to remove it (here: No).
    ui.proxyList->setFocus();
    ui.proxyList->setCurrentItem(ui.proxyList->topLevelItem(0));
    QTest::keyClick(ui.proxyList, Qt::Key_Delete);
    ASSERT_EQ(messages.boxes.size(), 1);
    EXPECT_EQ(messages.boxes[0].title, "Remove server");
    EXPECT_EQ(ui.proxyList->topLevelItemCount(), 2);

    // Enter on the current row works its connect button; the big button's
    // name follows the state.
    ui.proxyList->setCurrentItem(ui.proxyList->topLevelItem(1));
    QTest::keyClick(ui.proxyList, Qt::Key_Return);
    EXPECT_EQ(block().connected, 1);
    EXPECT_EQ(ui.startBtn->accessibleName(), "Disconnect");
    ui.startBtn->setFocus();
    QTest::keyClick(ui.startBtn, Qt::Key_Space);
    EXPECT_EQ(block().connected, 0);
    EXPECT_EQ(ui.startBtn->accessibleName(), "Connect");

    ui.aboutBtn->setFocus();
    QTest::keyClick(ui.aboutBtn, Qt::Key_Space);
    QPointer<QWidget> about = w.findChild<QWidget*>("aboutWindow");
    ASSERT_NE(about, nullptr);
    ASSERT_TRUE(about->isVisible());
    EXPECT_FALSE(about->accessibleName().isEmpty());
    QTest::keyClick(about, Qt::Key_Escape);
    EXPECT_TRUE(vnxtest::waitFor([&] { return !about || !about->isVisible(); }));
}

// Connect, another server, disconnect and the loss of the local server are
// each told through the tray; the tray menu says the state and the server.
TEST_F(Window, ConnectionChangesAreNotifiedAndTheTrayMenuSaysTheState) {
    serve({server("10.0.0.1", "1", "Germany", "Berlin"), server("10.0.0.2", "2", "France", "Paris")});
    MainWindow& w = open();
    w.launcher().setProgram(world.root() + "/no-such-veilnoxsvr");
    QAction* state = MainWindowAccess(w).trayMenu->actions().first();
    struct Step {
        const char* name;
        std::function<void()> act;
        const char* notification;  // its start
        const char* trayState;
    };
    const Step steps[] = {
        {"connect", [&] { rowButton(0)->click(); }, "Connected: Veilnox is connected through Germany,Berlin,10.0.0.1",
         "Connected: Germany,Berlin,10.0.0.1"},
        {"another server", [&] { rowButton(1)->click(); }, "Server changed: Veilnox now connects through France",
         "Connected: France,Paris,10.0.0.2"},
        {"the local server is gone", [&] { w.OnSpeedTimer(); },
         "Traffic blocked: ", "Connected: France,Paris,10.0.0.2"},
        {"disconnect", [&] { rowButton(1)->click(); }, "Disconnected: ", "Disconnected"},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        step.act();
        EXPECT_TRUE(w.lastNotification().startsWith(step.notification)) << w.lastNotification().toStdString();
        EXPECT_EQ(state->text(), step.trayState);
    }
    // The tray's Settings opens the settings dialog.
    bool opened = false;
    QTimer::singleShot(0, [&] {
        vnxtest::waitFor([&] { return QApplication::activeModalWidget() != nullptr; }, 5000);
        if (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
            opened = dialog->windowTitle() == "Veilnox Settings";
            dialog->reject();
        }
    });
    w.trayMenuAction(MainWindowAccess(w).trayMenu->actions().at(5));
    EXPECT_TRUE(opened);
}

// An empty list says what to do about it; a row makes the hint go.
TEST_F(Window, AnEmptyListPointsAtAddServer) {
    http.setRoute("/list.xml", missing());
    http.setRoute("/fallback.xml", missing());
    MainWindow& w = open();
    QWidget* hint = w.findChild<QLabel*>("emptyListHint");
    ASSERT_NE(hint, nullptr);
    EXPECT_TRUE(hint->isVisible());
    EXPECT_TRUE(w.emptyListText().contains("\"Add server...\"")) << w.emptyListText().toStdString();
    // Connect keeps its box.
    MainWindowAccess(w).ui->startBtn->click();
    EXPECT_EQ(boxesWithText("Start Veilnox failed.").size(), 1);
    w.AddServerRow(server("10.0.0.1", "1", "Germany"));
    EXPECT_FALSE(hint->isVisible());
    EXPECT_TRUE(w.emptyListText().isEmpty());
}

// The log viewer shows the end of each log, read-only, and reads the files
// again on Refresh.
TEST_F(Window, TheLogViewerShowsTheLogsAndRefreshes) {
    const QString log = world.root() + "/client.log";
    const QString missingLog = world.root() + "/none.log";
    ASSERT_TRUE(vnxtest::writeFile(log, "first line\r\n"));
    LogViewer viewer({{"Veilnox", log}, {"Local server", missingLog}});
    ASSERT_EQ(viewer.tabs()->count(), 2);
    EXPECT_TRUE(viewer.view(0)->isReadOnly());
    EXPECT_EQ(viewer.view(0)->toPlainText(), "first line\n");
    EXPECT_TRUE(viewer.view(1)->toPlainText().startsWith("No log yet")) << viewer.view(1)->toPlainText().toStdString();
    ASSERT_TRUE(vnxtest::writeFile(log, "first line\r\nsecond line\r\n"));
    viewer.findChild<QPushButton*>("refreshBtn")->click();
    EXPECT_EQ(viewer.view(0)->toPlainText(), "first line\nsecond line\n");
    // A long log shows its end, from a whole line on.
    EXPECT_EQ(LogViewText(log, 15), "second line\n");
}
