// The client's automation socket (client/ui/automation.h) on its own: the
// real veilnox program offscreen in a throwaway profile, in this test's
// private network namespace. The servers of its list are never reached;
// connecting only writes the proxy data block.
#include "test_e2e_support.h"
#include "test_module_support.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QString>

#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

using namespace vnxtest;
using namespace e2etest;

namespace {

class Automation : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = makeProfileDir("/tmp/vnxauto");
        ASSERT_FALSE(dir_.empty());
        std::ofstream(dir_ + "/servers.xml")
            << "<Array>\n"
            << " <Element><country>Alpha</country><city>One</city><ip>192.0.2.10</ip><port>7443</port>"
               "<protocol>private</protocol></Element>\n"
            << " <Element><country>Beta</country><city>Two</city><ip>192.0.2.20</ip><port>7444</port>"
               "<protocol>private</protocol></Element>\n"
            << "</Array>\n";
        std::ofstream(dir_ + "/version.json") << "{\"ver\": \"0.0.0\"}\n";
        socketPath_ = dir_ + "/automation.sock";
    }
    void TearDown() override {
        automation_.disconnect();
        endClient(client_);
        if (!dir_.empty()) runCommand("rm -rf " + dir_);
    }

    bool startClient() {
        const std::string home = dir_ + "/home";
        std::vector<std::string> env = {"HOME=" + home, "XDG_DATA_HOME=" + home + "/share",
                                        "XDG_CONFIG_HOME=" + home + "/config", "XDG_RUNTIME_DIR=" + dir_ + "/run"};
        for (const std::string& e : clientEnv(dir_, socketPath_))
            env.push_back(e);
        return client_.start({VNX_BIN_DIR "/veilnox"}, env);
    }
    // Connects to the socket and waits for the end of the start-up.
    bool ready() {
        if (!waitUntil([&] { return automation_.open(socketPath_); }, 20000)) return false;
        return waitUntil([&] { return automation_.command("state")["ready"].toBool(); }, 20000);
    }
    std::string error(const std::string& command) {
        const QJsonObject reply = automation_.command(command);
        if (reply["ok"].toBool()) return "ok";
        return reply["error"].toString().toStdString();
    }

    std::string dir_, socketPath_;
    BackgroundProcess client_;
    AutomationClient automation_;
};

// Width and height from a PNG file's header; 0 when it is not a PNG.
std::pair<unsigned, unsigned> pngSize(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    unsigned char head[24] = {};
    in.read(reinterpret_cast<char*>(head), sizeof head);
    const unsigned char magic[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    if (!in || std::memcmp(head, magic, 8) != 0) return {0, 0};
    auto be32 = [&](int at) {
        return unsigned(head[at]) << 24 | unsigned(head[at + 1]) << 16 | unsigned(head[at + 2]) << 8 | head[at + 3];
    };
    return {be32(16), be32(20)};
}

TEST_F(Automation, DrivesTheWindowAndRefusesWhatItCannotDo) {
    ASSERT_TRUE(startClient());
    ASSERT_TRUE(ready()) << client_.output();
    QJsonObject state = automation_.command("state");
    ASSERT_EQ(state["servers"].toArray().size(), 2) << client_.output();
    EXPECT_EQ(state["servers"].toArray()[1].toObject()["text"].toString(), "Beta,Two,192.0.2.20");
    EXPECT_FALSE(state["connected"].toBool());

    // Commands it cannot carry out change nothing and say why.
    EXPECT_EQ(error("bogus"), "unknown command");
    EXPECT_EQ(error("connect 2"), "no such row");
    EXPECT_EQ(error("connect -1"), "no such row");
    EXPECT_EQ(error("connect one"), "no such row");
    EXPECT_EQ(error("tab 7"), "no such tab");
    EXPECT_EQ(error("change 99"), "no such entry");
    EXPECT_EQ(error("changeinterval 500"), "rotation timer not running");
    EXPECT_EQ(error("changeinterval 0"), "bad interval");
    EXPECT_EQ(error("shot"), "no path");
    EXPECT_EQ(error("shot " + dir_ + "/missing/folder/x.png"), "cannot write " + dir_ + "/missing/folder/x.png");
    state = automation_.command("state");
    EXPECT_FALSE(state["connected"].toBool());
    EXPECT_EQ(state["tab"].toInt(), 0);

    // Pictures of both tabs are real PNG files of the window's size.
    EXPECT_EQ(error("shot " + dir_ + "/servers.png"), "ok");
    EXPECT_EQ(error("tab 1"), "ok");
    EXPECT_EQ(automation_.command("state")["tab"].toInt(), 1);
    EXPECT_EQ(error("shot " + dir_ + "/connections.png"), "ok");
    EXPECT_EQ(pngSize(dir_ + "/servers.png"), (std::pair<unsigned, unsigned>(630, 447)));
    EXPECT_EQ(pngSize(dir_ + "/connections.png"), (std::pair<unsigned, unsigned>(630, 447)));

    // A peer that sends an endless line is dropped; others are still served.
    ASSERT_TRUE(automation_.sendRaw(std::string(70000, 'x')));
    EXPECT_TRUE(automation_.command("state").isEmpty());
    ASSERT_TRUE(automation_.open(socketPath_));
    EXPECT_TRUE(automation_.command("state")["ready"].toBool());

    // The second row's button connects it; the start button disconnects.
    state = automation_.command("connect 1");
    EXPECT_TRUE(state["ok"].toBool());
    EXPECT_TRUE(state["connected"].toBool());
    EXPECT_TRUE(state["servers"].toArray()[1].toObject()["connected"].toBool());
    EXPECT_FALSE(state["servers"].toArray()[0].toObject()["connected"].toBool());
    EXPECT_EQ(error("change 1"), "selector disabled");
    state = automation_.command("start");
    EXPECT_FALSE(state["connected"].toBool());

    // Closing while connected asks first; the automation answers OK and
    // reports the box on standard error.
    ASSERT_TRUE(automation_.command("connect 0")["connected"].toBool());
    EXPECT_EQ(error("close"), "ok");
    // The program ends by itself.
    const int pid = client_.pid();
    EXPECT_TRUE(waitUntil([pid] { return hasEnded(pid); }, 10000)) << client_.output();
    EXPECT_EQ(client_.stop(), 0) << client_.output();
    EXPECT_NE(client_.output().find("message box: Are you sure you want to quit?: "), std::string::npos)
        << client_.output();
}

TEST_F(Automation, LeavesAFileAtTheSocketPathAlone) {
    std::ofstream(socketPath_) << "keep me\n";
    ASSERT_TRUE(startClient());
    ASSERT_TRUE(client_.waitFor("exists and is not a socket", 20000)) << client_.output();
    EXPECT_FALSE(automation_.open(socketPath_));
    std::ifstream in(socketPath_);
    std::stringstream content;
    content << in.rdbuf();
    EXPECT_EQ(content.str(), "keep me\n");
}

}  // namespace
