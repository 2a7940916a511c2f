// BigEndian.hpp: network-order integers at a position in bytes the caller has bounds-checked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace tolvane::wire::detail {

// REQUIRES: at + 2 <= bytes.size().
inline std::uint16_t bigEndian16(std::span<const std::uint8_t> bytes, std::size_t at) {
    return static_cast<std::uint16_t>(bytes[at] << 8 | bytes[at + 1]);
}

// REQUIRES: at + 4 <= bytes.size().
inline std::uint32_t bigEndian32(std::span<const std::uint8_t> bytes, std::size_t at) {
    return std::uint32_t{bigEndian16(bytes, at)} << 16 | bigEndian16(bytes, at + 2);
}

}  // namespace tolvane::wire::detail
