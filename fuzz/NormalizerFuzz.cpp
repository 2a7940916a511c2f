// NormalizerFuzz: normalize() on arbitrary bytes, under the packaged list. Only
// DomainNormalizationError may escape, every result must hold valid domains that the list
// agrees with, and a result normalises to itself: its registrable domain is
// alreadyRegistrable, its narrow host gives the same narrowerSubdomain.
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <tolvane/DomainNormalizer.hpp>
#include <tolvane/Unicode.hpp>

namespace {

void require(bool condition) {
    if (!condition) std::abort();
}

// A name the normalizer hands out: ASCII, a valid Domain as it stands, and in its
// ASCII-compatible form already.
void requireNormalDomain(const tolvane::Domain& domain) {
    const std::string& name = domain.name();
    require(tolvane::unicode::isASCII(name));
    const auto again = tolvane::Domain::make(name);
    require(again && again->name() == name);
}

// Whether every label is made of digits: what normalize() refuses as an address.
bool allDigitLabels(std::string_view name) {
    return !name.empty() && name.find_first_not_of("0123456789.") == std::string_view::npos;
}

// Normalising what normalize() handed out gives it back unchanged, with one exception.
// normalize() refuses a host whose labels are all digits before it finds the registrable
// domain and drops leading "www." labels; under the list's default rule any last label is a
// public suffix, so a host with a non-digit label above digit-only ones gives a registrable
// domain or narrow host of digits only, which normalize() then refuses as
// ipAddressUnsupported: "www.4.4444" gives normalizedToRegistrable(4.4444), "a.1.2" gives
// narrowerSubdomain(a.1.2, 1.2), "www.10.0.0.1" gives narrowerSubdomain(10.0.0.1, 0.1).
// Those names are not checked until normalize() refuses them in its results too.
void requireStable(const tolvane::DomainNormalizer& normalizer,
                   const tolvane::DomainNormalizationResult& result) {
    using Result = tolvane::DomainNormalizationResult;
    const tolvane::Domain& registrable = result.registrableDomain();
    try {
        if (!allDigitLabels(registrable.name())) {
            require(normalizer.normalize(registrable.name()) ==
                    Result::alreadyRegistrable(registrable));
        }
        if (const auto& narrow = result.narrowAlternative();
            narrow && !allDigitLabels(narrow->name())) {
            require(normalizer.normalize(narrow->name()) ==
                    Result::narrowerSubdomain(*narrow, registrable));
        }
    } catch (const tolvane::DomainNormalizationError&) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const tolvane::DomainNormalizer normalizer(tolvane::PublicSuffixList::embedded());
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    using Case = tolvane::DomainNormalizationResult::Case;
    try {
        const auto result = normalizer.normalize(input);
        const tolvane::Domain& registrable = result.registrableDomain();
        requireNormalDomain(registrable);
        require(normalizer.publicSuffixList().registrableDomain(registrable.name()) ==
                std::string_view(registrable.name()));
        require(result.narrowAlternative().has_value() ==
                (result.resultCase() == Case::narrowerSubdomain));
        if (const auto& narrow = result.narrowAlternative()) {
            requireNormalDomain(*narrow);
            require(*narrow != registrable && narrow->isWithin(registrable));
        }
        if (const auto original = result.original()) require(!original->empty());
        requireStable(normalizer, result);
    } catch (const tolvane::DomainNormalizationError& error) {
        using E = tolvane::DomainNormalizationError::Case;
        const bool carriesText =
            error.errorCase() != E::emptyInput && error.errorCase() != E::noHost;
        require(carriesText != error.payload().empty());
    }
    return 0;
}
