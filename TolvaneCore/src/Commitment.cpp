#include <cmath>
#include <ostream>
#include <sstream>
#include <tolvane/Commitment.hpp>
#include <tolvane/Hashing.hpp>
#include <tolvane/JSONCoding.hpp>
#include <tolvane/Website.hpp>

namespace tolvane {

namespace {
// Ordered comparisons: NaN and both infinities fail.
bool isValidDuration(double seconds) {
    return seconds > 0 && seconds <= CommitmentDuration::maximumSeconds;
}

// As the JSON form writes it (615, 600.25), with nan and inf spelled out.
std::string numberText(double value) {
    return std::isfinite(value) ? coding::encodeNumber(value).dump()
                                : coding::shortestDecimal(value);
}
}  // namespace

std::optional<CommitmentDuration> CommitmentDuration::make(double seconds) {
    if (!isValidDuration(seconds)) return std::nullopt;
    return CommitmentDuration(seconds);
}

std::optional<CommitmentDuration> CommitmentDuration::minutes(double minutes) {
    return make(minutes * 60.0);
}

std::optional<CommitmentDuration> CommitmentDuration::hours(double hours) {
    const double inMinutes = hours * 60.0;
    return make(inMinutes * 60.0);
}

std::string CommitmentDuration::description() const {
    return numberText(seconds_) + " s";
}

std::string ProjectedEndTime::description() const {
    return "ends at " + numberText(date_);
}

std::optional<Instant> ExtensionRuling::latestPermittedEndTime() const {
    if (case_ != Case::exceedsOriginalBoundary) return std::nullopt;
    return latest_;
}

std::string_view rawValue(ExtensionRuling::Case c) {
    switch (c) {
        case ExtensionRuling::Case::permitted:
            return "permitted";
        case ExtensionRuling::Case::exceedsOriginalBoundary:
            return "exceedsOriginalBoundary";
        case ExtensionRuling::Case::doesNotStrengthen:
            return "doesNotStrengthen";
    }
    return "doesNotStrengthen";
}

std::string ExtensionRuling::description() const {
    std::string text(rawValue(case_));
    if (case_ == Case::exceedsOriginalBoundary) text += "(" + numberText(latest_) + ")";
    return text;
}

ExtensionRuling ActivationBoundary::rulingForExtension(const ProjectedEndTime& from,
                                                       const ProjectedEndTime& to) const {
    // Written as "not later" so that a NaN on either side never strengthens.
    if (!(to.date() > from.date())) return ExtensionRuling::doesNotStrengthen();
    if (permits(to)) return ExtensionRuling::permitted();
    return ExtensionRuling::exceedsOriginalBoundary(latestPermittedEndTime());
}

double ActivationBoundary::maximumExtension(const ProjectedEndTime& end) const {
    const double room = latestPermittedEndTime() - end.date();
    return room >= 0 ? room : 0.0;
}

std::string ActivationBoundary::description() const {
    return "activated at " + numberText(activatedAt_);
}

void Commitment::strengthenByAdding(const DomainSet& domains) {
    scope_ = scope_.strengthenedByAdding(domains);
}

void Commitment::strengthenByResolving(const CommitmentSelection& selection,
                                       std::span<const Website> websites) {
    scope_ = scope_.strengthenedByResolving(selection, websites);
}

std::string Commitment::description() const {
    std::ostringstream text;
    text << "Commitment(activated at " << numberText(activatedAt_) << ", " << scope_
         << ", remaining " << numberText(remainingDuration_) << " s, " << health_ << ")";
    return text.str();
}

std::ostream& operator<<(std::ostream& os, const CommitmentDuration& value) {
    return os << value.description();
}
std::ostream& operator<<(std::ostream& os, const ProjectedEndTime& value) {
    return os << value.description();
}
std::ostream& operator<<(std::ostream& os, const ExtensionRuling& value) {
    return os << value.description();
}
std::ostream& operator<<(std::ostream& os, const ActivationBoundary& value) {
    return os << value.description();
}
std::ostream& operator<<(std::ostream& os, const Commitment& value) {
    return os << value.description();
}

void JSONCoding<CommitmentDuration>::encode(nlohmann::ordered_json& out,
                                            const CommitmentDuration& value) {
    out = coding::encodeNumber(value.seconds());
}

CommitmentDuration JSONCoding<CommitmentDuration>::decode(const nlohmann::json& in,
                                                          const std::vector<CodingKey>& path) {
    coding::Decoder decoder(in, path);
    const double seconds = decoder.number();
    auto duration = CommitmentDuration::make(seconds);
    if (!duration) {
        decoder.fail(
            DecodingError::Kind::dataCorrupted,
            "CommitmentDuration must be in (0, 24h]; got " + coding::shortestDecimal(seconds));
    }
    return *duration;
}

void JSONCoding<ProjectedEndTime>::encode(nlohmann::ordered_json& out,
                                          const ProjectedEndTime& value) {
    out = nlohmann::ordered_json::object();
    out["date"] = coding::encodeNumber(value.date());
}

ProjectedEndTime JSONCoding<ProjectedEndTime>::decode(const nlohmann::json& in,
                                                      const std::vector<CodingKey>& path) {
    const coding::Decoder object = coding::Decoder(in, path).object("ProjectedEndTime");
    return ProjectedEndTime(object.required("date").number());
}

void JSONCoding<ActivationBoundary>::encode(nlohmann::ordered_json& out,
                                            const ActivationBoundary& value) {
    out = nlohmann::ordered_json::object();
    out["activatedAt"] = coding::encodeNumber(value.activatedAt());
}

ActivationBoundary JSONCoding<ActivationBoundary>::decode(const nlohmann::json& in,
                                                          const std::vector<CodingKey>& path) {
    const coding::Decoder object = coding::Decoder(in, path).object("ActivationBoundary");
    return ActivationBoundary(object.required("activatedAt").number());
}

void JSONCoding<Commitment>::encode(nlohmann::ordered_json& out, const Commitment& value) {
    out = nlohmann::ordered_json::object();
    out["activatedAt"] = coding::encodeNumber(value.activatedAt());
    JSONCoding<Scope>::encode(out["scope"], value.scope());
    out["remainingDuration"] = coding::encodeNumber(value.remainingDuration());
    JSONCoding<CommitmentHealth>::encode(out["health"], value.health());
}

Commitment JSONCoding<Commitment>::decode(const nlohmann::json& in,
                                          const std::vector<CodingKey>& path) {
    const coding::Decoder object = coding::Decoder(in, path).object("Commitment");
    const Instant activatedAt = object.required("activatedAt").number();
    const auto scope = object.required("scope");
    Scope decodedScope = JSONCoding<Scope>::decode(scope.value(), scope.path());
    const double remainingDuration = object.required("remainingDuration").number();
    const auto health = object.required("health");
    return Commitment(activatedAt, std::move(decodedScope), remainingDuration,
                      JSONCoding<CommitmentHealth>::decode(health.value(), health.path()));
}

TOLVANE_INSTANTIATE_JSON(CommitmentDuration);
TOLVANE_INSTANTIATE_JSON(ProjectedEndTime);
TOLVANE_INSTANTIATE_JSON(ActivationBoundary);
TOLVANE_INSTANTIATE_JSON(Commitment);

}  // namespace tolvane

std::size_t std::hash<tolvane::ExtensionRuling>::operator()(
    const tolvane::ExtensionRuling& v) const noexcept {
    const std::size_t h = static_cast<std::size_t>(v.rulingCase());
    return h ^ (std::hash<double>{}(v.latestPermittedEndTime().value_or(0)) << 2);
}

std::size_t std::hash<tolvane::Commitment>::operator()(
    const tolvane::Commitment& v) const noexcept {
    std::size_t h = std::hash<double>{}(v.activatedAt());
    auto mix = [&h](std::size_t next) { h = tolvane::hashCombine(h, next); };
    mix(std::hash<tolvane::Scope>{}(v.scope()));
    mix(std::hash<double>{}(v.remainingDuration()));
    mix(static_cast<std::size_t>(v.health()));
    return h;
}
