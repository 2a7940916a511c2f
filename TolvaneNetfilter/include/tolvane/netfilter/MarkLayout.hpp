// MarkLayout.hpp: where the filter keeps a flow's state in packet and connection marks. All
// of it lives under one contiguous mask, so that other users of the marks (VPN tools, policy
// routing) keep every bit outside it.
//
//   mask 0x00f80000 (the default): unit 0x00080000
//   state    field value   mark bits
//   -------  -----------   ----------
//   none     0             0x00000000   never decided (or decided by nobody yet)
//   allow    1             0x00080000   decided: stays in the kernel
//   reject   2             0x00100000   decided: refused by the filter table
//   pending  4             0x00200000   needs a decision: queued
//   held     5             0x00280000   allowed while its first bytes are counted: queued
//   seen     bit 8         0x00400000   packet only: the filter looked at this packet
//
// A queued packet that reaches the filter table as pending or held without `seen` went past
// a missing filter (queue bypass): it is refused, which is how the rules fail closed.
#pragma once

#include <cstdint>
#include <optional>

namespace tolvane::netfilter {

class MarkLayout {
public:
    static constexpr std::uint32_t defaultMask = 0x00f80000;

    enum class State : std::uint32_t { none = 0, allow = 1, reject = 2, pending = 4, held = 5 };

    // nullopt unless `mask` is one run of at least 4 contiguous bits.
    static std::optional<MarkLayout> make(std::uint32_t mask);

    std::uint32_t mask() const { return mask_; }
    // The bits of a state (without `seen`), and the seen bit.
    std::uint32_t bits(State state) const { return static_cast<std::uint32_t>(state) << shift_; }
    std::uint32_t seenBit() const { return 8u << shift_; }
    // The mask without the seen bit: what is saved to and restored from the connection mark.
    std::uint32_t stateMask() const { return 7u << shift_; }

    // The state a mark carries (an unknown field value reads as none).
    State state(std::uint32_t mark) const;
    // `mark` with its state replaced and `seen` set; bits outside the mask are kept.
    std::uint32_t decided(std::uint32_t mark, State state) const {
        return (mark & ~mask_) | bits(state) | seenBit();
    }

private:
    MarkLayout(std::uint32_t mask, unsigned shift) : mask_(mask), shift_(shift) {}
    std::uint32_t mask_;
    unsigned shift_;
};

}  // namespace tolvane::netfilter
