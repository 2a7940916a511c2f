// WireReadersBench: the server name of a ClientHello in one segment (a real 517-byte one of
// Python's ssl module and Chromium's of 1,940 bytes with a post-quantum key share and GREASE
// Encrypted Client Hello), one spread over two records, an HTTP request
// head, and a packet's headers. Each reports its heap allocations per read ("allocs").
#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <tolvane/wire/HTTPRequestHead.hpp>
#include <tolvane/wire/PacketView.hpp>
#include <tolvane/wire/TLSClientHello.hpp>
#include <vector>

#include "TestSupport.hpp"

namespace {

using namespace tolvane::wire;
using Bytes = std::vector<std::uint8_t>;

void reportAllocations(benchmark::State& state, std::uint64_t before) {
    state.counters["allocs"] =
        benchmark::Counter(static_cast<double>(tolvane::testing::allocationCount() - before),
                           benchmark::Counter::kAvgIterations);
}

Bytes fixture(const std::string& name) {
    const auto path =
        std::filesystem::path(__FILE__).parent_path() / "../tests/fixtures/wire" / name;
    std::ifstream file(path, std::ios::binary);
    Bytes bytes(std::istreambuf_iterator<char>(file), {});
    if (bytes.empty()) throw std::runtime_error("missing fixture " + path.string());
    return bytes;
}

void readServerName(benchmark::State& state, const Bytes& flow) {
    std::array<std::uint8_t, maximumClientHelloBytes> scratch{};
    if (!readClientHello(flow, scratch).hello.serverName) {
        state.SkipWithError("no server name");
        return;
    }
    const auto before = tolvane::testing::allocationCount();
    for (auto _ : state) {
        benchmark::DoNotOptimize(flow.data());
        const auto reading = readClientHello(flow, scratch);
        benchmark::DoNotOptimize(reading.hello.serverName);
    }
    reportAllocations(state, before);
    state.counters["bytes"] = static_cast<double>(flow.size());
}

void BM_ServerNamePython517Bytes(benchmark::State& state) {
    static const auto flow = fixture("tls/python-long-name.bin");
    readServerName(state, flow);
}
BENCHMARK(BM_ServerNamePython517Bytes);

void BM_ServerNameChromium(benchmark::State& state) {
    static const auto flow = fixture("tls/chromium.bin");
    readServerName(state, flow);
}
BENCHMARK(BM_ServerNameChromium);

void BM_ServerNameOverTwoRecords(benchmark::State& state) {
    static const auto flow = fixture("tls/openssl-fragmented-512.bin");
    readServerName(state, flow);
}
BENCHMARK(BM_ServerNameOverTwoRecords);

void BM_HTTPHost(benchmark::State& state) {
    static const auto flow = fixture("http/curl-get.bin");
    const auto before = tolvane::testing::allocationCount();
    for (auto _ : state) {
        benchmark::DoNotOptimize(flow.data());
        const auto head = readHTTPRequestHead(flow);
        benchmark::DoNotOptimize(head.host);
    }
    reportAllocations(state, before);
}
BENCHMARK(BM_HTTPHost);

void BM_PacketViewTCP(benchmark::State& state) {
    static const auto packet = [] {
        Bytes bytes = {0x45, 0, 0, 0, 0, 1, 0x40, 0, 64, 6, 0, 0, 192, 0, 2, 1, 198, 51, 100, 7};
        Bytes tcp(20, 0);
        tcp[12] = 0x50;
        tcp[13] = 0x18;
        bytes.insert(bytes.end(), tcp.begin(), tcp.end());
        bytes.resize(bytes.size() + 500, 0x16);
        bytes[2] = static_cast<std::uint8_t>(bytes.size() >> 8);
        bytes[3] = static_cast<std::uint8_t>(bytes.size());
        return bytes;
    }();
    const auto before = tolvane::testing::allocationCount();
    for (auto _ : state) {
        benchmark::DoNotOptimize(packet.data());
        const auto view = PacketView::make(packet);
        const auto tcp = view->tcp();
        benchmark::DoNotOptimize(tcp->payload());
    }
    reportAllocations(state, before);
}
BENCHMARK(BM_PacketViewTCP);

}  // namespace

BENCHMARK_MAIN();
