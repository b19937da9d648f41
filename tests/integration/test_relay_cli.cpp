// veilnox-relay's command line and its address policy.
#include "addresspolicy.h"
#include "relayoptions.h"
#include "serverlink.h"
#include "test_relay_support.h"

#include <gtest/gtest.h>

#include <fstream>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

using namespace relaytest;

namespace {

struct Outcome {
    int code = -1;
    std::string out;
    std::string err;
};

// Runs the relay to completion (it must end by itself within 10 s).
Outcome runRelay(const std::vector<std::string>& args) {
    Outcome o;
    int out[2], err[2];
    if (pipe(out) != 0 || pipe(err) != 0) return o;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        dup2(err[1], 2);
        std::string prog = relayPath();
        std::vector<char*> argv{const_cast<char*>(prog.c_str())};
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        alarm(10);
        execv(prog.c_str(), argv.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    auto drain = [](int fd, std::string& s) {
        char buf[4096];
        ssize_t n;
        while ((n = read(fd, buf, sizeof buf)) > 0)
            s.append(buf, static_cast<std::size_t>(n));
        close(fd);
    };
    drain(out[0], o.out);
    drain(err[0], o.err);
    int st = 0;
    waitpid(pid, &st, 0);
    o.code = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return o;
}

sockaddr_storage addr(const char* ip) { return makeAddress(ip, 80); }

// A key file made by the relay itself, in a folder of this test program.
const std::string& keyFile() {
    static const std::string path = [] {
        char dir[] = "/tmp/vnx-relaycli-XXXXXX";
        std::string file = mkdtemp(dir) ? std::string(dir) + "/etc/key" : std::string();
        Outcome made = runRelay({"--init-key", file});
        EXPECT_EQ(made.code, 0) << made.err;
        return file;
    }();
    return path;
}
const sockaddr* sa(const sockaddr_storage& s) { return reinterpret_cast<const sockaddr*>(&s); }

}  // namespace

TEST(RelayCli, BadArgumentsExitTwoWithAMessage) {
    const std::vector<std::vector<std::string>> cases = {
        {"--bogus"},
        {"--listen"},
        {"--listen", "127.0.0.1"},
        {"--listen", "localhost:80"},
        {"--listen", "127.0.0.1:65536"},
        {"--listen", "::1:80"},
        {"--listen", "[::1]80"},
        {"--allow", "10.0.0.0/33"},
        {"--allow", "nonsense"},
        {"--max-conns", "0"},
        {"--max-conns", "-5"},
        {"--idle-timeout", "abc"},
        {"--header-timeout", "0"},
        {"--public-address", "::1"},
        {"--quiet=yes"},
        {"--key-file", "/nonexistent/key"},
        {"--key-file", "/proc/self/cmdline"},  // not a key
        {"--key-file"},
        {"extra"},
    };
    for (const auto& args : cases) {
        SCOPED_TRACE(args.back());
        Outcome o = runRelay(args);
        EXPECT_EQ(o.code, 2);
        EXPECT_NE(o.err.find("veilnox-relay: "), std::string::npos) << o.err;
        EXPECT_TRUE(o.out.empty());
    }
}

TEST(RelayCli, HelpExplainsOptionsAndTheSecurityLimits) {
    Outcome o = runRelay({"--help"});
    EXPECT_EQ(o.code, 0);
    for (const char* word : {"--listen", "--allow", "--allow-private", "--open", "--max-headerless-per-source",
                             "--quiet", "not encryption", "authentication", "open proxy", "amplify"})
        EXPECT_NE(o.out.find(word), std::string::npos) << word;
    Outcome v = runRelay({"--version"});
    EXPECT_EQ(v.code, 0);
    EXPECT_EQ(v.out.rfind("veilnox-relay ", 0), 0u);
}

TEST(RelayCli, ReadyLineForDefaultIpv4AndIpv6Listeners) {
    {
        RelayProcess relay;
        ASSERT_TRUE(relay.start({"--quiet"}));
        EXPECT_EQ(relay.readyLine(), "veilnox-relay listening on 127.0.0.1:9200");
        EXPECT_EQ(relay.stop(), 0);
    }
    {
        RelayProcess relay;
        ASSERT_TRUE(relay.start({"--listen", "[::1]:0", "--allow-private", "--quiet"}));
        EXPECT_EQ(relay.readyLine(), "veilnox-relay listening on [::1]:" + std::to_string(relay.port()));
        // Serves over IPv6, to an IPv4 destination.
        TcpServer echo("127.0.0.1", TcpServer::Mode::Echo);
        int fd = connectTo(relay.address());
        ASSERT_GE(fd, 0);
        std::vector<std::uint8_t> h = relayHeader(echo.address(), false);
        ASSERT_TRUE(sendAll(fd, h.data(), h.size()));
        ASSERT_TRUE(sendAll(fd, "6", 1));
        char c = 0;
        EXPECT_TRUE(readExact(fd, &c, 1));
        EXPECT_EQ(c, '6');
        close(fd);
        EXPECT_EQ(relay.stop(), 0);
    }
}

TEST(RelayCli, NonLoopbackListenNeedsAllowOrOpen) {
    for (const char* listen : {"0.0.0.0:0", "[::]:0", "192.0.2.1:9200", "[::ffff:192.0.2.1]:9200"}) {
        SCOPED_TRACE(listen);
        Outcome o = runRelay({"--listen", listen});
        EXPECT_EQ(o.code, 2);
        EXPECT_NE(o.err.find("refusing to listen"), std::string::npos) << o.err;
        EXPECT_NE(o.err.find("--open"), std::string::npos) << o.err;
        EXPECT_NE(o.err.find("no authentication"), std::string::npos) << o.err;
        EXPECT_TRUE(o.out.empty());
    }
    const std::vector<std::vector<std::string>> accepted = {
        {"--listen", "127.0.0.2:0"},
        {"--listen", "[::1]:0"},
        {"--listen", "0.0.0.0:0", "--open"},
        {"--listen", "[::]:0", "--allow", "2001:db8::/32"},
        // A relay with a key authenticates its clients: any address will do.
        {"--listen", "0.0.0.0:0", "--key-file", keyFile()},
    };
    for (const auto& args : accepted) {
        SCOPED_TRACE(args[1]);
        std::vector<std::string> a = args;
        a.push_back("--quiet");
        RelayProcess relay;
        ASSERT_TRUE(relay.start(a));
        EXPECT_EQ(relay.stop(), 0);
    }
}

TEST(RelayCli, PrintedEntryCarriesTheKeyTheServicesPortAndAnIsoCountryCode) {
    std::ifstream in(keyFile());
    std::string keyText;
    std::getline(in, keyText);
    ASSERT_EQ(keyText.size(), 43u);
    struct Case {
        std::vector<std::string> args;
        const char* tag;  // "" = none
        bool keyed;
    };
    const Case cases[] = {
        {{"--country", "Germany"}, "DE", true},  // not GE, which is Georgia
        {{"--country", " united kingdom "}, "GB", true},
        {{"--country", "Atlantis"}, "", true},
        {{"--country", "Germany", "--tag", "XY"}, "XY", true},
        {{"--country", "Netherlands"}, "NL", false},
    };
    // Without --listen the installed service's options are read.
    const std::string defaults = keyFile() + ".defaults";
    {
        std::ofstream out(defaults);
        out << "# comment\nVEILNOX_RELAY_OPTS=\"--listen 0.0.0.0:9333 --public-address 198.51.100.7\"\n";
    }
    setenv("VEILNOX_RELAY_DEFAULTS", defaults.c_str(), 1);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[1]);
        std::vector<std::string> args{"--print-list-entry"};
        if (c.keyed) args.insert(args.end(), {"--key-file", keyFile()});
        args.insert(args.end(), c.args.begin(), c.args.end());
        Outcome o = runRelay(args);
        ASSERT_EQ(o.code, 0) << o.err;
        const std::size_t lineEnd = o.out.find('\n');
        ASSERT_NE(lineEnd, std::string::npos);
        const std::string element = o.out.substr(0, lineEnd);
        const std::string link = o.out.substr(lineEnd + 1);
        EXPECT_NE(element.find("<ip>198.51.100.7</ip><port>9333</port>"), std::string::npos) << element;
        EXPECT_EQ(element.find("<tag>") != std::string::npos, *c.tag != 0) << element;
        if (*c.tag) {
            EXPECT_NE(element.find(std::string("<tag>") + c.tag + "</tag>"), std::string::npos) << element;
        }
        EXPECT_EQ(element.find("<key>" + keyText + "</key>") != std::string::npos, c.keyed) << element;
        // The link names the same server, key and tag.
        vnx::ServerLink parsed;
        std::string error;
        ASSERT_TRUE(vnx::parseServerLink(link, parsed, error)) << link << error;
        EXPECT_EQ(parsed.ipv4, "198.51.100.7");
        EXPECT_EQ(parsed.port, 9333);
        EXPECT_EQ(parsed.tag, c.tag);
        EXPECT_EQ(parsed.hasKey, c.keyed);
        if (c.keyed) {
            EXPECT_EQ(vnx::encodeHopKey(parsed.key), keyText);
        }
        // A plain relay says what it lacks.
        EXPECT_EQ(o.err.find("no key") != std::string::npos, !c.keyed) << o.err;
    }
    unsetenv("VEILNOX_RELAY_DEFAULTS");
    // --init-key keeps an existing key.
    Outcome again = runRelay({"--init-key", keyFile()});
    EXPECT_EQ(again.code, 0);
    std::ifstream reread(keyFile());
    std::string after;
    std::getline(reread, after);
    EXPECT_EQ(after, keyText);
}

TEST(RelayCli, PortInUseFailsWithExitOne) {
    RelayProcess first;
    ASSERT_TRUE(first.start({"--listen", "127.0.0.1:0", "--quiet"}));
    Outcome o = runRelay({"--listen", "127.0.0.1:" + std::to_string(first.port())});
    EXPECT_EQ(o.code, 1);
    EXPECT_NE(o.err.find("cannot"), std::string::npos) << o.err;
    EXPECT_TRUE(o.out.empty());
    EXPECT_EQ(first.stop(), 0);
}

TEST(RelayPolicy, ParsesRanges) {
    using vnxrelay::Cidr;
    Cidr c;
    ASSERT_TRUE(vnxrelay::parseCidr("192.0.2.0/24", c));
    EXPECT_EQ(c.family, AF_INET);
    EXPECT_EQ(c.prefix, 24u);
    ASSERT_TRUE(vnxrelay::parseCidr("192.0.2.7", c));
    EXPECT_EQ(c.prefix, 32u);
    ASSERT_TRUE(vnxrelay::parseCidr("2001:db8::/32", c));
    EXPECT_EQ(c.family, AF_INET6);
    ASSERT_TRUE(vnxrelay::parseCidr("::ffff:10.0.0.0/104", c));
    EXPECT_EQ(c.family, AF_INET);
    EXPECT_EQ(c.prefix, 8u);
    for (const char* bad : {"", "/8", "1.2.3.4/", "1.2.3.4/33", "::/129", "1.2.3/8", "1.2.3.4/8x", "1.2.3.4/-1",
                            "1.2.3.4/0008", " 1.2.3.4"})
        EXPECT_FALSE(vnxrelay::parseCidr(bad, c)) << bad;
}

TEST(RelayPolicy, AllowListMatchesClientsIncludingMappedAddresses) {
    vnxrelay::Cidr a, b;
    ASSERT_TRUE(vnxrelay::parseCidr("198.51.100.0/25", a));
    ASSERT_TRUE(vnxrelay::parseCidr("2001:db8:1::/48", b));
    vnxrelay::AddressPolicy policy({a, b}, false);
    EXPECT_TRUE(policy.clientAllowed(sa(addr("198.51.100.1"))));
    EXPECT_TRUE(policy.clientAllowed(sa(addr("198.51.100.127"))));
    EXPECT_FALSE(policy.clientAllowed(sa(addr("198.51.100.128"))));
    EXPECT_TRUE(policy.clientAllowed(sa(addr("::ffff:198.51.100.5"))));
    EXPECT_TRUE(policy.clientAllowed(sa(addr("2001:db8:1:ffff::1"))));
    EXPECT_FALSE(policy.clientAllowed(sa(addr("2001:db8:2::1"))));
    EXPECT_FALSE(policy.clientAllowed(sa(addr("127.0.0.1"))));
    vnxrelay::AddressPolicy open({}, false);
    EXPECT_TRUE(open.clientAllowed(sa(addr("203.0.113.9"))));
}

TEST(RelayPolicy, InternalDestinations) {
    vnxrelay::AddressPolicy strict({}, false);
    vnxrelay::AddressPolicy loose({}, true);
    const char* internal[] = {"0.0.0.0",
                              "0.1.2.3",
                              "10.0.0.1",
                              "100.64.0.1",
                              "100.127.255.255",
                              "127.0.0.1",
                              "127.255.255.254",
                              "169.254.169.254",
                              "172.16.0.1",
                              "172.31.255.255",
                              "192.168.0.1",
                              "224.0.0.1",
                              "239.255.255.250",
                              "240.0.0.1",
                              "255.255.255.255",
                              "::",
                              "::1",
                              "::127.0.0.1",
                              "::ffff:127.0.0.1",
                              "::ffff:10.1.1.1",
                              "fe80::1",
                              "febf::1",
                              "fec0::1",
                              "fc00::1",
                              "fdff::1",
                              "ff02::1",
                              "64:ff9b::a00:1",
                              "2002:7f00:1::1",
                              "2002:c0a8:101::"};
    const char* external[] = {"1.1.1.1",          "100.63.255.255", "100.128.0.0",     "126.255.255.255",
                              "128.0.0.1",        "169.253.0.1",    "172.15.255.255",  "172.32.0.0",
                              "192.167.255.255",  "192.169.0.0",    "223.255.255.255", "8.8.8.8",
                              "::ffff:8.8.8.8",   "2001:db8::1",    "2606:4700::1111", "fe00::1",
                              "64:ff9b::808:808", "2002:808:808::1"};
    for (const char* ip : internal) {
        EXPECT_FALSE(strict.destinationAllowed(sa(addr(ip)))) << ip;
        EXPECT_TRUE(loose.destinationAllowed(sa(addr(ip)))) << ip;
    }
    for (const char* ip : external)
        EXPECT_TRUE(strict.destinationAllowed(sa(addr(ip)))) << ip;
    sockaddr_storage unix{};
    unix.ss_family = AF_UNIX;
    EXPECT_FALSE(loose.destinationAllowed(sa(unix)));
}
