// AtomicFile.hpp: the small private files of the system (the directive, the tool's state),
// replaced whole so a reader sees the old or the new content, and read with a bound so a
// huge or strange file can neither exhaust memory nor hold the reader up.
//
//   replaceFileAtomically("/d/f.json", bytes)   writes "/d/.f.json.XXXXXX" (0600), flushes,
//                                               renames it over "/d/f.json", flushes "/d"
//   removeStaleTemporaries("/d/f.json")         removes "/d/.f.json.XXXXXX" left by a writer
//                                               killed before its rename
//
//   at the path                             readFileBounded(path, limit)
//   --------------------------------------  ------------------------------------------------
//   nothing that can be looked up (missing, nullopt
//   a link to nothing or in a loop, a
//   directory on the way not searchable)
//   a regular file of at most `limit` bytes its content
//   a directory                             throws std::system_error is_a_directory, unread
//   a FIFO, socket or device                throws std::system_error invalid_argument, unread
//   a file larger than `limit`              throws std::system_error file_too_large, unread
//   a file that cannot be opened or read    throws std::system_error with the system's error
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace tolvane {

// Replaces `path` with `bytes` through a fresh temporary in the same directory (created
// exclusively under an unpredictable name, mode 0600), flushed before one rename; then the
// directory is flushed so the rename survives a crash. Throws std::system_error naming the
// step and path. A failure before the rename leaves no temporary and the old file in place.
void replaceFileAtomically(const std::filesystem::path& path, std::string_view bytes);

// Removes the temporaries replaceFileAtomically names for `path` (".NAME." and six letters or
// digits), which a writer killed between creating and renaming one leaves behind. Only safe
// while holding the lock every writer of `path` holds, or a live writer's temporary would go.
// Returns how many were removed; errors are not reported (the next sweep tries again).
std::size_t removeStaleTemporaries(const std::filesystem::path& path);

// Whether `name` is one of the temporaries replaceFileAtomically makes for the file `fileName`.
bool isTemporaryName(std::string_view name, std::string_view fileName);

// The whole file at `path` (see the table above).
std::optional<std::string> readFileBounded(const std::filesystem::path& path,
                                           std::size_t maximumSize);

}  // namespace tolvane
