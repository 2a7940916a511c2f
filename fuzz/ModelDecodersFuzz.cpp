// Feeds each input to the JSON decoder of every domain-model record. Bad input may only
// end in DecodingError; anything decoded must encode to a form that decodes again to an
// equal value.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <tolvane/TolvaneCore.hpp>

namespace {

using namespace tolvane;

[[noreturn]] void fault(const char* type, const std::string& what, std::string_view input,
                        const std::string& encoded) {
    std::fprintf(stderr, "%s: %s\n  input:   %.*s\n  encoded: %s\n", type, what.c_str(),
                 static_cast<int>(input.size()), input.data(), encoded.c_str());
    std::abort();
}

template <class T>
void roundTrip(const char* type, std::string_view input) {
    std::optional<T> value;
    try {
        value.emplace(decodeJSON<T>(input));
    } catch (const DecodingError&) {
        return;
    }
    const std::string encoded = encodeJSON(*value);
    std::optional<T> again;
    try {
        again.emplace(decodeJSON<T>(encoded));
    } catch (const DecodingError& error) {
        fault(type, std::string("its own encoding does not decode: ") + error.what(), input,
              encoded);
    }
    if (!(*again == *value)) fault(type, "decodes to a different value", input, encoded);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    roundTrip<Domain>("Domain", input);
    roundTrip<Scope>("Scope", input);
    roundTrip<CommitmentHealth>("CommitmentHealth", input);
    roundTrip<DegradedReason>("DegradedReason", input);
    roundTrip<EnforcementValidationFailure>("EnforcementValidationFailure", input);
    roundTrip<EnforcementHealthStatus>("EnforcementHealthStatus", input);
    roundTrip<EnforcementValidation>("EnforcementValidation", input);
    roundTrip<Group::ID>("Group::ID", input);
    roundTrip<Group>("Group", input);
    roundTrip<Website>("Website", input);
    roundTrip<NonEmptySet<Group::ID>>("NonEmptySet<Group::ID>", input);
    roundTrip<CommitmentSelection>("CommitmentSelection", input);
    roundTrip<CommitmentDuration>("CommitmentDuration", input);
    roundTrip<ProjectedEndTime>("ProjectedEndTime", input);
    roundTrip<ActivationBoundary>("ActivationBoundary", input);
    roundTrip<Commitment>("Commitment", input);
    return 0;
}
