// FlowProtocol.hpp: the line protocol through which tolvane-filter is fed platform events.
// One JSON object per input line is one event; one JSON object per output line is the
// verdict for it. Blank lines and lines starting with '#' are skipped.
//
//   input                                                             output
//   ----------------------------------------------------------------  -----------------------------------
//   {"event":"newFlow","flow":1,"remoteHostname":"mail.example.com",  {"flow":1,"event":"newFlow",
//    "remoteEndpoint":{"ipv4":"192.0.2.7","port":443}}                 "verdict":"drop"}
//   {"event":"newFlow","flow":2,"at":1000}                            {"flow":2,"event":"newFlow",
//                                                                      "verdict":"filterData",
//                                                                      "filterInbound":false,"peekInboundBytes":0,
//                                                                      "filterOutbound":true,"peekOutboundBytes":4096}
//   {"event":"outboundData","flow":2,"offset":0,"length":1000}        {"flow":2,"event":"outboundData",
//                                                                      "verdict":"data","passBytes":1000,"peekBytes":4096}
//   {"event":"outboundComplete","flow":2}                             {"flow":2,"event":"outboundComplete","verdict":"allow"}
//
// Events: newFlow, outboundData, inboundData (both with "offset" and "length", in bytes),
// outboundComplete, inboundComplete. Every event names its "flow" (a whole number). A newFlow
// carries the facts the filter reads: "url" (text), "socket" (true unless false),
// "remoteHostname" (text) and "remoteEndpoint", an object with one of "name", "ipv4", "ipv6"
// (text; an IPv6 address may end in "%zone"), "otherHost" or "other" (any value), and an
// optional "port". A data or complete event may carry "url", "remoteHostname" or
// "remoteEndpoint" too: what the platform has learnt about the flow since (a held flow's
// name often shows up only later). Any event may carry "at": the instant (seconds since
// 2001-01-01T00:00:00Z) that the filter's clock reads from then on.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <tolvane/Instant.hpp>
#include <tolvane/platform/FilterVerdict.hpp>
#include <tolvane/platform/Flow.hpp>

namespace tolvane::host {

// A line that is not an event; what() says what is wrong with it.
class ProtocolError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum class EventKind { newFlow, outboundData, inboundData, outboundComplete, inboundComplete };
std::string_view rawValue(EventKind kind);

// Facts about a flow as an event reports them; absent ones are not reported.
struct FlowFacts {
    bool socket = true;
    std::optional<std::string> url;
    std::optional<std::string> remoteHostname;
    std::optional<platform::Endpoint> remoteEndpoint;

    bool empty() const { return !url && !remoteHostname && !remoteEndpoint; }
    // A new flow object with these facts. REQUIRES: a non-socket flow has no name or endpoint.
    std::shared_ptr<platform::FilterFlow> makeFlow(std::uint64_t identifier) const;
    // Adds what these facts report to `flow` (names and endpoints to socket flows only).
    void applyTo(platform::FilterFlow& flow) const;
};

struct FlowEvent {
    EventKind kind = EventKind::newFlow;
    std::uint64_t flow = 0;
    std::optional<Instant> at;
    FlowFacts facts;
    // outboundData, inboundData.
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
};

// Throws ProtocolError. REQUIRES: `line` is not blank and is no comment (see isSkipped).
FlowEvent parseFlowEvent(std::string_view line);
bool isSkipped(std::string_view line);

std::string formatVerdict(const FlowEvent& event, const platform::NewFlowVerdict& verdict);
std::string formatVerdict(const FlowEvent& event, const platform::DataVerdict& verdict);

// The host's clock: the wall clock until an event sets an instant, that instant afterwards.
// Read from any thread.
class HostClock {
public:
    explicit HostClock(std::optional<Instant> start = std::nullopt);
    Instant now() const;
    void set(Instant instant);

private:
    std::atomic<bool> isVirtual_{false};
    std::atomic<double> virtualNow_{0};
};

}  // namespace tolvane::host
