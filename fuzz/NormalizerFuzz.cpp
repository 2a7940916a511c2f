// NormalizerFuzz: normalize() on arbitrary bytes, under the packaged list. Only
// DomainNormalizationError may escape, and every result must hold valid domains that the
// list agrees with.
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
    } catch (const tolvane::DomainNormalizationError& error) {
        using E = tolvane::DomainNormalizationError::Case;
        const bool carriesText =
            error.errorCase() != E::emptyInput && error.errorCase() != E::noHost;
        require(carriesText != error.payload().empty());
    }
    return 0;
}
