#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <ostream>
#include <tolvane/DomainNormalizer.hpp>
#include <tolvane/Hashing.hpp>
#include <tolvane/Unicode.hpp>

namespace tolvane {

namespace {

bool isASCIILetter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool isASCIIDigit(char c) {
    return c >= '0' && c <= '9';
}

bool isValidScheme(std::string_view scheme) {
    if (scheme.empty() || !isASCIILetter(scheme.front())) return false;
    return std::all_of(scheme.begin(), scheme.end(), [](char c) {
        return isASCIILetter(c) || isASCIIDigit(c) || c == '+' || c == '-' || c == '.';
    });
}

// Whether the last user-perceived character is a lone ".". Only a Prepend character can
// join a following "." into its cluster; everything else leaves a break before it.
bool endsWithDot(std::string_view text) {
    if (text.empty() || text.back() != '.') return false;
    if (text.size() == 1) return true;
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    int32_t at = static_cast<int32_t>(std::min<std::size_t>(text.size() - 1, 8));
    const uint8_t* tail = bytes + (text.size() - 1 - static_cast<std::size_t>(at));
    UChar32 previous;
    U8_PREV(tail, 0, at, previous);
    if (previous < 0) return true;
    return u_getIntPropertyValue(previous, UCHAR_GRAPHEME_CLUSTER_BREAK) != U_GCB_PREPEND;
}

// Labels after splitting at "." and dropping empty pieces.
std::size_t labelCount(std::string_view name) {
    std::size_t count = 0;
    bool inLabel = false;
    for (char c : name) {
        if (c == '.') {
            inLabel = false;
        } else if (!inLabel) {
            inLabel = true;
            ++count;
        }
    }
    return count;
}

// Every label non-empty and made of ASCII digits only: an address, not a name.
bool looksNumeric(std::string_view host) {
    bool labelEmpty = true;
    for (char c : host) {
        if (c == '.') {
            if (labelEmpty) return false;
            labelEmpty = true;
        } else if (!isASCIIDigit(c)) {
            return false;
        } else {
            labelEmpty = false;
        }
    }
    return !labelEmpty;
}

void appendQuoted(std::string& out, std::string_view text) {
    out += '"';
    out += text;
    out += '"';
}

}  // namespace

DomainNormalizer::DomainNormalizer() : publicSuffixList_(PublicSuffixList::embedded()) {}

DomainNormalizationResult DomainNormalizer::normalize(std::string_view input) const {
    const std::string_view trimmed = unicode::trimmedWhitespace(input);
    if (trimmed.empty()) throw DomainNormalizationError::emptyInput();

    bool changed = false;
    std::string_view rest = trimmed;
    if (const auto separator = rest.find("://");
        separator != std::string_view::npos && isValidScheme(rest.substr(0, separator))) {
        rest.remove_prefix(separator + 3);
        changed = true;
    }
    if (const auto cut = rest.find_first_of("/?#"); cut != std::string_view::npos) {
        rest = rest.substr(0, cut);
        changed = true;
    }
    if (const auto at = rest.rfind('@'); at != std::string_view::npos) {
        rest.remove_prefix(at + 1);
        changed = true;
    }
    if (rest.starts_with('['))
        throw DomainNormalizationError::ipAddressUnsupported(std::string(rest));
    const auto colons = std::count(rest.begin(), rest.end(), ':');
    if (colons >= 2) throw DomainNormalizationError::ipAddressUnsupported(std::string(rest));
    if (colons == 1) {
        const auto colon = rest.find(':');
        const std::string_view port = rest.substr(colon + 1);
        if (port.empty() || !std::all_of(port.begin(), port.end(), isASCIIDigit)) {
            throw DomainNormalizationError::invalidHostname(std::string(rest));
        }
        rest = rest.substr(0, colon);
        changed = true;
    }
    if (rest.empty()) throw DomainNormalizationError::noHost();

    std::string host = unicode::lowercased(rest);
    if (endsWithDot(host)) host.pop_back();
    if (host.empty()) throw DomainNormalizationError::noHost();

    // Domain::make would take a second trailing dot off and accept the name; a name that
    // still ends in a dot here is refused instead, so no result ever holds one.
    if (endsWithDot(host) || !Domain::make(host)) {
        throw DomainNormalizationError::invalidHostname(std::move(host));
    }

    bool converted = false;
    if (!unicode::isASCII(host)) {
        auto ascii = asciiCompatibleHost(host);
        // Full-width and ideographic full stops map to "."; a trailing one is refused like
        // a second trailing dot.
        if (!ascii || ascii->ends_with('.')) {
            throw DomainNormalizationError::invalidHostname(std::move(host));
        }
        host = *std::move(ascii);
        converted = true;
    }

    if (looksNumeric(host)) throw DomainNormalizationError::ipAddressUnsupported(std::move(host));

    const auto found = publicSuffixList_.registrableDomain(host);
    if (!found) throw DomainNormalizationError::publicSuffixOnly(std::move(host));
    std::string registrable(*found);

    std::string_view narrow = host;
    bool www = false;
    const std::size_t registrableLabels = labelCount(registrable);
    std::size_t narrowLabels = labelCount(narrow);
    while (narrowLabels > registrableLabels && narrow.starts_with("www.")) {
        narrow.remove_prefix(4);
        --narrowLabels;
        www = true;
    }

    if (narrow == registrable) {
        if (changed || www || converted) {
            return DomainNormalizationResult::normalizedToRegistrable(
                Domain(std::move(registrable)), std::string(trimmed));
        }
        return DomainNormalizationResult::alreadyRegistrable(Domain(std::move(registrable)));
    }
    return DomainNormalizationResult::narrowerSubdomain(Domain(std::string(narrow)),
                                                        Domain(std::move(registrable)));
}

// MARK: - Result

std::string_view rawValue(DomainNormalizationResult::Case c) {
    switch (c) {
        case DomainNormalizationResult::Case::alreadyRegistrable:
            return "alreadyRegistrable";
        case DomainNormalizationResult::Case::normalizedToRegistrable:
            return "normalizedToRegistrable";
        case DomainNormalizationResult::Case::narrowerSubdomain:
            return "narrowerSubdomain";
    }
    return "";
}

std::string DomainNormalizationResult::description() const {
    std::string out(rawValue(case_));
    out += '(';
    switch (case_) {
        case Case::alreadyRegistrable:
            out += registrable_.name();
            break;
        case Case::normalizedToRegistrable:
            out += "registrable: " + registrable_.name() + ", original: ";
            appendQuoted(out, original_);
            break;
        case Case::narrowerSubdomain:
            out += "narrow: " + narrow_->name() + ", registrable: " + registrable_.name();
            break;
    }
    out += ')';
    return out;
}

std::ostream& operator<<(std::ostream& os, const DomainNormalizationResult& result) {
    return os << result.description();
}

// MARK: - Error

std::string_view rawValue(DomainNormalizationError::Case c) {
    switch (c) {
        case DomainNormalizationError::Case::emptyInput:
            return "emptyInput";
        case DomainNormalizationError::Case::noHost:
            return "noHost";
        case DomainNormalizationError::Case::invalidHostname:
            return "invalidHostname";
        case DomainNormalizationError::Case::ipAddressUnsupported:
            return "ipAddressUnsupported";
        case DomainNormalizationError::Case::publicSuffixOnly:
            return "publicSuffixOnly";
    }
    return "";
}

namespace {
std::string errorDescription(DomainNormalizationError::Case c, std::string_view payload) {
    std::string out(rawValue(c));
    if (c == DomainNormalizationError::Case::emptyInput ||
        c == DomainNormalizationError::Case::noHost) {
        return out;
    }
    out += '(';
    appendQuoted(out, payload);
    out += ')';
    return out;
}
}  // namespace

DomainNormalizationError::DomainNormalizationError(Case c, std::string payload)
    : std::runtime_error(errorDescription(c, payload)), case_(c), payload_(std::move(payload)) {}

std::ostream& operator<<(std::ostream& os, const DomainNormalizationError& error) {
    return os << error.what();
}

}  // namespace tolvane

std::size_t std::hash<tolvane::DomainNormalizationResult>::operator()(
    const tolvane::DomainNormalizationResult& r) const noexcept {
    std::size_t h = static_cast<std::size_t>(r.resultCase());
    h = tolvane::hashCombine(h, std::hash<tolvane::Domain>{}(r.registrableDomain()));
    if (const auto& narrow = r.narrowAlternative())
        h = tolvane::hashCombine(h, std::hash<tolvane::Domain>{}(*narrow));
    if (const auto original = r.original())
        h = tolvane::hashCombine(h, std::hash<std::string_view>{}(*original));
    return h;
}

std::size_t std::hash<tolvane::DomainNormalizationError>::operator()(
    const tolvane::DomainNormalizationError& e) const noexcept {
    return tolvane::hashCombine(static_cast<std::size_t>(e.errorCase()),
                                std::hash<std::string>{}(e.payload()));
}
