// Tests for where flow states live in the marks, and for the flow tuple's hash.
#include <gtest/gtest.h>

#include <tolvane/netfilter/FlowTuple.hpp>
#include <tolvane/netfilter/MarkLayout.hpp>
#include <unordered_set>

namespace tolvane::netfilter {
namespace {

using State = MarkLayout::State;

TEST(MarkLayout, AcceptsOnlyOneRunOfAtLeastFourBits) {
    const struct {
        std::uint32_t mask;
        bool accepted;
    } cases[] = {
        {0x00f80000, true},  {0x0000000f, true},  {0xf0000000, true},
        {0xffffffff, true},  {0x00000000, false}, {0x00000007, false},
        {0x0000f0f0, false}, {0x80000007, false}, {0x00f00001, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(MarkLayout::make(c.mask).has_value(), c.accepted) << std::hex << c.mask;
    }
}

TEST(MarkLayout, PlacesStatesAndSeenAtTheLowEndOfTheMask) {
    const struct {
        std::uint32_t mask, allow, held, seen, stateMask;
    } cases[] = {
        {0x00f80000, 0x00080000, 0x00280000, 0x00400000, 0x00380000},
        {0xf0000000, 0x10000000, 0x50000000, 0x80000000, 0x70000000},
        {0x0000000f, 0x1, 0x5, 0x8, 0x7},
    };
    for (const auto& c : cases) {
        const auto layout = *MarkLayout::make(c.mask);
        EXPECT_EQ(layout.bits(State::allow), c.allow);
        EXPECT_EQ(layout.bits(State::held), c.held);
        EXPECT_EQ(layout.seenBit(), c.seen);
        EXPECT_EQ(layout.stateMask(), c.stateMask);
    }
}

TEST(MarkLayout, ReadsAndDecidesStatesKeepingForeignBits) {
    const auto layout = *MarkLayout::make(MarkLayout::defaultMask);
    const std::uint32_t foreign = 0x8000ca01;  // a VPN's fwmark and routing bits
    for (State state : {State::none, State::allow, State::reject, State::pending, State::held}) {
        EXPECT_EQ(layout.state(foreign | layout.bits(state)), state);
        EXPECT_EQ(layout.state(foreign | layout.bits(state) | layout.seenBit()), state);
        const std::uint32_t decided = layout.decided(foreign | layout.bits(State::pending), state);
        EXPECT_EQ(decided & ~layout.mask(), foreign);
        EXPECT_EQ(layout.state(decided), state);
        EXPECT_NE(decided & layout.seenBit(), 0u);
    }
    // Field values that name no state, and bits of the mask beyond the state field.
    for (std::uint32_t field : {3u, 6u, 7u}) {
        EXPECT_EQ(layout.state(field << 19), State::none) << field;
    }
    EXPECT_EQ(layout.state(0x00800000 | layout.bits(State::allow)), State::allow);
}

TEST(FlowTuple, HashesEveryFieldApart) {
    FlowTuple base;
    base.protocol = 6;
    base.source = {10, 0, 0, 1};
    base.destination = {10, 0, 0, 2};
    base.sourcePort = 40000;
    base.destinationPort = 443;
    std::vector<FlowTuple> tuples = {base};
    auto vary = [&](auto change) {
        FlowTuple t = base;
        change(t);
        tuples.push_back(t);
    };
    vary([](FlowTuple& t) { std::swap(t.source, t.destination); });
    vary([](FlowTuple& t) { std::swap(t.sourcePort, t.destinationPort); });
    vary([](FlowTuple& t) { t.protocol = 17; });
    vary([](FlowTuple& t) { t.ipVersion = 6; });
    vary([](FlowTuple& t) { t.source[15] = 1; });
    vary([](FlowTuple& t) { t.destination[8] = 1; });
    vary([](FlowTuple& t) { t.sourcePort = 40001; });
    std::unordered_set<std::size_t> hashes;
    for (const auto& t : tuples) hashes.insert(std::hash<FlowTuple>{}(t));
    EXPECT_EQ(hashes.size(), tuples.size());
    EXPECT_EQ(std::hash<FlowTuple>{}(tuples[0]), std::hash<FlowTuple>{}(base));
}

}  // namespace
}  // namespace tolvane::netfilter
