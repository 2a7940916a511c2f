// Tests for the packet view: IPv4 options and fragments, the IPv6 extension-header walk, the
// TCP and UDP headers, and packets shorter than they say.
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
    put16(segment, 0, 50123);
    put16(segment, 2, 443);
    segment[4] = 0xde, segment[5] = 0xad, segment[6] = 0xbe, segment[7] = 0xef;
    segment[12] = static_cast<std::uint8_t>((5 + optionWords) << 4);
    segment[13] = TCPSegmentView::psh | TCPSegmentView::ack;
    segment.insert(segment.end(), payload.begin(), payload.end());
    return segment;
}

Bytes udpDatagram(const Bytes& payload) {
    Bytes datagram(8, 0);
    put16(datagram, 0, 5353);
    put16(datagram, 2, 53);
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
    packet[12] = 192, packet[13] = 0, packet[14] = 2, packet[15] = 1;
    packet[16] = 198, packet[17] = 51, packet[18] = 100, packet[19] = 7;
    packet.insert(packet.end(), transport.begin(), transport.end());
    return packet;
}

// An IPv6 packet whose extension headers are given as (type, bytes) pairs.
Bytes ipv6(std::uint8_t protocol, const Bytes& transport,
           const std::vector<std::pair<std::uint8_t, Bytes>>& extensions = {}) {
    Bytes packet(40, 0);
    packet[0] = 0x60;
    packet[8] = 0x20, packet[9] = 0x01, packet[10] = 0x0d, packet[11] = 0xb8;
    packet[39] = 1;
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
    EXPECT_EQ(view->ipVersion(), 4);
    EXPECT_EQ(Bytes(view->sourceAddress().begin(), view->sourceAddress().end()),
              (Bytes{192, 0, 2, 1}));
    EXPECT_EQ(view->destinationAddress()[0], 198);
    EXPECT_FALSE(view->isFragment());
    EXPECT_FALSE(view->udp());
    const auto tcp = view->tcp();
    ASSERT_TRUE(tcp);
    EXPECT_EQ(tcp->sourcePort(), 50123);
    EXPECT_EQ(tcp->destinationPort(), 443);
    EXPECT_EQ(tcp->sequenceNumber(), 0xdeadbeefu);
    EXPECT_TRUE(tcp->has(TCPSegmentView::psh));
    EXPECT_FALSE(tcp->has(TCPSegmentView::syn));
    EXPECT_EQ(Bytes(tcp->payload().begin(), tcp->payload().end()), hello);
    std::array<std::uint8_t, maximumClientHelloBytes> scratch{};
    EXPECT_EQ(readClientHello(tcp->payload(), scratch).hello.serverName, "curl.example.net");
}

TEST(PacketView, OnlyTheFirstIPv4FragmentHasATransportHeader) {
    // Views point into the packet: keep it alive.
    const auto firstPacket = ipv4(ipProtocolUDP, udpDatagram(Bytes(64, 7)), 0, 0x2000);
    const auto first = PacketView::make(firstPacket);
    ASSERT_TRUE(first);
    EXPECT_TRUE(first->isFragment());
    EXPECT_TRUE(first->hasTransportHeader());
    EXPECT_TRUE(first->udp());

    // A later piece starts with payload bytes that would misread as a header.
    const auto laterPacket = ipv4(ipProtocolUDP, udpDatagram(Bytes(64, 7)), 0, 185);
    const auto later = PacketView::make(laterPacket);
    ASSERT_TRUE(later);
    EXPECT_TRUE(later->isFragment());
    EXPECT_FALSE(later->hasTransportHeader());
    EXPECT_TRUE(later->transport().empty());
    EXPECT_FALSE(later->udp());
    EXPECT_EQ(later->protocol(), ipProtocolUDP);
}

TEST(PacketView, IPv6WalksExtensionHeadersToTheTransport) {
    const Bytes options(8, 0);         // hop-by-hop or destination options, 8 bytes
    const Bytes routingHeader(24, 0);  // length field 2: 24 bytes
    auto routing = routingHeader;
    routing[1] = 2;
    const Bytes firstPiece = {0, 0, 0x00, 0x01, 0, 0, 0, 9};  // offset 0, more fragments
    const auto payload = Bytes(40, 0x42);
    const auto packet = ipv6(ipProtocolUDP, udpDatagram(payload),
                             {{0, options}, {43, routing}, {44, firstPiece}, {60, options}});
    const auto view = PacketView::make(packet);
    ASSERT_TRUE(view);
    EXPECT_EQ(view->ipVersion(), 6);
    EXPECT_EQ(view->sourceAddress().size(), 16u);
    EXPECT_EQ(view->destinationAddress()[15], 1);
    EXPECT_TRUE(view->isFragment());
    const auto udp = view->udp();
    ASSERT_TRUE(udp);
    EXPECT_EQ(udp->destinationPort(), 53);
    EXPECT_EQ(Bytes(udp->payload().begin(), udp->payload().end()), payload);

    const Bytes laterPiece = {0, 0, 0x05, 0x00, 0, 0, 0, 9};  // offset 160
    const auto laterPacket = ipv6(ipProtocolTCP, tcpSegment({}), {{44, laterPiece}});
    const auto later = PacketView::make(laterPacket);
    ASSERT_TRUE(later);
    EXPECT_FALSE(later->hasTransportHeader());
    EXPECT_FALSE(later->tcp());
    EXPECT_EQ(later->protocol(), ipProtocolTCP);

    // An authentication header is not walked: the caller sees protocol 51 and its bytes.
    const auto unknownPacket = ipv6(ipProtocolTCP, tcpSegment({}), {{51, options}});
    const auto unknown = PacketView::make(unknownPacket);
    ASSERT_TRUE(unknown);
    EXPECT_EQ(unknown->protocol(), 51);
    EXPECT_EQ(unknown->transport().size(), 8u + 20u);
    EXPECT_FALSE(unknown->tcp());
}

TEST(PacketView, RefusesHeadersLongerThanTheBytes) {
    auto shortTotal = ipv4(ipProtocolTCP, tcpSegment({1, 2, 3}));
    put16(shortTotal, 2, 19);  // less than its own header
    auto longTotal = ipv4(ipProtocolTCP, tcpSegment({1, 2, 3}));
    put16(longTotal, 2, longTotal.size() + 1);
    auto ihl = ipv4(ipProtocolTCP, tcpSegment({}));
    ihl[0] = 0x44;
    auto ipv6Payload = ipv6(ipProtocolUDP, udpDatagram({}));
    put16(ipv6Payload, 4, ipv6Payload.size() - 39);
    Bytes overrunOptions(8, 0);
    overrunOptions[1] = 5;  // says 48 bytes
    const auto extension = ipv6(ipProtocolUDP, {}, {{60, overrunOptions}});
    for (const auto& packet : {shortTotal, longTotal, ihl, ipv6Payload, extension, Bytes{0x45},
                               Bytes(40, 0x50), Bytes{}}) {
        EXPECT_FALSE(PacketView::make(packet)) << packet.size();
    }
    // Every cut of a good packet either is refused or stays inside the cut.
    const auto whole = ipv6(ipProtocolTCP, tcpSegment(Bytes(30, 9), 2), {{0, Bytes(8, 0)}});
    for (std::size_t cut = 0; cut < whole.size(); ++cut) {
        EXPECT_FALSE(PacketView::make(std::span(whole).first(cut))) << cut;
    }
}

TEST(PacketView, TransportHeadersAreCheckedAgainstTheirOwnLengths) {
    auto offsetTooSmall = tcpSegment({});
    offsetTooSmall[12] = 0x40;
    auto offsetTooLarge = tcpSegment({1, 2});
    offsetTooLarge[12] = 0x60;
    EXPECT_FALSE(TCPSegmentView::make(offsetTooSmall));
    EXPECT_FALSE(TCPSegmentView::make(offsetTooLarge));
    EXPECT_FALSE(TCPSegmentView::make(Bytes(19, 0x50)));

    auto udp = udpDatagram({1, 2, 3, 4});
    udp.push_back(0xff);  // past the stated length: not payload
    ASSERT_TRUE(UDPDatagramView::make(udp));
    EXPECT_EQ(UDPDatagramView::make(udp)->payload().size(), 4u);
    put16(udp, 4, 7);
    EXPECT_FALSE(UDPDatagramView::make(udp));
    put16(udp, 4, udp.size() + 1);
    EXPECT_FALSE(UDPDatagramView::make(udp));
}

}  // namespace
}  // namespace tolvane::wire
