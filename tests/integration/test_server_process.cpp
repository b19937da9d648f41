// The veilnoxsvr process: refusals, single instance, hidden mode, listener
// failures, the console keys and the command line. Each test runs in its own
// namespaces (private /dev/shm and loopback), so 9111 and the real object
// names are free.
#include "test_server_support.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
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

// The test plays the running client: its proxy data block and its run
// mutex "veilnoxrun", both held until the test process ends.
vnx::ProxyData* playClient() {
    static vnx::RunMutex marker(vnx::kClientRunMutexName);
    if (!marker.create()) return nullptr;
    return createProxyBlock();
}

// A client process of its own: a child of the test that holds "veilnoxrun"
// until it is killed. Forked before the test starts any thread.
class ClientMarkerChild {
public:
    // True once the child holds the marker (it says so on a pipe).
    bool start() {
        int fds[2];
        if (pipe(fds) != 0) return false;
        pid_ = fork();
        if (pid_ == 0) {
            close(fds[0]);
            vnx::RunMutex marker(vnx::kClientRunMutexName);
            const char ok = marker.create() ? '1' : '0';
            if (write(fds[1], &ok, 1) != 1) _exit(1);
            for (;;)
                pause();
        }
        close(fds[1]);
        char ok = 0;
        vnxtest::pollUntil(fds[0], POLLIN, nowMs() + 10000);
        const bool held = pid_ > 0 && read(fds[0], &ok, 1) == 1 && ok == '1';
        close(fds[0]);
        return held;
    }
    // Kills the child (SIGKILL) and reaps it.
    void kill() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    ~ClientMarkerChild() { kill(); }

private:
    pid_t pid_ = -1;
};

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
    vnx::ProxyData* block = playClient();
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

TEST(ServerProcess, HiddenServerEndsWhenTheClientGoes) {
    // The client closes its window (it writes 0 into client_window), or its
    // process ends without doing so (a crash): either ends a hidden server
    // at its next tick. Programs still marked connected then fail closed: no
    // server takes their connections any more.
    struct Row {
        const char* name;
        bool killClient;
    };
    for (const Row& row : {Row{"window closed", false}, Row{"client process ended", true}}) {
        SCOPED_TRACE(row.name);
        ClientMarkerChild client;
        ASSERT_TRUE(client.start());
        vnx::ProxyData* block = createProxyBlock();
        ASSERT_NE(block, nullptr);
        block->connected = 1;
        ServerProcess server;
        ASSERT_TRUE(server.start({"hide"})) << server.output();
        ModuleTables tables;
        ASSERT_TRUE(tables.open());
        std::uint32_t sent = 0;
        {
            EchoServer echo;
            // Ticks pass while the client is there.
            ASSERT_TRUE(trafficIsPublished(tables, echo, sent));
            ASSERT_TRUE(server.running());
        }

        const std::int64_t t0 = nowMs();
        if (row.killClient)
            client.kill();
        else
            block->client_window = 0;
        EXPECT_EQ(server.waitExit(10000), 0);
        // One timer period plus scheduling slack.
        EXPECT_LT(nowMs() - t0, 3000);
        EXPECT_NE(server.output().find("VeilnoxSvr exits since parent is gone."), std::string::npos);
        EXPECT_EQ(block->connected, 1);
        EXPECT_LT(connectTo(serverEndpoint(false), 2000), 0) << "something still listens on 9111";
    }
}

TEST(ServerProcess, WithoutHideTheClientIsIgnored) {
    // No client window and no client process.
    vnx::ProxyData* block = createProxyBlock();
    ASSERT_NE(block, nullptr);
    block->client_window = 0;
    ServerProcess server;
    ASSERT_TRUE(server.start()) << server.output();
    ModuleTables tables;
    ASSERT_TRUE(tables.open());
    EchoServer echo;
    // Two publications after start prove that ticks have passed with no
    // client; a hidden server would have ended at the first one.
    std::uint32_t sent = 0;
    EXPECT_TRUE(trafficIsPublished(tables, echo, sent));
    EXPECT_TRUE(trafficIsPublished(tables, echo, sent));
    EXPECT_TRUE(server.running());
    EXPECT_EQ(server.signal(SIGKILL), 128 + SIGKILL);
}

TEST(ServerProcess, TakenTcpPortStopsTheServerWithStatus1) {
    vnx::ProxyData* block = playClient();
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

TEST(ServerProcess, CommandLine) {
    // With the client's block there, so that a server that did not stop at
    // its command line would start and keep running.
    ASSERT_NE(createProxyBlock(), nullptr);
    const std::string unknown = "\nTry 'veilnoxsvr --help' for more information.\n";
    struct Row {
        const char* arg;
        int exitCode;
        std::string output;  // found in the output
    };
    for (const Row& row : {Row{"--help", 0, "Usage: veilnoxsvr [hide]"}, Row{"-h", 0, "Usage: veilnoxsvr [hide]"},
                           Row{"--version", 0, "veilnoxsvr " VEILNOX_VERSION "\n"},
                           // Arguments are compared exactly.
                           Row{"HIDE", 2, "veilnoxsvr: unknown argument 'HIDE'" + unknown},
                           Row{"--hide", 2, "veilnoxsvr: unknown argument '--hide'" + unknown},
                           Row{"", 2, "veilnoxsvr: unknown argument ''" + unknown}}) {
        SCOPED_TRACE(row.arg);
        ServerProcess server;
        ASSERT_TRUE(server.ChildProcess::start(serverPath(), {row.arg, "hide"}));
        EXPECT_EQ(server.waitExit(10000), row.exitCode) << server.output();
        EXPECT_NE(server.output().find(row.output), std::string::npos) << server.output();
        EXPECT_EQ(server.output().find("GetProxyData failed!"), std::string::npos) << server.output();
        // None of them took the single-instance marker.
        EXPECT_FALSE(vnx::RunMutex(vnx::kServerRunMutexName).exists());
    }
}
