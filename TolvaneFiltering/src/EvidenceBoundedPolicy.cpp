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

FlowAttribution EvidenceBoundedPolicy::attribution(const FlowEvidence& evidence,
                                                   const DomainMatcher& matcher,
                                                   const NameAddressAssociations& associations,
                                                   Instant now) {
    if (const auto& name = evidence.remoteHostname()) {
        return matcher.matches(*name) ? FlowAttribution::scoped : FlowAttribution::unscoped;
    }
    const auto& address = evidence.remoteAddress();
    if (!address) return FlowAttribution::unattributed;
    std::size_t names = 0;
    std::size_t matched = 0;
    associations.forEachLiveName(*address, now, [&](std::string_view name) {
        ++names;
        if (matcher.matches(name)) ++matched;
    });
    return attributionOfRememberedNames(names, matched);
}

FlowAttribution EvidenceBoundedPolicy::attributionOfRememberedNames(std::size_t live,
                                                                    std::size_t matching) {
    if (live == 0) return FlowAttribution::unattributed;
    if (matching == live) return FlowAttribution::scoped;
    if (matching == 0) return FlowAttribution::unscoped;
    return FlowAttribution::ambiguous;
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
