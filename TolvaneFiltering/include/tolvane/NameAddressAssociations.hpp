// NameAddressAssociations.hpp: `NameAddressAssociations`, the bounded memory of which host
// names were recently seen on flows to each remote address, so that a later flow carrying
// only the address can be attributed to those names.
//
//   limits {lifetime 120, 2048 addresses, 2 names per address}
//   record("a", A, t); record("b", A, t+1); record("c", A, t+2)   names(A, t+2) -> ["b", "c"]
//   record("Example.COM", A, t); record("example.com", A, t+5)   names(A, t+5) -> ["example.com"]
//   record("x", A, t)                                           names(A, t+119.9) -> ["x"]
//                                                               names(A, t+120)   -> []
//
// Names and address literals that differ only in how their characters are composed count as
// the same (a name keeps the form it was first recorded in). A name stays usable while it is
// younger than the lifetime (a name observed "in the future" counts as young). Each address
// keeps at most maximumNamesPerAddress names, dropping its oldest observations; when a record
// pushes the table over maximumAddresses, dead names are swept out and then the least
// recently observed addresses go.
//
// Recording, lookups and the sweep are all logarithmic or better in the table's size: the
// entries are indexed by their last observation and by their earliest name, so a sweep only
// visits entries that really hold a dead name. Not thread-safe; the classifier owns one and
// guards it with its lock.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <tolvane/FlowEvidence.hpp>
#include <tolvane/Instant.hpp>
#include <vector>

namespace tolvane {

class NameAddressAssociations {
public:
    struct Limits {
        // Seconds a name stays usable after it was last observed.
        double lifetime;
        std::int64_t maximumAddresses;
        std::int64_t maximumNamesPerAddress;

        Limits(double lifetime, std::int64_t maximumAddresses, std::int64_t maximumNamesPerAddress)
            : lifetime(lifetime),
              maximumAddresses(maximumAddresses),
              maximumNamesPerAddress(maximumNamesPerAddress) {}
        bool operator==(const Limits&) const = default;
    };

    // Limits are kept as given; negative ones lie outside the contract but do not crash.
    explicit NameAddressAssociations(Limits limits) : limits_(limits) {}

    const Limits& limits() const { return limits_; }

    // Addresses held, including those whose names are all dead but not yet swept out.
    std::int64_t addressCount() const { return static_cast<std::int64_t>(count_); }

    // Remembers that `hostname` (lower-cased, otherwise as given) was seen on a flow to
    // `address` at `now`. Allocates nothing when the pair is already known and `hostname`,
    // the address's names and its literal are ASCII.
    void record(std::string_view hostname, const FlowAddress& address, Instant now);

    // The live names of `address` at `now`, in stored order.
    std::vector<std::string> names(const FlowAddress& address, Instant now) const;

    // Calls visit(std::string_view) for each name names(address, now) would return, in the
    // same order, without allocating.
    template <class Visit>
    void forEachLiveName(const FlowAddress& address, Instant now, Visit&& visit) const {
        const Entry* entry = find(address.literal());
        if (entry == nullptr) return;
        for (const Observation& observation : entry->names) {
            if (isLive(observation.observedAt, now)) visit(std::string_view(observation.name));
        }
    }

    // How many of an address's live names there are, and how many of them `test` accepts.
    struct Tally {
        std::size_t live = 0;
        std::size_t accepted = 0;
    };

    // Like forEachLiveName with a yes-or-no question, but each name's answer is remembered
    // under `testVersion`, so a name is asked about once per version. The classifier passes
    // a new version whenever its matcher changes. REQUIRES: `test` gives the same answer for
    // a name as long as the same version is passed; version 0 remembers nothing.
    template <class Test>
    Tally tallyLiveNames(const FlowAddress& address, Instant now, std::uint64_t testVersion,
                         Test&& test) {
        Tally tally;
        Entry* entry = findMutable(address.literal());
        if (entry == nullptr) return tally;
        for (Observation& observation : entry->names) {
            if (!isLive(observation.observedAt, now)) continue;
            ++tally.live;
            if (testVersion == 0 || observation.testedVersion != testVersion) {
                observation.accepted = test(std::string_view(observation.name));
                observation.testedVersion = testVersion;
            }
            if (observation.accepted) ++tally.accepted;
        }
        return tally;
    }

    // Drops every name not live at `now` and every address left without names.
    void evictExpired(Instant now);

    // Empties the table; the limits stay.
    void removeAll();

private:
    struct Observation {
        std::string name;
        Instant observedAt = 0;
        // The last answer of tallyLiveNames for this name, and the version it was given under.
        std::uint64_t testedVersion = 0;
        bool accepted = false;
    };
    struct Entry {
        std::string literal;
        std::vector<Observation> names;
        Instant lastObservedAt = 0;
        // The earliest observedAt of `names` (NaN counts as earliest; NaN too when `names`
        // is empty), so an entry whose earliest name is live holds only live names.
        Instant earliestObservedAt = 0;
        std::uint64_t hash = 0;
        std::uint32_t recencyPosition = 0;
        std::uint32_t expiryPosition = 0;
        bool inUse = false;
    };
    // One cell of the open-addressing table from address literal to entry slot.
    struct Bucket {
        std::uint64_t hash = 0;
        std::uint32_t slotPlusOne = 0;  // 0: empty
    };
    // Which instant a heap orders entries by.
    enum class Order { recency, expiry };

    bool isLive(Instant observedAt, Instant now) const {
        return now - observedAt < limits_.lifetime;
    }

    const Entry* find(std::string_view literal) const;
    Entry* findMutable(std::string_view literal) { return const_cast<Entry*>(find(literal)); }
    std::size_t bucketOf(std::string_view literal, std::uint64_t hash) const;
    std::uint32_t insertEntry(std::string_view literal, std::uint64_t hash, Instant now);
    void removeEntry(std::uint32_t slot);
    void growBuckets();
    void pruneEntry(std::uint32_t slot, Instant now);

    std::vector<std::uint32_t>& heap(Order order) {
        return order == Order::recency ? byRecency_ : byExpiry_;
    }
    Instant keyOf(Order order, std::uint32_t slot) const;
    std::uint32_t& positionOf(Order order, std::uint32_t slot);
    void heapPush(Order order, std::uint32_t slot);
    void heapRemove(Order order, std::uint32_t slot);
    void heapFix(Order order, std::uint32_t slot);
    void siftUp(Order order, std::size_t at);
    void siftDown(Order order, std::size_t at);

    Limits limits_;
    std::vector<Entry> entries_;  // slots; freed ones keep their buffers
    std::vector<std::uint32_t> freeSlots_;
    std::vector<Bucket> buckets_;  // power-of-two size, at most half full
    std::size_t count_ = 0;
    std::vector<std::uint32_t> byRecency_;  // min-heap by lastObservedAt
    std::vector<std::uint32_t> byExpiry_;   // min-heap by earliestObservedAt
};

}  // namespace tolvane

template <>
struct std::hash<tolvane::NameAddressAssociations::Limits> {
    std::size_t operator()(const tolvane::NameAddressAssociations::Limits& limits) const noexcept;
};
