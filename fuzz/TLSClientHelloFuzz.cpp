// TLSClientHelloFuzz: the input is a flow's first bytes. Whatever it reads must be views
// inside the input or the scratch buffer and a plausible host name; and a ClientHello it
// reads must read the same once its records are cut differently and as a bare handshake
// message, which is how QUIC hands it over.
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <tolvane/wire/TLSClientHello.hpp>
#include <vector>

namespace {

using namespace tolvane::wire;

void require(bool condition) {
    if (!condition) std::abort();
}

bool inside(std::string_view view, const std::uint8_t* begin, std::size_t size) {
    const auto* first = reinterpret_cast<const std::uint8_t*>(view.data());
    return first >= begin && first + view.size() <= begin + size;
}

void checkViews(const ClientHelloReading& reading, const std::uint8_t* data, std::size_t size,
                const std::uint8_t* scratch) {
    if (reading.status != ClientHelloStatus::clientHello) return;
    const auto& hello = reading.hello;
    require(hello.protocolCount <= ClientHelloInfo::maximumProtocols);
    auto within = [&](std::string_view view) {
        return inside(view, data, size) || inside(view, scratch, maximumClientHelloBytes);
    };
    if (hello.serverName) {
        require(isPlausibleHostName(*hello.serverName) && within(*hello.serverName));
    }
    for (std::size_t i = 0; i < hello.protocolCount; ++i) {
        require(!hello.protocols[i].empty() && within(hello.protocols[i]));
    }
}

bool sameHello(const ClientHelloInfo& a, const ClientHelloInfo& b) {
    if (a.serverName != b.serverName || a.protocolCount != b.protocolCount ||
        a.offersEncryptedClientHello != b.offersEncryptedClientHello) {
        return false;
    }
    for (std::size_t i = 0; i < a.protocolCount; ++i) {
        if (a.protocols[i] != b.protocols[i]) return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static std::uint8_t scratch[maximumClientHelloBytes];
    const std::span<std::uint8_t, maximumClientHelloBytes> scratchSpan(scratch);
    const std::span<const std::uint8_t> flow(data, size);
    const auto reading = readClientHello(flow, scratchSpan);
    checkViews(reading, data, size, scratch);
    if (size < maximumClientHelloBytes) {
        require(reading.status != ClientHelloStatus::needsMoreBytes || size < 5 || data[0] == 0x16);
    }
    const auto direct = readClientHelloMessage(flow);
    checkViews(direct, data, size, scratch);
    if (reading.status != ClientHelloStatus::clientHello) return 0;

    // Gather the message from the records, then cut it again into other sizes.
    std::vector<std::uint8_t> message;
    for (std::size_t at = 0; at + 5 <= size;) {
        const std::size_t length = (std::size_t{data[at + 3]} << 8) | data[at + 4];
        const auto end = std::min(size, at + 5 + length);
        message.insert(message.end(), data + at + 5, data + end);
        at = end;
    }
    const std::size_t messageBytes =
        4 + ((std::size_t{message[1]} << 16) | (std::size_t{message[2]} << 8) | message[3]);
    require(message.size() >= messageBytes);
    message.resize(messageBytes);

    std::uint8_t otherScratch[maximumClientHelloBytes];
    const auto bare = readClientHelloMessage(message);
    require(bare.status == ClientHelloStatus::clientHello && sameHello(bare.hello, reading.hello));
    const std::size_t fragment = size % 700 + 1;
    std::vector<std::uint8_t> recut;
    for (std::size_t at = 0; at < message.size(); at += fragment) {
        const auto part = std::min(fragment, message.size() - at);
        recut.insert(recut.end(), {0x16, 0x03, 0x03, static_cast<std::uint8_t>(part >> 8),
                                   static_cast<std::uint8_t>(part)});
        recut.insert(recut.end(), message.begin() + static_cast<std::ptrdiff_t>(at),
                     message.begin() + static_cast<std::ptrdiff_t>(at + part));
    }
    const auto again =
        readClientHello(recut, std::span<std::uint8_t, maximumClientHelloBytes>(otherScratch));
    if (recut.size() < maximumClientHelloBytes) {
        require(again.status == ClientHelloStatus::clientHello &&
                sameHello(again.hello, reading.hello));
    }
    return 0;
}
