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

// The platform's address texts (IPv4Address::description(), and IPv6Address::description()
// without the zone), written in place rather than into a new string; a test holds them
// together with the platform's.
class AddressWriter {
public:
    std::string_view text() const { return {out_, size_}; }

    void ipv4(const std::uint8_t* bytes) {
        for (int i = 0; i < 4; ++i) {
            if (i > 0) put('.');
            decimal(bytes[i]);
        }
    }

    // The first longest run of two or more zero groups becomes "::"; an IPv4-mapped address
    // ends in dotted decimal.
    void ipv6(const std::array<std::uint8_t, 16>& bytes) {
        std::uint16_t groups[8];
        for (int i = 0; i < 8; ++i)
            groups[i] = static_cast<std::uint16_t>(bytes[2 * i] << 8 | bytes[2 * i + 1]);
        if (groups[0] == 0 && groups[1] == 0 && groups[2] == 0 && groups[3] == 0 &&
            groups[4] == 0 && groups[5] == 0xffff) {
            for (char c : std::string_view("::ffff:")) put(c);
            ipv4(&bytes[12]);
            return;
        }
        int bestStart = -1, bestLength = 0;
        for (int i = 0; i < 8;) {
            if (groups[i] != 0) {
                ++i;
                continue;
            }
            int j = i;
            while (j < 8 && groups[j] == 0) ++j;
            if (j - i > bestLength && j - i >= 2) {
                bestStart = i;
                bestLength = j - i;
            }
            i = j;
        }
        for (int i = 0; i < 8; ++i) {
            if (i == bestStart) {
                put(':');
                put(':');
                i += bestLength - 1;
                continue;
            }
            if (size_ > 0 && out_[size_ - 1] != ':') put(':');
            hex(groups[i]);
        }
    }

private:
    void put(char c) { out_[size_++] = c; }
    void decimal(unsigned value) {
        if (value >= 100) put(static_cast<char>('0' + value / 100));
        if (value >= 10) put(static_cast<char>('0' + value / 10 % 10));
        put(static_cast<char>('0' + value % 10));
    }
    void hex(unsigned value) {
        for (int shift = 12; shift >= 0; shift -= 4) {
            if (shift > 0 && (value >> shift) == 0) continue;  // no leading zeros
            put("0123456789abcdef"[(value >> shift) & 0xF]);
        }
    }

    // Longer than any text written: "ffff:" eight times less one colon is 39 characters.
    char out_[FlowAddress::inlineCapacity];
    std::size_t size_ = 0;
};

}  // namespace

FlowAddress::FlowAddress(std::string_view text) {
    assignLowered(literal_, text.substr(0, text.find('%')));
}

FlowAddress::FlowAddress(const platform::IPv4Address& address) {
    AddressWriter writer;
    writer.ipv4(address.bytes.data());
    literal_.assign(writer.text());
}

FlowAddress::FlowAddress(const platform::IPv6Address& address) {
    AddressWriter writer;
    writer.ipv6(address.bytes);
    literal_.assign(writer.text());
}

std::ostream& operator<<(std::ostream& os, const FlowAddress& address) {
    return os << address.literal();
}

FlowEvidence::FlowEvidence(std::optional<std::string_view> remoteHostname,
                           std::optional<FlowAddress> remoteAddress)
    : hasName_(remoteHostname && !remoteHostname->empty()),
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
                        std::move(address));
}

}  // namespace tolvane

std::size_t std::hash<tolvane::FlowEvidence>::operator()(
    const tolvane::FlowEvidence& evidence) const noexcept {
    const auto name = evidence.remoteHostname();
    std::size_t h = name ? std::hash<std::string_view>{}(*name) : 0x2545F4914F6CDD1DULL;
    const std::size_t a = evidence.remoteAddress()
                              ? std::hash<tolvane::FlowAddress>{}(*evidence.remoteAddress())
                              : 0x9E3779B97F4A7C15ULL;
    return tolvane::hashCombine(h, a);
}
