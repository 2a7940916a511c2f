#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <random>
#include <thread>
#include <tolvane/FlowClassifier.hpp>
#include <vector>

#include "TestSupport.hpp"

using namespace tolvane;

namespace {
using Limits = NameAddressAssociations::Limits;
const Limits hostLimits(120, 2048, 8);
const FlowAddress address("192.0.2.7");
const FlowEvidence nothing(std::nullopt, std::nullopt);
const FlowEvidence addressOnly(std::nullopt, address);
const FlowEvidence probeName("probe.example", std::nullopt);
const auto release = FlowDisposition::allowAndRelease();

Domain dom(const char* name) {
    return *Domain::make(name);
}

EnforcementDirective scoped(std::int64_t generation, DomainSet domains) {
    return EnforcementDirective(Scope(generation, std::move(domains)), std::nullopt, 0);
}
EnforcementDirective probeOnly(Instant expiresAt) {
    return EnforcementDirective(std::nullopt, ValidationProbe(dom("probe.example"), expiresAt), 0);
}
// Scope {a.example} and the probe, expiring at 50.
EnforcementDirective scopeAndProbe(std::int64_t generation) {
    return EnforcementDirective(Scope(generation, {dom("a.example")}),
                                ValidationProbe(dom("probe.example"), 50), 0);
}

platform::FilterSocketFlow socketFlow(std::optional<std::string> name, const char* address) {
    platform::FilterSocketFlow flow;
    flow.remoteHostname = std::move(name);
    const auto host = std::string_view(address).find(':') == std::string_view::npos
                          ? platform::EndpointHost::ipv4(*platform::IPv4Address::make(address))
                          : platform::EndpointHost::ipv6(*platform::IPv6Address::make(address));
    flow.remoteFlowEndpoint = platform::Endpoint::hostPort(host, 443);
    return flow;
}

platform::FilterSocketFlow offeringEncryptedClientHello(platform::FilterSocketFlow flow) {
    flow.offersEncryptedClientHello = true;
    return flow;
}

FlowAttribution attributionOf(FlowClassifier& classifier, const FlowEvidence& evidence,
                              Instant now) {
    return classifier.classifyNewFlow(evidence, now).attribution();
}
}  // namespace

// Counters and the associations across generations; attributions themselves are checked
// against the policy over random flows below.
TEST(FlowClassifierTests, CountersAndAssociationsAcrossDirectives) {
    FlowClassifier classifier(scoped(3, {dom("example.com")}), hostLimits, 0);
    classifier.classifyNewFlow({"mail.example.com", address}, 1);
    EXPECT_EQ(attributionOf(classifier, addressOnly, 100), FlowAttribution::scoped);
    EXPECT_EQ(attributionOf(classifier, addressOnly, 121), FlowAttribution::unattributed);
    classifier.classifyNewFlow({"other.org", address}, 130);
    classifier.classifyNewFlow({"shop.example.com", address}, 131);
    EXPECT_EQ(attributionOf(classifier, addressOnly, 132), FlowAttribution::ambiguous);
    EXPECT_EQ(classifier.diagnosticCounters(), (FilterCounters{3, 6, 3, 2, 1, 1, 1, 3, 1}));
    // Nothing enforced any more: the associations go, the counts stay.
    classifier.adopt(EnforcementDirective::idle(135), 135);
    EXPECT_EQ(classifier.diagnosticCounters(), (FilterCounters{0, 6, 3, 2, 1, 1, 1, 3, 0}));
}

TEST(FlowClassifierTests, HeldFlowsLeaveInspection) {
    FlowClassifier classifier(scoped(1, {dom("example.com")}), hostLimits, 0);
    const auto hold = FlowDisposition::allowUnderInspection(4096);
    EXPECT_EQ(classifier.classifyNewFlow(nothing, 0).disposition(), hold);
    EXPECT_EQ(classifier.classifyInspectedFlow(nothing, 4095, 1).disposition(), hold);
    EXPECT_EQ(classifier.diagnosticCounters(), (FilterCounters{1, 1, 0, 0, 1, 0, 1, 0, 0}));
    EXPECT_EQ(classifier.classifyInspectedFlow(nothing, 4096, 1),
              FlowClassification(FlowAttribution::unattributed, release));
    // Never below zero, and inspected flows record nothing.
    classifier.classifyInspectedFlow({"other.org", address}, 10, 3);
    EXPECT_EQ(classifier.diagnosticCounters(), (FilterCounters{1, 1, 0, 2, 0, 0, 1, 0, 0}));
}

TEST(FlowClassifierTests, ProbeIsEnforcedUntilAnInstantAtOrAfterItsExpiry) {
    FlowClassifier classifier(probeOnly(50), hostLimits, 40);
    // No number is at or after the expiry, so the probe stays.
    EXPECT_EQ(attributionOf(classifier, probeName, std::nan("")), FlowAttribution::scoped);
    // The first flow at the expiry records its pair, then finds nothing enforced and forgets.
    EXPECT_EQ(classifier.classifyNewFlow({"probe.example", address}, 50),
              FlowClassification(FlowAttribution::unscoped, release));
    EXPECT_EQ(classifier.diagnosticCounters().associationsRecorded, 1);
    EXPECT_EQ(classifier.diagnosticCounters().associatedAddressCount, 0);
    // Once dropped, the probe stays gone even if time goes back.
    EXPECT_EQ(attributionOf(classifier, probeName, 45), FlowAttribution::unscoped);

    // Construction keeps it as given, so a caller whose time runs back sees it enforced;
    // adopting drops an already expired probe.
    FlowClassifier early(scopeAndProbe(5), hostLimits, 60);
    EXPECT_EQ(attributionOf(early, probeName, 40), FlowAttribution::scoped);
    early.adopt(scopeAndProbe(6), 60);
    EXPECT_EQ(attributionOf(early, probeName, 55), FlowAttribution::unscoped);
    EXPECT_EQ(attributionOf(early, {"a.example", std::nullopt}, 55), FlowAttribution::scoped);
}

// The classifier keeps each remembered name's answer between flows; whatever directives,
// probes, expiries and evictions come, it answers as the plain policy does over the same
// matcher and remembered names.
TEST(FlowClassifierTests, AgreesWithThePolicyOverRandomFlows) {
    const char* names[] = {"a.example", "Shop.A.example", "b.example",
                           "c.org",     "www.c.org",      "d.net"};
    const FlowAddress addresses[] = {FlowAddress("192.0.2.1"), FlowAddress("192.0.2.2"),
                                     FlowAddress("2001:db8::1"), FlowAddress("2001:db8::2")};
    const Limits limits(30, 3, 2);  // small, so that names die and are pushed out
    std::mt19937 random(5);
    const auto chance = [&](unsigned in) { return random() % in == 0; };
    for (int run = 0; run < 30; ++run) {
        FlowClassifier classifier(std::nullopt, limits, 0);
        // The state the policy is given: what the classifier should be enforcing.
        NameAddressAssociations remembered(limits);
        DomainSet scope;
        std::optional<ValidationProbe> probe;
        DomainMatcher matcher;
        bool enforcing = false;
        const auto enforce = [&] {
            std::vector<Domain> domains(scope.begin(), scope.end());
            if (probe) domains.push_back(probe->domain());
            matcher = DomainMatcher(domains);
            enforcing = !domains.empty();
            if (!enforcing) remembered.removeAll();
        };
        Instant now = 0;
        for (int step = 0; step < 300; ++step) {
            now += static_cast<double>(random() % 40) / 4;
            if (chance(8)) {
                scope.clear();
                for (const char* name : {"a.example", "b.example", "c.org"}) {
                    if (chance(2)) scope.insert(dom(name));
                }
                probe.reset();
                if (chance(2))
                    probe.emplace(dom(chance(2) ? "d.net" : "c.org"), now + random() % 20);
                classifier.adopt(EnforcementDirective(Scope(step + 1, scope), probe, now), now);
                if (probe && probe->hasExpired(now)) probe.reset();
                enforce();
                continue;
            }
            std::optional<std::string_view> name;
            std::optional<FlowAddress> at;
            if (!chance(3)) name = names[random() % std::size(names)];
            if (!chance(4)) at = addresses[random() % std::size(addresses)];
            const bool encrypted = chance(4);
            const FlowEvidence evidence(name, at, encrypted);
            if (name && at && !encrypted) remembered.record(*name, *at, now);
            if (probe && probe->hasExpired(now)) {
                probe.reset();
                enforce();
            }
            const auto expected =
                EvidenceBoundedPolicy::classify(evidence, matcher, remembered, enforcing, now);
            ASSERT_EQ(classifier.classifyNewFlow(evidence, now), expected) << run << "/" << step;
            ASSERT_EQ(classifier.classifyInspectedFlow(evidence, 100, now), expected);
            ASSERT_EQ(classifier.classifyLiveFlow(evidence, now), expected);
        }
    }
}

// Flows as the platform reports them, from their facts to their classification: once each
// pair is remembered nothing allocates, for names of any host name's length and for IPv6.
TEST(FlowClassifierTests, FlowsFromThePlatformAllocateNothingOnceWarm) {
    DomainSet domains;
    for (int i = 0; i < 1000; ++i) {
        domains.insert(dom(("blocked-" + std::to_string(i) + ".example").c_str()));
    }
    FlowClassifier classifier(scoped(1, domains), hostLimits, 0);
    std::string longest;  // 253 bytes
    for (int i = 0; i < 3; ++i) longest += std::string(63, 'a' + i) + ".";
    longest += std::string(253 - longest.size() - 20, 'd') + ".blocked-998.example";
    platform::FilterFlow withURL;
    withURL.url = platform::URL::make("https://media-eu-west.images.blocked-1.example/a.png");
    const platform::FilterSocketFlow flows[] = {
        socketFlow("media-eu-west.images.blocked-999.example", "192.0.2.7"),
        socketFlow("Some-Long-Subdomain.Unblocked.Example.org", "2001:db8:85a3::8a2e:370:7334"),
        socketFlow(longest, "fe80::1ff:fe23:4567:890a%eth0"),
        socketFlow(std::nullopt, "2001:db8:85a3::8a2e:370:7334"),
        // A relay's name on the first flow's address: judged by the address, remembered never.
        offeringEncryptedClientHello(socketFlow("public.relay.example.net", "192.0.2.7")),
    };
    const auto classify = [&](const platform::FilterFlow& flow, Instant now) {
        const FlowEvidence evidence = FlowEvidence::fromFlow(flow);
        const auto fresh = classifier.classifyNewFlow(evidence, now);
        EXPECT_EQ(classifier.classifyInspectedFlow(evidence, 10, now), fresh);
        return fresh.attribution();
    };
    for (const auto& flow : flows) classify(flow, 0);  // first recordings may allocate
    const std::string name = "media-eu-west-1.images.static.blocked-7.example";
    const FlowAddress resolved("2001:db8::53");
    classifier.recordResolution(name, resolved, 0);

    const auto before = tolvane::testing::allocationCount();
    EXPECT_EQ(classify(flows[0], 1), FlowAttribution::scoped);
    EXPECT_EQ(classify(flows[1], 2), FlowAttribution::unscoped);
    EXPECT_EQ(classify(flows[2], 3), FlowAttribution::scoped);
    EXPECT_EQ(classify(flows[3], 4), FlowAttribution::unscoped);
    EXPECT_EQ(classify(withURL, 5), FlowAttribution::scoped);
    EXPECT_EQ(classify(flows[4], 6), FlowAttribution::scoped);
    // A resolver repeating a pair already remembered.
    for (int i = 7; i < 10; ++i) classifier.recordResolution(name, resolved, i);
    EXPECT_EQ(tolvane::testing::allocationCount(), before);
    EXPECT_EQ(attributionOf(classifier, FlowEvidence(std::nullopt, resolved), 10),
              FlowAttribution::scoped);
}

// What live flows are told is checked against the policy over random flows.
TEST(FlowClassifierTests, LiveFlowsAreJudgedButNeitherCountedNorRemembered) {
    FlowClassifier classifier(scopeAndProbe(2), hostLimits, 0);
    using A = FlowAttribution;
    const auto before = classifier.diagnosticCounters();
    EXPECT_EQ(classifier.classifyLiveFlow({"www.a.example", address}, 10).attribution(), A::scoped);
    EXPECT_EQ(classifier.diagnosticCounters(), before);
    EXPECT_EQ(attributionOf(classifier, addressOnly, 11), A::unattributed);
    // The probe's expiry is noticed; the scope is still enforced.
    EXPECT_EQ(classifier.classifyLiveFlow(probeName, 50).attribution(), A::unscoped);
    EXPECT_TRUE(classifier.isEnforcing());

    FlowClassifier probeAlone(probeOnly(50), hostLimits, 0);
    EXPECT_TRUE(probeAlone.isEnforcing());
    EXPECT_EQ(probeAlone.classifyLiveFlow(nothing, 50),
              FlowClassification(A::unattributed, release));
    EXPECT_FALSE(probeAlone.isEnforcing());
    EXPECT_EQ(probeAlone.diagnosticCounters(), FilterCounters{});
}

// Flows and resolutions from several threads while directives come and go and a probe
// expires: every flow is counted exactly once and the counters agree with what the callers
// were told.
TEST(FlowClassifierConcurrency, CountersAgreeWithWhatWasDone) {
    FlowClassifier classifier(std::nullopt, Limits(120, 64, 4), 0);
    constexpr int threads = 4, flowsPerThread = 3000;
    std::atomic<bool> done{false};
    std::atomic<std::int64_t> adoptions{0}, progress{0};
    const auto pause = [] {
        for (int i = 0; i < 200; ++i) std::this_thread::yield();
    };
    std::thread adopter([&] {
        for (std::int64_t generation = 1; !done.load(); ++generation) {
            const double now = static_cast<double>(generation % 30);
            classifier.adopt(
                EnforcementDirective(Scope(generation, {dom("blocked.example")}),
                                     ValidationProbe::lent(dom("probe.example"), now, 0.5), now),
                now);
            // The first scope stays until the workers have seen it, so both outcomes occur.
            if (adoptions++ == 0) {
                while (progress.load() < 200) std::this_thread::yield();
            }
            pause();
            classifier.adopt(probeOnly(now + 0.2), now);
            pause();
            classifier.adopt(EnforcementDirective::idle(now), now);
            pause();
        }
    });
    // What the callers were told, summed over all threads: new drops, releases and holds,
    // ambiguous, unattributed, inspected drops and releases, and pairs.
    std::atomic<std::int64_t> told[8] = {};
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            while (adoptions.load() == 0) std::this_thread::yield();
            for (int i = 0; i < flowsPerThread; ++i) {
                const FlowAddress at("10.0." + std::to_string(t) + "." + std::to_string(i % 100));
                std::optional<std::string> name;
                if (i % 3 < 2) name = i % 3 ? "Blocked.example" : "probe.example";
                const FlowEvidence evidence(name, i % 2 ? std::optional(at) : std::nullopt);
                const auto fresh = classifier.classifyNewFlow(evidence, i * 0.01);
                ++progress;
                const auto inspected = classifier.classifyInspectedFlow(evidence, i, i * 0.01);
                const auto& d = fresh.disposition();
                told[d.isDrop() ? 0 : d.releasesFromInspection() ? 1 : 2] += 1;
                told[3] += fresh.attribution() == FlowAttribution::ambiguous;
                told[4] += fresh.attribution() == FlowAttribution::unattributed;
                told[5] += inspected.disposition().isDrop();
                told[6] += inspected.disposition().releasesFromInspection();
                told[7] += name && i % 2;
                EXPECT_GE(classifier.diagnosticCounters().flowsHeldForInspection, 0);
            }
        });
    }
    // Resolutions alongside: each counted as a pair, none as a flow.
    constexpr int resolutions = 3000;
    workers.emplace_back([&] {
        for (int i = 0; i < resolutions; ++i) {
            classifier.recordResolution(
                "www.blocked.example", FlowAddress("192.0.2." + std::to_string(i % 200)), i * 0.01);
        }
    });
    for (auto& worker : workers) worker.join();
    done = true;
    adopter.join();

    const auto c = classifier.diagnosticCounters();
    EXPECT_EQ(c.flowsClassified, threads * flowsPerThread);
    EXPECT_EQ(c.flowsDropped, told[0] + told[5]) << c;
    EXPECT_EQ(c.flowsReleased, told[1] + told[6]) << c;
    EXPECT_EQ(c.ambiguousFlowsAllowed, told[3].load());
    EXPECT_EQ(c.unattributedFlowsAllowed, told[4].load());
    EXPECT_EQ(c.associationsRecorded, told[7] + resolutions);
    EXPECT_LE(c.flowsHeldForInspection, told[2].load());
    EXPECT_GE(c.flowsHeldForInspection, told[2] - told[5] - told[6]);
    EXPECT_LE(c.associatedAddressCount, 64);
    EXPECT_GT(told[0].load(), 0);  // both enforcing and idle periods were seen
    EXPECT_GT(told[1].load(), 0);
}

// A resolved name leaves the associations as a named flow to the same address would: later
// address-only flows are attributed alike, through the same limits and expiry, and only the
// named flow counts as a classified flow.
TEST(FlowClassifierTests, ResolutionsAreRememberedAsNamedFlowsAre) {
    const auto scope = scoped(1, {dom("blocked.example")});
    const Limits limits(120, 2, 2);
    FlowClassifier viaFlows(scope, limits, 0);
    FlowClassifier viaResolutions(scope, limits, 0);
    const FlowAddress other("2001:db8::1"), third("198.51.100.1");
    const auto remember = [&](const char* name, const FlowAddress& at, Instant now) {
        viaFlows.classifyNewFlow(FlowEvidence(name, at), now);
        viaResolutions.recordResolution(name, at, now);
    };
    remember("www.blocked.example", address, 0);
    remember("shared.example", other, 1);
    remember("blocked.example", other, 2);
    viaResolutions.recordResolution("", third, 3);  // no name: nothing remembered
    for (const auto& [at, now] : {std::pair{address, 10.0},
                                  {other, 10.0},
                                  {third, 10.0},
                                  {address, 120.0},
                                  {other, 121.9},
                                  {other, 122.0}}) {
        const FlowEvidence evidence(std::nullopt, at);
        EXPECT_EQ(attributionOf(viaResolutions, evidence, now),
                  attributionOf(viaFlows, evidence, now))
            << at << " at " << now;
    }
    EXPECT_EQ(attributionOf(viaResolutions, FlowEvidence(std::nullopt, other), 10),
              FlowAttribution::ambiguous);
    EXPECT_EQ(viaResolutions.diagnosticCounters().associationsRecorded, 3);
    EXPECT_EQ(viaFlows.diagnosticCounters().associationsRecorded, 3);
    EXPECT_EQ(viaResolutions.diagnosticCounters().flowsClassified, 7);
    EXPECT_EQ(viaFlows.diagnosticCounters().flowsClassified, 9);

    // A third address overflows a table of two; the least recently observed one goes.
    remember("blocked.example", third, 130);
    EXPECT_EQ(viaResolutions.diagnosticCounters().associatedAddressCount,
              viaFlows.diagnosticCounters().associatedAddressCount);
}

// Once nothing is enforced (the probe expired) the associations are forgotten, whether the
// pair came from a flow or a resolution.
TEST(FlowClassifierTests, ResolutionsAreForgottenWhenNothingIsEnforced) {
    FlowClassifier classifier(probeOnly(50), hostLimits, 0);
    classifier.recordResolution("probe.example", address, 10);
    EXPECT_EQ(attributionOf(classifier, addressOnly, 11), FlowAttribution::scoped);
    classifier.recordResolution("probe.example", address, 60);
    EXPECT_EQ(classifier.diagnosticCounters().associatedAddressCount, 0);
    EXPECT_EQ(attributionOf(classifier, addressOnly, 61), FlowAttribution::unattributed);
}
