// TLSClientHello.cpp: reads a ClientHello with bounds checks on every length, without
// allocating; everything it reports is a view into the caller's bytes.
#include <algorithm>
#include <cstring>
#include <tolvane/wire/TLSClientHello.hpp>

namespace tolvane::wire {
namespace {

constexpr std::uint8_t handshakeRecord = 0x16;
constexpr std::uint8_t clientHelloType = 0x01;
constexpr std::size_t recordHeaderBytes = 5;
constexpr std::size_t handshakeHeaderBytes = 4;
// A record's payload may not exceed 2^14 bytes.
constexpr std::size_t maximumRecordPayload = 16384;

constexpr std::uint16_t serverNameExtension = 0x0000;
constexpr std::uint16_t alpnExtension = 0x0010;
constexpr std::uint16_t encryptedClientHelloExtension = 0xfe0d;

// A cursor over bytes that fails (and stays failed) rather than read past the end.
class Reader {
public:
    explicit Reader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    bool ok() const { return ok_; }
    bool atEnd() const { return position_ == bytes_.size(); }
    std::size_t remaining() const { return bytes_.size() - position_; }

    std::uint32_t number(std::size_t width) {
        if (!ok_ || remaining() < width) {
            ok_ = false;
            return 0;
        }
        const auto* p = bytes_.data() + position_;
        position_ += width;
        switch (width) {
            case 1:
                return p[0];
            case 2:
                return (std::uint32_t{p[0]} << 8) | p[1];
            default:
                return (std::uint32_t{p[0]} << 16) | (std::uint32_t{p[1]} << 8) | p[2];
        }
    }
    std::span<const std::uint8_t> take(std::size_t count) {
        if (!ok_ || remaining() < count) {
            ok_ = false;
            return {};
        }
        auto part = bytes_.subspan(position_, count);
        position_ += count;
        return part;
    }
    // A vector with a `width`-byte length prefix.
    std::span<const std::uint8_t> vector(std::size_t width) { return take(number(width)); }

private:
    std::span<const std::uint8_t> bytes_;
    std::size_t position_ = 0;
    bool ok_ = true;
};

// A reading without a hello; cheap to return, as most answers on the hot path are not this.
ClientHelloReading answer(ClientHelloStatus status) {
    ClientHelloReading reading;
    reading.status = status;
    return reading;
}

std::string_view text(std::span<const std::uint8_t> bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// server_name: a list of (type, name); only host_name (0) is defined, one of each type.
bool readServerName(std::span<const std::uint8_t> body, ClientHelloInfo& hello) {
    Reader extension(body);
    Reader list(extension.vector(2));
    if (!extension.ok() || !extension.atEnd()) return false;
    bool seenHostName = false;
    while (list.ok() && !list.atEnd()) {
        const auto type = list.number(1);
        const auto name = list.vector(2);
        if (!list.ok()) return false;
        if (type != 0) continue;
        if (seenHostName) return false;
        seenHostName = true;
        auto candidate = text(name);
        // Clients should not send the root's dot, but servers that take "example.com." serve
        // example.com, so it is read as that.
        if (candidate.size() > 1 && candidate.back() == '.') candidate.remove_suffix(1);
        if (isPlausibleHostName(candidate)) hello.serverName = candidate;
    }
    return list.ok();
}

bool readProtocols(std::span<const std::uint8_t> body, ClientHelloInfo& hello) {
    Reader extension(body);
    Reader list(extension.vector(2));
    if (!extension.ok() || !extension.atEnd() || list.atEnd()) return false;
    while (list.ok() && !list.atEnd()) {
        const auto protocol = list.vector(1);
        if (!list.ok() || protocol.empty()) return false;
        if (hello.protocolCount < ClientHelloInfo::maximumProtocols) {
            hello.protocols[hello.protocolCount++] = text(protocol);
        }
    }
    return list.ok();
}

// The body of a ClientHello handshake message (after type and length).
ClientHelloReading readBody(std::span<const std::uint8_t> body) {
    Reader reader(body);
    const auto legacyVersion = reader.number(2);
    reader.take(32);  // random
    const auto sessionID = reader.vector(1);
    const auto cipherSuites = reader.vector(2);
    const auto compressionMethods = reader.vector(1);
    if (!reader.ok() || (legacyVersion >> 8) != 3 || sessionID.size() > 32 ||
        cipherSuites.size() < 2 || cipherSuites.size() % 2 != 0 || compressionMethods.empty()) {
        return answer(ClientHelloStatus::notTLS);
    }
    ClientHelloReading reading{ClientHelloStatus::clientHello, {}};
    if (reader.atEnd()) return reading;  // an old client without extensions

    Reader extensions(reader.vector(2));
    if (!reader.ok() || !reader.atEnd()) return answer(ClientHelloStatus::notTLS);
    // Extension types may each appear once; duplicates make servers refuse the hello.
    bool seenServerName = false, seenProtocols = false;
    while (!extensions.atEnd()) {
        const auto type = extensions.number(2);
        const auto extension = extensions.vector(2);
        if (!extensions.ok()) return answer(ClientHelloStatus::notTLS);
        switch (type) {
            case serverNameExtension:
                if (seenServerName || !readServerName(extension, reading.hello))
                    return answer(ClientHelloStatus::notTLS);
                seenServerName = true;
                break;
            case alpnExtension:
                if (seenProtocols || !readProtocols(extension, reading.hello))
                    return answer(ClientHelloStatus::notTLS);
                seenProtocols = true;
                break;
            case encryptedClientHelloExtension:
                if (reading.hello.offersEncryptedClientHello)
                    return answer(ClientHelloStatus::notTLS);
                reading.hello.offersEncryptedClientHello = true;
                break;
            default:
                break;
        }
    }
    return reading;
}

std::size_t handshakeLength(std::span<const std::uint8_t, handshakeHeaderBytes> header) {
    return (std::size_t{header[1]} << 16) | (std::size_t{header[2]} << 8) | header[3];
}

// Letters, digits, '-' and '_': one table look-up per byte of a name.
constexpr std::array<bool, 256> labelBytes = [] {
    std::array<bool, 256> table{};
    for (int c = 0; c < 256; ++c) {
        table[static_cast<std::size_t>(c)] = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                                             (c >= '0' && c <= '9') || c == '-' || c == '_';
    }
    return table;
}();

bool isLabelByte(char c) {
    return labelBytes[static_cast<unsigned char>(c)];
}

}  // namespace

bool isPlausibleHostName(std::string_view name) {
    if (name.empty() || name.size() > 253) return false;
    std::size_t label = 0;
    for (const char c : name) {
        if (c == '.') {
            if (label == 0) return false;
            label = 0;
        } else if (isLabelByte(c) && ++label <= 63) {
            continue;
        } else {
            return false;
        }
    }
    return label != 0;
}

ClientHelloReading readClientHelloMessage(std::span<const std::uint8_t> handshake) {
    if (!handshake.empty() && handshake[0] != clientHelloType) {
        return {ClientHelloStatus::notTLS, {}};
    }
    if (handshake.size() < handshakeHeaderBytes) return {};
    const auto length = handshakeLength(handshake.first<handshakeHeaderBytes>());
    if (length + handshakeHeaderBytes > maximumClientHelloBytes) {
        return {ClientHelloStatus::notTLS, {}};
    }
    if (handshake.size() < handshakeHeaderBytes + length) return {};
    return readBody(handshake.subspan(handshakeHeaderBytes, length));
}

ClientHelloReading readClientHello(std::span<const std::uint8_t> flowBytes,
                                   std::span<std::uint8_t, maximumClientHelloBytes> scratch) {
    const bool capped = flowBytes.size() >= maximumClientHelloBytes;
    flowBytes = flowBytes.first(std::min(flowBytes.size(), maximumClientHelloBytes));
    // At the cap, an unfinished ClientHello will not be finished within what we look at.
    const auto incomplete = capped ? ClientHelloStatus::notTLS : ClientHelloStatus::needsMoreBytes;

    // The message is gathered record by record; `assembled` bytes of it are in `scratch`
    // (or, while it lies within the first record, counted in place).
    std::size_t position = 0;
    std::size_t assembled = 0;
    std::size_t messageBytes = 0;  // known once the handshake header is in
    bool inPlace = true;
    while (true) {
        // Judge the record header byte by byte, so that other protocols are told apart early.
        const auto available = flowBytes.size() - position;
        const auto* header = flowBytes.data() + position;
        if (available >= 1 && header[0] != handshakeRecord)
            return answer(ClientHelloStatus::notTLS);
        if (available >= 2 && header[1] != 3) return answer(ClientHelloStatus::notTLS);
        if (available >= 3 && header[2] > 4) return answer(ClientHelloStatus::notTLS);
        if (available < recordHeaderBytes) return answer(incomplete);
        const std::size_t payloadBytes = (std::size_t{header[3]} << 8) | header[4];
        if (payloadBytes == 0 || payloadBytes > maximumRecordPayload)
            return answer(ClientHelloStatus::notTLS);
        const auto payload = flowBytes.subspan(
            position + recordHeaderBytes, std::min(payloadBytes, available - recordHeaderBytes));

        if (inPlace && position == 0) {
            // First record: the handshake header decides the message's size.
            if (!payload.empty() && payload[0] != clientHelloType)
                return answer(ClientHelloStatus::notTLS);
            if (payload.size() >= handshakeHeaderBytes) {
                messageBytes =
                    handshakeHeaderBytes + handshakeLength(payload.first<handshakeHeaderBytes>());
                // Every further record costs a header too, so this is the least it can take.
                if (recordHeaderBytes + messageBytes > maximumClientHelloBytes)
                    return answer(ClientHelloStatus::notTLS);
                if (messageBytes <= payloadBytes) {
                    if (payload.size() < messageBytes) return answer(incomplete);
                    return readBody(
                        payload.subspan(handshakeHeaderBytes, messageBytes - handshakeHeaderBytes));
                }
            }
            if (payload.size() < payloadBytes) return answer(incomplete);
            inPlace = false;
        }
        // Copy this record's part of the message into the scratch buffer.
        const auto wanted =
            messageBytes == 0 ? payload.size() : std::min(payload.size(), messageBytes - assembled);
        if (assembled + wanted > scratch.size()) return answer(ClientHelloStatus::notTLS);
        std::memcpy(scratch.data() + assembled, payload.data(), wanted);
        assembled += wanted;
        if (messageBytes == 0 && assembled >= handshakeHeaderBytes) {
            if (scratch[0] != clientHelloType) return answer(ClientHelloStatus::notTLS);
            messageBytes = handshakeHeaderBytes +
                           handshakeLength(std::span<const std::uint8_t, handshakeHeaderBytes>(
                               scratch.data(), handshakeHeaderBytes));
            if (recordHeaderBytes + messageBytes > maximumClientHelloBytes)
                return answer(ClientHelloStatus::notTLS);
            if (assembled > messageBytes) assembled = messageBytes;
        }
        if (messageBytes != 0 && assembled == messageBytes) {
            return readBody(std::span<const std::uint8_t>(scratch.data() + handshakeHeaderBytes,
                                                          messageBytes - handshakeHeaderBytes));
        }
        if (payload.size() < payloadBytes) return answer(incomplete);
        position += recordHeaderBytes + payloadBytes;
    }
}

}  // namespace tolvane::wire
