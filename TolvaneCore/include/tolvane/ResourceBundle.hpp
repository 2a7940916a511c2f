// ResourceBundle.hpp: where TolvaneCore finds its resources at run time.
//
// The resources live in a directory named "TolvaneCore_TolvaneCore.bundle". It is looked
// for once per process, on first need (thread-safe), in this order; the first that is an
// existing directory is used for the rest of the process:
//
//   1. $TOLVANE_RESOURCE_BUNDLE, a path to the bundle directory itself (for tests and
//      packaging; an unset or empty variable is ignored, a path that is no directory is
//      passed over like any other location)
//   2. <directory of the running executable>/TolvaneCore_TolvaneCore.bundle
//      (how the build lays it out: beside the built programs)
//   3. <directory of the binary holding this library's code>/TolvaneCore_TolvaneCore.bundle
//      (only when that binary is not the executable itself, i.e. a shared library)
//   4. <directory of the running executable>/../share/tolvane/TolvaneCore_TolvaneCore.bundle
//      (the installed layout: bin/ or sbin/ beside share/tolvane/)
//   5. <directory of the running executable>/../share/TolvaneCore_TolvaneCore.bundle
//
// When none is found the process stops with "unable to find bundle named
// TolvaneCore_TolvaneCore" (see fatalError), followed by a line naming every place looked
// in and the variable that points elsewhere.
#pragma once

#include <filesystem>
#include <optional>
#include <string_view>

namespace tolvane::resources {

inline constexpr std::string_view kResourceBundleName = "TolvaneCore_TolvaneCore.bundle";
inline constexpr const char* kResourceBundleVariable = "TOLVANE_RESOURCE_BUNDLE";

// The bundle directory, found as above; stops the process when there is none.
const std::filesystem::path& resourceBundleDirectory();

// The path of the resource `name`.`extension` in the bundle, or nullopt when no such file
// is there. Locates the bundle first (and so may stop the process).
std::optional<std::filesystem::path> resourcePath(std::string_view name,
                                                  std::string_view extension);

// Writes `message` and a line feed to standard error, flushes every output stream and ends
// the process at once with exit status 134 (what a shell reports for an abort), without
// raising a signal or dumping core and without running static destructors, which other
// threads may still be using.
[[noreturn]] void fatalError(std::string_view message);

}  // namespace tolvane::resources
