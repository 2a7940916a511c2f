// Feeds arbitrary bytes to the directive decoder. The directive file is written by another
// process, so whatever it holds must come back either as a DecodingError or as a directive
// that the file format writes and reads back unchanged. Any other exception escapes and
// crashes the fuzzer, which is the point.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <tolvane/EnforcementDirective.hpp>

namespace {
// JSON has no text for infinities (an overflowing number such as 1e999 reads as one), so
// such directives cannot be written back faithfully and are not held to the round trip.
bool hasOnlyFiniteInstants(const tolvane::EnforcementDirective& directive) {
    if (!std::isfinite(directive.publishedAt())) return false;
    return !directive.validation() || std::isfinite(directive.validation()->expiresAt());
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::optional<tolvane::EnforcementDirective> directive;
    try {
        directive = tolvane::decodeJSON<tolvane::EnforcementDirective>(text);
    } catch (const tolvane::DecodingError&) {
        return 0;  // the one expected outcome for bad input
    }
    (void)directive->isEnforcing(directive->publishedAt());
    if (!hasOnlyFiniteInstants(*directive)) return 0;
    const std::string written = tolvane::encodeJSON(*directive);
    // A DecodingError here is a real fault, so it is not caught.
    if (tolvane::decodeJSON<tolvane::EnforcementDirective>(written) != *directive) std::abort();
    return 0;
}
