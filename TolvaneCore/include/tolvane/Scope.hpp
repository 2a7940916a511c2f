// Scope.hpp: `Scope`, the set of domains a commitment blocks and the generation that counts
// how often it has been widened. A scope only grows: each strengthening adds at least one
// domain and exactly one generation.
//
//   Scope s(4, {a.com});
//   s.strengthenedByAdding({b.com})          -> {a.com, b.com}, generation 5
//   s.strengthenedByAdding({a.com, b.com})   -> {a.com, b.com}, generation 5
//   s.strengthenedByAdding({a.com})          throws ScopeStrengtheningError::noAdditionalDomains
//   s.covers(mail.a.com) == true; s.covers(bada.com) == false
//
//   Scope::resolving(selection, websites)    -> selection's resolved domains, generation 1
//   s.strengthenedByResolving(selection, websites)
//                                            -> as strengthenedByAdding(resolved domains)
//
// JSON form: {"generation":4,"domains":["a.com"]}; the array is read as a set.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <span>
#include <stdexcept>
#include <tolvane/Domain.hpp>
#include <tolvane/JSON.hpp>
#include <unordered_set>

namespace tolvane {

using DomainSet = std::unordered_set<Domain>;

class CommitmentSelection;  // <tolvane/Website.hpp>
class Website;

class ScopeStrengtheningError : public std::runtime_error {
public:
    enum class Case {
        noAdditionalDomains,
        // The generation is already the largest 64-bit value and cannot count another widening.
        generationExhausted,
    };
    explicit ScopeStrengtheningError(Case c);
    Case errorCase() const { return case_; }
    bool operator==(const ScopeStrengtheningError& other) const { return case_ == other.case_; }

private:
    Case case_;
};

std::string_view rawValue(ScopeStrengtheningError::Case c);

class Scope {
public:
    Scope(std::int64_t generation, DomainSet domains)
        : generation_(generation), domains_(std::move(domains)) {}

    // The scope of a new commitment: what `selection` resolves to over `websites`, at
    // generation 1. Never fails, also when nothing is resolved.
    static Scope resolving(const CommitmentSelection& selection, std::span<const Website> websites);

    std::int64_t generation() const { return generation_; }
    const DomainSet& domains() const { return domains_; }

    // A new scope holding the union at generation + 1; the receiver is unchanged.
    // Throws ScopeStrengtheningError when nothing new would be added (or the generation is
    // exhausted).
    Scope strengthenedByAdding(const DomainSet& domains) const;
    // strengthenedByAdding with what `selection` resolves to over `websites`; same failures.
    Scope strengthenedByResolving(const CommitmentSelection& selection,
                                  std::span<const Website> websites) const;

    // Whether a scope domain equals `domain` or is a dot-separated suffix of it.
    bool covers(const Domain& domain) const;

    bool operator==(const Scope&) const = default;

private:
    std::int64_t generation_;
    DomainSet domains_;
};

std::ostream& operator<<(std::ostream& os, const Scope& scope);

TOLVANE_DECLARE_JSON_CODING(Scope);

}  // namespace tolvane

template <>
struct std::hash<tolvane::Scope> {
    std::size_t operator()(const tolvane::Scope& scope) const noexcept;
};
template <>
struct std::hash<tolvane::ScopeStrengtheningError> {
    std::size_t operator()(const tolvane::ScopeStrengtheningError& error) const noexcept {
        return static_cast<std::size_t>(error.errorCase());
    }
};
