// PacketView.hpp: the IP header of one packet, and the TCP or UDP header behind it, as views
// into the packet's bytes. Nothing is copied; nothing past the given bytes is read.
//
//   packet bytes                                        result
//   --------------------------------------------------  ------------------------------------
//   45 00 00 3c ... 06 ... (IPv4, TCP)                  protocol 6, transport = TCP header on
//   45 00 ... 20 b9 ... (IPv4, fragment offset 1480)    protocol 17, no transport (fragment)
//   60 00 00 00 00 20 00 ... 3a ... (IPv6, ICMPv6)      protocol 58, transport = the rest
//   60 ... 00 (hop-by-hop) ... 11 (UDP)                 protocol 17, transport after options
//   45 00 05 dc (says 1500, 60 bytes given)             nullopt (shorter than it says)
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace tolvane::wire {

inline constexpr std::uint8_t ipProtocolTCP = 6;
inline constexpr std::uint8_t ipProtocolUDP = 17;

class TCPSegmentView;
class UDPDatagramView;

class PacketView {
public:
    // nullopt unless `packet` holds a whole IPv4 or IPv6 header and as many bytes as the header
    // says the packet has (link padding past that is left out). Views point into `packet`.
    static std::optional<PacketView> make(std::span<const std::uint8_t> packet);

    int ipVersion() const { return version_; }
    // 4 bytes for IPv4, 16 for IPv6, in network order.
    std::span<const std::uint8_t> sourceAddress() const { return source_; }
    std::span<const std::uint8_t> destinationAddress() const { return destination_; }
    // The protocol behind the IP headers: for IPv6, the first next-header value that is not
    // hop-by-hop, routing, fragment or destination options (or the one we stopped at).
    std::uint8_t protocol() const { return protocol_; }
    // A piece of a fragmented datagram. Only the first piece carries the transport header.
    bool isFragment() const { return fragment_; }
    bool hasTransportHeader() const { return transportPresent_; }
    // The bytes after the IP headers up to the packet's stated end; empty without a
    // transport header. A first fragment holds only the start of the datagram.
    std::span<const std::uint8_t> transport() const { return transport_; }

    // The TCP or UDP header, when the protocol matches and the header is whole.
    std::optional<TCPSegmentView> tcp() const;
    std::optional<UDPDatagramView> udp() const;

private:
    PacketView() = default;
    int version_ = 0;
    std::span<const std::uint8_t> source_, destination_, transport_;
    std::uint8_t protocol_ = 0;
    bool fragment_ = false;
    bool transportPresent_ = false;
};

class TCPSegmentView {
public:
    enum Flag : std::uint8_t {
        fin = 0x01,
        syn = 0x02,
        rst = 0x04,
        psh = 0x08,
        ack = 0x10,
        urg = 0x20,
        ece = 0x40,
        cwr = 0x80,
    };

    // nullopt unless `segment` holds a whole TCP header with its options.
    static std::optional<TCPSegmentView> make(std::span<const std::uint8_t> segment);

    std::uint16_t sourcePort() const { return sourcePort_; }
    std::uint16_t destinationPort() const { return destinationPort_; }
    std::uint32_t sequenceNumber() const { return sequence_; }
    std::uint32_t acknowledgementNumber() const { return acknowledgement_; }
    std::uint8_t flags() const { return flags_; }
    bool has(Flag flag) const { return (flags_ & flag) != 0; }
    std::span<const std::uint8_t> payload() const { return payload_; }

private:
    TCPSegmentView() = default;
    std::uint16_t sourcePort_ = 0, destinationPort_ = 0;
    std::uint32_t sequence_ = 0, acknowledgement_ = 0;
    std::uint8_t flags_ = 0;
    std::span<const std::uint8_t> payload_;
};

class UDPDatagramView {
public:
    // nullopt unless `datagram` holds the 8-byte header and the length it states (at least 8);
    // the payload ends where that length says.
    static std::optional<UDPDatagramView> make(std::span<const std::uint8_t> datagram);

    std::uint16_t sourcePort() const { return sourcePort_; }
    std::uint16_t destinationPort() const { return destinationPort_; }
    std::span<const std::uint8_t> payload() const { return payload_; }

private:
    UDPDatagramView() = default;
    std::uint16_t sourcePort_ = 0, destinationPort_ = 0;
    std::span<const std::uint8_t> payload_;
};

}  // namespace tolvane::wire
