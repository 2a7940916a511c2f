// tolvane commitment start|strengthen|extend|status|end: a commitment from start to end over
// a state file. Every step either strengthens what is enforced or refuses: the scope only
// grows, the end only moves later and never past 24 hours after activation, and nothing is
// lifted before the projected end.
#include <cstdio>
#include <iostream>
#include <tolvane/JSONCoding.hpp>
#include <tolvane/PublicSuffixList.hpp>

#include "Commands.hpp"
#include "CommitmentState.hpp"
#include "DirectiveFile.hpp"

namespace tolvane::cli {

namespace {

using coding::OutJson;
using Kind = OptionSpec::Kind;

std::string statePath(const Arguments& arguments) {
    const auto path = arguments.value("state");
    if (!path || path->empty()) throw UsageError("--state FILE is required");
    return *path;
}

// The state with an active commitment, brought up to `now`; Refusal otherwise.
CommitmentState activeState(const std::string& path, Instant now) {
    auto state = loadState(path);
    if (!state || !state->commitment) throw Refusal("no commitment in " + path);
    if (!state->isActive(now)) {
        throw Refusal("the commitment in " + path + " ended at " + isoText(state->projectedEnd) +
                      "; nothing more can be done with it but end it");
    }
    state->bringUpToDate(now);
    return *state;
}

// The seconds asked for with --seconds, --minutes or --hours; nullopt when none was given.
std::optional<double> requestedSeconds(const Arguments& arguments) {
    for (const auto& [name, factor] :
         {std::pair<const char*, double>{"seconds", 1.0}, {"minutes", 60.0}, {"hours", 3600.0}}) {
        if (const auto text = arguments.value(name)) {
            const auto number = parseNumber(*text);
            if (!number) {
                throw UsageError(std::string("--") + name + " needs a number, not " +
                                 quotedText(*text));
            }
            // Hours as the model counts them: two multiplications by 60.
            return factor == 3600.0 ? *number * 60 * 60 : *number * factor;
        }
    }
    return std::nullopt;
}

CommitmentDuration durationFrom(const Arguments& arguments) {
    arguments.requireOneOf({"seconds", "minutes", "hours"}, true);
    requestedSeconds(arguments);  // refuses text that is no number
    std::optional<CommitmentDuration> duration;
    std::string asked;
    if (const auto text = arguments.value("minutes")) {
        duration = CommitmentDuration::minutes(*parseNumber(*text));
        asked = *text + " minutes";
    } else if (const auto text = arguments.value("hours")) {
        duration = CommitmentDuration::hours(*parseNumber(*text));
        asked = *text + " hours";
    } else {
        const std::string seconds = *arguments.value("seconds");
        duration = CommitmentDuration::make(*parseNumber(seconds));
        asked = seconds + " seconds";
    }
    if (!duration) {
        throw Refusal("a commitment lasts more than no time and at most 24 hours, not " + asked);
    }
    return *duration;
}

// The shared checks on selection options; the website list when a selection was given.
std::optional<std::string> websitesOption(const Arguments& arguments, bool required) {
    arguments.requireOneOf({"all", "group"}, false);
    const bool selects = arguments.has("all") || arguments.has("group");
    const auto websites = arguments.value("websites");
    if (selects && !websites) throw UsageError("--all and --group need --websites FILE");
    if (websites && !selects) throw UsageError("--websites needs --all or --group");
    if (required && !websites) throw UsageError("give --websites FILE with --all or --group");
    return websites;
}

// Whether the directive on disk enforces the whole scope of the commitment.
std::pair<CommitmentHealth, std::string> enforcementHealth(const CommitmentState& state) {
    const FileEnforcementDirectiveStore store(state.directory);
    try {
        const auto directive = loadDirective(store);
        if (!directive) {
            return {CommitmentHealth::degraded, "no directive file at " + store.url().string()};
        }
        DomainSet missing;
        for (const Domain& domain : state.commitment->scope().domains()) {
            if (!directive->scope() || !directive->scope()->domains().contains(domain)) {
                missing.insert(domain);
            }
        }
        if (!missing.empty()) {
            return {CommitmentHealth::degraded, "the directive in " + store.directory().string() +
                                                    " does not enforce " + domainListText(missing)};
        }
        return {CommitmentHealth::healthy,
                "the directive in " + store.directory().string() + " enforces the whole scope"};
    } catch (const Refusal& error) {
        return {CommitmentHealth::degraded, error.what()};
    }
}

// Records `next` in the state file at `path` and publishes `scope` (idle when nullopt) to
// its directory. Refuses to stop enforcing a domain the current directive holds unless it is
// in `releasable`: the workflow never lifts what another publisher put there. When
// publishing fails the state file is put back as it was, so the two never disagree.
void recordAndPublish(const std::string& path, const std::optional<CommitmentState>& previous,
                      CommitmentState next, const std::optional<Scope>& scope,
                      const DomainSet& releasable, Instant now) {
    const FileEnforcementDirectiveStore store(next.directory);
    std::optional<EnforcementDirective> current;
    try {
        current = loadDirective(store);
    } catch (const Refusal&) {
        // An unreadable file enforces nothing; a good directive repairs it.
    }
    if (current && current->scope()) {
        DomainSet dropped;
        for (const Domain& domain : current->scope()->domains()) {
            const bool kept = scope && scope->domains().contains(domain);
            if (!kept && !releasable.contains(domain)) dropped.insert(domain);
        }
        if (!dropped.empty()) {
            throw Refusal("the directive in " + store.directory().string() + " also enforces " +
                          domainListText(dropped) +
                          ", which this commitment did not put there; refusing to lift it");
        }
    }
    if (next.commitment) next.commitment->setHealth(CommitmentHealth::healthy);
    saveState(path, next, now);
    try {
        publishDirective(store, EnforcementDirective(scope, std::nullopt, now));
    } catch (const Refusal&) {
        if (previous) {
            saveState(path, *previous, now);
        } else {
            std::remove(path.c_str());
        }
        throw;
    }
}

OutJson commitmentJSON(const CommitmentState& state, Instant now) {
    const Commitment& commitment = *state.commitment;
    const auto [health, healthDetail] = enforcementHealth(state);
    const ActivationBoundary boundary = commitment.boundary();
    const ProjectedEndTime end(state.projectedEnd);
    OutJson out = OutJson::object();
    out["active"] = state.isActive(now);
    out["activatedAt"] = coding::encodeNumber(commitment.activatedAt());
    out["scope"] = scopeJSON(commitment.scope());
    out["projectedEnd"] = coding::encodeNumber(state.projectedEnd);
    out["projectedEndText"] = isoText(state.projectedEnd);
    out["remainingSeconds"] = coding::encodeNumber(std::max(0.0, state.projectedEnd - now));
    out["latestPermittedEnd"] = coding::encodeNumber(boundary.latestPermittedEndTime());
    out["maximumExtension"] = coding::encodeNumber(boundary.maximumExtension(end));
    out["health"] = rawValue(health);
    out["healthDetail"] = healthDetail;
    out["directory"] = state.directory.string();
    return out;
}

void printCommitment(const Output& output, const CommitmentState& state, Instant now) {
    const Commitment& commitment = *state.commitment;
    const auto [health, healthDetail] = enforcementHealth(state);
    const ActivationBoundary boundary = commitment.boundary();
    const double left = state.projectedEnd - now;
    output.line(std::string("commitment:     ") +
                (left > 0 ? "active" : "ended; 'tolvane commitment end' lifts it"));
    output.line("activated at:   " + instantText(commitment.activatedAt()));
    output.line("scope:          generation " + std::to_string(commitment.scope().generation()) +
                ": " + domainListText(commitment.scope().domains()));
    output.line("projected end:  " + instantText(state.projectedEnd));
    output.line("time left:      " + spanText(std::max(0.0, left)));
    output.line("latest end:     " + instantText(boundary.latestPermittedEndTime()) +
                ", a further " +
                spanText(boundary.maximumExtension(ProjectedEndTime(state.projectedEnd))) +
                " may be added");
    output.line("health:         " + std::string(rawValue(health)) + " (" + healthDetail + ")");
}

int runStart(const Arguments& arguments, const Output& output) {
    const std::string path = statePath(arguments);
    const auto websitesPath = websitesOption(arguments, true);
    const CommitmentDuration duration = durationFrom(arguments);
    const Instant now = instantOption(arguments);

    const auto previous = loadState(path);
    if (previous && previous->isActive(now)) {
        throw Refusal(path + " already holds a commitment active until " +
                      instantText(previous->projectedEnd));
    }
    const WebsiteList websites = loadWebsites(*websitesPath);
    const CommitmentSelection selection = selectionFrom(arguments, websites, *websitesPath);
    Scope scope = Scope::resolving(selection, websites.websites);
    if (scope.domains().empty()) throw Refusal("the selection names no websites");

    CommitmentState state;
    if (arguments.has("directory")) {
        state.directory = directoryOption(arguments);
    } else {
        state.directory =
            previous ? previous->directory : FileEnforcementDirectiveStore::defaultDirectory();
    }
    state.commitment = Commitment(now, duration, std::move(scope), CommitmentHealth::healthy);
    state.projectedEnd = state.commitment->projectedEndTime(now).date();
    // What an ended commitment of this state file enforced may make way for the new one.
    DomainSet releasable;
    if (previous && previous->commitment) releasable = previous->commitment->scope().domains();
    recordAndPublish(path, previous, state, state.commitment->scope(), releasable, now);

    if (output.isJSON()) {
        output.printJSON(OutJson{{"commitment", commitmentJSON(state, now)}});
    } else {
        output.line("started a commitment of " + spanText(duration.seconds()));
        printCommitment(output, state, now);
    }
    return exitSuccess;
}

int runStrengthen(const Arguments& arguments, const Output& output) {
    const std::string path = statePath(arguments);
    const bool byDomain = arguments.has("domain");
    if (byDomain && (arguments.has("websites") || arguments.has("all") || arguments.has("group"))) {
        throw UsageError("give either --domain or a selection (--websites with --all or --group)");
    }
    const auto websitesPath = websitesOption(arguments, !byDomain);
    const Instant now = instantOption(arguments);
    CommitmentState state = activeState(path, now);
    const CommitmentState previous = state;
    const Scope before = state.commitment->scope();

    std::vector<std::string> notes;
    try {
        if (byDomain) {
            const DomainNormalizer normalizer(PublicSuffixList::embedded());
            DomainSet domains;
            for (const auto& text : arguments.values("domain")) {
                domains.insert(registrableDomainOrRefuse(normalizer, text, notes));
            }
            state.commitment->strengthenByAdding(domains);
        } else {
            const WebsiteList websites = loadWebsites(*websitesPath);
            state.commitment->strengthenByResolving(
                selectionFrom(arguments, websites, *websitesPath), websites.websites);
        }
    } catch (const ScopeStrengtheningError& error) {
        if (error.errorCase() == ScopeStrengtheningError::Case::noAdditionalDomains) {
            throw Refusal("nothing new: the scope already holds every domain given");
        }
        throw Refusal("the scope's generation cannot rise any further");
    }
    DomainSet added;
    for (const Domain& domain : state.commitment->scope().domains()) {
        if (!before.domains().contains(domain)) added.insert(domain);
    }
    recordAndPublish(path, previous, state, state.commitment->scope(), {}, now);

    if (output.isJSON()) {
        OutJson notesJSON = OutJson::array();
        for (const auto& note : notes) notesJSON.push_back(note);
        output.printJSON(OutJson{{"added", sortedJSON(added)},
                                 {"notes", std::move(notesJSON)},
                                 {"commitment", commitmentJSON(state, now)}});
    } else {
        for (const auto& note : notes) output.line("note: " + note);
        output.line("added " + domainListText(added) + "; the scope is now generation " +
                    std::to_string(state.commitment->scope().generation()));
        printCommitment(output, state, now);
    }
    return exitSuccess;
}

int runExtend(const Arguments& arguments, const Output& output) {
    const std::string path = statePath(arguments);
    arguments.requireOneOf({"seconds", "minutes", "hours", "until"}, true);
    const auto seconds = requestedSeconds(arguments);
    std::optional<Instant> until;
    if (arguments.has("until")) until = instantOption(arguments, "until");
    const Instant now = instantOption(arguments);
    CommitmentState state = activeState(path, now);

    const ActivationBoundary boundary = state.commitment->boundary();
    const ProjectedEndTime current(state.projectedEnd);
    const ProjectedEndTime proposed(until ? *until : state.projectedEnd + *seconds);
    const ExtensionRuling ruling = boundary.rulingForExtension(current, proposed);
    std::optional<ProjectedEndTime> granted;
    if (ruling.isPermitted()) {
        granted = proposed;
    } else if (ruling.latestPermittedEndTime() && arguments.flag("clamp")) {
        const ProjectedEndTime latest(*ruling.latestPermittedEndTime());
        if (boundary.rulingForExtension(current, latest).isPermitted()) granted = latest;
    }
    if (granted) {
        state.projectedEnd = granted->date();
        state.commitment->setHealth(enforcementHealth(state).first);
        saveState(path, state, now);
    }
    const double further = boundary.maximumExtension(ProjectedEndTime(state.projectedEnd));

    if (output.isJSON()) {
        OutJson rulingJSON = OutJson::object();
        rulingJSON["case"] = rawValue(ruling.rulingCase());
        if (const auto latest = ruling.latestPermittedEndTime()) {
            rulingJSON["latestPermittedEndTime"] = coding::encodeNumber(*latest);
        }
        output.printJSON(OutJson{{"requestedEnd", coding::encodeNumber(proposed.date())},
                                 {"ruling", std::move(rulingJSON)},
                                 {"granted", granted.has_value()},
                                 {"commitment", commitmentJSON(state, now)}});
    } else {
        output.line("requested end:  " + instantText(proposed.date()));
        std::string rulingLine = "ruling:         " + std::string(rawValue(ruling.rulingCase()));
        if (const auto latest = ruling.latestPermittedEndTime()) {
            rulingLine += ", the latest permitted end is " + instantText(*latest);
        }
        output.line(rulingLine);
        output.line(
            granted
                ? "granted:        the commitment now ends at " + instantText(state.projectedEnd)
                : "granted:        nothing; the end stays " + instantText(state.projectedEnd));
        output.line("still possible: a further " + spanText(further) + " (until " +
                    isoText(boundary.latestPermittedEndTime()) + ")");
    }
    if (granted) return exitSuccess;
    std::cerr << "tolvane commitment extend: not extended: "
              << (ruling.rulingCase() == ExtensionRuling::Case::doesNotStrengthen
                      ? "the requested end is not later than the current one"
                      : "the requested end lies past 24 hours after activation")
              << "\n";
    return exitRefused;
}

int runStatus(const Arguments& arguments, const Output& output) {
    const std::string path = statePath(arguments);
    const Instant now = instantOption(arguments);
    auto state = loadState(path);
    if (!state || !state->commitment) {
        output.line("no commitment");
        if (output.isJSON()) output.printJSON(OutJson{{"commitment", nullptr}});
        return exitSuccess;
    }
    state->bringUpToDate(now);
    if (output.isJSON()) {
        output.printJSON(OutJson{{"commitment", commitmentJSON(*state, now)}});
    } else {
        printCommitment(output, *state, now);
        output.line("directives in:  " + state->directory.string());
    }
    return exitSuccess;
}

int runEnd(const Arguments& arguments, const Output& output) {
    const std::string path = statePath(arguments);
    const Instant now = instantOption(arguments);
    auto state = loadState(path);
    if (!state || !state->commitment) throw Refusal("no commitment in " + path);
    if (state->isActive(now)) {
        throw Refusal("the commitment runs until " + instantText(state->projectedEnd) + ", " +
                      spanText(state->projectedEnd - now) + " from now; it cannot end before then");
    }
    const Scope scope = state->commitment->scope();
    CommitmentState cleared = *state;
    cleared.commitment.reset();
    recordAndPublish(path, state, cleared, std::nullopt, scope.domains(), now);

    const std::string file = FileEnforcementDirectiveStore(state->directory).url().string();
    if (output.isJSON()) {
        output.printJSON(
            OutJson{{"ended", true}, {"released", sortedJSON(scope.domains())}, {"file", file}});
    } else {
        output.line("commitment ended; " + domainListText(scope.domains()) +
                    " no longer blocked (idle directive published to " + file + ")");
    }
    return exitSuccess;
}

const char* const stateHelp = R"(
  --state FILE      the state file (JSON: the commitment, its directive directory and its
                    projected end), replaced atomically on every change
  --at INSTANT      the current instant (default: the wall clock)
  --json            machine-readable output
)";

std::string helpText(const std::string& body) {
    return body + stateHelp;
}

}  // namespace

std::vector<Command> commitmentCommands() {
    const std::vector<OptionSpec> selection = {
        {"websites", Kind::value}, {"all", Kind::flag}, {"group", Kind::list}};
    auto with = [](std::vector<OptionSpec> options, const std::vector<OptionSpec>& more) {
        options.push_back({"state", Kind::value});
        options.push_back({"at", Kind::value});
        options.insert(options.end(), more.begin(), more.end());
        return options;
    };
    const std::vector<OptionSpec> durations = {
        {"seconds", Kind::value}, {"minutes", Kind::value}, {"hours", Kind::value}};
    std::vector<OptionSpec> startOptions = with(selection, durations);
    startOptions.push_back({"directory", Kind::value});
    std::vector<OptionSpec> extendOptions = with(durations, {});
    extendOptions.push_back({"until", Kind::value});
    extendOptions.push_back({"clamp", Kind::flag});
    return {
        {"commitment start", "start a commitment over a selection of websites",
         helpText(
             R"(usage: tolvane commitment start --state FILE --websites LIST (--all | --group G ...)
                               (--minutes M | --hours H | --seconds S) [--directory DIR]
                               [--at INSTANT] [--json]

Starts a commitment: resolves the selection (every website of LIST, or those of the named
groups) into a scope of generation 1, makes the commitment for the given duration (at
most 24 hours), publishes its directive and writes the state file. Refused when the state
file holds a commitment that is still active, when the selection names no websites, and
when the directive on disk enforces domains the commitment would lift.

  --websites LIST   a JSON file {"websites":[{"domain","groups"}...],"groups":[{"id","name"}...]}
  --all             every website of the list
  --group G         the websites of group G, named by its name or its identifier (repeatable)
  --directory DIR   where to publish (default: the directory the state file names, else
                    /Library/Application Support/Tolvane))"),
         startOptions, false, runStart},
        {"commitment strengthen", "add domains or a selection to the active commitment",
         helpText(R"(usage: tolvane commitment strengthen --state FILE
                                    (--domain D ... | --websites LIST (--all | --group G ...))
                                    [--at INSTANT] [--json]

Adds domains (each through the normaliser, using its registrable domain) or what a
selection resolves to, raises the generation by one and publishes the wider scope.
Refused when nothing new would be added or no commitment is active.

  --domain D        a domain to add (repeatable)
  --websites LIST   the website list for --all or --group)"),
         with(selection, {{"domain", Kind::list}}), false, runStrengthen},
        {"commitment extend", "move the projected end later, within 24 h of activation",
         helpText(R"(usage: tolvane commitment extend --state FILE
                                (--minutes M | --hours H | --seconds S | --until INSTANT)
                                [--clamp] [--at INSTANT] [--json]

Asks for a later end, the given time after the current projected end (or at INSTANT), and
prints the ruling against the activation boundary: permitted, exceedsOriginalBoundary (with
the latest permitted end) or doesNotStrengthen. Only a permitted end is granted; with
--clamp, a request past the boundary is granted up to the boundary instead. Prints how much
further the end may still move. Exit status 1 when nothing was granted.

  --clamp           grant the latest permitted end when the request passes it)"),
         extendOptions, false, runExtend},
        {"commitment status", "scope, projected end, time left and health",
         helpText(R"(usage: tolvane commitment status --state FILE [--at INSTANT] [--json]

Prints the commitment's scope and generation, its activation, its projected end (as an
instant and as UTC text), the time left, how much further it may be extended, and its
health: healthy when the directive on disk enforces the whole scope, degraded otherwise.
Prints "no commitment" when the state file holds none.)"),
         with({}, {}), false, runStatus},
        {"commitment end", "lift an ended commitment",
         helpText(R"(usage: tolvane commitment end --state FILE [--at INSTANT] [--json]

Once the projected end has passed, publishes an idle directive and clears the commitment
from the state file. Refused before the projected end.)"),
         with({}, {}), false, runEnd},
    };
}

}  // namespace tolvane::cli
