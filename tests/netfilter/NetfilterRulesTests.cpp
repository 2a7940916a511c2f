// Tests for the rule scripts: the rules that carry the design, and their order. Whether the
// kernel takes them and does what they say is NetfilterKernelTests'.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <tolvane/netfilter/NetfilterRules.hpp>

namespace tolvane::netfilter {
namespace {

// A mask other than the default, so that no value is right by accident: shift 4.
NetfilterRules rules() {
    return NetfilterRules(*MarkLayout::make(0xff0), {7, 9});
}

std::size_t count(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

TEST(NetfilterRules, EnforcingScriptHoldsTheKeyRules) {
    // Restore clears all our bits (seen too) and copies only the state; save never stores seen,
    // and replaces every bit of ours in the connection mark.
    const std::string both =
        R"(-A TOLVANE-DNS -p udp -m udp --sport 53 -j NFQUEUE --queue-num 9 --queue-bypass
-A TOLVANE-DNS -p tcp -m tcp --sport 53 -j NFQUEUE --queue-num 9 --queue-bypass
-A TOLVANE-OUT -j CONNMARK --restore-mark --nfmask 0xff0 --ctmask 0x70
-A TOLVANE-OUT -m mark --mark 0x10/0xff0 -j RETURN
-A TOLVANE-OUT -p tcp -m mark --mark 0x0/0xff0 -j MARK --set-xmark 0x40/0xff0
-A TOLVANE-OUT -p udp -m udp --dport 443 -j NFQUEUE --queue-num 7 --queue-bypass
-A TOLVANE-GATE -j CONNMARK --save-mark --nfmask 0x70 --ctmask 0xff0
-A TOLVANE-GATE -p tcp -m mark --mark 0x20/0x70 -j REJECT --reject-with tcp-reset
-A TOLVANE-GATE -p tcp -m mark --mark 0x40/0xc0 -j REJECT --reject-with tcp-reset
)";
    const std::string byVersion[] = {
        R"(-A TOLVANE-OUT -p tcp -m tcp --tcp-flags SYN,RST,ACK SYN -m length --length 0:80 -j MARK --set-xmark 0xc0/0xff0
-A TOLVANE-GATE -m mark --mark 0x20/0x70 -j REJECT --reject-with icmp-port-unreachable
-A TOLVANE-GATE -p udp -m mark --mark 0x40/0xc0 -j REJECT --reject-with icmp-port-unreachable
)",
        R"(-A TOLVANE-GATE -m mark --mark 0x20/0x70 -j REJECT --reject-with icmp6-port-unreachable
-A TOLVANE-GATE -p udp -m mark --mark 0x40/0xc0 -j REJECT --reject-with icmp6-port-unreachable
)"};
    for (const int ipVersion : {4, 6}) {
        const std::string script = rules().restoreScript(ipVersion, RuleMode::enforcing);
        std::istringstream lines(both + byVersion[ipVersion / 6]);
        for (std::string line; std::getline(lines, line);) {
            EXPECT_EQ(count(script, line + "\n"), 1u) << ipVersion << ": " << line;
        }
    }
    EXPECT_EQ(count(rules().restoreScript(6, RuleMode::enforcing), "icmp-port"), 0u);
}

TEST(NetfilterRules, EnforcingRulesComeInOrder) {
    // Each pair: the first rule must act before the second.
    const std::pair<const char*, const char*> cases[] = {
        {"-A TOLVANE-OUT -o lo -j RETURN", "--restore-mark"},
        // An allowed flow leaves on its connection mark before any target runs.
        {"--ctdir REPLY -j RETURN\n-A TOLVANE-OUT -m connmark --mark 0x10/0x70 -j RETURN\n"
         "-A TOLVANE-OUT -j CONNMARK",
         "--set-xmark"},
        {"--ctdir REPLY -j RETURN\n-A TOLVANE-GATE -m connmark --mark 0x10/0x70 -j RETURN\n"
         "-A TOLVANE-GATE -j CONNMARK --save-mark",
         "-j REJECT"},
        {"--restore-mark", "-A TOLVANE-OUT -m mark --mark 0x10/0xff0 -j RETURN"},
        {"-A TOLVANE-OUT -m mark --mark 0x20/0xff0 -j RETURN", "--queue-num 7"},
        {"-A TOLVANE-OUT -p tcp -m tcp --dport 53 -j RETURN", "--queue-num 7"},
        {"-A TOLVANE-OUT -p tcp -m tcp --tcp-flags RST RST -j RETURN", "--queue-num 7"},
        {"0:80 -j MARK", "0:80 -j RETURN"},
        {"0:80 -j RETURN", "-A TOLVANE-OUT -p tcp -j NFQUEUE"},
        {"--dport 443 -m mark --mark 0x0/0xff0", "--dport 443 -j NFQUEUE"},
        {"-A TOLVANE-GATE -o lo -j RETURN", "--save-mark"},
        {"--save-mark", "-j REJECT"},
        {"-A TOLVANE-GATE -p tcp -m tcp --tcp-flags RST RST -j RETURN", "-j REJECT"},
    };
    const std::string script = rules().restoreScript(4, RuleMode::enforcing);
    for (const auto& [first, second] : cases) {
        const auto at = script.find(first);
        ASSERT_NE(at, std::string::npos) << first;
        EXPECT_LT(at, script.find(second)) << first << " / " << second;
    }
}

TEST(NetfilterRules, DnsOnlyScriptQueuesOnlyDnsAndEmptiesTheOtherChains) {
    for (int ipVersion : {4, 6}) {
        const std::string script = rules().restoreScript(ipVersion, RuleMode::dnsOnly);
        EXPECT_EQ(count(script, "--queue-num 9"), 2u);
        EXPECT_EQ(count(script, "--queue-num 7"), 0u);
        EXPECT_EQ(count(script, "-A TOLVANE-OUT"), 0u);
        EXPECT_EQ(count(script, "-A TOLVANE-GATE"), 0u);
        // Declared all the same, which empties them when enforcing rules were in place.
        EXPECT_EQ(count(script, ":TOLVANE-OUT - [0:0]\n"), 1u);
        EXPECT_EQ(count(script, ":TOLVANE-GATE - [0:0]\n"), 1u);
        EXPECT_EQ(script.find("*mangle\n"), 0u);
        EXPECT_LT(script.find("COMMIT\n*filter\n"), script.find(":TOLVANE-GATE"));
    }
}

}  // namespace
}  // namespace tolvane::netfilter
