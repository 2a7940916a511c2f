#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <fstream>
#include <limits>
#include <thread>
#include <tolvane/platform/Logger.hpp>
#include <tolvane/platform/SystemExtension.hpp>

#include "FilterDataProvider.hpp"
#include "LogCapture.hpp"
#include "TestSupport.hpp"

namespace tolvane {
namespace {

using platform::DataVerdict;
using platform::LogLevel;
using platform::NewFlowVerdict;
using tolvane::testing::LogCapture;

Domain D(std::string_view text) {
    return *Domain::make(text);
}

std::shared_ptr<platform::FilterSocketFlow> namedFlow(std::string name) {
    auto flow = std::make_shared<platform::FilterSocketFlow>();
    flow->remoteHostname = std::move(name);
    return flow;
}

class FilterDataProviderTest : public ::testing::Test {
protected:
    std::unique_ptr<platform::SystemExtensionRuntime> makeRuntime() {
        return platform::startSystemExtensionMode([this] {
            FilterDataProvider::Options options;
            options.directiveDirectory = directory.path();
            options.clock = [] { return 1000.0; };
            return std::make_shared<FilterDataProvider>(std::move(options));
        });
    }
    // A runtime started on a directive enforcing `domain`.
    std::unique_ptr<platform::SystemExtensionRuntime> started(std::int64_t generation,
                                                              const char* domain) {
        store().publish(enforcing(generation, domain));
        auto runtime = makeRuntime();
        EXPECT_FALSE(runtime->startFilter().has_value());
        return runtime;
    }
    FileEnforcementDirectiveStore store() const {
        return FileEnforcementDirectiveStore(directory.path());
    }
    EnforcementDirective enforcing(std::int64_t generation, const char* domain) const {
        return EnforcementDirective(Scope(generation, {D(domain)}), std::nullopt, 999);
    }
    std::vector<std::string> messages(LogLevel level) const {
        std::vector<std::string> out;
        for (const auto& r : log.records()) {
            if (r.level == level) out.push_back(r.message);
        }
        return out;
    }

    testing::TemporaryDirectory directory;
    LogCapture log;
};

// Stopping twice logs twice and keeps what was adopted in force.
TEST_F(FilterDataProviderTest, AdoptsTheDirectiveOnDiskBeforeStartCompletesAndStopsTwice) {
    auto runtime = started(2, "example.com");
    EXPECT_EQ(messages(LogLevel::defaultLevel),
              std::vector<std::string>{"adopted directive <private>"});
    platform::Logger::setShowsPrivateData(true);
    store().publish(enforcing(2, "example.com"));  // delivered again by the watcher
    for (int i = 0; i < 6000 && messages(LogLevel::defaultLevel).size() < 2; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    platform::Logger::setShowsPrivateData(std::nullopt);
    ASSERT_GE(messages(LogLevel::defaultLevel).size(), 2u);
    EXPECT_EQ(messages(LogLevel::defaultLevel)[1],
              "adopted directive scopeGeneration=2 classified=0 dropped=0 released=0 "
              "heldForInspection=0 ambiguousAllowed=0 unattributedAllowed=0 "
              "associationsRecorded=0 associatedAddresses=0");
    runtime->stopFilter(platform::FilterStopReason::userInitiated);
    static_cast<FilterDataProvider&>(runtime->provider())
        .stopFilter(platform::FilterStopReason::sleep, [] {});
    const auto lines = messages(LogLevel::defaultLevel);
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[lines.size() - 2], "filter stopped, reason 1 <private>");
    EXPECT_EQ(lines.back(), "filter stopped, reason 13 <private>");
    EXPECT_EQ(runtime->handleNewFlow(namedFlow("example.com")), NewFlowVerdict::dropVerdict());
}

TEST_F(FilterDataProviderTest, MapsDispositionsToVerdicts) {
    auto runtime = started(1, "example.com");

    auto byURL = std::make_shared<platform::FilterFlow>();
    byURL->url = platform::URL::make("https://mail.example.com/inbox");
    EXPECT_EQ(runtime->handleNewFlow(byURL), NewFlowVerdict::dropVerdict());
    EXPECT_EQ(runtime->handleNewFlow(namedFlow("example.org")), NewFlowVerdict::allowVerdict());

    // A flow with no evidence is held, outbound only, 4096 bytes at a time.
    auto unknown = std::make_shared<platform::FilterSocketFlow>();
    unknown->identifier = 7;
    EXPECT_EQ(runtime->handleNewFlow(unknown),
              NewFlowVerdict::filterDataVerdict(false, 0, true, 4096));
    EXPECT_EQ(runtime->handleOutboundData(7, 0, 1000), DataVerdict::dataVerdict(1000, 4096));
    EXPECT_EQ(runtime->handleInboundData(7, 1000, 2000), DataVerdict::dataVerdict(3000, 4096));
    EXPECT_EQ(runtime->handleOutboundData(7, 3000, 1096), DataVerdict::allowVerdict());

    // A completed direction ends inspection: released, or dropped once a name matches.
    auto later = std::make_shared<platform::FilterSocketFlow>();
    later->identifier = 8;
    EXPECT_EQ(runtime->handleNewFlow(later).kind(), NewFlowVerdict::Kind::filterData);
    EXPECT_EQ(runtime->handleInboundDataComplete(8), DataVerdict::allowVerdict());
    auto named = std::make_shared<platform::FilterSocketFlow>();
    named->identifier = 9;
    EXPECT_EQ(runtime->handleNewFlow(named).kind(), NewFlowVerdict::Kind::filterData);
    named->remoteHostname = "cdn.example.com";
    EXPECT_EQ(runtime->handleOutboundDataComplete(9), DataVerdict::dropVerdict());

    auto& provider = static_cast<FilterDataProvider&>(runtime->provider());
    const auto counters = provider.classifier().diagnosticCounters();
    EXPECT_EQ(counters.flowsReleased, 3);
    EXPECT_EQ(counters.flowsHeldForInspection, 0);

    // A platform counting past what a signed count holds has read past inspection too.
    const std::array<std::byte, 8> tail{};
    for (std::size_t offset : {std::numeric_limits<std::size_t>::max() - 4,
                               std::size_t{std::numeric_limits<std::int64_t>::max()}}) {
        EXPECT_EQ(provider.handleOutboundData(*unknown, offset, tail), DataVerdict::allowVerdict());
    }
    runtime->stopFilter(platform::FilterStopReason::none);
}

TEST_F(FilterDataProviderTest, FailedSettingsReachTheStartCompletionAndMakeNoWatcher) {
    store().publish(enforcing(1, "example.com"));
    auto runtime = makeRuntime();
    runtime->provider().setSettingsApplier([](const auto&, auto completion) {
        completion(platform::Error{"test", 5, "refused"});
    });
    const auto error = runtime->startFilter();
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->code, 5);
    EXPECT_FALSE(static_cast<FilterDataProvider&>(runtime->provider()).isWatching());
    EXPECT_EQ(runtime->handleNewFlow(namedFlow("example.com")), NewFlowVerdict::allowVerdict());
    EXPECT_TRUE(log.records().empty());
}

// Real flows carry names longer than a string's own buffer and IPv6 addresses: once each
// flow's pair is remembered, handling it again allocates nothing.
TEST_F(FilterDataProviderTest, FlowsAllocateNothingOnceWarm) {
    auto runtime = started(1, "example.com");
    auto& provider = runtime->provider();
    const auto withAddress = [](std::string name, const char* v6) {
        auto flow = namedFlow(std::move(name));
        flow->remoteFlowEndpoint = platform::Endpoint::hostPort(
            platform::EndpointHost::ipv6(*platform::IPv6Address::make(v6)), 443);
        return flow;
    };
    const std::shared_ptr<platform::FilterSocketFlow> flows[] = {
        namedFlow("www.example.com"),
        namedFlow("media-eu-west1.images.static.example.com"),
        withAddress("media-eu-west1.images.static.example.com", "2001:db8:85a3::8a2e:370:7334"),
        withAddress("media-eu-west1.images.static.example.org", "fe80::1ff:fe23:4567:890a%eth0"),
    };
    for (const auto& flow : flows) provider.handleNewFlow(*flow);
    const auto before = testing::allocationCount();
    int dropped = 0;
    for (const auto& flow : flows) {
        dropped += provider.handleNewFlow(*flow) == NewFlowVerdict::dropVerdict();
    }
    EXPECT_EQ(testing::allocationCount(), before);
    EXPECT_EQ(dropped, 3);
    runtime->stopFilter(platform::FilterStopReason::none);
}

// The hooks a runtime that sees DNS answers and running flows uses: resolutions remembered
// for address-only flows, running flows judged again as the scope grows.
TEST_F(FilterDataProviderTest, RuntimeHooksRememberResolutionsAndJudgeLiveFlows) {
    auto runtime = started(3, "example.com");
    auto& provider = static_cast<FilterDataProvider&>(runtime->provider());

    using platform::EndpointHost;
    const auto v4 = EndpointHost::ipv4(*platform::IPv4Address::make("192.0.2.7"));
    const auto v6 = EndpointHost::ipv6(*platform::IPv6Address::make("2001:db8::1%eth0"));
    provider.recordResolution("www.example.com", v4);
    provider.recordResolution("cdn.example.com", v6);
    provider.recordResolution("www.example.com", EndpointHost::name("192.0.2.8"));
    provider.recordResolution("www.example.com", EndpointHost::other());
    EXPECT_EQ(provider.classifier().diagnosticCounters().associationsRecorded, 2);
    const auto before = testing::allocationCount();
    provider.recordResolution("www.example.com", v4);
    EXPECT_EQ(testing::allocationCount(), before);

    const auto at = [](std::optional<std::string> name, const EndpointHost& host, bool ech) {
        auto flow = std::make_shared<platform::FilterSocketFlow>();
        flow->remoteHostname = std::move(name);
        flow->remoteFlowEndpoint = platform::Endpoint::hostPort(host, 443);
        flow->offersEncryptedClientHello = ech;
        return flow;
    };
    const auto v6Plain = EndpointHost::ipv6(*platform::IPv6Address::make("2001:db8::1"));
    const auto elsewhere = EndpointHost::ipv4(*platform::IPv4Address::make("198.51.100.4"));
    struct Case {
        std::shared_ptr<platform::FilterSocketFlow> flow;
        NewFlowVerdict verdict;
    };
    for (const auto& [flow, verdict] : std::vector<Case>{
             {at(std::nullopt, v4, false), NewFlowVerdict::dropVerdict()},
             {at(std::nullopt, v6Plain, false), NewFlowVerdict::dropVerdict()},
             {at("relay.example.net", v4, true), NewFlowVerdict::dropVerdict()},
             {at("relay.example.net", elsewhere, true), NewFlowVerdict::allowVerdict()},
             {at("relay.example.net", v4, false), NewFlowVerdict::allowVerdict()},
         }) {
        EXPECT_EQ(provider.shouldCutLiveFlow(*flow), verdict == NewFlowVerdict::dropVerdict())
            << flow->remoteHostname.value_or("-");
        EXPECT_EQ(runtime->handleNewFlow(flow), verdict) << flow->remoteHostname.value_or("-");
    }

    // A held flow is not cut; judging live flows counts none.
    const auto counted = provider.classifier().diagnosticCounters();
    EXPECT_FALSE(provider.shouldCutLiveFlow(*at(std::nullopt, elsewhere, false)));
    const auto allowedNow = at("example.org", elsewhere, false);
    EXPECT_FALSE(provider.shouldCutLiveFlow(*allowedNow));
    EXPECT_EQ(provider.classifier().diagnosticCounters(), counted);

    // Once the scope grows, the flow already running is to be cut.
    store().publish(
        EnforcementDirective(Scope(4, {D("example.com"), D("example.org")}), std::nullopt, 999));
    for (int i = 0; i < 6000 && provider.enforcedGeneration() < 4; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(provider.enforcedGeneration(), 4);
    EXPECT_TRUE(provider.shouldCutLiveFlow(*allowedNow));
    runtime->stopFilter(platform::FilterStopReason::none);
}

}  // namespace
}  // namespace tolvane
