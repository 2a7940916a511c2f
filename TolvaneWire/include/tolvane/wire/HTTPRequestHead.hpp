// HTTPRequestHead.hpp: the host an HTTP/1.x request names, read from a TCP flow's first
// outbound bytes (request line and header fields, within maximumRequestHeadBytes).
//
//   first outbound bytes                                   result
//   -----------------------------------------------------  ----------------------------------
//   GET / HTTP/1.1\r\nhOsT: Example.com:8080\r\n\r\n       host "Example.com", port 8080
//   GET / HTTP/1.1\r\nHost: [2001:db8::1]\r\n\r\n          host "2001:db8::1" (address literal)
//   GET http://proxied.example/ HTTP/1.1\r\n...\r\n\r\n    host "proxied.example" (target wins)
//   CONNECT example.net:443 HTTP/1.1\r\n\r\n               host "example.net", port 443
//   GET / HTTP/1.0\r\n\r\n                                 noHost
//   GET / HTTP/1.1\r\nHost: exa                            needsMoreBytes
//   \x16\x03\x01... or "SSH-2.0-..."                       notHTTP
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace tolvane::wire {

// Never look further than this into a flow for its request head.
inline constexpr std::size_t maximumRequestHeadBytes = 4096;

enum class HTTPRequestHeadStatus {
    needsMoreBytes,
    // Not an HTTP/1.x request, or one that servers refuse (two Host fields that differ, a
    // request line or field that breaks the syntax).
    notHTTP,
    // A request without a usable host: no Host field, an empty one, or one that is not a host.
    noHost,
    host,
};

struct HTTPRequestHead {
    HTTPRequestHeadStatus status = HTTPRequestHeadStatus::needsMoreBytes;
    // For `host`: the host as written (letter case kept; brackets taken off an IPv6 literal),
    // a view into the bytes read.
    std::string_view host;
    bool hostIsIPv6Literal = false;
    std::optional<std::uint16_t> port;
};

// The request head at the start of `flowBytes` (the flow's first outbound bytes in order;
// bytes past maximumRequestHeadBytes are not looked at). The answer waits for the end of the
// head so that a second Host field is seen; a head that runs past the cap is judged on what
// came before it. The host of an absolute-form or authority-form target wins over Host, as
// it does for servers.
HTTPRequestHead readHTTPRequestHead(std::span<const std::uint8_t> flowBytes);

}  // namespace tolvane::wire
