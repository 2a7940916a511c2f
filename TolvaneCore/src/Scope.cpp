#include <algorithm>
#include <limits>
#include <ostream>
#include <tolvane/Hashing.hpp>
#include <tolvane/JSONCoding.hpp>
#include <tolvane/Scope.hpp>
#include <tolvane/Website.hpp>

namespace tolvane {

ScopeStrengtheningError::ScopeStrengtheningError(Case c)
    : std::runtime_error(std::string(rawValue(c))), case_(c) {}

std::string_view rawValue(ScopeStrengtheningError::Case c) {
    switch (c) {
        case ScopeStrengtheningError::Case::noAdditionalDomains:
            return "noAdditionalDomains";
        case ScopeStrengtheningError::Case::generationExhausted:
            return "generationExhausted";
    }
    return "noAdditionalDomains";
}

Scope Scope::strengthenedByAdding(const DomainSet& domains) const {
    DomainSet joined = domains_;
    joined.insert(domains.begin(), domains.end());
    if (joined.size() <= domains_.size()) {
        throw ScopeStrengtheningError(ScopeStrengtheningError::Case::noAdditionalDomains);
    }
    if (generation_ == std::numeric_limits<std::int64_t>::max()) {
        throw ScopeStrengtheningError(ScopeStrengtheningError::Case::generationExhausted);
    }
    return Scope(generation_ + 1, std::move(joined));
}

Scope Scope::resolving(const CommitmentSelection& selection, std::span<const Website> websites) {
    return Scope(1, selection.resolvedDomains(websites));
}

Scope Scope::strengthenedByResolving(const CommitmentSelection& selection,
                                     std::span<const Website> websites) const {
    return strengthenedByAdding(selection.resolvedDomains(websites));
}

bool Scope::covers(const Domain& domain) const {
    return std::any_of(domains_.begin(), domains_.end(),
                       [&](const Domain& blocked) { return domain.isWithin(blocked); });
}

std::ostream& operator<<(std::ostream& os, const Scope& scope) {
    std::vector<std::string> names;
    for (const auto& d : scope.domains()) names.push_back(d.name());
    std::sort(names.begin(), names.end());
    os << "generation " << scope.generation() << " {";
    for (std::size_t i = 0; i < names.size(); ++i) os << (i ? ", " : "") << names[i];
    return os << "}";
}

void JSONCoding<Scope>::encode(nlohmann::ordered_json& out, const Scope& value) {
    out = nlohmann::ordered_json::object();
    out["generation"] = value.generation();
    auto& domains = out["domains"] = nlohmann::ordered_json::array();
    for (const Domain& d : value.domains()) domains.push_back(d.name());
}

Scope JSONCoding<Scope>::decode(const nlohmann::json& in, const std::vector<CodingKey>& path) {
    coding::Decoder object = coding::Decoder(in, path).object("Scope");
    const std::int64_t generation = object.required("generation").int64();
    DomainSet domains;
    for (const auto& element : object.required("domains").array("Array<Domain>")) {
        domains.insert(JSONCoding<Domain>::decode(element.value(), element.path()));
    }
    return Scope(generation, std::move(domains));
}

TOLVANE_INSTANTIATE_JSON(Scope);

}  // namespace tolvane

std::size_t std::hash<tolvane::Scope>::operator()(const tolvane::Scope& scope) const noexcept {
    // Order-independent over the set, as set equality is.
    return tolvane::hashCombine(std::hash<std::int64_t>{}(scope.generation()),
                                tolvane::unorderedHash(scope.domains()));
}
