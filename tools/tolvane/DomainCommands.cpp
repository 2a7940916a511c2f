// tolvane normalize, tolvane suffix, and the domain helpers the other commands share.
#include <algorithm>
#include <tolvane/JSONCoding.hpp>
#include <tolvane/PublicSuffixList.hpp>
#include <tolvane/Unicode.hpp>

#include "Commands.hpp"

namespace tolvane::cli {

using coding::OutJson;

std::string explain(const DomainNormalizationError& error) {
    const std::string text = quotedText(error.payload());
    switch (error.errorCase()) {
        case DomainNormalizationError::Case::emptyInput:
            return "the text is empty";
        case DomainNormalizationError::Case::noHost:
            return "no host name is left once the link's parts are removed";
        case DomainNormalizationError::Case::invalidHostname:
            return text + " is not a valid host name";
        case DomainNormalizationError::Case::ipAddressUnsupported:
            return text + " is an IP address; only domain names can be blocked";
        case DomainNormalizationError::Case::publicSuffixOnly:
            return text + " is a public suffix, under which anyone can register; it has no " +
                   "registrable domain";
    }
    return error.description();
}

Domain registrableDomainOrRefuse(const DomainNormalizer& normalizer, std::string_view text,
                                 std::vector<std::string>& notes) {
    try {
        const DomainNormalizationResult result = normalizer.normalize(text);
        if (const auto& narrow = result.narrowAlternative()) {
            notes.push_back(narrow->name() + " is a narrower subdomain; using its registrable " +
                            "domain " + result.registrableDomain().name());
        }
        return result.registrableDomain();
    } catch (const DomainNormalizationError& error) {
        throw Refusal("cannot use " + quotedText(text) + ": " + explain(error));
    }
}

std::vector<std::string> sortedNames(const DomainSet& domains) {
    std::vector<std::string> names;
    names.reserve(domains.size());
    for (const Domain& domain : domains) names.push_back(domain.name());
    std::sort(names.begin(), names.end());
    return names;
}

std::string domainListText(const DomainSet& domains) {
    if (domains.empty()) return "none";
    std::string text;
    for (const auto& name : sortedNames(domains)) text += (text.empty() ? "" : ", ") + name;
    return text;
}

OutJson sortedJSON(const DomainSet& domains) {
    OutJson array = OutJson::array();
    for (const auto& name : sortedNames(domains)) array.push_back(name);
    return array;
}

OutJson scopeJSON(const Scope& scope) {
    OutJson out = OutJson::object();
    out["generation"] = scope.generation();
    out["domains"] = sortedJSON(scope.domains());
    return out;
}

namespace {

std::string_view howReached(DomainNormalizationResult::Case c) {
    switch (c) {
        case DomainNormalizationResult::Case::alreadyRegistrable:
            return "already registrable";
        case DomainNormalizationResult::Case::normalizedToRegistrable:
            return "normalized";
        case DomainNormalizationResult::Case::narrowerSubdomain:
            return "narrower subdomain";
    }
    return "";
}

int runNormalize(const Arguments& arguments, const Output& output) {
    if (arguments.positionals().empty()) throw UsageError("give at least one text");
    const DomainNormalizer normalizer(PublicSuffixList::embedded());
    OutJson results = OutJson::array();
    bool anyRejected = false;
    for (const std::string& text : arguments.positionals()) {
        OutJson item = OutJson::object();
        item["input"] = text;
        try {
            const DomainNormalizationResult result = normalizer.normalize(text);
            const std::string& registrable = result.registrableDomain().name();
            item["result"] = rawValue(result.resultCase());
            item["registrableDomain"] = registrable;
            std::string line = quotedText(text) + " -> " + registrable + " (" +
                               std::string(howReached(result.resultCase()));
            if (const auto& narrow = result.narrowAlternative()) {
                item["narrowAlternative"] = narrow->name();
                line += "; narrower alternative " + narrow->name();
            }
            output.line(line + ")");
        } catch (const DomainNormalizationError& error) {
            anyRejected = true;
            OutJson rejection = OutJson::object();
            rejection["case"] = rawValue(error.errorCase());
            if (!error.payload().empty()) rejection["text"] = error.payload();
            rejection["message"] = explain(error);
            item["error"] = std::move(rejection);
            output.line(quotedText(text) + " -> rejected, " +
                        std::string(rawValue(error.errorCase())) + ": " + explain(error));
        }
        results.push_back(std::move(item));
    }
    if (output.isJSON()) output.printJSON(OutJson{{"results", std::move(results)}});
    return anyRejected ? exitRefused : exitSuccess;
}

// The normalised host the list's lookups expect: lower-cased, one trailing dot removed, in
// ASCII-compatible form; nullopt when there is none.
std::optional<std::string> normalisedHost(std::string_view text) {
    std::string host = unicode::lowercased(text);
    if (!host.empty() && host.back() == '.') host.pop_back();
    if (!unicode::isASCII(host)) {
        auto converted = asciiCompatibleHost(host);
        if (!converted) return std::nullopt;
        host = std::move(*converted);
    }
    if (host.empty()) return std::nullopt;
    return host;
}

int runSuffix(const Arguments& arguments, const Output& output) {
    if (arguments.positionals().empty()) throw UsageError("give at least one host");
    const PublicSuffixList& list = PublicSuffixList::embedded();
    OutJson results = OutJson::array();
    bool anyRejected = false;
    for (const std::string& text : arguments.positionals()) {
        OutJson item = OutJson::object();
        item["input"] = text;
        const auto host = normalisedHost(text);
        if (!host) {
            anyRejected = true;
            const std::string message = text.empty() || text == "."
                                            ? std::string("the host is empty")
                                            : quotedText(text) + " has no ASCII-compatible form";
            item["error"] = message;
            output.line(quotedText(text) + " -> rejected: " + message);
            results.push_back(std::move(item));
            continue;
        }
        const std::string suffix(list.publicSuffix(*host));
        const auto registrable = list.registrableDomain(*host);
        item["host"] = *host;
        item["publicSuffix"] = suffix;
        item["registrableDomain"] = registrable ? OutJson(std::string(*registrable)) : OutJson();
        std::string line = quotedText(text);
        if (*host != text) line += " (" + *host + ")";
        output.line(line + " -> public suffix " + suffix + ", registrable domain " +
                    (registrable ? std::string(*registrable) : "none"));
        results.push_back(std::move(item));
    }
    if (output.isJSON()) output.printJSON(OutJson{{"results", std::move(results)}});
    return anyRejected ? exitRefused : exitSuccess;
}

}  // namespace

std::vector<Command> domainCommands() {
    return {
        {"normalize",
         "the registrable domain each text names",
         "[--json] TEXT...",
         R"(Puts each TEXT (a name, a link, a name in a national script) through the domain normaliser
with the packaged Public Suffix List, and prints the registrable domain a commitment would
block and how it was reached:

  already registrable   the text was that domain (up to letter case and a trailing dot)
  normalized            a scheme, path, port, user part or "www." was removed, or the
                        name was converted to its ASCII-compatible form
  narrower subdomain    the text named a host below the registrable domain, which is
                        printed too as the narrower alternative

A text that names no usable domain is rejected with the reason and the offending text
(emptyInput, noHost, invalidHostname, ipAddressUnsupported, publicSuffixOnly).)",
         {},
         R"(one JSON object: {"results":[{"input","result","registrableDomain",
"narrowAlternative"?} or {"input","error":{"case","text"?,"message"}}]})",
         R"(Exit status: 0 when every text was accepted, 1 when any was rejected, 2 on a usage error.
Put "--" before texts that begin with "-".)",
         true,
         runNormalize},
        {"suffix",
         "public suffix and registrable domain of hosts",
         "[--json] HOST...",
         R"(Prints the public suffix and the registrable domain of each HOST by the packaged Public
Suffix List. The host is first lower-cased, one trailing dot is removed and a name with
non-ASCII letters is converted to its ASCII-compatible form; "none" means the host is
itself a public suffix and has no registrable domain.)",
         {},
         R"(one JSON object: {"results":[{"input","host","publicSuffix",
"registrableDomain" (null for none)} or {"input","error"}]})",
         R"(Exit status: 0, or 1 when a host is empty or has no ASCII-compatible form; 2 on a usage
error.)",
         true,
         runSuffix},
    };
}

}  // namespace tolvane::cli
