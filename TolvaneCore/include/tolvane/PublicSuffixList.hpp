// PublicSuffixList.hpp: `PublicSuffixList`, the rules of the Public Suffix List, and
// `asciiCompatibleHost`, the IDNA ASCII form of a host name.
//
//   With the rules  com  uk  co.uk  *.zz  !open.zz
//   host                  publicSuffix   registrableDomain
//   --------------------  -------------  -----------------
//   "a.b.example.com"     "com"          "example.com"
//   "shop.example.co.uk"  "co.uk"        "example.co.uk"
//   "co.uk"               "co.uk"        nullopt
//   "a.b.zz"              "b.zz"         "a.b.zz"        (wildcard)
//   "a.open.zz"           "zz"           "open.zz"       (exception)
//   "example.test"        "test"         "example.test"  (an unlisted last label is a suffix)
//   "com", "localhost", ""  the host     nullopt
//
//   asciiCompatibleHost("bücher.de") == "xn--bcher-kva.de"
//
// Lookups take a normalised host: lower-cased, no trailing dot, in ASCII-compatible form
// where needed. They normalise nothing and compare text exactly. Both return slices OF THE
// HOST THEY ARE GIVEN: the result is valid only as long as the host's characters are.
// A lookup allocates nothing: every candidate suffix is a slice of the host, hashed in one
// right-to-left pass, and one probe of one table answers the three rule kinds at once.
// A host with empty labels (a leading, doubled or trailing dot) is judged by its non-empty
// labels alone, as if joined with single dots; a result spanning a doubled dot keeps it.
//
// A list is immutable once built and may be read from any thread. It is a value: copies share
// the rules, which live as long as any copy does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tolvane {

class PublicSuffixList {
public:
    enum class RuleKind : std::uint8_t {
        exact = 1,           // "co.uk"
        wildcardParent = 2,  // "*.zz" is kept as "zz"
        exception = 4,       // "!open.zz" is kept as "open.zz"
    };

    // Builds the rules from the whole text of a rules file. Never fails: every line is read
    // as a rule unless it is blank or a "//" comment. Lines end at LF, CR, CRLF, U+2028 and
    // U+2029; a line is trimmed of tabs and space separators (category Zs); the rule is the
    // text before the first U+0020, lower-cased; "!name" is an exception, "*.name" a
    // wildcard parent, anything else an exact rule as written. A non-ASCII rule is stored a
    // second time in its asciiCompatibleHost form when it has one.
    explicit PublicSuffixList(std::string_view rulesText);

    PublicSuffixList(const PublicSuffixList&) = default;
    PublicSuffixList& operator=(const PublicSuffixList&) = default;

    // The list packaged with the library ("public_suffix_list.dat" in the resource bundle),
    // built on first use (thread-safe) and kept for the life of the process; copies of it
    // share its rules. Stops the process when the bundle or the file cannot be found or read
    // (see <tolvane/ResourceBundle.hpp>).
    static const PublicSuffixList& embedded();

    // The public suffix of `normalizedHost`: the longest matching rule wins, an exception
    // before an exact rule before a wildcard at the same length, and an unmatched host has
    // its last label. A host of fewer than two labels is returned whole. The result is a
    // slice of `normalizedHost`.
    std::string_view publicSuffix(std::string_view normalizedHost) const;

    // The public suffix plus the one label left of it, or nullopt when the host is a public
    // suffix itself. The result is a slice of `normalizedHost`.
    std::optional<std::string_view> registrableDomain(std::string_view normalizedHost) const;

    // Whether `name` (as stored: lower-case, without "!" or "*.") is a rule of that kind.
    bool contains(RuleKind kind, std::string_view name) const;
    // The number of distinct names stored for that kind.
    std::size_t count(RuleKind kind) const;

private:
    // The rules and the table they are looked up in; immutable once built.
    struct Rules;

    // Copies share the rules, so copying a list (or a normaliser holding one) costs a count.
    // Moving copies too, so no list is ever left without rules.
    std::shared_ptr<const Rules> rules_;
};

// The IDNA ASCII form of a host name, as a URL parser gives the host of "http://" + name +
// "/": UTS #46 processing (nontransitional, STD3 ASCII rules, bidi and joiner checks), so a
// result is always a valid host name in lower case ("Bücher.DE" -> "xn--bcher-kva.de"; a
// trailing dot is kept). Gives nothing for any name the processing reports an error for:
// the empty name, an empty label (a leading dot, ".." or a lone "."), a label longer than 63
// or a name longer than 253 bytes, a label beginning or ending with "-" or with "--" in its
// third and fourth places (unless it is valid "xn--" Punycode), any character outside
// letters, digits and "-" once mapped (spaces, "_", "/", ":", "@", and names whose
// characters map to such, like "（" to "(" or "⑴" to "(1)"), a label beginning with a
// combining mark, bidi or joiner rule violations, and ill-formed UTF-8. An ASCII name made
// only of letters, digits, "-" and "." within those rules is answered without ICU.
std::optional<std::string> asciiCompatibleHost(std::string_view name);

namespace detail {
// asciiCompatibleHost without its ASCII fast path; the two must agree on every input.
std::optional<std::string> asciiCompatibleHostThroughIDNA(std::string_view name);
}  // namespace detail

}  // namespace tolvane
