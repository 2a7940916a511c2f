// Tests for the packet view: IPv4 options and fragments, and the IPv6 extension-header walk.
// Headers that disagree with their lengths are PacketViewFuzz's.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <tolvane/wire/PacketView.hpp>
#include <tolvane/wire/TLSClientHello.hpp>
#include <vector>

namespace tolvane::wire {
namespace {

using Bytes = std::vector<std::uint8_t>;

void put16(Bytes& bytes, std::size_t at, std::size_t value) {
    bytes[at] = static_cast<std::uint8_t>(value >> 8);
    bytes[at + 1] = static_cast<std::uint8_t>(value);
}

Bytes tcpSegment(const Bytes& payload, std::size_t optionWords = 0) {
    Bytes segment(20 + optionWords * 4, 0x01);  // options are NOPs
    segment[12] = static_cast<std::uint8_t>((5 + optionWords) << 4);
    segment[13] = TCPSegmentView::psh | TCPSegmentView::ack;
    segment.insert(segment.end(), payload.begin(), payload.end());
    return segment;
}

Bytes udpDatagram(const Bytes& payload) {
    Bytes datagram(8, 0);
    put16(datagram, 4, 8 + payload.size());
    datagram.insert(datagram.end(), payload.begin(), payload.end());
    return datagram;
}

Bytes ipv4(std::uint8_t protocol, const Bytes& transport, std::size_t optionWords = 0,
           std::uint16_t flagsAndOffset = 0) {
    Bytes packet(20 + optionWords * 4, 0);
    packet[0] = static_cast<std::uint8_t>(0x40 | (5 + optionWords));
    put16(packet, 2, packet.size() + transport.size());
    put16(packet, 6, flagsAndOffset);
    packet[8] = 64;
    packet[9] = protocol;
    packet.insert(packet.end(), transport.begin(), transport.end());
    return packet;
}

// An IPv6 packet whose extension headers are given as (type, bytes) pairs.
Bytes ipv6(std::uint8_t protocol, const Bytes& transport,
           const std::vector<std::pair<std::uint8_t, Bytes>>& extensions = {}) {
    Bytes packet(40, 0);
    packet[0] = 0x60;
    Bytes rest;
    std::vector<std::size_t> nextAt;
    for (const auto& [type, header] : extensions) {
        nextAt.push_back(rest.size());
        rest.insert(rest.end(), header.begin(), header.end());
    }
    for (std::size_t i = 0; i < nextAt.size(); ++i) {
        rest[nextAt[i]] = i + 1 < nextAt.size() ? extensions[i + 1].first : protocol;
    }
    packet[6] = extensions.empty() ? protocol : extensions.front().first;
    rest.insert(rest.end(), transport.begin(), transport.end());
    put16(packet, 4, rest.size());
    packet.insert(packet.end(), rest.begin(), rest.end());
    return packet;
}

Bytes realHello() {
    std::ifstream file(std::string(TOLVANE_FIXTURES_DIR) + "/wire/tls/curl.bin", std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(file), {});
}

TEST(PacketView, IPv4WithOptionsCarriesATCPSegmentWhoseHelloReads) {
    const auto hello = realHello();
    auto packet = ipv4(ipProtocolTCP, tcpSegment(hello, 3), 2);
    packet.insert(packet.end(), 6, 0xee);  // link padding past the stated length
    const auto view = PacketView::make(packet);
    ASSERT_TRUE(view);
    EXPECT_FALSE(view->isFragment());
    EXPECT_FALSE(view->udp());
    const auto tcp = view->tcp();
    ASSERT_TRUE(tcp);
    EXPECT_EQ(Bytes(tcp->payload().begin(), tcp->payload().end()), hello);
    std::array<std::uint8_t, maximumClientHelloBytes> scratch{};
    EXPECT_EQ(readClientHello(tcp->payload(), scratch).hello.serverName, "curl.example.net");
}

// Only a first fragment has a transport header: a later piece starts with payload bytes
// that would misread as one.
TEST(PacketView, OnlyFirstFragmentsHaveATransportHeader) {
    const Bytes firstPiece = {0, 0, 0x00, 0x01, 0, 0, 0, 9};  // offset 0, more fragments
    const Bytes laterPiece = {0, 0, 0x05, 0x00, 0, 0, 0, 9};  // offset 160
    const std::vector<std::pair<Bytes, bool>> packets = {
        {ipv4(ipProtocolUDP, udpDatagram(Bytes(64, 7)), 0, 0x2000), true},
        {ipv4(ipProtocolUDP, udpDatagram(Bytes(64, 7)), 0, 185), false},
        {ipv6(ipProtocolUDP, udpDatagram(Bytes(64, 7)), {{44, firstPiece}}), true},
        {ipv6(ipProtocolUDP, udpDatagram(Bytes(64, 7)), {{44, laterPiece}}), false},
    };
    for (const auto& [packet, first] : packets) {
        const auto view = PacketView::make(packet);
        ASSERT_TRUE(view);
        EXPECT_TRUE(view->isFragment());
        EXPECT_EQ(view->hasTransportHeader(), first);
        EXPECT_EQ(view->udp().has_value(), first);
        EXPECT_EQ(view->protocol(), ipProtocolUDP);
    }
}

TEST(PacketView, IPv6WalksExtensionHeadersToTheTransport) {
    const Bytes options(8, 0);  // hop-by-hop or destination options, 8 bytes
    Bytes routing(24, 0);
    routing[1] = 2;  // length field 2: 24 bytes
    const auto payload = Bytes(40, 0x42);
    const auto packet =
        ipv6(ipProtocolUDP, udpDatagram(payload),
             {{0, options}, {43, routing}, {44, {0, 0, 0x00, 0x01, 0, 0, 0, 9}}, {60, options}});
    const auto view = PacketView::make(packet);
    ASSERT_TRUE(view);
    const auto udp = view->udp();
    ASSERT_TRUE(udp);
    EXPECT_EQ(Bytes(udp->payload().begin(), udp->payload().end()), payload);

    // An authentication header is not walked: the caller sees protocol 51 and its bytes.
    const auto unknownPacket = ipv6(ipProtocolTCP, tcpSegment({}), {{51, options}});
    const auto unknown = PacketView::make(unknownPacket);
    ASSERT_TRUE(unknown);
    EXPECT_EQ(unknown->protocol(), 51);
    EXPECT_EQ(unknown->transport().size(), 8u + 20u);
    EXPECT_FALSE(unknown->tcp());
}

}  // namespace
}  // namespace tolvane::wire
