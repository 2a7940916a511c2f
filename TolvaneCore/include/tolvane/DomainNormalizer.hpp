// DomainNormalizer.hpp: `DomainNormalizer` turns what a person typed to name a website into
// the registrable domain a commitment blocks, and says how it got there
// (`DomainNormalizationResult`) or why it could not (`DomainNormalizationError`).
//
//   With the rules  com  de  uk  co.uk
//   input                                  result
//   -------------------------------------  ------------------------------------------------
//   "  Example.COM.  "                     alreadyRegistrable(example.com)
//   "https://www.example.com/path?q=1#top" normalizedToRegistrable(example.com, original)
//   "bücher.de"                            normalizedToRegistrable(xn--bcher-kva.de, "bücher.de")
//   "www.mail.example.com"                 narrowerSubdomain(mail.example.com, example.com)
//   "", " \n\t "                           throws emptyInput
//   "https://", "."                        throws noHost
//   "exa mple.com", "example.com:"         throws invalidHostname("exa mple.com"), ...
//   "192.168.0.1:8080", "[::1]:8080"       throws ipAddressUnsupported("192.168.0.1"), ...
//   "co.uk", "localhost"                   throws publicSuffixOnly("co.uk"), ...
//
// A host that still ends in a dot after one trailing dot is removed ("example.com.."), or
// whose ASCII-compatible form ends in one (a full-width full stop maps to "."), is refused
// with invalidHostname carrying the host as it was before conversion ("example.com.").
//
// Lower-casing and removing one trailing dot alone never count as normalisation: the input
// "Example.COM." is alreadyRegistrable. Anything else removed or converted does, even an
// empty path "/". The original text kept in normalizedToRegistrable is the trimmed input.
#pragma once

#include <cstddef>
#include <functional>
#include <iosfwd>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <tolvane/Domain.hpp>
#include <tolvane/PublicSuffixList.hpp>
#include <utility>

namespace tolvane {

class DomainNormalizationResult {
public:
    enum class Case { alreadyRegistrable, normalizedToRegistrable, narrowerSubdomain };

    // The input, after trimming, lower-casing and removing one trailing dot, is registrable.
    static DomainNormalizationResult alreadyRegistrable(Domain domain) {
        return {Case::alreadyRegistrable, std::move(domain), std::nullopt, {}};
    }
    // The input led to `registrable` only after more cleaning; `original` is the trimmed input.
    static DomainNormalizationResult normalizedToRegistrable(Domain registrable,
                                                             std::string original) {
        return {Case::normalizedToRegistrable, std::move(registrable), std::nullopt,
                std::move(original)};
    }
    // The input names `narrow`, a host below its registrable domain.
    static DomainNormalizationResult narrowerSubdomain(Domain narrow, Domain registrable) {
        return {Case::narrowerSubdomain, std::move(registrable), std::move(narrow), {}};
    }

    Case resultCase() const { return case_; }
    // The registrable domain of every case.
    const Domain& registrableDomain() const { return registrable_; }
    // The narrow host of narrowerSubdomain; nullopt for the other cases.
    const std::optional<Domain>& narrowAlternative() const { return narrow_; }
    // The trimmed input of normalizedToRegistrable; nullopt for the other cases.
    std::optional<std::string_view> original() const {
        if (case_ != Case::normalizedToRegistrable) return std::nullopt;
        return std::string_view(original_);
    }

    // e.g. narrowerSubdomain(narrow: mail.example.com, registrable: example.com)
    std::string description() const;

    bool operator==(const DomainNormalizationResult&) const = default;

private:
    DomainNormalizationResult(Case c, Domain registrable, std::optional<Domain> narrow,
                              std::string original)
        : case_(c),
          registrable_(std::move(registrable)),
          narrow_(std::move(narrow)),
          original_(std::move(original)) {}

    Case case_;
    Domain registrable_;
    std::optional<Domain> narrow_;
    std::string original_;  // empty unless normalizedToRegistrable
};

std::string_view rawValue(DomainNormalizationResult::Case c);
std::ostream& operator<<(std::ostream& os, const DomainNormalizationResult& result);

// Why a text names no usable website. what() is the description, e.g.
// invalidHostname("exa mple.com"); presenting reasons to a person is the caller's task.
class DomainNormalizationError : public std::runtime_error {
public:
    enum class Case { emptyInput, noHost, invalidHostname, ipAddressUnsupported, publicSuffixOnly };

    static DomainNormalizationError emptyInput() { return {Case::emptyInput, {}}; }
    static DomainNormalizationError noHost() { return {Case::noHost, {}}; }
    static DomainNormalizationError invalidHostname(std::string text) {
        return {Case::invalidHostname, std::move(text)};
    }
    static DomainNormalizationError ipAddressUnsupported(std::string text) {
        return {Case::ipAddressUnsupported, std::move(text)};
    }
    static DomainNormalizationError publicSuffixOnly(std::string host) {
        return {Case::publicSuffixOnly, std::move(host)};
    }

    Case errorCase() const { return case_; }
    // The offending text; empty for emptyInput and noHost, which carry none.
    const std::string& payload() const { return payload_; }
    std::string description() const { return what(); }

    bool operator==(const DomainNormalizationError& other) const {
        return case_ == other.case_ && payload_ == other.payload_;
    }

private:
    DomainNormalizationError(Case c, std::string payload);

    Case case_;
    std::string payload_;
};

std::string_view rawValue(DomainNormalizationError::Case c);
std::ostream& operator<<(std::ostream& os, const DomainNormalizationError& error);

// Immutable; normalize may run on any thread at once. Holds its list as a value, and lists
// share their rules, so a normaliser is cheap to copy and every one made from the packaged
// list shares it.
class DomainNormalizer {
public:
    // With the packaged list, PublicSuffixList::embedded().
    DomainNormalizer();
    explicit DomainNormalizer(PublicSuffixList publicSuffixList)
        : publicSuffixList_(std::move(publicSuffixList)) {}

    const PublicSuffixList& publicSuffixList() const { return publicSuffixList_; }

    // The registrable domain `input` names, or throws DomainNormalizationError. The cleaning,
    // in order: trim whitespace and line breaks; drop a scheme ("letters+digits+-.://"), then
    // everything from the first "/", "?" or "#", then everything up to the last "@"; refuse
    // "[" and two or more ":" as addresses; drop a numeric port; lower-case and drop one
    // trailing dot; validate as a Domain; convert non-ASCII to the ASCII-compatible form;
    // refuse all-digit labels as an address; find the registrable domain; drop leading
    // "www." labels above it.
    DomainNormalizationResult normalize(std::string_view input) const;

private:
    PublicSuffixList publicSuffixList_;
};

}  // namespace tolvane

template <>
struct std::hash<tolvane::DomainNormalizationResult> {
    std::size_t operator()(const tolvane::DomainNormalizationResult& r) const noexcept;
};
template <>
struct std::hash<tolvane::DomainNormalizationError> {
    std::size_t operator()(const tolvane::DomainNormalizationError& e) const noexcept;
};
