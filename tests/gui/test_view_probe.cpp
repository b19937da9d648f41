// The connectivity test of the real MainWindow: probes sent from its socket
// to a real veilnox-relay (and to a UDP socket of the test playing a proxy
// server when the test must choose what comes back and when), the rows'
// counters, signal bars and connectivity texts, the cycle's window, the
// timer, and the module repair and update question of the same tick. A
// server with a key is probed inside a seal of that key, against a keyed
// veilnox-relay and a stand-in that checks the seal.
#include "appcontext.h"
#include "hop/datagram.h"
#include "hopkey.h"
#include "mainwindow.h"
#include "mainwindowaccess.h"
#include "moduleinstall.h"
#include "probe.h"
#include "qt/clientworld.h"
#include "qt/peers.h"
#include "relayheader.h"
#include "rendpoint.h"
#include "serverlist.h"
#include "ui_mainwindow.h"
#include "updatechecker.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProgressBar>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QUdpSocket>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <unistd.h>

#include <cstring>
#include <memory>

using namespace vnxtest;

namespace {

class ProbeTest : public ::testing::Test {
protected:
    void SetUp() override {
        window.reset(vnxtest::makeWindow());
        ASSERT_TRUE(window->isUsable());
        // Cycles end where a test ends them, unless it shortens the window.
        window->setProbeWindow(600000);
        window->setProbeClock([this] { return clock; });
    }

    void addServer(const QString& ip, std::uint16_t port, const QString& country = QStringLiteral("Germany"),
                   const QString& key = QString()) {
        StringMap s = vnxtest::server(ip, QString::number(port), country);
        if (!key.isEmpty()) s[QStringLiteral("key")] = key;
        window->AddServerRow(s);
    }

    // Runs the event loop until the window has handled one more readyRead
    // of its socket (every datagram sent before that is then handled).
    bool waitForDatagramsHandled(QSignalSpy& spy, int count = 1) {
        return vnxtest::waitFor(
            [&] { return spy.count() >= count && !MainWindowAccess(*window).udpSocket->hasPendingDatagrams(); });
    }

    vnxtest::MessageRecorder boxes;
    vnxtest::ClientWorld world;
    std::unique_ptr<MainWindow> window;
    std::uint32_t clock = 1000;
};

void expectBar(QProgressBar* bar, int maximum, int value) {
    ASSERT_NE(bar, nullptr);
    EXPECT_EQ(bar->minimum(), 0);
    EXPECT_EQ(bar->maximum(), maximum);
    EXPECT_EQ(bar->value(), value);
}

// ---------------------------------------------------------------- the datagram

TEST_F(ProbeTest, ProbeOnTheWireNamesTheServerWithItsPortInHostOrder) {
    UdpPeer peer;
    ASSERT_TRUE(peer.ok());
    addServer(QStringLiteral("127.0.0.1"), peer.port());
    window->OnTestProxyTimer();

    std::uint16_t from = 0;
    QByteArray wire = peer.receive(5000, &from);
    ASSERT_EQ(wire.size(), 32);
    EXPECT_EQ(from, MainWindowAccess(*window).udpSocket->localPort());
    vnx::maskBuffer(wire.data(), static_cast<std::size_t>(wire.size()));
    const auto* b = reinterpret_cast<const std::uint8_t*>(wire.constData());
    EXPECT_EQ(QByteArray(wire.constData(), 4), QByteArray("umbv"));
    EXPECT_EQ(b[4], '2');
    EXPECT_EQ(b[5], 0);  // payload not masked: there is none
    EXPECT_EQ(b[6], 5);  // probe request
    EXPECT_EQ(b[7], 0);
    EXPECT_EQ(QByteArray(wire.constData() + 8, 4), QByteArray("\x7f\x00\x00\x01", 4));
    for (int i = 12; i < 28; ++i)
        EXPECT_EQ(b[i], 0) << i;
    EXPECT_EQ(b[28], peer.port() & 0xFF);  // little-endian, unlike a connect header
    EXPECT_EQ(b[29], peer.port() >> 8);
    EXPECT_EQ(b[30], 0);
    EXPECT_EQ(b[31], 0);

    // Built for another address and port, byte for byte (masked).
    const QByteArray other = BuildProbe(QStringLiteral("10.1.2.3"), 0x1F90);
    ASSERT_EQ(other.size(), 32);
    EXPECT_EQ(static_cast<std::uint8_t>(other[8]), 10 ^ 0x5D);
    EXPECT_EQ(static_cast<std::uint8_t>(other[11]), 3 ^ 0x5D);
    EXPECT_EQ(static_cast<std::uint8_t>(other[28]), 0x90 ^ 0x5D);
    EXPECT_EQ(static_cast<std::uint8_t>(other[29]), 0x1F ^ 0x5D);
}

TEST_F(ProbeTest, RowsWithoutUsableAddressOrPortAreCountedAndTimeOut) {
    StringMap hostOnly = vnxtest::server(QString(), QStringLiteral("443"), QStringLiteral("France"));
    hostOnly[QStringLiteral("host")] = QStringLiteral("proxy.invalid");
    window->AddServerRow(hostOnly);
    addServer(QStringLiteral("not-an-address"), 443);
    window->AddServerRow(vnxtest::server(QStringLiteral("127.0.0.1"), QStringLiteral("0"), QStringLiteral("Spain")));
    window->AddServerRow(
        vnxtest::server(QStringLiteral("127.0.0.1"), QStringLiteral("70000"), QStringLiteral("Spain")));

    window->OnTestProxyTimer();
    window->OnEndTestTimer();
    for (int row = 0; row < 4; ++row) {
        ServerEntry* e = entryAt(*window, row);
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(e->probesSent, 1) << row;
        EXPECT_EQ(e->timeouts, 1) << row;
        EXPECT_EQ(e->latencyMs, -1) << row;
        EXPECT_EQ(e->probeTick, 0u) << row;
        expectBar(signalBar(*window, row), 100, 69);
        EXPECT_EQ(serverRow(*window, row)->text(4), QStringLiteral("Current:-1ms, Success:0/1, TotalConnection:0"));
    }
}

// ---------------------------------------------------------------- against veilnox-relay

TEST_F(ProbeTest, RelayAnswerSetsBarCountersAndConnectivityText) {
    Relay relay;
    ASSERT_TRUE(relay.start()) << relay.output();
    // One live relayed connection: the relay reports it in its answers.
    EchoServer echo;
    ASSERT_TRUE(echo.ok());
    const int tcp = connectTcp(relay.port());
    ASSERT_GE(tcp, 0);
    vnx::RRelayHeader header;
    header.ipv4 = vnx::parseIpv4("127.0.0.1");
    header.port = htons(echo.port());
    std::uint8_t wire[32];
    vnx::buildRelayHeader(header, wire);
    ASSERT_TRUE(sendAll(tcp, wire, sizeof wire));
    ASSERT_TRUE(sendAll(tcp, "ping", 4));
    char back[4] = {};
    ASSERT_TRUE(readExact(tcp, back, 4));

    addServer(QStringLiteral("127.0.0.1"), relay.port());
    ServerEntry* entry = entryAt(*window, 0);
    // Reply times measured with the injected clock: sent at `clock`, read
    // `reply` ms later.
    struct Cycle {
        std::uint32_t reply;
        int bar;
    } cycles[] = {{30, 3000}, {500, 2500}, {900, 2200}, {5000, 2200}};
    int n = 0;
    for (const Cycle& c : cycles) {
        ++n;
        clock = 10000u * static_cast<std::uint32_t>(n);
        window->OnTestProxyTimer();
        clock += c.reply;  // the answer is handled by the event loop, after this
        ASSERT_TRUE(vnxtest::waitFor([&] { return entry->replies == n; })) << relay.output();
        EXPECT_EQ(entry->latencyMs, static_cast<int>(c.reply));
        EXPECT_EQ(entry->probeTick, 0u);
        EXPECT_EQ(entry->totalConnections, 1);
        expectBar(signalBar(*window, 0), 3000, c.bar);
        EXPECT_EQ(serverRow(*window, 0)->text(4),
                  QStringLiteral("Current:%1ms, Success:%2/%2, TotalConnection:1").arg(c.reply).arg(n));
        // The end of an answered cycle counts nothing.
        window->OnEndTestTimer();
        EXPECT_EQ(entry->timeouts, 0);
        expectBar(signalBar(*window, 0), 3000, c.bar);
    }
    ::close(tcp);
}

TEST_F(ProbeTest, RelayAnswerAfterTheWindowChangesNothing) {
    Relay relay;
    ASSERT_TRUE(relay.start());
    addServer(QStringLiteral("127.0.0.1"), relay.port());
    QSignalSpy spy(MainWindowAccess(*window).udpSocket, &QUdpSocket::readyRead);
    window->OnTestProxyTimer();
    // The answer is waiting in the socket, but the window's end comes first.
    for (int i = 0; i < 1000 && !MainWindowAccess(*window).udpSocket->hasPendingDatagrams(); ++i)
        QThread::msleep(5);
    ASSERT_TRUE(MainWindowAccess(*window).udpSocket->hasPendingDatagrams());
    window->OnEndTestTimer();
    ASSERT_TRUE(waitForDatagramsHandled(spy));

    ServerEntry* entry = entryAt(*window, 0);
    EXPECT_EQ(entry->replies, 0);
    EXPECT_EQ(entry->timeouts, 1);
    EXPECT_EQ(entry->latencyMs, -1);
    expectBar(signalBar(*window, 0), 100, 69);
    EXPECT_EQ(serverRow(*window, 0)->text(4), QStringLiteral("Current:-1ms, Success:0/1, TotalConnection:0"));
}

TEST_F(ProbeTest, AnswerAfterShortenedWindowIsIgnored) {
    UdpPeer server;
    ASSERT_TRUE(server.ok());
    addServer(QStringLiteral("127.0.0.1"), server.port());
    window->setProbeWindow(50);
    window->OnTestProxyTimer();
    std::uint16_t client = 0;
    ASSERT_EQ(server.receive(5000, &client).size(), 32);
    ServerEntry* entry = entryAt(*window, 0);
    // The window's own timer ends the cycle.
    ASSERT_TRUE(vnxtest::waitFor([&] { return entry->timeouts == 1; }));
    QSignalSpy spy(MainWindowAccess(*window).udpSocket, &QUdpSocket::readyRead);
    ASSERT_TRUE(server.sendTo(client, probeAnswer("127.0.0.1", 5)));
    ASSERT_TRUE(waitForDatagramsHandled(spy));
    EXPECT_EQ(entry->replies, 0);
    EXPECT_EQ(entry->totalConnections, 0);
    expectBar(signalBar(*window, 0), 100, 69);
    EXPECT_EQ(serverRow(*window, 0)->text(4), QStringLiteral("Current:-1ms, Success:0/1, TotalConnection:0"));
}

TEST_F(ProbeTest, TwoRowsWithTheRelayAddressAreBothAnswered) {
    Relay relay;
    ASSERT_TRUE(relay.start());
    addServer(QStringLiteral("127.0.0.1"), relay.port(), QStringLiteral("Germany"));
    addServer(QStringLiteral("127.0.0.1"), relay.port(), QStringLiteral("Austria"));
    window->OnTestProxyTimer();
    ASSERT_TRUE(
        vnxtest::waitFor([&] { return entryAt(*window, 0)->replies == 1 && entryAt(*window, 1)->replies == 1; }));
    window->OnEndTestTimer();
    EXPECT_EQ(entryAt(*window, 0)->timeouts, 0);
    EXPECT_EQ(entryAt(*window, 1)->timeouts, 0);
}

// A relay key: 32 bytes from `seed` on.
struct Key {
    explicit Key(std::uint8_t seed) {
        for (std::size_t i = 0; i < sizeof bytes; ++i)
            bytes[i] = static_cast<std::uint8_t>(seed + 11 * i);
    }
    QString text() const { return QString::fromStdString(vnx::encodeHopKey(bytes)); }
    std::uint8_t bytes[vnx::kHopKeySize];
};

TEST_F(ProbeTest, AKeyedRelayAnswersTheSealedProbeOfItsKeyOnly) {
    const Key key(1);
    const Key wrong(2);
    QTemporaryDir dir;
    ASSERT_TRUE(vnxtest::writeFile(dir.path() + "/relay.key", key.text().toLatin1() + "\n"));
    QFile::setPermissions(dir.path() + "/relay.key", QFile::ReadOwner | QFile::WriteOwner);
    Program keyedRelay;
    ASSERT_TRUE(
        keyedRelay.start(QStringLiteral("veilnox-relay"),
                         {QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0"), QStringLiteral("--allow-private"),
                          QStringLiteral("--key-file"), dir.path() + "/relay.key"}));
    const std::uint16_t keyedPort = relayListenPort(keyedRelay, "127.0.0.1");
    ASSERT_NE(keyedPort, 0) << keyedRelay.output();
    Relay plainRelay;
    ASSERT_TRUE(plainRelay.start());

    addServer(QStringLiteral("127.0.0.1"), keyedPort, QStringLiteral("Germany"), key.text());
    addServer(QStringLiteral("127.0.0.1"), keyedPort, QStringLiteral("Austria"), wrong.text());
    addServer(QStringLiteral("127.0.0.1"), keyedPort, QStringLiteral("France"));
    addServer(QStringLiteral("127.0.0.1"), plainRelay.port(), QStringLiteral("Spain"), key.text());
    addServer(QStringLiteral("127.0.0.1"), plainRelay.port(), QStringLiteral("Italy"));
    for (int cycle = 1; cycle <= 2; ++cycle) {
        clock = 10000u * static_cast<std::uint32_t>(cycle);
        window->OnTestProxyTimer();
        clock += 40;
        // The keyed relay answers its key's probe, the plain relay the plain one.
        ASSERT_TRUE(vnxtest::waitFor([&] {
            return entryAt(*window, 0)->replies == cycle && entryAt(*window, 4)->replies == cycle;
        })) << keyedRelay.output();
        EXPECT_EQ(entryAt(*window, 0)->latencyMs, 40);
        EXPECT_EQ(entryAt(*window, 0)->totalConnections, 0);
        expectBar(signalBar(*window, 0), 3000, 3000);
        window->OnEndTestTimer();
        // Neither a wrong key nor no key gets an answer from the keyed relay,
        // and the plain relay does not understand a sealed probe.
        for (int row : {1, 2, 3}) {
            EXPECT_EQ(entryAt(*window, row)->replies, 0) << row;
            EXPECT_EQ(entryAt(*window, row)->timeouts, cycle) << row;
        }
    }
}

// ---------------------------------------------------------------- matching

TEST_F(ProbeTest, ASealedAnswerCountsOnlyForTheRowWithItsKey) {
    const Key key(7);
    UdpPeer server;
    ASSERT_TRUE(server.ok());
    addServer(QStringLiteral("127.0.0.1"), server.port(), QStringLiteral("Germany"), key.text());
    // A damaged key: not probed at all.
    addServer(QStringLiteral("127.0.0.1"), server.port(), QStringLiteral("Austria"), key.text().left(42));
    window->OnTestProxyTimer();
    std::uint16_t client = 0;
    const QByteArray sealed = server.receive(5000, &client);
    ASSERT_EQ(sealed.size(), 32 + static_cast<int>(vnxhop::kSealOverhead));
    EXPECT_TRUE(server.receive(300).isEmpty());

    // Sealed toward the relay with the key: inside, the plain probe.
    vnxhop::Opener relaySide(key.bytes, vnxhop::Direction::ToRelay);
    std::uint8_t plain[128];
    std::size_t length = 0;
    ASSERT_EQ(relaySide.open(reinterpret_cast<const std::uint8_t*>(sealed.constData()),
                             static_cast<std::size_t>(sealed.size()), plain, sizeof plain, &length),
              vnxhop::OpenResult::Ok);
    EXPECT_EQ(QByteArray(reinterpret_cast<const char*>(plain), static_cast<int>(length)),
              BuildProbe(QStringLiteral("127.0.0.1"), server.port()));

    auto sealAnswer = [](const Key& with, vnxhop::Direction direction, const QByteArray& answer) {
        vnxhop::Sealer sealer(with.bytes, direction);
        QByteArray out(answer.size() + static_cast<int>(vnxhop::kSealOverhead), '\0');
        out.resize(static_cast<int>(sealer.seal(
            reinterpret_cast<const std::uint8_t*>(answer.constData()), static_cast<std::size_t>(answer.size()),
            reinterpret_cast<std::uint8_t*>(out.data()), static_cast<std::size_t>(out.size()))));
        return out;
    };
    // In this order: a plain answer, one sealed with another key, one sealed
    // the other way (a probe played back), then the real one.
    ServerEntry* entry = entryAt(*window, 0);
    QSignalSpy spy(MainWindowAccess(*window).udpSocket, &QUdpSocket::readyRead);
    ASSERT_TRUE(server.sendTo(client, probeAnswer("127.0.0.1", 91)));
    ASSERT_TRUE(server.sendTo(client, sealAnswer(Key(8), vnxhop::Direction::FromRelay, probeAnswer("127.0.0.1", 92))));
    ASSERT_TRUE(server.sendTo(client, sealAnswer(key, vnxhop::Direction::ToRelay, probeAnswer("127.0.0.1", 93))));
    ASSERT_TRUE(waitForDatagramsHandled(spy));
    EXPECT_EQ(entry->replies, 0);
    const QByteArray answer = sealAnswer(key, vnxhop::Direction::FromRelay, probeAnswer("127.0.0.1", 5));
    ASSERT_TRUE(server.sendTo(client, answer));
    ASSERT_TRUE(vnxtest::waitFor([&] { return entry->replies >= 1; }));
    EXPECT_EQ(entry->replies, 1);
    EXPECT_EQ(entry->totalConnections, 5);
    // The same sealed answer again is a replay: nothing changes.
    clock += 10;
    window->OnTestProxyTimer();
    ASSERT_FALSE(server.receive(5000).isEmpty());
    ASSERT_TRUE(server.sendTo(client, answer));
    ASSERT_TRUE(waitForDatagramsHandled(spy, spy.count() + 1));
    EXPECT_EQ(entry->replies, 1);
    window->OnEndTestTimer();
    EXPECT_EQ(entry->timeouts, 1);
    EXPECT_EQ(entryAt(*window, 1)->replies, 0);
    EXPECT_EQ(entryAt(*window, 1)->timeouts, 1);
}

TEST_F(ProbeTest, FirstWaitingRowWithTheSameAddressTakesTheAnswer) {
    UdpPeer server;
    ASSERT_TRUE(server.ok());
    addServer(QStringLiteral("127.0.0.1"), server.port(), QStringLiteral("Germany"));
    addServer(QStringLiteral("127.0.0.1"), server.port(), QStringLiteral("Austria"));
    window->OnTestProxyTimer();
    std::uint16_t client = 0;
    ASSERT_EQ(server.receive(5000, &client).size(), 32);
    ASSERT_EQ(server.receive(5000).size(), 32);
    ServerEntry* first = entryAt(*window, 0);
    ServerEntry* second = entryAt(*window, 1);

    ASSERT_TRUE(server.sendTo(client, probeAnswer("127.0.0.1", 1)));
    ASSERT_TRUE(vnxtest::waitFor([&] { return first->replies == 1; }));
    EXPECT_EQ(first->totalConnections, 1);
    EXPECT_EQ(second->replies, 0);
    EXPECT_NE(second->probeTick, 0u);

    ASSERT_TRUE(server.sendTo(client, probeAnswer("127.0.0.1", 2)));
    ASSERT_TRUE(vnxtest::waitFor([&] { return second->replies == 1; }));
    EXPECT_EQ(second->totalConnections, 2);
    EXPECT_EQ(first->replies, 1);

    // Nobody waits any more: a third answer is dropped.
    QSignalSpy spy(MainWindowAccess(*window).udpSocket, &QUdpSocket::readyRead);
    ASSERT_TRUE(server.sendTo(client, probeAnswer("127.0.0.1", 3)));
    ASSERT_TRUE(waitForDatagramsHandled(spy));
    EXPECT_EQ(first->replies, 1);
    EXPECT_EQ(second->replies, 1);
    EXPECT_EQ(first->totalConnections, 1);
    EXPECT_EQ(second->totalConnections, 2);
}

TEST_F(ProbeTest, AnswersFromAnotherPortOrOfAnotherShapeAreDropped) {
    UdpPeer server;
    UdpPeer stranger;
    ASSERT_TRUE(server.ok() && stranger.ok());
    addServer(QStringLiteral("127.0.0.1"), server.port());
    window->OnTestProxyTimer();
    std::uint16_t client = 0;
    ASSERT_EQ(server.receive(5000, &client).size(), 32);

    // In this order: the right bytes from another port, a short and a long
    // datagram and an answer naming another address from the right port,
    // then the real answer. Only the last one counts.
    ASSERT_TRUE(stranger.sendTo(client, probeAnswer("127.0.0.1", 99)));
    ASSERT_TRUE(server.sendTo(client, probeAnswer("127.0.0.1", 98).left(7)));
    ASSERT_TRUE(server.sendTo(client, probeAnswer("127.0.0.1", 97) + QByteArray(1, '\0')));
    ASSERT_TRUE(server.sendTo(client, probeAnswer("127.0.0.2", 96)));
    ASSERT_TRUE(server.sendTo(client, QByteArray()));
    ASSERT_TRUE(server.sendTo(client, probeAnswer("127.0.0.1", 7)));
    ServerEntry* entry = entryAt(*window, 0);
    ASSERT_TRUE(vnxtest::waitFor([&] { return entry->replies >= 1; }));
    EXPECT_EQ(entry->replies, 1);
    EXPECT_EQ(entry->totalConnections, 7);
    EXPECT_EQ(entry->probeTick, 0u);
}

// ---------------------------------------------------------------- the tick

TEST_F(ProbeTest, FirstCycleAfter800MsThenEveryFourMinutes) {
    UdpPeer server;
    addServer(QStringLiteral("127.0.0.1"), server.port());
    window->RestoreLastConnection();
    EXPECT_TRUE(MainWindowAccess(*window).testTimer->isActive());
    EXPECT_EQ(MainWindowAccess(*window).testTimer->interval(), 800);
    ServerEntry* entry = entryAt(*window, 0);
    EXPECT_EQ(entry->probesSent, 0);
    ASSERT_TRUE(vnxtest::waitFor([&] { return entry->probesSent == 1; }));
    EXPECT_EQ(server.receive(5000).size(), 32);
    EXPECT_TRUE(MainWindowAccess(*window).testTimer->isActive());
    EXPECT_EQ(MainWindowAccess(*window).testTimer->interval(), 240000);

    // The test button runs a cycle at once.
    MainWindowAccess(*window).ui->testBtn->click();
    EXPECT_EQ(entry->probesSent, 2);
    EXPECT_EQ(server.receive(5000).size(), 32);
}

TEST_F(ProbeTest, TickRepairsTheModuleSilentlyWhileConnectedAndAsksForTheUpdateOnce) {
    UpdateChecker checker(QStringList{QStringLiteral("http://127.0.0.1:1/none")}, QStringLiteral("1.0.0.0"));
    ASSERT_TRUE(checker.handleVersionDocument("{\"ver\":\"2.0.0.0\"}"));
    AppContext& app = appContext();
    app.updateChecker = &checker;
    vnxtest::UrlRecorder urls;

    // Disconnected: a missing module is left alone.
    ASSERT_FALSE(IsLspInstalled());
    MainWindowAccess(*window).proxyData->connected = 0;
    window->OnTestProxyTimer();
    EXPECT_FALSE(IsLspInstalled());
    ASSERT_EQ(boxes.boxes.size(), 1);
    EXPECT_EQ(boxes.boxes[0].kind, MessageKind::YesNo);
    EXPECT_EQ(boxes.boxes[0].text, NewVersionQuestion(QStringLiteral("2.0.0.0")));
    EXPECT_TRUE(app.updateAsked);
    EXPECT_TRUE(urls.urls.isEmpty());  // answered No

    // Connected: the module is installed again at each tick that misses it,
    // without a message; the question is not put again.
    MainWindowAccess(*window).proxyData->connected = 1;
    // in the background, while the window goes on.
    window->OnTestProxyTimer();
    EXPECT_TRUE(vnxtest::waitFor([] { return IsLspInstalled(); }, 10000));
    ASSERT_TRUE(QFile::remove(world.catalogFile()));
    // The ticks that come while the first repair still ends its script
    // leave it alone; a later one repairs.
    QElapsedTimer clock;
    clock.start();
    qint64 nextTick = 0;
    EXPECT_TRUE(vnxtest::waitFor(
        [&] {
            if (clock.elapsed() >= nextTick) {
                window->OnTestProxyTimer();
                nextTick += 200;
            }
            return IsLspInstalled();
        },
        10000));
    EXPECT_EQ(boxes.boxes.size(), 1);
    MainWindowAccess(*window).proxyData->connected = 0;
    app.updateChecker = nullptr;
}

}  // namespace
