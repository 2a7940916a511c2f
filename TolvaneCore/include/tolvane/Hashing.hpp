// Hashing.hpp: the two ways our value types combine member hashes.
//
//   std::size_t h = std::hash<Domain>{}(domain);
//   h = hashCombine(h, std::hash<std::int64_t>{}(generation));   // order matters
//   h = hashCombine(h, unorderedHash(scope.domains()));           // a set: order does not
#pragma once

#include <cstddef>
#include <functional>

namespace tolvane {

// Mixes `value` into `seed`; the result depends on the order values are mixed in.
constexpr std::size_t hashCombine(std::size_t seed, std::size_t value) noexcept {
    return seed ^ (value + 0x9E3779B97F4A7C15ULL + (seed << 6) + (seed >> 2));
}

// A hash of a set that does not depend on iteration order, as set equality does not.
template <class Set>
std::size_t unorderedHash(const Set& set) {
    std::size_t sum = 0;
    for (const auto& element : set) {
        sum += std::hash<typename Set::value_type>{}(element)*0x9E3779B97F4A7C15ULL;
    }
    return sum ^ (set.size() * 0xC2B2AE3D27D4EB4FULL);
}

}  // namespace tolvane
