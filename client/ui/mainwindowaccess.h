#pragma once
// MainWindowAccess: the one way into MainWindow's private members from
// outside the class, for the tests (tests/gui), the automation socket
// (automation.cpp), the screenshot tool (client/tools) and the list
// benchmark (bench/serverlist_bench.cpp). It holds references to the
// window's own members, so
//     MainWindowAccess(window).ui->proxyList
// reads (and writes) what the window itself uses. GUI thread only; it must
// not outlive the window.
#include "mainwindow.h"

struct MainWindowAccess {
    explicit MainWindowAccess(MainWindow& window)
        : ui(window.ui),
          proxyData(window.proxyData),
          udpSocket(window.udpSocket),
          loading(window.loading),
          server(window.server),
          testTimer(window.testTimer),
          changeTimer(window.changeTimer),
          speedTimer(window.speedTimer),
          usedServers(window.usedServers),
          currentServer(window.currentServer),
          trayIcon(window.trayIcon),
          trayMenu(window.trayMenu),
          connectAction(window.connectAction),
          homepageAction(window.homepageAction),
          restoreAction(window.restoreAction),
          quitAction(window.quitAction),
          updateLabel(window.updateLabel),
          speedLabel(window.speedLabel),
          modeLabel(window.modeLabel) {}

    std::unique_ptr<Ui::MainWindow>& ui;
    vnx::ProxyData*& proxyData;
    QUdpSocket*& udpSocket;
    bool& loading;
    std::unique_ptr<QObject>& server;
    QTimer*& testTimer;
    QTimer*& changeTimer;
    QTimer*& speedTimer;
    QStringList& usedServers;
    StringMap& currentServer;
    QSystemTrayIcon*& trayIcon;
    QMenu*& trayMenu;
    QAction*& connectAction;
    QAction*& homepageAction;
    QAction*& restoreAction;
    QAction*& quitAction;
    QLabel*& updateLabel;
    QLabel*& speedLabel;
    QLabel*& modeLabel;
};
