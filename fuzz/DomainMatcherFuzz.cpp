// DomainMatcherFuzz: the fuzz input is a set of domain names and then hosts, some made from
// those names. Every answer of the matcher is checked against its plain rule: after the full
// Unicode lower-case mapping and with one trailing dot dropped, the host is one of the names
// or ends with "." and one of them.
#include <fuzzer/FuzzedDataProvider.h>
#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <tolvane/DomainMatcher.hpp>
#include <tolvane/Unicode.hpp>
#include <vector>

namespace {

using tolvane::Domain;
using tolvane::DomainMatcher;

void require(bool condition) {
    if (!condition) std::abort();
}

// Ill-formed text is read with U+FFFD in place of bad bytes, which turns bytes into a
// character no host held; the plain rule is only stated for well-formed text.
bool isWellFormed(std::string_view text) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    const auto length = static_cast<std::int32_t>(text.size());
    for (std::int32_t i = 0; i < length;) {
        UChar32 c;
        U8_NEXT(bytes, i, length, c);
        if (c < 0) return false;
    }
    return true;
}

// A character that lower-casing changes though it is not upper case: the title-case letters
// (U+01C5, U+1F88...). The matcher lower-cases only a host holding an upper-case character,
// by design: the hosts it is given come lower-cased from the flow evidence, and a title-case
// letter is not upper case. So "\u01C5x.example" does not match "\u01C6x.example", which the
// plain rule below (folding everything) would say it does; such hosts are left out.
bool holdsTitleCase(std::string_view text) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    const auto length = static_cast<std::int32_t>(text.size());
    for (std::int32_t i = 0; i < length;) {
        UChar32 c;
        U8_NEXT(bytes, i, length, c);
        if (c >= 0 && u_hasBinaryProperty(c, UCHAR_CHANGES_WHEN_LOWERCASED) && !u_isUUppercase(c)) {
            return true;
        }
    }
    return false;
}

bool plainRule(const std::vector<std::string>& names, std::string_view host) {
    if (host.empty()) return false;
    std::string folded = tolvane::unicode::lowercased(host);
    if (!folded.empty() && folded.back() == '.') folded.pop_back();
    for (const auto& name : names) {
        if (folded == name) return true;
        if (folded.size() > name.size() && folded.ends_with(name) &&
            folded[folded.size() - name.size() - 1] == '.') {
            return true;
        }
    }
    return false;
}

// Characters whose lower-case forms are special: a title-case digraph and its lower case,
// Greek with a title-case iota, the Kelvin sign (lower case "k"), dotted capital I (two
// characters in lower case), capital sigma, capital sharp s, A with a diaeresis precomposed
// and as two characters.
const char* const kFragments[] = {
    "\u01C5", "\u01C6", "\u1F88", "\u212A", "\u0130", "\u03A3", "\u1E9E", "\u00C4", "A\u0308",
};

std::string fragment(FuzzedDataProvider& input) {
    return kFragments[input.ConsumeIntegralInRange<std::size_t>(0, std::size(kFragments) - 1)];
}

// A disagreement names the host and the set, for the report.
void requireRule(const std::vector<std::string>& names, std::string_view host, bool answer) {
    if (answer == plainRule(names, host)) return;
    std::fprintf(stderr, "matches(\"%.*s\") is %s against", static_cast<int>(host.size()),
                 host.data(), answer ? "true" : "false");
    for (const auto& name : names) std::fprintf(stderr, " \"%s\"", name.c_str());
    std::fprintf(stderr, "\n");
    std::abort();
}

// Capitals of either kind, at random places.
std::string recased(FuzzedDataProvider& input, std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z' && input.ConsumeBool()) c = static_cast<char>(c - 'a' + 'A');
    }
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    std::vector<Domain> domains;
    std::vector<std::string> texts;  // what each domain was made from, capitals and all
    const int wanted = input.ConsumeIntegralInRange(0, 8);
    for (int i = 0; i < wanted; ++i) {
        std::string text = input.ConsumeRandomLengthString(32);
        if (input.ConsumeIntegralInRange(0, 3) == 0) text = fragment(input) + text;
        if (auto domain = Domain::make(text)) {
            domains.push_back(*domain);
            texts.push_back(text);
        }
    }
    const DomainMatcher matcher(domains);
    std::vector<std::string> names;
    for (const auto& domain : domains) names.push_back(domain.name());
    require(matcher.domainNames() == names);
    const DomainMatcher copy = matcher;  // offsets into its own arena, not the original's

    for (int i = 0; i < 32 && input.remaining_bytes() > 0; ++i) {
        std::string host = input.ConsumeRandomLengthString(48);
        // Most hosts are built on a name, so that matches are common.
        if (!names.empty() && input.ConsumeBool()) {
            const auto which = input.ConsumeIntegralInRange<std::size_t>(0, names.size() - 1);
            const auto& name = names[which];
            switch (input.ConsumeIntegralInRange(0, 5)) {
                case 5:
                    host = texts[which];
                    break;
                case 4:
                    host = fragment(input) + host + "." + recased(input, name);
                    break;
                case 0:
                    host = recased(input, name);
                    break;
                case 1:
                    host += "." + recased(input, name);
                    break;
                case 2:
                    host += recased(input, name);
                    break;
                default:
                    host = recased(input, name) + host;
                    break;
            }
        }
        const bool answer = matcher.matches(host);
        require(copy.matches(host) == answer);
        if (isWellFormed(host) && !holdsTitleCase(host)) requireRule(names, host, answer);
        if (auto domain = Domain::make(host); domain && isWellFormed(domain->name())) {
            requireRule(names, domain->name(), matcher.matches(*domain));
        }
    }
    return 0;
}
