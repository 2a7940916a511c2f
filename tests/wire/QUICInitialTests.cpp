// Tests for the QUIC Initial reader: the sample packets of RFC 9001 and RFC 9369 (see
// tests/fixtures/wire/quic/extract.py), and Initials sealed here, to split a ClientHello.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <tolvane/wire/QUICInitial.hpp>
#include <vector>

#include "TestSupport.hpp"

namespace tolvane::wire {
namespace {

using Bytes = std::vector<std::uint8_t>;

const Bytes dcid = {0x83, 0x94, 0xc8, 0xf0, 0x3e, 0x51, 0x57, 0x08};

Bytes fixture(const std::string& name) {
    std::ifstream in(std::string(TOLVANE_FIXTURES_DIR) + "/wire/quic/" + name, std::ios::binary);
    EXPECT_TRUE(in) << name;
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

const char* prefixOf(std::uint32_t version) {
    return version == quicVersion1 ? "rfc9001" : "rfc9369";
}

// The ClientHello of the published packets: their CRYPTO frame without its 4-byte header.
Bytes publishedClientHello(std::uint32_t version) {
    const Bytes frame = fixture(std::string(prefixOf(version)) + "-crypto-frame.bin");
    return Bytes(frame.begin() + 4, frame.end());
}

void appendVarint(Bytes& out, std::uint64_t v) {
    out.push_back(static_cast<std::uint8_t>(0x40 | v >> 8));  // two bytes: up to 16383
    out.push_back(static_cast<std::uint8_t>(v));
}
void appendCrypto(Bytes& frames, std::size_t offset, std::span<const std::uint8_t> data) {
    frames.push_back(0x06);
    appendVarint(frames, offset);
    appendVarint(frames, data.size());
    frames.insert(frames.end(), data.begin(), data.end());
}

// An Initial of 1,200 bytes holding `frames` and PADDING.
Bytes seal(std::uint32_t version, Bytes frames, std::uint32_t packetNumber,
           const Bytes& connectionID = dcid) {
    const std::size_t header = 7 + connectionID.size() + 1 + 2 + 4 + 16;
    if (frames.size() + header < 1200) frames.resize(1200 - header, 0);
    Bytes packet(frames.size() + 64);
    packet.resize(sealClientInitial(version, connectionID, {}, packetNumber, frames, packet));
    EXPECT_FALSE(packet.empty());
    return packet;
}

constexpr std::uint32_t versions[] = {quicVersion1, quicVersion2};

}  // namespace

// The published packet rebuilt byte for byte from its frames (so every derived key is right),
// and the Initials sealed in the other tests are what a client sends.
TEST(QUICInitialTests, SealingMatchesThePublishedSamples) {
    for (const auto version : versions) {
        Bytes frames = fixture(std::string(prefixOf(version)) + "-crypto-frame.bin");
        frames.resize(1162, 0);
        Bytes packet(1300);
        packet.resize(sealClientInitial(version, dcid, {}, 2, frames, packet));
        EXPECT_EQ(packet, fixture(std::string(prefixOf(version)) + "-client-initial.bin"));
    }
}

// A real client's (ngtcp2 over GnuTLS) and its retransmission read on
// the same flow; Chromium's 1935-byte ClientHello in two Initials, its CRYPTO frames shuffled
// among PINGs and PADDING within and across the packets, in either order.
TEST(QUICInitialTests, ReadsRealClientsInitials) {
    constexpr auto hello = QUICInitialStatus::clientHello;
    constexpr auto more = QUICInitialStatus::needsMorePackets;
    const std::string chromium = "tolvane-browser-test.example.org";
    struct Case {
        std::vector<std::pair<std::string, QUICInitialStatus>> files;
        std::string name, protocol;
    };
    const std::vector<Case> cases = {
        {{{"ngtcp2-initial.bin", hello}, {"ngtcp2-retransmission.bin", hello}}, "localhost", "h3"},
        {{{"chromium-1.bin", more}, {"chromium-2.bin", hello}}, chromium, "h3"},
        {{{"chromium-2.bin", more}, {"chromium-1.bin", hello}}, chromium, "h3"},
    };
    for (const auto& c : cases) {
        QUICInitialReader reader;
        for (const auto& [file, status] : c.files) {
            SCOPED_TRACE(file);
            const auto reading = reader.read(fixture(file));
            ASSERT_EQ(reading.status, status);
            if (status != hello) continue;
            EXPECT_EQ(reading.hello.serverName, c.name);
            ASSERT_GE(reading.hello.protocolCount, 1u);
            EXPECT_EQ(reading.hello.protocols[0], c.protocol);
        }
    }
}

// A ClientHello too large for one packet arrives in two, often the second first; packets
// may be coalesced, retransmitted, or followed by packets of other types.
TEST(QUICInitialTests, ReassemblesAClientHelloAcrossInitials) {
    for (const auto version : versions) {
        const Bytes hello = publishedClientHello(version);
        const auto half = std::span(hello).subspan(0, 100), rest = std::span(hello).subspan(100);
        Bytes firstFrames, secondFrames;
        appendCrypto(firstFrames, 0, half);
        // ACK and PING before the CRYPTO frame, as a client's later Initials carry.
        secondFrames = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
        appendCrypto(secondFrames, 100, rest);
        const Bytes first = seal(version, firstFrames, 0), second = seal(version, secondFrames, 1);

        QUICInitialReader reader;
        EXPECT_EQ(reader.read(second).status, QUICInitialStatus::needsMorePackets);
        const auto reading = reader.read(first);
        ASSERT_EQ(reading.status, QUICInitialStatus::clientHello);
        EXPECT_EQ(reading.hello.serverName, "example.com");

        // Both in one datagram, then a short-header packet the reader must not read as one.
        Bytes datagram = first;
        datagram.insert(datagram.end(), second.begin(), second.end());
        datagram.insert(datagram.end(), {0x40, 0xde, 0xad});
        reader.reset();
        EXPECT_EQ(reader.read(datagram).status, QUICInitialStatus::clientHello);

        // The CRYPTO frames out of order inside one packet, overlapping.
        Bytes both;
        appendCrypto(both, 50, std::span(hello).subspan(50));
        appendCrypto(both, 0, std::span(hello).subspan(0, 60));
        reader.reset();
        EXPECT_EQ(reader.read(seal(version, both, 0)).status, QUICInitialStatus::clientHello);
    }
}

// What cannot be opened leaves the flow as it was: a wrong tag, an unknown version, a cut
// datagram (other cuts and short headers are QUICInitialFuzz's). CRYPTO data past 4,096
// bytes is not waited for; data that is no ClientHello ends the flow; a frame no Initial
// may carry (STREAM) ends the packet, but what came before it counts.
TEST(QUICInitialTests, UnreadableInitialsChangeNothing) {
    const Bytes packet = fixture("rfc9001-client-initial.bin");
    QUICInitialReader reader;
    Bytes tampered = packet;
    tampered[600] ^= 1;
    EXPECT_EQ(reader.read(tampered).status, QUICInitialStatus::notReadableInitial);
    Bytes otherVersion = packet;
    otherVersion[1] = 0xff, otherVersion[4] = 0x1d;  // draft 29
    EXPECT_EQ(reader.read(otherVersion).status, QUICInitialStatus::notReadableInitial);
    EXPECT_EQ(reader.read(std::span(packet).first(packet.size() - 1)).status,
              QUICInitialStatus::notReadableInitial);
    EXPECT_EQ(reader.read(packet).status, QUICInitialStatus::clientHello);

    const Bytes hello = publishedClientHello(quicVersion1);
    Bytes far, notHello, stream;
    appendCrypto(far, 5000, hello);
    appendCrypto(notHello, 0, Bytes{0x02, 0x00, 0x00, 0x04, 0x03, 0x03, 0x00, 0x00});
    appendCrypto(stream, 0, hello);
    stream.insert(stream.end(), {0x08, 0x00, 0x01, 0xaa});
    for (const auto& [frames, status] : {std::pair{far, QUICInitialStatus::needsMorePackets},
                                         std::pair{notHello, QUICInitialStatus::notClientHello},
                                         std::pair{stream, QUICInitialStatus::clientHello}}) {
        reader.reset();
        EXPECT_EQ(reader.read(seal(quicVersion1, frames, 0)).status, status);
    }
}

}  // namespace tolvane::wire
