// DirectiveFile.hpp: the directive file as the commands use it, with its failures turned
// into refusals that name the file.
#pragma once

#include <filesystem>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <tolvane/DirectiveStore.hpp>

#include "CommandLine.hpp"

namespace tolvane::cli {

// --directory, or the default directory when it was not given.
std::filesystem::path directoryOption(const Arguments& arguments);

// The current directive, nullopt when there is no file; Refusal when it cannot be read or
// is no valid directive.
std::optional<EnforcementDirective> loadDirective(const FileEnforcementDirectiveStore& store);
// Refusal when the store cannot publish.
void publishDirective(FileEnforcementDirectiveStore store, const EnforcementDirective& directive);

// The directive's JSON form with the scope's domains sorted.
nlohmann::ordered_json directiveJSON(const EnforcementDirective& directive);

}  // namespace tolvane::cli
