// SuffixRulesFuzz: the fuzz input is both a rules text and, line by line, the hosts looked up
// in the list built from it. Each lookup is checked against a plain rendering of the rule
// algorithm (split into labels, join candidates, test the sets longest first) that uses the
// list only for set membership; and asciiCompatibleHost's fast path is checked against ICU.
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <tolvane/PublicSuffixList.hpp>
#include <vector>

namespace {

using tolvane::PublicSuffixList;
using Kind = PublicSuffixList::RuleKind;

void require(bool condition) {
    if (!condition) std::abort();
}

std::vector<std::string_view> labelsOf(std::string_view host) {
    std::vector<std::string_view> labels;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= host.size(); ++i) {
        if (i == host.size() || host[i] == '.') {
            if (i > start) labels.push_back(host.substr(start, i - start));
            start = i + 1;
        }
    }
    return labels;
}

std::string joined(const std::vector<std::string_view>& labels, std::size_t from) {
    std::string out;
    for (std::size_t i = from; i < labels.size(); ++i) {
        if (i > from) out += '.';
        out += labels[i];
    }
    return out;
}

std::string referenceSuffix(const PublicSuffixList& list, std::string_view host) {
    const auto labels = labelsOf(host);
    if (labels.size() < 2) return std::string(host);
    for (std::size_t i = 0; i < labels.size(); ++i) {
        const std::string candidate = joined(labels, i);
        if (list.contains(Kind::exception, candidate)) return joined(labels, i + 1);
        if (list.contains(Kind::exact, candidate)) return candidate;
        if (i + 1 < labels.size() && list.contains(Kind::wildcardParent, joined(labels, i + 1))) {
            return candidate;
        }
    }
    return std::string(labels.back());
}

std::optional<std::string> referenceRegistrable(const PublicSuffixList& list,
                                                std::string_view host) {
    const std::string suffix = referenceSuffix(list, host);
    if (suffix == host) return std::nullopt;
    const auto hostLabels = labelsOf(host);
    const std::size_t suffixLabels = labelsOf(suffix).size();
    if (suffixLabels >= hostLabels.size()) return std::nullopt;
    return joined(hostLabels, hostLabels.size() - suffixLabels - 1);
}

// A slice of `host` read with its runs of dots as single dots, as the lookups judge it.
std::string collapsed(std::string_view slice) {
    std::string out;
    for (std::size_t i = 0; i < slice.size(); ++i) {
        if (slice[i] == '.' && i > 0 && slice[i - 1] == '.') continue;
        out += slice[i];
    }
    return out;
}

bool isSliceOf(std::string_view part, std::string_view whole) {
    return part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size();
}

void check(const PublicSuffixList& list, std::string_view host) {
    const std::string_view suffix = list.publicSuffix(host);
    const auto registrable = list.registrableDomain(host);
    require(isSliceOf(suffix, host));
    if (registrable) require(isSliceOf(*registrable, host) && registrable->ends_with(suffix));
    // The plain rendering builds strings per label and candidate; keep it to moderate hosts.
    if (host.size() > 2000) return;
    const bool singleLabel = labelsOf(host).size() < 2;
    require(singleLabel ? suffix == host : collapsed(suffix) == referenceSuffix(list, host));
    const auto expected = referenceRegistrable(list, host);
    require(registrable.has_value() == expected.has_value());
    if (registrable) require(collapsed(*registrable) == *expected);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const PublicSuffixList list(text);
    std::size_t checked = 0;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= text.size() && checked < 64; ++i) {
        if (i < text.size() && text[i] != '\n') continue;
        std::string_view line = text.substr(start, i - start);
        start = i + 1;
        ++checked;
        check(list, line);
        // The rule itself and what it guards: "!a.b" and "*.a.b" as hosts "a.b" and "x.a.b".
        while (!line.empty() &&
               (line.front() == '!' || line.front() == '*' || line.front() == '.')) {
            line.remove_prefix(1);
        }
        check(list, line);
        check(list, "x." + std::string(line));
        if (line.size() <= 300) {
            require(tolvane::asciiCompatibleHost(line) ==
                    tolvane::detail::asciiCompatibleHostThroughIDNA(line));
        }
    }
    for (std::string_view host : {"example.com", "a.b.c.d", "", ".", "..x..y.."}) check(list, host);
    return 0;
}
