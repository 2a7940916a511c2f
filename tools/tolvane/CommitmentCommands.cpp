// tolvane commitment start|strengthen|extend|status|end: a commitment from start to end over
// a state file. Every step either strengthens what is enforced or refuses: the scope only
// grows, the end only moves later and never past 24 hours after activation, and nothing is
// lifted before the projected end.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <limits>
#include <system_error>
#include <tolvane/AtomicFile.hpp>
#include <tolvane/JSONCoding.hpp>
#include <tolvane/PublicSuffixList.hpp>

#include "Commands.hpp"
#include "CommitmentState.hpp"
#include "DirectiveFile.hpp"
#include "Holds.hpp"

namespace tolvane::cli {

namespace {

using coding::OutJson;
using Kind = OptionSpec::Kind;

// The state file, absolute and with links resolved: its path names its commitment in the
// directory's holds and its lock file, so every name for one state file must come to one path.
std::filesystem::path statePath(const Arguments& arguments) {
    const auto given = arguments.value("state");
    if (given && given->empty()) throw UsageError("--state needs a file, not \"\"");
    const std::filesystem::path path = given ? absolutePath(*given) : defaultStatePath();
    std::error_code error;
    auto resolved = std::filesystem::weakly_canonical(path, error);
    if (error)
        throw Refusal("cannot resolve the state file " + quotedText(path.string()) + ": " +
                      error.message());
    return resolved;
}

// Makes the directory and its missing parents, each private to its owner, as the directive
// directory is.
void makePrivateDirectories(const std::filesystem::path& directory) {
    std::filesystem::path partial;
    for (const auto& part : directory) {
        partial /= part;
        if (::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) {
            throw Refusal("cannot make " + partial.string() + ": " + std::strerror(errno));
        }
    }
}

// The state file's lock ("FILE.lock" beside it, made once and kept), held by every run that
// reads the state to write it, so two runs at once cannot each change what they read. The
// default state file's directory is made when missing; one named with --state must exist.
AdvisoryLock lockState(const Arguments& arguments, const std::filesystem::path& path) {
    if (!arguments.has("state")) makePrivateDirectories(path.parent_path());
    try {
        AdvisoryLock held = AdvisoryLock::onFile(path.string() + ".lock");
        // No other writer of the state runs now: a temporary of its is a dead run's.
        removeStaleTemporaries(path);
        return held;
    } catch (const std::system_error& error) {
        throw Refusal(std::string("cannot lock the state file: ") + error.what());
    }
}

// The state with an active commitment, brought up to `now`; Refusal otherwise.
CommitmentState activeState(const std::filesystem::path& path, Instant now) {
    auto state = loadState(path);
    if (!state || !state->commitment) throw Refusal("no commitment in " + path.string());
    if (!state->isActive(now)) {
        throw Refusal("the commitment in " + path.string() + " ended at " +
                      isoText(state->projectedEnd) +
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

// What a commitment run publishes: the domains on disk and those other commitments hold,
// plus `add`, less what of `lift` the others do not hold; a generation above the one on disk,
// so it never goes back while anything is enforced; a live probe kept. nullopt when the file
// holds that already.
std::optional<EnforcementDirective> nextDirective(
    const std::optional<EnforcementDirective>& current, const DomainSet& held, const DomainSet& add,
    const DomainSet& lift, Instant now) {
    DomainSet onDisk;
    if (current && current->scope()) onDisk = current->scope()->domains();
    DomainSet domains = onDisk;
    domains.insert(held.begin(), held.end());
    domains.insert(add.begin(), add.end());
    for (const Domain& domain : lift) {
        if (!held.contains(domain) && !add.contains(domain)) domains.erase(domain);
    }
    if (current && domains == onDisk && current->scope().has_value() == !domains.empty()) {
        return std::nullopt;
    }
    const auto probe = liveProbe(current, now);
    if (domains.empty()) return EnforcementDirective(std::nullopt, probe, now);
    const std::int64_t generation = current ? current->generation() : 0;
    if (generation == std::numeric_limits<std::int64_t>::max()) {
        throw Refusal("the directive's generation cannot rise any further");
    }
    return EnforcementDirective(Scope(generation + 1, std::move(domains)), probe, now);
}

struct Publication {
    std::filesystem::path file;  // the directive file
    DomainSet lifted;            // of `lift`: no longer enforced
    DomainSet kept;              // of `lift`: still held by other commitments
};

// Changes the state file at `path` from `previous` to `next` and publishes what that makes of
// the directive in next's directory: the whole of next's scope added, `lift` lifted where no
// other commitment holds it. The caller holds the state file's lock; the directory's is held
// here from reading the directive and the holds to publishing, so every run's decision rests
// on what is on disk when it publishes. Nothing a commitment run does without --force takes
// away a domain another active commitment holds or lowers the generation.
Publication recordAndPublish(const std::filesystem::path& path,
                             const std::optional<CommitmentState>& previous, CommitmentState next,
                             const DomainSet& lift, Instant now) {
    FileEnforcementDirectiveStore store(next.directory);
    const AdvisoryLock held = lockForPublishing(store);
    std::optional<EnforcementDirective> current;
    try {
        current = loadDirective(store);
    } catch (const Refusal&) {
        // An unreadable file enforces nothing; a good directive repairs it.
    }
    const Holds holds = loadHolds(store.directory());
    const DomainSet others = heldByOthers(holds, path.string(), now);
    DomainSet add;
    if (next.commitment) add = next.commitment->scope().domains();
    const auto directive = nextDirective(current, others, add, lift, now);

    Publication result{store.url(), {}, {}};
    for (const Domain& domain : lift) {
        if (others.contains(domain)) {
            result.kept.insert(domain);
        } else if (!add.contains(domain)) {
            result.lifted.insert(domain);
        }
    }
    const Holds nextHolds =
        next.commitment
            ? withHold(holds, path.string(), next.commitment->scope().domains(), next.projectedEnd)
            : withHold(holds, path.string(), {}, 0);
    if (!next.commitment) {
        // Lift first: should the run die before the state is cleared, running end again
        // finishes the job.
        if (directive) publishDirective(store, *directive, held);
        saveState(path, next, now);
        saveHolds(store.directory(), nextHolds, now);
        return result;
    }
    // Record first: should the run die before publishing, the commitment is known (and shown
    // as degraded) rather than enforced by a directive no state file owns.
    next.commitment->setHealth(CommitmentHealth::healthy);
    saveHolds(store.directory(), nextHolds, now);
    try {
        saveState(path, next, now);
        if (directive) publishDirective(store, *directive, held);
    } catch (const Refusal&) {
        // Put both back as they were, so state, holds and directive never disagree.
        try {
            saveHolds(store.directory(), holds, now);
            if (previous) {
                saveState(path, *previous, now);
            } else {
                std::filesystem::remove(path);
            }
        } catch (const std::exception&) {
        }
        throw;
    }
    return result;
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
    const auto path = statePath(arguments);
    const auto websitesPath = websitesOption(arguments, true);
    const CommitmentDuration duration = durationFrom(arguments);
    const Instant now = instantOption(arguments);
    const WebsiteList websites = loadWebsites(*websitesPath);
    const CommitmentSelection selection = selectionFrom(arguments, websites, *websitesPath);
    Scope scope = Scope::resolving(selection, websites.websites);
    if (scope.domains().empty()) throw Refusal("the selection names no websites");

    const AdvisoryLock stateLock = lockState(arguments, path);
    const auto previous = loadState(path);
    if (previous && previous->isActive(now)) {
        throw Refusal(path.string() + " already holds a commitment active until " +
                      instantText(previous->projectedEnd));
    }
    CommitmentState state;
    if (arguments.has("directory")) {
        state.directory = directoryOption(arguments);
    } else {
        state.directory =
            previous ? previous->directory : FileEnforcementDirectiveStore::defaultDirectory();
    }
    // What an ended commitment of this state file enforced may make way for the new one, but
    // only where it was published: elsewhere it would stay enforced with no state to end it.
    DomainSet lift;
    if (previous && previous->commitment) {
        if (previous->directory != state.directory) {
            throw Refusal("the ended commitment in " + path.string() + " is still enforced in " +
                          previous->directory.string() + "; end it first (tolvane commitment end)");
        }
        lift = previous->commitment->scope().domains();
    }
    state.commitment = Commitment(now, duration, std::move(scope), CommitmentHealth::healthy);
    state.projectedEnd = state.commitment->projectedEndTime(now).date();
    recordAndPublish(path, previous, state, lift, now);

    if (output.isJSON()) {
        output.printJSON(OutJson{{"commitment", commitmentJSON(state, now)}});
    } else {
        output.line("started a commitment of " + spanText(duration.seconds()));
        printCommitment(output, state, now);
    }
    return exitSuccess;
}

int runStrengthen(const Arguments& arguments, const Output& output) {
    const auto path = statePath(arguments);
    const bool byDomain = arguments.has("domain");
    if (byDomain && (arguments.has("websites") || arguments.has("all") || arguments.has("group"))) {
        throw UsageError("give either --domain or a selection (--websites with --all or --group)");
    }
    const auto websitesPath = websitesOption(arguments, !byDomain);
    const Instant now = instantOption(arguments);
    std::vector<std::string> notes;
    DomainSet domains;
    std::optional<WebsiteList> websites;
    if (byDomain) {
        const DomainNormalizer normalizer(PublicSuffixList::embedded());
        for (const auto& text : arguments.values("domain")) {
            domains.insert(registrableDomainOrRefuse(normalizer, text, notes));
        }
    } else {
        websites = loadWebsites(*websitesPath);
    }

    const AdvisoryLock stateLock = lockState(arguments, path);
    CommitmentState state = activeState(path, now);
    const CommitmentState previous = state;
    const Scope before = state.commitment->scope();
    try {
        if (byDomain) {
            state.commitment->strengthenByAdding(domains);
        } else {
            state.commitment->strengthenByResolving(
                selectionFrom(arguments, *websites, *websitesPath), websites->websites);
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
    recordAndPublish(path, previous, state, {}, now);

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
    const auto path = statePath(arguments);
    arguments.requireOneOf({"seconds", "minutes", "hours", "until"}, true);
    const auto seconds = requestedSeconds(arguments);
    std::optional<Instant> until;
    if (arguments.has("until")) until = instantOption(arguments, "until");
    const Instant now = instantOption(arguments);
    const AdvisoryLock stateLock = lockState(arguments, path);
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
        // The hold moves with the end, or another state file's end could lift the scope in
        // the time added.
        const FileEnforcementDirectiveStore store(state.directory);
        const AdvisoryLock held = lockForPublishing(store);
        saveHolds(store.directory(),
                  withHold(loadHolds(store.directory()), path.string(),
                           state.commitment->scope().domains(), state.projectedEnd),
                  now);
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
    const auto path = statePath(arguments);
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
    const auto path = statePath(arguments);
    const Instant now = instantOption(arguments);
    const AdvisoryLock stateLock = lockState(arguments, path);
    auto state = loadState(path);
    if (!state || !state->commitment) throw Refusal("no commitment in " + path.string());
    if (state->isActive(now)) {
        throw Refusal("the commitment runs until " + instantText(state->projectedEnd) + ", " +
                      spanText(state->projectedEnd - now) + " from now; it cannot end before then");
    }
    CommitmentState cleared = *state;
    cleared.commitment.reset();
    const Publication published =
        recordAndPublish(path, state, cleared, state->commitment->scope().domains(), now);

    const std::string file = published.file.string();
    if (output.isJSON()) {
        output.printJSON(OutJson{{"ended", true},
                                 {"released", sortedJSON(published.lifted)},
                                 {"kept", sortedJSON(published.kept)},
                                 {"file", file}});
        return exitSuccess;
    }
    std::string line = "commitment ended";
    if (!published.lifted.empty()) {
        line += "; " + domainListText(published.lifted) + " no longer blocked";
    }
    if (!published.kept.empty()) {
        line += "; " + domainListText(published.kept) + " still held by another commitment";
    }
    output.line(line + " (" + file + ")");
    return exitSuccess;
}

}  // namespace

std::vector<Command> commitmentCommands() {
    const OptionSpec state = {
        "state", Kind::value, "FILE",
        "the state file (JSON: the commitment, its directive directory and its projected end), "
        "replaced atomically on every change (default: " +
            defaultStatePath().string() + ")"};
    const OptionSpec at = {"at", Kind::value, "INSTANT",
                           "the current instant (default: the wall clock)"};
    const std::vector<OptionSpec> selection = {
        {"websites", Kind::value, "LIST",
         "a JSON file of websites and their groups:\n"
         R"({"websites":[{"domain","groups"}...],"groups":[{"id","name"}...]})"},
        {"all", Kind::flag, "", "every website of the list"},
        {"group", Kind::list, "G",
         "the websites of group G, named by its name or its identifier (repeatable)"}};
    const std::vector<OptionSpec> durations = {
        {"seconds", Kind::value, "S", "the duration in seconds"},
        {"minutes", Kind::value, "M", "the duration in minutes"},
        {"hours", Kind::value, "H", "the duration in hours"}};
    // The command's own options, then --state and --at, which every subcommand takes.
    const auto with = [&](std::vector<OptionSpec> options) {
        options.push_back(state);
        options.push_back(at);
        return options;
    };
    auto startOptions = selection;
    startOptions.insert(startOptions.end(), durations.begin(), durations.end());
    startOptions.push_back({"directory", Kind::value, "DIR",
                            "where to publish (default: the directory the state file names, else " +
                                FileEnforcementDirectiveStore::defaultDirectory().string() + ")"});
    auto strengthenOptions = selection;
    strengthenOptions.insert(strengthenOptions.begin(),
                             {"domain", Kind::list, "D", "a domain to add (repeatable)"});
    auto extendOptions = durations;
    for (auto& option : extendOptions) {
        option.help = "ask for the end " + option.valueName + " " + option.name +
                      " after the current projected end";
    }
    extendOptions.push_back({"until", Kind::value, "INSTANT", "ask for the end at INSTANT"});
    extendOptions.push_back(
        {"clamp", Kind::flag, "", "grant the latest permitted end when the request passes it"});
    const std::string json = "machine-readable output";
    return {
        {"commitment start", "start a commitment over a selection of websites",
         R"([--state FILE] --websites LIST (--all | --group G ...)
(--minutes M | --hours H | --seconds S) [--directory DIR]
[--at INSTANT] [--json])",
         R"(Starts a commitment: resolves the selection (every website of LIST, or those of the named
groups) into a scope of generation 1, makes the commitment for the given duration (at
most 24 hours), publishes its scope on top of what the directive on disk enforces and
writes the state file. Refused when the state file holds a commitment that is still active,
and when the selection names no websites. DIR is stored as an absolute path.)",
         with(startOptions), json, "", false, runStart},
        {"commitment strengthen", "add domains or a selection to the active commitment",
         R"([--state FILE]
(--domain D ... | --websites LIST (--all | --group G ...))
[--at INSTANT] [--json])",
         R"(Adds domains (each through the normaliser, using its registrable domain) or what a
selection resolves to, raises the generation by one and publishes the wider scope.
Refused when nothing new would be added or no commitment is active.)",
         with(strengthenOptions), json, "", false, runStrengthen},
        {"commitment extend", "move the projected end later, within 24 h of activation",
         R"([--state FILE]
(--minutes M | --hours H | --seconds S | --until INSTANT)
[--clamp] [--at INSTANT] [--json])",
         R"(Asks for a later end, the given time after the current projected end (or at INSTANT), and
prints the ruling against the activation boundary: permitted, exceedsOriginalBoundary (with
the latest permitted end) or doesNotStrengthen. Only a permitted end is granted; with
--clamp, a request past the boundary is granted up to the boundary instead. Prints how much
further the end may still move. Exit status 1 when nothing was granted.)",
         with(extendOptions), json, "", false, runExtend},
        {"commitment status", "scope, projected end, time left and health",
         "[--state FILE] [--at INSTANT] [--json]",
         R"(Prints the commitment's scope and generation, its activation, its projected end (as an
instant and as UTC text), the time left, how much further it may be extended, and its
health: healthy when the directive on disk enforces the whole scope, degraded otherwise.
Prints "no commitment" when the state file holds none.)",
         with({}), json, "", false, runStatus},
        {"commitment end", "lift an ended commitment", "[--state FILE] [--at INSTANT] [--json]",
         R"(Once the projected end has passed, lifts the commitment's domains from the directive, except
those another active commitment over the same directory holds, and clears the commitment
from the state file. The directive is idle when nothing is left. Refused before the
projected end.)",
         with({}), json, "", false, runEnd},
    };
}

}  // namespace tolvane::cli
