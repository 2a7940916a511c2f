// FlowTable.hpp: the flows in flight that the netfilter runtime still has to know about:
// flows whose first bytes are being read, flows held while their bytes are counted, and flows
// allowed (kept so that a growing scope can still reach them). Fixed capacity, open
// addressing: finding, adding and forgetting a flow never allocate.
//
//   FlowTable table(16384);
//   Record* r = table.insert(tuple, nowMs);   // nullptr: full even after evicting the
//                                             // longest-idle allowed flow
//   table.find(tuple) == r
//   table.erase(*r);
//
// Bound: `capacity` records of about 340 bytes each, plus an index of two 4-byte slots per
// record: 16,384 flows take about 5.7 MiB. One thread at a time (the runtime's packet thread).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <tolvane/netfilter/FlowTuple.hpp>
#include <vector>

namespace tolvane::netfilter {

class FlowTable {
public:
    static constexpr std::size_t defaultCapacity = 16384;
    static constexpr std::size_t maximumNameBytes = 253;

    enum class Stage : std::uint8_t {
        reading,  // its first bytes (or Initial datagrams) are being read for a name
        held,     // allowed while its outbound bytes are counted
        allowed,  // decided; its packets stay in the kernel
    };

    struct Record {
        FlowTuple tuple;
        Stage stage = Stage::reading;
        bool hasName = false;
        bool offersEncryptedClientHello = false;
        std::uint8_t nameLength = 0;
        std::uint16_t datagrams = 0;      // UDP datagrams read so far
        std::int32_t buffer = -1;         // the reading buffer or QUIC reader it holds, or -1
        std::uint32_t firstSequence = 0;  // TCP: sequence number of its first payload byte
        std::uint32_t contiguous = 0;     // reading: bytes held in order from the first
        std::uint64_t bytesSeen = 0;      // held: outbound bytes counted
        std::uint64_t identifier = 0;     // the flow identifier the provider knows it by
        std::int64_t lastActive = 0;      // milliseconds on the runtime's steady clock
        char name[maximumNameBytes] = {};

        std::string_view nameView() const { return {name, nameLength}; }
        // Keeps `text` as given (the engine folds letter case); longer names are not names
        // and are dropped.
        void setName(std::string_view text);
    };

    explicit FlowTable(std::size_t capacity = defaultCapacity);

    Record* find(const FlowTuple& tuple);
    // A new record for `tuple` (which must not be present), or nullptr when full even after
    // evicting the allowed flow idle the longest.
    Record* insert(const FlowTuple& tuple, std::int64_t now);
    void erase(Record& record);

    // Calls `f(record)` for every record; `f` may not insert or erase.
    template <class F>
    void forEach(F&& f) {
        for (std::size_t i = 0; i < records_.size(); ++i) {
            if (inUse_[i]) f(records_[i]);
        }
    }
    // Erases every record for which `f(record)` is true (after f has seen it).
    template <class F>
    std::size_t eraseIf(F&& f) {
        std::size_t erased = 0;
        for (std::size_t i = 0; i < records_.size(); ++i) {
            if (inUse_[i] && f(records_[i])) {
                erase(records_[i]);
                ++erased;
            }
        }
        return erased;
    }

    std::size_t size() const { return records_.size() - free_.size(); }
    std::size_t capacity() const { return records_.size(); }

private:
    Record* longestIdleAllowed();
    std::size_t slotOf(const FlowTuple& tuple) const;

    std::vector<Record> records_;
    std::vector<bool> inUse_;
    std::vector<std::uint32_t> free_;   // indices of unused records
    std::vector<std::uint32_t> index_;  // record index + 1, 0 when empty; linear probing
    std::size_t indexMask_ = 0;
};

}  // namespace tolvane::netfilter
