#include <unicode/normalizer2.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <tolvane/Hashing.hpp>
#include <tolvane/NameAddressAssociations.hpp>
#include <tolvane/Unicode.hpp>

namespace tolvane {

namespace {

// A strict weak order on instants that puts NaN first. A NaN observation is never live, and
// with it first the dead observations of any instant form a prefix of this order.
inline bool before(Instant a, Instant b) {
    return a < b || (std::isnan(a) && !std::isnan(b));
}

template <class Names>
Instant earliestOf(const Names& names) {
    if (names.empty()) return std::numeric_limits<Instant>::quiet_NaN();
    Instant earliest = names.front().observedAt;
    for (const auto& observation : names) {
        if (before(observation.observedAt, earliest)) earliest = observation.observedAt;
    }
    return earliest;
}

// Stable, oldest first. The lists are short (the host keeps 8 names an address) and mostly in
// order already, so an insertion sort does it in place, where std::stable_sort would allocate
// its merge buffer on every call.
template <class Observations>
void sortByObservation(Observations& names) {
    const auto older = [](const auto& a, const auto& b) {
        return before(a.observedAt, b.observedAt);
    };
    if (names.size() > 32) {
        std::stable_sort(names.begin(), names.end(), older);
        return;
    }
    for (auto i = names.begin(); i != names.end(); ++i) {
        for (auto j = i; j != names.begin() && older(*j, *std::prev(j)); --j)
            std::iter_swap(j, std::prev(j));
    }
}

// `stored` is lower case; `candidate` is ASCII and may hold capitals.
inline bool equalFolded(std::string_view stored, std::string_view candidate) {
    if (stored.size() != candidate.size()) return false;
    for (std::size_t i = 0; i < stored.size(); ++i) {
        if (stored[i] != unicode::asciiLower(candidate[i])) return false;
    }
    return true;
}

inline std::uint64_t hashOf(std::string_view literal) {
    return std::hash<std::string_view>{}(literal);
}

// Names and addresses that differ only in how their characters are composed (an accented
// letter as one character or as a letter and a combining mark) are the same text, so both
// are compared in their composed (NFC) form. ASCII text is its own composed form.
std::string composed(std::string_view text) {
    if (unicode::isASCII(text) || text.size() > INT32_MAX) return std::string(text);
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
    if (U_FAILURE(status)) return std::string(text);
    const icu::UnicodeString normalized =
        nfc->normalize(icu::UnicodeString::fromUTF8(
                           icu::StringPiece(text.data(), static_cast<int32_t>(text.size()))),
                       status);
    if (U_FAILURE(status)) return std::string(text);
    std::string result;
    normalized.toUTF8String(result);
    return result;
}

}  // namespace

// --- the address table -------------------------------------------------------------------

std::size_t NameAddressAssociations::bucketOf(std::string_view literal, std::uint64_t hash) const {
    const std::size_t mask = buckets_.size() - 1;
    for (std::size_t at = hash & mask;; at = (at + 1) & mask) {
        const Bucket& bucket = buckets_[at];
        if (bucket.slotPlusOne == 0) return at;
        if (bucket.hash == hash && entries_[bucket.slotPlusOne - 1].literal == literal) return at;
    }
}

const NameAddressAssociations::Entry* NameAddressAssociations::find(
    std::string_view literal) const {
    if (count_ == 0) return nullptr;
    // Entries are keyed by the composed form of their literal.
    std::string key;
    if (!unicode::isASCII(literal)) literal = key = composed(literal);
    const Bucket& bucket = buckets_[bucketOf(literal, hashOf(literal))];
    return bucket.slotPlusOne == 0 ? nullptr : &entries_[bucket.slotPlusOne - 1];
}

void NameAddressAssociations::growBuckets() {
    std::vector<Bucket> grown(std::max<std::size_t>(16, buckets_.size() * 2));
    buckets_.swap(grown);
    const std::size_t mask = buckets_.size() - 1;
    for (std::uint32_t slot = 0; slot < entries_.size(); ++slot) {
        if (!entries_[slot].inUse) continue;
        std::size_t at = entries_[slot].hash & mask;
        while (buckets_[at].slotPlusOne != 0) at = (at + 1) & mask;
        buckets_[at] = Bucket{entries_[slot].hash, slot + 1};
    }
}

std::uint32_t NameAddressAssociations::insertEntry(std::string_view literal, std::uint64_t hash,
                                                   Instant now) {
    std::uint32_t slot;
    if (!freeSlots_.empty()) {
        slot = freeSlots_.back();
        freeSlots_.pop_back();
    } else {
        slot = static_cast<std::uint32_t>(entries_.size());
        entries_.emplace_back();
    }
    Entry& entry = entries_[slot];
    entry.literal.assign(literal);
    entry.names.clear();
    entry.lastObservedAt = now;
    entry.earliestObservedAt = earliestOf(entry.names);
    entry.hash = hash;
    entry.inUse = true;
    ++count_;
    heapPush(Order::recency, slot);
    heapPush(Order::expiry, slot);
    return slot;
}

void NameAddressAssociations::removeEntry(std::uint32_t slot) {
    Entry& entry = entries_[slot];
    // Backward-shift deletion keeps every probe sequence unbroken without tombstones.
    const std::size_t mask = buckets_.size() - 1;
    std::size_t hole = bucketOf(entry.literal, entry.hash);
    buckets_[hole] = Bucket{};
    for (std::size_t at = (hole + 1) & mask; buckets_[at].slotPlusOne != 0; at = (at + 1) & mask) {
        const std::size_t home = buckets_[at].hash & mask;
        const bool staysPut =
            hole <= at ? (hole < home && home <= at) : (hole < home || home <= at);
        if (staysPut) continue;
        buckets_[hole] = buckets_[at];
        buckets_[at] = Bucket{};
        hole = at;
    }
    heapRemove(Order::recency, slot);
    heapRemove(Order::expiry, slot);
    entry.names.clear();
    entry.inUse = false;
    freeSlots_.push_back(slot);
    --count_;
}

// --- the two orders ----------------------------------------------------------------------

Instant NameAddressAssociations::keyOf(Order order, std::uint32_t slot) const {
    const Entry& entry = entries_[slot];
    return order == Order::recency ? entry.lastObservedAt : entry.earliestObservedAt;
}

std::uint32_t& NameAddressAssociations::positionOf(Order order, std::uint32_t slot) {
    Entry& entry = entries_[slot];
    return order == Order::recency ? entry.recencyPosition : entry.expiryPosition;
}

void NameAddressAssociations::siftUp(Order order, std::size_t at) {
    auto& h = heap(order);
    const std::uint32_t slot = h[at];
    const Instant key = keyOf(order, slot);
    while (at > 0) {
        const std::size_t parent = (at - 1) / 2;
        if (!before(key, keyOf(order, h[parent]))) break;
        h[at] = h[parent];
        positionOf(order, h[at]) = static_cast<std::uint32_t>(at);
        at = parent;
    }
    h[at] = slot;
    positionOf(order, slot) = static_cast<std::uint32_t>(at);
}

void NameAddressAssociations::siftDown(Order order, std::size_t at) {
    auto& h = heap(order);
    const std::uint32_t slot = h[at];
    const Instant key = keyOf(order, slot);
    const std::size_t n = h.size();
    for (;;) {
        std::size_t child = 2 * at + 1;
        if (child >= n) break;
        if (child + 1 < n && before(keyOf(order, h[child + 1]), keyOf(order, h[child]))) ++child;
        if (!before(keyOf(order, h[child]), key)) break;
        h[at] = h[child];
        positionOf(order, h[at]) = static_cast<std::uint32_t>(at);
        at = child;
    }
    h[at] = slot;
    positionOf(order, slot) = static_cast<std::uint32_t>(at);
}

void NameAddressAssociations::heapPush(Order order, std::uint32_t slot) {
    auto& h = heap(order);
    h.push_back(slot);
    siftUp(order, h.size() - 1);
}

void NameAddressAssociations::heapFix(Order order, std::uint32_t slot) {
    const std::size_t at = positionOf(order, slot);
    siftUp(order, at);
    if (positionOf(order, slot) == at) siftDown(order, at);
}

void NameAddressAssociations::heapRemove(Order order, std::uint32_t slot) {
    auto& h = heap(order);
    const std::size_t at = positionOf(order, slot);
    const std::uint32_t last = h.back();
    h.pop_back();
    if (at == h.size()) return;
    h[at] = last;
    positionOf(order, last) = static_cast<std::uint32_t>(at);
    heapFix(order, last);
}

// --- the operations ----------------------------------------------------------------------

void NameAddressAssociations::record(std::string_view hostname, const FlowAddress& address,
                                     Instant now) {
    std::string key;
    std::string_view literal = address.literal();
    if (!unicode::isASCII(literal)) literal = key = composed(literal);
    const std::uint64_t hash = hashOf(literal);
    if ((count_ + 1) * 2 > buckets_.size()) growBuckets();
    const std::size_t at = bucketOf(literal, hash);
    std::uint32_t slot;
    if (buckets_[at].slotPlusOne == 0) {
        slot = insertEntry(literal, hash, now);
        buckets_[at] = Bucket{hash, slot + 1};
    } else {
        slot = buckets_[at].slotPlusOne - 1;
        entries_[slot].lastObservedAt = now;
        heapFix(Order::recency, slot);
    }

    Entry& entry = entries_[slot];
    // ASCII names are compared folded in place; only other scripts need a lower-case copy.
    // Two ASCII names are the same text only when equal byte for byte; anything else is
    // compared in composed form, the new name's made once.
    const bool ascii = unicode::isASCII(hostname);
    std::string folded;
    if (!ascii) folded = unicode::lowercased(hostname);
    std::string foldedComposed;
    bool haveComposed = false;
    const auto sameName = [&](const std::string& stored) {
        if (ascii ? equalFolded(stored, hostname) : stored == folded) return true;
        if (ascii && unicode::isASCII(stored)) return false;
        if (!haveComposed) {
            foldedComposed = composed(ascii ? unicode::lowercased(hostname) : folded);
            haveComposed = true;
        }
        return composed(stored) == foldedComposed;
    };
    const auto known = std::find_if(entry.names.begin(), entry.names.end(),
                                    [&](const Observation& o) { return sameName(o.name); });
    const auto observe = [&](Observation& observation) {
        if (ascii) {
            observation.name.assign(hostname);  // into the buffer the observation has
            for (char& c : observation.name) c = unicode::asciiLower(c);
        } else {
            observation.name = std::move(folded);
        }
        observation.observedAt = now;
        observation.testedVersion = 0;
        observation.accepted = false;
    };
    const std::int64_t limit = limits_.maximumNamesPerAddress;
    if (known != entry.names.end()) {
        known->observedAt = now;
    } else if (limit > 0 && static_cast<std::int64_t>(entry.names.size()) == limit) {
        // Full: the oldest observation goes. The names end in time order, as if the new one
        // were added last and all sorted stably, and the new name takes over the storage of
        // the one that goes, so a busy address takes new names without allocating.
        sortByObservation(entry.names);
        const auto later = std::upper_bound(
            entry.names.begin(), entry.names.end(), now,
            [](Instant at, const Observation& o) { return before(at, o.observedAt); });
        if (later != entry.names.begin()) {  // else the new observation is the oldest
            observe(entry.names.front());
            std::rotate(entry.names.begin(), entry.names.begin() + 1, later);
        }
    } else {
        observe(entry.names.emplace_back());
        if (static_cast<std::int64_t>(entry.names.size()) > limit) {
            sortByObservation(entry.names);
            const std::size_t keep = limit > 0 ? static_cast<std::size_t>(limit) : 0;
            entry.names.erase(entry.names.begin(),
                              entry.names.end() - static_cast<std::ptrdiff_t>(keep));
        }
    }
    entry.earliestObservedAt = earliestOf(entry.names);
    heapFix(Order::expiry, slot);

    if (static_cast<std::int64_t>(count_) > limits_.maximumAddresses) {
        evictExpired(now);
        // Least recently observed first; ties go in whatever order the heap holds them.
        while (count_ > 0 && static_cast<std::int64_t>(count_) > limits_.maximumAddresses) {
            removeEntry(byRecency_.front());
        }
    }
}

std::vector<std::string> NameAddressAssociations::names(const FlowAddress& address,
                                                        Instant now) const {
    std::vector<std::string> live;
    forEachLiveName(address, now, [&](std::string_view name) { live.emplace_back(name); });
    return live;
}

void NameAddressAssociations::pruneEntry(std::uint32_t slot, Instant now) {
    Entry& entry = entries_[slot];
    std::erase_if(entry.names, [&](const Observation& o) { return !isLive(o.observedAt, now); });
    if (entry.names.empty()) {
        removeEntry(slot);
        return;
    }
    entry.earliestObservedAt = earliestOf(entry.names);
    heapFix(Order::expiry, slot);
}

void NameAddressAssociations::evictExpired(Instant now) {
    // Whether an observation is dead at `now` is monotone in its instant, so only entries
    // whose earliest name is dead hold dead names; the loop stops at the first live one.
    while (!byExpiry_.empty()) {
        const std::uint32_t slot = byExpiry_.front();
        if (isLive(entries_[slot].earliestObservedAt, now)) break;
        pruneEntry(slot, now);
    }
}

void NameAddressAssociations::removeAll() {
    entries_.clear();
    freeSlots_.clear();
    buckets_.clear();
    byRecency_.clear();
    byExpiry_.clear();
    count_ = 0;
}

}  // namespace tolvane

std::size_t std::hash<tolvane::NameAddressAssociations::Limits>::operator()(
    const tolvane::NameAddressAssociations::Limits& limits) const noexcept {
    std::size_t h = std::hash<double>{}(limits.lifetime);
    h = tolvane::hashCombine(h, std::hash<std::int64_t>{}(limits.maximumAddresses));
    h = tolvane::hashCombine(h, std::hash<std::int64_t>{}(limits.maximumNamesPerAddress));
    return h;
}
