// The readers of names from packets: a DNS answer with a CNAME and four A records (dnsmasq's,
// tests/fixtures/wire/dns/cname-four-a.bin) to its addresses, and a client's 1,200-byte QUIC
// Initial (the published sample's frames, sealed under a fresh connection ID per flow) to its
// server name. Both report their heap allocations per iteration ("allocs").
#include <benchmark/benchmark.h>

#include <string_view>
#include <tolvane/wire/DNSAnswer.hpp>
#include <tolvane/wire/QUICInitial.hpp>
#include <vector>

#include "TestSupport.hpp"

namespace {

using namespace tolvane::wire;

std::vector<std::uint8_t> fromHex(std::string_view hex) {
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        const auto digit = [](char c) { return c <= '9' ? c - '0' : c - 'a' + 10; };
        out.push_back(static_cast<std::uint8_t>(digit(hex[i]) * 16 + digit(hex[i + 1])));
    }
    return out;
}

void reportAllocations(benchmark::State& state, std::uint64_t before) {
    state.counters["allocs"] =
        benchmark::Counter(static_cast<double>(tolvane::testing::allocationCount() - before),
                           benchmark::Counter::kAvgIterations);
}

const std::vector<std::uint8_t> cnameAndFourA = fromHex(
    "2221858000010005000000000d6d656469612d65752d7765737406696d61676573067374617469630d657861"
    "6d706c652d766964656f04746573740000010001c00c000500010000003c003017656467652d63616368652d"
    "6672616e6b667572742d30310363646e0d63646e636f2d6e6574776f726b047465737400c04c000100010000"
    "003c0004c000020bc04c000100010000003c0004c000020dc04c000100010000003c0004c000020cc04c0001"
    "00010000003c0004c000020e");

// The CRYPTO frame of RFC 9001 Appendix A.2 (a ClientHello for example.com).
const std::vector<std::uint8_t> cryptoFrame = fromHex(
    "060040f1010000ed0303ebf8fa56f12939b9584a3896472ec40bb863cfd3e86804fe3a47f06a2b69484c0000"
    "0413011302010000c000000010000e00000b6578616d706c652e636f6dff01000100000a00080006001d0017"
    "001800100007000504616c706e000500050100000000003300260024001d00209370b2c9caa47fbabaf4559f"
    "edba753de171fa71f50f1ce15d43e994ec74d748002b0003020304000d0010000e0403050306030203080408"
    "050806002d00020101001c00024001003900320408ffffffffffffffff05048000ffff07048000ffff080110"
    "0104800075300901100f088394c8f03e51570806048000ffff");

void BM_DNSAnswerCNAMEAndFourA(benchmark::State& state) {
    DNSAnswer answer;
    const auto before = tolvane::testing::allocationCount();
    for (auto _ : state) {
        benchmark::DoNotOptimize(readDNSAnswer(cnameAndFourA, answer));
        benchmark::DoNotOptimize(answer.addresses().data());
    }
    reportAllocations(state, before);
    if (answer.addresses().size() != 4) state.SkipWithError("not four addresses");
}
BENCHMARK(BM_DNSAnswerCNAMEAndFourA);

// Each flow has its own connection ID, so its keys are derived anew: the reader is reset
// between packets and the packets cycle through 64 connection IDs.
void BM_QUICInitialToServerName(benchmark::State& state) {
    std::vector<std::vector<std::uint8_t>> packets;
    for (std::uint8_t i = 0; i < 64; ++i) {
        const std::vector<std::uint8_t> id = {0x83, 0x94, 0xc8, 0xf0, 0x3e, 0x51, 0x57, i};
        std::vector<std::uint8_t> frames = cryptoFrame;
        frames.resize(1200 - (7 + id.size() + 3 + 4 + 16), 0);
        std::vector<std::uint8_t> packet(1300);
        packet.resize(sealClientInitial(quicVersion1, id, {}, 0, frames, packet));
        packets.push_back(std::move(packet));
    }
    if (packets[0].size() != 1200) state.SkipWithError("not 1,200 bytes");
    QUICInitialReader reader;
    std::size_t next = 0;
    const auto before = tolvane::testing::allocationCount();
    for (auto _ : state) {
        reader.reset();
        const auto reading = reader.read(packets[next++ % packets.size()]);
        benchmark::DoNotOptimize(reading.hello.serverName);
        if (reading.status != QUICInitialStatus::clientHello) state.SkipWithError("no hello");
    }
    reportAllocations(state, before);
}
BENCHMARK(BM_QUICInitialToServerName);

// The part of it that derives a connection ID's keys.
void BM_QUICInitialKeys(benchmark::State& state) {
    std::vector<std::uint8_t> id = {0x83, 0x94, 0xc8, 0xf0, 0x3e, 0x51, 0x57, 0x08};
    for (auto _ : state) {
        ++id[7];
        benchmark::DoNotOptimize(deriveClientInitialKeys(quicVersion1, id));
    }
}
BENCHMARK(BM_QUICInitialKeys);

}  // namespace

BENCHMARK_MAIN();
