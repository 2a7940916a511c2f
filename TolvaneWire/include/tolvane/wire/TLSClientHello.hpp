// TLSClientHello.hpp: the server name, ALPN list and Encrypted Client Hello offer of a TLS
// ClientHello, read from a TCP flow's first outbound bytes or from the handshake bytes a QUIC
// Initial carries.
//
//   first outbound bytes                                  result
//   ----------------------------------------------------  -----------------------------------
//   16 03 01 02 00 01 00 01 fc 03 03 ... (whole record)   clientHello, serverName "example.com"
//   16 03 01 02 00 01                                     needsMoreBytes
//   47 45 54 20 2f ... ("GET / ...")                      notTLS
//   a ClientHello still unfinished at byte 4096           notTLS (we stop looking there)
//   server_name "exa mple.com" or "example.com\0x"        clientHello, no serverName
//   server_name "example.com."                            clientHello, serverName "example.com"
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace tolvane::wire {

// Never look further than this into a flow for its ClientHello.
inline constexpr std::size_t maximumClientHelloBytes = 4096;

struct ClientHelloInfo {
    // The host_name entry of server_name, when it is a valid host name (see
    // isPlausibleHostName; one trailing dot is left out of the view). A view into the bytes
    // read (see each reader).
    std::optional<std::string_view> serverName;
    // The protocols of application_layer_protocol_negotiation, in order; at most the first
    // `maximumProtocols` of them.
    static constexpr std::size_t maximumProtocols = 8;
    std::array<std::string_view, maximumProtocols> protocols{};
    std::size_t protocolCount = 0;
    // The ClientHello carries encrypted_client_hello (0xfe0d): the visible name may then be
    // a relay's public name, or (GREASE) the real one; the caller decides what that means.
    bool offersEncryptedClientHello = false;
};

// notTLS also covers a ClientHello that is malformed (servers refuse it too) and one that
// does not end within maximumClientHelloBytes: both leave the flow without a readable name,
// as any protocol we cannot read does, so one answer serves the caller.
enum class ClientHelloStatus { needsMoreBytes, notTLS, clientHello };

struct ClientHelloReading {
    ClientHelloStatus status = ClientHelloStatus::needsMoreBytes;
    ClientHelloInfo hello;  // meaningful only for clientHello
};

// One handshake message as QUIC carries it in CRYPTO frames (no record layer): type 1, a
// 24-bit length, the body. Views in the result point into `handshake`. needsMoreBytes when
// `handshake` is a prefix of a ClientHello that fits in maximumClientHelloBytes.
ClientHelloReading readClientHelloMessage(std::span<const std::uint8_t> handshake);

// The ClientHello at the start of a TCP flow: `flowBytes` are the flow's first outbound bytes
// in order (everything so far, from the first byte; bytes past maximumClientHelloBytes are
// not looked at). Call again with more bytes while the answer is needsMoreBytes.
//
// A ClientHello inside its first record is read in place: views point into `flowBytes`. One
// spread over several records is put together in `scratch`: views then point into
// `scratch`. Keep both alive, and `scratch` unchanged, while you use the views.
// REQUIRES: `scratch` does not overlap `flowBytes`.
ClientHelloReading readClientHello(std::span<const std::uint8_t> flowBytes,
                                   std::span<std::uint8_t, maximumClientHelloBytes> scratch);

// Whether `name` is a host name as a server_name may carry it: 1 to 253 bytes, labels of 1 to
// 63 letters, digits, '-' or '_', separated by single dots, no dot at either end.
bool isPlausibleHostName(std::string_view name);

}  // namespace tolvane::wire
