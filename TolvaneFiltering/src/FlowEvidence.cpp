#include <ostream>
#include <tolvane/FlowEvidence.hpp>
#include <tolvane/Hashing.hpp>
#include <tolvane/Unicode.hpp>

namespace tolvane {

namespace {
std::string lowerCopy(std::string_view text) {
    if (unicode::isASCII(text)) {
        std::string lower(text);
        for (char& c : lower) c = unicode::asciiLower(c);
        return lower;
    }
    return unicode::lowercased(text);
}
}  // namespace

FlowAddress::FlowAddress(std::string_view text)
    : literal_(lowerCopy(text.substr(0, text.find('%')))) {}

std::ostream& operator<<(std::ostream& os, const FlowAddress& address) {
    return os << address.literal();
}

FlowEvidence::FlowEvidence(std::optional<std::string> remoteHostname,
                           std::optional<FlowAddress> remoteAddress)
    : remoteHostname_(std::move(remoteHostname)), remoteAddress_(std::move(remoteAddress)) {
    if (remoteHostname_ && remoteHostname_->empty()) remoteHostname_.reset();
}

FlowEvidence FlowEvidence::fromFlow(const platform::FilterFlow& flow) {
    // Order of trust for the name: URL host, reported remote host name, name-typed
    // endpoint. The first one present wins, even when it is empty.
    std::optional<std::string> name;
    if (flow.url) name = flow.url->host();
    const auto* socket = dynamic_cast<const platform::FilterSocketFlow*>(&flow);
    if (socket == nullptr) return FlowEvidence(std::move(name), std::nullopt);
    if (!name) name = socket->remoteHostname;

    std::optional<FlowAddress> address;
    if (socket->remoteFlowEndpoint) {
        if (const auto* hostPort = socket->remoteFlowEndpoint->asHostPort()) {
            const platform::EndpointHost& host = hostPort->host;
            if (const std::string* endpointName = host.asName()) {
                if (!name) name = *endpointName;
            } else if (const auto* v4 = host.asIPv4()) {
                address = FlowAddress(v4->description());
            } else if (const auto* v6 = host.asIPv6()) {
                address = FlowAddress(v6->description());
            }
        }
    }
    return FlowEvidence(std::move(name), std::move(address));
}

}  // namespace tolvane

std::size_t std::hash<tolvane::FlowEvidence>::operator()(
    const tolvane::FlowEvidence& evidence) const noexcept {
    std::size_t h = evidence.remoteHostname() ? std::hash<std::string>{}(*evidence.remoteHostname())
                                              : 0x2545F4914F6CDD1DULL;
    const std::size_t a = evidence.remoteAddress()
                              ? std::hash<tolvane::FlowAddress>{}(*evidence.remoteAddress())
                              : 0x9E3779B97F4A7C15ULL;
    return tolvane::hashCombine(h, a);
}
