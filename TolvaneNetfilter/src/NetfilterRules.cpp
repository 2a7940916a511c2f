#include <algorithm>
#include <array>
#include <cstdio>
#include <sstream>
#include <tolvane/netfilter/NetfilterError.hpp>
#include <tolvane/netfilter/NetfilterRules.hpp>
#include <vector>

#include "CommandRunner.hpp"

namespace tolvane::netfilter {

namespace {

constexpr const char* outChain = "TOLVANE-OUT";
constexpr const char* dnsChain = "TOLVANE-DNS";
constexpr const char* gateChain = "TOLVANE-GATE";

struct Jump {
    const char* table;
    const char* from;
    const char* chain;
};
constexpr std::array<Jump, 3> jumps = {{
    {"mangle", "OUTPUT", outChain},
    {"mangle", "INPUT", dnsChain},
    {"filter", "OUTPUT", gateChain},
}};
constexpr std::array<const char*, 2> tables = {"mangle", "filter"};

// Rules are written exactly as `iptables -S` prints them back, so that checking what is in
// place is a comparison of lines.
struct ChainRules {
    std::vector<std::string> out, dns, gate;

    const std::vector<std::string>& of(const std::string& chain) const {
        return chain == outChain ? out : chain == dnsChain ? dns : gate;
    }
};

std::string hex(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", value);
    return text;
}

std::string masked(std::uint32_t value, std::uint32_t mask) {
    return hex(value) + "/" + hex(mask);
}

ChainRules chainRules(const MarkLayout& layout, const QueueNumbers& queues, int ipVersion,
                      RuleMode mode) {
    using State = MarkLayout::State;
    const auto toQueue = [](std::uint16_t number) {
        return " -j NFQUEUE --queue-num " + std::to_string(number) + " --queue-bypass";
    };
    ChainRules rules;
    rules.dns = {"-p udp -m udp --sport 53" + toQueue(queues.dns),
                 "-p tcp -m tcp --sport 53" + toQueue(queues.dns)};
    if (mode == RuleMode::dnsOnly) return rules;

    const std::uint32_t mask = layout.mask();
    const auto is = [&](State state) {
        return "-m mark --mark " + masked(layout.bits(state), mask);
    };
    const auto set = [&](std::uint32_t bits) {
        return " -j MARK --set-xmark " + masked(bits, mask);
    };
    const std::string undecided = "-m mark --mark " + masked(0, mask);
    // Only a SYN that can hold no useful data skips the queue: one with data (TCP Fast Open)
    // may carry a whole request, and is queued like any first bytes. The bound is an IP
    // header and the longest TCP header, 60 bytes; a stack's SYN options (MSS, SACK,
    // timestamps, window scale: 20 bytes, with a Fast Open cookie 30) leave at most a few
    // bytes of data below it, too few for a ClientHello or a request that names a host.
    const std::string syn =
        std::string("-p tcp -m tcp --tcp-flags SYN,RST,ACK SYN -m length --length ") +
        (ipVersion == 4 ? "0:80" : "0:100");
    const std::string toFlows = toQueue(queues.flows);
    // A flow already allowed leaves both chains on its connection mark alone, before any
    // target runs: the bulk of its packets costs three matches in each.
    const std::string decided = "-m connmark --mark " +
                                masked(layout.bits(State::allow), layout.stateMask()) +
                                " -j RETURN";
    rules.out = {
        "-o lo -j RETURN",
        "-m conntrack --ctdir REPLY -j RETURN",
        decided,
        // Every bit of ours on the packet, `seen` too, is replaced by the flow's saved state.
        "-j CONNMARK --restore-mark --nfmask " + hex(mask) + " --ctmask " + hex(layout.stateMask()),
        is(State::allow) + " -j RETURN",
        is(State::reject) + " -j RETURN",
        "-p tcp -m tcp --dport 53 -j RETURN",
        "-p tcp -m tcp --tcp-flags RST RST -j RETURN",
        // A SYN without data has nothing to judge and is never queued: it counts as seen, or
        // the gate would refuse every connection.
        syn + set(layout.bits(State::pending) | layout.seenBit()),
        syn + " -j RETURN",
        // Picked up mid-stream: undecided.
        "-p tcp " + undecided + set(layout.bits(State::pending)),
        "-p tcp" + toFlows,
        "-p udp -m udp --dport 443 " + undecided + set(layout.bits(State::pending)),
        "-p udp -m udp --dport 443" + toFlows,
    };
    const std::string unreachable =
        ipVersion == 4 ? "icmp-port-unreachable" : "icmp6-port-unreachable";
    // Pending and held share the 4 bit: that bit without `seen` is a packet nobody looked at.
    const std::string unseen =
        "-m mark --mark " +
        masked(layout.bits(State::pending), layout.bits(State::pending) | layout.seenBit());
    const std::string refused =
        "-m mark --mark " + masked(layout.bits(State::reject), layout.stateMask());
    rules.gate = {
        "-o lo -j RETURN",
        "-m conntrack --ctdir REPLY -j RETURN",
        decided,
        // `seen` belongs to one packet and is never saved.
        "-j CONNMARK --save-mark --nfmask " + hex(layout.stateMask()) + " --ctmask " + hex(mask),
        // Our own resets must leave.
        "-p tcp -m tcp --tcp-flags RST RST -j RETURN",
        // A verdict's packet carries `seen` beside its state: match the state alone.
        "-p tcp " + refused + " -j REJECT --reject-with tcp-reset",
        refused + " -j REJECT --reject-with " + unreachable,
        "-p tcp " + unseen + " -j REJECT --reject-with tcp-reset",
        "-p udp " + unseen + " -j REJECT --reject-with " + unreachable,
    };
    return rules;
}

std::string tool(int ipVersion, const char* suffix) {
    return std::string(ipVersion == 4 ? "iptables" : "ip6tables") + suffix;
}

[[noreturn]] void fail(const std::string& what, const CommandResult& result) {
    std::string message = what + " failed (exit " + std::to_string(result.exitCode) + ")";
    std::string error = result.error;
    while (!error.empty() && (error.back() == '\n' || error.back() == ' ')) error.pop_back();
    if (!error.empty()) message += ": " + error;
    throw NetfilterError(message);
}

// One table as `iptables -S` prints it, one rule or chain a line, spaces collapsed.
std::vector<std::string> listTable(int ipVersion, const char* table) {
    const auto result = runCommand({tool(ipVersion, ""), "-w", "-t", table, "-S"});
    if (result.exitCode != 0) fail(tool(ipVersion, "") + " -t " + table + " -S", result);
    std::vector<std::string> lines;
    std::istringstream stream(result.output);
    for (std::string line; std::getline(stream, line);) {
        std::string normal;
        std::istringstream words(line);
        for (std::string word; words >> word;) normal += (normal.empty() ? "" : " ") + word;
        if (!normal.empty()) lines.push_back(std::move(normal));
    }
    return lines;
}

bool isOurs(const std::string& chain) {
    return chain == outChain || chain == dnsChain || chain == gateChain;
}

bool endsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// The chain a listed rule is appended to ("-A CHAIN ..."), empty for other lines.
std::string chainOf(const std::string& line) {
    if (line.rfind("-A ", 0) != 0) return {};
    return line.substr(3, line.find(' ', 3) - 3);
}

bool jumpsToOurs(const std::string& line) {
    if (line.rfind("-A ", 0) != 0 || isOurs(chainOf(line))) return false;
    for (const char* chain : {outChain, dnsChain, gateChain}) {
        if (endsWith(line, std::string(" -j ") + chain) ||
            endsWith(line, std::string(" -g ") + chain)) {
            return true;
        }
    }
    return false;
}

// Every jump into our chains and every chain of ours still in `lines`, as restore commands.
std::string removalCommands(const std::vector<std::string>& lines) {
    std::string commands;
    for (const auto& line : lines) {
        if (jumpsToOurs(line)) commands += "-D" + line.substr(2) + "\n";
    }
    for (const auto& line : lines) {
        if (line.rfind("-N ", 0) == 0 && isOurs(line.substr(3))) {
            commands += "-F " + line.substr(3) + "\n-X " + line.substr(3) + "\n";
        }
    }
    return commands;
}

}  // namespace

NetfilterRules::NetfilterRules(MarkLayout layout, QueueNumbers queues)
    : layout_(layout), queues_(queues) {}

std::string NetfilterRules::restoreScript(int ipVersion, RuleMode mode) const {
    const ChainRules rules = chainRules(layout_, queues_, ipVersion, mode);
    // Declaring a chain with --noflush empties it (both backends), which keeps a reinstall
    // from duplicating rules; the jumps are added separately, only where missing.
    std::string script =
        "*mangle\n:" + std::string(outChain) + " - [0:0]\n:" + dnsChain + " - [0:0]\n";
    for (const auto& rule : rules.out) script += "-A " + std::string(outChain) + " " + rule + "\n";
    for (const auto& rule : rules.dns) script += "-A " + std::string(dnsChain) + " " + rule + "\n";
    script += "COMMIT\n*filter\n:" + std::string(gateChain) + " - [0:0]\n";
    for (const auto& rule : rules.gate)
        script += "-A " + std::string(gateChain) + " " + rule + "\n";
    script += "COMMIT\n";
    return script;
}

void NetfilterRules::install(RuleMode mode) const {
    for (int ipVersion : {4, 6}) {
        const auto restored = runCommand({tool(ipVersion, "-restore"), "-w", "--noflush"},
                                         restoreScript(ipVersion, mode));
        if (restored.exitCode != 0) fail(tool(ipVersion, "-restore"), restored);
        for (const Jump& jump : jumps) {
            const auto checked = runCommand(
                {tool(ipVersion, ""), "-w", "-t", jump.table, "-C", jump.from, "-j", jump.chain});
            if (checked.exitCode == 0) continue;
            const auto inserted = runCommand({tool(ipVersion, ""), "-w", "-t", jump.table, "-I",
                                              jump.from, "1", "-j", jump.chain});
            if (inserted.exitCode != 0) {
                fail(tool(ipVersion, "") + " -t " + jump.table + " -I " + jump.from + " -j " +
                         jump.chain,
                     inserted);
            }
        }
    }
}

bool NetfilterRules::isInstalled(RuleMode mode) const {
    for (int ipVersion : {4, 6}) {
        const ChainRules rules = chainRules(layout_, queues_, ipVersion, mode);
        for (const char* table : tables) {
            std::vector<std::string> lines;
            try {
                lines = listTable(ipVersion, table);
            } catch (const NetfilterError&) {
                return false;
            }
            for (const Jump& jump : jumps) {
                if (std::string(jump.table) != table) continue;
                const std::string chain = jump.chain;
                if (std::find(lines.begin(), lines.end(), "-N " + chain) == lines.end()) {
                    return false;
                }
                const std::string jumpLine = "-A " + std::string(jump.from) + " -j " + chain;
                if (std::find(lines.begin(), lines.end(), jumpLine) == lines.end()) return false;
                std::vector<std::string> present;
                for (const auto& line : lines) {
                    if (chainOf(line) == chain) present.push_back(line.substr(4 + chain.size()));
                }
                if (present != rules.of(chain)) return false;
            }
        }
    }
    return true;
}

void NetfilterRules::remove() const {
    for (int ipVersion : {4, 6}) {
        // A rule added between listing and restoring fails the restore: list again and retry.
        std::string lastError;
        bool clean = false;
        for (int attempt = 0; attempt <= 3; ++attempt) {
            std::string script;
            for (const char* table : tables) {
                const std::string commands = removalCommands(listTable(ipVersion, table));
                if (!commands.empty())
                    script += "*" + std::string(table) + "\n" + commands + "COMMIT\n";
            }
            clean = script.empty();
            if (clean || attempt == 3) break;
            const auto result =
                runCommand({tool(ipVersion, "-restore"), "-w", "--noflush"}, script);
            if (result.exitCode != 0) lastError = result.error;
        }
        if (!clean) {
            throw NetfilterError(tool(ipVersion, "") + ": rules of ours stay behind" +
                                 (lastError.empty() ? "" : ": " + lastError));
        }
    }
}

}  // namespace tolvane::netfilter
