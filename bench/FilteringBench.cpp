// The filtering engine's per-flow and per-directive costs: classifying named and address-only
// flows against 10,000 enforced domains, the association table's worst path (a new address
// when the table is full of live addresses), and adopting a large directive. Per-flow
// benchmarks also report their heap allocations per flow ("allocs").
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <string>
#include <tolvane/TolvaneFiltering.hpp>
#include <unordered_map>
#include <vector>

#include "ReferenceAssociations.hpp"
#include "TestSupport.hpp"

namespace {

using namespace tolvane;
using Limits = NameAddressAssociations::Limits;

// Reports the allocations made on this thread since `before`, per iteration.
void reportAllocations(benchmark::State& state, std::uint64_t before) {
    state.counters["allocs"] =
        benchmark::Counter(static_cast<double>(tolvane::testing::allocationCount() - before),
                           benchmark::Counter::kAvgIterations);
}

const Limits hostLimits(120, 2048, 8);

EnforcementDirective largeDirective(int count, int salt = 0) {
    DomainSet domains;
    domains.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        domains.insert(
            *Domain::make("site-" + std::to_string(i) + "-" + std::to_string(salt) + ".example"));
    }
    return EnforcementDirective(Scope(1, std::move(domains)), std::nullopt, 0);
}

const EnforcementDirective& tenThousand() {
    static const EnforcementDirective directive = largeDirective(10000);
    return directive;
}

// A new flow with a name (under a blocked domain) and an address, as most flows arrive.
void BM_ClassifyNewFlowNamed(benchmark::State& state) {
    FlowClassifier classifier(tenThousand(), hostLimits, 0);
    const FlowEvidence evidence("cdn.images.site-4242-0.example", FlowAddress("192.0.2.7"));
    double now = 1;
    for (auto _ : state) {
        benchmark::DoNotOptimize(classifier.classifyNewFlow(evidence, now));
        now += 1e-6;
    }
}
BENCHMARK(BM_ClassifyNewFlowNamed);

platform::EndpointHost ipv4(const char* text) {
    return platform::EndpointHost::ipv4(*platform::IPv4Address::make(text));
}
platform::EndpointHost ipv6(const char* text) {
    return platform::EndpointHost::ipv6(*platform::IPv6Address::make(text));
}

// A new flow as the platform reports it, a name and an address endpoint, from the flow's
// facts to its classification, with the pair already remembered: the path most flows take.
void BM_NewFlowFromPlatform(benchmark::State& state, const char* name,
                            platform::EndpointHost host) {
    FlowClassifier classifier(tenThousand(), hostLimits, 0);
    platform::FilterSocketFlow flow;
    flow.remoteHostname = name;
    flow.remoteFlowEndpoint = platform::Endpoint::hostPort(std::move(host), 443);
    classifier.classifyNewFlow(FlowEvidence::fromFlow(flow), 0);
    double now = 1;
    const auto before = tolvane::testing::allocationCount();
    for (auto _ : state) {
        benchmark::DoNotOptimize(classifier.classifyNewFlow(FlowEvidence::fromFlow(flow), now));
        now += 1e-6;
    }
    reportAllocations(state, before);
}
BENCHMARK_CAPTURE(BM_NewFlowFromPlatform, name15_ipv4, "www.example.com", ipv4("192.0.2.7"));
BENCHMARK_CAPTURE(BM_NewFlowFromPlatform, name40_ipv4, "media-eu-west.images.site-4242-0.example",
                  ipv4("192.0.2.7"));
BENCHMARK_CAPTURE(BM_NewFlowFromPlatform, name40_ipv6, "media-eu-west.images.site-4242-0.example",
                  ipv6("2001:db8:85a3::8a2e:370:7334"));
BENCHMARK_CAPTURE(BM_NewFlowFromPlatform, name40_ipv6zone,
                  "media-eu-west.images.site-4242-0.example",
                  ipv6("fe80::1ff:fe23:4567:890a%eth0"));

// A new flow with only an address, whose 8 remembered names (none blocked) are all tested.
void BM_ClassifyNewFlowAddressOnly(benchmark::State& state) {
    FlowClassifier classifier(tenThousand(), hostLimits, 0);
    const FlowAddress address("2001:db8::7");
    for (int i = 0; i < 8; ++i) {
        classifier.classifyNewFlow(
            {"edge-" + std::to_string(i) + ".cdn.unblocked.example.net", address}, 0);
    }
    const FlowEvidence evidence(std::nullopt, address);
    for (auto _ : state) benchmark::DoNotOptimize(classifier.classifyNewFlow(evidence, 1));
}
BENCHMARK(BM_ClassifyNewFlowAddressOnly);

// The same flow through the pure policy, which matches all 8 names every time: the cost of
// the first such flow after each change of matcher.
void BM_PolicyAddressOnlyUncached(benchmark::State& state) {
    const DomainMatcher matcher(*tenThousand().scope());
    NameAddressAssociations associations(hostLimits);
    const FlowAddress address("2001:db8::7");
    for (int i = 0; i < 8; ++i)
        associations.record("edge-" + std::to_string(i) + ".cdn.unblocked.example.net", address, 0);
    const FlowEvidence evidence(std::nullopt, address);
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            EvidenceBoundedPolicy::classify(evidence, matcher, associations, true, 1));
    }
}
BENCHMARK(BM_PolicyAddressOnlyUncached);

// Addresses are reused in a ring twice the table's size, so each one recorded is new to the
// table (it was evicted 2,048 addresses ago); each gets 8 names, of which only the first
// record, the one that overflows the table, is timed.
template <class Table, class MakeAddress>
void runFullTable(benchmark::State& state, Table& table, MakeAddress makeAddress) {
    constexpr int held = 2048;
    std::vector<decltype(makeAddress(0))> addresses;
    for (int i = 0; i < 2 * held; ++i) addresses.push_back(makeAddress(i));
    std::vector<std::string> names;
    for (int n = 0; n < 8; ++n)
        names.push_back("host-" + std::to_string(n) + ".service.example.com");

    double now = 0;
    std::size_t next = 0;
    const auto fill = [&](std::size_t address, int from) {
        for (int n = from; n < 8; ++n)
            table.record(names[static_cast<std::size_t>(n)], addresses[address], now += 1e-4);
    };
    for (; next < static_cast<std::size_t>(held); ++next) fill(next, 0);
    for (auto _ : state) {
        const std::size_t address = next++ % addresses.size();
        now += 1e-4;
        const auto start = std::chrono::steady_clock::now();
        table.record(names[0], addresses[address], now);
        const auto end = std::chrono::steady_clock::now();
        state.SetIterationTime(std::chrono::duration<double>(end - start).count());
        fill(address, 1);
    }
}

void BM_AssociationsRecordNewAddressWhenFull(benchmark::State& state) {
    NameAddressAssociations table(hostLimits);
    runFullTable(state, table, [](int i) {
        return FlowAddress("10.1." + std::to_string(i / 256) + "." + std::to_string(i % 256));
    });
    benchmark::DoNotOptimize(table.addressCount());
}
BENCHMARK(BM_AssociationsRecordNewAddressWhenFull)->UseManualTime();

// The same through the classifier's entry point for names from DNS answers: the table's cost
// plus the lock.
void BM_RecordResolutionNewAddressWhenFull(benchmark::State& state) {
    struct Resolutions {
        FlowClassifier classifier{tenThousand(), hostLimits, 0};
        void record(std::string_view name, const FlowAddress& address, Instant now) {
            classifier.recordResolution(name, address, now);
        }
    } table;
    runFullTable(state, table, [](int i) {
        return FlowAddress("10.1." + std::to_string(i / 256) + "." + std::to_string(i % 256));
    });
    benchmark::DoNotOptimize(table.classifier.diagnosticCounters());
}
BENCHMARK(BM_RecordResolutionNewAddressWhenFull)->UseManualTime();

void BM_PlainAssociationsRecordNewAddressWhenFull(benchmark::State& state) {
    tolvane::testing::ReferenceAssociations table(hostLimits);
    runFullTable(state, table, [](int i) {
        return "10.1." + std::to_string(i / 256) + "." + std::to_string(i % 256);
    });
}
BENCHMARK(BM_PlainAssociationsRecordNewAddressWhenFull)->UseManualTime();

// Adopting a directive of 10,000 domains while flows are classified.
void BM_AdoptDirective(benchmark::State& state) {
    const EnforcementDirective& directive = tenThousand();
    FlowClassifier classifier(std::nullopt, hostLimits, 0);
    for (auto _ : state) classifier.adopt(directive, 0);
    state.SetItemsProcessed(state.iterations() * 10000);
}
BENCHMARK(BM_AdoptDirective)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
