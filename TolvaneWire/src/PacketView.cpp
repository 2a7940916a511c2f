// PacketView.cpp: IP, TCP and UDP headers, each length checked before it is used.
#include <tolvane/wire/PacketView.hpp>

#include "BigEndian.hpp"

namespace tolvane::wire {
namespace {

using detail::bigEndian16;
using detail::bigEndian32;

constexpr std::size_t ipv4HeaderBytes = 20;
constexpr std::size_t ipv6HeaderBytes = 40;

constexpr std::uint8_t hopByHop = 0;
constexpr std::uint8_t routing = 43;
constexpr std::uint8_t fragmentHeader = 44;
constexpr std::uint8_t destinationOptions = 60;

}  // namespace

std::optional<PacketView> PacketView::make(std::span<const std::uint8_t> packet) {
    if (packet.empty()) return std::nullopt;
    PacketView view;
    view.version_ = packet[0] >> 4;
    if (view.version_ == 4) {
        if (packet.size() < ipv4HeaderBytes) return std::nullopt;
        const std::size_t headerBytes = std::size_t{packet[0] & 0x0fu} * 4;
        const std::size_t totalBytes = bigEndian16(packet, 2);
        if (headerBytes < ipv4HeaderBytes || totalBytes < headerBytes ||
            totalBytes > packet.size()) {
            return std::nullopt;
        }
        const auto flagsAndOffset = bigEndian16(packet, 6);
        const bool moreFragments = (flagsAndOffset & 0x2000) != 0;
        const bool firstPiece = (flagsAndOffset & 0x1fff) == 0;
        view.source_ = packet.subspan(12, 4);
        view.destination_ = packet.subspan(16, 4);
        view.protocol_ = packet[9];
        view.fragment_ = moreFragments || !firstPiece;
        view.transportPresent_ = firstPiece;
        if (firstPiece) view.transport_ = packet.subspan(headerBytes, totalBytes - headerBytes);
        return view;
    }
    if (view.version_ != 6 || packet.size() < ipv6HeaderBytes) return std::nullopt;
    // A zero payload length means a jumbogram, which no link we read from carries.
    const std::size_t payloadBytes = bigEndian16(packet, 4);
    if (payloadBytes == 0 && packet[6] != 59) return std::nullopt;
    if (payloadBytes > packet.size() - ipv6HeaderBytes) return std::nullopt;
    view.source_ = packet.subspan(8, 16);
    view.destination_ = packet.subspan(24, 16);
    auto rest = packet.subspan(ipv6HeaderBytes, payloadBytes);
    std::uint8_t next = packet[6];
    view.transportPresent_ = true;
    // Every extension header takes at least 8 bytes, so the walk ends within the packet.
    while (next == hopByHop || next == routing || next == fragmentHeader ||
           next == destinationOptions) {
        if (rest.size() < 8) return std::nullopt;
        const std::size_t headerBytes = next == fragmentHeader ? 8 : (std::size_t{rest[1]} + 1) * 8;
        if (headerBytes > rest.size()) return std::nullopt;
        if (next == fragmentHeader) {
            const auto offsetAndFlags = bigEndian16(rest, 2);
            view.fragment_ = true;
            if ((offsetAndFlags & 0xfff8) != 0) {
                // A later piece: its bytes continue a transport payload, not start one.
                view.protocol_ = rest[0];
                view.transportPresent_ = false;
                return view;
            }
        }
        next = rest[0];
        rest = rest.subspan(headerBytes);
    }
    view.protocol_ = next;
    view.transport_ = rest;
    return view;
}

std::optional<TCPSegmentView> PacketView::tcp() const {
    if (!transportPresent_ || protocol_ != ipProtocolTCP) return std::nullopt;
    return TCPSegmentView::make(transport_);
}

std::optional<UDPDatagramView> PacketView::udp() const {
    if (!transportPresent_ || protocol_ != ipProtocolUDP) return std::nullopt;
    return UDPDatagramView::make(transport_);
}

std::optional<TCPSegmentView> TCPSegmentView::make(std::span<const std::uint8_t> segment) {
    if (segment.size() < 20) return std::nullopt;
    const std::size_t headerBytes = (std::size_t{segment[12]} >> 4) * 4;
    if (headerBytes < 20 || headerBytes > segment.size()) return std::nullopt;
    TCPSegmentView view;
    view.sourcePort_ = bigEndian16(segment, 0);
    view.destinationPort_ = bigEndian16(segment, 2);
    view.sequence_ = bigEndian32(segment, 4);
    view.acknowledgement_ = bigEndian32(segment, 8);
    view.flags_ = segment[13];
    view.payload_ = segment.subspan(headerBytes);
    return view;
}

std::optional<UDPDatagramView> UDPDatagramView::make(std::span<const std::uint8_t> datagram) {
    if (datagram.size() < 8) return std::nullopt;
    const std::size_t length = bigEndian16(datagram, 4);
    if (length < 8 || length > datagram.size()) return std::nullopt;
    UDPDatagramView view;
    view.sourcePort_ = bigEndian16(datagram, 0);
    view.destinationPort_ = bigEndian16(datagram, 2);
    view.payload_ = datagram.subspan(8, length - 8);
    return view;
}

}  // namespace tolvane::wire
