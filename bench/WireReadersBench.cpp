// WireReadersBench: the server name of a ClientHello in one segment (a real 517-byte one of
// Python's ssl module and a browser-shaped one of about 1,800 bytes with a post-quantum key
// share and GREASE Encrypted Client Hello), one spread over two records, an HTTP request
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

void append16(Bytes& bytes, std::size_t value) {
    bytes.push_back(static_cast<std::uint8_t>(value >> 8));
    bytes.push_back(static_cast<std::uint8_t>(value));
}

void extension(Bytes& list, std::uint16_t type, const Bytes& body) {
    append16(list, type);
    append16(list, body.size());
    list.insert(list.end(), body.begin(), body.end());
}

// Shaped as a current browser's: GREASE, sixteen suites, a 1,216-byte hybrid key share, ECH.
Bytes browserShapedHello(std::string_view name) {
    Bytes list;
    extension(list, 0x4a4a, {});
    Bytes sni;
    append16(sni, name.size() + 3);
    sni.push_back(0);
    append16(sni, name.size());
    sni.insert(sni.end(), name.begin(), name.end());
    extension(list, 0x0000, sni);
    extension(list, 0x0017, {});
    extension(list, 0xff01, {0});
    extension(list, 0x000a, {0, 10, 0x4a, 0x4a, 0x11, 0xec, 0, 0x1d, 0, 0x17, 0, 0x18});
    extension(list, 0x000b, {1, 0});
    extension(list, 0x0023, {});
    extension(list, 0x0010, {0, 12, 2, 'h', '2', 8, 'h', 't', 't', 'p', '/', '1', '.', '1'});
    extension(list, 0x0005, {1, 0, 0, 0, 0});
    extension(list, 0x000d, Bytes(18, 0x04));
    extension(list, 0x0012, {});
    Bytes keyShare;
    append16(keyShare, 4 + 1 + 4 + 1216 + 4 + 32);
    keyShare.insert(keyShare.end(), {0x4a, 0x4a, 0, 1, 0});
    keyShare.insert(keyShare.end(), {0x11, 0xec, 0x04, 0xc0});
    keyShare.insert(keyShare.end(), 1216, 0x37);
    keyShare.insert(keyShare.end(), {0, 0x1d, 0, 32});
    keyShare.insert(keyShare.end(), 32, 0x21);
    extension(list, 0x0033, keyShare);
    extension(list, 0x002d, {1, 1});
    extension(list, 0x002b, {6, 0x7a, 0x7a, 3, 4, 3, 3});
    extension(list, 0x001b, {2, 0, 2});
    extension(list, 0x44cd, {0, 3, 2, 'h', '2'});
    extension(list, 0xfe0d, Bytes(250, 0x5c));
    extension(list, 0x1a1a, {0});

    Bytes body(2 + 32, 0x11);  // version, random
    body[0] = body[1] = 0x03;
    body.push_back(32);
    body.resize(body.size() + 32, 0x22);
    append16(body, 32);
    body.resize(body.size() + 32, 0x13);
    body.insert(body.end(), {1, 0});
    append16(body, list.size());
    body.insert(body.end(), list.begin(), list.end());
    Bytes record = {0x16, 0x03, 0x01};
    append16(record, body.size() + 4);
    record.insert(record.end(), {0x01, 0, static_cast<std::uint8_t>(body.size() >> 8),
                                 static_cast<std::uint8_t>(body.size())});
    record.insert(record.end(), body.begin(), body.end());
    return record;
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

void BM_ServerNameBrowserShaped(benchmark::State& state) {
    static const auto flow = browserShapedHello("www.a-rather-long-server-name.example.org");
    readServerName(state, flow);
}
BENCHMARK(BM_ServerNameBrowserShaped);

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
