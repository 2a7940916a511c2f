// Health.hpp: the vocabulary for saying whether enforcement works.
//
//   EnforcementHealthStatus::healthy()                              {"healthy":{}}
//   EnforcementHealthStatus::degraded(DegradedReason::failedOpen)   {"degraded":{"_0":"failedOpen"}}
//   EnforcementValidation::failed(EnforcementValidationFailure::filterNotArmed)
//                                                                   {"failed":{"_0":"filterNotArmed"}}
//   CommitmentHealth, DegradedReason, EnforcementValidationFailure  bare raw-value strings
//
// Raw values are matched exactly (case-sensitive, no trimming).
#pragma once

#include <array>
#include <functional>
#include <iosfwd>
#include <optional>
#include <string_view>
#include <tolvane/JSON.hpp>

namespace tolvane {

enum class CommitmentHealth { healthy, degraded };
enum class DegradedReason { recoveringFromCorruption, pathUnverified, failedOpen };
enum class EnforcementValidationFailure {
    extensionNotApproved,
    filterNotArmed,
    connectionNotDropped,
    networkUnavailable,
    inconclusive,
};

inline constexpr std::array<CommitmentHealth, 2> allCommitmentHealthCases = {
    CommitmentHealth::healthy, CommitmentHealth::degraded};
inline constexpr std::array<DegradedReason, 3> allDegradedReasonCases = {
    DegradedReason::recoveringFromCorruption, DegradedReason::pathUnverified,
    DegradedReason::failedOpen};
inline constexpr std::array<EnforcementValidationFailure, 5> allEnforcementValidationFailureCases =
    {EnforcementValidationFailure::extensionNotApproved,
     EnforcementValidationFailure::filterNotArmed,
     EnforcementValidationFailure::connectionNotDropped,
     EnforcementValidationFailure::networkUnavailable, EnforcementValidationFailure::inconclusive};

std::string_view rawValue(CommitmentHealth value);
std::string_view rawValue(DegradedReason value);
std::string_view rawValue(EnforcementValidationFailure value);

// `fromRawValue<E>(text)`: the case whose raw value is exactly `text`, or nullopt.
template <class E>
std::optional<E> fromRawValue(std::string_view text);
template <>
std::optional<CommitmentHealth> fromRawValue<CommitmentHealth>(std::string_view text);
template <>
std::optional<DegradedReason> fromRawValue<DegradedReason>(std::string_view text);
template <>
std::optional<EnforcementValidationFailure> fromRawValue<EnforcementValidationFailure>(
    std::string_view text);

std::ostream& operator<<(std::ostream& os, CommitmentHealth value);
std::ostream& operator<<(std::ostream& os, DegradedReason value);
std::ostream& operator<<(std::ostream& os, EnforcementValidationFailure value);

// Healthy, or degraded with a reason.
class EnforcementHealthStatus {
public:
    static EnforcementHealthStatus healthy() { return EnforcementHealthStatus(std::nullopt); }
    static EnforcementHealthStatus degraded(DegradedReason reason) {
        return EnforcementHealthStatus(reason);
    }

    bool isHealthy() const { return !reason_; }
    CommitmentHealth health() const {
        return reason_ ? CommitmentHealth::degraded : CommitmentHealth::healthy;
    }
    std::optional<DegradedReason> degradedReason() const { return reason_; }

    bool operator==(const EnforcementHealthStatus&) const = default;

private:
    explicit EnforcementHealthStatus(std::optional<DegradedReason> reason) : reason_(reason) {}
    std::optional<DegradedReason> reason_;
};

// Passed, or failed and how.
class EnforcementValidation {
public:
    static EnforcementValidation passed() { return EnforcementValidation(std::nullopt); }
    static EnforcementValidation failed(EnforcementValidationFailure failure) {
        return EnforcementValidation(failure);
    }

    bool didPass() const { return !failure_; }
    std::optional<EnforcementValidationFailure> failure() const { return failure_; }

    bool operator==(const EnforcementValidation&) const = default;

private:
    explicit EnforcementValidation(std::optional<EnforcementValidationFailure> failure)
        : failure_(failure) {}
    std::optional<EnforcementValidationFailure> failure_;
};

std::ostream& operator<<(std::ostream& os, const EnforcementHealthStatus& value);
std::ostream& operator<<(std::ostream& os, const EnforcementValidation& value);

TOLVANE_DECLARE_JSON_CODING(CommitmentHealth);
TOLVANE_DECLARE_JSON_CODING(DegradedReason);
TOLVANE_DECLARE_JSON_CODING(EnforcementValidationFailure);
TOLVANE_DECLARE_JSON_CODING(EnforcementHealthStatus);
TOLVANE_DECLARE_JSON_CODING(EnforcementValidation);

}  // namespace tolvane

template <>
struct std::hash<tolvane::EnforcementHealthStatus> {
    std::size_t operator()(const tolvane::EnforcementHealthStatus& v) const noexcept {
        auto r = v.degradedReason();
        return r ? static_cast<std::size_t>(*r) + 1 : 0;
    }
};
template <>
struct std::hash<tolvane::EnforcementValidation> {
    std::size_t operator()(const tolvane::EnforcementValidation& v) const noexcept {
        auto f = v.failure();
        return f ? static_cast<std::size_t>(*f) + 1 : 0;
    }
};
