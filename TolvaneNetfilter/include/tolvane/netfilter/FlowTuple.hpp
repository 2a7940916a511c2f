// FlowTuple.hpp: the five facts that name one flow from this machine's side: protocol,
// addresses and ports, as a plain value to key tables with and to find the flow's socket by.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>

namespace tolvane::netfilter {

struct FlowTuple {
    std::uint8_t ipVersion = 4;  // 4 or 6
    std::uint8_t protocol = 0;   // IPPROTO_TCP or IPPROTO_UDP
    // Network order; an IPv4 address uses the first 4 bytes, the rest stay zero.
    std::array<std::uint8_t, 16> source{};
    std::array<std::uint8_t, 16> destination{};
    std::uint16_t sourcePort = 0;  // host order
    std::uint16_t destinationPort = 0;

    std::size_t addressLength() const { return ipVersion == 4 ? 4 : 16; }
    std::span<const std::uint8_t> sourceAddress() const { return {source.data(), addressLength()}; }
    std::span<const std::uint8_t> destinationAddress() const {
        return {destination.data(), addressLength()};
    }

    bool operator==(const FlowTuple&) const = default;
};

}  // namespace tolvane::netfilter

template <>
struct std::hash<tolvane::netfilter::FlowTuple> {
    std::size_t operator()(const tolvane::netfilter::FlowTuple& tuple) const noexcept;
};
