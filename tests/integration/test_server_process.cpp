// The veilnoxsvr process: refusals, single instance, hidden mode, listener
// failures, the console keys and the command line. Each test runs in its own
// namespaces (private /dev/shm and loopback), so 9111 and the real object
// names are free.
#include "test_server_support.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

using namespace svrtest;

namespace {

std::string readFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

// A fresh per-user data folder for the child's runtime log.
std::string freshDataHome() {
    char tmpl[] = "/tmp/vnxsvr-test-XXXXXX";
    const char* dir = mkdtemp(tmpl);
    return dir ? dir : "/tmp";
}

// Makes one status publication observable: traffic through the server that
// the next tick publishes. Returns false when nothing was published in time.
bool trafficIsPublished(ModuleTables& tables, EchoServer& echo, std::uint32_t& sentTotal) {
    int fd = connectViaServer(tables, echo.address(), false);
    if (fd < 0) return false;
    const char msg[10] = "published";
    char back[10];
    bool ok = sendAllBytes(fd, msg, sizeof msg) && readExact(fd, back, sizeof back);
    close(fd);
    if (!ok) return false;
    sentTotal += sizeof msg;
    vnx::ServerStatus* block = statusBlock();
    const std::uint32_t want = sentTotal;
    return waitUntil([&] { return block->tcp_sent == want; }, 10000);
}

}  // namespace

TEST(ServerProcess, RefusesToStartWithoutTheClientsBlock) {
    ServerProcess server;
    ASSERT_TRUE(server.ChildProcess::start(serverPath(), {"hide"}));
    EXPECT_EQ(server.waitExit(10000), 255);  // exit code -1
    std::string out = server.output();
    EXPECT_NE(out.find("]>> GetProxyData failed!"), std::string::npos) << out;
    // It never took the single-instance marker.
    EXPECT_FALSE(vnx::RunMutex(vnx::kServerRunMutexName).exists());
}

TEST(ServerProcess, SecondInstanceIsRefusedWithStatus3) {
    vnx::ProxyData* block = createProxyBlock();
    ASSERT_NE(block, nullptr);
    ServerProcess first;
    ASSERT_TRUE(first.start({"hide"})) << first.output();
    EXPECT_TRUE(vnx::RunMutex(vnx::kServerRunMutexName).exists());
    EXPECT_EQ(block->tcp_port, 9111);
    EXPECT_EQ(block->udp_port, 9111);

    ServerProcess second;
    ASSERT_TRUE(second.ChildProcess::start(serverPath(), {"hide"}));
    EXPECT_EQ(second.waitExit(10000), 255);
    EXPECT_NE(second.output().find("aready running.\r\n"), std::string::npos) << second.output();
    EXPECT_EQ(block->server_status, 3);

    // The first one keeps serving, and the status code stays as the second
    // one left it.
    ModuleTables tables;
    ASSERT_TRUE(tables.open());
    EchoServer echo;
    std::uint32_t sent = 0;
    EXPECT_TRUE(trafficIsPublished(tables, echo, sent));
    EXPECT_TRUE(first.running());
    EXPECT_EQ(block->server_status, 3);
}

TEST(ServerProcess, HiddenServerEndsWhenTheClientWindowCloses) {
    vnx::ProxyData* block = createProxyBlock();
    ASSERT_NE(block, nullptr);
    ServerProcess server;
    ASSERT_TRUE(server.start({"hide"})) << server.output();
    ModuleTables tables;
    ASSERT_TRUE(tables.open());
    EchoServer echo;
    std::uint32_t sent = 0;
    // Ticks pass while the window is there.
    ASSERT_TRUE(trafficIsPublished(tables, echo, sent));
    ASSERT_TRUE(server.running());

    block->client_window = 0;
    const std::int64_t t0 = nowMs();
    EXPECT_EQ(server.waitExit(10000), 0);
    // One timer period plus scheduling slack.
    EXPECT_LT(nowMs() - t0, 3000);
    EXPECT_NE(server.output().find("VeilnoxSvr exits since parent is gone."), std::string::npos);
}

TEST(ServerProcess, WithoutHideTheClientWindowIsIgnored) {
    for (const char* arg : {"", "HIDE"}) {
        SCOPED_TRACE(arg);
        vnx::ProxyData* block = createProxyBlock();
        ASSERT_NE(block, nullptr);
        block->client_window = 0;
        ServerProcess server;
        std::vector<std::string> args;
        if (*arg) args.push_back(arg);
        ASSERT_TRUE(server.start(args)) << server.output();
        ModuleTables tables;
        ASSERT_TRUE(tables.open());
        EchoServer echo;
        // Two publications after start prove that ticks have passed with no
        // client window; a hidden server would have ended at the first one.
        std::uint32_t sent = 0;
        EXPECT_TRUE(trafficIsPublished(tables, echo, sent));
        EXPECT_TRUE(trafficIsPublished(tables, echo, sent));
        EXPECT_TRUE(server.running());
        EXPECT_EQ(server.signal(SIGKILL), 128 + SIGKILL);
    }
}

TEST(ServerProcess, TakenTcpPortStopsTheServerWithStatus1) {
    vnx::ProxyData* block = createProxyBlock();
    ASSERT_NE(block, nullptr);
    int taken = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_storage sa;
    socklen_t len;
    sa = toSockaddr(serverEndpoint(false), len);
    ASSERT_EQ(bind(taken, reinterpret_cast<sockaddr*>(&sa), len), 0);
    ASSERT_EQ(listen(taken, 1), 0);

    std::string home = freshDataHome();
    ServerProcess server;
    ASSERT_TRUE(server.ChildProcess::start(serverPath(), {"hide"}, {"XDG_DATA_HOME=" + home}));
    // Its own exit code and a plain message: the client says so rather than
    // starting it again.
    EXPECT_EQ(server.waitExit(10000), 3);
    EXPECT_NE(server.output().find("Failed bind() \n"), std::string::npos) << server.output();
    EXPECT_NE(server.output().find("veilnoxsvr: cannot listen on 127.0.0.1:9111: Address already in use (another "
                                   "program holds the port)"),
              std::string::npos)
        << server.output();
    EXPECT_EQ(block->server_status, 1);
    std::string log = readFile(home + "/veilnoxsvr/logs/runtimelogs.txt");
    EXPECT_NE(log.find(">>: RVeilnoxSvr::onTimer() found tcp server not run.\r\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("found udp server not run."), std::string::npos) << log;
    close(taken);
}

TEST(ServerProcess, TakenUdpPortStopsTheServerWithStatus11) {
    vnx::ProxyData* block = createProxyBlock();
    ASSERT_NE(block, nullptr);
    int taken = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_storage sa;
    socklen_t len;
    sa = toSockaddr(serverEndpoint(false), len);
    ASSERT_EQ(bind(taken, reinterpret_cast<sockaddr*>(&sa), len), 0);

    std::string home = freshDataHome();
    ServerProcess server;
    ASSERT_TRUE(server.ChildProcess::start(serverPath(), {}, {"XDG_DATA_HOME=" + home}));
    EXPECT_EQ(server.waitExit(10000), 3);
    EXPECT_NE(server.output().find("Failed bind() ipv4 \n"), std::string::npos) << server.output();
    EXPECT_NE(server.output().find("veilnoxsvr: cannot bind UDP 127.0.0.1:9111"), std::string::npos) << server.output();
    EXPECT_EQ(block->server_status, 11);
    std::string log = readFile(home + "/veilnoxsvr/logs/runtimelogs.txt");
    EXPECT_NE(log.find("RVeilnoxSvr::onTimer() found udp server not run."), std::string::npos) << log;
    close(taken);
}

TEST(ServerProcess, ConsoleKeysSwitchDetailedLogs) {
    vnx::ProxyData* block = createProxyBlock();
    ASSERT_NE(block, nullptr);
    ServerProcess server;
    ASSERT_TRUE(server.start()) << server.output();
    // Main, TCP listener, UDP relay and console threads.
    const int startThreads = server.threadCount();
    ModuleTables tables;
    ASSERT_TRUE(tables.open());
    EchoServer echo;
    std::size_t at = server.waitFor("end printf logs...\n");
    ASSERT_NE(at, std::string::npos);

    // "p": echo, switch on; per-connection lines appear.
    ASSERT_TRUE(server.writeInput("p"));
    at = server.waitFor("p\nbegin printf logs...\n", 10000, at);
    ASSERT_NE(at, std::string::npos) << server.output();
    int fd = connectViaServer(tables, echo.address(), false);
    ASSERT_GE(fd, 0);
    std::string client = "Begin New TCP Client:" + localEndpoint(fd).text() + ".\r\n";
    EXPECT_NE(server.waitFor(client, 10000, at), std::string::npos) << server.output();
    close(fd);

    // Another letter: echo, switch off; a line feed: its echo (a blank
    // line) and the status dump, which goes to the silenced log stream.
    ASSERT_TRUE(server.writeInput("x\n"));
    at = server.waitFor("x\nend printf logs...\n\n\n", 10000, at);
    ASSERT_NE(at, std::string::npos) << server.output();
    std::size_t quietFrom = server.output().size();
    fd = connectViaServer(tables, echo.address(), false);
    ASSERT_GE(fd, 0);
    std::string quietClient = localEndpoint(fd).text();
    std::uint32_t sent = 0;
    EXPECT_TRUE(trafficIsPublished(tables, echo, sent));
    close(fd);
    EXPECT_EQ(server.output().find(quietClient, quietFrom), std::string::npos) << server.output();
    EXPECT_EQ(server.output().find("g_status app:"), std::string::npos);

    // End of input ends the console thread only.
    server.closeInput();
    EXPECT_TRUE(waitUntil([&] { return server.threadCount() == startThreads - 1; }, 10000)) << server.threadCount();
    EXPECT_TRUE(trafficIsPublished(tables, echo, sent));
    EXPECT_TRUE(server.running());
}

TEST(ServerProcess, HelpAndVersion) {
    ServerProcess help;
    ASSERT_TRUE(help.ChildProcess::start(serverPath(), {"--help"}));
    EXPECT_EQ(help.waitExit(10000), 0);
    EXPECT_NE(help.output().find("Usage: veilnoxsvr [hide]"), std::string::npos);
    ServerProcess version;
    ASSERT_TRUE(version.ChildProcess::start(serverPath(), {"--version"}));
    EXPECT_EQ(version.waitExit(10000), 0);
    EXPECT_EQ(version.output().rfind("veilnoxsvr ", 0), 0u) << version.output();
    // Neither touched the named objects.
    EXPECT_FALSE(vnx::RunMutex(vnx::kServerRunMutexName).exists());
}
