// Tests for the ClientHello reader: real ClientHellos from several TLS stacks, records cut
// at every byte, the 4096-byte bound, server names that are not host names, and refusals.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <tolvane/wire/TLSClientHello.hpp>
#include <vector>

#include "TestSupport.hpp"

namespace tolvane::wire {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Scratch = std::array<std::uint8_t, maximumClientHelloBytes>;

Bytes fixture(const std::string& name) {
    std::ifstream file(std::string(TOLVANE_FIXTURES_DIR) + "/wire/tls/" + name + ".bin",
                       std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(file), {});
}

void append16(Bytes& bytes, std::size_t value) {
    bytes.push_back(static_cast<std::uint8_t>(value >> 8));
    bytes.push_back(static_cast<std::uint8_t>(value));
}

struct Extension {
    std::uint16_t type;
    Bytes body;
};

Extension serverName(std::string_view name) {
    Bytes body;
    append16(body, name.size() + 3);
    body.push_back(0);
    append16(body, name.size());
    body.insert(body.end(), name.begin(), name.end());
    return {0x0000, body};
}

// A ClientHello handshake message (type, 24-bit length, body) with the given extensions.
Bytes handshake(const std::vector<Extension>& extensions) {
    Bytes body = {0x03, 0x03};
    body.resize(2 + 32, 0x5a);                          // random
    body.push_back(0);                                  // session id
    body.insert(body.end(), {0, 2, 0x13, 0x01, 1, 0});  // one suite, null compression
    Bytes list;
    for (const auto& extension : extensions) {
        append16(list, extension.type);
        append16(list, extension.body.size());
        list.insert(list.end(), extension.body.begin(), extension.body.end());
    }
    append16(body, list.size());
    body.insert(body.end(), list.begin(), list.end());
    Bytes message = {0x01, 0, 0, 0};
    message[2] = static_cast<std::uint8_t>(body.size() >> 8);
    message[3] = static_cast<std::uint8_t>(body.size());
    message.insert(message.end(), body.begin(), body.end());
    return message;
}

// `message` in handshake records of at most `fragment` bytes each.
Bytes records(const Bytes& message, std::size_t fragment) {
    Bytes flow;
    for (std::size_t at = 0; at < message.size(); at += fragment) {
        const auto size = std::min(fragment, message.size() - at);
        flow.insert(flow.end(), {0x16, 0x03, 0x01});
        append16(flow, size);
        flow.insert(flow.end(), message.begin() + static_cast<std::ptrdiff_t>(at),
                    message.begin() + static_cast<std::ptrdiff_t>(at + size));
    }
    return flow;
}

constexpr auto read = [](const Bytes& flow, Scratch& scratch) {
    return readClientHello(flow, scratch);
};
const std::string longName = "a-rather-long-server-name-for-tests.example.org";

struct RealHello {
    std::string file;
    std::optional<std::string> name;
    std::vector<std::string> protocols;
    bool echGrease = false;
};

TEST(TLSClientHello, ReadsClientHellosOfRealStacksWholeAndAtEveryCut) {
    std::vector<std::string> many = {"h2", "http/1.1"};
    for (char d = '0'; d <= '5'; ++d) many.push_back(std::string("example-protocol-number-0") + d);
    const std::vector<RealHello> hellos = {
        {"rfc8448", "server", {}},  // the client's first record of the RFC 8448 1-RTT trace
        {"python-tls13-sni-alpn", "www.example.com", {"h2", "http/1.1"}},
        {"python-tls12-sni", "example.org", {}},
        {"python-no-sni", std::nullopt, {"http/1.1"}},
        {"python-long-name", longName, {"h2"}},
        {"curl", "curl.example.net", {"h2", "http/1.1"}},
        // Two records of at most 512 bytes; protocols past the eighth are not kept.
        {"openssl-fragmented-512", longName, many},
        // Chromium 1.9 kB: GREASE values, ML-KEM key share, a GREASE ECH offer (0xfe0d).
        {"chromium", "tolvane-browser-test.example.org", {"h2", "http/1.1"}, true},
    };
    for (const auto& expected : hellos) {
        SCOPED_TRACE(expected.file);
        const auto flow = fixture(expected.file);
        Scratch scratch{};
        const auto reading = read(flow, scratch);
        ASSERT_EQ(reading.status, ClientHelloStatus::clientHello);
        EXPECT_EQ(reading.hello.serverName, expected.name);
        std::vector<std::string> protocols(
            reading.hello.protocols.begin(),
            reading.hello.protocols.begin() +
                static_cast<std::ptrdiff_t>(reading.hello.protocolCount));
        EXPECT_EQ(protocols, expected.protocols);
        EXPECT_EQ(reading.hello.offersEncryptedClientHello, expected.echGrease);
        // The flow as it arrives, cut anywhere: never an answer before the last byte.
        for (std::size_t cut = 0; cut < flow.size(); ++cut) {
            const Bytes prefix(flow.begin(), flow.begin() + static_cast<std::ptrdiff_t>(cut));
            ASSERT_EQ(read(prefix, scratch).status, ClientHelloStatus::needsMoreBytes) << cut;
        }
    }
    // As a bare handshake message, as QUIC hands it over.
    const auto message = fixture("rfc8448");
    EXPECT_EQ(readClientHelloMessage(std::span(message).subspan(5, 100)).status,
              ClientHelloStatus::needsMoreBytes);
}

TEST(TLSClientHello, StopsLookingAtTheBound) {
    Scratch scratch{};
    // Says it is longer than fits: no point waiting.
    Bytes huge = {0x16, 0x03, 0x01, 0x40, 0x00, 0x01, 0x00, 0x20, 0x00};
    EXPECT_EQ(read(huge, scratch).status, ClientHelloStatus::notTLS);

    // 800 bytes of hello in 1-byte records need 4800 bytes of flow: unfinished at byte 4096.
    Extension padding{0x0015, Bytes(700, 0)};
    const auto message = handshake({serverName("example.com"), padding});
    const auto flow = records(message, 1);
    const auto cap = static_cast<std::ptrdiff_t>(maximumClientHelloBytes);
    EXPECT_EQ(read(Bytes(flow.begin(), flow.begin() + cap - 1), scratch).status,
              ClientHelloStatus::needsMoreBytes);
    EXPECT_EQ(read(Bytes(flow.begin(), flow.begin() + cap), scratch).status,
              ClientHelloStatus::notTLS);
    // The same hello in records of 100 bytes ends before the cap, with data behind it.
    auto fits = records(message, 100);
    fits.resize(maximumClientHelloBytes + 500, 0x17);
    EXPECT_EQ(read(fits, scratch).hello.serverName, "example.com");
}

TEST(TLSClientHello, AServerNameThatIsNoHostNameIsNoName) {
    const std::string longest = std::string(63, 'a') + "." + std::string(63, 'b') + "." +
                                std::string(63, 'c') + "." + std::string(61, 'd');  // 253
    const std::vector<std::pair<std::string, std::optional<std::string>>> cases = {
        {"_acme.example.com", "_acme.example.com"},
        {"example.com.", "example.com"},
        {longest, longest},
        {longest + "e", std::nullopt},
        {std::string(64, 'a') + ".com", std::nullopt},
    };
    Scratch scratch{};
    for (const auto& [sent, expected] : cases) {
        const auto flow =
            records(handshake({serverName(sent), {0x0010, {0, 3, 2, 'h', '2'}}}), 512);
        const auto reading = read(flow, scratch);
        ASSERT_EQ(reading.status, ClientHelloStatus::clientHello) << sent;
        EXPECT_EQ(reading.hello.serverName, expected) << sent;
        EXPECT_EQ(reading.hello.protocolCount, 1u);  // the rest of the hello is still read
    }
}

TEST(TLSClientHello, OtherProtocolsBrokenRecordsAndRepeatedOrEmptyExtensionsAreNotTLS) {
    Scratch scratch{};
    const auto message = handshake({serverName("example.com")});
    auto interleaved = records(message, 20);
    interleaved[25] = 0x15;  // an alert record among the hello's fragments
    auto serverHello = records(message, 1000);
    serverHello[5] = 0x02;
    std::vector<Bytes> flows = {
        {'G', 'E', 'T', ' '}, {0x16, 0x03, 0x09}, {0x17, 0x03, 0x03}, interleaved, serverHello,
    };
    for (const auto& extensions : std::vector<std::vector<Extension>>{
             {serverName("a.example"), serverName("b.example")},
             {{0x0010, {0, 0}}},        // empty protocol list
             {{0x0010, {0, 2, 0, 0}}},  // empty protocol name
             {{0xfe0d, {}}, {0xfe0d, {}}},
         }) {
        flows.push_back(records(handshake(extensions), 512));
    }
    for (const auto& flow : flows) {
        EXPECT_EQ(read(flow, scratch).status, ClientHelloStatus::notTLS) << flow.size();
    }
}

// A 1.9 kB hello with GREASE, and one spread over two records.
TEST(TLSClientHello, ReadingAllocatesNothing) {
    const auto whole = fixture("chromium"), fragmented = fixture("openssl-fragmented-512");
    Scratch scratch{};
    const auto before = testing::allocationCount();
    const auto reading = read(whole, scratch);
    const auto spread = read(fragmented, scratch);
    EXPECT_EQ(testing::allocationCount(), before);
    EXPECT_EQ(reading.hello.serverName, "tolvane-browser-test.example.org");
    EXPECT_EQ(spread.hello.serverName, longName);
}

}  // namespace
}  // namespace tolvane::wire
