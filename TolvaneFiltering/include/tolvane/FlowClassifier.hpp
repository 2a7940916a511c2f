// FlowClassifier.hpp: `FlowClassifier`, the one stateful object between the platform's flows
// and the policy, and `FilterCounters`, what it has done so far.
//
//   FlowClassifier classifier(std::nullopt, {120, 2048, 8}, now);
//   classifier.adopt(directive /* scope {example.com}, generation 3 */, now);
//   classifier.classifyNewFlow({"mail.example.com", FlowAddress("192.0.2.7")}, now)
//       -> scoped, drop          (and remembers mail.example.com for 192.0.2.7)
//   classifier.classifyNewFlow({std::nullopt, FlowAddress("192.0.2.7")}, now + 5)
//       -> scoped, drop          (through the remembered name)
//   classifier.classifyInspectedFlow({std::nullopt, std::nullopt}, 4096, now)
//       -> unattributed, allowAndRelease   (a held flow is let go after 4096 bytes)
//   classifier.classifyNewFlow({"relay.example.net", FlowAddress("192.0.2.7"),
//                               /*offersEncryptedClientHello=*/true}, now + 6)
//       -> scoped, drop          (through the address; the relay's name is not remembered)
//   classifier.diagnosticCounters().description()
//       -> "scopeGeneration=3 classified=2 dropped=2 released=1 heldForInspection=0 ..."
//
// It enforces the adopted directive's scope domains plus its validation probe's domain until
// the probe is found expired (at the first classification or adoption at or after its
// expiry); when nothing is enforced any more the remembered associations are forgotten.
//
// Thread-safe: every operation takes the one lock for exactly its own work and calls nothing
// outside the engine while holding it. A new directive's matchers are built before the lock
// is taken, so adopting even a large scope stalls flows only for a swap.
#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <tolvane/DomainMatcher.hpp>
#include <tolvane/EnforcementDirective.hpp>
#include <tolvane/EvidenceBoundedPolicy.hpp>
#include <tolvane/FlowEvidence.hpp>
#include <tolvane/Instant.hpp>
#include <tolvane/NameAddressAssociations.hpp>

namespace tolvane {

struct FilterCounters {
    std::int64_t scopeGeneration = 0;           // generation of the adopted scope, 0 without one
    std::int64_t flowsClassified = 0;           // new flows classified
    std::int64_t flowsDropped = 0;              // dropped at their start or after inspection
    std::int64_t flowsReleased = 0;             // released at their start or after inspection
    std::int64_t flowsHeldForInspection = 0;    // currently held (never below 0)
    std::int64_t ambiguousFlowsAllowed = 0;     // new flows attributed ambiguous
    std::int64_t unattributedFlowsAllowed = 0;  // new flows attributed unattributed
    std::int64_t associationsRecorded = 0;      // new flows whose name and address were recorded
    std::int64_t associatedAddressCount = 0;    // addresses remembered, as last copied

    // One log line: "scopeGeneration=0 classified=0 dropped=0 released=0 heldForInspection=0
    // ambiguousAllowed=0 unattributedAllowed=0 associationsRecorded=0 associatedAddresses=0".
    std::string description() const;

    bool operator==(const FilterCounters&) const = default;
};

std::ostream& operator<<(std::ostream& os, const FilterCounters& counters);

class FlowClassifier {
public:
    // With no directive nothing is enforced. A probe already expired at `now` is kept until
    // the next classification finds it expired, but is not enforced.
    FlowClassifier(std::optional<EnforcementDirective> directive,
                   NameAddressAssociations::Limits associationLimits, Instant now);

    FlowClassifier(const FlowClassifier&) = delete;
    FlowClassifier& operator=(const FlowClassifier&) = delete;

    // Enforces `directive` from `now` on. Counters other than scopeGeneration and the
    // associations carry over, unless nothing is enforced any more.
    void adopt(const EnforcementDirective& directive, Instant now);

    // For a flow the platform has just reported: remembers its name and address when it has
    // both, then classifies and counts it. A flow offering Encrypted Client Hello is not
    // remembered: its visible name may be a relay's, shared by sites in and out of scope,
    // and would make the relay's addresses look ambiguous to name-less flows.
    FlowClassification classifyNewFlow(const FlowEvidence& evidence, Instant now);

    // For a flow that is already running, as when the scope grows and live flows are checked
    // again: the policy's answer under what is enforced now. Counts nothing and remembers
    // nothing; like every classification it notices an expired probe.
    FlowClassification classifyLiveFlow(const FlowEvidence& evidence, Instant now);

    // For a held flow of which `bytesInspected` bytes have been seen: keeps it held, drops it,
    // or releases it (at the latest once inspectionPeekBytes have been seen).
    FlowClassification classifyInspectedFlow(const FlowEvidence& evidence,
                                             std::int64_t bytesInspected, Instant now);

    // For an address a name was resolved to (the name asked for, never a CNAME target):
    // remembers the pair as classifyNewFlow remembers a named flow's, under the same limits
    // and expiry and counted in associationsRecorded, but classifies nothing and counts no
    // flow. An empty name is ignored, as a flow's would be. Allocates nothing once the pair
    // is known and both are ASCII.
    void recordResolution(std::string_view hostname, const FlowAddress& address, Instant now);

    std::int64_t enforcedGeneration() const;
    // Whether anything is enforced: scope domains, or a probe not yet found expired.
    bool isEnforcing() const;
    FilterCounters diagnosticCounters() const;

private:
    // What a directive makes the classifier enforce, built without the lock.
    struct Enforcement {
        DomainMatcher scopeMatcher;                 // the scope's domains
        std::optional<DomainMatcher> probeMatcher;  // the scope's domains and the probe's
        std::optional<ValidationProbe> probe;
        bool matcherIncludesProbe = false;  // probeMatcher is the one in force
        bool scopeIsEmpty = true;
        std::int64_t generation = 0;

        const DomainMatcher& matcher() const {
            return matcherIncludesProbe ? *probeMatcher : scopeMatcher;
        }
        bool isEnforcing() const { return !scopeIsEmpty || matcherIncludesProbe; }
    };

    // `dropExpiredProbe`: adopting refreshes at once; construction keeps the probe as given.
    // `directive` may be null: nothing enforced.
    static Enforcement makeEnforcement(const EnforcementDirective* directive, Instant now,
                                       bool dropExpiredProbe);

    // Lock held. Notices the probe's expiry (or, with time going back, its return) and
    // forgets associations once nothing is enforced.
    void refreshProbe(Instant now);
    void forgetAssociationsIfIdle();
    // Lock held. The policy's answer over the current state.
    FlowClassification classifyLocked(const FlowEvidence& evidence, Instant now);
    void leaveInspection();
    // Lock held. Remembers a name and address pair and counts it.
    void recordLocked(std::string_view hostname, const FlowAddress& address, Instant now);

    mutable std::mutex mutex_;
    Enforcement enforcement_;
    // Changes whenever the matcher in force does, so remembered names are matched once per
    // matcher rather than once per flow.
    std::uint64_t matcherVersion_ = 1;
    NameAddressAssociations associations_;
    FilterCounters counters_;
};

}  // namespace tolvane

template <>
struct std::hash<tolvane::FilterCounters> {
    std::size_t operator()(const tolvane::FilterCounters& counters) const noexcept;
};
