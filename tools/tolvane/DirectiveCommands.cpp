// tolvane directive show, tolvane directive publish: the directive file by hand.
#include <limits>
#include <tolvane/DirectiveStore.hpp>
#include <tolvane/JSONCoding.hpp>
#include <tolvane/PublicSuffixList.hpp>

#include "Commands.hpp"
#include "DirectiveFile.hpp"

namespace tolvane::cli {

using coding::OutJson;

OutJson directiveJSON(const EnforcementDirective& directive) {
    OutJson out = OutJson::object();
    if (const auto& scope = directive.scope()) out["scope"] = scopeJSON(*scope);
    if (const auto& probe = directive.validation()) {
        OutJson validation = OutJson::object();
        validation["domain"] = probe->domain().name();
        validation["expiresAt"] = coding::encodeNumber(probe->expiresAt());
        out["validation"] = std::move(validation);
    }
    out["publishedAt"] = coding::encodeNumber(directive.publishedAt());
    return out;
}

std::filesystem::path directoryOption(const Arguments& arguments) {
    const auto directory = arguments.value("directory");
    if (!directory) return FileEnforcementDirectiveStore::defaultDirectory();
    if (directory->empty()) throw UsageError("--directory needs a directory, not \"\"");
    return absolutePath(*directory);
}

std::optional<EnforcementDirective> loadDirective(const FileEnforcementDirectiveStore& store) {
    try {
        return store.load();
    } catch (const DecodingError& error) {
        throw Refusal("the directive file " + store.url().string() +
                      " is not a valid directive: " + error.what());
    } catch (const std::exception& error) {
        throw Refusal("cannot read the directive file " + store.url().string() + ": " +
                      error.what());
    }
}

AdvisoryLock lockForPublishing(const FileEnforcementDirectiveStore& store) {
    try {
        return store.lockForPublishing();
    } catch (const std::exception& error) {
        throw Refusal("cannot publish the directive: " + std::string(error.what()));
    }
}

void publishDirective(FileEnforcementDirectiveStore& store, const EnforcementDirective& directive,
                      const AdvisoryLock& held) {
    try {
        store.publish(directive, held);
    } catch (const std::exception& error) {
        throw Refusal("cannot publish the directive: " + std::string(error.what()));
    }
}

std::optional<ValidationProbe> liveProbe(const std::optional<EnforcementDirective>& current,
                                         Instant now) {
    if (!current || !current->validation() || current->validation()->hasExpired(now)) {
        return std::nullopt;
    }
    return current->validation();
}

namespace {

int runShow(const Arguments& arguments, const Output& output) {
    const FileEnforcementDirectiveStore store(directoryOption(arguments));
    const Instant at = instantOption(arguments);
    const auto directive = loadDirective(store);
    OutJson document = OutJson::object();
    document["file"] = store.url().string();
    document["at"] = coding::encodeNumber(at);
    if (!directive) {
        document["directive"] = nullptr;
        output.line("no directive (" + store.url().string() + ")");
        if (output.isJSON()) output.printJSON(document);
        return exitSuccess;
    }
    const DomainSet enforced = directive->enforcedDomains(at);
    document["directive"] = directiveJSON(*directive);
    document["generation"] = directive->generation();
    output.line("directive file: " + store.url().string());
    output.line("published at:   " + instantText(directive->publishedAt()));
    output.line("generation:     " + std::to_string(directive->generation()));
    if (const auto& scope = directive->scope()) {
        output.line("scope:          " + domainListText(scope->domains()));
    } else {
        output.line("scope:          none (idle)");
    }
    if (const auto& probe = directive->validation()) {
        const bool expired = probe->hasExpired(at);
        document["probeExpired"] = expired;
        output.line("probe:          " + probe->domain().name() + ", " +
                    (expired ? "expired at " : "live until ") + instantText(probe->expiresAt()));
    } else {
        output.line("probe:          none");
    }
    document["enforcedDomains"] = sortedJSON(enforced);
    output.line("enforced at " + instantText(at) + ": " +
                (enforced.empty() ? std::string("nothing") : domainListText(enforced)));
    if (output.isJSON()) output.printJSON(document);
    return exitSuccess;
}

// What the new directive would take away from the current one; empty when it only
// strengthens. Each entry is one reason.
std::vector<std::string> weakenings(const std::optional<EnforcementDirective>& current,
                                    const std::optional<Scope>& proposed) {
    std::vector<std::string> reasons;
    if (!current || !current->scope()) {
        if (proposed && proposed->generation() <= 0) {
            reasons.push_back("generation " + std::to_string(proposed->generation()) +
                              " does not rise above 0");
        }
        return reasons;
    }
    const Scope& scope = *current->scope();
    DomainSet dropped;
    for (const Domain& domain : scope.domains()) {
        if (!proposed || !proposed->domains().contains(domain)) dropped.insert(domain);
    }
    if (!dropped.empty()) {
        reasons.push_back("it would drop " + domainListText(dropped) +
                          " from the current scope (generation " +
                          std::to_string(scope.generation()) + ")");
    }
    if (proposed && proposed->generation() <= scope.generation()) {
        reasons.push_back("generation " + std::to_string(proposed->generation()) +
                          " does not rise above the current " + std::to_string(scope.generation()));
    }
    return reasons;
}

int runPublish(const Arguments& arguments, const Output& output) {
    const bool idle = arguments.flag("idle");
    const bool force = arguments.flag("force");
    if (idle &&
        (arguments.has("domain") || arguments.has("generation") || arguments.has("probe"))) {
        throw UsageError(
            "--idle publishes nothing to enforce; it takes no --domain, --generation "
            "or --probe");
    }
    if (arguments.has("probe-seconds") && !arguments.has("probe")) {
        throw UsageError("--probe-seconds needs --probe");
    }
    if (!idle && !arguments.has("domain") && !arguments.has("generation") &&
        !arguments.has("probe")) {
        throw UsageError("nothing to publish: give --domain, --probe or --idle");
    }
    std::optional<std::int64_t> generation;
    if (const auto text = arguments.value("generation")) {
        generation = parseWholeNumber(*text);
        if (!generation || *generation < 0) {
            throw UsageError("--generation needs a whole number of at least 0, not " +
                             quotedText(*text));
        }
    }
    double probeSeconds = ValidationProbe::maximumDuration;
    if (const auto text = arguments.value("probe-seconds")) {
        const auto seconds = parseNumber(*text);
        if (!seconds) throw UsageError("--probe-seconds needs a number, not " + quotedText(*text));
        probeSeconds = *seconds;
    }
    const Instant now = instantOption(arguments);
    FileEnforcementDirectiveStore store(directoryOption(arguments));

    std::vector<std::string> notes;
    const DomainNormalizer normalizer(PublicSuffixList::embedded());
    DomainSet domains;
    for (const std::string& text : arguments.values("domain")) {
        domains.insert(registrableDomainOrRefuse(normalizer, text, notes));
    }
    std::optional<ValidationProbe> probe;
    if (const auto text = arguments.value("probe")) {
        const auto domain = Domain::make(*text);
        if (!domain)
            throw Refusal("the probe " + quotedText(*text) + " is not a valid domain name");
        probe = ValidationProbe::lent(*domain, now, probeSeconds);
        if (probeSeconds > ValidationProbe::maximumDuration) {
            notes.push_back("a probe is lent for at most " +
                            numberText(ValidationProbe::maximumDuration) + " s; it expires at " +
                            numberText(probe->expiresAt()));
        } else if (probeSeconds <= 0) {
            notes.push_back("a probe lent for no time has expired already");
        }
    }

    // From reading the current directive to publishing the next, no other publisher runs:
    // otherwise two runs would each add to what they read and one addition would be lost.
    const AdvisoryLock held = lockForPublishing(store);
    std::optional<EnforcementDirective> current;
    try {
        current = loadDirective(store);
    } catch (const Refusal& error) {
        if (!force) throw Refusal(std::string(error.what()) + "; --force replaces it");
        notes.push_back(std::string("replacing: ") + error.what());
    }

    std::optional<Scope> scope;
    const bool keepsScope = !idle && domains.empty() && !generation;
    if (keepsScope) {
        // Lending a probe leaves the scope as it is.
        if (current) scope = current->scope();
    } else if (!idle) {
        if (!generation) {
            const std::int64_t currentGeneration = current ? current->generation() : 0;
            if (currentGeneration == std::numeric_limits<std::int64_t>::max()) {
                throw Refusal("the current generation cannot rise any further");
            }
            generation = currentGeneration + 1;
        }
        scope = Scope(*generation, domains);
    }

    if (!keepsScope) {
        const auto reasons = weakenings(current, scope);
        for (const auto& reason : reasons) {
            if (!force) {
                throw Refusal("refusing to weaken the directive: " + reason +
                              "; --force publishes it anyway");
            }
            notes.push_back("forced although " + reason);
        }
    }

    // A probe still live stays unless this publication lends its own or is forced.
    if (!probe && !force) probe = liveProbe(current, now);
    const EnforcementDirective directive(scope, probe, now);
    publishDirective(store, directive, held);

    if (output.isJSON()) {
        OutJson notesJSON = OutJson::array();
        for (const auto& note : notes) notesJSON.push_back(note);
        output.printJSON(OutJson{{"file", store.url().string()},
                                 {"directive", directiveJSON(directive)},
                                 {"notes", std::move(notesJSON)}});
        return exitSuccess;
    }
    for (const auto& note : notes) output.line("note: " + note);
    output.line("published to " + store.url().string() + " at " + instantText(now));
    if (scope) {
        output.line("generation " + std::to_string(scope->generation()) + ": " +
                    domainListText(scope->domains()));
    } else {
        output.line("idle: no scope");
    }
    if (probe) {
        output.line("probe " + probe->domain().name() + " until " +
                    instantText(probe->expiresAt()));
    }
    return exitSuccess;
}

}  // namespace

OptionSpec directoryOptionSpec(std::string_view what) {
    return {"directory", OptionSpec::Kind::value, "DIR",
            std::string(what) +
                " (default: " + FileEnforcementDirectiveStore::defaultDirectory().string() + ")"};
}

std::vector<Command> directiveCommands() {
    using Kind = OptionSpec::Kind;
    return {
        {"directive show",
         "the current enforcement directive",
         "[--directory DIR] [--at INSTANT] [--json]",
         R"(Reads the enforcement directive file (enforcement-directive.json) and prints when it was
published, its generation, its scope's domains, its validation probe and whether that has
expired, and the domains enforced at INSTANT. Prints "no directive" when there is no file.)",
         {directoryOptionSpec("the directive directory"),
          {"at", Kind::value, "INSTANT", "the instant to judge the probe at (default: now)"}},
         R"({"file","at","directive" (the file's JSON form, or null),
"generation","probeExpired"?,"enforcedDomains"})",
         R"(Exit status: 0, or 1 when the file cannot be read or is no valid directive; 2 on a usage
error.)",
         false,
         runShow},
        {"directive publish",
         "publish a directive built from options",
         R"([--directory DIR] [--generation N] [--domain D ...]
[--probe DOMAIN [--probe-seconds S]] [--idle] [--force]
[--at INSTANT] [--json])",
         R"(Publishes a new enforcement directive, replacing the file atomically; a running
tolvane-filter watching DIR adopts it at once.)",
         {{"domain", Kind::list, "D",
           "a domain of the scope (repeatable). Each goes through the normaliser and its "
           "registrable domain is used; a rejected text refuses the whole publication"},
          {"generation", Kind::value, "N",
           "the scope's generation (default: the current one + 1, or 1)"},
          {"probe", Kind::value, "DOMAIN",
           "lend DOMAIN to the filter as a validation probe; without --domain or --generation "
           "the current scope is kept as it is"},
          {"probe-seconds", Kind::value, "S", "how long the probe lasts, at most 20 (default: 20)"},
          {"idle", Kind::flag, "", "publish a directive with nothing to enforce"},
          {"force", Kind::flag, "", "publish even when the directive weakens the current one"},
          directoryOptionSpec("the directive directory"),
          {"at", Kind::value, "INSTANT",
           "the publication instant and the probe's start (default: now)"}},
         R"({"file","directive","notes"})",
         R"(Strengthening is the default: a scope that lacks a domain of the current scope, or whose
generation does not rise above the current one, and an idle directive while a scope holds
domains, are refused unless --force is given. So is an unreadable current directive file.

Exit status: 0 when published, 1 when refused, 2 on a usage error.)",
         false,
         runPublish},
    };
}

}  // namespace tolvane::cli
