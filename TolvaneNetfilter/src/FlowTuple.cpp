#include <cstring>
#include <tolvane/netfilter/FlowTuple.hpp>

std::size_t std::hash<tolvane::netfilter::FlowTuple>::operator()(
    const tolvane::netfilter::FlowTuple& tuple) const noexcept {
    // Multiply-xorshift over the words of the tuple: cheap, and every byte reaches every bit.
    auto mix = [](std::uint64_t h, std::uint64_t word) {
        h ^= word;
        h *= 0x9e3779b97f4a7c15ull;
        return h ^ (h >> 29);
    };
    std::uint64_t words[4];
    std::memcpy(words, tuple.source.data(), 16);
    std::memcpy(words + 2, tuple.destination.data(), 16);
    std::uint64_t h = (std::uint64_t{tuple.ipVersion} << 48) |
                      (std::uint64_t{tuple.protocol} << 32) |
                      (std::uint64_t{tuple.sourcePort} << 16) | tuple.destinationPort;
    for (std::uint64_t word : words) h = mix(h, word);
    return static_cast<std::size_t>(mix(h, h >> 17));
}
