// The traffic view of the real MainWindow fed by a real veilnoxsvr that
// relays a real connection through a real veilnox-relay: the test stands in
// for the network-stack module (it names the destination in the TCP slot
// table and connects to the local server from that port).
#include "mainwindow.h"
#include "mainwindowaccess.h"
#include "modulecontract.h"
#include "qt/clientworld.h"
#include "qt/peers.h"
#include "sharedmemory.h"
#include "trafficview.h"
#include "ui_mainwindow.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QLabel>
#include <QTreeWidgetItem>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <vector>

using namespace vnxtest;

namespace {

// The executable name under which veilnoxsvr counts this test's traffic.
QString ownExeName() { return QFileInfo(QCoreApplication::applicationFilePath()).fileName().left(31); }

TEST(TrafficLive, RealServerTrafficThroughTheRelayShowsInTheRow) {
    vnxtest::MessageRecorder boxes;
    vnxtest::ClientWorld world;
    world.installModule();
    Relay relay;
    ASSERT_TRUE(relay.start()) << relay.output();
    std::unique_ptr<MainWindow> window(vnxtest::makeWindow());
    ASSERT_TRUE(window->isUsable());
    LocalServer server;
    ASSERT_TRUE(server.start()) << server.output();

    window->AddServerRow(
        vnxtest::server(QStringLiteral("127.0.0.1"), QString::number(relay.port()), QStringLiteral("Germany")));
    ASSERT_TRUE(
        window->ConnectServer(QStringLiteral("127.0.0.1"), QString::number(relay.port()), QStringLiteral("private")));
    // Nothing to launch: the server above holds its run marker.
    window->OnSpeedTimer();
    EXPECT_TRUE(window->launcher().launchedPids().isEmpty());

    // Stand in for the module: name the destination in the TCP table, then
    // connect from that port to the local server.
    EchoServer echo;
    ASSERT_TRUE(echo.ok());
    std::unique_ptr<vnx::SlotTable> table(vnx::createTcpTable(false));
    ASSERT_NE(table, nullptr);
    const int fd = boundSocket(SOCK_STREAM, "127.0.0.1");
    ASSERT_GE(fd, 0);
    vnx::REndpoint destination;
    destination.ipv4 = vnx::parseIpv4("127.0.0.1");
    destination.port = htons(echo.port());
    ASSERT_NE(vnx::publishTcpDestination(*table, htons(addressPort(localAddress(fd))), false, destination), nullptr);
    ASSERT_EQ(connectTcp(9111, fd), fd);

    const std::size_t total = 150000;
    std::vector<char> out(total), in(total);
    for (std::size_t i = 0; i < total; ++i)
        out[i] = static_cast<char>(i * 7);
    ASSERT_TRUE(sendAll(fd, out.data(), total));
    ASSERT_TRUE(readExact(fd, in.data(), total, 30000));
    EXPECT_EQ(in, out);
    EXPECT_EQ(echo.accepted(), 1);

    // The row appears with the bytes both ways and the open connection.
    const QString name = ownExeName();
    const QString size = FormatSize(total);  // 146.48 KB
    auto rowShows = [&](const QString& connects) {
        return vnxtest::waitFor(
            [&] {
                window->OnSpeedTimer();
                QTreeWidgetItem* row = appRow(*window, name);
                return row && row->text(1) == size && row->text(2) == size &&
                       row->text(4).startsWith(QStringLiteral("TCP: ")) && row->text(4).contains(connects);
            },
            20000);
    };
    ASSERT_TRUE(rowShows(QStringLiteral("/s Connects: 1, UDP:"))) << appNames(*window).join(',').toStdString();
    QTreeWidgetItem* row = appRow(*window, name);
    EXPECT_TRUE(MainWindowAccess(*window).speedLabel->text().endsWith(QStringLiteral("/s")));
    EXPECT_TRUE(MainWindowAccess(*window).trayIcon->toolTip().contains(QStringLiteral(" Apps")));

    // Closing the connection: the same row shows it closed and idle.
    ::close(fd);
    const QString idle = QStringLiteral("TCP: 0 Kb/s Connects: 0, UDP: 0 Kb/s Connects: 0 [Send:0 KB,Recv:0 KB]");
    EXPECT_TRUE(vnxtest::waitFor(
        [&] {
            window->OnSpeedTimer();
            return appRow(*window, name) == row && row->text(4) == idle && row->text(3) == QStringLiteral("0 Kb/s");
        },
        20000))
        << row->text(4).toStdString();
    EXPECT_TRUE(server.stop());
}

}  // namespace
