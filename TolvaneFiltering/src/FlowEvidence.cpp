#include <array>
#include <cstdint>
#include <ostream>
#include <tolvane/FlowEvidence.hpp>
#include <tolvane/Hashing.hpp>
#include <tolvane/Unicode.hpp>

namespace tolvane {

namespace {

// Writes `text` lower-cased into `out`, in place for ASCII; other scripts need ICU's copy.
template <std::size_t Capacity>
void assignLowered(InlineText<Capacity>& out, std::string_view text) {
    if (!unicode::isASCII(text)) {
        out.assign(unicode::lowercased(text));
        return;
    }
    char* to = out.overwrite(text.size());
    for (char c : text) *to++ = unicode::asciiLower(c);
}

}  // namespace

FlowAddress::FlowAddress(std::string_view text) {
    assignLowered(literal_, text.substr(0, text.find('%')));
}

FlowAddress::FlowAddress(const platform::IPv4Address& address) {
    literal_.assign(address.text().view());
}

FlowAddress::FlowAddress(const platform::IPv6Address& address) {
    literal_.assign(address.textWithoutZone().view());
}

std::ostream& operator<<(std::ostream& os, const FlowAddress& address) {
    return os << address.literal();
}

FlowEvidence::FlowEvidence(std::optional<std::string_view> remoteHostname,
                           std::optional<FlowAddress> remoteAddress,
                           bool offersEncryptedClientHello)
    : hasName_(remoteHostname && !remoteHostname->empty()),
      offersEncryptedClientHello_(offersEncryptedClientHello),
      remoteAddress_(std::move(remoteAddress)) {
    if (hasName_) name_.assign(*remoteHostname);
}

FlowEvidence FlowEvidence::fromFlow(const platform::FilterFlow& flow) {
    // Order of trust for the name: URL host, reported remote host name, name-typed
    // endpoint. The first one present wins, even when it is empty. The name is read in place
    // from the flow and copied once, into the evidence.
    const std::string* name = nullptr;
    if (flow.url && flow.url->host()) name = &*flow.url->host();
    const auto* socket = dynamic_cast<const platform::FilterSocketFlow*>(&flow);
    if (socket == nullptr)
        return FlowEvidence(name ? std::optional<std::string_view>(*name) : std::nullopt,
                            std::nullopt);
    if (!name && socket->remoteHostname) name = &*socket->remoteHostname;

    std::optional<FlowAddress> address;
    if (socket->remoteFlowEndpoint) {
        if (const auto* hostPort = socket->remoteFlowEndpoint->asHostPort()) {
            const platform::EndpointHost& host = hostPort->host;
            if (const std::string* endpointName = host.asName()) {
                if (!name) name = endpointName;
            } else if (const auto* v4 = host.asIPv4()) {
                address.emplace(*v4);
            } else if (const auto* v6 = host.asIPv6()) {
                address.emplace(*v6);
            }
        }
    }
    return FlowEvidence(name ? std::optional<std::string_view>(*name) : std::nullopt,
                        std::move(address), socket->offersEncryptedClientHello);
}

}  // namespace tolvane

std::size_t std::hash<tolvane::FlowEvidence>::operator()(
    const tolvane::FlowEvidence& evidence) const noexcept {
    const auto name = evidence.remoteHostname();
    std::size_t h = name ? std::hash<std::string_view>{}(*name) : 0x2545F4914F6CDD1DULL;
    const std::size_t a = evidence.remoteAddress()
                              ? std::hash<tolvane::FlowAddress>{}(*evidence.remoteAddress())
                              : 0x9E3779B97F4A7C15ULL;
    return tolvane::hashCombine(tolvane::hashCombine(h, a),
                                evidence.offersEncryptedClientHello() ? 1 : 0);
}
