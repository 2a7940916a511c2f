// NetfilterRuntime.hpp: the Linux platform for real. It plays the operating system's part for
// a filter provider: it builds flows from packets that netfilter queues hand it, asks the
// provider about each, and applies the verdicts to the machine's own traffic; DNS answers
// teach the provider which names each address belongs to.
//
//   packets of a flow                       what the provider sees
//   --------------------------------------  ----------------------------------------------
//   TCP SYN, handshake ACK                  nothing yet (the SYN is not even queued)
//   first outbound bytes, until a whole     one new flow: remoteHostname = the server name or
//     ClientHello, a whole HTTP request       Host read from them (none when unreadable),
//     head, or 4096 bytes                     remoteFlowEndpoint = destination address, port
//   later bytes of a held flow              outbound data, by sequence number, up to 4096
//   first UDP datagrams to port 443         one new flow named by the QUIC Initial's
//                                             ClientHello; without a readable name the flow
//                                             is refused (its bytes cannot be inspected)
//   a DNS answer                            recordResolution(question name, each address)
//
//   verdict      applied as
//   -----------  ---------------------------------------------------------------------------
//   allow        accepted and marked: later packets stay in the kernel
//   drop         the local socket is destroyed (its owner is aborted, the server reset) and
//                the packet refused; a datagram is refused (ICMP port unreachable)
//   filterData   accepted and marked held: outbound packets keep coming here and are counted
//
// Memory is bounded whatever the traffic: a table of at most `maximumFlows` flows (16,384 by
// default, about 5.7 MiB), 1,024 buffers of 4 KiB for flows reading their first bytes and 128
// QUIC readers (about 0.6 MiB), all made at start: about 10.3 MiB. Flows are forgotten when
// the kernel ends their connection, a reading flow after 30 s without a packet, a held one
// after 120 s; when the table is full the allowed flow idle the longest gives way, and with
// none to give way a new flow is refused (an overloaded filter fails closed).
//
// Everything runs on the thread that calls run(), except rule installation and checking,
// which run on a thread of their own so that spawning iptables never stalls packets.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>
#include <tolvane/netfilter/MarkLayout.hpp>
#include <tolvane/netfilter/NetfilterRules.hpp>
#include <tolvane/platform/FilterProvider.hpp>
#include <tolvane/platform/Flow.hpp>

namespace tolvane::netfilter {

// What the runtime needs from the host beyond the provider's flow callbacks.
struct ProviderHooks {
    std::function<bool()> isEnforcing;
    std::function<std::int64_t()> enforcedGeneration;
    std::function<void(std::string_view name, const platform::EndpointHost& address)>
        recordResolution;
    // Whether a flow already allowed must now be cut (the scope grew to reach it).
    std::function<bool(const platform::FilterSocketFlow& flow)> shouldCutLiveFlow;
};

struct RuntimeCounters {
    std::uint64_t packetsQueued = 0;  // flow packets handed to us
    std::uint64_t dnsAnswersRead = 0;
    std::uint64_t flowsReported = 0;  // new flows the provider was asked about
    std::uint64_t flowsCut = 0;       // dropped flows and live flows cut after growth
    std::uint64_t flowsRefused = 0;   // refused without asking (unreadable QUIC, full table)
};

class NetfilterRuntime {
public:
    struct Options {
        MarkLayout layout = *MarkLayout::make(MarkLayout::defaultMask);
        QueueNumbers queues;
        std::size_t maximumFlows = 16384;
        // How often the installed rules are checked (and restored when missing).
        std::chrono::milliseconds ruleCheckInterval{5000};
        // Called from the packet thread at least ten times a second while it runs: a
        // service manager's watchdog learns from it that packets are still being decided.
        std::function<void()> heartbeat;
    };

    NetfilterRuntime(std::shared_ptr<platform::FilterDataProviderBase> provider,
                     ProviderHooks hooks, Options options);
    ~NetfilterRuntime();
    NetfilterRuntime(const NetfilterRuntime&) = delete;
    NetfilterRuntime& operator=(const NetfilterRuntime&) = delete;

    // Starts the provider (which reads the directive), binds the queues and installs the
    // rules the directive calls for. Throws NetfilterError, or std::runtime_error when the
    // provider does not start.
    void start();
    // Handles packets until requestStop(). Throws NetfilterError when a queue fails.
    void run();
    // Any thread, any time (a signal watch).
    void requestStop();
    // Stops the provider. Rules stay in place while something is enforced, so that the
    // machine stays closed until a restart; otherwise they are removed.
    void stop();

    RuntimeCounters counters() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace tolvane::netfilter
