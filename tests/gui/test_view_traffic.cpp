// The traffic view of the real MainWindow: "connectionList", the status-bar
// rate and the tray tooltip, fed by status blocks written by the test (the
// cases a server cannot easily be made to produce; test_view_live.cpp has
// the real server). The fixture holds the local server's run marker for the
// rest of the process, so these cases share no process with that suite.
#include "appcontext.h"
#include "mainwindow.h"
#include "mainwindowaccess.h"
#include "qt/clientworld.h"
#include "sharedmemory.h"
#include "trafficview.h"
#include "ui_mainwindow.h"

#include <QCoreApplication>
#include <QLabel>
#include <QScrollBar>
#include <QTreeWidgetItem>

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

using namespace vnxtest;

namespace {

// ---------------------------------------------------------------- hand-written blocks

class TrafficTest : public ::testing::Test {
protected:
    void SetUp() override {
        // The local server counts as running, so the watchdog of the tick
        // launches nothing that would write the block.
        ASSERT_TRUE(serverMarker.create());
        status = vnx::serverStatus(true);
        ASSERT_NE(status, nullptr);
        std::memset(status, 0, sizeof *status);
        window.reset(vnxtest::makeWindow());
        ASSERT_TRUE(window->isUsable());
        list = MainWindowAccess(*window).ui->connectionList;
    }

    void publish(const std::vector<vnx::AppStatus>& apps, int count = -1) {
        for (std::size_t i = 0; i < apps.size() && i < vnx::kMaxStatusApps; ++i)
            status->apps[i] = apps[i];
        status->app_count = count >= 0 ? count : static_cast<int>(apps.size());
    }

    // Connects through a row, as the user does (the module is installed).
    void connect() {
        world.installModule();
        window->AddServerRow(vnxtest::server(QStringLiteral("127.0.0.1"), QStringLiteral("9200"),
                                             QStringLiteral("Germany"), QStringLiteral("Berlin")));
        ASSERT_TRUE(
            window->ConnectServer(QStringLiteral("127.0.0.1"), QStringLiteral("9200"), QStringLiteral("private")));
    }

    vnx::RunMutex serverMarker{"veilnoxsvrrun"};
    vnxtest::MessageRecorder boxes;
    vnxtest::ClientWorld world;
    vnx::ServerStatus* status = nullptr;
    std::unique_ptr<MainWindow> window;
    QTreeWidget* list = nullptr;
};

TEST_F(TrafficTest, RatesShowEightfoldInTheStatusBarAndTheRow) {
    connect();
    status->udp_rate = 1000;
    status->tcp_rate = 0;
    publish({appEntry("game", /*udpSent*/ 3072, /*udpRecv*/ 1536, /*udpRate*/ 1000, /*udpConnections*/ 2,
                      /*tcpRecv*/ 1000000, /*tcpSent*/ 1048577, /*tcpRate*/ 0, /*tcpConnections*/ 1)});
    window->OnSpeedTimer();
    EXPECT_EQ(MainWindowAccess(*window).speedLabel->text(), QStringLiteral("7.81 Kb/s"));
    QTreeWidgetItem* row = appRow(*window, QStringLiteral("game"));
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(row->text(0), QStringLiteral("game"));
    EXPECT_EQ(row->text(1), QStringLiteral("1 MB"));       // 1048577 + 3072
    EXPECT_EQ(row->text(2), QStringLiteral("978.06 KB"));  // 1000000 + 1536
    EXPECT_EQ(row->text(3), QStringLiteral("7.81 Kb/s"));
    EXPECT_EQ(row->text(4),
              QStringLiteral("TCP: 0 Kb/s Connects: 1, UDP: 7.81 Kb/s Connects: 2 [Send:3 KB,Recv:1.5 KB]"));
    EXPECT_EQ(list->headerItem()->text(0), QStringLiteral("Program [1]"));
}

TEST_F(TrafficTest, RowsAreAddedUpdatedInPlaceAndRemoved) {
    connect();
    publish({appEntry("b-app", 0, 0, 0, 0, 0, 2048), appEntry("a-app"), appEntry("c-app")});
    window->OnSpeedTimer();
    ASSERT_EQ(appNames(*window), (QStringList{"a-app", "b-app", "c-app"}));  // appended in name order
    EXPECT_EQ(list->headerItem()->text(0), QStringLiteral("Program [3]"));
    QTreeWidgetItem* b = appRow(*window, QStringLiteral("b-app"));
    QTreeWidgetItem* c = appRow(*window, QStringLiteral("c-app"));
    EXPECT_EQ(b->text(1), QStringLiteral("2 KB"));
    list->setCurrentItem(b);

    // a-app ends, b-app sends more, d-app and 0-app appear (appended after the
    // existing rows, in name order), c-app stays.
    publish({appEntry("d-app"), appEntry("c-app"), appEntry("b-app", 0, 0, 0, 0, 0, 4096), appEntry("0-app")});
    window->OnSpeedTimer();
    EXPECT_EQ(appNames(*window), (QStringList{"b-app", "c-app", "0-app", "d-app"}));
    EXPECT_EQ(appRow(*window, QStringLiteral("b-app")), b);  // the same row, rewritten
    EXPECT_EQ(appRow(*window, QStringLiteral("c-app")), c);
    EXPECT_EQ(b->text(1), QStringLiteral("4 KB"));
    EXPECT_EQ(list->currentItem(), b);
    EXPECT_TRUE(b->isSelected());
    EXPECT_EQ(list->headerItem()->text(0), QStringLiteral("Program [4]"));

    // Every application gone: the list empties, the header follows.
    publish({});
    window->OnSpeedTimer();
    EXPECT_EQ(list->topLevelItemCount(), 0);
    EXPECT_EQ(list->headerItem()->text(0), QStringLiteral("Program [0]"));
}

TEST_F(TrafficTest, SelectionAndScrollPositionSurviveTheRefresh) {
    connect();
    std::vector<vnx::AppStatus> apps;
    std::vector<QByteArray> names;
    for (int i = 0; i < 80; ++i)
        names.push_back(QByteArray("app-") + QByteArray::number(100 + i));
    for (int i = 0; i < 80; ++i)
        apps.push_back(appEntry(names[i].constData(), 0, 0, 0, 0, 0, 1024u * i));
    publish(apps);
    MainWindowAccess(*window).ui->tabMain->setCurrentIndex(1);  // the tab runs a tick itself
    window->show();
    QCoreApplication::processEvents();
    ASSERT_EQ(list->topLevelItemCount(), 80);
    QTreeWidgetItem* chosen = appRow(*window, QStringLiteral("app-150"));
    list->setCurrentItem(chosen);
    list->scrollToItem(chosen, QAbstractItemView::PositionAtCenter);
    QCoreApplication::processEvents();
    const int scroll = list->verticalScrollBar()->value();
    ASSERT_GT(scroll, 0);

    for (int tick = 0; tick < 3; ++tick) {
        for (int i = 0; i < 80; ++i)
            apps[i].tcp_sent += 1048576;
        publish(apps);
        window->OnSpeedTimer();
        QCoreApplication::processEvents();
    }
    EXPECT_EQ(list->verticalScrollBar()->value(), scroll);
    EXPECT_EQ(list->currentItem(), chosen);
    EXPECT_TRUE(chosen->isSelected());
    EXPECT_EQ(chosen->text(1), FormatSize(1024u * 50 + 3 * 1048576u));
    window->hide();
}

TEST_F(TrafficTest, DuplicateNamesAndDamagedCountsAreReadSafely) {
    connect();
    // Two entries of one name: one row with the later entry's counters.
    publish({appEntry("twice", 0, 0, 0, 0, 0, 1024), appEntry("other"), appEntry("twice", 0, 0, 0, 0, 0, 5120)});
    window->OnSpeedTimer();
    EXPECT_EQ(appNames(*window), (QStringList{"other", "twice"}));
    EXPECT_EQ(appRow(*window, QStringLiteral("twice"))->text(1), QStringLiteral("5 KB"));

    // A count above 512 reads the 512 entries the block holds; a negative
    // count reads none; a name filling its field without a terminator is
    // read within the field; names are UTF-8.
    std::vector<vnx::AppStatus> many;
    for (int i = 0; i < vnx::kMaxStatusApps; ++i)
        many.push_back(appEntry(QByteArray("p").append(QByteArray::number(10000 + i)).constData()));
    many[0] = appEntry("0123456789012345678901234567890123456789");
    many[1] = appEntry("b\xc3\xa4r");
    publish(many, 100000);
    window->OnSpeedTimer();
    EXPECT_EQ(list->topLevelItemCount(), vnx::kMaxStatusApps);
    EXPECT_NE(appRow(*window, QString::fromUtf8("b\xc3\xa4r")), nullptr);
    bool cut = false;
    for (const QString& name : appNames(*window))
        if (name.startsWith(QLatin1String("0123456789"))) cut = name.size() <= 32;
    EXPECT_TRUE(cut);

    status->app_count = -5;
    window->OnSpeedTimer();
    EXPECT_EQ(list->topLevelItemCount(), 0);
}

TEST_F(TrafficTest, DisconnectedTickShowsTheRateOnlyAndTheTooltipShrinks) {
    connect();
    publish({appEntry("one"), appEntry("two"), appEntry("three")});
    window->OnSpeedTimer();
    const QString tip = MainWindowAccess(*window).trayIcon->toolTip();
    const QString traffic = QStringLiteral("\r\n0 Kb/s, 3 Apps");
    ASSERT_TRUE(tip.endsWith(traffic)) << tip.toStdString();
    const QString statusLine = tip.left(tip.size() - traffic.size());
    EXPECT_TRUE(statusLine.startsWith(QStringLiteral("Your IP:127.0.0.1"))) << statusLine.toStdString();
    EXPECT_TRUE(statusLine.endsWith(QStringLiteral("Germany, Berlin"))) << statusLine.toStdString();

    window->ConnectServer(QString(), QString(), QString());
    EXPECT_EQ(list->topLevelItemCount(), 0);

    // While disconnected only the rate is refreshed.
    status->tcp_rate = 1536 / 8;
    publish({appEntry("one"), appEntry("two")});
    window->OnSpeedTimer();
    EXPECT_EQ(MainWindowAccess(*window).speedLabel->text(), QStringLiteral("1.5 Kb/s"));
    EXPECT_EQ(list->topLevelItemCount(), 0);
    EXPECT_EQ(MainWindowAccess(*window).trayIcon->toolTip(), QStringLiteral("Disconnected."));
}

}  // namespace
