#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <tolvane/FlowEvidence.hpp>

using namespace tolvane;
using namespace tolvane::platform;

namespace {
std::string printedIPv6(std::string_view text) {
    auto address = IPv6Address::make(text);
    return address ? address->description() : "<invalid>";
}

Endpoint ipv4Endpoint(const char* text) {
    return Endpoint::hostPort(EndpointHost::ipv4(*IPv4Address::make(text)), 443);
}

Endpoint nameEndpoint(const char* name) {
    return Endpoint::hostPort(EndpointHost::name(name), 443);
}
}  // namespace

TEST(PlatformAddressTests, IPv4ParsesDottedDecimalOnly) {
    EXPECT_EQ(IPv4Address::make("192.0.2.7")->description(), "192.0.2.7");
    for (const char* bad : {"", "1.2.3", "1.2.3.4.5", "256.1.1.1", "01.2.3.4", "1.2.3.4 ",
                            "a.b.c.d", "1.2.3.4/8", "1111111111111111.2.3.4"}) {
        EXPECT_FALSE(IPv4Address::make(bad)) << bad;
    }
}

// The one formatter of address text: an endpoint's address reaches the evidence through it too.
TEST(PlatformAddressTests, IPv6PrintsTheRecommendedForm) {
    EXPECT_EQ(printedIPv6("2001:DB8:0:0:0:0:0:A"), "2001:db8::a");
    EXPECT_EQ(printedIPv6("2001:db8:0:1:1:1:1:1"), "2001:db8:0:1:1:1:1:1");
    EXPECT_EQ(printedIPv6("2001:0:0:1:0:0:0:1"), "2001:0:0:1::1");        // the longer run
    EXPECT_EQ(printedIPv6("2001:db8:0:0:1:0:0:1"), "2001:db8::1:0:0:1");  // first of equal runs
    EXPECT_EQ(printedIPv6("::"), "::");
    EXPECT_EQ(printedIPv6("1::"), "1::");
    EXPECT_EQ(printedIPv6("::ffff:c000:0207"), "::ffff:192.0.2.7");
    EXPECT_EQ(printedIPv6("FE80::1%en0"), "fe80::1%en0");
    for (const char* bad : {"", "::1%", "1:2:3:4:5:6:7:8:9", "::g", "1::2::3", "192.0.2.7"}) {
        EXPECT_FALSE(IPv6Address::make(bad)) << bad;
    }
}

TEST(PlatformAddressTests, URLHostIsTheAuthoritysHost) {
    EXPECT_EQ(URL::make("https://user:pw@Shop.Example.com:443/x?y").host(), "Shop.Example.com");
    EXPECT_EQ(URL::make("http://[fe80::1]:80/").host(), "fe80::1");
    EXPECT_EQ(URL::make("http://a.example#frag").host(), "a.example");
    EXPECT_EQ(URL::make("http://:80/").host(), "");
    EXPECT_FALSE(URL::make("mailto:a@b.example").host());
    EXPECT_FALSE(URL::make("example.com").host());
    EXPECT_FALSE(URL::make("http://[::1/").host());
    // Escapes are decoded, so an escaped letter cannot hide a name; a bad one gives no host.
    EXPECT_EQ(URL::make("http://sh%6Fp.Example%2ecom/").host(), "shop.Example.com");
    EXPECT_EQ(URL::make("http://[fe80::1%25en0]:80/").host(), "fe80::1%en0");
    EXPECT_EQ(URL::make("http://caf%C3%A9.example/").host(), "caf\xC3\xA9.example");
    for (const char* bad : {"http://a%zz.example/", "http://a%4/", "http://a%/", "http://%FF/",
                            "http://%C3/", "http://%ED%A0%80/", "http://%C0%AE/"}) {
        EXPECT_FALSE(URL::make(bad).host()) << bad;
    }
}

TEST(FlowAddressTests, CutsTheZoneAndLowersTheRest) {
    EXPECT_EQ(FlowAddress("FE80::1%en0").literal(), "fe80::1");
    EXPECT_EQ(FlowAddress("FE80::1%en0"), FlowAddress("fe80::1"));
    EXPECT_EQ(FlowAddress("2001:DB8::A").literal(), "2001:db8::a");
    EXPECT_EQ(FlowAddress("%lo0").literal(), "");
    EXPECT_EQ(FlowAddress("").literal(), "");
    EXPECT_EQ(FlowAddress("ÀB%x").literal(), "àb");
}

// The evidence keeps its own text inside it up to a host name's and an address's longest;
// anything longer is still kept whole, through copies, moves and assignments.
TEST(FlowEvidenceTests, KeepsTextOfAnyLengthThroughCopies) {
    for (const std::size_t length : {0, 1, 15, 16, 40, 253, 254, 4000}) {
        const std::string name(length, 'N');
        const std::string address(length, 'A');
        FlowEvidence evidence(name, FlowAddress(address + "%zone"));
        EXPECT_EQ(evidence.remoteHostname().value_or("<absent>"),
                  length ? name : std::string("<absent>"));
        EXPECT_EQ(evidence.remoteAddress()->literal(), std::string(length, 'a'));

        FlowEvidence copy = evidence;
        FlowEvidence moved = std::move(evidence);
        EXPECT_EQ(copy, moved);
        FlowEvidence assigned("x", std::nullopt);
        assigned = copy;
        EXPECT_EQ(assigned, moved);
    }
}

// The URL's host before the reported name before the endpoint's name; an address only from
// an address endpoint.
TEST(FlowEvidenceTests, NameSourcesInOrderOfTrustAndAddressesFromAddressEndpoints) {
    const auto flow = [](std::optional<URL> url, std::optional<std::string> reported,
                         std::optional<Endpoint> endpoint) {
        FilterSocketFlow f;
        f.url = std::move(url);
        f.remoteHostname = std::move(reported);
        f.remoteFlowEndpoint = std::move(endpoint);
        return f;
    };
    const auto v6 = Endpoint::hostPort(EndpointHost::ipv6(*IPv6Address::make("FE80:0::A%en0")), 80);
    const FlowAddress at("192.0.2.7");
    for (const auto& [f, expected] : std::vector<std::pair<FilterSocketFlow, FlowEvidence>>{
             {flow(URL::make("https://a.example/"), "b.example", ipv4Endpoint("192.0.2.7")),
              FlowEvidence("a.example", at)},
             {flow(std::nullopt, std::nullopt, nameEndpoint("c.example")),
              FlowEvidence("c.example", std::nullopt)},
             {flow(std::nullopt, "b.example", nameEndpoint("c.example")),
              FlowEvidence("b.example", std::nullopt)},
             // An empty URL host is present, so it wins, and ends as no name at all.
             {flow(URL::make("http://:80/"), "b.example", std::nullopt),
              FlowEvidence("", std::nullopt)},
             // A URL without a host lets the next source speak.
             {flow(URL::make("mailto:x@y.example"), "b.example", std::nullopt),
              FlowEvidence("b.example", std::nullopt)},
             {flow(std::nullopt, std::nullopt, v6),
              FlowEvidence(std::nullopt, FlowAddress("fe80::a"))},
             {flow(std::nullopt, "x.example", Endpoint::other()),
              FlowEvidence("x.example", std::nullopt)},
             {flow(std::nullopt, "x.example", Endpoint::hostPort(EndpointHost::other(), 1)),
              FlowEvidence("x.example", std::nullopt)},
         }) {
        EXPECT_EQ(FlowEvidence::fromFlow(f), expected) << expected.remoteHostname().value_or("-");
    }
    auto encrypted = flow(std::nullopt, "relay.example", ipv4Endpoint("192.0.2.7"));
    encrypted.offersEncryptedClientHello = true;
    EXPECT_EQ(FlowEvidence::fromFlow(encrypted), FlowEvidence("relay.example", at, true));
    FilterFlow plain;
    EXPECT_EQ(FlowEvidence::fromFlow(plain), FlowEvidence(std::nullopt, std::nullopt));
    plain.url = URL::make("https://d.example/");
    EXPECT_EQ(FlowEvidence::fromFlow(plain), FlowEvidence("d.example", std::nullopt));
}
