# Writes the version header: the project version, and the commit when built from a git
# checkout. Run at every build, and the file is rewritten only when its text changes, so a
# new commit shows up without reconfiguring and an unchanged one rebuilds nothing.
execute_process(
  COMMAND git -C "${SOURCE_DIR}" describe --always --dirty --abbrev=12 --exclude=*
  OUTPUT_VARIABLE commit OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  set(commit "")
endif()
set(text "// Generated at build time; do not edit.
#pragma once
namespace tolvane {
inline constexpr const char* projectVersion = \"${VERSION}\";
// The git commit the build came from (with -dirty for local changes); empty outside a checkout.
inline constexpr const char* sourceCommit = \"${commit}\";
}  // namespace tolvane
")
if(EXISTS "${OUTPUT}")
  file(READ "${OUTPUT}" old)
endif()
if(NOT old STREQUAL text)
  file(WRITE "${OUTPUT}" "${text}")
endif()
