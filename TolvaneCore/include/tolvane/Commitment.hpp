// Commitment.hpp: the timing rules of a commitment. A commitment lasts at most 24 hours, may
// be extended only to a later end, and never past 24 hours after its activation, however
// often it is extended.
//
//   CommitmentDuration::make(86400)        86400 s
//   CommitmentDuration::make(86400.000001) nullopt   (also 0, -1, NaN, +/-infinity)
//   CommitmentDuration::minutes(1440)      86400 s
//   CommitmentDuration::hours(24.0001)     nullopt
//
//   ActivationBoundary b(A);                          b.latestPermittedEndTime() == A + 86400
//   b.rulingForExtension(end(A+3600), end(A+3600))    doesNotStrengthen
//   b.rulingForExtension(end(A+3600), end(A+86400))   permitted
//   b.rulingForExtension(end(A+3600), end(A+90000))   exceedsOriginalBoundary(A + 86400)
//   b.maximumExtension(end(A+90000))                  0 (never negative)
//
// An end is judged by whether it is later than another instant, so a NaN end, never later
// than anything, does not strengthen and does not pass the boundary.
//
// JSON forms: CommitmentDuration a bare number (86400); ProjectedEndTime {"date":T};
// ActivationBoundary {"activatedAt":T}; Commitment
// {"activatedAt":T,"scope":{...},"remainingDuration":3600,"health":"healthy"}.
// ExtensionRuling has none.
#pragma once

#include <compare>
#include <functional>
#include <iosfwd>
#include <optional>
#include <span>
#include <string>
#include <tolvane/Health.hpp>
#include <tolvane/Instant.hpp>
#include <tolvane/JSON.hpp>
#include <tolvane/Scope.hpp>

namespace tolvane {

class CommitmentSelection;  // <tolvane/Website.hpp>
class Website;

// A length of time a commitment may be given: 0 < seconds <= 24 hours.
class CommitmentDuration {
public:
    static constexpr double maximumSeconds = 86400.0;

    // Each factory gives nullopt when the seconds would break the invariant.
    static std::optional<CommitmentDuration> make(double seconds);
    static std::optional<CommitmentDuration> minutes(double minutes);
    // The seconds are hours * 60 * 60, multiplied in that order.
    static std::optional<CommitmentDuration> hours(double hours);

    double seconds() const { return seconds_; }
    std::string description() const;

    bool operator==(const CommitmentDuration&) const = default;
    auto operator<=>(const CommitmentDuration&) const = default;

private:
    explicit CommitmentDuration(double seconds) : seconds_(seconds) {}
    double seconds_;
};

// The instant at which a commitment is expected to end.
class ProjectedEndTime {
public:
    explicit ProjectedEndTime(Instant date) : date_(date) {}
    // start + remainingDuration, unvalidated: a negative duration ends before the start.
    static ProjectedEndTime projectingFrom(Instant start, double remainingDuration) {
        return ProjectedEndTime(start + remainingDuration);
    }

    Instant date() const { return date_; }
    std::string description() const;

    bool operator==(const ProjectedEndTime&) const = default;
    auto operator<=>(const ProjectedEndTime&) const = default;

private:
    Instant date_;
};

// The answer to a request to move a commitment's end later.
class ExtensionRuling {
public:
    enum class Case { permitted, exceedsOriginalBoundary, doesNotStrengthen };

    static ExtensionRuling permitted() { return ExtensionRuling(Case::permitted, 0); }
    // The proposed end lies past the boundary; `latestPermittedEndTime` is the latest allowed.
    static ExtensionRuling exceedsOriginalBoundary(Instant latestPermittedEndTime) {
        return ExtensionRuling(Case::exceedsOriginalBoundary, latestPermittedEndTime);
    }
    // The proposed end is not later than the current one.
    static ExtensionRuling doesNotStrengthen() {
        return ExtensionRuling(Case::doesNotStrengthen, 0);
    }

    Case rulingCase() const { return case_; }
    bool isPermitted() const { return case_ == Case::permitted; }
    // The payload of exceedsOriginalBoundary; nullopt for the other cases.
    std::optional<Instant> latestPermittedEndTime() const;
    std::string description() const;

    bool operator==(const ExtensionRuling&) const = default;

private:
    ExtensionRuling(Case c, Instant latest) : case_(c), latest_(latest) {}
    Case case_;
    Instant latest_;  // 0 unless exceedsOriginalBoundary
};

std::string_view rawValue(ExtensionRuling::Case c);

// When a commitment was activated, and the 24-hour limit on its end that follows.
class ActivationBoundary {
public:
    explicit ActivationBoundary(Instant activatedAt) : activatedAt_(activatedAt) {}

    Instant activatedAt() const { return activatedAt_; }
    Instant latestPermittedEndTime() const {
        return activatedAt_ + CommitmentDuration::maximumSeconds;
    }
    // True when `end` is not later than latestPermittedEndTime().
    bool permits(const ProjectedEndTime& end) const {
        return !(end.date() > latestPermittedEndTime());
    }
    // doesNotStrengthen unless `to` is strictly later than `from` (checked first), then
    // permitted when the boundary permits `to`, else exceedsOriginalBoundary.
    ExtensionRuling rulingForExtension(const ProjectedEndTime& from,
                                       const ProjectedEndTime& to) const;
    // Seconds by which `end` could still move later; never negative, 0 when not a number.
    double maximumExtension(const ProjectedEndTime& end) const;
    std::string description() const;

    bool operator==(const ActivationBoundary&) const = default;

private:
    Instant activatedAt_;
};

// An activated commitment. Its scope only grows, through the strengthen operations; the
// remaining duration and health are stored as written (no clamping: what lowers the
// remaining duration is its owner's business).
class Commitment {
public:
    // remainingDuration starts as duration.seconds().
    Commitment(Instant activatedAt, CommitmentDuration duration, Scope scope,
               CommitmentHealth health)
        : Commitment(activatedAt, std::move(scope), duration.seconds(), health) {}

    Instant activatedAt() const { return activatedAt_; }
    const Scope& scope() const { return scope_; }
    double remainingDuration() const { return remainingDuration_; }
    void setRemainingDuration(double seconds) { remainingDuration_ = seconds; }
    CommitmentHealth health() const { return health_; }
    void setHealth(CommitmentHealth health) { health_ = health; }

    ActivationBoundary boundary() const { return ActivationBoundary(activatedAt_); }
    // asOf + remainingDuration.
    ProjectedEndTime projectedEndTime(Instant asOf) const {
        return ProjectedEndTime::projectingFrom(asOf, remainingDuration_);
    }

    // Replace the scope with its strengthened form. On ScopeStrengtheningError the commitment
    // is left unchanged; timing and health are never touched.
    void strengthenByAdding(const DomainSet& domains);
    void strengthenByResolving(const CommitmentSelection& selection,
                               std::span<const Website> websites);

    std::string description() const;

    bool operator==(const Commitment&) const = default;

private:
    friend struct JSONCoding<Commitment>;  // decoding accepts any remaining duration
    Commitment(Instant activatedAt, Scope scope, double remainingDuration, CommitmentHealth health)
        : activatedAt_(activatedAt),
          scope_(std::move(scope)),
          remainingDuration_(remainingDuration),
          health_(health) {}

    Instant activatedAt_;
    Scope scope_;
    double remainingDuration_;
    CommitmentHealth health_;
};

std::ostream& operator<<(std::ostream& os, const CommitmentDuration& value);
std::ostream& operator<<(std::ostream& os, const ProjectedEndTime& value);
std::ostream& operator<<(std::ostream& os, const ExtensionRuling& value);
std::ostream& operator<<(std::ostream& os, const ActivationBoundary& value);
std::ostream& operator<<(std::ostream& os, const Commitment& value);

// Decoding a duration outside (0, 24h] fails with dataCorrupted
// "CommitmentDuration must be in (0, 24h]; got 90000.0".
TOLVANE_DECLARE_JSON_CODING(CommitmentDuration);
TOLVANE_DECLARE_JSON_CODING(ProjectedEndTime);
TOLVANE_DECLARE_JSON_CODING(ActivationBoundary);
TOLVANE_DECLARE_JSON_CODING(Commitment);

}  // namespace tolvane

template <>
struct std::hash<tolvane::CommitmentDuration> {
    std::size_t operator()(const tolvane::CommitmentDuration& v) const noexcept {
        return std::hash<double>{}(v.seconds());
    }
};
template <>
struct std::hash<tolvane::ProjectedEndTime> {
    std::size_t operator()(const tolvane::ProjectedEndTime& v) const noexcept {
        return std::hash<double>{}(v.date());
    }
};
template <>
struct std::hash<tolvane::ActivationBoundary> {
    std::size_t operator()(const tolvane::ActivationBoundary& v) const noexcept {
        return std::hash<double>{}(v.activatedAt());
    }
};
template <>
struct std::hash<tolvane::ExtensionRuling> {
    std::size_t operator()(const tolvane::ExtensionRuling& v) const noexcept;
};
template <>
struct std::hash<tolvane::Commitment> {
    std::size_t operator()(const tolvane::Commitment& v) const noexcept;
};
