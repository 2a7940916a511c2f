#include <gtest/gtest.h>

#include <random>
#include <tolvane/netfilter/FlowTable.hpp>
#include <unordered_map>

namespace tolvane::netfilter {
namespace {

FlowTuple tupleNumber(std::uint32_t n) {
    FlowTuple tuple;
    tuple.protocol = 6;
    tuple.source = {10, 0, 0, 1};
    tuple.destination = {10, 0, static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n)};
    tuple.sourcePort = static_cast<std::uint16_t>(40000 + n % 7);
    tuple.destinationPort = 443;
    return tuple;
}

// Random inserts and erases against a plain map: backward-shift deletion must keep every
// other entry reachable, whatever order the probe runs are broken up in.
TEST(FlowTable, AgreesWithAPlainMapUnderRandomInsertsAndErases) {
    FlowTable table(64);
    std::unordered_map<FlowTuple, std::uint64_t> reference;
    std::mt19937 random(7);
    for (int step = 0; step < 20000; ++step) {
        const FlowTuple tuple = tupleNumber(random() % 200);
        FlowTable::Record* record = table.find(tuple);
        ASSERT_EQ(record != nullptr, reference.count(tuple) == 1) << "step " << step;
        if (record) {
            ASSERT_EQ(record->identifier, reference[tuple]);
            if (random() % 2) {
                table.erase(*record);
                reference.erase(tuple);
            }
        } else if (table.size() < table.capacity()) {
            record = table.insert(tuple, step);
            ASSERT_NE(record, nullptr);
            record->identifier = static_cast<std::uint64_t>(step);
            reference[tuple] = record->identifier;
        }
        ASSERT_EQ(table.size(), reference.size());
    }
}

TEST(FlowTable, FullTableEvictsOnlyTheLongestIdleAllowedFlow) {
    FlowTable table(3);
    auto* reading = table.insert(tupleNumber(1), 0);
    auto* oldAllowed = table.insert(tupleNumber(2), 10);
    auto* newAllowed = table.insert(tupleNumber(3), 20);
    oldAllowed->stage = newAllowed->stage = FlowTable::Stage::allowed;
    ASSERT_NE(reading, nullptr);

    // Only the allowed flow idle the longest (2) gives way; the reading one and 3 stay.
    ASSERT_NE(table.insert(tupleNumber(4), 30), nullptr);
    EXPECT_EQ(table.find(tupleNumber(2)), nullptr);
    EXPECT_NE(table.find(tupleNumber(3)), nullptr);
    EXPECT_NE(table.find(tupleNumber(1)), nullptr);

    // Nothing allowed left to give way: a full table refuses.
    table.find(tupleNumber(3))->stage = FlowTable::Stage::held;
    EXPECT_EQ(table.insert(tupleNumber(5), 40), nullptr);
}

TEST(FlowTable, NamesAreKeptAsGivenAndOverlongOnesDropped) {
    FlowTable::Record record;
    record.setName("WWW.Example.COM");
    EXPECT_EQ(record.nameView(), "WWW.Example.COM");
    record.setName(std::string(254, 'a'));
    EXPECT_FALSE(record.hasName);
    EXPECT_EQ(record.nameView(), "");
}

}  // namespace
}  // namespace tolvane::netfilter
