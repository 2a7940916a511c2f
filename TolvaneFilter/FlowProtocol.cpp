#include "FlowProtocol.hpp"

#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>

#include "FilterDataProvider.hpp"

namespace tolvane::host {

using nlohmann::json;

namespace {
const json* member(const json& object, const char* key) {
    auto it = object.find(key);
    return it == object.end() || it->is_null() ? nullptr : &*it;
}

std::string text(const json& object, const char* key) {
    const json* value = member(object, key);
    if (!value || !value->is_string())
        throw ProtocolError(std::string("\"") + key + "\" must be text");
    return value->get<std::string>();
}

std::uint64_t whole(const json& object, const char* key, bool required = true) {
    const json* value = member(object, key);
    if (!value) {
        if (required) throw ProtocolError(std::string("missing \"") + key + "\"");
        return 0;
    }
    if (value->is_number_unsigned()) return value->get<std::uint64_t>();
    if (value->is_number_integer() && value->get<std::int64_t>() >= 0)
        return value->get<std::uint64_t>();
    throw ProtocolError(std::string("\"") + key + "\" must be a whole number of at least 0");
}

platform::Endpoint endpoint(const json& object) {
    if (!object.is_object()) throw ProtocolError("\"remoteEndpoint\" must be an object");
    std::uint16_t port = 0;
    if (member(object, "port")) {
        const std::uint64_t p = whole(object, "port");
        if (p > 65535) throw ProtocolError("\"port\" must be at most 65535");
        port = static_cast<std::uint16_t>(p);
    }
    int kinds = 0;
    for (const char* key : {"name", "ipv4", "ipv6", "otherHost", "other"})
        kinds += object.contains(key);
    if (kinds != 1) {
        throw ProtocolError(
            "\"remoteEndpoint\" needs exactly one of name, ipv4, ipv6, otherHost, other");
    }
    using platform::Endpoint;
    using platform::EndpointHost;
    if (object.contains("other")) return Endpoint::other();
    if (object.contains("otherHost")) return Endpoint::hostPort(EndpointHost::other(), port);
    if (object.contains("name"))
        return Endpoint::hostPort(EndpointHost::name(text(object, "name")), port);
    if (object.contains("ipv4")) {
        auto address = platform::IPv4Address::make(text(object, "ipv4"));
        if (!address) throw ProtocolError("\"ipv4\" is not an IPv4 address");
        return Endpoint::hostPort(EndpointHost::ipv4(*address), port);
    }
    auto address = platform::IPv6Address::make(text(object, "ipv6"));
    if (!address) throw ProtocolError("\"ipv6\" is not an IPv6 address");
    return Endpoint::hostPort(EndpointHost::ipv6(*address), port);
}

FlowFacts facts(const json& object, bool isNewFlow) {
    FlowFacts out;
    if (const json* socket = member(object, "socket")) {
        if (!isNewFlow) throw ProtocolError("\"socket\" belongs to newFlow events");
        if (!socket->is_boolean()) throw ProtocolError("\"socket\" must be true or false");
        out.socket = socket->get<bool>();
    }
    if (member(object, "url")) out.url = text(object, "url");
    if (member(object, "remoteHostname")) out.remoteHostname = text(object, "remoteHostname");
    if (const json* e = member(object, "remoteEndpoint")) out.remoteEndpoint = endpoint(*e);
    if (!out.socket && (out.remoteHostname || out.remoteEndpoint)) {
        throw ProtocolError("only socket flows have a remote host name or endpoint");
    }
    return out;
}

nlohmann::ordered_json head(const FlowEvent& event) {
    nlohmann::ordered_json out = nlohmann::ordered_json::object();
    out["flow"] = event.flow;
    out["event"] = std::string(rawValue(event.kind));
    return out;
}
}  // namespace

std::string_view rawValue(EventKind kind) {
    switch (kind) {
        case EventKind::newFlow:
            return "newFlow";
        case EventKind::outboundData:
            return "outboundData";
        case EventKind::inboundData:
            return "inboundData";
        case EventKind::outboundComplete:
            return "outboundComplete";
        case EventKind::inboundComplete:
            return "inboundComplete";
    }
    return "newFlow";
}

bool isSkipped(std::string_view line) {
    const auto first = line.find_first_not_of(" \t\r");
    return first == std::string_view::npos || line[first] == '#';
}

FlowEvent parseFlowEvent(std::string_view line) {
    json object;
    try {
        object = json::parse(line);
    } catch (const json::exception& error) {
        throw ProtocolError(std::string("not JSON: ") + error.what());
    }
    if (!object.is_object()) throw ProtocolError("an event is a JSON object");
    FlowEvent event;
    const std::string kind = text(object, "event");
    bool known = false;
    for (EventKind k : {EventKind::newFlow, EventKind::outboundData, EventKind::inboundData,
                        EventKind::outboundComplete, EventKind::inboundComplete}) {
        if (rawValue(k) == kind) {
            event.kind = k;
            known = true;
        }
    }
    if (!known) throw ProtocolError("unknown event \"" + kind + "\"");
    event.flow = whole(object, "flow");
    if (const json* at = member(object, "at")) {
        if (!at->is_number() || !std::isfinite(at->get<double>())) {
            throw ProtocolError("\"at\" must be a finite number of seconds");
        }
        event.at = at->get<double>();
    }
    event.facts = facts(object, event.kind == EventKind::newFlow);
    switch (event.kind) {
        case EventKind::outboundData:
        case EventKind::inboundData:
            event.offset = whole(object, "offset");
            event.length = whole(object, "length");
            if (event.length > std::numeric_limits<std::uint64_t>::max() - event.offset ||
                event.offset + event.length >
                    static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
                throw ProtocolError("\"offset\" plus \"length\" is too large");
            }
            break;
        default:
            break;
    }
    return event;
}

std::string formatVerdict(const FlowEvent& event, const platform::NewFlowVerdict& verdict) {
    nlohmann::ordered_json out = head(event);
    out["verdict"] = std::string(platform::caseName(verdict.kind()));
    if (verdict.kind() == platform::NewFlowVerdict::Kind::filterData) {
        out["filterInbound"] = verdict.filterInbound();
        out["peekInboundBytes"] = verdict.peekInboundBytes();
        out["filterOutbound"] = verdict.filterOutbound();
        out["peekOutboundBytes"] = verdict.peekOutboundBytes();
    }
    return out.dump();
}

std::string formatVerdict(const FlowEvent& event, const platform::DataVerdict& verdict) {
    nlohmann::ordered_json out = head(event);
    out["verdict"] = std::string(platform::caseName(verdict.kind()));
    if (verdict.kind() == platform::DataVerdict::Kind::data) {
        out["passBytes"] = verdict.passBytes();
        out["peekBytes"] = verdict.peekBytes();
    }
    return out.dump();
}

std::shared_ptr<platform::FilterFlow> FlowFacts::makeFlow(std::uint64_t identifier) const {
    std::shared_ptr<platform::FilterFlow> flow;
    if (socket) {
        flow = std::make_shared<platform::FilterSocketFlow>();
    } else {
        flow = std::make_shared<platform::FilterFlow>();
    }
    flow->identifier = identifier;
    applyTo(*flow);
    return flow;
}

void FlowFacts::applyTo(platform::FilterFlow& flow) const {
    if (url) flow.url = platform::URL::make(*url);
    if (auto* socketFlow = dynamic_cast<platform::FilterSocketFlow*>(&flow)) {
        if (remoteHostname) socketFlow->remoteHostname = remoteHostname;
        if (remoteEndpoint) socketFlow->remoteFlowEndpoint = remoteEndpoint;
    }
}

HostClock::HostClock(std::optional<Instant> start) {
    if (start) set(*start);
}

Instant HostClock::now() const {
    if (isVirtual_.load(std::memory_order_acquire))
        return virtualNow_.load(std::memory_order_relaxed);
    return FilterDataProvider::wallClock();
}

void HostClock::set(Instant instant) {
    virtualNow_.store(instant, std::memory_order_relaxed);
    isVirtual_.store(true, std::memory_order_release);
}

}  // namespace tolvane::host
