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
// optional "port", and "encryptedClientHello" (false unless true: the flow's ClientHello
// offers Encrypted Client Hello, so its name is only the visible one). A data or complete
// event may carry "url", "remoteHostname" or "remoteEndpoint" too: what the platform has
// learnt about the flow since (a held flow's name often shows up only later). Any event may
// carry "at": the instant (seconds since 2001-01-01T00:00:00Z) that the filter's clock reads
// from then on.
//
// Bad lines are reported with their line number and skipped: not an event, longer than
// maximumLineBytes (the rest of it is skipped without being kept), holding a NUL byte, nested
// deeper than the directive decoder allows, data for a flow that is not held, or a newFlow
// whose "flow" names a flow still held for inspection (a flow identifier is unique among
// live flows; the held flow carries on as it was) or that comes while the runtime holds as
// many flows as it may. A data "length" is only counted, however large. The reader keeps only what the filter can use, so no line
// makes the filter remember much: a "remoteHostname", endpoint "name" or url host longer
// than a DNS name can be (253 bytes, one more for a final dot) is no host name and is
// dropped (a url with it, an endpoint's host then counts as some other kind); a url is kept
// as its scheme and host only, the rest of it is never read.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <tolvane/Instant.hpp>
#include <tolvane/platform/FilterVerdict.hpp>
#include <tolvane/platform/Flow.hpp>
#include <tolvane/platform/SystemExtension.hpp>

namespace tolvane::host {

// The longest event line read, without its line break.
inline constexpr std::size_t maximumLineBytes = 64 * 1024;
// The longest host name taken from an event, without a final dot.
inline constexpr std::size_t maximumHostNameBytes = 253;

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
    bool encryptedClientHello = false;  // newFlow only

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
// Blank lines and comments; never a line with a NUL byte, which is a bad line.
bool isSkipped(std::string_view line);

// Cuts a byte stream into lines, whatever the sizes of the pieces it arrives in. Each line
// is handed over once, without its line break; one longer than maximumLineBytes is handed
// over as soon as it is too long, marked too long, and the rest of it is skipped without
// being kept. Each byte is looked at once, and at most maximumLineBytes are kept.
class LineReader {
public:
    // Called once per line: its text (empty when too long) and whether it was too long.
    using Sink = std::function<void(std::string_view line, bool tooLong)>;

    void feed(std::string_view bytes, const Sink& sink);
    // End of input: a last line without a line break is handed over.
    void finish(const Sink& sink);
    std::size_t bufferedBytes() const { return pending_.size(); }

private:
    std::string pending_;
    bool skipping_ = false;  // inside a line already reported too long
};

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

// Runs one line against the runtime as the platform would: the verdict line to write
// (without a line break), nothing for a skipped line. Throws ProtocolError for a bad line.
class EventFeeder {
public:
    EventFeeder(platform::SystemExtensionRuntime& runtime, HostClock& clock)
        : runtime_(runtime), clock_(clock) {}
    std::optional<std::string> feed(std::string_view line);

private:
    platform::SystemExtensionRuntime& runtime_;
    HostClock& clock_;
};

}  // namespace tolvane::host
