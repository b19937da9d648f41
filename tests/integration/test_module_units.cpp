// The module's parsers and helpers, in-process: DNS messages (hostile
// input included), the scattered-payload checksum, program rules, the
// resolver files and the per-socket table.
#include "dnsclient.h"
#include "dnsmessage.h"
#include "dnsupstream.h"
#include "fdtable.h"
#include "policy.h"
#include "records.h"
#include "resolvconf.h"
#include "udpdivert.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

using namespace vnxmod;

namespace {

std::vector<std::uint8_t> header(std::uint16_t id, int rcode, int an, bool tc = false) {
    return {static_cast<std::uint8_t>(id >> 8),
            static_cast<std::uint8_t>(id),
            static_cast<std::uint8_t>(0x81 | (tc ? 2 : 0)),
            static_cast<std::uint8_t>(0x80 | rcode),
            0,
            1,
            0,
            static_cast<std::uint8_t>(an),
            0,
            0,
            0,
            0};
}
void name(std::vector<std::uint8_t>& m, const std::string& n) {
    std::size_t s = 0;
    while (s < n.size()) {
        std::size_t d = n.find('.', s);
        if (d == std::string::npos) d = n.size();
        m.push_back(static_cast<std::uint8_t>(d - s));
        m.insert(m.end(), n.begin() + s, n.begin() + d);
        s = d + 1;
    }
    m.push_back(0);
}
void question(std::vector<std::uint8_t>& m, const std::string& n, std::uint16_t type) {
    name(m, n);
    m.insert(m.end(), {static_cast<std::uint8_t>(type >> 8), static_cast<std::uint8_t>(type), 0, 1});
}
void rr(std::vector<std::uint8_t>& m, std::vector<std::uint8_t> owner, std::uint16_t type,
        std::vector<std::uint8_t> data) {
    m.insert(m.end(), owner.begin(), owner.end());
    m.insert(m.end(), {static_cast<std::uint8_t>(type >> 8), static_cast<std::uint8_t>(type), 0, 1, 0, 0, 0, 60,
                       static_cast<std::uint8_t>(data.size() >> 8), static_cast<std::uint8_t>(data.size())});
    m.insert(m.end(), data.begin(), data.end());
}
const std::vector<std::uint8_t> kPtrToQuestion = {0xC0, 12};

TEST(ModuleDnsMessage, QueryLayoutAndInvalidNames) {
    std::uint8_t q[300];
    std::size_t n = DnsMessage::buildQuery(0xBEEF, "Www.Example.test.", kTypeAaaa, q, sizeof q);
    const std::vector<std::uint8_t> want = {0xBE, 0xEF, 0x01, 0,   0,   1,   0,   0,   0,   0,   0,   0,
                                            3,    'W',  'w',  'w', 7,   'E', 'x', 'a', 'm', 'p', 'l', 'e',
                                            4,    't',  'e',  's', 't', 0,   0,   28,  0,   1};
    EXPECT_EQ(std::vector<std::uint8_t>(q, q + n), want);
    EXPECT_EQ(DnsMessage::buildQuery(1, "a..b", kTypeA, q, sizeof q), 0u);
    EXPECT_EQ(DnsMessage::buildQuery(1, "", kTypeA, q, sizeof q), 0u);
    EXPECT_EQ(DnsMessage::buildQuery(1, (std::string(64, 'x') + ".test").c_str(), kTypeA, q, sizeof q), 0u);
    std::string longName;
    for (int i = 0; i < 50; ++i)
        longName += "abcd.";
    longName += "test";  // 254 characters
    EXPECT_EQ(DnsMessage::buildQuery(1, longName.c_str(), kTypeA, q, sizeof q), 0u);
    EXPECT_EQ(DnsMessage::buildQuery(1, "example.test", kTypeA, q, 20), 0u) << "does not fit";
}

TEST(ModuleDnsMessage, AnswersCnameChainsAndStatus) {
    auto m = header(7, 0, 3);
    question(m, "alias.test", kTypeA);
    std::vector<std::uint8_t> target;
    name(target, "Example.TEST");
    rr(m, kPtrToQuestion, kTypeCname, target);
    rr(m, {0xC0, static_cast<std::uint8_t>(12 + 16 + 12)}, kTypeA, {198, 51, 100, 7});  // pointer to the target
    std::vector<std::uint8_t> other;
    name(other, "unrelated.test");
    rr(m, other, kTypeA, {10, 0, 0, 1});  // not in the chain: ignored
    DnsAnswer a;
    ASSERT_EQ(DnsMessage::parseResponse(m.data(), m.size(), 7, "ALIAS.test.", kTypeA, a), DnsMessage::Parse::Ok);
    EXPECT_EQ(a.status, DnsAnswer::Status::Ok);
    ASSERT_EQ(a.count, 1u);
    EXPECT_EQ(a.addr[0][3], 7);
    EXPECT_STREQ(a.canonical, "example.test");

    EXPECT_EQ(DnsMessage::parseResponse(m.data(), m.size(), 8, "alias.test", kTypeA, a), DnsMessage::Parse::NotOurs)
        << "another id";
    EXPECT_EQ(DnsMessage::parseResponse(m.data(), m.size(), 7, "other.test", kTypeA, a), DnsMessage::Parse::NotOurs);
    EXPECT_EQ(DnsMessage::parseResponse(m.data(), m.size(), 7, "alias.test", kTypeAaaa, a), DnsMessage::Parse::NotOurs);

    auto nx = header(9, 3, 0);
    question(nx, "missing.test", kTypeA);
    ASSERT_EQ(DnsMessage::parseResponse(nx.data(), nx.size(), 9, "missing.test", kTypeA, a), DnsMessage::Parse::Ok);
    EXPECT_EQ(a.status, DnsAnswer::Status::NoName);
    auto fail = header(9, 2, 0);
    question(fail, "x.test", kTypeA);
    ASSERT_EQ(DnsMessage::parseResponse(fail.data(), fail.size(), 9, "x.test", kTypeA, a), DnsMessage::Parse::Ok);
    EXPECT_EQ(a.status, DnsAnswer::Status::Failed);
    auto empty = header(9, 0, 0, true);
    question(empty, "x.test", kTypeA);
    ASSERT_EQ(DnsMessage::parseResponse(empty.data(), empty.size(), 9, "x.test", kTypeA, a), DnsMessage::Parse::Ok);
    EXPECT_EQ(a.status, DnsAnswer::Status::NoData);
    EXPECT_TRUE(a.truncated);
}

TEST(ModuleDnsMessage, ReplyMustRepeatTheQueryAndPtrNamesAreRead) {
    std::uint8_t q[300];
    const std::size_t qn = DnsMessage::buildQuery(0x4242, "2.100.51.198.in-addr.arpa", kTypePtr, q, sizeof q);
    ASSERT_GT(qn, 0u);
    auto reply = [&](std::uint16_t id, const std::string& n, std::uint16_t type) {
        auto m = header(id, 0, 1);
        question(m, n, type);
        std::vector<std::uint8_t> target;
        name(target, "Web.test");
        rr(m, kPtrToQuestion, kTypePtr, target);
        return m;
    };
    std::vector<std::uint8_t> cut(q, q + qn - 1);
    cut[2] |= 0x80;  // a response, its question cut off
    struct Row {
        const char* what;
        std::vector<std::uint8_t> msg;
        bool answers;
    } rows[] = {
        {"the reply", reply(0x4242, "2.100.51.198.in-addr.arpa", kTypePtr), true},
        {"other case", reply(0x4242, "2.100.51.198.IN-ADDR.ARPA", kTypePtr), true},
        {"other id", reply(0x4243, "2.100.51.198.in-addr.arpa", kTypePtr), false},
        {"other name", reply(0x4242, "6.6.6.6.in-addr.arpa", kTypePtr), false},
        {"other type", reply(0x4242, "2.100.51.198.in-addr.arpa", kTypeA), false},
        {"cut short", cut, false},
        {"the query itself", std::vector<std::uint8_t>(q, q + qn), false},
    };
    for (const Row& r : rows)
        EXPECT_EQ(DnsClient::answers(q, qn, r.msg.data(), r.msg.size()), r.answers) << r.what;
    DnsAnswer a;
    ASSERT_EQ(DnsMessage::parseResponse(rows[0].msg.data(), rows[0].msg.size(), 0x4242, "2.100.51.198.in-addr.arpa",
                                        kTypePtr, a),
              DnsMessage::Parse::Ok);
    EXPECT_EQ(a.status, DnsAnswer::Status::Ok);
    EXPECT_STREQ(a.target, "web.test");
}

TEST(ModuleDnsMessage, HostileMessagesAreRejectedWithoutOverrun) {
    struct Case {
        const char* what;
        std::vector<std::uint8_t> msg;
    };
    std::vector<Case> cases;
    {
        auto m = header(1, 0, 1);
        question(m, "a.test", kTypeA);
        rr(m, {0xC0, static_cast<std::uint8_t>(m.size())}, kTypeA, {1, 2, 3, 4});  // points at itself
        cases.push_back({"pointer to itself", m});
    }
    {
        auto m = header(1, 0, 1);
        question(m, "a.test", kTypeA);
        rr(m, {0xC0, 0xFF}, kTypeA, {1, 2, 3, 4});  // forward / out of the message
        cases.push_back({"forward pointer", m});
    }
    {
        auto m = header(1, 0, 1);
        question(m, "a.test", kTypeA);
        rr(m, kPtrToQuestion, kTypeA, {1, 2, 3, 4});
        m.resize(m.size() - 2);  // rdata cut short
        cases.push_back({"rdata past the end", m});
    }
    {
        auto m = header(1, 0, 5);  // claims 5 answers, has none
        question(m, "a.test", kTypeA);
        cases.push_back({"missing records", m});
    }
    {
        auto m = header(1, 0, 0);
        m.insert(m.end(), {0x40, 'x'});  // reserved label type
        cases.push_back({"reserved label type", m});
    }
    {
        auto m = header(1, 0, 0);
        for (int i = 0; i < 5; ++i) {
            m.push_back(63);
            m.insert(m.end(), 63, 'a');
        }
        m.push_back(0);
        m.insert(m.end(), {0, 1, 0, 1});
        cases.push_back({"name longer than 255", m});
    }
    cases.push_back({"shorter than a header", {0, 1, 0x81}});
    for (const Case& c : cases) {
        DnsAnswer a;
        DnsMessage::Parse p = DnsMessage::parseResponse(c.msg.data(), c.msg.size(), 1, "a.test", kTypeA, a);
        EXPECT_NE(p, DnsMessage::Parse::Ok) << c.what;
    }
    // Random bytes after a valid header and question: never a crash, never
    // an address count beyond the table.
    std::mt19937 rng(1234);
    for (int round = 0; round < 20000; ++round) {
        auto m = header(1, 0, rng() % 8);
        question(m, "a.test", kTypeA);
        const std::size_t extra = rng() % 96;
        for (std::size_t i = 0; i < extra; ++i)
            m.push_back(static_cast<std::uint8_t>(rng()));
        DnsAnswer a;
        DnsMessage::parseResponse(m.data(), m.size(), 1, "a.test", kTypeA, a);
        ASSERT_LE(a.count, kMaxAddresses);
    }
}

TEST(ModuleChecksum, ScatteredPayloadGivesTheRecordChecksum) {
    std::mt19937 rng(99);
    for (int round = 0; round < 500; ++round) {
        std::vector<std::uint8_t> data(rng() % 2000);
        for (auto& b : data)
            b = static_cast<std::uint8_t>(rng());
        std::vector<iovec> iov;
        std::size_t pos = 0;
        while (pos < data.size()) {
            std::size_t n = std::min<std::size_t>(data.size() - pos, 1 + rng() % 7);  // odd splits too
            iov.push_back({data.data() + pos, n});
            pos += n;
        }
        std::size_t total = 0;
        EXPECT_EQ(UdpDivert::checksum(iov.data(), iov.size(), total), vnx::payloadChecksum(data.data(), data.size()));
        EXPECT_EQ(total, data.size());
    }
    std::size_t total = 1;
    EXPECT_EQ(UdpDivert::checksum(nullptr, 0, total), 0xFFFF);
    EXPECT_EQ(total, 0u);
}

TEST(ModulePolicy, RulesMatchTheProgramName) {
    struct Row {
        const char16_t* rule;
        const char* program;
        bool match;
    } rows[] = {
        {u"curl", "curl", true},
        {u"CURL.EXE", "curl", true},
        {u"curl", "curl.exe", true},
        {u"curl.exe", "Curl.EXE", true},
        {u"curl", "curlx", false},
        {u"url", "curl", false},
        {u"C:\\Program Files\\Mozilla Firefox\\firefox.exe", "firefox", true},
        {u"/usr/bin/wget", "wget", true},
        {u" wget ", "wget", true},
        {u".exe", "", false},
        {u"", "curl", false},
        {u"programm\u00e9", "programm\u00c3\u00a9", false},
        {u"programm\u00e9", "programm\xc3\xa9", true},
    };
    for (const Row& r : rows)
        EXPECT_EQ(Policy::ruleMatches(r.rule, 128, r.program), r.match)
            << std::string(r.program) << " rule #" << (&r - rows);
    EXPECT_TRUE(Policy::isVeilnoxProgram("veilnoxsvr"));
    EXPECT_TRUE(Policy::isVeilnoxProgram("Veilnox.exe"));
    EXPECT_FALSE(Policy::isVeilnoxProgram("veilnoxsvr2"));
}

TEST(ModulePolicy, VerdictFollowsTheBlock) {
    auto block = std::make_unique<vnx::ProxyData>();
    std::memset(block.get(), 0, sizeof *block);
    block->connected = 1;
    block->redirect_tcp = 1;
    block->redirect_dns = 1;
    block->tcp_port = 9111;
    block->udp_port = 9111;
    Verdict v = Policy::evaluate(*block, "curl", "curl");
    EXPECT_FALSE(v.tcp) << "no rule and not all programs";
    std::u16string rule = u"curl";
    std::memcpy(block->rules[5].name, rule.data(), rule.size() * 2);
    block->rules[5].enabled = 1;
    block->rule_count = 6;
    v = Policy::evaluate(*block, "curl", "curl");
    EXPECT_TRUE(v.tcp);
    EXPECT_FALSE(v.udp);
    EXPECT_TRUE(v.dns);
    EXPECT_EQ(v.tcpPort, 9111);
    block->rule_count = 5;  // the rule is past the count
    EXPECT_FALSE(Policy::evaluate(*block, "curl", "curl").tcp);
    block->rule_count = 100000;  // garbage count: clamped, still found
    EXPECT_TRUE(Policy::evaluate(*block, "curl", "curl").tcp);
    block->redirect_all_apps = 1;
    EXPECT_TRUE(Policy::evaluate(*block, "wget", "wget").tcp);
    EXPECT_FALSE(Policy::evaluate(*block, "veilnoxsvr", "veilnoxsvr").tcp);
    block->connected = 2;  // only 1 means connected
    EXPECT_FALSE(Policy::evaluate(*block, "wget", "wget").tcp);
}

TEST(ModuleResolverFiles, ResolvConfAndHostsAreReadAsTheCLibraryDoes) {
    char dir[] = "/tmp/vnxrcXXXXXX";
    ASSERT_TRUE(mkdtemp(dir));
    const std::string rc = std::string(dir) + "/resolv.conf";
    std::ofstream(rc) << "# comment\ndomain first.test\nnameserver 192.0.2.53 ; trailing\n"
                         "nameserver 2001:db8::53\nnameserver ::ffff:192.0.2.54\nnameserver 192.0.2.55\n"
                         "search a.test b.test\noptions ndots:2 timeout:1 attempts:9 rotate\n"
                      << std::string(3000, 'x') << "\n";
    ResolvConf c = ResolvConf::load(rc.c_str());
    ASSERT_EQ(c.serverCount, 3) << "at most three, as the C library";
    EXPECT_EQ(c.servers[0].ipv4, inet_addr("192.0.2.53"));
    EXPECT_EQ(c.servers[0].port, htons(53));
    EXPECT_EQ(c.servers[1].ipv6[15], 0x53);
    EXPECT_EQ(c.servers[2].ipv4, inet_addr("192.0.2.54")) << "a mapped address counts as IPv4";
    ASSERT_EQ(c.searchCount, 2);
    EXPECT_STREQ(c.search[1], "b.test");
    EXPECT_EQ(c.ndots, 2);
    EXPECT_EQ(c.timeoutSec, 1);
    EXPECT_EQ(c.attempts, 5) << "bounded";
    ResolvConf none = ResolvConf::load((std::string(dir) + "/missing").c_str());
    ASSERT_EQ(none.serverCount, 1);
    EXPECT_EQ(none.servers[0].ipv4, htonl(INADDR_LOOPBACK));

    const std::string hosts = std::string(dir) + "/hosts";
    std::ofstream(hosts) << "127.0.0.1 localhost\n192.0.2.9\tweb.test  www.test # comment web2.test\n"
                            "2001:db8::9 web.test\nnot-an-address web3.test\n192.0.2.10 WEB.test\n";
    HostsResult h = HostsFile::lookup(hosts.c_str(), "www.TEST", AF_UNSPEC);
    EXPECT_TRUE(h.named);
    ASSERT_EQ(h.count, 1u);
    EXPECT_STREQ(h.canonical, "web.test");
    h = HostsFile::lookup(hosts.c_str(), "web.test", AF_INET);
    EXPECT_EQ(h.count, 2u);
    h = HostsFile::lookup(hosts.c_str(), "web.test", AF_INET6);
    EXPECT_EQ(h.count, 1u);
    EXPECT_FALSE(HostsFile::lookup(hosts.c_str(), "web2.test", AF_UNSPEC).named) << "inside a comment";
    EXPECT_FALSE(HostsFile::lookup(hosts.c_str(), "web3.test", AF_UNSPEC).named);
    std::string cmd = std::string("rm -rf ") + dir;
    ASSERT_EQ(std::system(cmd.c_str()), 0);
}

TEST(ModuleResolverFiles, UpstreamOfALocalStub) {
    char dir[] = "/tmp/vnxupXXXXXX";
    ASSERT_TRUE(mkdtemp(dir));
    const std::string sd = std::string(dir) + "/systemd", rc = std::string(dir) + "/resolv";
    const std::string missing = std::string(dir) + "/missing";
    struct Case {
        const char* systemd;  // nullptr: no such file
        const char* resolv;
        const char* env;   // nullptr: unset
        const char* want;  // "IP:PORT" or nullptr when none is known
    } cases[] = {
        {"nameserver 192.0.2.1\n", "nameserver 127.0.0.53\n", nullptr, "192.0.2.1:53"},
        {"# stub list\nnameserver 127.0.0.53\nnameserver ::1\nnameserver 0.0.0.0\nnameserver 2001:db8::5%eth0\n",
         "nameserver 192.0.2.2\n", nullptr, "[2001:db8::5]:53"},
        {nullptr, "nameserver 127.0.0.1\nnameserver ::ffff:127.0.0.9\nnameserver 198.51.100.7 # cache\n", nullptr,
         "198.51.100.7:53"},
        {"", "options ndots:1\nnameserver 127.0.0.53\n", "203.0.113.9:5353", "203.0.113.9:5353"},
        {nullptr, "nameserver 127.0.0.53\n", "[2001:db8::9]:54", "[2001:db8::9]:54"},
        {nullptr, "nameserver 127.0.0.53\n", "2001:db8::8", "[2001:db8::8]:53"},
        {nullptr, "nameserver 127.0.0.53\n", "203.0.113.9", "203.0.113.9:53"},
        {nullptr, "nameserver 127.0.0.53\n", "127.0.0.1", nullptr},
        {nullptr, "nameserver 127.0.0.53\n", "203.0.113.9:0", nullptr},
        {nullptr, "nameserver 127.0.0.53\n", "203.0.113.9:99999", nullptr},
        {nullptr, "nameserver 127.0.0.53\n", "[2001:db8::9]x", nullptr},
        {nullptr, "nameserver 127.0.0.53\n", "not-an-address", nullptr},
        {nullptr, "nameserver:192.0.2.1\nxnameserver 192.0.2.1\nnameserver\n", nullptr, nullptr},
        {nullptr, nullptr, nullptr, nullptr},
    };
    for (const Case& c : cases) {
        if (c.systemd) std::ofstream(sd, std::ios::trunc) << c.systemd;
        if (c.resolv) std::ofstream(rc, std::ios::trunc) << c.resolv;
        if (c.env)
            setenv("VEILNOX_DNS_UPSTREAM", c.env, 1);
        else
            unsetenv("VEILNOX_DNS_UPSTREAM");
        vnx::REndpoint got;
        const bool ok = vnx::chooseDnsUpstream(got, c.systemd ? sd.c_str() : missing.c_str(),
                                               c.resolv ? rc.c_str() : missing.c_str());
        const std::string label =
            std::string(c.systemd ? c.systemd : "-") + "|" + (c.resolv ? c.resolv : "-") + "|" + (c.env ? c.env : "-");
        if (!c.want) {
            EXPECT_FALSE(ok) << label;
            continue;
        }
        vnx::REndpoint want;
        ASSERT_TRUE(vnx::parseResolverAddress(c.want, want)) << c.want;
        ASSERT_TRUE(ok) << label;
        EXPECT_TRUE(got == want) << label << " gave " << got.text();
    }
    unsetenv("VEILNOX_DNS_UPSTREAM");

    const char* local[] = {"127.0.0.53", "127.255.0.1", "[::1]:53", "0.0.0.0", "::", "::ffff:127.0.0.1"};
    for (const char* a : local) {
        vnx::REndpoint e;
        ASSERT_TRUE(vnx::parseResolverAddress(a, e)) << a;
        EXPECT_TRUE(vnx::isLocalResolver(e)) << a;
    }
    const char* remote[] = {"128.0.0.1", "126.255.255.255", "::2", "2001:db8::1", "10.0.0.1"};
    for (const char* a : remote) {
        vnx::REndpoint e;
        ASSERT_TRUE(vnx::parseResolverAddress(a, e)) << a;
        EXPECT_FALSE(vnx::isLocalResolver(e)) << a;
    }
    std::string cmd = std::string("rm -rf ") + dir;
    ASSERT_EQ(std::system(cmd.c_str()), 0);
}

TEST(ModuleFdTable, EntriesAreKeptPerDescriptorAndForgotten) {
    FdInfo info;
    info.kind = FdKind::Udp;
    info.localPort = htons(5000);
    ASSERT_TRUE(FdTable::set(700000, info));
    EXPECT_EQ(FdTable::kind(700000), FdKind::Udp);
    EXPECT_EQ(FdTable::kind(700001), FdKind::None);
    EXPECT_FALSE(FdTable::set(FdTable::kMaxFd, info)) << "out of range";
    EXPECT_EQ(FdTable::kind(-1), FdKind::None);
    FdTable::copy(700000, 12);
    FdInfo copy;
    ASSERT_TRUE(FdTable::get(12, copy));
    EXPECT_EQ(copy.localPort, htons(5000));
    FdInfo taken;
    EXPECT_TRUE(FdTable::take(700000, taken));
    EXPECT_FALSE(FdTable::take(700000, taken));
    EXPECT_EQ(FdTable::kind(700000), FdKind::None);
    FdTable::clear(12);
    // Writers and readers on the same entries from several threads.
    std::vector<std::thread> threads;
    std::atomic<int> torn{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &torn] {
            for (int i = 0; i < 20000; ++i) {
                FdInfo w;
                w.kind = FdKind::Tcp;
                w.localPort = static_cast<std::uint16_t>(t);
                w.serverPort = static_cast<std::uint16_t>(t);
                FdTable::set(100 + (i % 8), w);
                FdInfo r;
                if (FdTable::get(100 + ((i + 3) % 8), r) && r.localPort != r.serverPort) ++torn;
            }
        });
    }
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(torn.load(), 0);
}

}  // namespace
