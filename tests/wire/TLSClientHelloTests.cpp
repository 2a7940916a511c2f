// Tests for the ClientHello reader: record layer, reassembly, extensions, bounds.
#include <gtest/gtest.h>

#include <string>
#include <tolvane/wire/TLSClientHello.hpp>
#include <vector>

#include "TestSupport.hpp"

namespace tolvane::wire {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes fromHex(std::string_view hex) {
    Bytes bytes;
    int high = -1;
    for (const char c : hex) {
        int v = (c >= '0' && c <= '9') ? c - '0' : (c >= 'a' && c <= 'f') ? c - 'a' + 10 : -1;
        if (v < 0) continue;
        if (high < 0) {
            high = v;
        } else {
            bytes.push_back(static_cast<std::uint8_t>(high * 16 + v));
            high = -1;
        }
    }
    return bytes;
}

// The client's first record of the RFC 8448 simple 1-RTT trace (server name "server").
const Bytes rfc8448Record = fromHex(
    "16 03 01 00 c4 01 00 00 c0 03 03 cb 34 ec b1 e7 81 63 ba 1c 38 c6 da cb 19 6a 6d ff a2 1a"
    "8d 99 12 ec 18 a2 ef 62 83 02 4d ec e7 00 00 06 13 01 13 03 13 02 01 00 00 91 00 00 00 0b"
    "00 09 00 00 06 73 65 72 76 65 72 ff 01 00 01 00 00 0a 00 14 00 12 00 1d 00 17 00 18 00 19"
    "01 00 01 01 01 02 01 03 01 04 00 23 00 00 00 33 00 26 00 24 00 1d 00 20 99 38 1d e5 60 e4"
    "bd 43 d2 3d 8e 43 5a 7d ba fe b3 c0 6e 51 c1 3c ae 4d 54 13 69 1e 52 9a af 2c 00 2b 00 03"
    "02 03 04 00 0d 00 20 00 1e 04 03 05 03 06 03 02 03 08 04 08 05 08 06 04 01 05 01 06 01 02"
    "01 04 02 05 02 06 02 02 02 00 2d 00 02 01 01 00 1c 00 02 40 01");

TEST(TLSClientHello, ReadsTheRFC8448ClientHelloAndItsHandshakeMessage) {
    std::array<std::uint8_t, maximumClientHelloBytes> scratch{};
    const auto reading = readClientHello(rfc8448Record, scratch);
    ASSERT_EQ(reading.status, ClientHelloStatus::clientHello);
    EXPECT_EQ(reading.hello.serverName, "server");
    EXPECT_EQ(reading.hello.protocolCount, 0u);
    EXPECT_FALSE(reading.hello.offersEncryptedClientHello);

    const auto message = std::span(rfc8448Record).subspan(5);
    const auto direct = readClientHelloMessage(message);
    ASSERT_EQ(direct.status, ClientHelloStatus::clientHello);
    EXPECT_EQ(direct.hello.serverName, "server");
    EXPECT_EQ(readClientHelloMessage(message.first(100)).status, ClientHelloStatus::needsMoreBytes);
}

}  // namespace
}  // namespace tolvane::wire
