// The whole system as a user runs it, across network namespaces made here:
//
//   application (this test's own namespace): the real veilnox client
//   (offscreen), the veilnoxsvr it launches, programs under veilnox-run
//        192.0.2.2   | veth |  192.0.2.1     relay A  198.51.100.1 | veth | 198.51.100.2
//        203.0.113.2 | veth |  203.0.113.1   relay B  198.18.0.1   | veth | 198.18.0.2
//                                                                   destination
//
// The destination answers HTTP, UDP echo and DNS on 198.51.100.2 and logs
// the peer of every request: 198.51.100.1 means relay A carried it,
// 198.18.0.1 relay B, 192.0.2.2 nobody (relay A's namespace also routes, so
// a program run without the module reaches the destination directly).
//
// The client is driven through its automation socket (client/ui/automation.h):
// a server row's connect button is clicked, the Connections tab is read,
// the rotation timer gets a short interval, the window is closed. Nothing
// here writes the proxy data block: everything goes through the client.
// Namespaces that cannot be made fail the test.
#include "test_e2e_support.h"
#include "test_module_support.h"
#include "topology.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QString>

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>

using namespace vnxtest;
using namespace e2etest;

namespace {

const char* kDest = "198.51.100.2";
const char* kViaA = "198.51.100.1";
const char* kViaB = "198.18.0.1";
const char* kApp = "192.0.2.2";

// "300.26 KB" -> bytes (approximately; the view cuts to two decimals).
double sizeBytes(const QString& text) {
    const QStringList parts = text.split(QLatin1Char(' '));
    if (parts.size() != 2) return -1;
    const double unit = parts[1] == "KB" ? 1024.0 : parts[1] == "MB" ? 1048576.0 : parts[1] == "GB" ? 1073741824.0 : 0;
    return parts[0].toDouble() * unit;
}

QJsonObject rowOf(const QJsonObject& state, const QString& process) {
    for (const QJsonValue& v : state["connections"].toArray())
        if (v.toObject()["process"].toString() == process) return v.toObject();
    return {};
}

int connectedRow(const QJsonObject& state) {
    const QJsonArray rows = state["servers"].toArray();
    for (int i = 0; i < rows.size(); ++i)
        if (rows[i].toObject()["connected"].toBool()) return i;
    return -1;
}

class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(relayA_.create()) << "cannot make a network namespace (root needed)";
        ASSERT_TRUE(relayB_.create()) << "cannot make a network namespace (root needed)";
        ASSERT_TRUE(dest_.create()) << "cannot make a network namespace (root needed)";
        const std::string a = std::to_string(relayA_.pid()), b = std::to_string(relayB_.pid()),
                          d = std::to_string(dest_.pid());
        ASSERT_TRUE(runCommand("ip link add va1 type veth peer name vr1 netns " + a));
        ASSERT_TRUE(runCommand("ip link add va2 type veth peer name vr2 netns " + b));
        ASSERT_TRUE(runCommand("ip link add vd1 netns " + d + " type veth peer name vo1 netns " + a));
        ASSERT_TRUE(runCommand("ip link add vd2 netns " + d + " type veth peer name vo2 netns " + b));
        ASSERT_TRUE(
            runCommand("ip link set lo up && ip addr add 192.0.2.2/24 dev va1 && "
                       "ip addr add 203.0.113.2/24 dev va2 && ip link set va1 up && ip link set va2 up && "
                       "ip route add default via 192.0.2.1"));
        ASSERT_TRUE(
            relayA_.run("ip link set lo up && ip addr add 192.0.2.1/24 dev vr1 && "
                        "ip addr add 198.51.100.1/24 dev vo1 && ip link set vr1 up && ip link set vo1 up && "
                        "sysctl -q -w net.ipv4.ip_forward=1"));
        ASSERT_TRUE(
            relayB_.run("ip link set lo up && ip addr add 203.0.113.1/24 dev vr2 && "
                        "ip addr add 198.18.0.1/24 dev vo2 && ip link set vr2 up && ip link set vo2 up && "
                        "ip route add 198.51.100.0/24 via 198.18.0.2"));
        ASSERT_TRUE(
            dest_.run("ip link set lo up && ip addr add 198.51.100.2/24 dev vd1 && "
                      "ip addr add 198.18.0.2/24 dev vd2 && ip link set vd1 up && ip link set vd2 up && "
                      "ip route add default via 198.51.100.1"));

        portA_ = startRelay(relayA, relayA_.pid(), "192.0.2.1");
        portB_ = startRelay(relayB, relayB_.pid(), "203.0.113.1");
        ASSERT_NE(portA_, 0);
        ASSERT_NE(portB_, 0);
        ASSERT_TRUE(servers_.start(
            {"/usr/bin/python3", serversScript(), "--http", "8000", "--echo", "7000", "--dns", "53", kDest}, {},
            dest_.pid()));
        ASSERT_TRUE(servers_.waitFor("ready", 20000)) << servers_.output();

        // The throwaway profile, the server list naming both relays, and
        // name look-ups that go to the destination's DNS server.
        dir_ = makeProfileDir("/tmp/vnxe2e");
        ASSERT_FALSE(dir_.empty());
        std::ofstream(dir_ + "/servers.xml")
            << "<Array>\n"
            << " <Element><country>Alpha</country><city>Relay A</city><ip>192.0.2.1</ip><port>" << portA_
            << "</port><protocol>private</protocol><tag>AA</tag></Element>\n"
            << " <Element><country>Beta</country><city>Relay B</city><ip>203.0.113.1</ip><port>" << portB_
            << "</port><protocol>private</protocol><tag>BB</tag></Element>\n"
            << "</Array>\n";
        std::ofstream(dir_ + "/version.json") << "{\"ver\": \"0.0.0\"}\n";
        std::ofstream(dir_ + "/resolv.conf") << "nameserver " << kDest << "\noptions timeout:3 attempts:1\n";
        std::ofstream(dir_ + "/hosts") << "127.0.0.1 localhost\n";
        ASSERT_EQ(mount((dir_ + "/resolv.conf").c_str(), "/etc/resolv.conf", nullptr, MS_BIND, nullptr), 0);
        ASSERT_EQ(mount((dir_ + "/hosts").c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr), 0);
        mounted_ = true;

        // The settings a user picks in the settings dialog: every program,
        // datagrams too.
        ASSERT_TRUE(runCommand("mkdir -p " + dir_ + "/home/.local/share/Veilnox/data"));
        std::ofstream(dir_ + "/home/.local/share/Veilnox/data/appconfig.xml")
            << "<Vars>\n <redirectallapp>1</redirectallapp>\n <redirectudp>1</redirectudp>\n</Vars>\n";

        const std::string home = dir_ + "/home";
        env_ = {"HOME=" + home, "XDG_DATA_HOME=" + home + "/.local/share", "XDG_CONFIG_HOME=" + home + "/.config",
                "XDG_RUNTIME_DIR=" + dir_ + "/run"};
        socketPath_ = dir_ + "/automation.sock";
    }

    void TearDown() override {
        automation_.disconnect();
        endClient(client_);
        servers_.stop();
        relays_[0].stop();
        relays_[1].stop();
        if (mounted_) {
            umount("/etc/resolv.conf");
            umount("/etc/hosts");
        }
        if (!dir_.empty()) runCommand("rm -rf " + dir_);
    }

    enum Which { relayA = 0, relayB = 1 };
    std::uint16_t startRelay(Which which, int nsPid, const std::string& address) {
        BackgroundProcess& relay = relays_[which];
        // Clients come from the relay's own /24 (the application namespace).
        const std::string clients = address.substr(0, address.rfind('.')) + ".0/24";
        if (!relay.start({VNX_BIN_DIR "/veilnox-relay", "--listen", address + ":0", "--allow", clients, "--quiet"}, {},
                         nsPid))
            return 0;
        return relayListenPort(relay, address);
    }

    bool startClient() {
        std::vector<std::string> env = env_;
        for (const std::string& e : clientEnv(dir_, socketPath_))
            env.push_back(e);
        if (!client_.start({VNX_BIN_DIR "/veilnox"}, env)) return false;
        return waitUntil([&] { return automation_.open(socketPath_); }, 20000);
    }

    // Polls the client's state until `condition` holds (at most `ms`).
    QJsonObject waitState(const std::function<bool(const QJsonObject&)>& condition, int ms) {
        QJsonObject state;
        waitUntil(
            [&] {
                state = automation_.command("state");
                return !state.isEmpty() && condition(state);
            },
            ms);
        return state;
    }

    std::string dump(const QJsonObject& state) {
        return QJsonDocument(state).toJson(QJsonDocument::Compact).toStdString() + "\nclient output:\n" +
               client_.output();
    }

    // A program started through veilnox-run in the throwaway profile.
    RunResult app(std::vector<std::string> args, int timeoutMs = 30000) {
        args.insert(args.begin(), VNX_RUN_PATH);
        return runProgram(args, env_, timeoutMs, false);
    }

    // The peers the destination logged on the lines containing `what`.
    std::vector<std::string> peersOf(const std::string& what) {
        std::vector<std::string> peers;
        std::istringstream lines(servers_.output());
        for (std::string line; std::getline(lines, line);) {
            if ((line + "\n").find(what) == std::string::npos) continue;
            const std::size_t p = line.find("peer=");
            if (p != std::string::npos) peers.push_back(line.substr(p + 5, line.find(' ', p) - p - 5));
        }
        return peers;
    }

    // curl through veilnox-run; returns the peer the destination logged.
    std::string curlPeer(const std::string& path) {
        RunResult r = app({"curl", "-sS", "--max-time", "15", "-o", "/dev/null", "-w", "%{http_code}",
                           std::string("http://") + kDest + ":8000" + path});
        EXPECT_EQ(r.exitCode, 0) << r.output;
        EXPECT_EQ(r.output, "200");
        const std::string line = "path=" + path + "\n";
        servers_.waitFor(line, 5000);
        std::vector<std::string> peers = peersOf(line);
        return peers.size() == 1 ? peers[0] : "(" + std::to_string(peers.size()) + " requests)";
    }

    NetNamespace relayA_, relayB_, dest_;
    BackgroundProcess relays_[2], servers_, client_;
    AutomationClient automation_;
    std::uint16_t portA_ = 0, portB_ = 0;
    std::string dir_, socketPath_;
    std::vector<std::string> env_;
    bool mounted_ = false;
};

TEST_F(EndToEnd, ClientConnectsRelaysWatchesRotatesAndEndsTheServer) {
    // Start-up: the list is loaded and the client has launched veilnoxsvr.
    ASSERT_TRUE(startClient()) << client_.output();
    QJsonObject state = waitState([](const QJsonObject& s) { return s["ready"].toBool(); }, 20000);
    ASSERT_TRUE(state["ready"].toBool()) << dump(state);
    ASSERT_EQ(state["servers"].toArray().size(), 2) << dump(state);
    EXPECT_FALSE(state["connected"].toBool());
    ASSERT_TRUE(waitUntil([] { return serverPids().size() == 1 && localServerListening(); }, 10000))
        << "the client did not launch veilnoxsvr\n"
        << client_.output();
    const int firstServer = serverPids()[0];

    // Without the module nothing changes: the destination sees us.
    RunResult direct = runProgram({"curl", "-sS", "--max-time", "15", std::string("http://") + kDest + ":8000/direct"},
                                  env_, 20000, false);
    ASSERT_EQ(direct.exitCode, 0) << direct.output;
    servers_.waitFor("path=/direct\n", 5000);
    EXPECT_EQ(peersOf("path=/direct\n"), std::vector<std::string>{kApp});

    // The first row's connect button: connected through relay A; the
    // client installed the module for this profile on the way.
    QJsonObject reply = automation_.command("connect 0");
    ASSERT_TRUE(reply["ok"].toBool()) << dump(reply);
    state = waitState([](const QJsonObject& s) { return s["connected"].toBool(); }, 5000);
    ASSERT_TRUE(state["connected"].toBool()) << dump(state);
    EXPECT_EQ(connectedRow(state), 0);
    EXPECT_NE(state["currentLabel"].toString().indexOf("192.0.2.1"), -1) << dump(state);
    std::ifstream catalog(dir_ + "/home/.local/share/Veilnox/module/catalog");
    std::string catalogLine;
    std::getline(catalog, catalogLine);
    EXPECT_NE(catalogLine.find("libveilnox-module.so"), std::string::npos) << catalogLine;

    // TCP, UDP and DNS through veilnox-run leave through relay A, and the
    // Connections tab lists each program with its bytes while it runs
    // (a program leaves the tab when its process ends). curl reads slowly,
    // so it is still running when the tab has counted the whole body.
    ASSERT_TRUE(automation_.command("tab 1")["ok"].toBool());
    BackgroundProcess curl;
    ASSERT_TRUE(curl.start({VNX_RUN_PATH, "curl", "-sS", "--max-time", "20", "--limit-rate", "100K", "-o", "/dev/null",
                            "-w", "size=%{size_download}\n", std::string("http://") + kDest + ":8000/bytes/614400"},
                           env_));
    state =
        waitState([](const QJsonObject& s) { return sizeBytes(rowOf(s, "curl")["recv"].toString()) >= 307200; }, 8000);
    const QJsonObject curlRow = rowOf(state, "curl");
    ASSERT_FALSE(curlRow.isEmpty()) << dump(state);
    EXPECT_GE(sizeBytes(curlRow["recv"].toString()), 307200.0) << dump(state);
    EXPECT_GT(sizeBytes(curlRow["send"].toString()), 0.0) << dump(state);
    EXPECT_NE(curlRow["detail"].toString().indexOf("TCP: "), -1) << dump(state);
    EXPECT_EQ(state["connectionsHeader"].toString(),
              QString("Program [%1]").arg(state["connections"].toArray().size()));
    EXPECT_TRUE(curl.waitFor("size=614400\n", 15000)) << curl.output();
    curl.stop();
    EXPECT_EQ(peersOf("path=/bytes/614400\n"), std::vector<std::string>{kViaA}) << servers_.output();
    // curl leaves the tab once it has ended. Waiting for that also keeps the
    // next program's name right: while the server lists no application it
    // does not refresh its process names, so it cannot catch the next
    // program between fork and exec under the name of this test.
    state = waitState([](const QJsonObject& s) { return s["connections"].toArray().isEmpty(); }, 5000);
    EXPECT_EQ(state["connectionsHeader"].toString(), "Program [0]") << dump(state);

    const std::string udpClient =
        "import socket,time\n"
        "s=socket.socket(socket.AF_INET,socket.SOCK_DGRAM)\n"
        "s.settimeout(10)\n"
        "s.sendto(b'p'*2000,('198.51.100.2',7000))\n"
        "d,a=s.recvfrom(4000)\n"
        "print('%s:%d %s %d' % (a[0],a[1],d[:5].decode(),len(d)), flush=True)\n"
        "time.sleep(60)\n";  // stays listed in the tab until the test ends it
    BackgroundProcess udp;
    ASSERT_TRUE(udp.start({VNX_RUN_PATH, "/usr/bin/python3", "-c", udpClient}, env_));
    ASSERT_TRUE(udp.waitFor("\n", 15000)) << udp.output();
    EXPECT_EQ(udp.output(), "198.51.100.2:7000 echo: 2005\n");
    servers_.waitFor("udp peer=", 5000);
    EXPECT_EQ(peersOf("udp peer="), std::vector<std::string>{kViaA}) << servers_.output();
    const QRegularExpression udpCounted("UDP: .* Connects: [1-9]\\d* \\[Send:1\\.9\\d KB,Recv:1\\.9\\d KB\\]");
    state = waitState(
        [&](const QJsonObject& s) {
            for (const QJsonValue& v : s["connections"].toArray())
                if (v.toObject()["detail"].toString().contains(udpCounted)) return true;
            return false;
        },
        5000);
    bool udpShown = false;
    for (const QJsonValue& v : state["connections"].toArray()) {
        const QJsonObject row = v.toObject();
        if (!row["detail"].toString().contains(udpCounted)) continue;
        udpShown = true;
        EXPECT_TRUE(row["process"].toString().startsWith("python3")) << dump(state);
    }
    EXPECT_TRUE(udpShown) << dump(state);
    udp.stop();

    RunResult dns = app({"getent", "ahostsv4", "web.test"});
    ASSERT_EQ(dns.exitCode, 0) << dns.output;
    EXPECT_EQ(dns.output.rfind(std::string(kDest) + " ", 0), 0u) << dns.output;
    servers_.waitFor("name=web.test", 5000);
    const std::vector<std::string> dnsPeers = peersOf("name=web.test");
    ASSERT_FALSE(dnsPeers.empty()) << servers_.output();
    for (const std::string& p : dnsPeers)
        EXPECT_EQ(p, kViaA);

    // The watchdog: a killed server is launched again and carries the
    // next connection.
    ASSERT_EQ(kill(firstServer, SIGKILL), 0);
    ASSERT_TRUE(waitUntil(
        [&] {
            const std::vector<int> pids = serverPids();
            return pids.size() == 1 && pids[0] != firstServer && localServerListening();
        },
        10000))
        << "veilnoxsvr was not relaunched\n"
        << client_.output();
    EXPECT_EQ(curlPeer("/after-relaunch"), kViaA);

    // Rotation: disconnect, choose "Every 1 min", press start (relay A
    // again), then shorten the timer until it moves to relay B.
    ASSERT_TRUE(automation_.command("connect 0")["ok"].toBool());
    state = waitState([](const QJsonObject& s) { return !s["connected"].toBool(); }, 5000);
    ASSERT_FALSE(state["connected"].toBool()) << dump(state);
    ASSERT_TRUE(automation_.command("change 1")["ok"].toBool());
    reply = automation_.command("start");
    ASSERT_TRUE(reply["ok"].toBool()) << dump(reply);
    EXPECT_EQ(connectedRow(reply), 0) << dump(reply);
    EXPECT_EQ(reply["changeTimer"].toInt(), 60000) << dump(reply);
    ASSERT_TRUE(automation_.command("changeinterval 700")["ok"].toBool());
    state = waitState([](const QJsonObject& s) { return connectedRow(s) == 1; }, 10000);
    ASSERT_EQ(connectedRow(state), 1) << dump(state);
    // Hold it there while the next connection is made.
    ASSERT_TRUE(automation_.command("changeinterval 3600000")["ok"].toBool());
    state = automation_.command("state");
    ASSERT_EQ(connectedRow(state), 1) << dump(state);
    EXPECT_NE(state["currentLabel"].toString().indexOf("203.0.113.1"), -1) << dump(state);
    EXPECT_EQ(curlPeer("/after-rotation"), kViaB);

    // Closing the window ends the hidden server within a second.
    const int server = serverPids().empty() ? -1 : serverPids()[0];
    ASSERT_GT(server, 0);
    ASSERT_TRUE(automation_.command("close")["ok"].toBool());
    const auto closed = Clock::now();
    ASSERT_TRUE(waitUntil([] { return serverPids().empty(); }, 5000)) << "veilnoxsvr outlived the client";
    const long long exitMs = msSince(closed);
    std::printf("veilnoxsvr ended %lld ms after the window was closed\n", exitMs);
    EXPECT_LE(exitMs, 1000) << "veilnoxsvr took longer than a second to end";
    // The client ends by itself, with exit code 0.
    const int client = client_.pid();
    EXPECT_TRUE(waitUntil([client] { return hasEnded(client); }, 10000)) << client_.output();
    EXPECT_EQ(client_.stop(), 0) << client_.output();
}

}  // namespace
