// The window-free logic of the veilnox program: what reaches the proxy data
// block, the settings keys of a connection, the server-list order, the
// rotation choice, the launch bookkeeping, the crash message and the
// capture service's report of reset connections.
#include "appconfig.h"
#include "capturereset.h"
#include "launchbookkeeping.h"
#include "moduleinstall.h"
#include "platformdefaults.h"
#include "proxypublish.h"
#include "qt/clientcore.h"
#include "rulesfile.h"
#include "serverlauncher.h"
#include "serverlist.h"
#include "serverrotation.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QUdpSocket>

#include <cstring>
#include <memory>

#include <unistd.h>

using vnxtest::listXml;
using vnxtest::ruleName;
using vnxtest::server;

namespace {

std::unique_ptr<vnx::ProxyData> blankBlock(unsigned char fill = 0) {
    auto data = std::make_unique<vnx::ProxyData>();
    std::memset(data.get(), fill, sizeof(vnx::ProxyData));
    return data;
}

}  // namespace

// ---------------------------------------------------------------- ProxyData

TEST(ProxyPublish, TextFieldsAreCutAt55BytesAndTheLastByteIsNeverWritten) {
    auto data = blankBlock(0x5A);
    StringMap s = server("10.1.2.3", "8443", "Germany");
    s["user"] = QString(60, 'u');
    s["pass"] = "pw";
    // 27 two-byte characters and one more: the cut falls inside a character.
    s["protocol"] = QString(28, QChar(0x00E9));
    WriteProxyServer(*data, s);

    EXPECT_EQ(data->proxy_port, 8443);
    EXPECT_EQ(QByteArray(data->proxy_ip, 56), QByteArray("10.1.2.3") + QByteArray(47, '\0') + '\x5A');
    EXPECT_EQ(QByteArray(data->proxy_user, 55), QByteArray(55, 'u'));
    EXPECT_EQ(static_cast<unsigned char>(data->proxy_user[55]), 0x5A);
    EXPECT_EQ(QByteArray(data->proxy_pass, 3), QByteArray("pw\0", 3));
    EXPECT_EQ(QByteArray(data->proxy_protocol, 55), s["protocol"].toUtf8().left(55));
    // Nothing else of the block was touched.
    EXPECT_EQ(data->connected, 0x5A);
    EXPECT_EQ(data->tcp_port, 0x5A5A);

    // On a zeroed block the fields are always terminated.
    auto zeroed = blankBlock();
    WriteProxyServer(*zeroed, s);
    EXPECT_EQ(std::strlen(zeroed->proxy_user), 55u);
}

TEST(ProxyPublish, PortsThatAreNotUnsigned16BitNumbersBecomeZero) {
    auto data = blankBlock();
    for (const char* bad : {"70000", "-1", "http", "", "0x50"}) {
        data->proxy_port = 1234;
        WriteProxyServer(*data, server("1.1.1.1", bad, "X"));
        EXPECT_EQ(data->proxy_port, 0) << bad;
    }
    WriteProxyServer(*data, server("1.1.1.1", "65535", "X"));
    EXPECT_EQ(data->proxy_port, 65535);
}

TEST(ProxyPublish, RulesKeepValidLinesInFileOrderUpTo128) {
    QByteArray text = "# a comment\nx\n  chrome.exe  \r\n" + QByteArray(128, 'n') + "\n" + QByteArray(127, 'k') + "\n";
    for (int i = 0; i < 200; ++i)
        text += "app" + QByteArray::number(i) + ".exe\n";
    auto data = blankBlock(0x11);
    // An entry beyond the count keeps what it had.
    std::memset(&data->rules[127], 0x22, sizeof(vnx::ProgramRule));
    EXPECT_EQ(PublishRules(*data, QString::fromUtf8(text)), 128);
    EXPECT_EQ(data->rule_count, 128);
    EXPECT_EQ(ruleName(data->rules[0]), "chrome.exe");  // trimmed, CR included
    EXPECT_EQ(ruleName(data->rules[1]), QString(127, 'k'));
    EXPECT_EQ(ruleName(data->rules[2]), "app0.exe");
    EXPECT_EQ(ruleName(data->rules[127]), "app125.exe");
    for (int i = 0; i < 128; ++i)
        EXPECT_EQ(data->rules[i].enabled, 1);

    auto fewer = blankBlock();
    std::memset(&fewer->rules[3], 0x33, sizeof(vnx::ProgramRule));
    EXPECT_EQ(PublishRules(*fewer, "a.exe\nb.exe\n"), 2);
    EXPECT_EQ(fewer->rules[3].enabled, 0x33);
    EXPECT_EQ(PublishRules(*fewer, QString()), 0);
    EXPECT_EQ(fewer->rule_count, 0);
}

TEST(ProxyPublish, RulesFromBinaryJunkStayWithinTheirFields) {
    QByteArray junk;
    for (int i = 0; i < 300000; ++i)
        junk += static_cast<char>((i * 7919) & 0xFF);
    auto data = blankBlock();
    int count = PublishRules(*data, QString::fromUtf8(junk));
    EXPECT_GE(count, 0);
    EXPECT_LE(count, 128);
    EXPECT_EQ(data->rule_count, count);
    for (int i = 0; i < count; ++i) {
        const QString name = ruleName(data->rules[i]);
        EXPECT_GE(name.size(), 1);
        EXPECT_LE(name.size(), 127);
    }
}

TEST(ProxyPublish, RedirectDefaultsAndValues) {
    QTemporaryDir dir;
    CAppConfig config(dir.path() + "/appconfig.xml");
    auto data = blankBlock(0x77);
    ApplyRedirectSettings(*data, config);
    // No keys: tcp 1, udp 1 (Linux), dns 1, encrypt 1, all apps 0.
    EXPECT_EQ(data->redirect_tcp, 1);
    EXPECT_EQ(data->redirect_udp, 1);
    EXPECT_EQ(data->redirect_dns, 1);
    EXPECT_EQ(data->encrypt_data, 1);
    EXPECT_EQ(data->redirect_all_apps, 0);

    config["redirecttcp"] = "0";
    config["redirectudp"] = "7";
    config["redirectdns"] = "no";  // not a number counts as 0
    config["encryptdata"] = "0";
    config["redirectallapp"] = "1";
    ApplyRedirectSettings(*data, config);
    EXPECT_EQ(data->redirect_tcp, 0);
    EXPECT_EQ(data->redirect_udp, 1);
    EXPECT_EQ(data->redirect_dns, 0);
    EXPECT_EQ(data->encrypt_data, 0);
    EXPECT_EQ(data->redirect_all_apps, 1);
}

// On Linux a profile without the key redirects UDP (a chosen program's QUIC
// or call would otherwise leave directly while connected); what a settings
// file holds keeps its meaning.
TEST(ProxyPublish, UdpIsRedirectedUnlessTheSettingsFileSaysOtherwise) {
    EXPECT_TRUE(RedirectUdpByDefault());
    const struct {
        const char* name;
        QByteArray file;  // the settings file, or none
        int udp;
    } cases[] = {
        {"no file", QByteArray(), 1},
        {"no key", "<Vars>\n <redirecttcp>1</redirecttcp>\n</Vars>\n", 1},
        {"empty key", "<Vars>\n <redirectudp></redirectudp>\n</Vars>\n", 1},
        {"stored 0", "<Vars>\n <redirectudp>0</redirectudp>\n</Vars>\n", 0},
        {"stored 1", "<Vars>\n <redirectudp>1</redirectudp>\n</Vars>\n", 1},
    };
    for (const auto& c : cases) {
        QTemporaryDir dir;
        const QString path = dir.path() + "/appconfig.xml";
        if (!c.file.isNull()) {
            ASSERT_TRUE(vnxtest::writeFile(path, c.file)) << c.name;
        }
        CAppConfig config(path);
        for (unsigned char fill : {0x00, 0x77}) {
            auto data = blankBlock(fill);
            ApplyRedirectSettings(*data, config);
            EXPECT_EQ(data->redirect_udp, c.udp) << c.name << " over " << int(fill);
        }
        // Publishing saves nothing: a stored value stays as it was, and a
        // profile without the key keeps following the default.
        EXPECT_EQ(vnxtest::readFile(path), c.file) << c.name;
    }
}

TEST(ProxyPublish, ConnectionKeysAndSavingOnlyRealChanges) {
    QTemporaryDir dir;
    const QString path = dir.path() + "/appconfig.xml";
    CAppConfig config(path);
    StoreConnectionKeys(config, server("5.6.7.8", "443", "France", "Paris", "private"));
    CAppConfig saved(path);
    EXPECT_EQ(saved.value("ipconnected"), "5.6.7.8");
    EXPECT_EQ(saved.value("portconnected"), "443");
    EXPECT_EQ(saved.value("protocolconnected"), "private");
    EXPECT_EQ(saved.value("ipconnected_last"), "5.6.7.8");
    EXPECT_EQ(saved.value("portconnected_last"), "443");
    EXPECT_EQ(saved.value("protocolconnected_last"), "private");

    ClearConnectedKey(config);
    saved.load();
    EXPECT_EQ(saved.value("ipconnected"), "");
    EXPECT_EQ(saved.value("ipconnected_last"), "5.6.7.8");

    // Setting a missing key to empty, or any key to its value, writes nothing.
    QTemporaryDir other;
    CAppConfig fresh(other.path() + "/appconfig.xml");
    EXPECT_FALSE(StoreSetting(fresh, "ipconnected", ""));
    EXPECT_FALSE(QFile::exists(other.path() + "/appconfig.xml"));
    EXPECT_TRUE(StoreSetting(fresh, "changetime", "5"));
    EXPECT_FALSE(StoreSetting(fresh, "changetime", "5"));
    EXPECT_TRUE(QFile::exists(other.path() + "/appconfig.xml"));
}

// ---------------------------------------------------------------- server list

TEST(ServerListOrder, LocalListFirstThenEveryDownloadedServerWithDuplicates) {
    ServerListSources sources;
    sources.programListText = listXml({server("1.0.0.1", "1", "A"), server("1.0.0.2", "2", "B")});
    sources.dataListText = listXml({server("9.9.9.9", "9", "Z")});  // not read: the program list has text
    sources.downloadedText = listXml({server("1.0.0.2", "2", "B"), server("2.0.0.1", "3", "C")});
    const QList<StringMap> servers = CollectServers(sources);
    ASSERT_EQ(servers.size(), 4);
    EXPECT_EQ(servers[0]["ip"], "1.0.0.1");
    EXPECT_EQ(servers[1]["ip"], "1.0.0.2");
    EXPECT_EQ(servers[2]["ip"], "1.0.0.2");
    EXPECT_EQ(servers[3]["ip"], "2.0.0.1");

    sources.programListText.clear();
    const QList<StringMap> fromData = CollectServers(sources);
    ASSERT_EQ(fromData.size(), 3);
    EXPECT_EQ(fromData[0]["ip"], "9.9.9.9");
}

TEST(ServerListOrder, MalformedTextAddsNothingAndImagesMoveUnderDataConfig) {
    ServerListSources sources;
    sources.programListText = "<Array><Element><ip>1.1.1.1</ip>";  // not well-formed
    StringMap flagged = server("3.3.3.3", "3", "C");
    flagged["image"] = "de.png";
    StringMap plain = server("4.4.4.4", "4", "D");
    plain["image"] = "";
    sources.downloadedText = listXml({flagged, plain});
    const QList<StringMap> servers = CollectServers(sources);
    ASSERT_EQ(servers.size(), 2);
    EXPECT_EQ(servers[0]["image"], "data/config/de.png");
    EXPECT_EQ(servers[1]["image"], "");
}

TEST(ServerListOrder, RowTextsAndNumbers) {
    StringMap s = server("", "x", "Japan", "Tokyo");
    s["host"] = "jp.example";
    s["strength"] = "250";
    EXPECT_EQ(ServerLocationText(s), "Japan,Tokyo,jp.example");
    EXPECT_EQ(ServerStrength(s), 100);
    EXPECT_EQ(ServerPortNumber(s), 0);
    s["strength"] = "-4";
    EXPECT_EQ(ServerStrength(s), 0);
    s["strength"] = "37";
    EXPECT_EQ(ServerStrength(s), 37);
    ServerEntry entry(server("1.2.3.4", "8080", "X"));
    EXPECT_EQ(entry.port, 8080);
    EXPECT_EQ(entry.latencyMs, 0);
    EXPECT_FALSE(entry.connected);
    // Megabyte-long values are cut for display, kept whole in the entry.
    StringMap huge = server("1.2.3.4", "1", QString(1 << 20, 'c'));
    EXPECT_LE(ServerLocationText(huge).size(), 3 * kMaxDisplayText + 2);
    EXPECT_EQ(ServerEntry(huge).value("country").size(), 1 << 20);
}

// ---------------------------------------------------------------- rotation

namespace {
QList<RotationRow> rows(std::initializer_list<std::pair<const char*, const char*>> list) {
    QList<RotationRow> out;
    for (const auto& item : list)
        out.append({true, item.first, item.second});
    return out;
}
}  // namespace

TEST(Rotation, CountryFilterWalksMatchingRowsAndStartsAgain) {
    // A (that country), B (another), C (that country).
    const QList<RotationRow> list = rows({{"1.1.1.1", "Germany"}, {"2.2.2.2", "France"}, {"3.3.3.3", "germany"}});
    QStringList used;
    EXPECT_EQ(PickNextServer(list, "Germany", used), 0);
    used << "1.1.1.1";
    EXPECT_EQ(PickNextServer(list, "Germany", used), 2);  // case of the country ignored
    used << "3.3.3.3";
    EXPECT_EQ(PickNextServer(list, "Germany", used), 0);  // every match used: a new cycle
    EXPECT_TRUE(used.isEmpty());
    // A row without a country belongs to every country.
    const QList<RotationRow> blank = rows({{"1.1.1.1", "France"}, {"4.4.4.4", ""}});
    EXPECT_EQ(PickNextServer(blank, "Germany", used), 1);
}

TEST(Rotation, SkipsRowsWithoutEntryOrAddressAndUsedAddressesIgnoringCase) {
    QList<RotationRow> list = rows({{"", "X"}, {"AB::1", "X"}, {"5.5.5.5", "X"}});
    list.prepend(RotationRow{false, "9.9.9.9", "X"});
    QStringList used{"ab::1"};
    EXPECT_EQ(PickNextServer(list, QString(), used), 3);
    QStringList none;
    EXPECT_EQ(PickNextServer(list, "Nowhere", none), -1);
    // Used servers of another country do not loop: one restart, then -1.
    QStringList stale{"5.5.5.5"};
    EXPECT_EQ(PickNextServer(list, "Nowhere", stale), -1);
    EXPECT_TRUE(stale.isEmpty());
    QStringList empty;
    EXPECT_EQ(PickNextServer({}, QString(), empty), -1);
}

// ---------------------------------------------------------------- watchdog

TEST(LaunchCount, TheEleventhLaunchWithinTwentyMinutesReportsOnce) {
    std::uint32_t now = 1000;
    LaunchBookkeeping book([&] { return now; });
    for (int i = 1; i <= 10; ++i) {
        EXPECT_FALSE(book.recordLaunch()) << i;
        now += 1200;
    }
    EXPECT_TRUE(book.recordLaunch());
    EXPECT_EQ(book.count(), 0);
    // Counting starts afresh: the next report needs 11 more launches.
    for (int i = 1; i <= 10; ++i)
        EXPECT_FALSE(book.recordLaunch()) << i;
    EXPECT_TRUE(book.recordLaunch());
}

TEST(LaunchCount, LaunchesSpreadOverMoreThanTwentyMinutesNeverReport) {
    std::uint32_t now = 0xFFFF0000u;  // across the wrap of the tick count
    LaunchBookkeeping book([&] { return now; });
    for (int i = 0; i < 40; ++i) {
        EXPECT_FALSE(book.recordLaunch()) << i;
        now += 130000;  // 11 launches take 1300000 ms > 1200000
    }
    // Exactly at the window's end still counts as inside it.
    LaunchBookkeeping edge([&] { return now; });
    for (int i = 0; i < 10; ++i) {
        EXPECT_FALSE(edge.recordLaunch());
        now += 120000;
    }
    EXPECT_TRUE(edge.recordLaunch());
}

TEST(CrashMessage, TextForEachKindOfCode) {
    EXPECT_EQ(ServerCrashMessage(1, 9111, 9111, "help@example.org"),
              "Sorry, Veilnox Local Server crashed with error code:1.  tcp failed bind to 127.0.0.1 port:9111 "
              "inernal error: TCP BIND \r\n Please restart your Veilnox. if this issue still exists, please contact "
              "us at help@example.org . thank you very much.");
    EXPECT_EQ(ServerCrashMessage(11, 9111, 9222, "s"),
              "Sorry, Veilnox Local Server crashed with error code:11.  udp failed bind to 127.0.0.1 port:9222 "
              "inernal error: UDP BIND \r\n Please restart your Veilnox. if this issue still exists, please contact "
              "us at s . thank you very much.");
    EXPECT_EQ(ServerCrashMessage(3, 0, 0, "s"),
              "Sorry, Veilnox Local Server crashed with error code:3. Unkown Error. inernal error: TCP IPV6 Accept "
              "\r\n Please restart your Veilnox. if this issue still exists, please contact us at s . thank you "
              "very much.");
    EXPECT_TRUE(ServerCrashMessage(65535, 0, 0, "s").contains("code:65535. Unkown Error. inernal error: Unkown Error"));
}

// A server that could not bind its port: the clear message names the port
// and the program holding it; the other codes keep the crash message.
TEST(CrashMessage, PortHeldByAnotherProgramIsSaidPlainly) {
    const struct {
        int status;
        bool bind;
        const char* port;
        const char* protocol;
    } cases[] = {
        {vnx::kStatusOk, false, nullptr, nullptr},
        {vnx::kStatusTcpBind, true, "127.0.0.1 port 9111", "(TCP)"},
        {vnx::kStatusTcpAccept, false, nullptr, nullptr},
        {vnx::kStatusTcpIpv6Accept, false, nullptr, nullptr},
        {vnx::kStatusUdpBind, true, "127.0.0.1 port 9222", "(UDP)"},
        {vnx::kStatusUdpSelect, false, nullptr, nullptr},
        {65535, false, nullptr, nullptr},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(IsPortBindStatus(c.status), c.bind) << c.status;
        if (!c.bind) continue;
        const QString text = PortHeldMessage(c.status, 9111, 9222, "s");
        EXPECT_TRUE(text.contains(c.port)) << text.toStdString();
        EXPECT_TRUE(text.contains(c.protocol)) << text.toStdString();
        EXPECT_TRUE(text.contains("another program already uses")) << text.toStdString();
        EXPECT_TRUE(text.contains("not connected")) << text.toStdString();
    }
    // Ports the server never published are its fixed ones.
    EXPECT_TRUE(PortHeldMessage(vnx::kStatusTcpBind, 0, 0, "s").contains("port 9111 (TCP)"));
}

// Another program's listener on the port is seen; a closed port, one in
// TIME_WAIT or one held only for UDP is not (the server could bind it).
TEST(CrashMessage, PortHeldIsTheListenerOfAnotherSocket) {
    vnxtest::coreApp();
    QTcpServer other;
    ASSERT_TRUE(other.listen(QHostAddress(QHostAddress::LocalHost), 0));
    const quint16 port = other.serverPort();
    EXPECT_TRUE(TcpPortHeldByAnotherProgram(port));
    // A connection that ends on this side leaves TIME_WAIT on the port.
    {
        QTcpSocket client;
        client.connectToHost(QHostAddress(QHostAddress::LocalHost), port);
        ASSERT_TRUE(client.waitForConnected(5000));
        ASSERT_TRUE(other.waitForNewConnection(5000));
        QTcpSocket* accepted = other.nextPendingConnection();
        ASSERT_NE(accepted, nullptr);
        accepted->close();
        delete accepted;
    }
    other.close();
    EXPECT_FALSE(TcpPortHeldByAnotherProgram(port));
    QUdpSocket udp;
    ASSERT_TRUE(udp.bind(QHostAddress(QHostAddress::LocalHost), port));
    EXPECT_FALSE(TcpPortHeldByAnotherProgram(port));
}

// ---------------------------------------------------------------- capture reset report

// The report is shown once per newer time, and only when it counts at least
// one connection; anything that is not two numbers is no report.
TEST(CaptureResetReport, NewerReportsOfResetConnectionsAreShownOnce) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.path() + "/veilnox-capture.reset.1000";
    const QString five = "5 connections opened before Connect were reset so that they reconnect through the proxy.";
    const QString one = "1 connection opened before Connect was reset so that it reconnects through the proxy.";
    const struct {
        const char* name;
        QByteArray file;  // null: no file
        bool read;
        QString shown;
        qint64 shownUntil;  // after the poll; the watch starts at 1000
    } steps[] = {
        {"missing file", QByteArray(), false, QString(), 1000},
        {"empty", "", false, QString(), 1000},
        {"garbage", "reset everything\n", false, QString(), 1000},
        {"one number", "5\n", false, QString(), 1000},
        {"three numbers", "5 2000 7\n", false, QString(), 1000},
        {"negative count", "-5 2000\n", false, QString(), 1000},
        {"signed time", "5 +2000\n", false, QString(), 1000},
        {"second line", "5 2000\n6 2001\n", false, QString(), 1000},
        {"too long", QByteArray(70, ' ') + "5 2000\n", false, QString(), 1000},
        {"older than the watch", "5 999\n", true, QString(), 1000},
        {"as old as the watch", "5 1000\n", true, QString(), 1000},
        {"zero connections", "0 1001\n", true, QString(), 1001},
        {"one connection", "1 1002\n", true, one, 1002},
        {"the same report again", "1 1002\n", true, QString(), 1002},
        {"five, no newline", "5 1003", true, five, 1003},
        {"older than the last shown", "7 1002\n", true, QString(), 1003},
        {"five again later", "5  1010\n", true, five, 1010},
    };
    CaptureResetWatch watch(1000);
    for (const auto& step : steps) {
        QFile::remove(path);
        if (!step.file.isNull()) {
            ASSERT_TRUE(vnxtest::writeFile(path, step.file)) << step.name;
        }
        CaptureReset report;
        EXPECT_EQ(ReadCaptureReset(path, report), step.read) << step.name;
        EXPECT_EQ(watch.poll(path), step.shown) << step.name;
        EXPECT_EQ(watch.shownUntil(), step.shownUntil) << step.name;
    }
    EXPECT_EQ(CaptureResetText(2),
              "2 connections opened before Connect were reset so that they reconnect through the "
              "proxy.");
}

// The service writes the report beside its state file.
TEST(CaptureResetReport, TheFileIsTheUsersOwnBesideTheServiceState) {
    const QString uid = QString::number(::getuid());
    const struct {
        const char* state;  // VEILNOX_CAPTURE_STATE, or none
        QString report;
    } cases[] = {
        {nullptr, "/run/veilnox-capture.reset." + uid},
        {"/tmp/demo/capture.pid", "/tmp/demo/veilnox-capture.reset." + uid},
        {"capture.pid", "veilnox-capture.reset." + uid},
    };
    for (const auto& c : cases) {
        if (c.state)
            qputenv("VEILNOX_CAPTURE_STATE", c.state);
        else
            qunsetenv("VEILNOX_CAPTURE_STATE");
        EXPECT_EQ(CaptureResetFile(), c.report) << (c.state ? c.state : "default");
    }
    qunsetenv("VEILNOX_CAPTURE_STATE");
}

// The module counts as installed while the kernel capture service runs (its
// state file names a live process called "veilnox-capture"), and the status
// line says which mode protects the user. A stale pid, or one reused by
// another program, is not the service.
TEST(CaptureMode, ServiceStateDecidesInstalledAndTheStatusLine) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QByteArray state = (dir.path() + QStringLiteral("/capture.pid")).toLocal8Bit();
    const QByteArray data = (dir.path() + QStringLiteral("/data")).toLocal8Bit();
    qputenv("VEILNOX_CAPTURE_STATE", state);
    qputenv("XDG_DATA_HOME", data);
    const QString only = QStringLiteral("Only programs started with veilnox-run are redirected");
    EXPECT_EQ(RedirectModeText(), only);
    EXPECT_FALSE(IsLspInstalled());
    // Another program's listener on the local server's port blocks it only
    // without the service (whose hooks divert to a port of the server's
    // choosing).
    vnxtest::coreApp();
    QTcpServer other;
    ASSERT_TRUE(other.listen(QHostAddress(QHostAddress::LocalHost), 0));
    EXPECT_TRUE(LocalServerPortBlocked(other.serverPort()));

    // A stand-in for the service: a program under the service's name.
    const QString fake = dir.path() + QStringLiteral("/veilnox-capture");
    ASSERT_TRUE(QFile::copy(QStringLiteral("/bin/sleep"), fake));
    QProcess service;
    service.start(fake, {QStringLiteral("60")});
    ASSERT_TRUE(service.waitForStarted(5000));
    auto writeState = [&](qint64 pid, const QByteArray& more = QByteArray()) {
        QFile f(QString::fromLocal8Bit(state));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(QByteArray::number(pid) + "\n" + more);
    };
    // Whether local resolver daemons are out of the programs' reach is said
    // only when the service says they are not.
    writeState(service.processId(), "resolvers=0\n");
    EXPECT_TRUE(RedirectModeText().startsWith(QStringLiteral("All programs are redirected; names looked up through")))
        << RedirectModeText().toStdString();
    writeState(service.processId(), "resolvers=1\n");
    EXPECT_EQ(RedirectModeText(), QStringLiteral("All programs are redirected"));
    writeState(service.processId());
    EXPECT_EQ(RedirectModeText(), QStringLiteral("All programs are redirected"));
    EXPECT_TRUE(IsLspInstalled());
    EXPECT_FALSE(LocalServerPortBlocked(other.serverPort()));
    writeState(QCoreApplication::applicationPid());  // alive, but not the service
    EXPECT_EQ(RedirectModeText(), only);
    EXPECT_FALSE(IsLspInstalled());
    writeState(service.processId());
    service.kill();
    service.waitForFinished(5000);
    EXPECT_EQ(RedirectModeText(), only);
    qunsetenv("VEILNOX_CAPTURE_STATE");
    qunsetenv("XDG_DATA_HOME");
}

// The built-in program list names the browsers of the system it seeds: on
// Linux their program names (never a Windows ".exe"), the Windows list its
// executables.
TEST(DefaultRules, TheSeedListNamesThisSystemsBrowsers) {
    vnxtest::coreApp();
    struct Case {
        QString file;
        QStringList mustName;
        bool windowsNames;
    };
    const Case cases[] = {
        {DefaultRulesFile(),
         {"firefox", "firefox-esr", "chromium", "google-chrome", "brave-browser", "opera", "epiphany"},
         false},
        {"data/config/default_rules_win.txt",
         {"chrome.exe", "firefox.exe", "msedge.exe", "opera.exe", "brave.exe"},
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file.toStdString());
        const QStringList names =
            RulesFileNames(QString::fromUtf8(vnxtest::readFile(vnxtest::binDir() + "/" + c.file)));
        for (const QString& name : c.mustName)
            EXPECT_TRUE(names.contains(name)) << name.toStdString();
        for (const QString& name : names)
            EXPECT_EQ(name.endsWith(".exe"), c.windowsNames) << name.toStdString();
    }
}

// The silent repair asks for no password; a script that outlives its time
// is ended; the capture word is the last one printed.
TEST(ModuleScripts, RunsAreBoundedAndSayWhatTheyDid) {
    vnxtest::coreApp();
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    struct Case {
        const char* name;
        QByteArray script;
        int timeoutMs;
        bool succeeded;
        bool timedOut;
        const char* word;
    };
    const Case cases[] = {
        {"two words, the last counts", "echo 'veilnox-capture: running'\necho 'veilnox-capture: started'\n", 10000,
         true, false, "started"},
        {"a failure", "echo 'veilnox-capture: not started: x'\nexit 3\n", 10000, false, false, "not started: x"},
        {"no password asked", "echo \"veilnox-capture: ask=${VEILNOX_ASK_PASSWORD:-1}\"\n", 10000, true, false,
         "ask=0"},
        {"a script that hangs", "exec sleep 600\n", 300, false, true, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const QString script = dir.path() + "/script.sh";
        ASSERT_TRUE(vnxtest::writeFile(script, c.script));
        ModuleScriptRun run({script}, c.timeoutMs);
        run.setAskPassword(false);
        bool finished = false;
        QObject::connect(&run, &ModuleScriptRun::finished, [&] { finished = true; });
        run.start();
        ASSERT_TRUE(vnxtest::waitFor([&] { return finished; }, 15000));
        EXPECT_EQ(run.outcome().allSucceeded, c.succeeded);
        EXPECT_EQ(run.outcome().timedOut, c.timedOut);
        EXPECT_EQ(run.outcome().captureWord, c.word);
    }
}
