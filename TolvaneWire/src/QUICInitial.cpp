#include <openssl/core_names.h>
#include <openssl/evp.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>
#include <string_view>
#include <tolvane/wire/QUICInitial.hpp>

namespace tolvane::wire {

namespace {
using Bytes = std::span<const std::uint8_t>;

constexpr std::array<std::uint8_t, 20> saltV1 = {0x38, 0x76, 0x2c, 0xf7, 0xf5, 0x59, 0x34,
                                                 0xb3, 0x4d, 0x17, 0x9a, 0xe6, 0xa4, 0xc8,
                                                 0x0c, 0xad, 0xcc, 0xbb, 0x7f, 0x0a};
constexpr std::array<std::uint8_t, 20> saltV2 = {0x0d, 0xed, 0xe3, 0xde, 0xf7, 0x00, 0xa6,
                                                 0xdb, 0x81, 0x93, 0x81, 0xbe, 0x6e, 0x26,
                                                 0x9d, 0xcb, 0xf9, 0xbd, 0x2e, 0xd9};
constexpr std::size_t tagBytes = 16, sampleBytes = 16, maximumConnectionIDBytes = 20;

// Long-header packet types; version 2 numbers them differently.
enum class PacketType { initial, zeroRTT, handshake, retry };
PacketType packetType(std::uint32_t version, std::uint8_t first) {
    const unsigned bits = (first >> 4) & 3u;
    if (version == quicVersion2) {
        constexpr PacketType v2[] = {PacketType::retry, PacketType::initial, PacketType::zeroRTT,
                                     PacketType::handshake};
        return v2[bits];
    }
    return static_cast<PacketType>(bits);
}

bool readVarint(Bytes b, std::size_t& at, std::uint64_t& value) {
    if (at >= b.size()) return false;
    const std::size_t length = std::size_t{1} << (b[at] >> 6);
    if (b.size() - at < length) return false;
    value = b[at] & 0x3fu;
    for (std::size_t i = 1; i < length; ++i) value = value << 8 | b[at + i];
    at += length;
    return true;
}

template <class T, void (*Free)(T*)>
struct Freeing {
    void operator()(T* p) const { Free(p); }
};
using MACContext = std::unique_ptr<EVP_MAC_CTX, Freeing<EVP_MAC_CTX, EVP_MAC_CTX_free>>;
using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, Freeing<EVP_CIPHER_CTX, EVP_CIPHER_CTX_free>>;

// Algorithms are fetched once per process (fetching costs a provider lookup under a lock);
// contexts are per thread, so readers on different threads never share one.
struct Algorithms {
    EVP_MAC* hmac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
    EVP_CIPHER* gcm = EVP_CIPHER_fetch(nullptr, "AES-128-GCM", nullptr);
    EVP_CIPHER* ecb = EVP_CIPHER_fetch(nullptr, "AES-128-ECB", nullptr);
};
const Algorithms& algorithms() {
    static const Algorithms fetched;
    return fetched;
}

MACContext makeHMAC() {
    MACContext context(algorithms().hmac ? EVP_MAC_CTX_new(algorithms().hmac) : nullptr);
    if (!context) return context;
    char digest[] = "SHA256";
    const OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
                                 OSSL_PARAM_construct_end()};
    if (EVP_MAC_CTX_set_params(context.get(), params) != 1) context.reset();
    return context;
}

struct Contexts {
    // The digest is set once here, so each step passes only its key and data.
    MACContext hmac = makeHMAC();
    CipherContext gcm{EVP_CIPHER_CTX_new()};
    CipherContext ecb{EVP_CIPHER_CTX_new()};

    bool ready() const {
        const Algorithms& a = algorithms();
        return a.gcm && a.ecb && hmac && gcm && ecb;
    }
};
Contexts& contexts() {
    thread_local Contexts perThread;
    return perThread;
}

// HMAC-SHA256(key, first || second) into `out` (32 bytes).
bool hmac(Contexts& c, Bytes key, Bytes first, Bytes second, std::span<std::uint8_t, 32> out) {
    std::size_t length = 0;
    return EVP_MAC_init(c.hmac.get(), key.data(), key.size(), nullptr) == 1 &&
           EVP_MAC_update(c.hmac.get(), first.data(), first.size()) == 1 &&
           EVP_MAC_update(c.hmac.get(), second.data(), second.size()) == 1 &&
           EVP_MAC_final(c.hmac.get(), out.data(), &length, out.size()) == 1 && length == 32;
}

// HKDF's two steps over a reused HMAC context. OpenSSL's HKDF (EVP_KDF) fetches HMAC anew on
// every call, which made deriving a connection ID's keys cost 4 µs, most of an Initial's
// budget; HKDF itself is only this composition of HMAC.
bool hkdfExtract(Contexts& c, Bytes salt, Bytes inputKey, std::span<std::uint8_t, 32> out) {
    return hmac(c, salt, inputKey, {}, out);
}

// HKDF-Expand-Label of TLS 1.3 with an empty context, for outputs of at most one HMAC block.
bool hkdfExpandLabel(Contexts& c, Bytes secret, std::string_view label,
                     std::span<std::uint8_t> out) {
    constexpr std::string_view prefix = "tls13 ";
    std::array<std::uint8_t, 4 + prefix.size() + 16 + 1> info{};
    std::size_t n = 0;
    info[n++] = static_cast<std::uint8_t>(out.size() >> 8);
    info[n++] = static_cast<std::uint8_t>(out.size());
    info[n++] = static_cast<std::uint8_t>(prefix.size() + label.size());
    for (char ch : prefix) info[n++] = static_cast<std::uint8_t>(ch);
    for (char ch : label) info[n++] = static_cast<std::uint8_t>(ch);
    info[n++] = 0;  // no context
    info[n++] = 1;  // HKDF-Expand's block counter: T(1) is all we need
    std::array<std::uint8_t, 32> block{};
    if (out.size() > block.size() || !hmac(c, secret, Bytes(info.data(), n), {}, block)) {
        return false;
    }
    std::copy_n(block.begin(), out.size(), out.begin());
    return true;
}

// The first five bytes of AES-ECB(hp, sample).
bool headerMask(Contexts& c, const QUICInitialKeys& keys, Bytes sample,
                std::array<std::uint8_t, 16>& mask) {
    int length = 0;
    return EVP_EncryptInit_ex2(c.ecb.get(), algorithms().ecb, keys.hp.data(), nullptr, nullptr) ==
               1 &&
           EVP_CIPHER_CTX_set_padding(c.ecb.get(), 0) == 1 &&
           EVP_EncryptUpdate(c.ecb.get(), mask.data(), &length, sample.data(),
                             static_cast<int>(sampleBytes)) == 1 &&
           length == static_cast<int>(sampleBytes);
}

std::array<std::uint8_t, 12> nonceFor(const QUICInitialKeys& keys, std::uint64_t packetNumber) {
    std::array<std::uint8_t, 12> nonce = keys.iv;
    for (int i = 0; i < 8; ++i) nonce[11 - i] ^= static_cast<std::uint8_t>(packetNumber >> (8 * i));
    return nonce;
}
}  // namespace

std::optional<QUICInitialKeys> deriveClientInitialKeys(std::uint32_t version,
                                                       Bytes destinationConnectionID) {
    if (version != quicVersion1 && version != quicVersion2) return std::nullopt;
    if (destinationConnectionID.size() > maximumConnectionIDBytes) return std::nullopt;
    Contexts& c = contexts();
    if (!c.ready()) return std::nullopt;
    const bool v2 = version == quicVersion2;
    std::array<std::uint8_t, 32> initialSecret{};
    QUICInitialKeys keys;
    if (!hkdfExtract(c, v2 ? Bytes(saltV2) : Bytes(saltV1), destinationConnectionID,
                     initialSecret) ||
        !hkdfExpandLabel(c, initialSecret, "client in", keys.secret) ||
        !hkdfExpandLabel(c, keys.secret, v2 ? "quicv2 key" : "quic key", keys.key) ||
        !hkdfExpandLabel(c, keys.secret, v2 ? "quicv2 iv" : "quic iv", keys.iv) ||
        !hkdfExpandLabel(c, keys.secret, v2 ? "quicv2 hp" : "quic hp", keys.hp)) {
        return std::nullopt;
    }
    return keys;
}

void QUICInitialReader::reset() {
    received_.fill(0);
    contiguous_ = 0;
    keysSet_ = false;
}

QUICInitialReading QUICInitialReader::read(Bytes datagram) {
    bool readOne = false;
    std::size_t at = 0;
    while (at < datagram.size()) {
        const Bytes packet = datagram.subspan(at);
        // A short header (no length) runs to the datagram's end and is never an Initial.
        if ((packet[0] & 0x80) == 0 || packet.size() < 7) break;
        const std::uint32_t version = std::uint32_t{packet[1]} << 24 |
                                      std::uint32_t{packet[2]} << 16 |
                                      std::uint32_t{packet[3]} << 8 | packet[4];
        // Another version's packets cannot even be delimited.
        if (version != quicVersion1 && version != quicVersion2) break;
        std::size_t p = 5;
        const std::size_t dcidLength = packet[p++];
        if (dcidLength > maximumConnectionIDBytes || packet.size() - p <= dcidLength) break;
        const Bytes dcid = packet.subspan(p, dcidLength);
        p += dcidLength;
        const std::size_t scidLength = packet[p++];
        if (scidLength > maximumConnectionIDBytes || packet.size() - p < scidLength) break;
        p += scidLength;
        const PacketType type = packetType(version, packet[0]);
        if (type == PacketType::retry) break;
        std::uint64_t value = 0;
        if (type == PacketType::initial) {
            if (!readVarint(packet, p, value) || packet.size() - p < value) break;
            p += value;  // the token
        }
        if (!readVarint(packet, p, value) || packet.size() - p < value) break;
        const std::size_t end = p + value;
        if (type == PacketType::initial && readPacket(packet.first(end), version, dcid, p)) {
            readOne = true;
        }
        at += end;
    }
    if (!readOne) return {};
    return reading();
}

bool QUICInitialReader::readPacket(Bytes packet, std::uint32_t version, Bytes dcid,
                                   std::size_t packetNumberOffset) {
    if (packet.size() > maximumPacketBytes ||
        packet.size() < packetNumberOffset + 4 + sampleBytes) {
        return false;
    }
    std::array<std::uint8_t, maximumPacketBytes> plaintext;
    std::size_t length = 0;
    bool opened = keysSet_ && keysVersion_ == version &&
                  openPacket(packet, keys_, packetNumberOffset, plaintext, length);
    if (!opened) {
        const auto own = deriveClientInitialKeys(version, dcid);
        if (!own || (keysSet_ && keysVersion_ == version && *own == keys_)) return false;
        if (!openPacket(packet, *own, packetNumberOffset, plaintext, length)) return false;
        keys_ = *own;
        keysVersion_ = version;
        keysSet_ = true;
    }
    takeFrames(Bytes(plaintext.data(), length));
    return true;
}

bool QUICInitialReader::openPacket(Bytes packet, const QUICInitialKeys& keys,
                                   std::size_t packetNumberOffset,
                                   std::span<std::uint8_t> plaintext,
                                   std::size_t& plaintextLength) {
    Contexts& c = contexts();
    if (!c.ready()) return false;
    std::array<std::uint8_t, 16> mask{};
    if (!headerMask(c, keys, packet.subspan(packetNumberOffset + 4, sampleBytes), mask)) {
        return false;
    }
    const std::uint8_t first = packet[0] ^ (mask[0] & 0x0fu);
    // Reserved bits set under protection mean the wrong keys or a broken client alike.
    if (first & 0x0cu) return false;
    const std::size_t packetNumberLength = (first & 0x03u) + 1;
    std::array<std::uint8_t, 4> packetNumberBytes{};
    std::uint64_t packetNumber = 0;
    for (std::size_t i = 0; i < packetNumberLength; ++i) {
        packetNumberBytes[i] = packet[packetNumberOffset + i] ^ mask[1 + i];
        packetNumber = packetNumber << 8 | packetNumberBytes[i];
    }
    // A client's first Initials are numbered from 0, so the truncated number is the number.
    const std::size_t payload = packetNumberOffset + packetNumberLength;
    if (packet.size() < payload + tagBytes) return false;
    const std::size_t cipherLength = packet.size() - payload - tagBytes;
    const auto nonce = nonceFor(keys, packetNumber);

    EVP_CIPHER_CTX* gcm = c.gcm.get();
    int length = 0, finalLength = 0;
    // The header with its protection removed is the associated data, fed in three pieces
    // rather than copied.
    if (EVP_DecryptInit_ex2(gcm, algorithms().gcm, keys.key.data(), nonce.data(), nullptr) != 1 ||
        EVP_DecryptUpdate(gcm, nullptr, &length, &first, 1) != 1 ||
        EVP_DecryptUpdate(gcm, nullptr, &length, packet.data() + 1,
                          static_cast<int>(packetNumberOffset - 1)) != 1 ||
        EVP_DecryptUpdate(gcm, nullptr, &length, packetNumberBytes.data(),
                          static_cast<int>(packetNumberLength)) != 1 ||
        EVP_DecryptUpdate(gcm, plaintext.data(), &length, packet.data() + payload,
                          static_cast<int>(cipherLength)) != 1 ||
        EVP_CIPHER_CTX_ctrl(gcm, EVP_CTRL_GCM_SET_TAG, static_cast<int>(tagBytes),
                            const_cast<std::uint8_t*>(packet.data() + payload + cipherLength)) !=
            1 ||
        EVP_DecryptFinal_ex(gcm, plaintext.data() + length, &finalLength) != 1) {
        return false;
    }
    plaintextLength = static_cast<std::size_t>(length + finalLength);
    return true;
}

bool QUICInitialReader::takeFrames(Bytes frames) {
    std::size_t at = 0;
    std::uint64_t a = 0, b = 0;
    while (at < frames.size()) {
        const std::uint8_t type = frames[at++];
        switch (type) {
            case 0x00:  // PADDING, usually hundreds of them
                while (at < frames.size() && frames[at] == 0) ++at;
                break;
            case 0x01:  // PING
                break;
            case 0x02:  // ACK
            case 0x03: {
                std::uint64_t ranges = 0;
                if (!readVarint(frames, at, a) || !readVarint(frames, at, b) ||
                    !readVarint(frames, at, ranges) || !readVarint(frames, at, a)) {
                    return false;
                }
                // Each range takes at least two bytes, so this ends with the frames.
                for (std::uint64_t i = 0; i < ranges; ++i) {
                    if (!readVarint(frames, at, a) || !readVarint(frames, at, b)) return false;
                }
                if (type == 0x03) {
                    for (int i = 0; i < 3; ++i) {
                        if (!readVarint(frames, at, a)) return false;
                    }
                }
                break;
            }
            case 0x06: {  // CRYPTO
                if (!readVarint(frames, at, a) || !readVarint(frames, at, b) ||
                    frames.size() - at < b) {
                    return false;
                }
                store(a, frames.subspan(at, b));
                at += b;
                break;
            }
            case 0x1c: {  // CONNECTION_CLOSE
                if (!readVarint(frames, at, a) || !readVarint(frames, at, a) ||
                    !readVarint(frames, at, b) || frames.size() - at < b) {
                    return false;
                }
                at += b;
                break;
            }
            default:
                return false;
        }
    }
    return true;
}

void QUICInitialReader::store(std::uint64_t offset, Bytes data) {
    constexpr std::size_t capacity = maximumClientHelloBytes;
    if (offset >= capacity || data.empty()) return;
    const std::size_t from = offset;
    const std::size_t to = from + std::min(data.size(), capacity - from);
    std::memcpy(crypto_.data() + from, data.data(), to - from);
    for (std::size_t i = from; i < to;) {
        const std::size_t bit = i % 64, n = std::min<std::size_t>(64 - bit, to - i);
        const std::uint64_t ones = n == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << n) - 1;
        received_[i / 64] |= ones << bit;
        i += n;
    }
    while (contiguous_ < capacity) {
        const std::size_t bit = contiguous_ % 64;
        const auto run =
            static_cast<std::size_t>(std::countr_one(received_[contiguous_ / 64] >> bit));
        if (run < 64 - bit) {
            contiguous_ += run;
            break;
        }
        contiguous_ += 64 - bit;
    }
}

QUICInitialReading QUICInitialReader::reading() {
    if (contiguous_ == 0) return {QUICInitialStatus::needsMorePackets, {}};
    const ClientHelloReading hello = readClientHelloMessage(Bytes(crypto_.data(), contiguous_));
    switch (hello.status) {
        case ClientHelloStatus::needsMoreBytes:
            return {QUICInitialStatus::needsMorePackets, {}};
        case ClientHelloStatus::notTLS:
            return {QUICInitialStatus::notClientHello, {}};
        case ClientHelloStatus::clientHello:
            return {QUICInitialStatus::clientHello, hello.hello};
    }
    return {};
}

std::size_t sealClientInitial(std::uint32_t version, Bytes destinationConnectionID,
                              Bytes sourceConnectionID, std::uint32_t packetNumber, Bytes frames,
                              std::span<std::uint8_t> out) {
    const auto keys = deriveClientInitialKeys(version, destinationConnectionID);
    if (!keys || sourceConnectionID.size() > maximumConnectionIDBytes) return 0;
    const std::size_t lengthField = 4 + frames.size() + tagBytes;
    const std::size_t header =
        7 + destinationConnectionID.size() + sourceConnectionID.size() + 1 + 2;
    const std::size_t total = header + lengthField;
    if (lengthField >= 0x4000 || out.size() < total) return 0;

    std::size_t n = 0;
    out[n++] = static_cast<std::uint8_t>(0xc3 | (version == quicVersion2 ? 0x10 : 0x00));
    for (int shift = 24; shift >= 0; shift -= 8)
        out[n++] = static_cast<std::uint8_t>(version >> shift);
    out[n++] = static_cast<std::uint8_t>(destinationConnectionID.size());
    n = static_cast<std::size_t>(std::copy(destinationConnectionID.begin(),
                                           destinationConnectionID.end(),
                                           out.begin() + static_cast<std::ptrdiff_t>(n)) -
                                 out.begin());
    out[n++] = static_cast<std::uint8_t>(sourceConnectionID.size());
    n = static_cast<std::size_t>(std::copy(sourceConnectionID.begin(), sourceConnectionID.end(),
                                           out.begin() + static_cast<std::ptrdiff_t>(n)) -
                                 out.begin());
    out[n++] = 0;  // no token
    out[n++] = static_cast<std::uint8_t>(0x40 | lengthField >> 8);
    out[n++] = static_cast<std::uint8_t>(lengthField);
    const std::size_t packetNumberOffset = n;
    for (int shift = 24; shift >= 0; shift -= 8)
        out[n++] = static_cast<std::uint8_t>(packetNumber >> shift);

    Contexts& c = contexts();
    EVP_CIPHER_CTX* gcm = c.gcm.get();
    const auto nonce = nonceFor(*keys, packetNumber);
    int length = 0, finalLength = 0;
    if (EVP_EncryptInit_ex2(gcm, algorithms().gcm, keys->key.data(), nonce.data(), nullptr) != 1 ||
        EVP_EncryptUpdate(gcm, nullptr, &length, out.data(), static_cast<int>(n)) != 1 ||
        EVP_EncryptUpdate(gcm, out.data() + n, &length, frames.data(),
                          static_cast<int>(frames.size())) != 1 ||
        EVP_EncryptFinal_ex(gcm, out.data() + n + length, &finalLength) != 1 ||
        EVP_CIPHER_CTX_ctrl(gcm, EVP_CTRL_GCM_GET_TAG, static_cast<int>(tagBytes),
                            out.data() + n + frames.size()) != 1) {
        return 0;
    }
    std::array<std::uint8_t, 16> mask{};
    if (!headerMask(c, *keys, Bytes(out.data() + packetNumberOffset + 4, sampleBytes), mask))
        return 0;
    out[0] ^= mask[0] & 0x0fu;
    for (std::size_t i = 0; i < 4; ++i) out[packetNumberOffset + i] ^= mask[1 + i];
    return total;
}

}  // namespace tolvane::wire
