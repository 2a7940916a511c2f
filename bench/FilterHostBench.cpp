// The filter host's new-flow callback: evidence, classification and verdict for a named
// flow, with 10,000 domains enforced.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <random>
#include <tolvane/platform/Logger.hpp>
#include <tolvane/platform/SystemExtension.hpp>

#include "FilterDataProvider.hpp"

namespace {

using namespace tolvane;

struct Host {
    std::filesystem::path directory;
    std::unique_ptr<platform::SystemExtensionRuntime> runtime;
    std::vector<std::shared_ptr<platform::FilterSocketFlow>> flows;

    Host() {
        platform::Logger::setSink([](const platform::LogRecord&) {});
        directory = std::filesystem::temp_directory_path() / "tolvane-bench-host";
        std::filesystem::remove_all(directory);
        DomainSet domains;
        for (int i = 0; i < 10000; ++i)
            domains.insert(*Domain::make("blocked" + std::to_string(i) + ".example"));
        FileEnforcementDirectiveStore(directory).publish(
            EnforcementDirective(Scope(1, domains), std::nullopt, 0));
        runtime = platform::startSystemExtensionMode([this] {
            FilterDataProvider::Options options;
            options.directiveDirectory = directory;
            return std::make_shared<FilterDataProvider>(std::move(options));
        });
        runtime->startFilter();
        std::mt19937 random(7);
        for (int i = 0; i < 1024; ++i) {
            auto flow = std::make_shared<platform::FilterSocketFlow>();
            const int n = static_cast<int>(random() % 20000);  // about half blocked
            flow->remoteHostname = "www.blocked" + std::to_string(n) + ".example";
            flow->remoteFlowEndpoint = platform::Endpoint::hostPort(
                platform::EndpointHost::name(*flow->remoteHostname), 443);
            flows.push_back(std::move(flow));
        }
    }
    ~Host() {
        runtime->stopFilter(platform::FilterStopReason::none);
        std::filesystem::remove_all(directory);
    }
};

void BM_ProviderHandleNewFlowNamed(benchmark::State& state) {
    static Host host;
    auto& provider = host.runtime->provider();
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(provider.handleNewFlow(*host.flows[i++ & 1023]));
    }
}
BENCHMARK(BM_ProviderHandleNewFlowNamed);

}  // namespace

BENCHMARK_MAIN();
