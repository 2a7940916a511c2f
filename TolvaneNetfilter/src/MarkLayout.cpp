#include <tolvane/netfilter/MarkLayout.hpp>

namespace tolvane::netfilter {

std::optional<MarkLayout> MarkLayout::make(std::uint32_t mask) {
    if (mask == 0) return std::nullopt;
    const unsigned shift = static_cast<unsigned>(__builtin_ctz(mask));
    const std::uint32_t run = mask >> shift;
    // One run of ones: adding one carries through it and clears every bit of it.
    if ((run & (run + 1)) != 0) return std::nullopt;
    if (__builtin_popcount(mask) < 4) return std::nullopt;
    return MarkLayout(mask, shift);
}

MarkLayout::State MarkLayout::state(std::uint32_t mark) const {
    switch ((mark & stateMask()) >> shift_) {
        case 1:
            return State::allow;
        case 2:
            return State::reject;
        case 4:
            return State::pending;
        case 5:
            return State::held;
        default:
            return State::none;
    }
}

}  // namespace tolvane::netfilter
