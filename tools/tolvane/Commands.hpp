// Commands.hpp: the subcommands of `tolvane` and the presentation helpers they share.
//
//   tolvane normalize TEXT...            tolvane directive show | publish
//   tolvane suffix HOST...               tolvane commitment start | strengthen | extend |
//                                                           status | end
#pragma once

#include <functional>
#include <nlohmann/json_fwd.hpp>
#include <string>
#include <string_view>
#include <tolvane/DomainNormalizer.hpp>
#include <tolvane/Scope.hpp>
#include <vector>

#include "CommandLine.hpp"

namespace tolvane::cli {

struct Command {
    std::string name;         // as typed: "directive publish"
    std::string summary;      // one line for the overview
    std::string synopsis;     // the usage line after the name; continuation lines start bare
    std::string description;  // what the command does, before its options in --help
    std::vector<OptionSpec> options;  // without --json and --help, which every command takes
    std::string json;                 // what --json prints
    std::string epilogue;             // after the options: rules, exit status
    bool takesPositionals = false;
    // Returns the exit status; throws UsageError or Refusal.
    std::function<int(const Arguments&, const Output&)> run;
};

std::vector<Command> domainCommands();      // normalize, suffix
std::vector<Command> directiveCommands();   // directive show, directive publish
std::vector<Command> commitmentCommands();  // commitment ...
// All of them, in the overview's order.
std::vector<Command> allCommands();

// Every option the command accepts: its own, then --json and --help.
std::vector<OptionSpec> acceptedOptions(const Command& command);
// The whole --help text, its option list built from the declarations.
std::string helpText(const Command& command);
// The list of commands (or of one group's: "directive", "commitment") for `tolvane --help`
// and usage errors.
std::string overview(const std::vector<Command>& commands, const std::string& group = {});
// "tolvane 0.3.0 (1a2b3c4d5e6f)": what --version prints.
std::string versionText();

// Why the normaliser refused a text, for people: "\"exa mple.com\" is not a valid host name".
std::string explain(const DomainNormalizationError& error);
// The registrable domain `text` names through the normaliser; Refusal when it is rejected.
// When the text named a narrower subdomain, a line saying which domain is used instead is
// appended to `notes`.
Domain registrableDomainOrRefuse(const DomainNormalizer& normalizer, std::string_view text,
                                 std::vector<std::string>& notes);

std::vector<std::string> sortedNames(const DomainSet& domains);
// "a.com, b.com", or "none".
std::string domainListText(const DomainSet& domains);
// {"generation":N,"domains":[sorted]}: the scope's JSON form with a stable order.
nlohmann::ordered_json scopeJSON(const Scope& scope);
nlohmann::ordered_json sortedJSON(const DomainSet& domains);

}  // namespace tolvane::cli
