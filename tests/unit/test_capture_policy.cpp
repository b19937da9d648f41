// What veilnox-capture publishes to the kernel hooks, from a user's proxy
// data block: the policy fields and the hashes of the program rules. That the
// hooks compute the same hashes for running programs is shown by the capture
// topology tests (a rule "CURL.exe" picks curl).
#include "capturepolicy.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

void setRule(vnx::ProxyData& block, int i, const std::u16string& text, std::uint8_t enabled = 1) {
    std::memset(&block.rules[i], 0, sizeof block.rules[i]);
    std::memcpy(block.rules[i].name, text.data(), text.size() * sizeof(char16_t));
    block.rules[i].enabled = enabled;
}

TEST(CapturePolicy, NamesMatchWithoutCaseOrExeWhateverTheLocale) {
    using vnxcap::nameHash;
    EXPECT_EQ(nameHash("curl"), nameHash("CURL.exe"));
    EXPECT_EQ(nameHash("Firefox.EXE"), nameHash("firefox"));
    EXPECT_NE(nameHash("curl"), nameHash("curl.exe.exe"));
    EXPECT_NE(nameHash("curl"), nameHash("curly"));
    // Only ASCII letters fold: 'I' is 'i' even where the locale says otherwise.
    EXPECT_EQ(nameHash("PIP"), nameHash("pip"));
    EXPECT_NE(nameHash("\xC4\xB0p"), nameHash("ip"));
    EXPECT_EQ(nameHash(""), 0u);
    EXPECT_EQ(nameHash(".exe"), nameHash(".EXE"));
    EXPECT_TRUE(vnxcap::ownNameHashes().count(nameHash("VEILNOXSVR.exe")));
    EXPECT_FALSE(vnxcap::ownNameHashes().count(nameHash("veilnox-runner")));
}

TEST(CapturePolicy, BlockGivesFlagsPortsAndRuleHashes) {
    vnx::ProxyData block;
    std::memset(&block, 0, sizeof block);
    block.connected = 1;
    block.redirect_tcp = 1;
    block.redirect_dns = 1;
    setRule(block, 0, u"  C:\\Program Files\\Mozilla Firefox\\FireFox.exe\r");
    setRule(block, 1, u"/usr/bin/curl");
    setRule(block, 2, u"wget", 0);  // not enabled
    setRule(block, 3, u"   ");      // nothing left once trimmed
    setRule(block, 4, u"\xD83D\xDE00x");
    block.rule_count = 5;
    vnxcap::UserPolicy p = vnxcap::policyFromBlock(block);
    EXPECT_EQ(p.policy.connected, 1);
    EXPECT_EQ(p.policy.tcp, 1);
    EXPECT_EQ(p.policy.udp, 0);
    EXPECT_EQ(p.policy.dns, 1);
    EXPECT_EQ(p.policy.all_apps, 0);
    EXPECT_EQ(p.policy.tcp_port, 9111);
    EXPECT_EQ(p.policy.udp_port, 9112);
    EXPECT_EQ(p.rules, (std::set<std::uint64_t>{vnxcap::nameHash("firefox"), vnxcap::nameHash("curl"),
                                                vnxcap::nameHash("\xF0\x9F\x98\x80x")}));

    // Anything but 1 in `connected` is not connected; a count past 128 reads
    // 128 entries; the server's own port moves the datagram port with it.
    block.connected = 2;
    block.rule_count = 100000;
    block.tcp_port = 9300;
    for (int i = 0; i < vnx::kMaxRules; ++i)
        setRule(block, i, u"p" + std::u16string(1, u'A' + i % 26) + u"x" + std::u16string(1, u'a' + i / 26));
    p = vnxcap::policyFromBlock(block);
    EXPECT_EQ(p.policy.connected, 0);
    EXPECT_EQ(p.rules.size(), static_cast<std::size_t>(vnx::kMaxRules));
    EXPECT_EQ(p.policy.udp_port, 9301);
}

}  // namespace
