#include <ostream>
#include <tolvane/FlowClassifier.hpp>
#include <tolvane/Hashing.hpp>
#include <vector>

namespace tolvane {

std::string FilterCounters::description() const {
    return "scopeGeneration=" + std::to_string(scopeGeneration) +
           " classified=" + std::to_string(flowsClassified) +
           " dropped=" + std::to_string(flowsDropped) +
           " released=" + std::to_string(flowsReleased) +
           " heldForInspection=" + std::to_string(flowsHeldForInspection) +
           " ambiguousAllowed=" + std::to_string(ambiguousFlowsAllowed) +
           " unattributedAllowed=" + std::to_string(unattributedFlowsAllowed) +
           " associationsRecorded=" + std::to_string(associationsRecorded) +
           " associatedAddresses=" + std::to_string(associatedAddressCount);
}

std::ostream& operator<<(std::ostream& os, const FilterCounters& counters) {
    return os << counters.description();
}

FlowClassifier::Enforcement FlowClassifier::makeEnforcement(const EnforcementDirective* directive,
                                                            Instant now, bool dropExpiredProbe) {
    Enforcement enforcement;
    if (!directive) return enforcement;
    if (const auto& scope = directive->scope()) {
        enforcement.scopeMatcher = DomainMatcher(*scope);
        enforcement.scopeIsEmpty = scope->domains().empty();
        enforcement.generation = scope->generation();
    }
    enforcement.probe = directive->validation();
    if (enforcement.probe && dropExpiredProbe && enforcement.probe->hasExpired(now)) {
        enforcement.probe.reset();
    }
    if (enforcement.probe) {
        // Both matchers are ready, so the probe's expiry costs the flow that notices it only
        // a flag, not a rebuild over the whole scope.
        std::vector<Domain> domains;
        if (const auto& scope = directive->scope()) {
            domains.reserve(scope->domains().size() + 1);
            domains.assign(scope->domains().begin(), scope->domains().end());
        }
        domains.push_back(enforcement.probe->domain());
        enforcement.probeMatcher = DomainMatcher(domains);
        // Adopting has just dropped an expired probe, so one that remains is enforced;
        // construction enforces what the directive does at `now`.
        enforcement.matcherIncludesProbe = dropExpiredProbe || now < enforcement.probe->expiresAt();
    }
    return enforcement;
}

FlowClassifier::FlowClassifier(std::optional<EnforcementDirective> directive,
                               NameAddressAssociations::Limits associationLimits, Instant now)
    : enforcement_(
          makeEnforcement(directive ? &*directive : nullptr, now, /*dropExpiredProbe=*/false)),
      associations_(associationLimits) {
    counters_.scopeGeneration = enforcement_.generation;
}

void FlowClassifier::forgetAssociationsIfIdle() {
    if (enforcement_.isEnforcing()) return;
    associations_.removeAll();
    counters_.associatedAddressCount = 0;
}

void FlowClassifier::adopt(const EnforcementDirective& directive, Instant now) {
    // Built and, after the swap, destroyed outside the lock: proportional to the scope.
    Enforcement next = makeEnforcement(&directive, now, /*dropExpiredProbe=*/true);
    {
        std::scoped_lock lock(mutex_);
        std::swap(enforcement_, next);
        ++matcherVersion_;
        counters_.scopeGeneration = enforcement_.generation;
        forgetAssociationsIfIdle();
    }
}

void FlowClassifier::refreshProbe(Instant now) {
    Enforcement& e = enforcement_;
    if (e.probe->hasExpired(now)) {
        // The probe matcher stays allocated until the next adoption replaces it; freeing it
        // here would lengthen this flow's hold on the lock.
        e.probe.reset();
        if (e.matcherIncludesProbe) ++matcherVersion_;
        e.matcherIncludesProbe = false;
        forgetAssociationsIfIdle();
    } else {
        // A probe kept from construction although expired then enforces again if callers'
        // time goes back before its expiry.
        if (!e.matcherIncludesProbe) ++matcherVersion_;
        e.matcherIncludesProbe = true;
    }
}

namespace {
// The policy's questions answered from the matcher in force, with each remembered name's
// answer kept under the matcher's version, so names are matched once per matcher rather than
// once per flow.
struct CachedLookup {
    const DomainMatcher& matcher;
    NameAddressAssociations& associations;
    Instant now;
    std::uint64_t matcherVersion;

    bool matches(std::string_view name) const { return matcher.matches(name); }
    NameAddressAssociations::Tally remembered(const FlowAddress& address) const {
        return associations.tallyLiveNames(
            address, now, matcherVersion,
            [this](std::string_view name) { return matcher.matches(name); });
    }
};
}  // namespace

FlowClassification FlowClassifier::classifyLocked(const FlowEvidence& evidence, Instant now) {
    if (enforcement_.probe) refreshProbe(now);
    return EvidenceBoundedPolicy::classify(
        evidence, CachedLookup{enforcement_.matcher(), associations_, now, matcherVersion_},
        enforcement_.isEnforcing());
}

void FlowClassifier::leaveInspection() {
    if (counters_.flowsHeldForInspection > 0) --counters_.flowsHeldForInspection;
}

void FlowClassifier::recordLocked(std::string_view hostname, const FlowAddress& address,
                                  Instant now) {
    associations_.record(hostname, address, now);
    ++counters_.associationsRecorded;
    counters_.associatedAddressCount = associations_.addressCount();
}

void FlowClassifier::recordResolution(std::string_view hostname, const FlowAddress& address,
                                      Instant now) {
    if (hostname.empty()) return;
    std::scoped_lock lock(mutex_);
    recordLocked(hostname, address, now);
    // A named flow's classification would notice an expired probe right after recording, and
    // forget the associations if nothing is enforced any more; the table ends up the same.
    if (enforcement_.probe) refreshProbe(now);
}

FlowClassification FlowClassifier::classifyNewFlow(const FlowEvidence& evidence, Instant now) {
    std::scoped_lock lock(mutex_);
    const auto name = evidence.remoteHostname();
    const auto& address = evidence.remoteAddress();
    // A name that may be a relay's says nothing about whose the address is.
    if (name && address && !evidence.offersEncryptedClientHello()) {
        recordLocked(*name, *address, now);
    }
    const FlowClassification classification = classifyLocked(evidence, now);
    ++counters_.flowsClassified;
    switch (classification.attribution()) {
        case FlowAttribution::ambiguous:
            ++counters_.ambiguousFlowsAllowed;
            break;
        case FlowAttribution::unattributed:
            ++counters_.unattributedFlowsAllowed;
            break;
        case FlowAttribution::scoped:
        case FlowAttribution::unscoped:
            break;
    }
    switch (classification.disposition().kind()) {
        case FlowDisposition::Kind::allowUnderInspection:
            ++counters_.flowsHeldForInspection;
            break;
        case FlowDisposition::Kind::allowAndRelease:
            ++counters_.flowsReleased;
            break;
        case FlowDisposition::Kind::drop:
            ++counters_.flowsDropped;
            break;
    }
    return classification;
}

FlowClassification FlowClassifier::classifyInspectedFlow(const FlowEvidence& evidence,
                                                         std::int64_t bytesInspected, Instant now) {
    std::scoped_lock lock(mutex_);
    const FlowClassification classification = classifyLocked(evidence, now);
    switch (classification.disposition().kind()) {
        case FlowDisposition::Kind::drop:
            leaveInspection();
            ++counters_.flowsDropped;
            return classification;
        case FlowDisposition::Kind::allowAndRelease:
            leaveInspection();
            ++counters_.flowsReleased;
            return classification;
        case FlowDisposition::Kind::allowUnderInspection:
            if (bytesInspected < EvidenceBoundedPolicy::inspectionPeekBytes) return classification;
            leaveInspection();
            ++counters_.flowsReleased;
            return FlowClassification(classification.attribution(),
                                      FlowDisposition::allowAndRelease());
    }
    return classification;
}

FlowClassification FlowClassifier::classifyLiveFlow(const FlowEvidence& evidence, Instant now) {
    std::scoped_lock lock(mutex_);
    return classifyLocked(evidence, now);
}

bool FlowClassifier::isEnforcing() const {
    std::scoped_lock lock(mutex_);
    return enforcement_.isEnforcing();
}

std::int64_t FlowClassifier::enforcedGeneration() const {
    std::scoped_lock lock(mutex_);
    return counters_.scopeGeneration;
}

FilterCounters FlowClassifier::diagnosticCounters() const {
    std::scoped_lock lock(mutex_);
    return counters_;
}

}  // namespace tolvane

std::size_t std::hash<tolvane::FilterCounters>::operator()(
    const tolvane::FilterCounters& c) const noexcept {
    std::size_t h = 0;
    for (std::int64_t value :
         {c.scopeGeneration, c.flowsClassified, c.flowsDropped, c.flowsReleased,
          c.flowsHeldForInspection, c.ambiguousFlowsAllowed, c.unattributedFlowsAllowed,
          c.associationsRecorded, c.associatedAddressCount}) {
        h = tolvane::hashCombine(h, std::hash<std::int64_t>{}(value));
    }
    return h;
}
