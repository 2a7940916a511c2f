// QUICInitial.hpp: the ClientHello a QUIC client sends in its Initial packets (versions 1 and
// 2), decrypted with the keys anyone can derive from the packet's Destination Connection ID,
// and read for its server name.
//
//   datagrams of one flow, in arrival order                reading
//   ----------------------------------------------------  ---------------------------------
//   Initial, CRYPTO [0, 1200) of a 1.9 kB ClientHello      needsMorePackets
//   Initial, CRYPTO [1200, 1900) (or the two swapped)      clientHello, serverName "..."
//   short header, Handshake only, version 0xff00001d       notReadableInitial (state kept)
//   Initial whose tag does not verify                      notReadableInitial (state kept)
//   Initial, CRYPTO holding something else than a hello    notClientHello
//
// A datagram may hold several coalesced packets: every Initial in it is read, other long-header
// packets (0-RTT, Handshake) are stepped over, and a short-header packet ends the datagram.
// PADDING, PING, ACK and CONNECTION_CLOSE frames are stepped over; any other frame ends its
// packet (none is allowed in an Initial). CRYPTO data past maximumClientHelloBytes is not
// kept: a ClientHello that long is no ClientHello to us, as over TCP.
//
// Keys come from the Destination Connection ID of the first Initial read; a later Initial is
// opened with them and, failing that, with keys of its own Destination Connection ID (a
// client starts over with a new one after a Retry).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <tolvane/wire/TLSClientHello.hpp>

namespace tolvane::wire {

inline constexpr std::uint32_t quicVersion1 = 0x00000001;
inline constexpr std::uint32_t quicVersion2 = 0x6b3343cf;

// What protects a client's Initial packets, derived from the Destination Connection ID.
struct QUICInitialKeys {
    std::array<std::uint8_t, 32> secret{};  // client_initial_secret
    std::array<std::uint8_t, 16> key{};
    std::array<std::uint8_t, 12> iv{};
    std::array<std::uint8_t, 16> hp{};

    bool operator==(const QUICInitialKeys&) const = default;
};

// Nothing for a version other than 1 and 2 or a connection ID over 20 bytes.
std::optional<QUICInitialKeys> deriveClientInitialKeys(
    std::uint32_t version, std::span<const std::uint8_t> destinationConnectionID);

enum class QUICInitialStatus { notReadableInitial, needsMorePackets, notClientHello, clientHello };

struct QUICInitialReading {
    QUICInitialStatus status = QUICInitialStatus::notReadableInitial;
    ClientHelloInfo hello;  // meaningful only for clientHello
};

// Reads the client Initials of one flow. Holds the flow's CRYPTO bytes in a fixed buffer and
// allocates nothing. Views in a reading point into the reader: they stay valid until the next
// read or reset, and while the reader lives. One thread at a time per reader; readers on
// different threads share nothing (each thread keeps its own cipher contexts).
class QUICInitialReader {
public:
    // The largest Initial packet opened; larger ones are not readable (clients send their
    // Initials in datagrams of 1,200 bytes up to the path's MTU).
    static constexpr std::size_t maximumPacketBytes = 2048;

    // One UDP datagram from the client, as it came. The result is the flow's state after it:
    // a datagram without a readable Initial answers notReadableInitial and changes nothing.
    QUICInitialReading read(std::span<const std::uint8_t> datagram);

    // Forgets the flow, to read another one.
    void reset();

private:
    bool readPacket(std::span<const std::uint8_t> packet, std::uint32_t version,
                    std::span<const std::uint8_t> destinationConnectionID,
                    std::size_t packetNumberOffset);
    bool openPacket(std::span<const std::uint8_t> packet, const QUICInitialKeys& keys,
                    std::size_t packetNumberOffset, std::span<std::uint8_t> plaintext,
                    std::size_t& plaintextLength);
    bool takeFrames(std::span<const std::uint8_t> frames);
    void store(std::uint64_t offset, std::span<const std::uint8_t> data);
    QUICInitialReading reading();

    std::array<std::uint8_t, maximumClientHelloBytes> crypto_{};
    // One bit per byte of crypto_ received, and how many bytes from offset 0 are.
    std::array<std::uint64_t, maximumClientHelloBytes / 64> received_{};
    std::size_t contiguous_ = 0;
    bool keysSet_ = false;
    std::uint32_t keysVersion_ = 0;
    QUICInitialKeys keys_;
};

// A client Initial as a client would send it, for tests and the network laboratory: the long
// header with the given connection IDs, no token, a 4-byte packet number, then `frames`
// protected under the version's keys. Writes into `out` and returns the packet's length, or 0
// when it does not fit or the version is unknown. Add PADDING frames to `frames` to reach
// 1,200 bytes.
std::size_t sealClientInitial(std::uint32_t version,
                              std::span<const std::uint8_t> destinationConnectionID,
                              std::span<const std::uint8_t> sourceConnectionID,
                              std::uint32_t packetNumber, std::span<const std::uint8_t> frames,
                              std::span<std::uint8_t> out);

}  // namespace tolvane::wire
