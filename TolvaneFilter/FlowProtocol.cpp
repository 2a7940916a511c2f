#include "FlowProtocol.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <nlohmann/json.hpp>
#include <tolvane/JSONCoding.hpp>

#include "FilterDataProvider.hpp"

namespace tolvane::host {

using nlohmann::json;

namespace {
// An interface name, the longest zone Linux gives an IPv6 address.
constexpr std::size_t maximumZoneBytes = 15;
// A url kept as scheme and host is longer only through a scheme no one uses.
constexpr std::size_t maximumKeptURLBytes = 1024;

// Input quoted back in an error, cut short: a report must not grow with the line.
std::string quotedShort(std::string_view text) {
    constexpr std::size_t shown = 64;
    if (text.size() <= shown) return "\"" + std::string(text) + "\"";
    return "\"" + std::string(text.substr(0, shown)) + "\"...";
}

bool isHostNameLength(std::string_view name) {
    if (!name.empty() && name.back() == '.') name.remove_suffix(1);
    return name.size() <= maximumHostNameBytes;
}

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
    if (object.contains("name")) {
        std::string name = text(object, "name");
        if (!isHostNameLength(name)) return Endpoint::hostPort(EndpointHost::other(), port);
        return Endpoint::hostPort(EndpointHost::name(std::move(name)), port);
    }
    if (object.contains("ipv4")) {
        auto address = platform::IPv4Address::make(text(object, "ipv4"));
        if (!address) throw ProtocolError("\"ipv4\" is not an IPv4 address");
        return Endpoint::hostPort(EndpointHost::ipv4(*address), port);
    }
    auto address = platform::IPv6Address::make(text(object, "ipv6"));
    if (!address || address->zone.size() > maximumZoneBytes)
        throw ProtocolError("\"ipv6\" is not an IPv6 address");
    return Endpoint::hostPort(EndpointHost::ipv6(*address), port);
}

FlowFacts facts(const json& object, bool isNewFlow) {
    FlowFacts out;
    if (const json* socket = member(object, "socket")) {
        if (!isNewFlow) throw ProtocolError("\"socket\" belongs to newFlow events");
        if (!socket->is_boolean()) throw ProtocolError("\"socket\" must be true or false");
        out.socket = socket->get<bool>();
    }
    if (const json* ech = member(object, "encryptedClientHello")) {
        if (!isNewFlow) throw ProtocolError("\"encryptedClientHello\" belongs to newFlow events");
        if (!ech->is_boolean())
            throw ProtocolError("\"encryptedClientHello\" must be true or false");
        out.encryptedClientHello = ech->get<bool>();
    }
    if (member(object, "url")) {
        const platform::URL url = platform::URL::make(text(object, "url")).schemeAndHost();
        if (url.absoluteString().size() <= maximumKeptURLBytes &&
            (!url.host() || isHostNameLength(*url.host()))) {
            out.url = url.absoluteString();
        }
    }
    if (member(object, "remoteHostname")) {
        std::string name = text(object, "remoteHostname");
        if (isHostNameLength(name)) out.remoteHostname = std::move(name);
    }
    if (const json* e = member(object, "remoteEndpoint")) out.remoteEndpoint = endpoint(*e);
    if (!out.socket && (out.remoteHostname || out.remoteEndpoint)) {
        throw ProtocolError("only socket flows have a remote host name or endpoint");
    }
    if (!out.socket && out.encryptedClientHello) {
        throw ProtocolError("only socket flows have a ClientHello");
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
    if (line.find('\0') != std::string_view::npos) return false;
    const auto first = line.find_first_not_of(" \t\r");
    return first == std::string_view::npos || line[first] == '#';
}

FlowEvent parseFlowEvent(std::string_view line) {
    if (line.size() > maximumLineBytes) throw ProtocolError("the line is too long");
    // The JSON parser would stop at a NUL and take what came before it for the whole line.
    if (line.find('\0') != std::string_view::npos) throw ProtocolError("a NUL byte in the line");
    json object;
    try {
        // With the directive decoder's depth limit: a line of brackets builds nothing.
        object = coding::parseDocument(line);
    } catch (const DecodingError& error) {
        throw ProtocolError("not JSON: " + error.debugDescription());
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
    if (!known) throw ProtocolError("unknown event " + quotedShort(kind));
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
        if (encryptedClientHello) socketFlow->offersEncryptedClientHello = true;
    }
}

void LineReader::feed(std::string_view bytes, const Sink& sink) {
    while (!bytes.empty()) {
        const std::size_t end = bytes.find('\n');
        const std::string_view piece = bytes.substr(0, end);
        if (!skipping_) {
            if (pending_.size() + piece.size() > maximumLineBytes) {
                pending_.clear();
                pending_.shrink_to_fit();
                skipping_ = true;
                sink({}, true);
            } else if (end != std::string_view::npos && pending_.empty()) {
                sink(piece, false);  // the common case: a whole line within one piece
            } else {
                pending_.append(piece);
                if (end != std::string_view::npos) {
                    sink(pending_, false);
                    pending_.clear();
                }
            }
        }
        if (end == std::string_view::npos) return;
        skipping_ = false;
        bytes.remove_prefix(end + 1);
    }
}

void LineReader::finish(const Sink& sink) {
    if (!skipping_ && !pending_.empty()) sink(pending_, false);
    pending_.clear();
    skipping_ = false;
}

std::optional<std::string> EventFeeder::feed(std::string_view line) {
    if (isSkipped(line)) return std::nullopt;
    const FlowEvent event = parseFlowEvent(line);
    if (event.at) clock_.set(*event.at);
    if (event.kind == EventKind::newFlow) {
        try {
            return formatVerdict(event, runtime_.handleNewFlow(event.facts.makeFlow(event.flow)));
        } catch (const platform::FlowRefusedError& error) {
            throw ProtocolError(error.what());
        }
    }
    const auto notHeld = [&] {
        return ProtocolError("flow " + std::to_string(event.flow) + " is not held for inspection");
    };
    // The platform may have learnt more about a held flow since it began.
    if (!event.facts.empty() &&
        !runtime_.learnAboutHeldFlow(
            event.flow, [&](platform::FilterFlow& flow) { event.facts.applyTo(flow); })) {
        throw notHeld();
    }
    std::optional<platform::DataVerdict> verdict;
    switch (event.kind) {
        case EventKind::outboundData:
            verdict = runtime_.handleOutboundData(event.flow, event.offset, event.length);
            break;
        case EventKind::inboundData:
            verdict = runtime_.handleInboundData(event.flow, event.offset, event.length);
            break;
        case EventKind::outboundComplete:
            verdict = runtime_.handleOutboundDataComplete(event.flow);
            break;
        default:
            verdict = runtime_.handleInboundDataComplete(event.flow);
            break;
    }
    if (!verdict) throw notHeld();
    return formatVerdict(event, *verdict);
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
