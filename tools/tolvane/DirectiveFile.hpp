// DirectiveFile.hpp: the directive file as the commands use it, with its failures turned
// into refusals that name the file.
#pragma once

#include <filesystem>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <tolvane/DirectiveStore.hpp>

#include "CommandLine.hpp"

namespace tolvane::cli {

// The declaration of --directory: `what` with the configured default.
OptionSpec directoryOptionSpec(std::string_view what);
// --directory made absolute, or the default directory when it was not given.
std::filesystem::path directoryOption(const Arguments& arguments);

// The current directive, nullopt when there is no file; Refusal when it cannot be read or
// is no valid directive.
std::optional<EnforcementDirective> loadDirective(const FileEnforcementDirectiveStore& store);
// The store's publication lock, to hold from reading the current directive (and anything
// else the next one depends on) to publishing; Refusal when it cannot be taken.
AdvisoryLock lockForPublishing(const FileEnforcementDirectiveStore& store);
// Publishes under the lock taken with lockForPublishing; Refusal when the store cannot.
void publishDirective(FileEnforcementDirectiveStore& store, const EnforcementDirective& directive,
                      const AdvisoryLock& held);
// The current directive's probe while it is live at `now`: a publication that lends none of
// its own keeps it, rather than ending it early.
std::optional<ValidationProbe> liveProbe(const std::optional<EnforcementDirective>& current,
                                         Instant now);

// The directive's JSON form with the scope's domains sorted.
nlohmann::ordered_json directiveJSON(const EnforcementDirective& directive);

}  // namespace tolvane::cli
