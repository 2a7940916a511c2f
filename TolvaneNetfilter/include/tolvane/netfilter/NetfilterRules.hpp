// NetfilterRules.hpp: the filter's own iptables chains, for IPv4 and IPv6, installed,
// checked and removed through iptables-restore (either backend). Nothing outside the
// filter's chains changes but one jump into each of them.
//
//   mode        what is queued
//   ----------  --------------------------------------------------------------------------
//   dnsOnly     DNS answers (sport 53, UDP and TCP, loopback included) to the DNS queue,
//               with bypass: nothing is ever refused
//   enforcing   the above; plus outbound TCP of flows still undecided or held, and UDP to
//               port 443, to the flow queue (bypass on: a missing filter is caught by the
//               filter table, which refuses undecided packets that nobody saw)
//
// Loopback and the reply direction of flows others opened to us are never queued; a SYN only
// marks its flow pending. Decided flows stay in the kernel through their connection mark.
//
//   NetfilterRules rules(*MarkLayout::make(MarkLayout::defaultMask), {});
//   rules.install(RuleMode::enforcing);   // idempotent; replaces whatever mode was in place
//   rules.isInstalled(RuleMode::enforcing)  -> true
//   rules.remove();                        // every chain and jump; fine when there are none
#pragma once

#include <cstdint>
#include <string>
#include <tolvane/netfilter/MarkLayout.hpp>

namespace tolvane::netfilter {

enum class RuleMode { dnsOnly, enforcing };

struct QueueNumbers {
    std::uint16_t flows = 4170;
    std::uint16_t dns = 4171;
};

class NetfilterRules {
public:
    NetfilterRules(MarkLayout layout, QueueNumbers queues);

    // The iptables-restore --noflush input that installs `mode` for IPv4 (4) or IPv6 (6).
    std::string restoreScript(int ipVersion, RuleMode mode) const;

    // Installs `mode` for both families. Throws NetfilterError with the tool's message.
    void install(RuleMode mode) const;
    // Whether every chain, rule and jump of `mode` is in place in both families.
    bool isInstalled(RuleMode mode) const;
    // Removes every chain and jump of ours in both families. Throws NetfilterError when a
    // rule of ours stays behind.
    void remove() const;

    const MarkLayout& layout() const { return layout_; }
    const QueueNumbers& queues() const { return queues_; }

private:
    MarkLayout layout_;
    QueueNumbers queues_;
};

}  // namespace tolvane::netfilter
