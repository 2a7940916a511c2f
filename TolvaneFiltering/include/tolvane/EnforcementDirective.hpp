// EnforcementDirective.hpp: `EnforcementDirective`, what the companion application publishes
// for the filter to block, and `ValidationProbe`, one extra domain lent for a few seconds so a
// validation run can check that connections to it really are dropped.
//
//   directive                                    enforcedDomains(at)
//   -------------------------------------------  ----------------------------------------
//   idle(600)                                    {} at every instant
//   scope {a.com}, no probe                      {a.com}
//   no scope, probe p.example until 615          {p.example} before 615, {} from 615 on
//
//   ValidationProbe::lent(d, 100, 5)   -> expiresAt 105
//   ValidationProbe::lent(d, 100, 60)  -> expiresAt 120   (at most maximumDuration)
//   ValidationProbe::lent(d, 100, -3)  -> expiresAt 100   (already expired)
//
// JSON form, which is the directive file's format:
//   {"scope":{"generation":2,"domains":["example.com"]},
//    "validation":{"domain":"probe.example","expiresAt":615},"publishedAt":600.25}
// Absent optionals are left out; null reads as absent; "publishedAt" is required. Neither
// record checks its fields: any generation, expiry or publication instant is kept as given.
#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <optional>
#include <tolvane/Domain.hpp>
#include <tolvane/Instant.hpp>
#include <tolvane/JSON.hpp>
#include <tolvane/Scope.hpp>

namespace tolvane {

class ValidationProbe {
public:
    // The longest a probe made by lending may last, in seconds.
    static constexpr double maximumDuration = 20.0;

    // Memberwise, unchecked.
    ValidationProbe(Domain domain, Instant expiresAt)
        : domain_(std::move(domain)), expiresAt_(expiresAt) {}

    // A probe starting at `lentAt` lasting `duration` seconds, clamped to
    // [0, maximumDuration]; a duration that is not a number counts as 0.
    static ValidationProbe lent(Domain domain, Instant lentAt, double duration);

    const Domain& domain() const { return domain_; }
    Instant expiresAt() const { return expiresAt_; }

    // True at expiresAt and after it; an instant that is no number is neither.
    bool hasExpired(Instant at) const { return at >= expiresAt_; }

    bool operator==(const ValidationProbe&) const = default;

private:
    Domain domain_;
    Instant expiresAt_;
};

std::ostream& operator<<(std::ostream& os, const ValidationProbe& probe);

class EnforcementDirective {
public:
    EnforcementDirective(std::optional<Scope> scope, std::optional<ValidationProbe> validation,
                         Instant publishedAt)
        : scope_(std::move(scope)), validation_(std::move(validation)), publishedAt_(publishedAt) {}

    // Nothing committed and no probe.
    static EnforcementDirective idle(Instant publishedAt) {
        return EnforcementDirective(std::nullopt, std::nullopt, publishedAt);
    }

    const std::optional<Scope>& scope() const { return scope_; }
    const std::optional<ValidationProbe>& validation() const { return validation_; }
    Instant publishedAt() const { return publishedAt_; }

    // The scope's generation, 0 without a scope.
    std::int64_t generation() const { return scope_ ? scope_->generation() : 0; }

    // The scope's domains plus the probe's domain while the probe has not expired.
    DomainSet enforcedDomains(Instant at) const;
    bool isEnforcing(Instant at) const;

    bool operator==(const EnforcementDirective&) const = default;

private:
    std::optional<Scope> scope_;
    std::optional<ValidationProbe> validation_;
    Instant publishedAt_;
};

std::ostream& operator<<(std::ostream& os, const EnforcementDirective& directive);

TOLVANE_DECLARE_JSON_CODING(ValidationProbe);
TOLVANE_DECLARE_JSON_CODING(EnforcementDirective);

}  // namespace tolvane

template <>
struct std::hash<tolvane::ValidationProbe> {
    std::size_t operator()(const tolvane::ValidationProbe& probe) const noexcept;
};

template <>
struct std::hash<tolvane::EnforcementDirective> {
    std::size_t operator()(const tolvane::EnforcementDirective& directive) const noexcept;
};
