#include <ostream>
#include <tolvane/EvidenceBoundedPolicy.hpp>

namespace tolvane {

std::string_view rawValue(FlowAttribution attribution) {
    switch (attribution) {
        case FlowAttribution::scoped:
            return "scoped";
        case FlowAttribution::unscoped:
            return "unscoped";
        case FlowAttribution::ambiguous:
            return "ambiguous";
        case FlowAttribution::unattributed:
            return "unattributed";
    }
    return "unattributed";
}

std::ostream& operator<<(std::ostream& os, FlowAttribution attribution) {
    return os << rawValue(attribution);
}

std::string FlowDisposition::description() const {
    switch (kind_) {
        case Kind::allowUnderInspection:
            return "allowUnderInspection(peekBytes: " + std::to_string(peekBytes_) + ")";
        case Kind::drop:
            return "drop";
        case Kind::allowAndRelease:
            return "allowAndRelease";
    }
    return "drop";
}

std::ostream& operator<<(std::ostream& os, const FlowDisposition& disposition) {
    return os << disposition.description();
}

std::ostream& operator<<(std::ostream& os, const FlowClassification& classification) {
    return os << classification.attribution() << " " << classification.disposition();
}

namespace {
// The rule's questions answered straight from the matcher and the remembered names.
struct PlainLookup {
    const DomainMatcher& matcher;
    const NameAddressAssociations& associations;
    Instant now;

    bool matches(std::string_view name) const { return matcher.matches(name); }
    NameAddressAssociations::Tally remembered(const FlowAddress& address) const {
        NameAddressAssociations::Tally tally;
        associations.forEachLiveName(address, now, [&](std::string_view name) {
            ++tally.live;
            if (matcher.matches(name)) ++tally.accepted;
        });
        return tally;
    }
};
}  // namespace

FlowAttribution EvidenceBoundedPolicy::attribution(const FlowEvidence& evidence,
                                                   const DomainMatcher& matcher,
                                                   const NameAddressAssociations& associations,
                                                   Instant now) {
    return attribution(evidence, PlainLookup{matcher, associations, now});
}

FlowDisposition EvidenceBoundedPolicy::disposition(FlowAttribution attribution,
                                                   bool scopeIsEnforcing) {
    switch (attribution) {
        case FlowAttribution::scoped:
            return FlowDisposition::drop();
        case FlowAttribution::unscoped:
        case FlowAttribution::ambiguous:
            return FlowDisposition::allowAndRelease();
        case FlowAttribution::unattributed:
            return scopeIsEnforcing ? FlowDisposition::allowUnderInspection(inspectionPeekBytes)
                                    : FlowDisposition::allowAndRelease();
    }
    return FlowDisposition::allowAndRelease();
}

}  // namespace tolvane
