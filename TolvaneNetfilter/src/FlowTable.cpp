#include <algorithm>
#include <bit>
#include <functional>
#include <limits>
#include <tolvane/netfilter/FlowTable.hpp>

namespace tolvane::netfilter {

void FlowTable::Record::setName(std::string_view text) {
    if (text.empty() || text.size() > maximumNameBytes) {
        hasName = false;
        nameLength = 0;
        return;
    }
    std::copy(text.begin(), text.end(), name);
    nameLength = static_cast<std::uint8_t>(text.size());
    hasName = true;
}

FlowTable::FlowTable(std::size_t capacity)
    : records_(capacity), inUse_(capacity, false), free_(capacity) {
    // The index is kept at most half full, so probes stay short.
    const std::size_t slots = std::bit_ceil(capacity * 2 < 16 ? std::size_t{16} : capacity * 2);
    index_.assign(slots, 0);
    indexMask_ = slots - 1;
    for (std::size_t i = 0; i < capacity; ++i) {
        free_[i] = static_cast<std::uint32_t>(capacity - 1 - i);
    }
}

std::size_t FlowTable::slotOf(const FlowTuple& tuple) const {
    return std::hash<FlowTuple>{}(tuple)&indexMask_;
}

FlowTable::Record* FlowTable::find(const FlowTuple& tuple) {
    for (std::size_t slot = slotOf(tuple);; slot = (slot + 1) & indexMask_) {
        const std::uint32_t entry = index_[slot];
        if (entry == 0) return nullptr;
        if (records_[entry - 1].tuple == tuple) return &records_[entry - 1];
    }
}

FlowTable::Record* FlowTable::insert(const FlowTuple& tuple, std::int64_t now) {
    if (free_.empty()) {
        Record* victim = longestIdleAllowed();
        if (!victim) return nullptr;
        erase(*victim);
    }
    const std::uint32_t i = free_.back();
    free_.pop_back();
    inUse_[i] = true;
    Record& record = records_[i];
    record = Record{};
    record.tuple = tuple;
    record.lastActive = now;
    std::size_t slot = slotOf(tuple);
    while (index_[slot] != 0) slot = (slot + 1) & indexMask_;
    index_[slot] = i + 1;
    return &record;
}

void FlowTable::erase(Record& record) {
    const auto i = static_cast<std::uint32_t>(&record - records_.data());
    std::size_t slot = slotOf(record.tuple);
    while (index_[slot] != i + 1) slot = (slot + 1) & indexMask_;
    // Backward-shift deletion: later entries of the probe run move up, so that no marker of
    // a deleted entry is ever needed.
    std::size_t hole = slot;
    for (std::size_t next = (hole + 1) & indexMask_; index_[next] != 0;
         next = (next + 1) & indexMask_) {
        const std::size_t home = slotOf(records_[index_[next] - 1].tuple);
        // Move the entry when the hole lies on its path from home to where it sits.
        if (((next - home) & indexMask_) >= ((next - hole) & indexMask_)) {
            index_[hole] = index_[next];
            hole = next;
        }
    }
    index_[hole] = 0;
    inUse_[i] = false;
    free_.push_back(i);
}

FlowTable::Record* FlowTable::longestIdleAllowed() {
    Record* oldest = nullptr;
    forEach([&](Record& record) {
        if (record.stage == Stage::allowed && (!oldest || record.lastActive < oldest->lastActive)) {
            oldest = &record;
        }
    });
    return oldest;
}

}  // namespace tolvane::netfilter
