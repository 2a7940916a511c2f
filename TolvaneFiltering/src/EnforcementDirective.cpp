#include <cmath>
#include <ostream>
#include <tolvane/EnforcementDirective.hpp>
#include <tolvane/Hashing.hpp>
#include <tolvane/JSONCoding.hpp>

namespace tolvane {

ValidationProbe ValidationProbe::lent(Domain domain, Instant lentAt, double duration) {
    // `duration > 0` is false for NaN, so a duration that is not a number lends nothing.
    double seconds = duration > 0 ? duration : 0;
    if (seconds > maximumDuration) seconds = maximumDuration;
    return ValidationProbe(std::move(domain), lentAt + seconds);
}

std::ostream& operator<<(std::ostream& os, const ValidationProbe& probe) {
    return os << probe.domain() << " until " << probe.expiresAt();
}

// The probe counts only strictly before its expiry, which is not quite !hasExpired: an instant
// that is no number is neither before nor at or after it.
DomainSet EnforcementDirective::enforcedDomains(Instant at) const {
    DomainSet domains = scope_ ? scope_->domains() : DomainSet{};
    if (validation_ && at < validation_->expiresAt()) domains.insert(validation_->domain());
    return domains;
}

bool EnforcementDirective::isEnforcing(Instant at) const {
    if (scope_ && !scope_->domains().empty()) return true;
    return validation_ && at < validation_->expiresAt();
}

std::ostream& operator<<(std::ostream& os, const EnforcementDirective& directive) {
    os << "directive published at " << directive.publishedAt() << ", scope ";
    if (directive.scope()) {
        os << *directive.scope();
    } else {
        os << "none";
    }
    os << ", probe ";
    if (directive.validation()) {
        os << *directive.validation();
    } else {
        os << "none";
    }
    return os;
}

void JSONCoding<ValidationProbe>::encode(nlohmann::ordered_json& out,
                                         const ValidationProbe& value) {
    out = nlohmann::ordered_json::object();
    JSONCoding<Domain>::encode(out["domain"], value.domain());
    out["expiresAt"] = coding::encodeNumber(value.expiresAt());
}

ValidationProbe JSONCoding<ValidationProbe>::decode(const nlohmann::json& in,
                                                    const std::vector<CodingKey>& path) {
    const coding::Decoder object = coding::Decoder(in, path).object("ValidationProbe");
    const coding::Decoder domain = object.required("domain");
    Domain decoded = JSONCoding<Domain>::decode(domain.value(), domain.path());
    const Instant expiresAt = object.required("expiresAt").number();
    return ValidationProbe(std::move(decoded), expiresAt);
}

void JSONCoding<EnforcementDirective>::encode(nlohmann::ordered_json& out,
                                              const EnforcementDirective& value) {
    out = nlohmann::ordered_json::object();
    if (value.scope()) JSONCoding<Scope>::encode(out["scope"], *value.scope());
    if (value.validation())
        JSONCoding<ValidationProbe>::encode(out["validation"], *value.validation());
    out["publishedAt"] = coding::encodeNumber(value.publishedAt());
}

EnforcementDirective JSONCoding<EnforcementDirective>::decode(const nlohmann::json& in,
                                                              const std::vector<CodingKey>& path) {
    const coding::Decoder object = coding::Decoder(in, path).object("EnforcementDirective");
    std::optional<Scope> scope;
    if (auto member = object.optional("scope")) {
        scope = JSONCoding<Scope>::decode(member->value(), member->path());
    }
    std::optional<ValidationProbe> validation;
    if (auto member = object.optional("validation")) {
        validation = JSONCoding<ValidationProbe>::decode(member->value(), member->path());
    }
    const Instant publishedAt = object.required("publishedAt").number();
    return EnforcementDirective(std::move(scope), std::move(validation), publishedAt);
}

TOLVANE_INSTANTIATE_JSON(ValidationProbe);
TOLVANE_INSTANTIATE_JSON(EnforcementDirective);

}  // namespace tolvane

std::size_t std::hash<tolvane::ValidationProbe>::operator()(
    const tolvane::ValidationProbe& probe) const noexcept {
    return tolvane::hashCombine(std::hash<tolvane::Domain>{}(probe.domain()),
                                std::hash<double>{}(probe.expiresAt()));
}

std::size_t std::hash<tolvane::EnforcementDirective>::operator()(
    const tolvane::EnforcementDirective& directive) const noexcept {
    std::size_t h = std::hash<double>{}(directive.publishedAt());
    h = tolvane::hashCombine(
        h, directive.scope() ? std::hash<tolvane::Scope>{}(*directive.scope()) : 0x51);
    h = tolvane::hashCombine(h, directive.validation()
                                    ? std::hash<tolvane::ValidationProbe>{}(*directive.validation())
                                    : 0x7A);
    return h;
}
