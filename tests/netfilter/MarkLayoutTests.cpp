// Tests for where flow states live in the marks, and for the flow tuple's hash.
#include <gtest/gtest.h>

#include <tolvane/netfilter/FlowTuple.hpp>
#include <tolvane/netfilter/MarkLayout.hpp>
#include <unordered_set>

namespace tolvane::netfilter {
namespace {

using State = MarkLayout::State;

TEST(MarkLayout, AcceptsOnlyOneRunOfAtLeastFourBits) {
    for (std::uint32_t mask : {0x0000000fu, 0xf0000000u, 0xffffffffu}) {
        EXPECT_TRUE(MarkLayout::make(mask)) << std::hex << mask;
    }
    for (std::uint32_t mask : {0u, 0x00000007u, 0x0000f0f0u, 0x80000007u, 0x00f00001u}) {
        EXPECT_FALSE(MarkLayout::make(mask)) << std::hex << mask;
    }
    EXPECT_EQ(MarkLayout::make(0xf0000000)->bits(State::held), 0x50000000u);
}

// Other users of the marks (a VPN's fwmark, routing bits) keep every bit outside the mask.
TEST(MarkLayout, ReadsAndDecidesStatesKeepingForeignBits) {
    const auto layout = *MarkLayout::make(MarkLayout::defaultMask);
    const std::uint32_t foreign = 0x8000ca01;
    for (State state : {State::none, State::allow, State::reject, State::pending, State::held}) {
        const std::uint32_t decided = layout.decided(foreign | layout.bits(State::pending), state);
        EXPECT_EQ(decided & ~layout.mask(), foreign);
        EXPECT_EQ(layout.state(decided), state);  // read with the seen bit set
        EXPECT_NE(decided & layout.seenBit(), 0u);
    }
    // Field values that name no state, and the mask's bit above the state field.
    for (std::uint32_t field : {3u, 6u, 7u}) EXPECT_EQ(layout.state(field << 19), State::none);
    EXPECT_EQ(layout.state(0x00800000 | layout.bits(State::allow)), State::allow);
}

TEST(FlowTuple, HashesEveryFieldApart) {
    FlowTuple base;
    base.source = {10, 0, 0, 1};
    std::vector<FlowTuple> tuples(7, base);
    tuples[1].source.swap(tuples[1].destination);
    tuples[2].sourcePort = 1;
    tuples[3].destinationPort = 1;
    tuples[4].protocol = 17;
    tuples[5].ipVersion = 6;
    tuples[6].source[15] = 1;
    std::unordered_set<std::size_t> hashes;
    for (const auto& t : tuples) hashes.insert(std::hash<FlowTuple>{}(t));
    EXPECT_EQ(hashes.size(), tuples.size());
}

}  // namespace
}  // namespace tolvane::netfilter
