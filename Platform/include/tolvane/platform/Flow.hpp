// Flow.hpp: the stand-in for the content-filter framework's flow objects and the network
// framework's endpoints: just the facts the filter reads about a flow.
//
//   auto flow = std::make_shared<FilterSocketFlow>();
//   flow->remoteHostname = "shop.example.com";
//   flow->remoteFlowEndpoint = Endpoint::hostPort(EndpointHost::ipv4(*IPv4Address::make("192.0.2.7")), 443);
//
// Addresses print in the usual standard forms: dotted decimal, and RFC 5952 compressed
// hexadecimal for IPv6 followed by "%zone" when the address carries one.
//
//   text parsed                    description()
//   -----------------------------  -------------------
//   "192.0.2.7"                    "192.0.2.7"
//   "2001:DB8:0:0:0:0:0:A"         "2001:db8::a"
//   "2001:db8:0:1:1:1:1:1"         "2001:db8:0:1:1:1:1:1"   (a single zero group stays)
//   "FE80::1%en0"                  "fe80::1%en0"
//   "::ffff:c000:0207"             "::ffff:192.0.2.7"
//   "01.2.3.4", "1.2.3", "::1%"    nullopt
//
//   URL::make(text).host()
//   "https://user:pw@Shop.Example.com:443/x?y"  "Shop.Example.com"
//   "http://[fe80::1%25en0]:80/"                "fe80::1%en0"   (percent escapes decoded)
//   "http://sh%6Fp.example/"                    "shop.example"
//   "http://:80/"                               ""   (an empty host)
//   "mailto:a@b.example", "example.com"         nullopt
//   "http://a%zz.example/", "http://%FF/"       nullopt   (a bad escape, or not UTF-8)
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace tolvane::platform {

// An address's canonical text in a fixed buffer, so that reading it allocates nothing.
class AddressText {
public:
    // "ffff:" eight times less one colon is 39; six groups and a dotted tail is 45.
    static constexpr std::size_t capacity = 45;
    std::string_view view() const { return {data_, size_}; }

private:
    friend struct IPv4Address;
    friend struct IPv6Address;
    void put(char c) { data_[size_++] = c; }
    void decimal(unsigned value);
    void hex(unsigned value);
    void ipv4(const std::uint8_t* bytes);
    char data_[capacity];
    std::size_t size_ = 0;
};

struct IPv4Address {
    std::array<std::uint8_t, 4> bytes{};

    // Parses dotted decimal; nullopt for anything else.
    static std::optional<IPv4Address> make(std::string_view text);
    AddressText text() const;  // dotted decimal
    std::string description() const;
    bool operator==(const IPv4Address&) const = default;
};

struct IPv6Address {
    std::array<std::uint8_t, 16> bytes{};
    std::string zone;  // interface name after '%', empty when none

    // Parses any textual IPv6 form (with an optional "%zone"); nullopt for anything else.
    static std::optional<IPv6Address> make(std::string_view text);
    // The first longest run of two or more zero groups becomes "::"; an IPv4-mapped address
    // ends in dotted decimal. Without the zone, which description() appends after '%'.
    AddressText textWithoutZone() const;
    std::string description() const;
    bool operator==(const IPv6Address&) const = default;
};

// NWEndpoint.Host: a name, an IPv4 address, an IPv6 address, or some other kind.
class EndpointHost {
public:
    struct Other {
        bool operator==(const Other&) const = default;
    };
    static EndpointHost name(std::string name) { return EndpointHost(std::move(name)); }
    static EndpointHost ipv4(IPv4Address address) { return EndpointHost(address); }
    static EndpointHost ipv6(IPv6Address address) { return EndpointHost(std::move(address)); }
    static EndpointHost other() { return EndpointHost(Other{}); }

    const std::string* asName() const { return std::get_if<std::string>(&value_); }
    const IPv4Address* asIPv4() const { return std::get_if<IPv4Address>(&value_); }
    const IPv6Address* asIPv6() const { return std::get_if<IPv6Address>(&value_); }
    bool operator==(const EndpointHost&) const = default;

private:
    using Value = std::variant<std::string, IPv4Address, IPv6Address, Other>;
    explicit EndpointHost(Value value) : value_(std::move(value)) {}
    Value value_;
};

// NWEndpoint: host-and-port, or some other kind (a service, a Unix path, a URL).
class Endpoint {
public:
    struct HostPort {
        EndpointHost host;
        std::uint16_t port = 0;
        bool operator==(const HostPort&) const = default;
    };
    struct Other {
        bool operator==(const Other&) const = default;
    };
    static Endpoint hostPort(EndpointHost host, std::uint16_t port) {
        return Endpoint(HostPort{std::move(host), port});
    }
    static Endpoint other() { return Endpoint(Other{}); }

    const HostPort* asHostPort() const { return std::get_if<HostPort>(&value_); }
    bool operator==(const Endpoint&) const = default;

private:
    using Value = std::variant<HostPort, Other>;
    explicit Endpoint(Value value) : value_(std::move(value)) {}
    Value value_;
};

// A URL as the platform reports it for a flow, with its host part as URL parsers read it
// (absent when the URL has none; possibly empty).
class URL {
public:
    // Keeps `text` and reads its host: "scheme://[user[:pass]@]host[:port][/path]"; an
    // IPv6 host keeps its brackets off ("http://[::1]/" has host "::1"), and percent escapes
    // are decoded (none when one is malformed or the bytes are not UTF-8).
    static URL make(std::string text);
    const std::string& absoluteString() const { return text_; }
    const std::optional<std::string>& host() const { return host_; }
    // Only the scheme and the host as written ("https://Shop.Example.com" for the example
    // above, "http://[fe80::1%25en0]"), which is all a filter reads; the empty URL when
    // there is no host.
    URL schemeAndHost() const;
    bool operator==(const URL&) const = default;

private:
    std::string text_;
    std::optional<std::string> host_;
    std::size_t schemeLength_ = 0;
    std::size_t hostOffset_ = 0;  // the host as written: [hostOffset_, + hostLength_)
    std::size_t hostLength_ = 0;
};

// NEFilterFlow: any flow the platform hands to the filter.
class FilterFlow {
public:
    virtual ~FilterFlow() = default;
    std::optional<URL> url;
    std::uint64_t identifier = 0;  // the platform's flow identifier
};

// NEFilterSocketFlow: a flow the platform knows as a socket.
class FilterSocketFlow : public FilterFlow {
public:
    std::optional<std::string> remoteHostname;
    std::optional<Endpoint> remoteFlowEndpoint;
    // Set by a platform that reads the flow's TLS ClientHello when it offers Encrypted Client
    // Hello: remoteHostname is then only the visible name, possibly a relay's public name
    // rather than the site's.
    bool offersEncryptedClientHello = false;
};

}  // namespace tolvane::platform
