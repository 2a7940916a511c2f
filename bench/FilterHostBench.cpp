// The filter host: its new-flow callback (evidence, classification and verdict for a named
// flow, with 10,000 domains enforced), and reading event lines: cutting input into lines,
// which takes time linear in the input however long a line is, and parsing one.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <random>
#include <tolvane/platform/Logger.hpp>
#include <tolvane/platform/SystemExtension.hpp>

#include "FilterDataProvider.hpp"
#include "FlowProtocol.hpp"

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

// One line of state.range(0) bytes, arriving in the pieces standard input is read in: a line
// past the limit is skipped as it arrives, so bytes per second stay flat as lines grow.
void BM_LineReaderOneLongLine(benchmark::State& state) {
    const std::string piece(64 * 1024, '[');
    const auto pieces = static_cast<std::size_t>(state.range(0)) / piece.size();
    std::size_t lines = 0;
    const auto sink = [&](std::string_view, bool) { ++lines; };
    for (auto _ : state) {
        host::LineReader reader;
        for (std::size_t i = 0; i < pieces; ++i) reader.feed(piece, sink);
        reader.feed("\n", sink);
    }
    benchmark::DoNotOptimize(lines);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * pieces * piece.size()));
}
BENCHMARK(BM_LineReaderOneLongLine)->Arg(1 << 20)->Arg(16 << 20)->Arg(256 << 20);

void BM_ParseNewFlowLine(benchmark::State& state) {
    const std::string line =
        R"({"event":"newFlow","flow":1,"at":1001,"remoteHostname":"mail.example.com",)"
        R"("remoteEndpoint":{"ipv4":"192.0.2.7","port":443}})";
    for (auto _ : state) benchmark::DoNotOptimize(host::parseFlowEvent(line));
}
BENCHMARK(BM_ParseNewFlowLine);

}  // namespace

BENCHMARK_MAIN();
