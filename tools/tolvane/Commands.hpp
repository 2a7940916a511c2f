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
    std::string name;     // as typed: "directive publish"
    std::string summary;  // one line for the overview
    std::string help;     // the whole --help text
    std::vector<OptionSpec> options;
    bool takesPositionals = false;
    // Returns the exit status; throws UsageError or Refusal.
    std::function<int(const Arguments&, const Output&)> run;
};

std::vector<Command> domainCommands();      // normalize, suffix
std::vector<Command> directiveCommands();   // directive show, directive publish
std::vector<Command> commitmentCommands();  // commitment ...

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
