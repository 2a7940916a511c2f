// The QUIC Initial reader, two ways. With the first byte even, the rest is the plaintext of
// client Initials under the published connection ID's keys (version by the next bit), so the
// fuzzer reaches the frame parser and the reassembly: the second byte says where to cut the
// frames into two packets, which are read second first. With it odd, the rest is raw
// datagrams, each prefixed by a one-byte length unit (times 8).
#include <array>
#include <cstdlib>
#include <span>
#include <tolvane/wire/QUICInitial.hpp>
#include <vector>

namespace {
using namespace tolvane::wire;

const std::array<std::uint8_t, 8> connectionID = {0x83, 0x94, 0xc8, 0xf0, 0x3e, 0x51, 0x57, 0x08};

void check(const QUICInitialReading& reading) {
    if (reading.status != QUICInitialStatus::clientHello) return;
    if (reading.hello.serverName && reading.hello.serverName->size() > 253) std::abort();
    if (reading.hello.protocolCount > ClientHelloInfo::maximumProtocols) std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const std::span<const std::uint8_t> input(data + 2, size - 2);
    QUICInitialReader reader;
    if ((data[0] & 1) == 0) {
        const std::uint32_t version = data[0] & 2 ? quicVersion2 : quicVersion1;
        const std::size_t cut = std::min<std::size_t>(input.size(), data[1] * 8u);
        std::array<std::uint8_t, QUICInitialReader::maximumPacketBytes> packet{};
        const auto sealAndRead = [&](std::span<const std::uint8_t> frames, std::uint32_t number) {
            const std::size_t length =
                sealClientInitial(version, connectionID, {}, number, frames, packet);
            if (length > 0) check(reader.read(std::span(packet).first(length)));
        };
        sealAndRead(input.subspan(cut), 1);
        sealAndRead(input.first(cut), 0);
        return 0;
    }
    std::size_t at = 0;
    const std::uint8_t* unit = data + 1;
    std::size_t length = *unit * 8u;
    while (at < input.size()) {
        const std::size_t n = std::min(length == 0 ? input.size() : length, input.size() - at);
        check(reader.read(input.subspan(at, n)));
        at += n;
        length = input.size() - at;
    }
    return 0;
}
