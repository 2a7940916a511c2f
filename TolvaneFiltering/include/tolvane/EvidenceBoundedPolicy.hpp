// EvidenceBoundedPolicy.hpp: the rules that turn a flow's evidence into a decision, in two
// steps: an attribution (`FlowAttribution`), then a disposition (`FlowDisposition`), kept
// together as a `FlowClassification`. A flow is dropped only when its evidence attributes it
// to the blocked set; a flow with no usable evidence is held for inspection while anything
// is enforced.
//
//   evidence                                  attribution    disposition
//   ----------------------------------------  -------------  -----------------------------
//   name that matches                         scoped         drop
//   name that does not match                  unscoped       allowAndRelease
//   no name; remembered names all match       scoped         drop
//   no name; remembered names partly match    ambiguous      allowAndRelease
//   no name; remembered names match none      unscoped       allowAndRelease
//   no name; nothing remembered or no address unattributed   allowUnderInspection(4096) if
//                                                            enforcing, else allowAndRelease
//   Encrypted Client Hello offered:
//     visible name matches                    scoped         drop
//     else address judged as above: scoped    scoped         drop
//                                   ambiguous ambiguous      allowAndRelease
//     anything else                           unscoped       allowAndRelease
//
// A flow offering Encrypted Client Hello may show a relay's public name instead of the site's,
// so its name and its address's remembered names are both heard, and either can drop it; it
// is never held, since its encrypted bytes cannot tell more. Browsers offer it on most
// connections with the real name visible, so the visible name still drops such a flow.
// `attribution(evidence, lookup)` below is where the name, the address and this flag are
// combined, and the only place.
//
// Pure functions over their arguments; callers sharing a matcher or associations between
// threads hold their owner's lock while calling.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <tolvane/DomainMatcher.hpp>
#include <tolvane/FlowEvidence.hpp>
#include <tolvane/Instant.hpp>
#include <tolvane/NameAddressAssociations.hpp>

namespace tolvane {

enum class FlowAttribution {
    scoped,        // attributed to a blocked domain
    unscoped,      // attributed to domains that are not blocked
    ambiguous,     // the address was seen with both blocked and unblocked names
    unattributed,  // no usable evidence
};

inline constexpr std::array<FlowAttribution, 4> allFlowAttributionCases = {
    FlowAttribution::scoped, FlowAttribution::unscoped, FlowAttribution::ambiguous,
    FlowAttribution::unattributed};

// The case name, for logs and test output.
std::string_view rawValue(FlowAttribution attribution);
std::ostream& operator<<(std::ostream& os, FlowAttribution attribution);

class FlowDisposition {
public:
    enum class Kind { allowUnderInspection, drop, allowAndRelease };

    // Let the flow proceed while its first `peekBytes` outbound bytes are inspected.
    static FlowDisposition allowUnderInspection(std::int64_t peekBytes) {
        return FlowDisposition(Kind::allowUnderInspection, peekBytes);
    }
    static FlowDisposition drop() { return FlowDisposition(Kind::drop, 0); }
    static FlowDisposition allowAndRelease() { return FlowDisposition(Kind::allowAndRelease, 0); }

    Kind kind() const { return kind_; }
    bool isDrop() const { return kind_ == Kind::drop; }
    bool releasesFromInspection() const { return kind_ == Kind::allowAndRelease; }
    // The byte count of allowUnderInspection; nullopt for the other cases.
    std::optional<std::int64_t> peekBytes() const {
        return kind_ == Kind::allowUnderInspection ? std::optional(peekBytes_) : std::nullopt;
    }

    // "drop", "allowAndRelease", "allowUnderInspection(peekBytes: 4096)".
    std::string description() const;

    bool operator==(const FlowDisposition&) const = default;

private:
    FlowDisposition(Kind kind, std::int64_t peekBytes) : kind_(kind), peekBytes_(peekBytes) {}

    Kind kind_;
    std::int64_t peekBytes_;  // 0 unless allowUnderInspection
};

std::ostream& operator<<(std::ostream& os, const FlowDisposition& disposition);

class FlowClassification {
public:
    FlowClassification(FlowAttribution attribution, FlowDisposition disposition)
        : attribution_(attribution), disposition_(disposition) {}

    FlowAttribution attribution() const { return attribution_; }
    const FlowDisposition& disposition() const { return disposition_; }

    bool operator==(const FlowClassification&) const = default;

private:
    FlowAttribution attribution_;
    FlowDisposition disposition_;
};

std::ostream& operator<<(std::ostream& os, const FlowClassification& classification);

// A namespace of rules; never instantiated.
struct EvidenceBoundedPolicy {
    EvidenceBoundedPolicy() = delete;

    // Bytes of a held flow that are inspected before it is released.
    static constexpr std::int64_t inspectionPeekBytes = 4096;

    // The attribution rule itself, the only statement of it. `lookup` answers its two
    // questions, straight from a matcher and associations (the overload below) or from the
    // classifier's cache of per-name answers:
    //   bool matches(std::string_view name)            does the matcher match the flow's name
    //   NameAddressAssociations::Tally remembered(const FlowAddress& address)
    //                                                  the address's live remembered names,
    //                                                  and how many of them the matcher matches
    template <class Lookup>
    static FlowAttribution attribution(const FlowEvidence& evidence, Lookup&& lookup) {
        const auto name = evidence.remoteHostname();
        const bool encrypted = evidence.offersEncryptedClientHello();
        if (name && !encrypted) {
            return lookup.matches(*name) ? FlowAttribution::scoped : FlowAttribution::unscoped;
        }
        // A visible name that matches is enough, whoever's it is.
        if (name && lookup.matches(*name)) return FlowAttribution::scoped;
        // The address as a name-less flow's would be judged.
        FlowAttribution byAddress = FlowAttribution::unattributed;
        if (const auto& address = evidence.remoteAddress()) {
            const NameAddressAssociations::Tally names = lookup.remembered(*address);
            if (names.live == 0) {
                byAddress = FlowAttribution::unattributed;
            } else if (names.accepted == names.live) {
                byAddress = FlowAttribution::scoped;
            } else if (names.accepted == 0) {
                byAddress = FlowAttribution::unscoped;
            } else {
                byAddress = FlowAttribution::ambiguous;
            }
        }
        // Inspecting an encrypted flow's bytes cannot attribute it any better.
        if (encrypted && byAddress == FlowAttribution::unattributed) {
            return FlowAttribution::unscoped;
        }
        return byAddress;
    }

    // The name decides when there is one (with Encrypted Client Hello offered, the name or
    // the address); otherwise the names remembered for the address at `now`, each matched
    // afresh. Allocates nothing unless a host holds non-ASCII capitals.
    static FlowAttribution attribution(const FlowEvidence& evidence, const DomainMatcher& matcher,
                                       const NameAddressAssociations& associations, Instant now);

    static FlowDisposition disposition(FlowAttribution attribution, bool scopeIsEnforcing);

    template <class Lookup>
    static FlowClassification classify(const FlowEvidence& evidence, Lookup&& lookup,
                                       bool scopeIsEnforcing) {
        const FlowAttribution found = attribution(evidence, lookup);
        return FlowClassification(found, disposition(found, scopeIsEnforcing));
    }

    static FlowClassification classify(const FlowEvidence& evidence, const DomainMatcher& matcher,
                                       const NameAddressAssociations& associations,
                                       bool scopeIsEnforcing, Instant now) {
        const FlowAttribution found = attribution(evidence, matcher, associations, now);
        return FlowClassification(found, disposition(found, scopeIsEnforcing));
    }
};

}  // namespace tolvane

template <>
struct std::hash<tolvane::FlowDisposition> {
    std::size_t operator()(const tolvane::FlowDisposition& disposition) const noexcept {
        return std::hash<std::int64_t>{}(static_cast<std::int64_t>(disposition.kind()) * 1000003 +
                                         disposition.peekBytes().value_or(0));
    }
};

template <>
struct std::hash<tolvane::FlowClassification> {
    std::size_t operator()(const tolvane::FlowClassification& classification) const noexcept {
        return std::hash<tolvane::FlowDisposition>{}(classification.disposition()) * 31 +
               static_cast<std::size_t>(classification.attribution());
    }
};
